#include "SponsorCore/InternetDate.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

using namespace std::chrono;

// Seconds since 1970-01-01T00:00:00Z of a parsed text.
std::optional<std::int64_t> secondsOf(std::string_view text) {
  const auto date = parseInternetDate(text);
  if (!date) return std::nullopt;
  return floor<seconds>(date->time_since_epoch()).count();
}

TEST(InternetDate, ParsesBothFormsToTheExactInstant) {
  EXPECT_EQ(secondsOf("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(secondsOf("2026-01-02T03:04:05Z"), 1767323045);
  EXPECT_EQ(secondsOf("2000-02-29T23:59:59Z"), 951868799);
  EXPECT_EQ(secondsOf("1969-12-31T23:59:59Z"), -1);

  const Date base = *parseInternetDate("2026-01-02T03:04:05Z");
  EXPECT_EQ(*parseInternetDate("2026-01-02T03:04:05.5Z") - base, milliseconds(500));
  EXPECT_EQ(*parseInternetDate("2026-01-02T03:04:05.678Z") - base, milliseconds(678));
  EXPECT_EQ(*parseInternetDate("2026-01-02T03:04:05.000000001Z") - base, nanoseconds(1));
  // Digits beyond nanoseconds are truncated, never rounded up into the next second.
  EXPECT_EQ(*parseInternetDate("2026-01-02T03:04:05.9999999999999Z") - base, nanoseconds(999'999'999));

  // Offsets: local time minus the offset is UTC.
  EXPECT_EQ(parseInternetDate("2026-01-02T04:04:05+01:00"), base);
  EXPECT_EQ(parseInternetDate("2026-01-01T21:34:05-05:30"), base);
  EXPECT_EQ(parseInternetDate("2026-01-02T03:04:05+00:00"), base);
  EXPECT_EQ(parseInternetDate("2026-01-02T03:04:05-00:00"), base);
  EXPECT_EQ(parseInternetDate("2026-01-03T03:03:05+23:59"), base);
  EXPECT_EQ(parseInternetDate("2026-01-02T04:04:05.5+01:00"), base + milliseconds(500));
}

TEST(InternetDate, RefusesEveryOtherForm) {
  for (const char* text : {
           "", "2026-01-02", "2026-01-02T03:04:05", "2026-01-02 03:04:05", "2026-01-02 03:04:05Z",
           "2026-01-02t03:04:05Z", "2026-01-02T03:04:05z", "20260102T030405Z", "2026-01-02T030405Z",
           "2026-01-02T03:04:05,5Z", "2026-01-02T03:04:05.Z", "2026-01-02T03:04Z", "2026-01-02T03:04:05+0100",
           "2026-01-02T03:04:05+01", "2026-01-02T03:04:05 +01:00", " 2026-01-02T03:04:05Z", "2026-01-02T03:04:05Z ",
           "2026-01-02T03:04:05ZZ", "2026-01-02T03:04:05Z\n", "26-01-02T03:04:05Z", "+2026-01-02T03:04:05Z",
           "2026-1-02T03:04:05Z", "2026-01-02T3:04:05Z", "2026-01-02T03:04:05.5.5Z", "2026-01-02T03:04:05UTC",
           "2026-01-02T03:04:05GMT", "2026-01-02T03:04:05.-1Z", "2026-\xEF\xBC\x90" "1-02T03:04:05Z",
           "2026-01-02T03:04:05+01:00Z", "2026-01-02T03:04:05-01:0"}) {
    EXPECT_FALSE(parseInternetDate(text).has_value()) << text;
  }
}

TEST(InternetDate, ValidatesRanges) {
  EXPECT_TRUE(parseInternetDate("2024-02-29T00:00:00Z"));
  EXPECT_FALSE(parseInternetDate("2026-02-29T00:00:00Z"));
  EXPECT_FALSE(parseInternetDate("2100-02-29T00:00:00Z"));
  EXPECT_TRUE(parseInternetDate("2000-02-29T00:00:00Z"));
  EXPECT_TRUE(parseInternetDate("2026-04-30T00:00:00Z"));
  EXPECT_FALSE(parseInternetDate("2026-04-31T00:00:00Z"));
  EXPECT_TRUE(parseInternetDate("2026-12-31T23:59:59Z"));
  for (const char* text : {"2026-00-01T00:00:00Z", "2026-13-01T00:00:00Z", "2026-01-00T00:00:00Z",
                           "2026-01-32T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
                           "2026-12-31T23:59:60Z", "2026-01-01T00:00:00+24:00", "2026-01-01T00:00:00+01:60",
                           "2026-01-01T00:00:00-99:00"}) {
    EXPECT_FALSE(parseInternetDate(text).has_value()) << text;
  }
  // Instants the clock cannot hold are refused rather than wrapped around.
  EXPECT_FALSE(parseInternetDate("0001-01-01T00:00:00Z"));
  EXPECT_FALSE(parseInternetDate("9999-12-31T23:59:59.999Z"));
  EXPECT_TRUE(parseInternetDate("2200-01-01T00:00:00Z"));
  EXPECT_TRUE(parseInternetDate("1700-01-01T00:00:00Z"));
}

TEST(InternetDate, FormatsUtcWithMillisecondsAndParsesBack) {
  const Date date = *parseInternetDate("2026-01-02T04:04:05.678912+01:00");
  EXPECT_EQ(formatInternetDate(date), "2026-01-02T03:04:05.678Z");
  EXPECT_EQ(formatInternetDate(Date{}), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(formatInternetDate(Date{} - milliseconds(1)), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(formatInternetDate(Date{} - nanoseconds(1)), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(formatInternetDate(*parseInternetDate("2024-02-29T23:59:59.999Z")), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(formatInternetDate(*parseInternetDate("2000-03-01T00:00:00Z")), "2000-03-01T00:00:00.000Z");
  for (const char* text : {"2026-01-02T03:04:05.678Z", "1999-12-31T23:59:59.999Z", "2262-01-01T00:00:00.000Z",
                           "1678-01-01T00:00:00.000Z"}) {
    EXPECT_EQ(formatInternetDate(*parseInternetDate(text)), text);
  }
}

}  // namespace
}  // namespace nimbrella
