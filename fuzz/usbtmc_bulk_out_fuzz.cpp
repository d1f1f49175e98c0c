// libFuzzer target for the USBTMC Bulk-OUT side: any byte stream a USB host
// may send, cut into reads as the transport makes them (the first byte bounds
// the read size, so headers also arrive in pieces). Checks what the transport
// relies on: sensible read sizes, messages within their bound and made only
// of bytes that arrived, and headers that read back as they were sent.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "UsbtmcBulkOut.h"
#include "UsbtmcHeader.h"

namespace {

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

void checkHeaderRoundTrip(const uint8_t* raw) {
    halUsbtmcHeaderStru header{};
    if (halUsbtmcHeaderParse(raw, USBTMC_HEADER_LEN, &header) == 0) {
        uint8_t again[USBTMC_HEADER_LEN];
        halUsbtmcHeaderPack(header, again);
        check(std::memcmp(raw, again, USBTMC_HEADER_LEN) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t readMax = static_cast<size_t>(data[0]) + 1;
    ++data;
    --size;
    if (size >= USBTMC_HEADER_LEN) {
        checkHeaderRoundTrip(data);
    }
    UsbtmcBulkOut parser;
    size_t fed = 0;
    while (fed < size) {
        size_t want = parser.wanted();
        check(want >= 1 && want <= UsbtmcBulkOut::kPieceMax);
        size_t n = want < readMax ? want : readMax;
        n = n < size - fed ? n : size - fed;
        UsbtmcBulkOut::Result r = parser.consume(data + fed, n);
        fed += n;
        check(parser.message().size() <= UsbtmcBulkOut::kMessageMax);
        if (r.bMessageDone) {
            check(parser.message().size() <= fed);
        }
        check(!(r.bRequest && r.bMessageDone));
    }
    return 0;
}
