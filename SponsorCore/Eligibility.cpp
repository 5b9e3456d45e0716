#include "SponsorCore/Eligibility.hpp"

#include "SponsorCore/PlatformText.hpp"

#include <cmath>

namespace nimbrella {

std::optional<std::string> EligibilitySnapshot::failure() const {
  if (!contentReady) return std::string("The sponsored text is not ready.");
  if (!statusItemVisible || !buttonVisible || !windowVisible) return std::string("The menu-bar item is hidden.");
  if (!onActiveSpace || !menuBarVisible) return std::string("The menu bar is not visible on this desktop.");
  if (!geometryValid) return std::string("The full sponsored item is outside the safe menu-bar area.");
  if (!textFits) return std::string("The complete sponsored creative does not fit in the menu bar.");
  if (!occlusionVisible || !topmostSamplesPass) return std::string("Menu-bar visibility could not be verified.");
  if (!displayAwake || !sessionActive) return std::string("The display or session is inactive.");
  if (!recentInput) return std::string(platformText::inactiveTooLong.english);
  if (!controlsClosed) return std::string("Controls are open; exposure is paused.");
  return std::nullopt;
}

namespace IdleEligibility {

bool allows(double secondsSinceLastInput) noexcept {
  return std::isfinite(secondsSinceLastInput) && secondsSinceLastInput >= 0.0 &&
         secondsSinceLastInput <= maximumIdleSeconds;
}

}  // namespace IdleEligibility

}  // namespace nimbrella
