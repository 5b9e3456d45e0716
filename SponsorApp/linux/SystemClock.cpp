#include "SponsorApp/linux/SystemClock.hpp"

#include <chrono>
#include <ctime>

namespace nimbrella {

Date SystemClock::now() const { return std::chrono::system_clock::now(); }

double SystemClock::uptime() const {
  timespec value{};
  clock_gettime(CLOCK_BOOTTIME, &value);
  return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_nsec) / 1e9;
}

const Calendar& SystemCalendar::current() {
  const double uptime = SystemClock().uptime();
  if (!calendar_ || uptime - madeAt_ >= 60 || uptime < madeAt_) {
    calendar_ = Calendar::current();
    madeAt_ = uptime;
  }
  return *calendar_;
}

}  // namespace nimbrella
