#include "SponsorApp/ui/Platform.hpp"

#include "SponsorApp/linux/AppInfo.hpp"
#include "SponsorApp/linux/DesktopBrowserOpener.hpp"
#include "SponsorApp/linux/PreferredLanguages.hpp"
#include "SponsorApp/linux/QSettingsDefaults.hpp"
#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/linux/QtMainQueue.hpp"
#include "SponsorApp/linux/QtSoftwareUpdater.hpp"
#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/linux/SecretServiceStore.hpp"
#include "SponsorApp/linux/SystemClock.hpp"
#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorApp/linux/X11WindowServer.hpp"
#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/ui/SponsorPreferencesWindow.hpp"
#include "SponsorApp/ui/UpdatePrompt.hpp"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

namespace nimbrella {

namespace {

// Seconds since the last input, as the window server measures it (XScreenSaver).
class WindowServerIdleTime final : public IdleTime {
 public:
  explicit WindowServerIdleTime(WindowServer& server) : server_(server) {}
  double secondsSinceLastInput() const override { return server_.secondsSinceLastInput(); }

 private:
  WindowServer& server_;
};

// The updater of this installation, when its Info.json allows updating.
std::shared_ptr<SoftwareUpdater> makeUpdater(std::shared_ptr<UserDefaults> defaults,
                                             std::shared_ptr<PreferredLanguages> languages) {
  const AppInfo info = AppInfo::forProgram();
  UpdaterOptions options;
  options.configuration = UpdateConfiguration::fromInfo(info.document);
  options.runningBuild = info.buildNumber ? parseBuildNumber(*info.buildNumber).value_or(0) : 0;
  options.defaults = defaults;
  if (options.configuration && options.configuration->installer) {
    options.installer = std::make_shared<CommandInstaller>(*options.configuration->installer, std::vector<std::string>{});
  } else {
    options.installer = CommandInstaller::system();
  }
  options.prompt = std::make_shared<DialogUpdatePrompt>([defaults, languages] {
    const auto stored = defaults->text(defaultsKey::appLanguage);
    return chooseLanguage(stored ? std::optional<std::string_view>(*stored) : std::nullopt,
                          languages->preferredLanguages());
  });
  // The program's path now: once the package is replaced, /proc/self/exe names a deleted file.
  const QString program = QCoreApplication::applicationFilePath();
  options.relaunch = [program] {
    // The new copy starts once this one has ended and released the single-instance lock.
    QProcess::startDetached(QStringLiteral("/bin/sh"),
                            {QStringLiteral("-c"), QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; exec \"$0\""),
                             program, QString::number(QCoreApplication::applicationPid())});
    QCoreApplication::quit();
  };
  options.downloadFolder = std::filesystem::path(
      QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString()) / NIMBRELLA_BUNDLE_IDENTIFIER / "updates";
  return std::make_shared<QtSoftwareUpdater>(std::move(options));
}

}  // namespace

DesktopPlatform::DesktopPlatform(const PlatformOptions& options) : windowServer_(X11WindowServer::forApplication()) {

  auto defaults = std::make_shared<QSettingsDefaults>();
  if (options.serverAddress) defaults->setText(defaultsKey::apiBaseURL, *options.serverAddress);

  auto queue = std::make_shared<QtMainQueue>();
  auto transport = std::make_shared<QtHttpTransport>();
  auto measurer = std::make_shared<QtTextMeasurer>();
  monitor_ = std::make_shared<SurfaceMonitor>(*windowServer_, *measurer);

  ports_.queue = queue;
  ports_.clock = std::make_shared<SystemClock>();
  ports_.calendar = std::make_shared<SystemCalendar>();
  ports_.defaults = defaults;
  ports_.secretStore = std::make_shared<SecretServiceStore>();
  ports_.makeClient = [transport](const SafeEndpoint& endpoint) {
    return std::make_shared<const ApiClient>(endpoint, transport);
  };
  ports_.browser = std::make_shared<DesktopBrowserOpener>();
  ports_.idleTime = std::make_shared<WindowServerIdleTime>(*windowServer_);
  ports_.systemEvents = std::make_shared<X11SystemEvents>(x11());
  ports_.preferredLanguages = std::make_shared<LocalePreferredLanguages>();
  ports_.monitor = monitor_;
  ports_.measurer = measurer;
  ports_.updater = makeUpdater(defaults, ports_.preferredLanguages);
  ports_.makePreferencesWindow = [](AppModel& model) { return std::make_shared<SponsorPreferencesWindow>(model); };
}

DesktopPlatform::~DesktopPlatform() = default;

X11WindowServer* DesktopPlatform::x11() const { return dynamic_cast<X11WindowServer*>(windowServer_.get()); }

}  // namespace nimbrella
