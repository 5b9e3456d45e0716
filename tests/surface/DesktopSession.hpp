#pragma once

// The real test desktop of scripts/desktop-session for tests and benchmarks: a Qt
// application on its X display, the X11 window server, and the status item, panel and
// monitor wired as the application wires them.

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/linux/X11WindowServer.hpp"
#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "SponsorApp/ui/MenuBarSurface.hpp"
#include "SponsorApp/ui/StatusItem.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace nimbrella::desktop {

// Why the real desktop is not usable here, or empty when it is.
inline std::string missingDesktop() {
  if (qgetenv("NIMBRELLA_DESKTOP_SESSION") != "1") return "this needs the real test desktop of scripts/desktop-session";
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return "the desktop session has no X display (DISPLAY is empty)";
  return {};
}

// The Qt application on the session's X display; made once per process.
inline QApplication* application() {
  static QApplication* app = [] {
    if (!missingDesktop().empty()) return static_cast<QApplication*>(nullptr);
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "nimbrella-surface", *argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

// Runs the event loop for about `milliseconds`.
inline void pump(int milliseconds) {
  QElapsedTimer timer;
  for (timer.start(); timer.elapsed() < milliseconds;) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct Scene {
  QTemporaryDir home;
  std::unique_ptr<QSettings> settings =
      std::make_unique<QSettings>(home.filePath(QStringLiteral("defaults.conf")), QSettings::IniFormat);
  std::unique_ptr<X11WindowServer> server = std::make_unique<X11WindowServer>();
  QtTextMeasurer measurer;
  std::shared_ptr<StatusItem> item = StatusItem::makeStatusItem(
      true, settings.get(), [this](WindowNumber window) { server->markAsTopBarItem(window); });
  std::shared_ptr<MenuBarSurface> surface = std::make_shared<MenuBarSurface>(*server);
  std::unique_ptr<SurfaceMonitor> monitor = std::make_unique<SurfaceMonitor>(*server, measurer);

  Scene() {
    monitor->statusItem = item;
    monitor->surface = surface;
    item->onEmptyText = [this] { monitor->hideSurface(); };
    surface->onAltPress = [this](const QPoint& position) { item->beginDrag(position); };
  }

  ~Scene() {
    monitor.reset();
    surface.reset();
    item.reset();
    pump(20);  // then the window server goes, the last member that needs the display
  }

  // Hands content over as the controller does: the status item gets the text and the
  // length, the monitor the expectation.
  void show(const MenuBarContent& content, bool sponsored) {
    item->setStatusText(content.text(), content.preferredWidth());
    monitor->setExpectation(content.text(), sponsored ? std::optional(content) : std::nullopt);
    monitor->setContentReady(true);
  }

  // Runs the controller's tick (synchronise, then measure) every 50 ms until `done`
  // holds for a snapshot or five seconds pass; answers the last snapshot.
  EligibilitySnapshot tickUntil(const std::function<bool(const EligibilitySnapshot&)>& done) {
    QElapsedTimer timer;
    for (timer.start();;) {
      monitor->synchronizeSurface(monitor->expectedText(), true);
      pump(50);
      const EligibilitySnapshot last = monitor->snapshot();
      if (done(last) || timer.elapsed() >= 5000) return last;
    }
  }
};

}  // namespace nimbrella::desktop
