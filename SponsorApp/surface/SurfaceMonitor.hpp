#pragma once

// Proves that the sponsored item is really on screen: fourteen checks measured on
// request, a verdict for the user and a one-line report of every check. It also keeps
// the painted panel in step with what the controller wants shown.

#include "SponsorApp/Ports.hpp"
#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "SponsorApp/surface/WindowServer.hpp"
#include "SponsorCore/Eligibility.hpp"
#include "SponsorCore/MenuBarContent.hpp"
#include "SponsorCore/TextMeasurer.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace nimbrella {

class SurfaceMonitor final : public SurfaceMonitorPort {
 public:
  static constexpr std::string_view nothingToMeasure = "No sponsored item to measure.";
  static constexpr std::string_view statusWindowUnavailable = "Status-item window is unavailable; no earnings.";
  static constexpr std::string_view verifiedText =
      "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.";
  static constexpr std::string_view unverifiedSuffix = " No earnings while this is unverified.";
  static constexpr std::string_view unprovableReason = "Menu-bar visibility could not be verified.";
  static constexpr std::string_view noSampleYet = "No sample yet.";

  // How many of the nine hit-test points found the panel topmost, and how many found
  // no window or an unknown one.
  struct PointCounts {
    int owned = 0;
    int unknown = 0;
  };

  // The window server and the measurer must outlive the monitor.
  SurfaceMonitor(WindowServer& server, const TextMeasurer& measurer);

  // Held weakly: the monitor never keeps the user interface alive.
  std::weak_ptr<StatusItemPort> statusItem;
  std::weak_ptr<SurfacePanel> surface;

  void setExpectation(std::string text, std::optional<MenuBarContent> content) override;
  const std::string& expectedText() const { return expectedText_; }
  void setContentReady(bool ready) override { contentReady_ = ready; }
  void setDisplayAwake(bool awake) override { displayAwake_ = awake; }
  void setSessionActive(bool active) override { sessionActive_ = active; }
  void setControlsClosed(bool closed) override { controlsClosed_ = closed; }

  EligibilitySnapshot snapshot() override;
  void synchronizeSurface(std::string_view text, bool allowed) override;
  const std::string& lastDiagnostic() const override { return lastDiagnostic_; }
  void hideSurface() override;
  void redrawStatusButton() override;
  DesktopRefusal desktopRefusal() const override { return server_.refusal(); }

  const std::string& debugSummary() const { return debugSummary_; }

  // The nine points over `frame` shrunk by 3 points on every side, row by row in x,
  // each with its three y values.
  static std::optional<std::array<Point, 9>> hitTestPoints(const Rect& frame);
  // Counts the nine points whose topmost window is `window`.
  PointCounts sampledPoints(const Rect& frame, WindowNumber window);

 private:
  // "Content painted: true. Item: ..." for the twelve measured checks, written into
  // `summary`, whose room is reused.
  static void summarize(const EligibilitySnapshot& snapshot, std::string& summary);
  MenuBarContent contentExpected() const;
  EligibilitySnapshot unprovableSnapshot(const SurfacePanel* panel);

  WindowServer& server_;
  const TextMeasurer& measurer_;
  std::string expectedText_;
  std::optional<MenuBarContent> expectedContent_;
  std::optional<MenuBarContent> houseContent_;  // the last text shown without a sponsor
  bool contentReady_ = false;
  bool displayAwake_ = true;
  bool sessionActive_ = true;
  bool controlsClosed_ = true;
  bool lastFailed_ = false;
  bool raisePending_ = false;
  // The synchronisation's sample when it changed nothing of the panel's window: the
  // measurement of the same windows that follows it in the same tick (within 10 ms)
  // reads the desktop from it, as if it had been taken that much earlier.
  struct SharedSample {
    DesktopSample sample;
    WindowNumber statusWindow = 0, panel = 0;
    std::chrono::steady_clock::time_point takenAt;
  };
  std::optional<SharedSample> shared_;
  std::string lastDiagnostic_{nothingToMeasure};
  std::string debugSummary_{noSampleYet};
};

}  // namespace nimbrella
