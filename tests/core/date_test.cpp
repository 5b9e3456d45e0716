#include "SponsorCore/InternetDate.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

using namespace std::chrono;

TEST(InternetDate, ParsesBothFormsToTheExactInstant) {
  const Date base = Date{} + seconds(1767323045);  // 2026-01-02T03:04:05Z
  for (const auto& [text, offset] : std::initializer_list<std::pair<const char*, nanoseconds>>{
           {"2026-01-02T03:04:05Z", {}}, {"2026-01-02T03:04:05.5Z", milliseconds(500)},
           {"2026-01-02T03:04:05.000000001Z", nanoseconds(1)},
           // Digits beyond nanoseconds are truncated, never rounded up into the next second.
           {"2026-01-02T03:04:05.9999999999999Z", nanoseconds(999'999'999)},
           // Offsets: local time minus the offset is UTC.
           {"2026-01-02T04:04:05+01:00", {}}, {"2026-01-01T21:34:05-05:30", {}}, {"2026-01-02T03:04:05-00:00", {}},
           {"2026-01-03T03:03:05+23:59", {}}, {"2026-01-02T04:04:05.5+01:00", milliseconds(500)}}) {
    EXPECT_EQ(parseInternetDate(text), base + offset) << text;
  }
  EXPECT_EQ(parseInternetDate("1970-01-01T00:00:00Z"), Date{});
  EXPECT_EQ(parseInternetDate("1969-12-31T23:59:59Z"), Date{} - seconds(1));
  EXPECT_EQ(parseInternetDate("2000-02-29T23:59:59Z"), Date{} + seconds(951868799));
}

TEST(InternetDate, RefusesEveryOtherFormAndInvalidOrUnrepresentableValues) {
  for (const char* text : {
           "", "2026-01-02T03:04:05", "2026-01-02 03:04:05Z", "2026-01-02t03:04:05Z", "2026-01-02T03:04:05z",
           "2026-01-02T03:04:05,5Z", "2026-01-02T03:04:05.Z", "2026-01-02T03:04Z", "2026-01-02T03:04:05+0100",
           "2026-01-02T03:04:05+01", "2026-01-02T03:04:05Z\n", "+2026-01-02T03:04:05Z", "2026-1-02T03:04:05Z",
           "2026-01-02T03:04:05.-1Z", "2026-\xEF\xBC\x90" "1-02T03:04:05Z",
           "2026-01-02T03:04:05+01:00Z", "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
           "2026-13-01T00:00:00Z", "2026-01-00T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
           "2026-12-31T23:59:60Z", "2026-01-01T00:00:00+24:00", "2026-01-01T00:00:00+01:60",
           // Instants the clock cannot hold are refused rather than wrapped around.
           "0001-01-01T00:00:00Z", "9999-12-31T23:59:59.999Z"}) {
    EXPECT_FALSE(parseInternetDate(text).has_value()) << text;
  }
  for (const char* text : {"2024-02-29T00:00:00Z", "2026-04-30T00:00:00Z", "2200-01-01T00:00:00Z",
                           "1700-01-01T00:00:00Z"}) {
    EXPECT_TRUE(parseInternetDate(text).has_value()) << text;
  }
}

TEST(InternetDate, FormatsUtcWithMillisecondsAndParsesBack) {
  EXPECT_EQ(formatInternetDate(*parseInternetDate("2026-01-02T04:04:05.678912+01:00")), "2026-01-02T03:04:05.678Z");
  EXPECT_EQ(formatInternetDate(Date{} - milliseconds(1)), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(formatInternetDate(Date{} - nanoseconds(1)), "1969-12-31T23:59:59.999Z");
  for (const char* text : {"1970-01-01T00:00:00.000Z", "2024-02-29T23:59:59.999Z", "2000-03-01T00:00:00.000Z",
                           "2262-01-01T00:00:00.000Z", "1678-01-01T00:00:00.000Z"}) {
    EXPECT_EQ(formatInternetDate(*parseInternetDate(text)), text);
  }
}

}  // namespace
}  // namespace nimbrella
