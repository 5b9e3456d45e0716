#include "SponsorCore/Eligibility.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

// Every check with the reason it gives, in the order the groups are tested (which is
// not the order the fields are declared in: controlsClosed comes before recentInput).
const std::pair<bool S::*, std::string> checks[] = {
    {&S::contentReady, "The sponsored text is not ready."},
    {&S::statusItemVisible, "The menu-bar item is hidden."},
    {&S::buttonVisible, "The menu-bar item is hidden."},
    {&S::windowVisible, "The menu-bar item is hidden."},
    {&S::onActiveSpace, "The menu bar is not visible on this desktop."},
    {&S::menuBarVisible, "The menu bar is not visible on this desktop."},
    {&S::geometryValid, "The full sponsored item is outside the safe menu-bar area."},
    {&S::textFits, "The complete sponsored creative does not fit in the menu bar."},
    {&S::occlusionVisible, "Menu-bar visibility could not be verified."},
    {&S::topmostSamplesPass, "Menu-bar visibility could not be verified."},
    {&S::displayAwake, "The display or session is inactive."},
    {&S::sessionActive, "The display or session is inactive."},
    {&S::recentInput, "The computer has been inactive for more than five minutes."},
    {&S::controlsClosed, "Controls are open; exposure is paused."},
};

TEST(EligibilitySnapshot, EachFailureHasItsReasonAndTheEarliestGroupWins) {
  EXPECT_EQ(S().failure(), std::nullopt);
  for (std::size_t i = 0; i < std::size(checks); ++i) {
    S single;
    single.*checks[i].first = false;
    EXPECT_EQ(single.failure(), checks[i].second) << i;
    for (std::size_t j = i + 1; j < std::size(checks); ++j) {
      S pair;
      pair.*checks[i].first = false;
      pair.*checks[j].first = false;
      EXPECT_EQ(pair.failure(), checks[i].second) << i << "," << j;
    }
  }
}

TEST(IdleEligibility, AllowsOnlyFiniteValuesFromZeroToFiveMinutes) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const double idle : {0.0, -0.0, 300.0}) EXPECT_TRUE(IdleEligibility::allows(idle)) << idle;
  for (const double idle : {300.0001, -std::numeric_limits<double>::denorm_min(), std::nan(""), inf}) {
    EXPECT_FALSE(IdleEligibility::allows(idle)) << idle;
  }
}

}  // namespace
}  // namespace nimbrella
