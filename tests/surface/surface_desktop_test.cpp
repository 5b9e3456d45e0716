// The sponsored surface on the real test desktop (Xvfb, openbox, a 24-pixel tint2 panel
// at the top): painting, placement and every check measured by the X server itself.

#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorApp/ui/QtGeometry.hpp"
#include "surface/DesktopSession.hpp"
#include "surface/FakeDesktop.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>
#include <QProcess>
#include <QScreen>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

// Fontconfig keeps a pattern cache of the X display's fonts for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

bool passes(const S& s) { return !s.failure(); }
int xdotool(const QStringList& arguments) { return QProcess::execute(QStringLiteral("xdotool"), arguments); }

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = desktop::missingDesktop();
    if (!missing.empty()) FAIL() << "Cannot run: " << missing << ".";
    // The session bus stands in for the system bus, where a test may play logind.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) FAIL() << "The desktop session has no D-Bus.";
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    ASSERT_NE(desktop::application(), nullptr);
    ASSERT_TRUE(X11WindowServer::sessionIsX11()) << "Qt did not open the X display";
    // A person at the computer: recent input, and the screen saver not running.
    ASSERT_EQ(xdotool({"mousemove", "5", "400"}), 0);
    scene = std::make_unique<desktop::Scene>();
  }
  void TearDown() override { scene.reset(); }

  MenuBarContent sponsored(std::optional<std::string> logo = std::nullopt) const {
    return {fakes::sponsoredCreative(std::move(logo)), scene->measurer};
  }
  // Shows `content` and waits until every check passes; answers the last snapshot.
  S verify(const MenuBarContent& content, bool sponsoredContent = true) {
    scene->show(content, sponsoredContent);
    return scene->tickUntil(passes);
  }
  // Waits until `field` fails and expects every other check to pass.
  void expectOnlyFailing(bool S::*field) {
    S expected;
    expected.*field = false;
    EXPECT_EQ(scene->tickUntil([&](const S& s) { return !(s.*field); }), expected) << scene->monitor->debugSummary();
  }

  std::unique_ptr<desktop::Scene> scene;
};

// The top band and the item, as the X server shows them, written for a person to look at.
QImage screenshot(const Rect& item, const QString& name) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QDir folder(QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS));
  QDir().mkpath(folder.path());
  const QRect itemRect = ScreenSpace::toQt(item);
  const QImage band = screen->grabWindow(0, 0, 0, screen->geometry().width(), 24).toImage();
  const QImage image = screen->grabWindow(0, itemRect.x(), itemRect.y(), itemRect.width(), itemRect.height()).toImage();
  EXPECT_TRUE(band.save(folder.filePath(name + QStringLiteral("-top-band.png")), "PNG"));
  EXPECT_TRUE(image.save(folder.filePath(name + QStringLiteral("-item.png")), "PNG"));
  return image.convertToFormat(QImage::Format_RGB32);
}

TEST_F(DesktopTest, SponsoredItemIsPaintedOverTheStatusItemAndEveryCheckPasses) {
  ASSERT_EQ(verify(sponsored(fakes::pngDataUrl({.width = 32, .height = 32}))), S()) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->monitor->lastDiagnostic(),
            "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.");
  EXPECT_EQ(scene->item->length(), 280);
  const Rect frame = scene->item->frame();
  EXPECT_EQ(frame.height, 24);
  EXPECT_EQ(frame.maxY(), ScreenSpace::height()) << "the item sits at the top of the screen";
  EXPECT_EQ(ScreenSpace::fromQt(scene->surface->window()->geometry()), frame);
  EXPECT_EQ(scene->monitor->sampledPoints(frame, scene->surface->windowNumber()).owned, 9);

  const QImage item = screenshot(frame, QStringLiteral("sponsored"));
  ASSERT_EQ(item.size(), QSize(280, 24));
  EXPECT_EQ(item.pixelColor(2, 12), QColor(0x1a, 0x2b, 0x3c)) << "the accent stripe is on screen";
  EXPECT_NE(item.pixelColor(14, 12), item.pixelColor(24, 12)) << "the logo is on screen";
  const QColor background = scene->surface->buttonView()->palette().color(QPalette::Window);
  int inked = 0;
  for (int x = 27; x < 120; ++x) {
    for (int y = 0; y < 24; ++y) inked += item.pixelColor(x, y) != background ? 1 : 0;
  }
  EXPECT_GT(inked, 40) << "the text is on screen";
}

