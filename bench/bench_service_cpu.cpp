// What the service costs while nobody asks it anything: the built MainService
// on the simulated front end (calibrated, an input of 1.234 V DC), fresh for
// each case, measured for 60 s (DMM_BENCH_CPU_SECONDS sets another length):
// idle right after start, and at each reading rate set once over SCPI by a
// client that then leaves. Reports the process's CPU in percent of one core,
// its wake-ups per second (voluntary context switches of all threads) and
// the share of each thread that used any CPU (<thread name>_pct).
//
// It takes the service's fixed ports: run it inside a network namespace,
//   dmm-isolated build-rel/bench/bench_service_cpu
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/sim_calibration_set.h"
#include "service_process.h"

namespace {

using bench_support::ServiceProcess;

double measureSeconds() {
    const char* env = std::getenv("DMM_BENCH_CPU_SECONDS");
    return env != nullptr ? std::atof(env) : 60.0;
}

// The calibration set and the simulated input, under the data root.
void prepareRoot(const std::string& root) {
    std::string old_root = std::getenv("DMM_ROOT") != nullptr ? std::getenv("DMM_ROOT") : "";
    setenv("DMM_ROOT", root.c_str(), 1);
    platform::simWriteCalibrationSet("/vorna/data");
    if (old_root.empty()) {
        unsetenv("DMM_ROOT");
    } else {
        setenv("DMM_ROOT", old_root.c_str(), 1);
    }
    std::filesystem::create_directories(root + "/sim");
    std::ofstream(root + "/sim/input.conf") << "dc_volts = 1.234\n";
}

// Sends one message and waits for its reply line.
void query(int fd, const std::string& text) {
    (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    char buf[256];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0 && buf[n - 1] != '\n') {
    }
}

long voluntarySwitches(pid_t pid, int tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(24));
        }
    }
    return 0;
}

long allVoluntarySwitches(pid_t pid) {
    long sum = 0;
    for (const auto& [tid, cpu] : bench_support::threadCpu(pid)) {
        sum += voluntarySwitches(pid, tid);
    }
    return sum;
}

// Arg: 0 idle, else the NPLC of the rate (20 slow, 5 medium, 0.4 fast) x 10.
void BM_ServiceCpu(benchmark::State& state) {
    for (auto _ : state) {
        ServiceProcess service(nullptr, prepareRoot);
        if (state.range(0) != 0) {
            int fd = bench_support::connectTo(bench_support::kScpiPort);
            std::string nplc = std::to_string(static_cast<double>(state.range(0)) / 10);
            query(fd, "VOLT:DC:NPLC " + nplc + ";:VOLT:DC:NPLC?\n");
            ::close(fd);
        }
        // Start-up work and the client's leaving are not what is measured.
        std::this_thread::sleep_for(std::chrono::seconds(3));

        const pid_t pid = service.pid();
        auto threads_before = bench_support::threadCpu(pid);
        long switches_before = allVoluntarySwitches(pid);
        double cpu_before = bench_support::processCpu(pid);
        auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(measureSeconds()));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double cpu = bench_support::processCpu(pid) - cpu_before;
        long switches = allVoluntarySwitches(pid) - switches_before;
        auto threads_after = bench_support::threadCpu(pid);

        state.SetIterationTime(seconds);
        state.counters["cpu_pct"] = 100 * cpu / seconds;
        state.counters["wakeups_per_s"] = static_cast<double>(switches) / seconds;
        for (const auto& [tid, after] : threads_after) {
            auto before = threads_before.find(tid);
            double used = after.seconds - (before != threads_before.end() ? before->second.seconds : 0);
            if (used > 0) {
                state.counters[after.name + "_pct"] += 100 * used / seconds;
            }
        }
    }
    int64_t arg = state.range(0);
    state.SetLabel(arg == 0 ? "idle" : arg == 200 ? "slow" : arg == 50 ? "medium" : "fast");
}
BENCHMARK(BM_ServiceCpu)->Arg(0)->Arg(200)->Arg(50)->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
