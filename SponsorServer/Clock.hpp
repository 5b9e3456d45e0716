#pragma once

#include "SponsorCore/Date.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace nimbrella::server {

// The server's source of wall-clock time. Every decision that depends on time (expiry,
// lease durations, ticket lifetimes, day boundaries) reads it, never the system directly.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Date now() const override { return std::chrono::system_clock::now(); }
};

// A clock that only moves when told to; safe to read and move from several threads.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start) : nanos_(toNanos(start)) {}

  Date now() const override {
    return Date(std::chrono::duration_cast<Date::duration>(
        std::chrono::nanoseconds(nanos_.load(std::memory_order_acquire))));
  }
  void set(Date date) { nanos_.store(toNanos(date), std::memory_order_release); }
  template <class Rep, class Period>
  void advance(std::chrono::duration<Rep, Period> by) {
    nanos_.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(by).count(),
                     std::memory_order_acq_rel);
  }

 private:
  static std::int64_t toNanos(Date date) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
  }
  std::atomic<std::int64_t> nanos_;
};

// Milliseconds since 1970-01-01 UTC, the unit the store keeps instants in.
inline std::int64_t toMillis(Date date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}
inline Date fromMillis(std::int64_t millis) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(millis)));
}

}  // namespace nimbrella::server
