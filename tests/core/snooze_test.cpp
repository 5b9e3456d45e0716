#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/Snooze.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace nimbrella {

void PrintTo(const SnoozeState& state, std::ostream* out) { *out << state.toJson().dump(); }

namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s = 0) {
  return Date(sys_days(year{y} / month{mo} / day{d}) + hours(h) + minutes(mi) + seconds(s));
}

TEST(SnoozeState, TimedPausesAddAbsoluteSecondsAndEndAtTheirEnd) {
  const Calendar rome("Europe/Rome");
  const Date now = utc(2026, 3, 29, 0, 45, 12) + milliseconds(250);  // an hour before clocks change
  const auto half = SnoozeState::make(SnoozeChoice::minutes30, now, rome);
  EXPECT_EQ(half, (SnoozeState{now + seconds(1800), false}));
  EXPECT_TRUE(half.isActive(now + seconds(1799)));
  EXPECT_FALSE(half.isActive(now + seconds(1800)));
  EXPECT_EQ(SnoozeState::make(SnoozeChoice::hours2, now, rome).until, now + seconds(7200));
  EXPECT_EQ(SnoozeState::make(SnoozeChoice::hours6, now, rome).until, now + seconds(21600));
  const auto forever = SnoozeState::make(SnoozeChoice::indefinite, now, rome);
  EXPECT_EQ(forever, (SnoozeState{std::nullopt, true}));
  EXPECT_TRUE(forever.isActive(now + hours(24 * 365 * 100)));
  EXPECT_FALSE((SnoozeState{}).isActive(Date::min()));
}

TEST(SnoozeState, EndOfDayIsTheNextLocalMidnightAlsoWhenClocksChange) {
  const Calendar rome("Europe/Rome"), saoPaulo("America/Sao_Paulo");
  const std::tuple<Date, const Calendar*, std::optional<Date>> cases[] = {
      {utc(2026, 1, 14, 22, 59, 30), &rome, utc(2026, 1, 14, 23, 0)},  // 23:59:30, winter
      {utc(2026, 1, 14, 23, 0), &rome, utc(2026, 1, 15, 23, 0)},       // midnight starts a new day
      {utc(2026, 3, 29, 0, 30), &rome, utc(2026, 3, 29, 22, 0)},       // 01:30 (+1) to 00:00 (+2)
      {utc(2026, 10, 24, 22, 30), &rome, utc(2026, 10, 25, 23, 0)},    // a 25-hour day from 00:30 (+2)
      // São Paulo skipped midnight on 4 November 2018 (the day began at 01:00 -2): the day
      // before ends when that day starts, and that day still ends at the next midnight.
      {utc(2018, 11, 3, 23, 0), &saoPaulo, utc(2018, 11, 4, 3, 0)},
      {utc(2018, 11, 4, 12, 0), &saoPaulo, utc(2018, 11, 5, 2, 0)},
  };
  for (const auto& [now, calendar, end] : cases) {
    EXPECT_EQ(SnoozeState::make(SnoozeChoice::endOfDay, now, *calendar), (SnoozeState{end, false}));
  }
  // A calendar that cannot answer gives a pause that is not in force.
  const auto failed = SnoozeState::make(SnoozeChoice::endOfDay, utc(2026, 1, 1, 0, 0), Calendar("No/Such_Zone"));
  EXPECT_EQ(failed, (SnoozeState{std::nullopt, false}));
  EXPECT_FALSE(failed.isActive(utc(2026, 1, 1, 0, 0)));
}

TEST(SnoozeState, JsonFormCountsSecondsFrom2001) {
  using J = nlohmann::ordered_json;
  const Date end = utc(2001, 1, 1, 0, 30) + milliseconds(500);
  EXPECT_EQ((SnoozeState{end, false}).toJson().dump(), R"({"until":1800.5,"indefinite":false})");
  EXPECT_EQ((SnoozeState{std::nullopt, true}).toJson().dump(), R"({"indefinite":true})");
  EXPECT_EQ((SnoozeState{utc(2000, 12, 31, 23, 59), false}).toJson()["until"], -60.0);
  EXPECT_EQ(SnoozeState::fromJson(J::parse(R"({"indefinite":false,"until":null})")), (SnoozeState{std::nullopt, false}));
  EXPECT_EQ(SnoozeState::fromJson(J::parse(R"({"until":1800,"indefinite":true,"other":1})")),
            (SnoozeState{end - milliseconds(500), true}));
  for (const char* bad : {"[]", R"({"until":1800})", R"({"indefinite":0})", R"({"indefinite":false,"until":"1800"})",
                          R"({"indefinite":false,"until":1e300})", R"({"indefinite":false,"until":-1e12})"}) {
    EXPECT_FALSE(SnoozeState::fromJson(J::parse(bad)).has_value()) << bad;
  }
  // Whole milliseconds of a present-day end survive the round trip.
  const SnoozeState state{utc(2026, 12, 6, 7, 20, 13) + milliseconds(123), false};
  const auto decoded = SnoozeState::fromJson(J::parse(state.toJson().dump()));
  ASSERT_TRUE(decoded && decoded->until);
  EXPECT_LT(abs(*decoded->until - *state.until), microseconds(1));
}

}  // namespace
}  // namespace nimbrella
