#include "SponsorApp/ui/Platform.hpp"

#include "SponsorApp/linux/DesktopBrowserOpener.hpp"
#include "SponsorApp/linux/PreferredLanguages.hpp"
#include "SponsorApp/linux/QSettingsDefaults.hpp"
#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/linux/QtMainQueue.hpp"
#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/linux/SecretServiceStore.hpp"
#include "SponsorApp/linux/SystemClock.hpp"
#include "SponsorApp/linux/X11SystemEvents.hpp"
#include "SponsorApp/linux/X11WindowServer.hpp"
#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/ui/SponsorPreferencesWindow.hpp"

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
  ports_.makePreferencesWindow = [](AppModel& model) { return std::make_shared<SponsorPreferencesWindow>(model); };
}

DesktopPlatform::~DesktopPlatform() = default;

X11WindowServer* DesktopPlatform::x11() const { return dynamic_cast<X11WindowServer*>(windowServer_.get()); }

}  // namespace nimbrella
