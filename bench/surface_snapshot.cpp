// The surface monitor on the real test desktop (run inside scripts/desktop-session):
// the cost of one snapshot (stacking walk, nine hit tests, pixel proof) and of the
// controller's whole 0.25 s tick (synchronise the panel, ask the idle time, measure):
// their median and 99th percentile, the heap allocations and the X round trips of a tick
// in steady state; and the processor time of the tick over a whole exposure.
//
// An exchange with the X server starts with xcb writing out its buffered requests (with
// writev, which this program counts) and waiting for the answers; xcb writes only then
// (its buffer holds far more than a tick asks), so the writev calls during a tick count
// its round trips.

#include "SponsorCore/MenuBarContent.hpp"
#include "surface/DesktopSession.hpp"

#include "bench/CountedAllocations.hpp"
#include "bench/ProcessTime.hpp"

#include <QProcess>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {
std::atomic<long> vectorWrites{0};
}

extern "C" ssize_t writev(int fd, const iovec* vector, int count) {
  vectorWrites.fetch_add(1, std::memory_order_relaxed);
  return static_cast<ssize_t>(::syscall(SYS_writev, fd, vector, count));
}

namespace nimbrella {
namespace {

SponsorCreative creative() {
  SponsorCreative c;
  c.sponsor = "Sample Notes";
  c.headline = "Headline";
  c.body = "Body";
  c.cta = "Open";
  c.url = "https://sample.example/";
  c.menuTagline = "Notes that keep up";
  c.accentColor = "#E0301E";
  return c;
}

// A scene with a verified sponsored item, or nothing (with the reason given to `state`).
std::unique_ptr<desktop::Scene> verifiedScene(benchmark::State& state) {
  if (const std::string missing = desktop::missingDesktop(); !missing.empty()) {
    state.SkipWithError(missing.c_str());
    return nullptr;
  }
  desktop::application();
  // A person at the computer: recent input.
  QProcess::execute(QStringLiteral("xdotool"), {"mousemove", "5", "400"});
  auto scene = std::make_unique<desktop::Scene>();
  scene->show(MenuBarContent{creative(), scene->measurer}, true);
  if (scene->tickUntil([](const auto& s) { return !s.failure(); }).failure()) {
    state.SkipWithError(("the item did not verify: " + scene->monitor->debugSummary()).c_str());
    return nullptr;
  }
  return scene;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// Ticks as the controller runs them, with the event loop run between them (the panel
// repaints its marker there); only the tick itself is timed. Allocations are counted in
// the tick and, apart, between ticks: the repaint that each tick asks for is part of
// its cost.
void BM_TickInSteadyState(benchmark::State& state) {
  auto scene = verifiedScene(state);
  if (!scene) return;
  std::vector<double> snapshots, ticks;
  snapshots.reserve(1000);
  ticks.reserve(1000);
  long allocated = 0, allocatedByNew = 0, writes = 0;
  bool allPassed = true;
  using clock = std::chrono::steady_clock;
  // The first ticks size the buffers and learn the active window.
  for (int i = 0; i < 5; ++i) {
    desktop::pump(10);
    scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
    scene->monitor->snapshot();
  }
  long allocatedBetween = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const long pumpBefore = allocations.load();
    desktop::pump(10);
    const long allocationsBefore = allocations.load(), newBefore = newAllocations.load();
    allocatedBetween += allocationsBefore - pumpBefore;
    const long writesBefore = vectorWrites.load();
    state.ResumeTiming();
    const auto start = clock::now();
    scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
    benchmark::DoNotOptimize(scene->server->secondsSinceLastInput());
    const auto measured = clock::now();
    const EligibilitySnapshot snapshot = scene->monitor->snapshot();
    const auto end = clock::now();
    state.PauseTiming();
    allocated += allocations.load() - allocationsBefore;
    allocatedByNew += newAllocations.load() - newBefore;
    writes += vectorWrites.load() - writesBefore;
    allPassed = allPassed && !snapshot.failure();
    snapshots.push_back(std::chrono::duration<double, std::micro>(end - measured).count());
    ticks.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    state.ResumeTiming();
  }
  if (!allPassed) state.SkipWithError("a snapshot failed during the run");
  const auto n = static_cast<double>(state.iterations());
  state.counters["snapshot_p50_us"] = percentile(snapshots, 0.5);
  state.counters["snapshot_p99_us"] = percentile(snapshots, 0.99);
  state.counters["tick_p50_us"] = percentile(ticks, 0.5);
  state.counters["tick_p99_us"] = percentile(ticks, 0.99);
  state.counters["allocs_per_tick"] = static_cast<double>(allocated) / n;
  state.counters["between_ticks_allocs"] = static_cast<double>(allocatedBetween) / n;
  state.counters["new_per_tick"] = static_cast<double>(allocatedByNew) / n;
  state.counters["round_trips_per_tick"] = static_cast<double>(writes) / n;
}
BENCHMARK(BM_TickInSteadyState)->Iterations(400)->Unit(benchmark::kMicrosecond);

// One exposure of NIMBRELLA_BENCH_EXPOSURE_SECONDS (default 60) wall seconds driven by a
// 0.25 s timer; reports the process's processor time as a share of one core.
void BM_ExposureTickProcessorShare(benchmark::State& state) {
  auto scene = verifiedScene(state);
  if (!scene) return;
  const char* configured = std::getenv("NIMBRELLA_BENCH_EXPOSURE_SECONDS");
  const int seconds = configured != nullptr ? std::max(1, std::atoi(configured)) : 60;
  for (auto _ : state) {
    int ticks = 0;
    int failures = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
      if (scene->monitor->snapshot().failure()) ++failures;
      ++ticks;
    });
    const double cpuStart = bench::processSeconds();
    QElapsedTimer wall;
    wall.start();
    timer.start(250);
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    timer.stop();
    const double cpu = bench::processSeconds() - cpuStart;
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    state.SetIterationTime(elapsed);
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / elapsed;
    state.counters["ticks"] = ticks;
    state.counters["failed_ticks"] = failures;
  }
}
BENCHMARK(BM_ExposureTickProcessorShare)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace nimbrella
