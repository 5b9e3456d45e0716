// The sponsored surface on the real test desktops (Xvfb with openbox and a 24-pixel tint2
// panel at the top, or with xfwm4 compositing and Xfce's panel): placement and every
// check measured by the X server itself. What a paint
// draws is surface_paint_test's; the pixels on screen are compared with it by the
// monitor, so a passing snapshot shows the painted item on screen.

#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorApp/ui/QtGeometry.hpp"
#include "surface/DesktopSession.hpp"
#include "surface/FakeDesktop.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/extensions/shape.h>


namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

bool passes(const S& s) { return !s.failure(); }
int xdotool(const QStringList& arguments) { return QProcess::execute(QStringLiteral("xdotool"), arguments); }

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) FAIL() << "Cannot run: " << missing;
    // The session bus stands in for the system bus, where a test may play logind.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) FAIL() << "The desktop session has no D-Bus.";
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    ASSERT_NE(desktop::application(), nullptr);
    ASSERT_TRUE(X11WindowServer::sessionIsX11()) << "Qt did not open the X display";
    ASSERT_EQ(xdotool({"mousemove", "5", "400"}), 0);  // a person at the computer
    scene = std::make_unique<desktop::Scene>();
  }

  // Shows `content` and waits until every check passes; answers the last snapshot.
  S verify(const MenuBarContent& content, bool sponsoredContent = true) {
    scene->show(content, sponsoredContent);
    return scene->tickUntil(passes);
  }
  S verifySponsored() {
    return verify({fakes::sponsoredCreative(fakes::pngDataUrl({.width = 32, .height = 32})), scene->measurer});
  }
  // Waits until `field` fails and expects every other check to pass.
  void expectOnlyFailing(bool S::*field) {
    S expected;
    expected.*field = false;
    EXPECT_EQ(scene->tickUntil([&](const S& s) { return !(s.*field); }), expected) << scene->monitor->debugSummary();
  }
  void expectPassing() { EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary(); }
  std::vector<SystemEvent> seen;
  std::unique_ptr<SystemEventSubscription> follow(X11SystemEvents& events) {
    return events.subscribe([this](SystemEvent event) { seen.push_back(event); });
  }
  // Pumps the event loop until `count` events arrived (at most two seconds).
  void awaitEvents(std::size_t count) {
    for (int i = 0; i < 100 && seen.size() < count; ++i) desktop::pump(20);
  }

  std::unique_ptr<desktop::Scene> scene;
};

TEST_F(DesktopTest, TheSponsoredItemPassesOverTheStatusItemOnEveryDesktopUntilCoveredTranslucentOrFullScreen) {
  ASSERT_EQ(verifySponsored(), S()) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->item->length(), 280);
  const Rect frame = scene->item->frame();
  // The band each test desktop's panel reserves (tint2's 24 pixels, Xfce's 26 and border).
  const int band = qEnvironmentVariable("NIMBRELLA_DESKTOP") == QLatin1String("xfce") ? 27 : 24;
  EXPECT_EQ(frame.height, band) << "the item fills the panel's band";
  EXPECT_EQ(frame.maxY(), ScreenSpace::height()) << "the item sits at the top of the screen";
  EXPECT_EQ(frame.maxX(), 1280 - 8) << "the item keeps its distance from the screen's right edge";
  EXPECT_EQ(ScreenSpace::fromQt(scene->surface->window()->geometry()), frame);
  // The top band with the item, for a person to look at.
  ASSERT_TRUE(QDir().mkpath(QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS)));
  const QPixmap topBand = QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, 1280, band);
  const QString shot = QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS "/top-band-%1.png")
                           .arg(qEnvironmentVariable("NIMBRELLA_DESKTOP", QStringLiteral("openbox")));
  EXPECT_TRUE(topBand.save(shot, "PNG"));

  // The item and panel stay on every desktop.
  X11SystemEvents events(scene->server.get());
  const auto subscription = follow(events);
  ASSERT_EQ(xdotool({"set_desktop", "1"}), 0);
  awaitEvents(1);
  EXPECT_EQ(seen, std::vector{SystemEvent::activeSpaceDidChange});
  const S other = scene->tickUntil(passes, std::chrono::seconds(2));
  ASSERT_EQ(xdotool({"set_desktop", "0"}), 0);
  EXPECT_EQ(other, S()) << scene->monitor->debugSummary();
  expectPassing();

  // Another application's menu over the item's top-right corner: the occlusion the X
  // server reports may still call the panel visible.
  QWidget menu(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  const QRect item = scene->surface->window()->geometry();
  menu.setGeometry(item.right() - 30, item.top(), 60, 12);
  menu.show();
  expectOnlyFailing(&S::topmostSamplesPass);
  menu.hide();
  expectPassing();
  scene->surface->window()->setWindowOpacity(0.99);
  expectOnlyFailing(&S::windowVisible);
  scene->surface->window()->setWindowOpacity(1.0);
  expectPassing();

  QWidget player;
  player.showFullScreen();
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.menuBarVisible; }).menuBarVisible);
  scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
  EXPECT_FALSE(scene->surface->window()->isVisible()) << "the panel gives way to the full-screen window";
  player.close();
  expectPassing();
}

