// The caller's cost of one printf-style record with the service's logger set-up:
// a file channel on "/data/logs" behind the asynchronous writer. Formatting and
// file writes happen on the "async log" thread and are not part of that figure;
// the writer thread's cost of one line is measured on its own.
#include <benchmark/benchmark.h>

#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Util/logger.h"

using namespace toolkit;

namespace {

void BM_PrintInfoWithAsyncWriter(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        PrintI("measurement %d ready on channel %s", ++value, "DCV");
    }
    state.SetItemsProcessed(state.iterations());
}
// Fixed iterations: the writer thread may fall behind the callers, and the
// queue it has not drained yet must not grow without bound.
BENCHMARK(BM_PrintInfoWithAsyncWriter)->Iterations(200000)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PrintInfoWithAsyncWriter)->Iterations(50000)->Threads(2)->Repetitions(5)->ReportAggregatesOnly(true);

// What the "async log" thread pays for one record: the day and size tests of
// the file channel, formatting the line and writing it to the file.
void BM_FileChannelWritesOneLine(benchmark::State& state) {
    Logger logger("bench");
    FileChannel channel("bench-log", "/data/bench-logs", LTrace);
    auto ctx = std::make_shared<LogContext>(LInfo, __FILE__, __FUNCTION__, __LINE__, "", "");
    *ctx << "measurement 12345 ready on channel DCV";
    gettimeofday(&ctx->_tv, nullptr);
    for (auto _ : state) {
        channel.write(logger, ctx);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileChannelWritesOneLine)->Iterations(200000)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    // The log files go into a temporary root, removed at the end.
    std::string root = (std::filesystem::temp_directory_path() / "dmmbench-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        return 1;
    }
    setenv("DMM_ROOT", root.c_str(), 1);
    getLogger().add(std::make_shared<FileChannel>("log", "/data/logs", LTrace));
    getLogger().setWriter(std::make_shared<AsyncLogWriter>());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    getLogger().setWriter(nullptr);  // drains what is still queued
    getLogger().del("log");
    std::filesystem::remove_all(root);
    return 0;
}
