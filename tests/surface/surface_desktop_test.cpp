// The sponsored surface on the real test desktop (Xvfb, openbox, a 24-pixel tint2 panel
// at the top): painting, placement and every check measured by the X server itself.

#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorCore/Base64.hpp"
#include "core/PngFixtures.hpp"
#include "surface/DesktopSession.hpp"

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

using desktop::Scene;

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
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"mousemove", "5", "400"}), 0);
    scene = std::make_unique<Scene>();
  }
  void TearDown() override { scene.reset(); }

  std::unique_ptr<Scene> scene;
};

SponsorCreative sponsoredCreative(std::optional<std::string> logo) {
  SponsorCreative c;
  c.sponsor = "Sample Notes";
  c.headline = "Headline";
  c.body = "Body";
  c.cta = "Open";
  c.url = "https://sample.example/";
  c.menuTagline = "Notes that keep up";
  c.accentColor = "#E0301E";
  c.logoData = std::move(logo);
  return c;
}

std::string dataUrl(const fixtures::PngOptions& options) {
  return "data:image/png;base64," + base64::encode(fixtures::makePng(options));
}

bool passes(const EligibilitySnapshot& s) { return !s.failure(); }

// The top band and the item, as the X server shows them, written for a person to look at.
QImage screenshot(const Rect& item, const QString& name) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect band(0, 0, screen->geometry().width(), 24);
  const QRect itemRect = ScreenSpace::toQt(item);
  const QDir folder(QStringLiteral(NIMBRELLA_SURFACE_SCREENSHOTS));
  QDir().mkpath(folder.path());
  const QImage bandImage = screen->grabWindow(0, band.x(), band.y(), band.width(), band.height()).toImage();
  const QImage itemImage =
      screen->grabWindow(0, itemRect.x(), itemRect.y(), itemRect.width(), itemRect.height()).toImage();
  EXPECT_TRUE(bandImage.save(folder.filePath(name + QStringLiteral("-top-band.png")), "PNG"));
  EXPECT_TRUE(itemImage.save(folder.filePath(name + QStringLiteral("-item.png")), "PNG"));
  return itemImage.convertToFormat(QImage::Format_RGB32);
}

int xdotool(const QStringList& arguments) { return QProcess::execute(QStringLiteral("xdotool"), arguments); }

TEST_F(DesktopTest, SponsoredItemIsPaintedOverTheStatusItemAndEveryCheckPasses) {
  const MenuBarContent content{sponsoredCreative(dataUrl({.width = 32, .height = 32})), scene->measurer};
  scene->show(content, true);
  const EligibilitySnapshot snapshot = scene->tickUntil(passes);
  EXPECT_EQ(snapshot, EligibilitySnapshot()) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->monitor->lastDiagnostic(),
            "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.");
  EXPECT_EQ(scene->item->length(), 280);
  const Rect frame = scene->item->frame();
  EXPECT_EQ(frame.height, 24);
  EXPECT_EQ(frame.maxY(), ScreenSpace::height()) << "the item sits at the top of the screen";
  EXPECT_EQ(ScreenSpace::fromQt(scene->surface->window()->geometry()), frame);

  const QImage item = screenshot(frame, QStringLiteral("sponsored"));
  ASSERT_EQ(item.size(), QSize(280, 24));
  EXPECT_EQ(item.pixelColor(2, 12), QColor(0xE0, 0x30, 0x1E)) << "the accent stripe is on screen";
  const QColor background = scene->surface->buttonView()->palette().color(QPalette::Window);
  int inked = 0;
  for (int x = 27; x < 120; ++x) {
    for (int y = 0; y < 24; ++y) inked += item.pixelColor(x, y) != background ? 1 : 0;
  }
  EXPECT_GT(inked, 40) << "the text is on screen";
}

