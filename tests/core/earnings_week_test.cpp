#include "SponsorCore/EarningsWeek.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

namespace nimbrella {
namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi) {
  return Date(sys_days(year{y} / month{mo} / day{d}) + hours(h) + minutes(mi));
}

std::string keys(const std::vector<EarningsDay>& days) {
  std::string result;
  for (const auto& d : days) result += d.day + " ";
  return result;
}

TEST(EarningsWeek, SevenUtcDaysEndingToday) {
  const auto week = EarningsWeek::days({}, utc(2026, 3, 2, 0, 0));
  EXPECT_EQ(keys(week), "2026-02-24 2026-02-25 2026-02-26 2026-02-27 2026-02-28 2026-03-01 2026-03-02 ");
  for (const auto& d : week) EXPECT_EQ(d.earnedMicros, 0);
  // Across a year end and a leap day; the last instant of a UTC day is still that day.
  EXPECT_EQ(keys(EarningsWeek::days({}, utc(2029, 1, 3, 23, 59) + seconds(59) + nanoseconds(999'999'999))),
            "2028-12-28 2028-12-29 2028-12-30 2028-12-31 2029-01-01 2029-01-02 2029-01-03 ");
  EXPECT_EQ(EarningsWeek::days({}, utc(2028, 3, 1, 12, 0))[5].day, "2028-02-29");
  EXPECT_EQ(EarningsWeek::utcDayKey(utc(1970, 1, 1, 0, 0) - nanoseconds(1)), "1969-12-31");
  // 23:30 on 14 January in New York is already 15 January in UTC, and so is its day.
  EXPECT_EQ(EarningsWeek::days({{"2026-01-14", 5}, {"2026-01-15", 7}}, utc(2026, 1, 15, 4, 30)).back(),
            (EarningsDay{"2026-01-15", 7}));
}

TEST(EarningsWeek, MatchesExactKeysFirstRecordWinsOthersIgnored) {
  const Date now = utc(2026, 3, 10, 9, 0);
  const auto week = EarningsWeek::days({{"2026-3-4", 11}, {"2026-03-05", -3}, {"2026-03-05", 99}, {"2026-03-10 ", 1},
                                        {"2026-03-10", 9'223'372'036'854'775'807}, {"2026-03-03", 50}},
                                       now);
  ASSERT_EQ(week.size(), 7u);
  EXPECT_EQ(week[0], (EarningsDay{"2026-03-04", 0}));  // the unpadded form never matches
  EXPECT_EQ(week[1], (EarningsDay{"2026-03-05", -3}));
  EXPECT_EQ(week[6], (EarningsDay{"2026-03-10", 9'223'372'036'854'775'807}));
  // Thirty days in any order: only the last seven, in ascending order.
  std::vector<EarningsDay> month;
  for (int i = 0; i < 30; ++i) month.push_back({EarningsWeek::utcDayKey(now - days(i)), 1000 + i});
  std::shuffle(month.begin(), month.end(), std::mt19937(7));
  const auto last = EarningsWeek::days(month, now);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(last[static_cast<std::size_t>(i)], (EarningsDay{EarningsWeek::utcDayKey(now - days(6 - i)), 1006 - i}));
  }
}

}  // namespace
}  // namespace nimbrella
