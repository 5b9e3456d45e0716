// One controller tick while an exposure is being measured, with the simulation's
// doubles for every port. The clock and uptime move by 1 ms per tick so the exposure
// clock keeps running (a 60-second lease lasts 60 000 ticks; it is replaced when it
// completes, outside the measured section).
//
//   build/<dir>/bench_controller_tick --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "controller/support/Simulation.hpp"

#include <benchmark/benchmark.h>

#include <chrono>

namespace nimbrella::simulation {
namespace {

void BM_TickWhileMeasuring(benchmark::State& state) {
  World world;
  world.server->makeLease = [&world](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.termsVersion = "minute-v2";
    lease.measurementVersion = "menubar-qualified-60s-v2";
    lease.durationMs = 60'000;
    lease.expiresAt = world.server->nowText(3600 * 24 * 365);
    return lease;
  };
  world.storePairing();
  world.storeConsent();
  AppModel& model = world.build();
  const auto measuring = [&] {
    // Fetch, display and settle in simulated time without the repeating timer.
    for (int i = 0; i < 100 && !(model.exposureState().activeLease && world.monitor->contentReady); ++i) {
      model.tick();
      world.advance(0.1);
    }
  };
  measuring();
  if (!model.exposureState().activeLease) {
    state.SkipWithError("no exposure is running");
    return;
  }
  std::size_t iteration = 0;
  for (auto _ : state) {
    world.clock->uptimeOffset += 0.001;
    world.clock->wallOffset += std::chrono::milliseconds(1);
    model.tick();
    if (++iteration % 1024 == 0 || !model.exposureState().activeLease) {
      // Runs the work the ticks posted (the periodic refresh) outside the measurement.
      state.PauseTiming();
      world.settle();
      state.ResumeTiming();
    }
    if (!model.exposureState().activeLease) {
      state.PauseTiming();
      world.advance(1);
      measuring();
      state.ResumeTiming();
    }
  }
  benchmark::DoNotOptimize(model.visibilityStatus());
}
BENCHMARK(BM_TickWhileMeasuring);

}  // namespace
}  // namespace nimbrella::simulation