TEST_F(DesktopTest, AWindowOverOneCornerFailsTheNineHitTests) {
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();

  // Another application's menu: an unmanaged window over the item's top-right corner.
  QWidget menu(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  const QRect item = scene->surface->window()->geometry();
  menu.setGeometry(item.right() - 30, item.top(), 60, 12);
  menu.show();
  const EligibilitySnapshot covered = scene->tickUntil([](const auto& s) { return !s.topmostSamplesPass; });
  EligibilitySnapshot expected;
  expected.topmostSamplesPass = false;
  EXPECT_EQ(covered, expected) << scene->monitor->debugSummary();
  EXPECT_EQ(scene->monitor->lastDiagnostic(),
            "Menu-bar visibility could not be verified. No earnings while this is unverified.");
  EXPECT_EQ(scene->server->topmostWindows({Point{double(item.right() - 3), ScreenSpace::height() - 3}})[0],
            static_cast<WindowNumber>(menu.winId()));

  menu.hide();
  EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
}

TEST_F(DesktopTest, APanelAlphaBelowOneFailsTheWindowCheck) {
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
  scene->surface->window()->setWindowOpacity(0.99);
  const EligibilitySnapshot translucent = scene->tickUntil([](const auto& s) { return !s.windowVisible; });
  EligibilitySnapshot expected;
  expected.windowVisible = false;
  EXPECT_EQ(translucent, expected) << scene->monitor->debugSummary();
  scene->surface->window()->setWindowOpacity(1.0);
  EXPECT_TRUE(passes(scene->tickUntil(passes)));
}

TEST_F(DesktopTest, DraggingTheItemBelowTheBandWithAltFailsTheGeometryCheck) {
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
  const QRect before = scene->item->window()->geometry();
  const QPoint grab = before.topLeft() + QPoint(20, 12);
  // Each step is its own xdotool run so that the X server sees the moves in order.
  ASSERT_EQ(xdotool({"mousemove", QString::number(grab.x()), QString::number(grab.y())}), 0);
  ASSERT_EQ(xdotool({"keydown", "alt"}), 0);
  ASSERT_EQ(xdotool({"mousedown", "1"}), 0);
  desktop::pump(100);
  for (int step = 1; step <= 5; ++step) {
    ASSERT_EQ(xdotool({"mousemove", QString::number(grab.x() - 8 * step), QString::number(grab.y() + 20 * step)}), 0);
    desktop::pump(60);
  }
  ASSERT_EQ(xdotool({"mouseup", "1"}), 0);
  ASSERT_EQ(xdotool({"keyup", "alt"}), 0);
  desktop::pump(200);

  const QRect after = scene->item->window()->geometry();
  EXPECT_GT(after.top(), before.top() + 50) << "the item follows the drag";
  // Measured before the next synchronisation moves the panel: the item is off the band.
  const EligibilitySnapshot moved = scene->monitor->snapshot();
  EXPECT_FALSE(moved.geometryValid) << scene->monitor->debugSummary();
  // The surface then refuses to follow it out of the band.
  scene->monitor->synchronizeSurface(scene->monitor->expectedText, true);
  desktop::pump(100);
  EXPECT_FALSE(scene->surface->window()->isVisible());
  // The place the user chose is kept (as the distance from the screen's right edge).
  const int screenRight = QGuiApplication::primaryScreen()->geometry().right() + 1;
  EXPECT_EQ(scene->settings->value("NimbrellaMenuBar/rightOffset").toInt(), screenRight - after.right() - 1);
}

TEST_F(DesktopTest, AFullScreenActiveWindowFailsTheBarCheck) {
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
  QWidget player;
  player.setWindowTitle(QStringLiteral("full screen"));
  player.showFullScreen();
  const EligibilitySnapshot full = scene->tickUntil([](const auto& s) { return !s.menuBarVisible; });
  EXPECT_FALSE(full.menuBarVisible) << scene->monitor->debugSummary();
  scene->monitor->synchronizeSurface(scene->monitor->expectedText, true);
  EXPECT_FALSE(scene->surface->window()->isVisible()) << "the panel gives way to the full-screen window";
  player.close();
  EXPECT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
}

TEST_F(DesktopTest, IdleTimeGrowsWithoutInputAndResetsOnInput) {
  ASSERT_EQ(xdotool({"mousemove", "400", "400"}), 0);
  desktop::pump(50);
  const double start = scene->server->secondsSinceLastInput();
  ASSERT_TRUE(std::isfinite(start));
  desktop::pump(1300);
  const double later = scene->server->secondsSinceLastInput();
  EXPECT_GE(later, start + 1.0);
  ASSERT_EQ(xdotool({"mousemove", "420", "410"}), 0);
  desktop::pump(20);
  EXPECT_LT(scene->server->secondsSinceLastInput(), 0.5);
}

TEST_F(DesktopTest, HouseTextIsPaintedAndVerified) {
  const MenuBarContent house{std::string("Nimbrella is ready"), scene->measurer};
  scene->show(house, false);
  // The controller's width (the content's preferred width) wins over the text plus 36.
  EXPECT_EQ(scene->item->length(), std::ceil(house.preferredWidth()));
  const double textLength =
      std::ceil(scene->measurer.measure("Nimbrella is ready", MenuBarContent::singleLineReferenceFont).width + 36);
  ASSERT_LT(textLength, house.preferredWidth());
  const EligibilitySnapshot snapshot = scene->tickUntil(passes);
  EXPECT_EQ(snapshot, EligibilitySnapshot()) << scene->monitor->debugSummary();
  screenshot(scene->item->frame(), QStringLiteral("house"));

  // Without a width the text plus 36 decides, kept between 24 and 280.
  scene->item->setStatusText("Nimbrella is ready", 0);
  EXPECT_EQ(scene->item->length(), textLength);
  scene->item->setStatusText(std::string(120, 'W'), 0);
  EXPECT_EQ(scene->item->length(), 280);
  scene->item->setStatusText("N", 500);
  EXPECT_EQ(scene->item->length(), 280);
  EXPECT_EQ(scene->item->frame().maxX(), 1280 - 8) << "the item grows and shrinks to the left";

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
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();

  // Valid for the creative rules, but above the decoder's memory limit.
  const MenuBarContent refused{sponsoredCreative(dataUrl({.width = 1024, .height = 600})), scene->measurer};
  const int limit = QImageReader::allocationLimit();
  QImageReader::setAllocationLimit(1);
  scene->show(refused, true);
  const EligibilitySnapshot snapshot = scene->tickUntil([](const auto& s) { return !s.windowVisible; });
  QImageReader::setAllocationLimit(limit);
  EXPECT_FALSE(scene->surface->window()->isVisible());
  EXPECT_FALSE(snapshot.contentReady);
  EXPECT_EQ(scene->monitor->lastDiagnostic(), "The sponsored text is not ready. No earnings while this is unverified.");
}

TEST_F(DesktopTest, TheItemAndPanelStayOnEveryDesktop) {
  scene->show(MenuBarContent{sponsoredCreative(std::nullopt), scene->measurer}, true);
  ASSERT_TRUE(passes(scene->tickUntil(passes))) << scene->monitor->debugSummary();
  X11SystemEvents events(scene->server.get());
  int desktopChanges = 0;
  const auto subscription = events.subscribe([&](SystemEvent event) {
    if (event == SystemEvent::activeSpaceDidChange) ++desktopChanges;
  });
  ASSERT_EQ(xdotool({"set_desktop", "1"}), 0);
  desktop::pump(200);
  EXPECT_GE(desktopChanges, 1);
  const EligibilitySnapshot other = scene->tickUntil(passes, std::chrono::seconds(2));
  ASSERT_EQ(xdotool({"set_desktop", "0"}), 0);
  EXPECT_EQ(other, EligibilitySnapshot()) << scene->monitor->debugSummary();
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
  XForceScreenSaver(display, ScreenSaverActive);
  XSync(display, False);
  for (int i = 0; i < 40 && seen.empty(); ++i) desktop::pump(50);
  EXPECT_FALSE(server.displayAwake());
  ASSERT_EQ(seen, std::vector<SystemEvent>{SystemEvent::screensDidSleep});
  XForceScreenSaver(display, ScreenSaverReset);
  XSync(display, False);
  for (int i = 0; i < 40 && seen.size() < 2; ++i) desktop::pump(50);
  EXPECT_TRUE(server.displayAwake());
  EXPECT_EQ(seen, (std::vector<SystemEvent>{SystemEvent::screensDidSleep, SystemEvent::screensDidWake}));
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
  const std::vector<SystemEvent> expected{SystemEvent::willSleep,
                                          SystemEvent::didWake,
                                          SystemEvent::sessionDidResignActive,
                                          SystemEvent::sessionDidBecomeActive,
                                          SystemEvent::sessionDidResignActive,
                                          SystemEvent::sessionDidBecomeActive};
  emit manager.PrepareForSleep(true);
  emit manager.PrepareForSleep(false);
  activeChanged(false);
  activeChanged(true);
  emit session.Lock();
  emit session.Unlock();
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
  ASSERT_FALSE(server->canVerify());

  SurfaceMonitor monitor(*server, scene->measurer);
  monitor.statusItem = scene->item;
  monitor.surface = scene->surface;
  const MenuBarContent content{sponsoredCreative(std::nullopt), scene->measurer};
  scene->item->setStatusText(content.text(), content.preferredWidth());
  monitor.expectedText = content.text();
  monitor.expectedContent = content;
  monitor.contentReady = true;
  monitor.synchronizeSurface(content.text(), true);
  desktop::pump(100);
  EXPECT_FALSE(scene->surface->window()->isVisible());
  const EligibilitySnapshot snapshot = monitor.snapshot();
  EXPECT_FALSE(snapshot.occlusionVisible);
  EXPECT_FALSE(snapshot.topmostSamplesPass);
  EXPECT_TRUE(snapshot.failure().has_value());
  EXPECT_EQ(monitor.lastDiagnostic(),
            "Menu-bar visibility could not be verified. No earnings while this is unverified.");
}

}  // namespace
}  // namespace nimbrella

// The meta-object code below names QMetaType::Bool, which Xlib defines as a macro.
#undef Bool
#undef Status
#undef None
#include "surface_desktop_test.moc"
