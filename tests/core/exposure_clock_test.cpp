#include "SponsorCore/Eligibility.hpp"
#include "SponsorCore/ExposureClock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <ostream>

namespace nimbrella {

void PrintTo(const ExposureProgress& p, std::ostream* out) {
  *out << static_cast<int>(p.kind()) << ':' << p.elapsedMs().value_or(-1) << ':' << p.reason().value_or("");
}

namespace {

using P = ExposureProgress;
constexpr double inf = std::numeric_limits<double>::infinity();
const P unavailable = P::invalidated("The exposure clock is unavailable.");
const P interrupted = P::invalidated("Exposure was interrupted; a new session is required.");
const P doesNotFit = P::invalidated("The complete sponsored creative does not fit in the menu bar.");

EligibilitySnapshot failing() {
  EligibilitySnapshot snapshot;
  snapshot.textFits = false;
  return snapshot;
}

// A clock of `durationMs` that has taken the given passing samples.
ExposureClock after(std::int64_t durationMs, std::initializer_list<double> uptimes) {
  ExposureClock clock(durationMs);
  for (double uptime : uptimes) clock.sample({}, uptime);
  return clock;
}

TEST(ExposureClock, CountsWholeMillisecondsWithoutGapsUntilTheDurationAndStaysComplete) {
  // Every comparison below relies on equality seeing both the case and its payload.
  EXPECT_TRUE(P::running(5) != P::running(6) && P::running(5) != P::complete(5) && P::invalidated("a") != unavailable);
  ExposureClock clock(30000);
  EXPECT_EQ(clock.sample({}, 100.0), P::running(0));
  for (int step = 1; step < 120; ++step) ASSERT_EQ(clock.sample({}, 100.0 + step * 0.25), P::running(step * 250));
  EXPECT_EQ(clock.sample({}, 130.1), P::complete(30000));  // an overshoot reports the duration
  EXPECT_EQ(clock.sample(failing(), 500.0), P::complete(30000));
  EXPECT_EQ(after(1000, {1.0}).sample({}, 1.999), P::running(999));
  ExposureClock oneMs(1);
  EXPECT_EQ(oneMs.sample({}, 0.0), P::running(0));
  EXPECT_EQ(oneMs.sample({}, 0.0), P::running(0));  // a repeated uptime is no gap
  EXPECT_EQ(oneMs.sample({}, 0.001), P::complete(1));
  // A gap of more than one second, or an uptime going back, interrupts.
  EXPECT_EQ(after(30000, {10.0}).sample({}, 11.0), P::running(1000));
  EXPECT_EQ(after(30000, {10.0}).sample({}, 11.001), interrupted);
  EXPECT_EQ(after(30000, {10.0, 10.5}).sample({}, 10.25), interrupted);
}

TEST(ExposureClock, AFailingSnapshotComesFirstThenAnInvalidDurationOrUptime) {
  EXPECT_EQ(ExposureClock(0).sample(failing(), std::nan("")), doesNotFit);
  ExposureClock running = after(30000, {1.0, 1.25});
  EXPECT_EQ(running.sample(failing(), 1.5), doesNotFit);
  EXPECT_EQ(running.sample({}, 1.75), doesNotFit);  // no paused state: the first reason stays
  EXPECT_EQ(ExposureClock(0).sample({}, 1.0), unavailable);
  for (const double uptime : {std::nan(""), inf, -0.5}) {
    ExposureClock clock(30000);
    EXPECT_EQ(clock.sample({}, uptime), unavailable) << uptime;
    EXPECT_EQ(clock.sample({}, 1.0), unavailable) << uptime;
  }
  EXPECT_EQ(after(30000, {-0.0}).sample({}, 0.75), P::running(750));
  EXPECT_EQ(after(5000, {1.0e6}).sample({}, 1.0e6 + 1.0), P::running(1000));  // eleven days of uptime
}

TEST(DeliveryCadence, NextAttemptDependsOnTheExactReasonOrTerms) {
  using std::chrono::seconds;
  const Date t = Date{} + seconds(1'700'000'000);
  EXPECT_EQ(DeliveryCadence::nextAttempt(std::nullopt, t), t + seconds(300));
  EXPECT_EQ(DeliveryCadence::nextAttempt("device_review_required", t), t + seconds(1800));
  for (const char* reason :
       {"no_eligible_campaign", "campaign_daily_limit", "campaign_total_limit", "cooldown", "daily_limit"}) {
    EXPECT_EQ(DeliveryCadence::nextAttempt(reason, t), t + seconds(5)) << reason;
  }
  EXPECT_EQ(DeliveryCadence::nextAttempt("Cooldown", t), t + seconds(300));
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("minute-v2", t), t);
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion("minute-v1", t), t + seconds(60));
  EXPECT_EQ(DeliveryCadence::nextAttemptAfterCompletion(std::nullopt, t), t + seconds(60));
}

using S = EligibilitySnapshot;

// Every check with the reason it gives, in the order the groups are tested (which is
// not the order the fields are declared in: controlsClosed comes before recentInput).
const std::pair<bool S::*, std::string> checks[] = {
    {&S::contentReady, "The sponsored text is not ready."}, {&S::statusItemVisible, "The menu-bar item is hidden."},
    {&S::buttonVisible, "The menu-bar item is hidden."}, {&S::windowVisible, "The menu-bar item is hidden."},
    {&S::onActiveSpace, "The menu bar is not visible on this desktop."},
    {&S::menuBarVisible, "The menu bar is not visible on this desktop."},
    {&S::geometryValid, "The full sponsored item is outside the safe menu-bar area."},
    {&S::textFits, "The complete sponsored creative does not fit in the menu bar."},
    {&S::occlusionVisible, "Menu-bar visibility could not be verified."},
    {&S::topmostSamplesPass, "Menu-bar visibility could not be verified."},
    {&S::displayAwake, "The display or session is inactive."}, {&S::sessionActive, "The display or session is inactive."},
    {&S::recentInput, "The computer has been inactive for more than five minutes."},
    {&S::controlsClosed, "Controls are open; exposure is paused."},
};

TEST(Eligibility, EachFailureHasItsReasonTheEarliestGroupWinsAndIdleTimeIsAtMostFiveMinutes) {
  EXPECT_EQ(S().failure(), std::nullopt);
  for (std::size_t i = 0; i < std::size(checks); ++i) {
    S single, withLater;
    single.*checks[i].first = false;
    for (std::size_t j = i; j < std::size(checks); ++j) withLater.*checks[j].first = false;
    EXPECT_EQ(single.failure(), checks[i].second) << i;
    EXPECT_EQ(withLater.failure(), checks[i].second) << i;
  }
  // Idle time is allowed only from zero to five minutes.
  for (const double idle : {0.0, -0.0, 300.0}) EXPECT_TRUE(IdleEligibility::allows(idle)) << idle;
  for (const double idle : {300.0001, -std::numeric_limits<double>::denorm_min(), std::nan(""), inf}) {
    EXPECT_FALSE(IdleEligibility::allows(idle)) << idle;
  }
}

}  // namespace
}  // namespace nimbrella
