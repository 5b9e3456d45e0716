#pragma once

// The window-server questions the sponsored surface needs answered, and the parts of
// the application's own user interface that the surface logic reads and drives. All
// rectangles are screen coordinates in points with the origin at the bottom left and y
// growing upwards; adapters convert once at their boundary.

#include "SponsorCore/MenuBarGeometry.hpp"
#include "SponsorCore/PlatformText.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

class MenuBarContent;
class MenuBarButtonState;

struct Point {
  double x = 0;
  double y = 0;

  friend bool operator==(const Point&, const Point&) = default;
};

// The window server's identity of a top-level window; 0 or less names no window.
using WindowNumber = std::int64_t;

// A screen's frame, the part left free by panels (its visible frame), and the areas
// beside a camera housing. Desktops without a housing have no inset and no areas.
struct ScreenGeometry {
  Rect frame;
  Rect visibleFrame;
  double topSafeAreaInset = 0;
  std::optional<Rect> auxiliaryTopLeftArea;
  std::optional<Rect> auxiliaryTopRightArea;

  friend bool operator==(const ScreenGeometry&, const ScreenGeometry&) = default;
};

// One of the application's own windows as the window server sees it now.
struct WindowState {
  bool visible = false;  // mapped and viewable
  double alpha = 0;      // 1.0 is fully opaque
  Rect frame;

  friend bool operator==(const WindowState&, const WindowState&) = default;
};

// Everything one measurement needs about the two windows and the desktop, fetched
// together so that the window server can answer it in one exchange.
struct DesktopSample {
  // Nothing when the window does not exist (any more).
  std::optional<WindowState> statusWindow;
  std::optional<WindowState> panel;
  // The screen that holds the status window; nothing when it is on none.
  std::optional<ScreenGeometry> screen;
  // The window server reports at least part of the panel as not covered.
  bool panelOcclusionVisible = false;
  // False when the window server's visibility state is no evidence (a compositing
  // manager draws the screen); then only the pixels can show the panel visible.
  bool occlusionStateKnown = true;
  // The panel is shown on the desktop that is active now.
  bool panelOnActiveDesktop = false;
  // The active window covers its screen in full-screen mode (the top bar gives way).
  // Assumed when the window server cannot tell.
  bool fullScreenActive = true;
};

// The window server. Every answer that cannot be established reads as the unfavourable
// one: absent windows, not visible, not on the active desktop, no topmost owner.
class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // False when this session's window server cannot prove placement at all (for
  // example a Wayland compositor, which keeps window positions and stacking to itself).
  virtual bool canVerify() const = 0;
  virtual DesktopSample sample(WindowNumber statusWindow, WindowNumber panel) = 0;
  // The sample that starts a measurement: the same answers as sample(). A window server
  // may put the measurement's other questions (stacking order, pixels, idle time) to the
  // display in the same exchange; their answers then serve the calls that follow at once.
  virtual DesktopSample sampleForMeasurement(WindowNumber statusWindow, WindowNumber panel) {
    return sample(statusWindow, panel);
  }
  // Begins a measurement on a sample taken moments ago, after which this application
  // has changed none of its windows: puts only the measurement's other questions (what
  // other clients changed meanwhile is seen by the next sample).
  virtual void beginMeasurement(WindowNumber panel) { (void)panel; }
  // Ends the measurement that sampleForMeasurement or beginMeasurement began: answers it asked for and
  // nobody took are dropped, so that no later call reads them.
  virtual void endMeasurement() {}
  // The topmost top-level window at each point (0 or less when none or unknown). All
  // nine questions are put before the first answer is awaited. Windows stacked below
  // `lowest` (when it is a top-level window; 0 names none) are not looked at: a point
  // that no window from the top down to `lowest` holds answers 0.
  virtual std::array<WindowNumber, 9> topmostWindows(const std::array<Point, 9>& points, WindowNumber lowest) = 0;
  // Seconds since the last input event of any kind in the session; not a number when
  // unknown.
  virtual double secondsSinceLastInput() = 0;
  // Why this desktop can never show a sponsor, as far as the last sample showed.
  virtual DesktopRefusal refusal() const { return DesktopRefusal::none; }
  // The screen's pixels in a rectangle of device pixels (top-left origin), as 0xRRGGBB
  // values row by row; false when they cannot be read.
  virtual bool readPixels(int x, int y, int width, int height, std::vector<std::uint32_t>& out) {
    (void)x, (void)y, (void)width, (void)height, (void)out;
    return false;
  }
};

// The answers of a session in which nothing can be proven.
class UnverifiableWindowServer final : public WindowServer {
 public:
  bool canVerify() const override { return false; }
  DesktopSample sample(WindowNumber, WindowNumber) override { return {}; }
  std::array<WindowNumber, 9> topmostWindows(const std::array<Point, 9>&, WindowNumber) override { return {}; }
  double secondsSinceLastInput() override;
};

// A view (a button) inside one of the application's windows, as read at one moment.
struct ViewState {
  // The text the view shows. It points into the view's own copy, so a state is read and
  // used at once, not kept past a change of the view's text.
  std::string_view title;
  // The view's bounds converted to its window's coordinates (origin bottom left).
  Rect frameInWindow;
  // The size of the view's own bounds.
  Size boundsSize;
  double alpha = 0;
  bool hiddenOrHasHiddenAncestor = true;
  // The unclipped part of the view covers all of its bounds.
  bool visibleRectContainsBounds = false;
};

// The application's status item in the top bar, as the surface logic reads it.
class StatusItemPort {
 public:
  virtual ~StatusItemPort() = default;
  // The item reports itself visible.
  virtual bool isVisible() const = 0;
  // Its button; nothing when it has none.
  virtual std::optional<ViewState> button() const = 0;
  // The button's window; 0 when it has none.
  virtual WindowNumber windowNumber() const = 0;
  // Asks the button to repaint at once.
  virtual void redraw() = 0;
};

// The panel laid over the status item and its painting view (MenuBarSurface with its
// MenuBarButton on the desktop), as the surface logic reads and drives it.
class SurfacePanel {
 public:
  virtual ~SurfacePanel() = default;
  // The panel's window; 0 when it has none yet.
  virtual WindowNumber windowNumber() const = 0;
  // Whether the toolkit has the panel shown (ordered in).
  virtual bool isVisible() const = 0;
  // The painting view and the proof of its last completed paint.
  virtual ViewState view() const = 0;
  virtual const MenuBarButtonState& button() const = 0;
  // Prepares the view for `content`; false only when its logo cannot be decoded.
  virtual bool configure(const MenuBarContent& content) = 0;
  // Sets the view's title with its accessibility label and tooltip.
  virtual void setTitle(const std::string& title, const std::string& accessibilityLabel,
                        const std::string& toolTip) = 0;
  // Moves the panel to `frame` (screen coordinates) and repaints it.
  virtual void setFrame(const Rect& frame) = 0;
  // Shows the panel above the status item without taking focus.
  virtual void orderFront() = 0;
  virtual void orderOut() = 0;
  // Whether the screen shows what the view last painted, its marker included (then the
  // marker changes for the next check); nothing when this panel cannot tell.
  virtual std::optional<bool> pixelsOnScreen() { return std::nullopt; }
};

}  // namespace nimbrella