TEST_F(DesktopTest, CoveringTranslucentOrFullScreenWindowsFailTheirChecksUntilGone) {
  ASSERT_EQ(verify(sponsored()), S()) << scene->monitor->debugSummary();

  // Another application's menu: an unmanaged window over the item's top-right corner.
  // The occlusion the X server reports may still call the panel visible.
  QWidget menu(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  const QRect item = scene->surface->window()->geometry();
  menu.setGeometry(item.right() - 30, item.top(), 60, 12);
  menu.show();
  expectOnlyFailing(&S::topmostSamplesPass);
  EXPECT_EQ(scene->monitor->lastDiagnostic(),
            "Menu-bar visibility could not be verified. No earnings while this is unverified.");
  EXPECT_EQ(scene->server->topmostWindows({Point{double(item.right() - 3), ScreenSpace::height() - 3}})[0],
            static_cast<WindowNumber>(menu.winId()));
  menu.hide();
  EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();

  scene->surface->window()->setWindowOpacity(0.99);
  expectOnlyFailing(&S::windowVisible);
  scene->surface->window()->setWindowOpacity(1.0);
  EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();

  QWidget player;
  player.showFullScreen();
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.menuBarVisible; }).menuBarVisible);
  scene->monitor->synchronizeSurface(scene->monitor->expectedText(), true);
  EXPECT_FALSE(scene->surface->window()->isVisible()) << "the panel gives way to the full-screen window";
  player.close();
  EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
}

TEST_F(DesktopTest, DraggingTheItemBelowTheBandWithAltFailsTheGeometryCheck) {
  ASSERT_EQ(verify(sponsored()), S()) << scene->monitor->debugSummary();
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

TEST_F(DesktopTest, IdleTimeGrowsWithoutInputAndResetsOnInput) {
  ASSERT_EQ(xdotool({"mousemove", "400", "400"}), 0);
  desktop::pump(50);
  const double start = scene->server->secondsSinceLastInput();
  ASSERT_TRUE(std::isfinite(start));
  desktop::pump(300);
  const double later = scene->server->secondsSinceLastInput();
  EXPECT_GT(later, start);
  ASSERT_EQ(xdotool({"mousemove", "420", "410"}), 0);
  desktop::pump(20);
  EXPECT_LT(scene->server->secondsSinceLastInput(), later);
}

TEST_F(DesktopTest, HouseTextIsPaintedAndVerified) {
  const MenuBarContent house{std::string("Nimbrella is ready"), scene->measurer};
  // The controller's width (the content's preferred width) wins over the text plus 36.
  const double textLength =
      std::ceil(scene->measurer.measure("Nimbrella is ready", MenuBarContent::singleLineReferenceFont).width + 36);
  ASSERT_LT(textLength, house.preferredWidth());
  EXPECT_EQ(verify(house, false), S()) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->item->length(), std::ceil(house.preferredWidth()));
  screenshot(scene->item->frame(), QStringLiteral("house"));

  // Without a width the text plus 36 decides, kept between 24 and 280; the item grows
  // and shrinks to the left.
  for (const auto& [text, width, length] : {std::tuple<std::string, double, double>{"Nimbrella is ready", 0, textLength},
                                     {std::string(120, 'W'), 0, 280}, {"N", 500, 280}}) {
    scene->item->setStatusText(text, width);
    EXPECT_EQ(scene->item->length(), length) << text;
    EXPECT_EQ(scene->item->frame().maxX(), 1280 - 8);
  }

  // An empty text squares the item, shows the controls icon and hides the panel; the
  // follow-up runs on the next turn of the event loop.
  int followUps = 0;
  scene->item->afterLookChange = [&followUps] { ++followUps; };
  scene->item->setStatusText("", 0);
  EXPECT_EQ(followUps, 0);
  desktop::pump(100);
  EXPECT_EQ(followUps, 1);
  EXPECT_EQ(scene->item->length(), 24);
  EXPECT_FALSE(scene->surface->window()->isVisible());
}

TEST_F(DesktopTest, ALogoThePlatformDecoderRefusesHidesThePanel) {
  ASSERT_EQ(verify(sponsored()), S()) << scene->monitor->debugSummary();
  // Valid for the creative rules, but above the decoder's memory limit.
  const int limit = QImageReader::allocationLimit();
  QImageReader::setAllocationLimit(1);
  scene->show(sponsored(fakes::pngDataUrl({.width = 1024, .height = 600})), true);
  const S snapshot = scene->tickUntil([](const S& s) { return !s.windowVisible; });
  QImageReader::setAllocationLimit(limit);
  EXPECT_FALSE(scene->surface->window()->isVisible());
  EXPECT_FALSE(snapshot.contentReady);
  EXPECT_EQ(scene->monitor->lastDiagnostic(), "The sponsored text is not ready. No earnings while this is unverified.");
}