TEST_F(DesktopTest, DraggingTheItemBelowTheBandWithAltFailsTheGeometryCheck) {
  ASSERT_EQ(verifySponsored(), S()) << scene->monitor->debugSummary();
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
  // Measured before the next synchronisation moves the panel: the item is off the band.
  EXPECT_FALSE(scene->monitor->snapshot().geometryValid) << scene->monitor->debugSummary();
  // The surface then refuses to follow it out of the band.
  scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
  desktop::pump(100);
  EXPECT_FALSE(scene->surface->window()->isVisible());
  // The place the user chose is kept (as the distance from the screen's right edge).
  const int screenRight = QGuiApplication::primaryScreen()->geometry().right() + 1;
  EXPECT_EQ(scene->settings->value("NimbrellaMenuBar/rightOffset").toInt(), screenRight - after.right() - 1);
}

TEST_F(DesktopTest, IdleSecondsCountFromTheLastInput) {
  QElapsedTimer sinceBefore, sinceAfter;
  sinceBefore.start();
  ASSERT_EQ(xdotool({"mousemove", "400", "400"}), 0);
  sinceAfter.start();
  desktop::pump(100);
  const double afterInput = double(sinceAfter.elapsed()) / 1000, beforeInput = double(sinceBefore.elapsed()) / 1000;
  const double idle = scene->server->secondsSinceLastInput();
  // The input came between the two clocks' starts: the idle time lies between them.
  EXPECT_GE(idle, afterInput - 0.002);
  EXPECT_LE(idle, beforeInput + 0.002);

  // Right after another input, the answer that came with a sample (and no older reading).
  sinceBefore.restart();
  ASSERT_EQ(xdotool({"mousemove", "420", "400"}), 0);
  sinceAfter.restart();
  desktop::pump(20);
  scene->server->sample(scene->item->windowNumber(), scene->surface->windowNumber());
  const double afterSample = scene->server->secondsSinceLastInput();
  EXPECT_GE(afterSample, double(sinceAfter.elapsed()) / 1000 - 0.002);
  EXPECT_LE(afterSample, double(sinceBefore.elapsed()) / 1000 + 0.002);
}

TEST_F(DesktopTest, ABlankedDisplayIsReportedAsSleepAndWakeAlsoWhenBlankedBeforeStart) {
  // The X server's screen saver blanks the display (Xvfb has no DPMS to power it down).
  Display* display = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display();
  auto screenSaver = [&](int mode) {
    XForceScreenSaver(display, mode);
    XSync(display, False);
  };
  screenSaver(ScreenSaverActive);
  X11SystemEvents events(scene->server.get());
  const auto subscription = follow(events);
  awaitEvents(1);
  EXPECT_FALSE(scene->server->displayAwake());
  screenSaver(ScreenSaverReset);
  awaitEvents(2);
  EXPECT_TRUE(scene->server->displayAwake());
  screenSaver(ScreenSaverActive);
  awaitEvents(3);
  screenSaver(ScreenSaverReset);
  awaitEvents(4);
  using enum SystemEvent;
  EXPECT_EQ(seen, (std::vector{screensDidSleep, screensDidWake, screensDidSleep, screensDidWake}));
}

constexpr const char* sessionPath = "/org/freedesktop/login1/session/c7";

// logind's manager as far as the application asks it, on its own bus connection.
class FakeLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public slots:
  QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(QString::fromLatin1(sessionPath)); }
  QDBusObjectPath GetSession(const QString&) { return QDBusObjectPath(QString::fromLatin1(sessionPath)); }
};

