// Two readings of arbitrary bytes, as the server meets them.
// - Argument records: decoded as the argument record of every procedure the
//   server answers, as its dispatchers do, then freed. A decoded record must
//   keep its byte strings within their bounds and encode again.
// - A connection's byte stream: cut into pieces (sizes drawn from the first
//   byte) and read into call records; each whole record is decoded as a call
//   and as every argument record, whole and with its tail dropped as an
//   oversize record's is. The reader must take every byte it is given until a
//   record is whole and never keep more than its bound.
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "vxi_record.h"
#include "vxi_xdr.h"

namespace {

void checkBounds(const VxiBytes& bytes, uint32_t bound) {
    if (!bytes.oversize && bytes.len > bound) {
        std::abort();
    }
    if (bytes.oversize && bytes.val != nullptr) {
        std::abort();
    }
}

void bounded(const Device_WriteParms& write) {
    checkBounds(write.data, VXI_MAX_WRITE_DATA);
}
void bounded(const Create_LinkParms& link) {
    checkBounds(link.device, VXI_MAX_DEVICE_NAME);
}
template <typename T>
void bounded(const T&) {}

// Decodes from `in` as `codec` says, encodes again what decoded, frees it.
template <typename T>
void decodeFrom(XDR* in, bool_t (*codec)(XDR*, T*), size_t room) {
    T record{};
    if (codec(in, &record)) {
        bounded(record);
        static std::vector<char> out;  // one buffer for every run: runs stay fast
        out.resize(std::max(out.size(), room + 16));
        XDR again;
        xdrmem_create(&again, out.data(), static_cast<u_int>(room + 16), XDR_ENCODE);
        // Oversize strings were skipped, so only records without them encode.
        (void)codec(&again, &record);
        xdr_destroy(&again);
    }
    xdr_free(reinterpret_cast<xdrproc_t>(codec), reinterpret_cast<char*>(&record));
}

// Every argument record, each from a stream that `open` makes afresh.
void decodeArguments(const std::function<void(const std::function<void(XDR*)>&)>& open, size_t room) {
    open([room](XDR* in) { decodeFrom(in, xdr_Create_LinkParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_WriteParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_ReadParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_GenericParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_LockParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_Link, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_EnableSrqParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_DocmdParms, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_RemoteFunc, room); });
    open([room](XDR* in) { decodeFrom(in, xdr_Device_SrqParms, room); });
}

// A call header, then the arguments after it; `length` beyond `kept` reads
// as zeros.
void decodeCall(const char* data, size_t kept, uint64_t length) {
    char auth[2 * MAX_AUTH_BYTES];
    rpc_msg msg{};
    msg.rm_call.cb_cred.oa_base = auth;
    msg.rm_call.cb_verf.oa_base = auth + MAX_AUTH_BYTES;
    RecordXdr header(data, kept, length);
    if (!xdr_callmsg(header.xdr(), &msg)) {
        return;
    }
    u_int at = XDR_GETPOS(header.xdr());
    decodeArguments(
        [&](const std::function<void(XDR*)>& decode) {
            RecordXdr in(data, kept, length);
            if (XDR_SETPOS(in.xdr(), at)) {
                decode(in.xdr());
            }
        },
        kept);
}

void readRecords(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    uint32_t seed = data[0];
    const char* at = reinterpret_cast<const char*>(data) + 1;
    size_t left = size - 1;
    CVxiRecordReader reader;
    while (left > 0 && !reader.broken()) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = std::min<size_t>(left, 1 + (seed >> 16) % 97);
        size_t used = reader.take(at, piece);
        const std::string& kept = reader.kept();
        if (used > piece || kept.size() > CVxiRecordReader::kMaxKept || kept.size() > reader.length()) {
            std::abort();
        }
        if (used < piece && !reader.whole() && !reader.broken()) {
            std::abort();  // bytes left behind with no record to show for them
        }
        at += used;
        left -= used;
        if (reader.whole()) {
            decodeCall(kept.data(), kept.size(), reader.length());
            // The same record as a longer one whose tail was dropped.
            decodeCall(kept.data(), kept.size() / 2, reader.length() + (seed & 0xFFF));
            reader.next();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeArguments(
        [data, size](const std::function<void(XDR*)>& decode) {
            XDR in;
            xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size),
                          XDR_DECODE);
            decode(&in);
            xdr_destroy(&in);
        },
        size);
    readRecords(data, size);
    return 0;
}
