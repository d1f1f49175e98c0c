#pragma once
// Call records of a stream connection, read without blocking. ONC RPC over
// TCP sends each call as one record of fragments, each behind a 4-byte mark
// (bit 31: the last fragment; the other bits: its length). Bytes arrive cut
// anywhere; the reader keeps what a record needs until it is whole.
//
// A peer decides how long a record is, so the reader keeps only its head, up
// to kMaxKept bytes (the largest call this server takes whole), and counts the
// rest without keeping it. The decoders skip byte strings beyond their bound,
// which all end their records, so a record read through RecordXdr (its head,
// then zeros for the dropped tail) decodes as it would have whole.
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <string>

class CVxiRecordReader {
public:
    // A write of 65536 bytes with the call header, two authentication
    // blocks of at most 400 bytes and the write's other arguments.
    static constexpr uint32_t kMaxKept = 65536 + 4096;
    // Longer records cannot be addressed by an XDR position.
    static constexpr uint64_t kMaxLength = 0x7FFFFFFF;

    // Takes bytes up to the end of the next record: the count taken, which is
    // less than `size` once a record is whole (the rest belong to the next).
    // Takes nothing while a whole record waits for next().
    size_t take(const char* data, size_t size);
    // A record is whole and waits for next().
    bool whole() const { return m_bWhole; }
    // Bytes of a record (its first mark included) have arrived, not all.
    bool midRecord() const { return !m_bWhole && (m_u32MarkGot > 0 || m_bFragments); }
    // The record went beyond kMaxLength: the stream cannot be followed.
    bool broken() const { return m_bBroken; }
    const std::string& kept() const { return m_kept; }
    // The whole record's length, dropped tail included.
    uint64_t length() const { return m_u64Length; }
    // Forgets the whole record: the reader waits for the next.
    void next();

private:
    char m_acMark[4] = {};
    uint32_t m_u32MarkGot = 0;   // bytes of the current fragment's mark
    uint32_t m_u32FragLeft = 0;  // bytes of the current fragment still to come
    bool m_bLastFrag = false;
    bool m_bFragments = false;   // a fragment of this record has been announced
    bool m_bWhole = false;
    bool m_bBroken = false;
    std::string m_kept;
    uint64_t m_u64Length = 0;
};

// An XDR decoding stream over a whole record: the kept head, then zeros up to
// its length. Positions count from the record's first byte.
class RecordXdr {
public:
    explicit RecordXdr(const CVxiRecordReader& record);
    RecordXdr(const char* data, size_t kept, uint64_t length);
    RecordXdr(const RecordXdr&) = delete;
    RecordXdr& operator=(const RecordXdr&) = delete;
    XDR* xdr() { return &m_xdr; }

private:
    static bool_t getLong(XDR* xdrs, long* value);
    static bool_t getBytes(XDR* xdrs, char* to, u_int len);
    static u_int getPos(XDR* xdrs);
    static bool_t setPos(XDR* xdrs, u_int pos);
    static int32_t* inlineAt(XDR* xdrs, u_int len);
    static RecordXdr& of(XDR* xdrs) { return *static_cast<RecordXdr*>(static_cast<void*>(xdrs->x_private)); }

    XDR m_xdr{};
    const char* m_data;
    u_int m_kept = 0;
    u_int m_length = 0;
    u_int m_pos = 0;
};