TEST_F(DesktopTest, LogindSleepAndSessionChangesArriveAsSystemEvents) {
  QDBusConnection bus =
      QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("fake-logind"));
  FakeLogind manager;
  ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.login1")));
  X11SystemEvents events(scene->server.get());
  const auto subscription = follow(events);
  EXPECT_TRUE(events.followsLogind());
  for (int i = 0; i < 100 && !events.followsSession(); ++i) desktop::pump(20);
  ASSERT_TRUE(events.followsSession());

  auto signal = [&](const char* path, const char* interface, const char* name, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(QString::fromLatin1(path), QString::fromLatin1(interface),
                                                      QString::fromLatin1(name));
    message.setArguments(arguments);
    EXPECT_TRUE(bus.send(message));
  };
  auto active = [&](bool value) {
    signal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
           {QStringLiteral("org.freedesktop.login1.Session"), QVariantMap{{QStringLiteral("Active"), value}},
            QStringList()});
  };
  signal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", {true});
  signal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", {false});
  active(false);
  active(true);
  signal(sessionPath, "org.freedesktop.login1.Session", "Lock", {});
  signal(sessionPath, "org.freedesktop.login1.Session", "Unlock", {});
  awaitEvents(6);
  using enum SystemEvent;
  EXPECT_EQ(seen, (std::vector{willSleep, didWake, sessionDidResignActive, sessionDidBecomeActive,
                               sessionDidResignActive, sessionDidBecomeActive}));
  bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
  QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
}

TEST_F(DesktopTest, AWaylandSessionProvesNothing) {
  // X11 answers in a Wayland session would only see other X11 clients: never trusted.
  qputenv("XDG_SESSION_TYPE", "wayland");
  const bool x11 = X11WindowServer::sessionIsX11();
  const std::unique_ptr<WindowServer> server = X11WindowServer::forApplication();
  qunsetenv("XDG_SESSION_TYPE");
  EXPECT_FALSE(x11);
  EXPECT_FALSE(server->canVerify());
}

// An unmanaged window of another client over `area` (X coordinates, top-left origin).
class Overlay {
 public:
  Overlay(const QRect& area, bool inputOnly, bool clickThrough) : display_(XOpenDisplay(nullptr)) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x202020;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), area.x(), area.y(),
                            static_cast<unsigned>(area.width()), static_cast<unsigned>(area.height()), 0,
                            inputOnly ? 0 : CopyFromParent, inputOnly ? InputOnly : InputOutput, CopyFromParent,
                            inputOnly ? CWOverrideRedirect : CWOverrideRedirect | CWBackPixel, &attributes);
    if (clickThrough) XShapeCombineRectangles(display_, window_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    XMapRaised(display_, window_);
    XSync(display_, False);
  }
  ~Overlay() {
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  WindowNumber id() const { return static_cast<WindowNumber>(window_); }

 private:
  Display* display_;
  Window window_;
};

// What covers the strip comes from the stacking order and the windows' bounding shapes.
class StackingTest : public DesktopTest {
 protected:
  void SetUp() override {
    DesktopTest::SetUp();
    ASSERT_EQ(verifySponsored(), S()) << scene->monitor->debugSummary();
    strip = scene->surface->window()->geometry();
  }
  WindowNumber ownerAtCentre() {
    const Rect frame = scene->item->frame();
    return scene->server->topmostWindows({Point{frame.x + frame.width / 2, frame.y + frame.height / 2}},
                                         scene->surface->windowNumber())[0];
  }

  QRect strip;
};

TEST_F(StackingTest, AClickThroughOverlayHidesTheStripAndAnInputOnlyWindowDoesNot) {
  {
    const Overlay dimmer(strip.adjusted(-10, 0, 10, 0), false, true);
    EXPECT_EQ(ownerAtCentre(), dimmer.id());
    EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.topmostSamplesPass; }).topmostSamplesPass);
  }
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();
  const Overlay hotCorner(strip.adjusted(-10, 0, 10, 0), true, false);
  EXPECT_EQ(ownerAtCentre(), scene->surface->windowNumber());
  desktop::pump(100);
  EXPECT_FALSE(scene->monitor->snapshot().failure()) << scene->monitor->debugSummary();
}

TEST_F(StackingTest, AfterAFailedCheckTheItemIsRaisedAboveWhatCoveredIt) {
  const Overlay cover(strip, false, false);
  EXPECT_EQ(ownerAtCentre(), cover.id());
  // The next synchronisation raises the panel over the window that is still there.
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();
  EXPECT_EQ(ownerAtCentre(), scene->surface->windowNumber());
}

