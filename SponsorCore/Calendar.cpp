#include "SponsorCore/Calendar.hpp"

#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

namespace nimbrella {

namespace {

constexpr std::int64_t kMillisPerMinute = 60'000;
constexpr std::int64_t kMillisPerDay = 86'400'000;

// Milliseconds since 1970-01-01 00:00:00 UTC, rounded down.
std::int64_t millisSinceEpoch(Date date) noexcept {
  return std::chrono::floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

// ICU's date (milliseconds as a double) back to a Date; nothing when it does not fit.
std::optional<Date> dateFromIcu(UDate millis) noexcept {
  if (!std::isfinite(millis)) return std::nullopt;
  using Ticks = Date::duration;
  constexpr double kTicksPerMilli = static_cast<double>(std::chrono::duration_cast<Ticks>(std::chrono::milliseconds(1)).count());
  const double ticks = std::round(millis * kTicksPerMilli);
  // 2^63 is exactly representable; the open bound keeps the conversion defined.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(ticks > -kLimit && ticks < kLimit)) return std::nullopt;
  return Date(Ticks(static_cast<Ticks::rep>(ticks)));
}

std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) noexcept {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

}  // namespace

// The zone is read when the calendar is made; the Gregorian calendar, which loads ICU's
// locale and calendar data, only when day arithmetic first needs it.
struct Calendar::Impl {
  std::unique_ptr<icu::TimeZone> zone;  // null when the zone is unknown

  static std::unique_ptr<Impl> make(std::unique_ptr<icu::TimeZone> zone) {
    auto impl = std::make_unique<Impl>();
    if (!zone) return impl;
    icu::UnicodeString id;
    zone->getID(id);
    if (id == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) return impl;
    impl->zone = std::move(zone);
    return impl;
  }

  std::unique_ptr<Impl> clone() const {
    auto copy = std::make_unique<Impl>();
    if (zone) copy->zone.reset(zone->clone());
    return copy;
  }

  // A fresh Gregorian calendar in the zone, made from a prototype built on first use;
  // null when ICU cannot make one.
  std::unique_ptr<icu::Calendar> gregorian() const {
    std::call_once(prototypeMade_, [this] {
      UErrorCode status = U_ZERO_ERROR;
      auto calendar = std::make_unique<icu::GregorianCalendar>(zone->clone(), icu::Locale::getRoot(), status);
      if (U_FAILURE(status)) return;
      calendar->setLenient(true);
      calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
      calendar->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
      prototype_ = std::move(calendar);
    });
    return prototype_ ? std::unique_ptr<icu::Calendar>(prototype_->clone()) : nullptr;
  }

