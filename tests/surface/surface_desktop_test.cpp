// The sponsored surface on the real test desktops (Xvfb with openbox and a 24-pixel tint2
// panel at the top, or with xfwm4 compositing and Xfce's panel): placement and every
// check measured by the X server itself. What a paint draws is surface_paint_test's; the
// pixels on screen are compared with it by the monitor, so a passing snapshot shows the
// painted item on screen. The other clients of the desktop (menus, overlays, a compositor,
// a painter) are played on the application's own X connection.

#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorApp/surface/SurfaceSynchronizer.hpp"
#include "surface/DesktopSession.hpp"
#include "surface/FakeDesktop.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

bool passes(const S& s) { return !s.failure(); }
int xdotool(const QStringList& arguments) { return QProcess::execute(QStringLiteral("xdotool"), arguments); }
Display* display() { return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display(); }
Window root() { return DefaultRootWindow(display()); }
void screenSaver(int mode) { XForceScreenSaver(display(), mode); XSync(display(), False); }

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) FAIL() << "Cannot run: " << missing;
    // The session bus stands in for the system bus, where a test may play logind.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    desktop::application();
    ASSERT_TRUE(X11WindowServer::sessionIsX11()) << "Qt did not open the X display";
    ASSERT_EQ(xdotool({"mousemove", "5", "400"}), 0);  // a person at the computer
    scene = std::make_unique<desktop::Scene>();
  }

  // Waits until the checks come out as `expected` (the named ones failing, all others passing).
  void expectOnlyFailing(const S& expected) {
    EXPECT_EQ(scene->tickUntil([&](const S& s) { return s == expected; }), expected) << scene->monitor->debugSummary();
  }
  void expectPassing() { EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary(); }
  void follow() {
    events = std::make_unique<X11SystemEvents>(scene->server.get());
    subscription = events->subscribe([this](SystemEvent event) { seen.push_back(event); });
  }
  // Pumps the event loop until `count` events arrived (at most two seconds).
  void awaitEvents(std::size_t count) {
    for (int i = 0; i < 100 && seen.size() < count; ++i) desktop::pump(20);
  }

  std::unique_ptr<desktop::Scene> scene;
  std::vector<SystemEvent> seen;
  std::unique_ptr<X11SystemEvents> events;
  std::unique_ptr<SystemEventSubscription> subscription;
};

// Replaces a root window property of 32-bit values (which Xlib hands over as longs) for
// the life of the object.
struct RootProperty {
  Atom atom, type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* old = nullptr;

  RootProperty(const char* name, Atom newType, const std::vector<long>& values)
      : atom(XInternAtom(display(), name, False)) {
    XGetWindowProperty(display(), root(), atom, 0, 256, False, AnyPropertyType, &type, &format, &count, &after, &old);
    set(newType, values.data(), values.size());
  }
  ~RootProperty() { if (old != nullptr) set(type, old, count); XFree(old); }
  void set(Atom t, const void* values, unsigned long n) {
    XChangeProperty(display(), root(), atom, t, 32, PropModeReplace, static_cast<const unsigned char*>(values), int(n));
    XSync(display(), False);
  }
};

