#pragma once
// Round trips to a server and to a reference server, taken in turns on one
// client so that drifts of the machine hit both alike, reported as p50, p99
// and their ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace bench_support {

inline double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
}

// In microseconds.
struct LatencyPair {
    double p50;
    double p99;
    double ref_p50;
    double ref_p99;
};

// One iteration of `state` is one round trip to each server, the order
// alternating; both functions return nanoseconds. The counters are
// <name>_p50_us, <name>_p99_us, the same for `ref`, p50_ratio and p99_ratio.
// With `manualTime` each iteration counts the measured server's time only.
inline LatencyPair runInTurns(benchmark::State& state, const std::function<double()>& measured,
                              const std::function<double()>& reference, const std::string& name,
                              const std::string& ref, bool manualTime = false) {
    std::vector<double> measured_ns;
    std::vector<double> ref_ns;
    bool measured_first = true;
    for (auto _ : state) {
        if (!measured_first) {
            ref_ns.push_back(reference());
        }
        measured_ns.push_back(measured());
        if (measured_first) {
            ref_ns.push_back(reference());
        }
        if (manualTime) {
            state.SetIterationTime(measured_ns.back() / 1e9);
        }
        measured_first = !measured_first;
    }
    LatencyPair out{percentile(measured_ns, 0.50) / 1000, percentile(measured_ns, 0.99) / 1000,
                    percentile(ref_ns, 0.50) / 1000, percentile(ref_ns, 0.99) / 1000};
    state.counters[name + "_p50_us"] = out.p50;
    state.counters[name + "_p99_us"] = out.p99;
    state.counters[ref + "_p50_us"] = out.ref_p50;
    state.counters[ref + "_p99_us"] = out.ref_p99;
    state.counters["p50_ratio"] = out.p50 / out.ref_p50;
    state.counters["p99_ratio"] = out.p99 / out.ref_p99;
    return out;
}

}  // namespace bench_support
