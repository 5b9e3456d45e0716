#include "SponsorCore/ExposureClock.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>

namespace nimbrella {
namespace {

// One sample of a running clock with a passing snapshot: the per-tick cost.
void BM_ExposureClockSample(benchmark::State& state) {
  const EligibilitySnapshot snapshot;
  ExposureClock clock(std::numeric_limits<std::int64_t>::max());
  double uptime = 1000.0;
  for (auto _ : state) {
    uptime += 0.25;
    auto progress = clock.sample(snapshot, uptime);
    benchmark::DoNotOptimize(progress);
  }
}
BENCHMARK(BM_ExposureClockSample);

void BM_EligibilityFailure(benchmark::State& state) {
  EligibilitySnapshot snapshot;
  for (auto _ : state) {
    benchmark::DoNotOptimize(snapshot);
    auto failure = snapshot.failure();
    benchmark::DoNotOptimize(failure);
  }
}
BENCHMARK(BM_EligibilityFailure);

}  // namespace
}  // namespace nimbrella
