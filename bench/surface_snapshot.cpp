// The surface monitor on the real test desktop (run inside scripts/desktop-session):
// the cost of one snapshot with its nine hit tests, and the processor time of the
// controller's 0.25 s tick (synchronise the panel, then measure) over a whole exposure.

#include "SponsorCore/MenuBarContent.hpp"
#include "surface/DesktopSession.hpp"

#include <QProcess>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <ctime>

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

double processSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void BM_SnapshotWithNineHitTests(benchmark::State& state) {
  auto scene = verifiedScene(state);
  if (!scene) return;
  bool allPassed = true;
  for (auto _ : state) {
    const EligibilitySnapshot snapshot = scene->monitor->snapshot();
    allPassed = allPassed && !snapshot.failure();
    benchmark::DoNotOptimize(snapshot);
  }
  if (!allPassed) state.SkipWithError("a snapshot failed during the run");
}
BENCHMARK(BM_SnapshotWithNineHitTests)->Unit(benchmark::kMicrosecond);

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
    const double cpuStart = processSeconds();
    QElapsedTimer wall;
    wall.start();
    timer.start(250);
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    timer.stop();
    const double cpu = processSeconds() - cpuStart;
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