TEST_F(DesktopTest, TheStripPassesOnEveryDesktopUntilCoveredTranslucentBandlessFullScreenPaintedOverOrDragged) {
  scene->show({fakes::sponsoredCreative(fakes::pngDataUrl({.width = 32, .height = 32})), scene->measurer}, true);
  ASSERT_EQ(scene->tickUntil(passes), S()) << scene->monitor->debugSummary();
  const QRect strip = scene->surface->window()->geometry();  // the verified panel, in X coordinates
  // The band each test desktop's panel reserves (tint2's 24 pixels, Xfce's 26 and border).
  const QString desktopName = qEnvironmentVariable("NIMBRELLA_DESKTOP", QStringLiteral("openbox"));
  const int band = desktopName == QLatin1String("xfce") ? 27 : 24;
  EXPECT_EQ(scene->item->frame().height, band) << "the item fills the panel's band";
  EXPECT_EQ(scene->item->frame().maxX(), 1280 - 8) << "the item keeps its distance from the screen's right edge";
  // The top band with the item, for a person to look at.
  ASSERT_TRUE(QDir().mkpath(QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS)));
  const QString shot = QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS "/top-band-%1.png").arg(desktopName);
  EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, 1280, band).save(shot, "PNG"));

  // The item and panel stay on every desktop.
  follow();
  ASSERT_EQ(xdotool({"set_desktop", "1"}), 0);
  awaitEvents(1);
  EXPECT_EQ(seen, std::vector{SystemEvent::activeSpaceDidChange});
  const S other = scene->tickUntil(passes);
  ASSERT_EQ(xdotool({"set_desktop", "0"}), 0);
  EXPECT_EQ(other, S()) << scene->monitor->debugSummary();
  expectPassing();

  // Another application's menu, first beside the item, then moved over its top-right
  // corner: the occlusion the X server reports may still call the panel visible, and the
  // first measurement after the move is done fails. The next synchronisation then raises
  // the panel over the menu. Raised again, shaped to its part beside the strip, the menu
  // hides nothing, until its shape grows.
  QWidget menu(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  menu.setGeometry(strip.left() - 80, strip.top(), 60, 12);
  menu.show();
  expectPassing();
  menu.move(strip.right() - 30, strip.top());
  XSync(display(), False);
  EXPECT_FALSE(scene->monitor->snapshot().topmostSamplesPass);
  expectPassing();
  menu.setMask(QRegion(31, 0, 29, 12));
  menu.raise();
  expectPassing();
  menu.clearMask();
  XSync(display(), False);
  EXPECT_FALSE(scene->monitor->snapshot().topmostSamplesPass);
  expectPassing();
  menu.close();
  scene->surface->window()->setWindowOpacity(0.99);
  expectOnlyFailing({.windowVisible = false});
  scene->surface->window()->setWindowOpacity(1.0);
  expectPassing();  // which also raises the panel once after the failed check

  // What covers the strip comes from the stacking order and the bounding shapes: a
  // click-through window (an empty input shape) covers it, an input-only one does not
  // (the first check over it passes, before a failed one could raise the panel).
  const QRect over = strip.adjusted(-10, 0, 10, 0);
  {
    QWidget dimmer(nullptr, menu.windowFlags() | Qt::WindowTransparentForInput);
    dimmer.setGeometry(over);
    dimmer.show();
    EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.topmostSamplesPass; }).topmostSamplesPass);
  }
  expectPassing();
  XSetWindowAttributes unmanaged{};
  unmanaged.override_redirect = True;
  const Window hotCorner = XCreateWindow(display(), root(), over.x(), over.y(), unsigned(over.width()),
                                         unsigned(over.height()), 0, 0, InputOnly, CopyFromParent, CWOverrideRedirect,
                                         &unmanaged);
  XMapRaised(display(), hotCorner);
  XSync(display(), False);
  desktop::pump(100);
  EXPECT_TRUE(passes(scene->monitor->snapshot())) << scene->monitor->debugSummary();
  XDestroyWindow(display(), hotCorner);

  // Without a top band the status says why, until the band is back.
  {
    const RootProperty noBand("_NET_WORKAREA", XA_CARDINAL, {0, 0, 1280, 770});
    scene->tickUntil([this](const S&) { return scene->server->refusal() == DesktopRefusal::noTopPanel; });
    EXPECT_EQ(scene->monitor->lastDiagnostic(), platformText::topPanelNeeded.english);
  }
  expectPassing();
  EXPECT_EQ(scene->monitor->lastDiagnostic(), SurfaceMonitor::verifiedText);

  // The top bar gives way to a full-screen window, and comes back after it.
  QWidget player;
  player.showFullScreen();
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.menuBarVisible; }).menuBarVisible);
  player.close();

  // Under a compositing manager only the painted pixels on screen prove the strip. On a
  // desktop without one, the test plays one by owning its selection.
  const Atom selection = XInternAtom(display(), "_NET_WM_CM_S0", False);  // of the test desktop's one screen
  const Window owner = XCreateSimpleWindow(display(), root(), 0, 0, 1, 1, 0, 0, 0);
  if (XGetSelectionOwner(display(), selection) == None) XSetSelectionOwner(display(), selection, owner, CurrentTime);
  XSync(display(), False);
  expectPassing();
  // The marker changes between checks, on screen too.
  std::vector<std::uint32_t> pixel;
  auto pixelAt = [&](QPoint p) { return scene->server->readPixels(p.x(), p.y(), 1, 1, pixel) ? pixel[0] : ~0u; };
  const QPoint marker = scene->surface->buttonView()->markerRect().translated(strip.topLeft()).topLeft();
  desktop::pump(100);  // the repaint that the last check asked for
  const std::uint32_t shown = pixelAt(marker);
  scene->monitor->snapshot();
  desktop::pump(100);
  EXPECT_NE(pixelAt(marker), shown);
  // Something paints over the panel itself (clears it to a magenta background, which
  // asks no repaint): the stacking and the X state do not change, the pixels do, once the
  // compositor has shown them.
  XSetWindowBackground(display(), static_cast<Window>(scene->surface->windowNumber()), 0xFF00FF);
  XClearWindow(display(), static_cast<Window>(scene->surface->windowNumber()));
  XSync(display(), False);
  // The compositor's next frame; Qt's loop must not run meanwhile, or it repaints the panel.
  for (int i = 0; i < 100 && pixelAt(strip.center()) != 0xFF00FFu; ++i) QThread::msleep(10);
  EXPECT_EQ(pixelAt(strip.center()), 0xFF00FFu) << "the painting reached the screen";
  EXPECT_FALSE(scene->monitor->snapshot().occlusionVisible);
  XDestroyWindow(display(), owner);  // the selection goes with its owner

  // The item dragged below the band with Alt: measured before the next synchronisation
  // moves the panel, it is off the band, and the place the user chose is kept (as the
  // distance from the screen's right edge).
  const QRect before = scene->item->window()->geometry();
  const QPoint grab = before.topLeft() + QPoint(20, 12);
  auto moveTo = [](QPoint p) { return xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())}); };
  // Each step is its own xdotool run so that the X server sees the moves in order.
  ASSERT_EQ(moveTo(grab) + xdotool({"keydown", "alt"}) + xdotool({"mousedown", "1"}), 0);
  desktop::pump(100);
  for (int step = 1; step <= 5; ++step) {
    ASSERT_EQ(moveTo(grab + QPoint(-8 * step, 20 * step)), 0);
    desktop::pump(60);
  }
  ASSERT_EQ(xdotool({"mouseup", "1"}) + xdotool({"keyup", "alt"}), 0);
  desktop::pump(200);
  const QRect after = scene->item->window()->geometry();
  EXPECT_GT(after.top(), before.top() + 50) << "the item follows the drag";
  EXPECT_FALSE(scene->monitor->snapshot().geometryValid) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->settings->value("NimbrellaMenuBar/rightOffset").toInt(), 1280 - after.right() - 1);
}

