// The schedule test runs on every controller tick (four times a second); it must stay
// well under the tick and must not allocate. Every allocation is counted (see
// CountedAllocations.hpp), so the "allocs_per_call" counter covers the calendar query
// as well.
#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/SponsorPreferences.hpp"
#include "SponsorCore/UserDefaults.hpp"

#include "bench/CountedAllocations.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

using namespace nimbrella;
using namespace std::chrono;

SponsorPreferences overnightSchedule() {
  SponsorPreferences preferences;
  preferences.scheduleEnabled = true;
  preferences.weekdays = {2, 3, 4, 5, 6};
  preferences.startMinute = 1320;
  preferences.endMinute = 360;
  return preferences;
}

void allowsTime(benchmark::State& state, const char* zone) {
  const SponsorPreferences preferences = overnightSchedule();
  const Calendar calendar(zone);
  Date moment = Date(sys_days(year{2026} / 3 / 28)) + hours(20);
  (void)preferences.allowsTime(moment, calendar);  // first use may set up ICU's caches
  bool allowed = false;
  const long before = allocations.load();
  for (auto _ : state) {
    allowed ^= preferences.allowsTime(moment, calendar);
    moment += seconds(97);  // walk across the change of clocks
    benchmark::DoNotOptimize(allowed);
  }
  const long after = allocations.load();
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(after - before) / static_cast<double>(state.iterations()));
}
BENCHMARK_CAPTURE(allowsTime, rome, "Europe/Rome");
BENCHMARK_CAPTURE(allowsTime, new_york, "America/New_York");
BENCHMARK_CAPTURE(allowsTime, utc, "Etc/UTC");

void allowsFullExclusionList(benchmark::State& state) {
  SponsorPreferences preferences;
  for (int i = 0; i < 256; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
    preferences.addExclusion(id, "Sponsor");
  }
  const std::string advertiser = "FFFFFFFF-0000-4000-8000-000000000000";
  const long before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(preferences.allows(advertiser, std::nullopt));
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(allowsFullExclusionList);

void loadFullExclusionList(benchmark::State& state) {
  SponsorPreferences preferences = overnightSchedule();
  for (int i = 0; i < 256; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
    preferences.addExclusion(id, "A sponsor with a fairly long display name");
  }
  InMemoryUserDefaults store;
  preferences.save(store, sponsorPreferencesKey);
  const long before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(SponsorPreferences::load(store, sponsorPreferencesKey));
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(loadFullExclusionList);

// Not on the tick path; shows that the counter sees ICU's own allocations too.
void startOfDay(benchmark::State& state) {
  const Calendar calendar("Europe/Rome");
  Date moment = Date(sys_days(year{2026} / 3 / 28)) + hours(20);
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(calendar.startOfDay(moment));
    moment += seconds(97);
  }
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(startOfDay);

}  // namespace
