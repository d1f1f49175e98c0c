// Joining the points of one calibration key into the index: evenly spaced
// targets against targets chosen to share one bucket of a fixed, known hash
// (the one the index used before it was keyed). With a keyed hash both cost
// the same; with the fixed one the chosen ones cost a walk per point.
#include <benchmark/benchmark.h>

#include <vector>

#include "CaliPointCache.h"
#include "fixed_hash_targets.h"

namespace {

std::vector<double> targets(size_t n, bool chosen) {
    using namespace fixed_hash_targets;
    return chosen ? sharingABucket(n, grownBuckets(n)) : spaced(n);
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
