#include "SponsorCore/EarningsWeek.hpp"

#include <chrono>
#include <cstdio>

namespace nimbrella::EarningsWeek {

namespace {

// The key of a UTC day given as days since 1970-01-01 (proleptic Gregorian calendar).
std::string keyOfDay(std::chrono::sys_days day) {
  const std::chrono::year_month_day date{day};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

}  // namespace

std::string utcDayKey(Date date) { return keyOfDay(std::chrono::floor<std::chrono::days>(date)); }

std::vector<EarningsDay> days(const std::vector<EarningsDay>& from, Date now) {
  const auto today = std::chrono::floor<std::chrono::days>(now);
  std::vector<EarningsDay> result;
  result.reserve(7);
  for (int offset = -6; offset <= 0; ++offset) {
    std::string key = keyOfDay(today + std::chrono::days(offset));
    std::int64_t amount = 0;
    for (const auto& record : from) {
      if (record.day == key) {
        amount = record.earnedMicros;
        break;
      }
    }
    result.emplace_back(std::move(key), amount);
  }
  return result;
}

}  // namespace nimbrella::EarningsWeek