TEST_F(StackingTest, UnderACompositingManagerOnlyThePaintedPixelsOnScreenProveTheStrip) {
  // On a desktop without a compositor, this client plays one by owning its selection.
  Display* other = XOpenDisplay(nullptr);
  const Atom selection = XInternAtom(other, ("_NET_WM_CM_S" + std::to_string(DefaultScreen(other))).c_str(), False);
  const Window owner = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  if (XGetSelectionOwner(other, selection) == None) XSetSelectionOwner(other, selection, owner, CurrentTime);
  XSync(other, False);
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();

  // The marker changes between checks, on screen too.
  const QRect marker = scene->surface->buttonView()->markerRect().translated(strip.topLeft());
  const auto markerPixel = [&] {
    std::vector<std::uint32_t> pixel;
    EXPECT_TRUE(scene->server->readPixels(marker.x(), marker.y(), 1, 1, pixel));
    return pixel.empty() ? 0u : pixel[0];
  };
  desktop::pump(100);  // the repaint that the last check asked for
  const std::uint32_t before = markerPixel();
  scene->monitor->snapshot();
  desktop::pump(100);
  EXPECT_NE(markerPixel(), before);

  // Another client paints over the panel itself: the stacking and the X state do not
  // change, the pixels do, once a compositor has shown them.
  GC gc = XCreateGC(other, static_cast<Window>(scene->surface->windowNumber()), 0, nullptr);
  XSetForeground(other, gc, 0xFF00FF);
  XFillRectangle(other, static_cast<Window>(scene->surface->windowNumber()), gc, 0, 0,
                 static_cast<unsigned>(strip.width()), static_cast<unsigned>(strip.height()));
  XSync(other, False);
  std::vector<std::uint32_t> centre;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(scene->server->readPixels(strip.center().x(), strip.center().y(), 1, 1, centre));
    if ((centre[0] & 0xFFFFFFu) == 0xFF00FFu) break;
    QThread::msleep(10);  // the compositor's next frame; Qt's loop must not repaint the panel
  }
  EXPECT_EQ(centre[0] & 0xFFFFFFu, 0xFF00FFu) << "the painting reached the screen";
  EXPECT_FALSE(scene->monitor->snapshot().occlusionVisible);
  XFreeGC(other, gc);
  XDestroyWindow(other, owner);  // the selection goes with its owner
  XCloseDisplay(other);
}

// Sets a root window property of 32-bit values for the life of the object.
class RootProperty {
 public:
  RootProperty(const char* name, Atom type, std::vector<long> values) : display_(XOpenDisplay(nullptr)) {
    atom_ = XInternAtom(display_, name, False);
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, DefaultRootWindow(display_), atom_, 0, 256, False, AnyPropertyType, &type_, &format,
                       &count, &after, &data);
    if (data != nullptr && format == 32) old_.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
    if (data != nullptr) XFree(data);
    set(type, values);
  }
  ~RootProperty() {
    if (!old_.empty()) set(type_, old_);
    XCloseDisplay(display_);
  }

 private:
  void set(Atom type, const std::vector<long>& values) {
    XChangeProperty(display_, DefaultRootWindow(display_), atom_, type, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    XSync(display_, False);
  }
  Display* display_;
  Atom atom_, type_ = None;
  std::vector<long> old_;
};

TEST_F(StackingTest, DesktopsThatCannotShowASponsorAreRefusedWithTheirReason) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  {
    const RootProperty noBand("_NET_WORKAREA", XA_CARDINAL, {0, 0, screen.width(), screen.height() - 30});
    scene->tickUntil([this](const S&) { return scene->server->refusal() == DesktopRefusal::noTopPanel; });
    EXPECT_EQ(scene->monitor->desktopRefusal(), DesktopRefusal::noTopPanel);
    EXPECT_EQ(scene->monitor->lastDiagnostic(), platformText::topPanelNeeded.english);
  }
  scene->tickUntil([this](const S&) { return scene->server->refusal() == DesktopRefusal::none; });
  EXPECT_EQ(scene->monitor->desktopRefusal(), DesktopRefusal::none);

  // A window manager that calls itself GNOME Shell draws the top bar in its compositor.
  Display* other = XOpenDisplay(nullptr);
  const Window shell = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  const std::string name = "GNOME Shell";
  XChangeProperty(other, shell, XInternAtom(other, "_NET_WM_NAME", False), XInternAtom(other, "UTF8_STRING", False), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(name.data()), static_cast<int>(name.size()));
  XSync(other, False);
  {
    const RootProperty check("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(shell)});
    const X11WindowServer gnome;
    EXPECT_EQ(gnome.refusal(), DesktopRefusal::shellOwnsTopBar);
  }
  XDestroyWindow(other, shell);
  XCloseDisplay(other);
}

}  // namespace
}  // namespace nimbrella

// The meta-object code below names QMetaType::Bool, which Xlib defines as a macro.
#undef Bool
#undef Status
#undef None
#include "surface_desktop_test.moc"
