#pragma once

// The platform facts the controller needs, each behind a small port. Every port is
// used on the main thread only. Adapters for the desktop live in SponsorApp/linux/;
// the simulation in tests/controller/support/ provides doubles for all of them.

#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/Eligibility.hpp"
#include "SponsorCore/MenuBarContent.hpp"
#include "SponsorCore/PlatformText.hpp"
#include "SponsorCore/SafeEndpoint.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

class ApiClient;

// A repeating timer created by a MainQueue. It fires until invalidated; invalidating
// it again does nothing. Destroying the handle invalidates the timer.
class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

// The main thread's queue of work.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Runs the task later on the main thread, never inside this call.
  virtual void post(std::function<void()> task) = 0;
  // Runs the task on the main thread once `seconds` have passed.
  virtual void postAfter(double seconds, std::function<void()> task) = 0;
  // Runs the task every `seconds` on the main thread, also while menus are tracked.
  virtual std::unique_ptr<RepeatingTimer> scheduleRepeating(double seconds, std::function<void()> task) = 0;
};

// Wall time and the monotonic system uptime in seconds.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
  virtual double uptime() const = 0;
};

// The user's current calendar and time zone.
class CalendarProvider {
 public:
  virtual ~CalendarProvider() = default;
  virtual const Calendar& current() = 0;
};

// Opens an address in the default browser; the outcome is not reported.
class BrowserOpener {
 public:
  virtual ~BrowserOpener() = default;
  virtual void open(const std::string& url) = 0;
};

// Seconds since the last input event of any kind in the user's session.
class IdleTime {
 public:
  virtual ~IdleTime() = default;
  virtual double secondsSinceLastInput() const = 0;
};

// The system notifications the controller reacts to.
enum class SystemEvent {
  willSleep,
  screensDidSleep,
  didWake,
  screensDidWake,
  sessionDidResignActive,
  sessionDidBecomeActive,
  activeSpaceDidChange,
  screenParametersDidChange,
};

// A registration with SystemEvents; destroying it ends the registration.
class SystemEventSubscription {
 public:
  virtual ~SystemEventSubscription() = default;
};

// Delivers system notifications on the main thread.
class SystemEvents {
 public:
  virtual ~SystemEvents() = default;
  virtual std::unique_ptr<SystemEventSubscription> subscribe(std::function<void(SystemEvent)> handler) = 0;
};

// The user's preferred languages, most preferred first ("it-IT", "en_GB.UTF-8", ...).
class PreferredLanguages {
 public:
  virtual ~PreferredLanguages() = default;
  virtual std::vector<std::string> preferredLanguages() const = 0;
};

// The software updater. Until it is started, and when this installation does not
// allow updating, its state is all false and nothing it is asked does anything.
class SoftwareUpdater {
 public:
  struct State {
    bool canCheckForUpdates = false;
    bool automaticallyChecks = false;
    bool automaticallyInstalls = false;
  };

  virtual ~SoftwareUpdater() = default;
  // Starts updating when this installation allows it; once only. `beforeInstallation`
  // runs just before the application is replaced and relaunched; `changed` runs on the
  // main thread after every change of state().
  virtual void start(std::function<void()> beforeInstallation, std::function<void()> changed) = 0;
  virtual State state() const = 0;
  // A check the user asked for; only while state().canCheckForUpdates.
  virtual void checkForUpdates() = 0;
  // The switches; the value the updater keeps is reported through `changed`.
  virtual void setAutomaticallyChecks(bool value) = 0;
  virtual void setAutomaticallyInstalls(bool value) = 0;
};

// The surface monitor as the controller sees it. The controller tells it what should
// be painted and what it knows of the system; the monitor measures on request.
class SurfaceMonitorPort {
 public:
  virtual ~SurfaceMonitorPort() = default;

  // The item that should be painted: its text and, for a sponsored item, its content
  // (without content the text is the house text).
  virtual void setExpectation(std::string text, std::optional<MenuBarContent> content) = 0;
  // True once the expected item has been shown long enough to have settled.
  virtual void setContentReady(bool ready) = 0;
  virtual void setDisplayAwake(bool awake) = 0;
  virtual void setSessionActive(bool active) = 0;
  virtual void setControlsClosed(bool closed) = 0;

  // Measures the fourteen checks now; updates lastDiagnostic().
  virtual EligibilitySnapshot snapshot() = 0;
  // Keeps the painted surface in step: shown with `text` when allowed, hidden otherwise.
  virtual void synchronizeSurface(std::string_view text, bool allowed) = 0;
  // The last verdict in English.
  virtual const std::string& lastDiagnostic() const = 0;
  // Hides the surface window if it is visible.
  virtual void hideSurface() = 0;
  // Asks the status item's button to redraw at once.
  virtual void redrawStatusButton() = 0;
  // Why this desktop can never show a sponsor; then no item is asked for.
  virtual DesktopRefusal desktopRefusal() const { return DesktopRefusal::none; }

 protected:
  SurfaceMonitorPort() = default;
  SurfaceMonitorPort(const SurfaceMonitorPort&) = default;
  SurfaceMonitorPort& operator=(const SurfaceMonitorPort&) = default;
};

// Builds the server client for an endpoint (a new one each time the endpoint changes).
using ApiClientFactory = std::function<std::shared_ptr<const ApiClient>(const SafeEndpoint&)>;

// The environment this build was made for: development builds talk to a saved or
// local development server and accept sandbox accounts.
ClientEnvironment buildEnvironment() noexcept;

}  // namespace nimbrella
