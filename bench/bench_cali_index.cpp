// Joining the points of one calibration key into the index: evenly spaced
// targets against targets chosen to share one bucket of a fixed, known hash
// (the one the index used before it was keyed). With a keyed hash both cost
// the same; with the fixed one the chosen ones cost a walk per point.
#include <benchmark/benchmark.h>

#include <cstring>
#include <unordered_set>
#include <vector>

#include "CaliPointCache.h"

namespace {

uint64_t fixedHashPreimage(uint64_t h, uint64_t funcRange) {
    uint64_t inverse = 0xFF51AFD7ED558CCDULL;
    for (int i = 0; i < 5; ++i) inverse *= 2 - 0xFF51AFD7ED558CCDULL * inverse;
    h ^= h >> 33;
    h *= inverse;
    return (h ^ (h >> 33)) ^ (funcRange * 0x9E3779B97F4A7C15ULL);
}

std::vector<double> targets(size_t n, bool chosen) {
    std::unordered_set<size_t> grown;
    for (size_t i = 0; i < n; ++i) grown.insert(i);
    const uint64_t buckets = grown.bucket_count();
    std::vector<double> out;
    for (uint64_t k = 1; out.size() < n; ++k) {
        const uint64_t bits = fixedHashPreimage(k * buckets, 1);
        double target = k * 0.5;
        if (chosen) std::memcpy(&target, &bits, sizeof target);
        if (target == target && target != 0.0) out.push_back(target);
    }
    return out;
}

void join(benchmark::State& state, bool chosen) {
    const std::vector<double> ts = targets(static_cast<size_t>(state.range(0)), chosen);
    for (auto _ : state) {
        CaliPointCache<>::PointMap points;
        CaliPointCache<> cache(points);
        for (double t : ts) cache.add({0, 1, 1.0, t});
        benchmark::DoNotOptimize(points);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_JoinSpacedTargets(benchmark::State& state) { join(state, false); }
void BM_JoinTargetsChosenAgainstAFixedHash(benchmark::State& state) { join(state, true); }

BENCHMARK(BM_JoinSpacedTargets)->Arg(1 << 14)->Arg(1 << 16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JoinTargetsChosenAgainstAFixedHash)->Arg(1 << 14)->Arg(1 << 16)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
