#include "SponsorCore/Eligibility.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace nimbrella {
namespace {

using Field = bool EligibilitySnapshot::*;

constexpr const char* notReady = "The sponsored text is not ready.";
constexpr const char* itemHidden = "The menu-bar item is hidden.";
constexpr const char* barHidden = "The menu bar is not visible on this desktop.";
constexpr const char* outsideSafeArea = "The full sponsored item is outside the safe menu-bar area.";
constexpr const char* doesNotFit = "The complete sponsored creative does not fit in the menu bar.";
constexpr const char* unverified = "Menu-bar visibility could not be verified.";
constexpr const char* inactive = "The display or session is inactive.";
constexpr const char* idle = "The Mac has been inactive for more than five minutes.";
constexpr const char* controlsOpen = "Controls are open; exposure is paused.";

// Every check with the reason it gives when it is the only one failing, in the
// order the groups are tested.
const std::vector<std::pair<Field, const char*>>& checksInGroupOrder() {
  static const std::vector<std::pair<Field, const char*>> checks = {
      {&EligibilitySnapshot::contentReady, notReady},
      {&EligibilitySnapshot::statusItemVisible, itemHidden},
      {&EligibilitySnapshot::buttonVisible, itemHidden},
      {&EligibilitySnapshot::windowVisible, itemHidden},
      {&EligibilitySnapshot::onActiveSpace, barHidden},
      {&EligibilitySnapshot::menuBarVisible, barHidden},
      {&EligibilitySnapshot::geometryValid, outsideSafeArea},
      {&EligibilitySnapshot::textFits, doesNotFit},
      {&EligibilitySnapshot::occlusionVisible, unverified},
      {&EligibilitySnapshot::topmostSamplesPass, unverified},
      {&EligibilitySnapshot::displayAwake, inactive},
      {&EligibilitySnapshot::sessionActive, inactive},
      {&EligibilitySnapshot::recentInput, idle},
      {&EligibilitySnapshot::controlsClosed, controlsOpen},
  };
  return checks;
}

TEST(EligibilitySnapshot, DefaultPassesAndEachSingleFailureHasItsReason) {
  EXPECT_EQ(EligibilitySnapshot().failure(), std::nullopt);
  ASSERT_EQ(checksInGroupOrder().size(), 14u);
  for (const auto& [field, reason] : checksInGroupOrder()) {
    EligibilitySnapshot snapshot;
    snapshot.*field = false;
    EXPECT_EQ(snapshot.failure(), std::string(reason)) << reason;
  }
}

TEST(EligibilitySnapshot, EarliestFailingGroupWinsRegardlessOfFieldOrder) {
  // For every pair of checks failing together, the one whose group comes first wins.
  const auto& checks = checksInGroupOrder();
  for (std::size_t i = 0; i < checks.size(); ++i) {
    for (std::size_t j = i + 1; j < checks.size(); ++j) {
      EligibilitySnapshot snapshot;
      snapshot.*checks[i].first = false;
      snapshot.*checks[j].first = false;
      EXPECT_EQ(snapshot.failure(), std::string(checks[i].second)) << i << "," << j;
    }
  }

  EligibilitySnapshot both;
  both.controlsClosed = false;  // declared before recentInput, tested after it
  both.recentInput = false;
  EXPECT_EQ(both.failure(), std::string(idle));

  EligibilitySnapshot allFailing;
  for (const auto& [field, reason] : checks) allFailing.*field = false;
  EXPECT_EQ(allFailing.failure(), std::string(notReady));
}

TEST(IdleEligibility, AllowsOnlyFiniteValuesFromZeroToFiveMinutes) {
  EXPECT_TRUE(IdleEligibility::allows(0.0));
  EXPECT_TRUE(IdleEligibility::allows(-0.0));
  EXPECT_TRUE(IdleEligibility::allows(299.999));
  EXPECT_TRUE(IdleEligibility::allows(300.0));
  EXPECT_FALSE(IdleEligibility::allows(300.0001));
  EXPECT_FALSE(IdleEligibility::allows(300.5));
  EXPECT_FALSE(IdleEligibility::allows(-1.0));
  EXPECT_FALSE(IdleEligibility::allows(-std::numeric_limits<double>::denorm_min()));
  EXPECT_FALSE(IdleEligibility::allows(std::nan("")));
  EXPECT_FALSE(IdleEligibility::allows(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(IdleEligibility::allows(-std::numeric_limits<double>::infinity()));
}

}  // namespace
}  // namespace nimbrella
