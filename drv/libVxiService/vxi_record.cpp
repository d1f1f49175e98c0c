#include "vxi_record.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

constexpr uint32_t kLastFragment = 0x80000000u;

}  // namespace

size_t CVxiRecordReader::take(const char* data, size_t size) {
    size_t used = 0;
    while (used < size && !m_bWhole && !m_bBroken) {
        if (m_u32FragLeft == 0 && m_u32MarkGot < sizeof(m_acMark)) {
            size_t n = std::min<size_t>(sizeof(m_acMark) - m_u32MarkGot, size - used);
            std::memcpy(m_acMark + m_u32MarkGot, data + used, n);
            m_u32MarkGot += static_cast<uint32_t>(n);
            used += n;
            if (m_u32MarkGot < sizeof(m_acMark)) {
                break;
            }
            uint32_t mark;
            std::memcpy(&mark, m_acMark, sizeof(mark));
            mark = ntohl(mark);
            m_bLastFrag = (mark & kLastFragment) != 0;
            m_u32FragLeft = mark & ~kLastFragment;
            m_bFragments = true;
            if (m_u64Length + m_u32FragLeft > kMaxLength) {
                m_bBroken = true;
                break;
            }
        }
        size_t n = std::min<size_t>(m_u32FragLeft, size - used);
        size_t keep = std::min<size_t>(n, kMaxKept - std::min<size_t>(m_kept.size(), kMaxKept));
        m_kept.append(data + used, keep);
        m_u64Length += n;
        m_u32FragLeft -= static_cast<uint32_t>(n);
        used += n;
        if (m_u32FragLeft == 0) {
            m_u32MarkGot = 0;
            m_bWhole = m_bLastFrag;
        }
    }
    return used;
}

void CVxiRecordReader::next() {
    m_u32MarkGot = 0;
    m_u32FragLeft = 0;
    m_bLastFrag = false;
    m_bFragments = false;
    m_bWhole = false;
    m_kept.clear();
    m_u64Length = 0;
}

RecordXdr::RecordXdr(const CVxiRecordReader& record)
    : RecordXdr(record.kept().data(), record.kept().size(), record.length()) {}

RecordXdr::RecordXdr(const char* data, size_t kept, uint64_t length) : m_data(data) {
    m_length = static_cast<u_int>(std::min<uint64_t>(length, CVxiRecordReader::kMaxLength));
    m_kept = static_cast<u_int>(std::min<uint64_t>(kept, m_length));
    // Decoding only: the encoding entries fail.
    // The operations table is a type nested in XDR (const already).
    static std::remove_pointer_t<decltype(XDR::x_ops)> kOps = {
        getLong,
        [](XDR*, const long*) -> bool_t { return FALSE; },
        getBytes,
        [](XDR*, const char*, u_int) -> bool_t { return FALSE; },
        getPos,
        setPos,
        inlineAt,
        [](XDR*) {},
        [](XDR*, int, void*) -> bool_t { return FALSE; },
    };
    m_xdr.x_op = XDR_DECODE;
    m_xdr.x_ops = &kOps;
    m_xdr.x_private = static_cast<char*>(static_cast<void*>(this));
}

bool_t RecordXdr::getBytes(XDR* xdrs, char* to, u_int len) {
    RecordXdr& s = of(xdrs);
    if (len > s.m_length - s.m_pos) {
        return FALSE;
    }
    u_int fromKept = s.m_pos < s.m_kept ? std::min(len, s.m_kept - s.m_pos) : 0;
    if (fromKept > 0) {
        std::memcpy(to, s.m_data + s.m_pos, fromKept);
    }
    std::memset(to + fromKept, 0, len - fromKept);
    s.m_pos += len;
    return TRUE;
}

bool_t RecordXdr::getLong(XDR* xdrs, long* value) {
    uint32_t raw;
    if (!getBytes(xdrs, reinterpret_cast<char*>(&raw), sizeof(raw))) {
        return FALSE;
    }
    *value = static_cast<long>(static_cast<int32_t>(ntohl(raw)));
    return TRUE;
}

u_int RecordXdr::getPos(XDR* xdrs) {
    return of(xdrs).m_pos;
}

bool_t RecordXdr::setPos(XDR* xdrs, u_int pos) {
    RecordXdr& s = of(xdrs);
    if (pos > s.m_length) {
        return FALSE;
    }
    s.m_pos = pos;
    return TRUE;
}

// Only kept, aligned bytes are handed out in place; callers fall back to
// getBytes otherwise.
int32_t* RecordXdr::inlineAt(XDR* xdrs, u_int len) {
    RecordXdr& s = of(xdrs);
    const char* at = s.m_data + s.m_pos;
    if (s.m_pos > s.m_kept || len > s.m_kept - s.m_pos || reinterpret_cast<uintptr_t>(at) % alignof(int32_t) != 0) {
        return nullptr;
    }
    s.m_pos += len;
    return reinterpret_cast<int32_t*>(const_cast<char*>(at));
}