constexpr const char* sessionPath = "/org/freedesktop/login1/session/c7";

// logind's manager as far as the application asks it (its session, by id or by process),
// on its own bus connection.
struct FakeLogind : QDBusVirtualObject {
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
    return bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(QString::fromLatin1(sessionPath)))));
  }
};

// What a sample reads is as current as its answers, also where it is kept from the
// samples before: each change below, and its undoing, shows in the very next sample.
TEST_F(DesktopTest, EveryPropertyChangeShowsInTheNextSample) {
  scene->show({fakes::sponsoredCreative(), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
  const WindowNumber status = scene->item->windowNumber(), panel = scene->surface->windowNumber();
  auto sample = [&] { return scene->server->sample(status, panel); };
  auto set = [](WindowNumber window, const char* name, Atom type, const std::vector<long>& values) {
    XChangeProperty(display(), static_cast<Window>(window), XInternAtom(display(), name, False), type, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(values.data()), int(values.size()));
    XSync(display(), False);
  };
  auto remove = [](WindowNumber window, const char* name) {
    XDeleteProperty(display(), static_cast<Window>(window), XInternAtom(display(), name, False));
    XSync(display(), False);
  };
  ASSERT_TRUE(MenuBarSurfaceLogic::menuBarVisible(sample()));

  {
    const RootProperty noBand("_NET_WORKAREA", XA_CARDINAL, {0, 0, 1280, 770});
    EXPECT_FALSE(MenuBarSurfaceLogic::menuBarVisible(sample()));
  }
  EXPECT_TRUE(MenuBarSurfaceLogic::menuBarVisible(sample()));

  for (const WindowNumber window : {panel, status}) {
    set(window, "_NET_WM_WINDOW_OPACITY", XA_CARDINAL, {0x7FFFFFFF});
    const DesktopSample half = sample();
    const auto& halfState = window == panel ? half.panel : half.statusWindow;
    ASSERT_TRUE(halfState.has_value());
    EXPECT_NEAR(halfState->alpha, 0.5, 0.01);
    remove(window, "_NET_WM_WINDOW_OPACITY");
    const DesktopSample whole = sample();
    const auto& wholeState = window == panel ? whole.panel : whole.statusWindow;
    ASSERT_TRUE(wholeState.has_value());
    EXPECT_EQ(wholeState->alpha, 1.0);
  }

  // Another window becomes active, full screen, then not, then again, and is destroyed:
  // an active window that is gone covers nothing.
  const Window player = XCreateSimpleWindow(display(), root(), 0, 0, 10, 10, 0, 0, 0);
  const long fullScreen = static_cast<long>(XInternAtom(display(), "_NET_WM_STATE_FULLSCREEN", False));
  set(player, "_NET_WM_STATE", XA_ATOM, {fullScreen});
  const RootProperty active("_NET_ACTIVE_WINDOW", XA_WINDOW, {static_cast<long>(player)});
  EXPECT_TRUE(sample().fullScreenActive);
  set(player, "_NET_WM_STATE", XA_ATOM, {});
  EXPECT_FALSE(sample().fullScreenActive);
  set(player, "_NET_WM_STATE", XA_ATOM, {fullScreen});
  EXPECT_TRUE(sample().fullScreenActive);
  XDestroyWindow(display(), player);
  XSync(display(), False);
  EXPECT_FALSE(sample().fullScreenActive);
  // A later window of the same id is followed anew, though the last attempt to follow
  // the id failed.
  xcb_connection_t* c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
  xcb_create_window(c, XCB_COPY_FROM_PARENT, static_cast<xcb_window_t>(player), static_cast<xcb_window_t>(root()), 0,
                    0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_flush(c);
  set(player, "_NET_WM_STATE", XA_ATOM, {fullScreen});
  EXPECT_TRUE(sample().fullScreenActive);
  set(player, "_NET_WM_STATE", XA_ATOM, {});
  EXPECT_FALSE(sample().fullScreenActive);
  XDestroyWindow(display(), player);
  XSync(display(), False);
}

TEST_F(DesktopTest, IdleTimeSleepWakeAndTheSessionsStateComeFromTheXServerAndLogind) {
  // Each input comes between the starts of `before` and `after`: the idle time read lies
  // between the two clocks' readings, give or take the X server's whole milliseconds and
  // the time stamp it caches between requests. A reading left from before the input would
  // be 100 ms older.
  QElapsedTimer before, after;
  auto expectIdleSinceTheInput = [&](auto read) {
    const double least = double(after.nsecsElapsed()) / 1e9, idle = read();
    EXPECT_GE(idle, least - 0.005);
    EXPECT_LE(idle, double(before.nsecsElapsed()) / 1e9 + 0.005);
  };
  before.start();
  ASSERT_EQ(xdotool({"mousemove", "400", "400"}), 0);
  after.start();
  desktop::pump(100);
  expectIdleSinceTheInput([&] { return scene->server->secondsSinceLastInput(); });
  // At once another input (a reset of the screen saver's timer counts as one): the reading
  // just made is still fresh but older than the input; the answer that comes with a
  // sample is not.
  before.restart();
  screenSaver(ScreenSaverReset);
  after.restart();
  expectIdleSinceTheInput([&] {
    scene->server->sample(0, 0);
    return scene->server->secondsSinceLastInput();
  });

  // The X server's screen saver blanks the display (Xvfb has no DPMS to power it down),
  // the first time before the events are followed; logind plays on its own connection.
  QDBusConnection bus =
      QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("fake-logind"));
  FakeLogind logind;
  const QString login1 = "/org/freedesktop/login1";
  ASSERT_TRUE(bus.registerVirtualObject(login1, &logind) && bus.registerService("org.freedesktop.login1"));
  screenSaver(ScreenSaverActive);
  follow();
  for (const int mode : {ScreenSaverReset, ScreenSaverActive, ScreenSaverReset}) {
    awaitEvents(seen.size() + 1);
    screenSaver(mode);
  }
  awaitEvents(4);
  for (int i = 0; i < 100 && !events->followsSession(); ++i) desktop::pump(20);
  const QString session = "org.freedesktop.login1.Session";
  auto send = [&](const QString& path, const QString& interface, const QString& name, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    EXPECT_TRUE(bus.send(message));
  };
  for (bool start : {true, false}) send(login1, "org.freedesktop.login1.Manager", "PrepareForSleep", {start});
  for (bool active : {false, true}) {
    send(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
         {session, QVariantMap{{"Active", active}}, QStringList()});
  }
  for (const char* name : {"Lock", "Unlock"}) send(sessionPath, session, name, {});
  awaitEvents(10);
  using enum SystemEvent;
  EXPECT_EQ(seen, (std::vector{screensDidSleep, screensDidWake, screensDidSleep, screensDidWake, willSleep, didWake,
                               sessionDidResignActive, sessionDidBecomeActive, sessionDidResignActive,
                               sessionDidBecomeActive}));
  QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
}

TEST_F(DesktopTest, AWaylandSessionOrATopBarThatGnomeShellDrawsProvesNothing) {
  // X11 answers in a Wayland session would only see other X11 clients: never trusted.
  qputenv("XDG_SESSION_TYPE", "wayland");
  EXPECT_FALSE(X11WindowServer::forApplication()->canVerify());
  qunsetenv("XDG_SESSION_TYPE");

  // A window manager that calls itself GNOME Shell draws the top bar in its compositor.
  const Window shell = XCreateSimpleWindow(display(), root(), 0, 0, 1, 1, 0, 0, 0);
  XChangeProperty(display(), shell, XInternAtom(display(), "_NET_WM_NAME", False),
                  XInternAtom(display(), "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>("GNOME Shell"), 11);
  {
    const RootProperty check("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(shell)});
    EXPECT_EQ(X11WindowServer().refusal(), DesktopRefusal::shellOwnsTopBar);
  }
  XDestroyWindow(display(), shell);
}

}  // namespace
}  // namespace nimbrella
