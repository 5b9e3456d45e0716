#include "SponsorCore/EarningsWeek.hpp"

#include <gtest/gtest.h>

#include <chrono>

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
  EXPECT_EQ(keys(EarningsWeek::days({}, utc(2026, 3, 2, 0, 0))),
            "2026-02-24 2026-02-25 2026-02-26 2026-02-27 2026-02-28 2026-03-01 2026-03-02 ");
  // Across a year end and a leap day; the last instant of a UTC day is still that day.
  EXPECT_EQ(keys(EarningsWeek::days({}, utc(2029, 1, 3, 23, 59) + seconds(59) + nanoseconds(999'999'999))),
            "2028-12-28 2028-12-29 2028-12-30 2028-12-31 2029-01-01 2029-01-02 2029-01-03 ");
  EXPECT_EQ(EarningsWeek::days({}, utc(2028, 3, 1, 12, 0))[5].day, "2028-02-29");
  EXPECT_EQ(EarningsWeek::utcDayKey(utc(1970, 1, 1, 0, 0) - nanoseconds(1)), "1969-12-31");
}

TEST(EarningsWeek, MatchesExactKeysFirstRecordWinsOthersIgnored) {
  const auto week = EarningsWeek::days({{"2026-3-4", 11}, {"2026-03-05", -3}, {"2026-03-05", 99}, {"2026-03-10 ", 1},
                                        {"2026-03-10", 9'223'372'036'854'775'807}, {"2026-03-03", 50}},
                                       utc(2026, 3, 10, 9, 0));
  ASSERT_EQ(week.size(), 7u);
  EXPECT_EQ(week[0], (EarningsDay{"2026-03-04", 0}));  // the unpadded form never matches
  EXPECT_EQ(week[1], (EarningsDay{"2026-03-05", -3}));
  EXPECT_EQ(week[2], (EarningsDay{"2026-03-06", 0}));
  EXPECT_EQ(week[6], (EarningsDay{"2026-03-10", 9'223'372'036'854'775'807}));
}

}  // namespace
}  // namespace nimbrella
