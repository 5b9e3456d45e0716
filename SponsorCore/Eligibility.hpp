#pragma once

#include <optional>
#include <string>

namespace nimbrella {

// Fourteen yes/no checks that together say whether the sponsored text is
// demonstrably on screen and the computer is in use. A default snapshot passes.
struct EligibilitySnapshot {
  bool contentReady = true;
  bool statusItemVisible = true;
  bool buttonVisible = true;
  bool windowVisible = true;
  bool onActiveSpace = true;
  bool menuBarVisible = true;
  bool geometryValid = true;
  bool textFits = true;
  bool occlusionVisible = true;
  bool displayAwake = true;
  bool sessionActive = true;
  bool topmostSamplesPass = true;
  bool controlsClosed = true;
  bool recentInput = true;

  // The English reason of the first failing group of checks, or empty when every
  // check passes. Groups are tested in a fixed order that is not the field order:
  // input recency comes before the controls, and the topmost samples are grouped
  // with occlusion.
  std::optional<std::string> failure() const;

  friend bool operator==(const EligibilitySnapshot&, const EligibilitySnapshot&) = default;
};

namespace IdleEligibility {

// Longest accepted time since the user's last input, in seconds.
inline constexpr double maximumIdleSeconds = 300.0;

// True exactly when `secondsSinceLastInput` is finite, at least zero and at most
// five minutes.
bool allows(double secondsSinceLastInput) noexcept;

}  // namespace IdleEligibility

}  // namespace nimbrella
