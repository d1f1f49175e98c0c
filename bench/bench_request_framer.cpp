// A request of tiny `data` entries (4 bytes each, the worst case for a walk
// field by field) that arrives in 1 KiB reads, as a slow or busy link hands
// it over, framed the way the request port frames it. The work per request
// should grow with its size, not with its size times the number of reads.
// Reported: time per request and bytes per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "ConnService.h"
#include "RequestFramer.h"

namespace {

struct CountingSink : RequestFramer::Sink {
    void onRequest(const char*, size_t size) override { bytes += size; }
    void onOversized(int32_t) override { ++oversized; }
    size_t bytes = 0;
    size_t oversized = 0;
};

// A request of code 0x1000F101 with entries up to `size` bytes.
std::string tinyEntries(size_t size) {
    std::string request("\x08\x81\xe2\x83\x80\x01", 6);
    while (request.size() + 4 <= size) {
        request.append("\x12\x02\x08\x01", 4);
    }
    return request;
}

void BM_RequestInSmallReads(benchmark::State& state) {
    const std::string request = tinyEntries(static_cast<size_t>(state.range(0)));
    constexpr size_t kRead = 1024;
    for (auto _ : state) {
        RequestFramer framer(ConnService::ProtoSession::kMaxRequest);
        CountingSink sink;
        for (size_t at = 0; at < request.size(); at += kRead) {
            framer.take(request.data() + at, std::min(kRead, request.size() - at), sink);
        }
        framer.finish(sink);
        if (sink.bytes != request.size() || sink.oversized != 0) {
            state.SkipWithError("the request was not passed on whole");
            break;
        }
        benchmark::DoNotOptimize(sink.bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}
BENCHMARK(BM_RequestInSmallReads)->Arg(256 << 10)->Arg(1 << 20)->Arg(6000000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
