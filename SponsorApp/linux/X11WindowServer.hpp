#pragma once

// The window server of an X11 desktop, reached through the Qt application's own
// connection. Positions are converted once here to the bottom-left screen coordinates
// the surface logic works in.
//
// Every question of one measurement is sent before the first answer is awaited: a
// measurement's sample is one exchange with the server that also brings the stacking
// order, the idle time and the strip's pixels. The properties it reads (the desktops,
// the work area, the active window and its state, the windows' opacity) are kept on
// X11Stacking's connection and asked again, in one more exchange, only after a notice
// named them; so are the nine hit tests' windows above the panel (see X11Stacking).
// The topmost window at a point comes from the stacking order, not from input: the
// root's children from the top down to the panel, mapped InputOutput windows
// only, each with its bounding shape (for an unmanaged window the window itself, for a
// managed one its window-manager frame). So an input-only window never covers the
// strip, and a click-through window (one with an empty input shape) always does.
//
// Occlusion is the panel's last VisibilityNotify state (the X server computes it from
// the stacking order), followed once watch() selected it; under a compositing manager
// (the _NET_WM_CM_S<screen> selection has an owner) that state is no evidence, and the
// panel never counts as visible by it; desktops are EWMH's
// _NET_CURRENT_DESKTOP and _NET_WM_DESKTOP; the top bar's band is the screen's part
// above _NET_WORKAREA; full screen is _NET_WM_STATE_FULLSCREEN of _NET_ACTIVE_WINDOW;
// idle time is the MIT-SCREEN-SAVER extension's.

#include "SponsorApp/surface/WindowServer.hpp"

#include <QAbstractNativeEventFilter>
#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

struct xcb_connection_t;
typedef struct _XDisplay Display;

namespace nimbrella {

class X11Stacking;

class X11WindowServer final : public WindowServer, public QAbstractNativeEventFilter {
 public:
  // The window server of the running Qt application: the X11 one when the application
  // runs on an X display of a session that is not Wayland's, else one that proves
  // nothing. Needs a QGuiApplication.
  static std::unique_ptr<WindowServer> forApplication();

  // Whether the session is one in which X11 answers prove anything: a Qt application on
  // the xcb platform, in a session that is not a Wayland session (where X11 sees only
  // the windows of other X11 clients).
  static bool sessionIsX11();

  // Uses the Qt application's X connection; needs a QGuiApplication on the xcb platform.
  X11WindowServer();
  ~X11WindowServer() override;
  X11WindowServer(const X11WindowServer&) = delete;
  X11WindowServer& operator=(const X11WindowServer&) = delete;

  // Starts following the visibility (occlusion) state of `window`. Call it before the
  // window is first shown: the server reports the state only when it changes.
  void watch(WindowNumber window);

  // Marks a window that is not shown yet as an item of the top bar: a dock the window
  // manager neither decorates nor lists, kept above ordinary windows on every desktop.
  void markAsTopBarItem(WindowNumber window);

  bool canVerify() const override { return true; }
  // Also asks for the idle time and the stacking order, which secondsSinceLastInput and
  // a measurement begun within 100 ms take instead of asking again.
  DesktopSample sample(WindowNumber statusWindow, WindowNumber panel) override;
  // Also asks for the pixels where the panel was at the last sample; topmostWindows
  // (which every sample asks for) and readPixels called within 100 ms take those answers
  // (each once) instead of asking again, until endMeasurement.
  DesktopSample sampleForMeasurement(WindowNumber statusWindow, WindowNumber panel) override;
  // Asks for the stacking order, the pixels and (unless the last reading is recent) the
  // idle time, as sampleForMeasurement does.
  void beginMeasurement(WindowNumber panel) override;
  void endMeasurement() override { discardPrefetched(); }
  std::array<WindowNumber, 9> topmostWindows(const std::array<Point, 9>& points, WindowNumber lowest) override;
  double secondsSinceLastInput() override;
  // GNOME Shell (named by the window manager's _NET_SUPPORTING_WM_CHECK window) draws
  // its top bar itself; a screen whose work area starts at its top has no top panel.
  DesktopRefusal refusal() const override;
  // The root window's pixels, as the screen shows them (with a compositor, its output).
  bool readPixels(int x, int y, int width, int height, std::vector<std::uint32_t>& out) override;

  // False while the display is blanked: powered down by display power management
  // (DPMS) or covered by the X server's screen saver. A server without DPMS never
  // powers the display down itself.
  bool displayAwake();
  // Whether the server powers displays down (DPMS), which it does without telling anyone.
  bool powersDisplaysDown() const { return dpmsExtension_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  struct Atoms;
  struct Prefetched;
  DesktopSample sampleWith(WindowNumber statusWindow, WindowNumber panel, bool measuring);
  // Puts the idle time's question, the stacking order's when `askStacking` and, when
  // `measuring`, the pixels' (where the panel was at the last sample), for the calls
  // that follow.
  void askMeasurementQuestions(bool measuring, bool askPanel, bool askIdle, bool askStacking);
  // Drops the answers of the last measurement's questions that nobody took (but the
  // stacking answer with `keepStacking`).
  void discardPrefetched(bool keepStacking = false);
  X11Stacking& stacking();
  double rootHeightPoints() const;
  int screenNumber() const;

  xcb_connection_t* connection_ = nullptr;
  Display* display_ = nullptr;
  std::uint32_t root_ = 0;
  double pixelRatio_ = 1.0;
  bool shellOwnsTopBar_ = false;
  bool noTopBand_ = false;
  bool screenSaverExtension_ = false;
  bool dpmsExtension_ = false;
  std::unique_ptr<Atoms> atoms_;
  std::unique_ptr<Prefetched> prefetched_;
  // Made at the first sample: an application that shows no sponsored item keeps no
  // second connection and follows nothing of the desktop.
  std::unique_ptr<X11Stacking> stacking_;
  // Last visibility state per watched window: 0 unobscured, 1 partially, 2 fully
  // obscured, -1 not known (never reported, or unmapped since).
  std::unordered_map<std::uint32_t, int> visibility_;
  // The idle time read last and when: a tick asks it several times within microseconds.
  double idleSeconds_ = 0;
  std::optional<std::chrono::steady_clock::time_point> idleReadAt_;
};

}  // namespace nimbrella
