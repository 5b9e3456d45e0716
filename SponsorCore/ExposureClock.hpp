#pragma once

#include "SponsorCore/Date.hpp"
#include "SponsorCore/Eligibility.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

// What one sample of an exposure clock says: keep sampling, the qualified
// duration was reached, or the exposure can no longer earn (with an English reason).
class ExposureProgress {
 public:
  enum class Kind : std::uint8_t { running, complete, invalidated };

  static ExposureProgress running(std::int64_t elapsedMs) noexcept { return {Kind::running, elapsedMs, {}}; }
  static ExposureProgress complete(std::int64_t elapsedMs) noexcept { return {Kind::complete, elapsedMs, {}}; }
  static ExposureProgress invalidated(std::string reason) noexcept {
    return {Kind::invalidated, 0, std::move(reason)};
  }

  Kind kind() const noexcept { return kind_; }
  bool isRunning() const noexcept { return kind_ == Kind::running; }
  bool isComplete() const noexcept { return kind_ == Kind::complete; }
  bool isInvalidated() const noexcept { return kind_ == Kind::invalidated; }

  // The milliseconds of a running or complete value; empty for an invalidated one.
  std::optional<std::int64_t> elapsedMs() const noexcept {
    if (kind_ == Kind::invalidated) return std::nullopt;
    return elapsedMs_;
  }

  // The reason of an invalidated value; empty otherwise.
  std::optional<std::string> reason() const {
    if (kind_ != Kind::invalidated) return std::nullopt;
    return reason_;
  }

  // Same case and equal payload.
  friend bool operator==(const ExposureProgress& a, const ExposureProgress& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    return a.kind_ == Kind::invalidated ? a.reason_ == b.reason_ : a.elapsedMs_ == b.elapsedMs_;
  }

 private:
  ExposureProgress(Kind kind, std::int64_t elapsedMs, std::string reason) noexcept
      : kind_(kind), elapsedMs_(elapsedMs), reason_(std::move(reason)) {}

  Kind kind_;
  std::int64_t elapsedMs_;  // unused (zero) when invalidated
  std::string reason_;      // unused (empty) unless invalidated
};

// Decides whether a sponsored item stayed verifiably visible, without one failing
// sample and without a sampling gap of more than one second, for the whole
// qualified duration. Time comes in as monotonic uptime in seconds; the clock
// never reads a clock of its own. Once complete or invalidated it stays so.
class ExposureClock {
 public:
  static constexpr std::string_view unavailableReason = "The exposure clock is unavailable.";
  static constexpr std::string_view interruptedReason = "Exposure was interrupted; a new session is required.";
  // Longest accepted gap between two samples, in seconds (inclusive).
  static constexpr double maximumSampleGap = 1.0;

  // Stores the duration unchanged; a duration of zero or less is refused on the
  // first sample, not here.
  explicit ExposureClock(std::int64_t durationMs) noexcept : durationMs_(durationMs) {}

  std::int64_t durationMs() const noexcept { return durationMs_; }

  // Feeds one eligibility snapshot taken at `uptime` (seconds since boot) and
  // returns the clock's progress. The only way to advance the clock.
  ExposureProgress sample(const EligibilitySnapshot& snapshot, double uptime);

 private:
  ExposureProgress finish(ExposureProgress outcome);

  std::int64_t durationMs_;
  std::optional<double> firstSample_;
  std::optional<double> previousSample_;
  std::optional<ExposureProgress> terminal_;
};

// When to ask the server for the next sponsored item. Deterministic: the same
// inputs always give the same instant.
namespace DeliveryCadence {

// After the server had nothing to offer; `reason` is its no-fill reason code,
// compared exactly (case-sensitive).
Date nextAttempt(std::optional<std::string_view> afterNoFill, Date now);

// After a completion was confirmed; `termsVersion` is the terms version of the
// confirmed lease.
Date nextAttemptAfterCompletion(std::optional<std::string_view> termsVersion, Date now);

}  // namespace DeliveryCadence

}  // namespace nimbrella
