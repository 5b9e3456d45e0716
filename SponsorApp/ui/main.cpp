// nimbrella: the desktop application. One copy runs per user: a second launch asks
// the running one to show its controls and ends.

#include "SponsorApp/linux/AppInfo.hpp"
#include "SponsorApp/linux/ApplicationService.hpp"
#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/ui/AppDelegate.hpp"
#include "SponsorApp/ui/Icons.hpp"
#include "SponsorApp/ui/Platform.hpp"
#include "SponsorApp/ui/QuitSignals.hpp"
#include "SponsorApp/ui/SponsorAppEntry.hpp"

#include <QApplication>
#include <QTimer>

#include <malloc.h>

#include <cstdio>
#include <memory>

using namespace nimbrella;

int main(int argc, char** argv) {
  // The helper threads (X events, D-Bus, GLib) allocate little and seldom: they share the
  // main thread's heap instead of keeping an arena each.
  mallopt(M_ARENA_MAX, 1);
  const AppInfo info = AppInfo::forProgram();
  const EntryOptions options = EntryOptions::parse(argc, argv, info);
  if (options.exitStatus) {
    std::fputs(options.output.c_str(), *options.exitStatus == 0 ? stdout : stderr);
    return *options.exitStatus;
  }

  QApplication::setApplicationName(QStringLiteral("Nimbrella"));
  QApplication::setDesktopFileName(QStringLiteral("app.nimbrella.Nimbrella"));
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(applicationIcon());
  QtHttpTransport::trustCertificatesOfSslCertFile();

  return SponsorAppEntry::main(app, [&](ApplicationService& service) {
    PlatformOptions platformOptions;
    platformOptions.serverAddress = options.server;
    AppDelegate delegate(std::make_unique<DesktopPlatform>(platformOptions), info.shownVersion);

    service.onActivate = [&delegate] { delegate.showControls(); };
    service.onAction = [&delegate](const QString& name) {
      if (name == QStringLiteral("show-controls")) {
        delegate.showControls();
      } else if (name == QStringLiteral("connect")) {
        delegate.showControls();
        delegate.model().connectInBrowser();
      } else if (name == QStringLiteral("check-for-updates")) {
        delegate.model().checkForUpdates();
      } else if (name == QStringLiteral("quit")) {
        QApplication::quit();
      } else {
        return false;
      }
      return true;
    };

    // Every road out ends the exposure the same way: the menu, a signal, the end of the
    // desktop session.
    QuitSignals quitSignals([](int) { QApplication::quit(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [] { QApplication::quit(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&delegate] { delegate.applicationWillTerminate(); });

    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return QApplication::exec();
  });
}
