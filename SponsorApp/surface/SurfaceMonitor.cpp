#include "SponsorApp/surface/SurfaceMonitor.hpp"

#include "SponsorApp/surface/SurfaceSynchronizer.hpp"

#include <cmath>
#include <utility>
#include <limits>

namespace nimbrella {

namespace {

bool viewShown(const ViewState& view) {
  return !view.hiddenOrHasHiddenAncestor && view.alpha == 1.0 && view.visibleRectContainsBounds;
}

bool windowShown(const std::optional<WindowState>& window) { return window && window->visible && window->alpha == 1.0; }

const char* text(bool value) { return value ? "true" : "false"; }

bool paintedAsExpected(bool contentReady, const std::string& expectedText, const ViewState& view,
                       const MenuBarButtonState& button, const MenuBarContent& expected) {
  return contentReady && !expectedText.empty() && view.title == expectedText && button.paintedContent() &&
         *button.paintedContent() == expected && button.paintedSize() == view.boundsSize;
}

}  // namespace

double UnverifiableWindowServer::secondsSinceLastInput() { return std::numeric_limits<double>::quiet_NaN(); }

SurfaceMonitor::SurfaceMonitor(WindowServer& server, const TextMeasurer& measurer)
    : server_(server), measurer_(measurer) {}

MenuBarContent SurfaceMonitor::contentExpected() const {
  return expectedContent_ ? *expectedContent_ : MenuBarContent(expectedText_, measurer_);
}

void SurfaceMonitor::summarize(const EligibilitySnapshot& s, std::string& summary) {
  // Labels in the order the summary shows them (not the snapshot's field order).
  struct Entry {
    const char* label;
    bool EligibilitySnapshot::*check;
  };
  static constexpr Entry entries[] = {
      {"Content painted", &EligibilitySnapshot::contentReady},
      {"Item", &EligibilitySnapshot::statusItemVisible},
      {"Button", &EligibilitySnapshot::buttonVisible},
      {"Window", &EligibilitySnapshot::windowVisible},
      {"Space", &EligibilitySnapshot::onActiveSpace},
      {"Bar", &EligibilitySnapshot::menuBarVisible},
      {"Safe area", &EligibilitySnapshot::geometryValid},
      {"Creative fit", &EligibilitySnapshot::textFits},
      {"Occlusion", &EligibilitySnapshot::occlusionVisible},
      {"Recent input", &EligibilitySnapshot::recentInput},
      {"Nine hit tests", &EligibilitySnapshot::topmostSamplesPass},
  };
  summary.clear();
  for (const Entry& entry : entries) {
    if (!summary.empty()) summary += ". ";
    summary.append(entry.label).append(": ").append(text(s.*entry.check));
  }
  summary += ".";
}

std::optional<std::array<Point, 9>> SurfaceMonitor::hitTestPoints(const Rect& frame) {
  const double minX = frame.minX() + 3, maxX = frame.maxX() - 3;
  const double minY = frame.minY() + 3, maxY = frame.maxY() - 3;
  if (!(maxX - minX > 0) || !(maxY - minY > 0) || !std::isfinite(maxX - minX) || !std::isfinite(maxY - minY)) {
    return std::nullopt;
  }
  const double xs[3] = {minX, (minX + maxX) * 0.5, maxX};
  const double ys[3] = {minY, (minY + maxY) * 0.5, maxY};
  std::array<Point, 9> points;
  std::size_t index = 0;
  for (double x : xs) {
    for (double y : ys) points[index++] = {x, y};
  }
  return points;
}

SurfaceMonitor::PointCounts SurfaceMonitor::sampledPoints(const Rect& frame, WindowNumber window) {
  const auto points = hitTestPoints(frame);
  if (!points || window <= 0) return {0, 9};
  PointCounts counts;
  for (WindowNumber owner : server_.topmostWindows(*points, window)) {
    if (owner == window) {
      ++counts.owned;
    } else if (owner <= 0) {
      ++counts.unknown;
    }
  }
  return counts;
}

EligibilitySnapshot SurfaceMonitor::unprovableSnapshot(const SurfacePanel* panel) {
  // Only what the application knows of itself can hold; nothing about the desktop does.
  EligibilitySnapshot result;
  if (panel != nullptr) {
    result.contentReady =
        paintedAsExpected(contentReady_, expectedText_, panel->view(), panel->button(), contentExpected());
  } else {
    result.contentReady = false;
  }
  result.statusItemVisible = false;
  result.buttonVisible = false;
  result.windowVisible = false;
  result.onActiveSpace = false;
  result.menuBarVisible = false;
  result.geometryValid = false;
  result.textFits = false;
  result.occlusionVisible = false;
  result.topmostSamplesPass = false;
  result.recentInput = false;
  result.displayAwake = displayAwake_;
  result.sessionActive = sessionActive_;
  result.controlsClosed = controlsClosed_;
  summarize(result, debugSummary_);
  lastDiagnostic_ = std::string(unprovableReason) + std::string(unverifiedSuffix);
  return result;
}

EligibilitySnapshot SurfaceMonitor::snapshot() {
  const std::shared_ptr<StatusItemPort> item = statusItem.lock();
  const std::shared_ptr<SurfacePanel> panel = surface.lock();
  if (!server_.canVerify()) return unprovableSnapshot(panel.get());

  std::optional<ViewState> statusButton = item ? item->button() : std::nullopt;
  const WindowNumber statusWindow = item ? item->windowNumber() : 0;
  // Whatever way this returns, the measurement's answers serve this snapshot only.
  struct MeasurementEnd {
    WindowServer& server;
    ~MeasurementEnd() { server.endMeasurement(); }
  } end{server_};
  DesktopSample sample;
  if (item && statusButton && statusWindow > 0 && panel) {
    const bool fresh = shared_ && shared_->statusWindow == statusWindow && shared_->panel == panel->windowNumber() &&
                       std::chrono::steady_clock::now() - shared_->takenAt < std::chrono::milliseconds(10);
    if (fresh) {
      sample = std::move(shared_->sample);
      server_.beginMeasurement(panel->windowNumber());
    } else {
      sample = server_.sampleForMeasurement(statusWindow, panel->windowNumber());
    }
  }
  shared_.reset();
  if (!item || !statusButton || statusWindow <= 0 || !sample.statusWindow || !panel || !sample.screen) {
    lastDiagnostic_ = statusWindowUnavailable;
    EligibilitySnapshot early;
    early.contentReady = false;
    return early;
  }

  const ViewState view = panel->view();
  std::optional<MenuBarContent> house;
  const MenuBarContent& expected = expectedContent_ ? *expectedContent_ : house.emplace(expectedText_, measurer_);
  const Rect status = MenuBarSurfaceLogic::statusRectangle(*statusButton, *sample.statusWindow);
  const std::optional<Rect> panelFrame = sample.panel ? std::optional<Rect>(sample.panel->frame) : std::nullopt;

  EligibilitySnapshot result;
  result.contentReady = paintedAsExpected(contentReady_, expectedText_, view, panel->button(), expected);
  result.statusItemVisible = item->isVisible();
  result.buttonVisible = viewShown(view) && viewShown(*statusButton);
  result.windowVisible = windowShown(sample.panel) && windowShown(sample.statusWindow);
  result.onActiveSpace = sample.panelOnActiveDesktop;
  result.menuBarVisible = MenuBarSurfaceLogic::menuBarVisible(sample);
  const std::optional<Rect> target = MenuBarGeometry::rendererFrame(status);
  result.geometryValid = target && panelFrame && *panelFrame == *target && status.contains(*panelFrame) &&
                         MenuBarSurfaceLogic::qualifiesOnScreen(status, *sample.screen);
  result.textFits = expected.fits(view.boundsSize);
  result.occlusionVisible = sample.panelOcclusionVisible;
  // The pixels on screen must be the ones painted; without a trustworthy visibility
  // state (a compositor), they are the only evidence.
  if (const std::optional<bool> pixels = panel->pixelsOnScreen()) {
    result.occlusionVisible = (sample.occlusionStateKnown ? sample.panelOcclusionVisible : true) && *pixels;
  }
  result.displayAwake = displayAwake_;
  result.sessionActive = sessionActive_;
  result.topmostSamplesPass = panelFrame && sampledPoints(*panelFrame, panel->windowNumber()).owned == 9;
  result.controlsClosed = controlsClosed_;
  result.recentInput = IdleEligibility::allows(server_.secondsSinceLastInput());

  // Over a top bar that the compositor draws, nothing can be proven whatever the checks say.
  const DesktopRefusal refusal = server_.refusal();
  if (refusal == DesktopRefusal::shellOwnsTopBar) result.menuBarVisible = false;
  summarize(result, debugSummary_);
  const auto reason = result.failure();
  if (const CopyEntry* refused = refusalText(refusal)) {
    lastDiagnostic_ = refused->english;
  } else if (reason) {
    lastDiagnostic_ = *reason + std::string(unverifiedSuffix);
    // Something may have been stacked over the panel: raise it again at the next
    // synchronisation, once for each change from passing to failing. (Not the status
    // item: the window manager restacks it later, and then above the panel.)
    if (!lastFailed_) raisePending_ = true;
  } else {
    lastDiagnostic_ = verifiedText;
  }
  lastFailed_ = reason.has_value() || refusal != DesktopRefusal::none;
  return result;
}

void SurfaceMonitor::synchronizeSurface(std::string_view text, bool allowed) {
  const std::shared_ptr<SurfacePanel> panel = surface.lock();
  if (!panel) return;
  // The application's own text is laid out again only when it changes.
  if (!expectedContent_ && (!houseContent_ || houseContent_->text() != text)) {
    houseContent_.emplace(std::string(text), measurer_);
  }
  const MenuBarContent& content = expectedContent_ ? *expectedContent_ : *houseContent_;
  const bool permitted = allowed && displayAwake_ && sessionActive_ && controlsClosed_;
  const std::shared_ptr<StatusItemPort> item = statusItem.lock();
  const bool wasShown = panel->isVisible();
  shared_.reset();
  std::optional<DesktopSample> unchanged;
  if (MenuBarSurfaceLogic::synchronize(*panel, item.get(), server_, content, permitted, &unchanged) && wasShown &&
      raisePending_) {
    panel->orderFront();
    raisePending_ = false;
    unchanged.reset();
  }
  if (unchanged && item) {
    shared_ = SharedSample{std::move(*unchanged), item->windowNumber(), panel->windowNumber(),
                           std::chrono::steady_clock::now()};
  }
}

void SurfaceMonitor::setExpectation(std::string text, std::optional<MenuBarContent> content) {
  expectedText_ = std::move(text);
  expectedContent_ = std::move(content);
}

void SurfaceMonitor::hideSurface() {
  shared_.reset();
  if (const auto panel = surface.lock(); panel && panel->isVisible()) panel->orderOut();
}

void SurfaceMonitor::redrawStatusButton() {
  if (const auto item = statusItem.lock()) item->redraw();
}

}  // namespace nimbrella
