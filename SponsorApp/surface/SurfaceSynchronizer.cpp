#include "SponsorApp/surface/SurfaceSynchronizer.hpp"

#include "SponsorCore/Eligibility.hpp"

#include <vector>

namespace nimbrella::MenuBarSurfaceLogic {

namespace {

constexpr std::string_view middleDotSeparator = " \xC2\xB7 ";

bool hide(SurfacePanel& panel) {
  if (panel.isVisible()) panel.orderOut();
  return false;
}

}  // namespace

Rect statusRectangle(const ViewState& button, const WindowState& window) {
  const Rect& local = button.frameInWindow;
  return {window.frame.minX() + local.x, window.frame.minY() + local.y, local.width, local.height};
}

bool menuBarVisible(const DesktopSample& sample) {
  if (!sample.screen || sample.fullScreenActive) return false;
  return MenuBarGeometry::topReservedHeight(sample.screen->frame, sample.screen->visibleFrame).has_value();
}

bool qualifiesOnScreen(const Rect& slot, const ScreenGeometry& screen) {
  const double band = MenuBarGeometry::topReservedHeight(screen.frame, screen.visibleFrame).value_or(0);
  std::vector<Rect> safeAreas;
  if (screen.auxiliaryTopLeftArea) safeAreas.push_back(*screen.auxiliaryTopLeftArea);
  if (screen.auxiliaryTopRightArea) safeAreas.push_back(*screen.auxiliaryTopRightArea);
  return MenuBarGeometry::qualifies(slot, screen.frame, band, screen.topSafeAreaInset, safeAreas);
}

// Without a tagline the label and tooltip leave out its empty place.
std::string accessibilityLabel(const MenuBarContent& content) {
  std::string label = "Ad. " + content.text() + ". ";
  if (!content.tagline().empty()) label += content.tagline() + ". ";
  return label + "Nimbrella";
}

std::string toolTip(const MenuBarContent& content) {
  std::string tip = content.text();
  tip += middleDotSeparator;
  if (!content.tagline().empty()) {
    tip += content.tagline();
    tip += middleDotSeparator;
  }
  return tip + "Nimbrella";
}

bool synchronize(SurfacePanel& panel, StatusItemPort* item, WindowServer& server, const MenuBarContent& content,
                 bool allowed, std::optional<DesktopSample>* unchanged) {
  if (!allowed || item == nullptr || content.text().empty()) return hide(panel);

  const std::optional<ViewState> button = item->button();
  const WindowNumber statusWindow = item->windowNumber();
  if (!button || statusWindow <= 0) return hide(panel);
  const DesktopSample sample = server.sample(statusWindow, panel.windowNumber());
  if (!sample.statusWindow || !sample.screen) return hide(panel);
  if (!IdleEligibility::allows(server.secondsSinceLastInput())) return hide(panel);

  if (!item->isVisible() || !sample.statusWindow->visible || button->hiddenOrHasHiddenAncestor) return hide(panel);
  if (!menuBarVisible(sample)) return hide(panel);

  const Rect status = statusRectangle(*button, *sample.statusWindow);
  if (!MenuBarGeometry::topReservedHeight(sample.screen->frame, sample.screen->visibleFrame)) return hide(panel);
  const std::optional<Rect> target = MenuBarGeometry::rendererFrame(status);
  if (!target) return hide(panel);
  if (!qualifiesOnScreen(status, *sample.screen)) return hide(panel);
  if (!content.fits(target->size())) return hide(panel);
  if (button->title != content.text()) return hide(panel);
  if (!panel.configure(content)) return hide(panel);

  bool changed = false;
  if (panel.view().title != content.text()) {
    panel.setTitle(content.text(), accessibilityLabel(content), toolTip(content));
    changed = true;
  }
  if (!sample.panel || sample.panel->frame != *target) {
    panel.setFrame(*target);
    changed = true;
  }
  if (!panel.isVisible()) {
    panel.orderFront();
    changed = true;
  }
  if (unchanged != nullptr && !changed) *unchanged = sample;
  return true;
}

}  // namespace nimbrella::MenuBarSurfaceLogic
