#include "SponsorCore/ExposureClock.hpp"

#include <chrono>
#include <cmath>
#include <utility>

namespace nimbrella {

ExposureProgress ExposureClock::finish(ExposureProgress outcome) {
  terminal_ = std::move(outcome);
  return *terminal_;
}

ExposureProgress ExposureClock::sample(const EligibilitySnapshot& snapshot, double uptime) {
  if (terminal_) return *terminal_;

  if (auto reason = snapshot.failure()) return finish(ExposureProgress::invalidated(std::move(*reason)));

  if (durationMs_ <= 0 || !std::isfinite(uptime) || uptime < 0.0) {
    return finish(ExposureProgress::invalidated(std::string(unavailableReason)));
  }

  if (previousSample_ && (uptime < *previousSample_ || uptime - *previousSample_ > maximumSampleGap)) {
    return finish(ExposureProgress::invalidated(std::string(interruptedReason)));
  }

  if (!firstSample_) firstSample_ = uptime;
  previousSample_ = uptime;

  // Whole milliseconds since the first accepted sample, rounded down. The value is
  // never negative (uptime never goes back past the previous sample); a value too
  // large for 64 bits exceeds every possible duration.
  const double elapsed = std::floor((uptime - *firstSample_) * 1000.0);
  constexpr double int64Limit = 9223372036854775808.0;  // 2^63
  if (elapsed >= int64Limit || static_cast<std::int64_t>(elapsed) >= durationMs_) {
    return finish(ExposureProgress::complete(durationMs_));
  }
  return ExposureProgress::running(static_cast<std::int64_t>(elapsed));
}

namespace DeliveryCadence {

namespace {

Date after(Date now, std::chrono::seconds delay) {
  return now + std::chrono::duration_cast<Date::duration>(delay);
}

}  // namespace

Date nextAttempt(std::optional<std::string_view> afterNoFill, Date now) {
  using std::chrono::seconds;
  if (!afterNoFill) return after(now, seconds(300));
  const std::string_view reason = *afterNoFill;
  if (reason == "device_review_required") return after(now, seconds(1800));
  if (reason == "no_eligible_campaign" || reason == "campaign_daily_limit" || reason == "campaign_total_limit" ||
      reason == "cooldown" || reason == "daily_limit") {
    return after(now, seconds(5));
  }
  return after(now, seconds(300));
}

Date nextAttemptAfterCompletion(std::optional<std::string_view> termsVersion, Date now) {
  if (termsVersion && *termsVersion == "minute-v2") return now;
  return after(now, std::chrono::seconds(60));
}

}  // namespace DeliveryCadence

}  // namespace nimbrella
