#pragma once

#include "SponsorApp/Ports.hpp"

#include <optional>

namespace nimbrella {

// Wall time from the system clock; uptime from CLOCK_BOOTTIME, which keeps counting while
// the machine is suspended, so that a sleep shows up as a gap between samples even when
// no notice of it arrives in time (CLOCK_MONOTONIC stops during a suspend and would hide it).
class SystemClock final : public Clock {
 public:
  Date now() const override;
  double uptime() const override;
};

// The calendar of the system's time zone, looked up again at most once a minute so
// that a change of zone is followed.
class SystemCalendar final : public CalendarProvider {
 public:
  const Calendar& current() override;

 private:
  std::optional<Calendar> calendar_;
  double madeAt_ = 0;
};

}  // namespace nimbrella
