#pragma once

#include "SponsorCore/Date.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

// The Gregorian calendar in one explicit time zone: the local weekday and time of day of
// a moment, the start of its local day, and calendar-day arithmetic that keeps the wall
// time across daylight-saving changes. Every answer is optional: nothing when the zone
// is unknown or ICU cannot compute it.
//
// A Calendar is a value (copies are independent). Its const operations may be called
// from several threads at once. The time-of-day queries do not allocate.
class Calendar {
 public:
  // Local weekday (1 = Sunday, 2 = Monday ... 7 = Saturday), hour (0-23) and minute (0-59).
  struct LocalTime {
    int weekday = 0;
    int hour = 0;
    int minute = 0;
    bool operator==(const LocalTime&) const = default;
  };

  // The calendar of an IANA zone identifier ("Europe/Rome", "UTC"). An identifier that
  // ICU does not know gives a calendar that answers nothing.
  explicit Calendar(std::string_view zoneId);
  // The system's current time zone, as ICU detects it (TZ, /etc/localtime).
  static Calendar current();
  // Coordinated Universal Time.
  static Calendar utc();

  Calendar(const Calendar& other);
  Calendar& operator=(const Calendar& other);
  Calendar(Calendar&& other) noexcept;
  Calendar& operator=(Calendar&& other) noexcept;
  ~Calendar();

  // False when the zone is unknown; such a calendar answers nothing.
  bool isValid() const noexcept;
  // The zone's canonical identifier as ICU reports it; empty for an invalid calendar.
  std::string zoneId() const;

  std::optional<LocalTime> localTime(Date date) const noexcept;
  std::optional<int> weekday(Date date) const noexcept;
  std::optional<int> hour(Date date) const noexcept;
  std::optional<int> minute(Date date) const noexcept;
  // The moment in the short date and short time styles of `locale` ("en_GB", "it_IT"),
  // in this calendar's zone; empty for an invalid calendar.
  std::string shortDateTime(Date date, std::string_view locale) const;

  // The first moment of the local day that contains the date: local midnight, or the
  // first moment after it where midnight does not exist on that day.
  std::optional<Date> startOfDay(Date date) const;
  // The date moved by a number of calendar days, keeping its local wall time (a local time
  // that does not exist on the target day moves forward to the next valid moment).
  std::optional<Date> addingDays(Date date, int days) const;

 private:
  struct Impl;
  explicit Calendar(std::unique_ptr<Impl> impl) noexcept;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrella
