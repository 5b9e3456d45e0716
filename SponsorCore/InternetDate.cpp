#include "SponsorCore/InternetDate.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace nimbrella {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `position`, advancing it.
std::optional<int> digits(std::string_view text, std::size_t& position, std::size_t count) {
  if (text.size() - position < count) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[position + i];
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  position += count;
  return value;
}

bool literal(std::string_view text, std::size_t& position, char expected) {
  if (position >= text.size() || text[position] != expected) return false;
  ++position;
  return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

}  // namespace

std::optional<Date> parseInternetDate(std::string_view text) {
  std::size_t position = 0;
  const auto year = digits(text, position, 4);
  if (!year || !literal(text, position, '-')) return std::nullopt;
  const auto month = digits(text, position, 2);
  if (!month || !literal(text, position, '-')) return std::nullopt;
  const auto day = digits(text, position, 2);
  if (!day || !literal(text, position, 'T')) return std::nullopt;
  const auto hour = digits(text, position, 2);
  if (!hour || !literal(text, position, ':')) return std::nullopt;
  const auto minute = digits(text, position, 2);
  if (!minute || !literal(text, position, ':')) return std::nullopt;
  const auto second = digits(text, position, 2);
  if (!second) return std::nullopt;

  // Fraction: one or more digits, kept to nanoseconds; further digits are truncated.
  std::int64_t nanoseconds = 0;
  if (literal(text, position, '.')) {
    const std::size_t start = position;
    std::int64_t scale = 100'000'000;
    while (position < text.size() && isDigit(text[position])) {
      nanoseconds += (text[position] - '0') * scale;
      scale /= 10;
      ++position;
    }
    if (position == start) return std::nullopt;
  }

  // Zone: "Z" or a signed "HH:MM" offset, then the end of the text.
  std::int64_t offsetSeconds = 0;
  if (!literal(text, position, 'Z')) {
    if (position >= text.size()) return std::nullopt;
    const char sign = text[position];
    if (sign != '+' && sign != '-') return std::nullopt;
    ++position;
    const auto offsetHour = digits(text, position, 2);
    if (!offsetHour || !literal(text, position, ':')) return std::nullopt;
    const auto offsetMinute = digits(text, position, 2);
    if (!offsetMinute || *offsetHour > 23 || *offsetMinute > 59) return std::nullopt;
    offsetSeconds = (*offsetHour * 3600 + *offsetMinute * 60) * (sign == '-' ? -1 : 1);
  }
  if (position != text.size()) return std::nullopt;

  if (*month < 1 || *month > 12) return std::nullopt;
  if (*day < 1 || *day > daysInMonth(*year, *month)) return std::nullopt;
  if (*hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

  // Local time minus the offset is UTC. Years 0000-9999 give at most about 3.2e11
  // seconds, far from overflowing int64; the nanosecond count may not fit Date.
  const std::int64_t seconds = daysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day)) * 86400 +
                               *hour * 3600 + *minute * 60 + *second - offsetSeconds;
  using Nanoseconds = std::chrono::nanoseconds;
  const auto maxSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(Date::duration::max()).count() - 1;
  const auto minSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(Date::duration::min()).count() + 1;
  if (seconds > maxSeconds || seconds < minSeconds) return std::nullopt;
  const auto sinceEpoch = std::chrono::seconds(seconds) + Nanoseconds(nanoseconds);
  return Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
}

std::string formatInternetDate(Date date) {
  using namespace std::chrono;
  const auto milliseconds = floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
  std::int64_t days = milliseconds / 86'400'000;
  std::int64_t rest = milliseconds % 86'400'000;
  if (rest < 0) {
    rest += 86'400'000;
    --days;
  }
  const CivilDate civil = civilFromDays(days);
  const auto hour = rest / 3'600'000;
  const auto minute = rest / 60'000 % 60;
  const auto second = rest / 1000 % 60;
  const auto millisecond = rest % 1000;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(civil.year), civil.month, civil.day, static_cast<long long>(hour),
                static_cast<long long>(minute), static_cast<long long>(second),
                static_cast<long long>(millisecond));
  return buffer;
}

}  // namespace nimbrella