 private:
  mutable std::once_flag prototypeMade_;
  mutable std::unique_ptr<icu::Calendar> prototype_;
};

Calendar::Calendar(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}

Calendar::Calendar(std::string_view zoneId)
    : impl_(Impl::make(std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(
          icu::UnicodeString::fromUTF8(icu::StringPiece(zoneId.data(), static_cast<std::int32_t>(zoneId.size()))))))) {}

Calendar Calendar::current() {
  // A system zone that ICU cannot identify comes back as the unknown zone; it then
  // behaves as UTC rather than leaving the calendar without answers.
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  if (zone) {
    icu::UnicodeString id;
    zone->getID(id);
    if (id == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) return utc();
  }
  return Calendar(Impl::make(std::move(zone)));
}

Calendar Calendar::utc() { return Calendar("Etc/UTC"); }

Calendar::Calendar(const Calendar& other) : impl_(other.impl_ ? other.impl_->clone() : nullptr) {}

Calendar& Calendar::operator=(const Calendar& other) {
  if (this != &other) impl_ = other.impl_ ? other.impl_->clone() : nullptr;
  return *this;
}

// A moved-from calendar answers nothing until it is assigned again.
Calendar::Calendar(Calendar&& other) noexcept = default;
Calendar& Calendar::operator=(Calendar&& other) noexcept = default;

Calendar::~Calendar() = default;

bool Calendar::isValid() const noexcept { return impl_ && impl_->zone; }

std::string Calendar::zoneId() const {
  std::string result;
  if (!isValid()) return result;
  icu::UnicodeString id;
  impl_->zone->getID(id);
  id.toUTF8String(result);
  return result;
}

std::string Calendar::shortDateTime(Date date, std::string_view locale) const {
  std::string result;
  if (!isValid()) return result;
  const icu::Locale where(std::string(locale).c_str());
  std::unique_ptr<icu::DateFormat> format(
      icu::DateFormat::createDateTimeInstance(icu::DateFormat::kShort, icu::DateFormat::kShort, where));
  if (!format) return result;
  format->setTimeZone(*impl_->zone);
  icu::UnicodeString text;
  format->format(static_cast<UDate>(millisSinceEpoch(date)), text);
  text.toUTF8String(result);
  return result;
}

std::optional<Calendar::LocalTime> Calendar::localTime(Date date) const noexcept {
  if (!isValid()) return std::nullopt;
  const std::int64_t utcMillis = millisSinceEpoch(date);
  std::int32_t rawOffset = 0;
  std::int32_t dstOffset = 0;
  UErrorCode status = U_ZERO_ERROR;
  impl_->zone->getOffset(static_cast<UDate>(utcMillis), false, rawOffset, dstOffset, status);
  if (U_FAILURE(status)) return std::nullopt;
  const std::int64_t localMillis = utcMillis + rawOffset + dstOffset;
  const std::int64_t day = floorDiv(localMillis, kMillisPerDay);  // days since 1970-01-01, a Thursday
  const std::int64_t minuteOfDay = (localMillis - day * kMillisPerDay) / kMillisPerMinute;
  LocalTime result;
  result.weekday = static_cast<int>((day % 7 + 7 + 4) % 7) + 1;
  result.hour = static_cast<int>(minuteOfDay / 60);
  result.minute = static_cast<int>(minuteOfDay % 60);
  return result;
}

std::optional<int> Calendar::weekday(Date date) const noexcept {
  const auto local = localTime(date);
  if (!local) return std::nullopt;
  return local->weekday;
}

std::optional<int> Calendar::hour(Date date) const noexcept {
  const auto local = localTime(date);
  if (!local) return std::nullopt;
  return local->hour;
}

std::optional<int> Calendar::minute(Date date) const noexcept {
  const auto local = localTime(date);
  if (!local) return std::nullopt;
  return local->minute;
}

std::optional<Date> Calendar::startOfDay(Date date) const {
  if (!isValid()) return std::nullopt;
  std::unique_ptr<icu::Calendar> calendar = impl_->gregorian();
  if (!calendar) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(static_cast<UDate>(millisSinceEpoch(date)), status);
  if (U_FAILURE(status)) return std::nullopt;
  const std::int32_t era = calendar->get(UCAL_ERA, status);
  const std::int32_t year = calendar->get(UCAL_YEAR, status);
  const std::int32_t month = calendar->get(UCAL_MONTH, status);
  const std::int32_t day = calendar->get(UCAL_DATE, status);
  if (U_FAILURE(status)) return std::nullopt;
  calendar->clear();
  calendar->set(UCAL_ERA, era);
  calendar->set(year, month, day, 0, 0, 0);
  calendar->set(UCAL_MILLISECOND, 0);
  const UDate start = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return dateFromIcu(start);
}

std::optional<Date> Calendar::addingDays(Date date, int days) const {
  if (!isValid()) return std::nullopt;
  std::unique_ptr<icu::Calendar> calendar = impl_->gregorian();
  if (!calendar) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  // Keep the sub-millisecond part of the date: ICU works in whole milliseconds.
  const std::int64_t millis = millisSinceEpoch(date);
  const Date::duration remainder = date.time_since_epoch() - std::chrono::milliseconds(millis);
  calendar->setTime(static_cast<UDate>(millis), status);
  calendar->add(UCAL_DATE, days, status);
  const UDate moved = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  const auto result = dateFromIcu(moved);
  if (!result || *result > Date::max() - remainder) return std::nullopt;
  return *result + remainder;
}

}  // namespace nimbrella
