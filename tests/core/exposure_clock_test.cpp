#include "SponsorCore/ExposureClock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>

namespace nimbrella {

void PrintTo(const ExposureProgress& progress, std::ostream* out) {
  switch (progress.kind()) {
    case ExposureProgress::Kind::running: *out << "running(" << *progress.elapsedMs() << ")"; break;
    case ExposureProgress::Kind::complete: *out << "complete(" << *progress.elapsedMs() << ")"; break;
    case ExposureProgress::Kind::invalidated: *out << "invalidated(" << *progress.reason() << ")"; break;
  }
}

namespace {

const ExposureProgress unavailable = ExposureProgress::invalidated("The exposure clock is unavailable.");
const ExposureProgress interrupted =
    ExposureProgress::invalidated("Exposure was interrupted; a new session is required.");

EligibilitySnapshot failing() {
  EligibilitySnapshot snapshot;
  snapshot.textFits = false;
  return snapshot;
}
const ExposureProgress doesNotFit =
    ExposureProgress::invalidated("The complete sponsored creative does not fit in the menu bar.");

TEST(ExposureProgress, EqualityComparesCaseAndPayload) {
  EXPECT_EQ(ExposureProgress::running(5), ExposureProgress::running(5));
  EXPECT_NE(ExposureProgress::running(5), ExposureProgress::running(6));
  EXPECT_NE(ExposureProgress::running(5), ExposureProgress::complete(5));
  EXPECT_EQ(ExposureProgress::invalidated("a"), ExposureProgress::invalidated("a"));
  EXPECT_NE(ExposureProgress::invalidated("a"), ExposureProgress::invalidated("b"));
  EXPECT_NE(ExposureProgress::invalidated(""), ExposureProgress::running(0));

  EXPECT_EQ(ExposureProgress::complete(7).elapsedMs(), 7);
  EXPECT_EQ(ExposureProgress::complete(7).reason(), std::nullopt);
  EXPECT_EQ(ExposureProgress::invalidated("x").elapsedMs(), std::nullopt);
  EXPECT_EQ(ExposureProgress::invalidated("x").reason(), "x");
}

TEST(ExposureClock, RunsInQuarterSecondStepsAndCompletesWithTheDemandedDuration) {
  ExposureClock clock(30000);
  EXPECT_EQ(clock.durationMs(), 30000);
  EXPECT_EQ(clock.sample({}, 100.0), ExposureProgress::running(0));
  EXPECT_EQ(clock.sample({}, 100.5), ExposureProgress::running(500));
  for (int step = 3; step < 120; ++step) {
    const auto progress = clock.sample({}, 100.0 + step * 0.25);
    ASSERT_EQ(progress, ExposureProgress::running(step * 250)) << step;
  }
  EXPECT_EQ(clock.sample({}, 130.0), ExposureProgress::complete(30000));
  // Finished: neither a failing snapshot, a gap nor a bad uptime changes the outcome.
  EXPECT_EQ(clock.sample({}, 130.25), ExposureProgress::complete(30000));
  EXPECT_EQ(clock.sample(failing(), 500.0), ExposureProgress::complete(30000));
  EXPECT_EQ(clock.sample({}, std::nan("")), ExposureProgress::complete(30000));
}

TEST(ExposureClock, OvershootReportsDurationAndElapsedRoundsDown) {
  ExposureClock clock(30000);
  clock.sample({}, 100.0);
  for (double t = 100.9; t < 129.9; t += 0.9) ASSERT_TRUE(clock.sample({}, t).isRunning()) << t;
  EXPECT_EQ(clock.sample({}, 129.9), ExposureProgress::running(29900));
  EXPECT_EQ(clock.sample({}, 130.1), ExposureProgress::complete(30000));

  ExposureClock rounding(1000);
  EXPECT_EQ(rounding.sample({}, 1.0), ExposureProgress::running(0));
  EXPECT_EQ(rounding.sample({}, 1.0009), ExposureProgress::running(0));
  EXPECT_EQ(rounding.sample({}, 1.0019), ExposureProgress::running(1));
  EXPECT_EQ(rounding.sample({}, 1.999), ExposureProgress::running(999));
  EXPECT_EQ(rounding.sample({}, 2.0), ExposureProgress::complete(1000));

  ExposureClock oneMs(1);
  EXPECT_EQ(oneMs.sample({}, 0.0), ExposureProgress::running(0));  // first accepted sample never completes
  EXPECT_EQ(oneMs.sample({}, 0.0), ExposureProgress::running(0));  // repeated uptime is no gap
  EXPECT_EQ(oneMs.sample({}, 0.001), ExposureProgress::complete(1));
}

TEST(ExposureClock, GapOfMoreThanOneSecondOrBackwardsUptimeInterrupts) {
  ExposureClock exact(30000);
  exact.sample({}, 10.0);
  EXPECT_EQ(exact.sample({}, 11.0), ExposureProgress::running(1000));

  ExposureClock late(30000);
  late.sample({}, 10.0);
  EXPECT_EQ(late.sample({}, 11.001), interrupted);
  EXPECT_EQ(late.sample({}, 11.002), interrupted);  // does not restart timing

  ExposureClock backwards(30000);
  backwards.sample({}, 10.0);
  backwards.sample({}, 10.5);
  EXPECT_EQ(backwards.sample({}, 10.25), interrupted);

  ExposureClock infinite(30000);
  infinite.sample({}, 10.0);
  EXPECT_EQ(infinite.sample({}, std::numeric_limits<double>::infinity()), unavailable);
}

TEST(ExposureClock, FailingSnapshotEndsTheClockBeforeAnyOtherTest) {
  ExposureClock zeroDuration(0);
  EXPECT_EQ(zeroDuration.sample(failing(), 1.0), doesNotFit);

  ExposureClock badUptime(30000);
  EXPECT_EQ(badUptime.sample(failing(), std::nan("")), doesNotFit);

  ExposureClock running(30000);
  running.sample({}, 1.0);
  running.sample({}, 1.25);
  EXPECT_EQ(running.sample(failing(), 1.5), doesNotFit);
  // No paused state: a passing sample afterwards keeps the first reason.
  EXPECT_EQ(running.sample({}, 1.75), doesNotFit);
}

TEST(ExposureClock, InvalidDurationOrUptimeMakesTheClockUnavailable) {
  for (const std::int64_t duration : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    ExposureClock clock(duration);
    EXPECT_EQ(clock.durationMs(), duration);
    EXPECT_EQ(clock.sample({}, 1.0), unavailable) << duration;
  }
  for (const double uptime : {std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), -0.5,
                              -std::numeric_limits<double>::denorm_min()}) {
    ExposureClock clock(30000);
    EXPECT_EQ(clock.sample({}, uptime), unavailable) << uptime;
    EXPECT_EQ(clock.sample({}, 1.0), unavailable) << uptime;  // stays finished
  }
  ExposureClock zero(30000);
  EXPECT_EQ(zero.sample({}, 0.0), ExposureProgress::running(0));
  ExposureClock negativeZero(30000);
  EXPECT_EQ(negativeZero.sample({}, -0.0), ExposureProgress::running(0));
  EXPECT_EQ(negativeZero.sample({}, 0.75), ExposureProgress::running(750));
}

TEST(ExposureClock, ExtremeValuesNeitherOverflowNorCompleteEarly) {
  ExposureClock longest(std::numeric_limits<std::int64_t>::max());
  const double huge = std::numeric_limits<double>::max();
  EXPECT_EQ(longest.sample({}, huge), ExposureProgress::running(0));
  EXPECT_EQ(longest.sample({}, huge), ExposureProgress::running(0));

  ExposureClock large(5000);
  EXPECT_EQ(large.sample({}, 1.0e9), ExposureProgress::running(0));
  EXPECT_EQ(large.sample({}, 1.0e9 + 1.0), ExposureProgress::running(1000));
}

TEST(DeliveryCadence, NoFillDelayDependsOnTheExactReasonCode) {
  const Date t = Date{} + std::chrono::seconds(1'700'000'000);
  using std::chrono::seconds;
  EXPECT_EQ(DeliveryCadence::nextAttempt(std::nullopt, t), t + seconds(300));
  EXPECT_EQ(DeliveryCadence::nextAttempt("device_review_required", t), t + seconds(1800));
  for (const char* reason :
       {"no_eligible_campaign", "campaign_daily_limit", "campaign_total_limit", "cooldown", "daily_limit"}) {
    EXPECT_EQ(DeliveryCadence::nextAttempt(reason, t), t + seconds(5)) << reason;
  }
  for (const char* reason : {"Cooldown", "cooldown ", "", "payout_setup_required", "residence_required",
                             "country_unavailable", "DEVICE_REVIEW_REQUIRED"}) {
    EXPECT_EQ(DeliveryCadence::nextAttempt(reason, t), t + seconds(300)) << reason;
  }
  const std::optional<std::string> owned = std::string("cooldown");
  EXPECT_EQ(DeliveryCadence::nextAttempt(owned, t), t + seconds(5));
}

TEST(DeliveryCadence, AfterCompletionOnlyMinuteTermsAskAtOnce) {
  const Date t = Date{} + std::chrono::seconds(1'700'000'000);
  using std::chrono::seconds;
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("minute-v2", t), t);
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion(std::nullopt, t), t + seconds(60));
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("minute-v1", t), t + seconds(60));
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("Minute-v2", t), t + seconds(60));
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("", t), t + seconds(60));
}

}  // namespace
}  // namespace nimbrella