TEST_F(DesktopTest, TheItemAndPanelStayOnEveryDesktop) {
  ASSERT_EQ(verify(sponsored()), S()) << scene->monitor->debugSummary();
  X11SystemEvents events(scene->server.get());
  int desktopChanges = 0;
  const auto subscription = events.subscribe([&](SystemEvent event) {
    desktopChanges += event == SystemEvent::activeSpaceDidChange ? 1 : 0;
  });
  ASSERT_EQ(xdotool({"set_desktop", "1"}), 0);
  desktop::pump(200);
  EXPECT_GE(desktopChanges, 1);
  const S other = scene->tickUntil(passes, std::chrono::seconds(2));
  ASSERT_EQ(xdotool({"set_desktop", "0"}), 0);
  EXPECT_EQ(other, S()) << scene->monitor->debugSummary();
  desktop::pump(100);
}

TEST_F(DesktopTest, ABlankedDisplayIsReportedAsDisplaySleepAndWake) {
  X11WindowServer& server = *scene->server;
  X11SystemEvents events(&server);
  std::vector<SystemEvent> seen;
  const auto subscription = events.subscribe([&](SystemEvent event) { seen.push_back(event); });
  Display* display = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display();
  ASSERT_TRUE(server.displayAwake());
  // The X server's screen saver blanks the display (Xvfb has no DPMS to power it down).
  for (const auto& [mode, awake] : {std::pair{ScreenSaverActive, false}, std::pair{ScreenSaverReset, true}}) {
    const std::size_t before = seen.size();
    XForceScreenSaver(display, mode);
    XSync(display, False);
    for (int i = 0; i < 40 && seen.size() == before; ++i) desktop::pump(50);
    EXPECT_EQ(server.displayAwake(), awake);
  }
  EXPECT_EQ(seen, (std::vector{SystemEvent::screensDidSleep, SystemEvent::screensDidWake}));
}

constexpr const char* fakeSessionPath = "/org/freedesktop/login1/session/c7";

// logind as far as the application uses it, on its own bus connection.
class FakeLogindManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public slots:
  QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(QString::fromLatin1(fakeSessionPath)); }
  QDBusObjectPath GetSession(const QString&) { return QDBusObjectPath(QString::fromLatin1(fakeSessionPath)); }

 signals:
  void PrepareForSleep(bool start);
};

class FakeLogindSession : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")

 signals:
  void Lock();
  void Unlock();
};

TEST_F(DesktopTest, LogindSleepAndSessionChangesArriveAsSystemEvents) {
  QDBusConnection bus =
      QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("fake-logind"));
  ASSERT_TRUE(bus.isConnected());
  FakeLogindManager manager;
  FakeLogindSession session;
  ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
  ASSERT_TRUE(bus.registerObject(QString::fromLatin1(fakeSessionPath), &session, QDBusConnection::ExportAllSignals));
  ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.login1")));

  X11SystemEvents events(scene->server.get());
  std::vector<SystemEvent> seen;
  const auto subscription = events.subscribe([&](SystemEvent event) { seen.push_back(event); });
  EXPECT_TRUE(events.followsLogind());
  for (int i = 0; i < 100 && !events.followsSession(); ++i) desktop::pump(20);
  ASSERT_TRUE(events.followsSession());

  auto activeChanged = [&](bool active) {
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(fakeSessionPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.freedesktop.login1.Session") << QVariantMap{{QStringLiteral("Active"), active}}
           << QStringList();
    ASSERT_TRUE(bus.send(signal));
  };
  emit manager.PrepareForSleep(true);
  emit manager.PrepareForSleep(false);
  activeChanged(false);
  activeChanged(true);
  emit session.Lock();
  emit session.Unlock();
  const std::vector expected{SystemEvent::willSleep, SystemEvent::didWake, SystemEvent::sessionDidResignActive,
                             SystemEvent::sessionDidBecomeActive, SystemEvent::sessionDidResignActive,
                             SystemEvent::sessionDidBecomeActive};
  for (int i = 0; i < 100 && seen.size() < expected.size(); ++i) desktop::pump(20);
  EXPECT_EQ(seen, expected);

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

}  // namespace
}  // namespace nimbrella

// The meta-object code below names QMetaType::Bool, which Xlib defines as a macro.
#undef Bool
#undef Status
#undef None
#include "surface_desktop_test.moc"
