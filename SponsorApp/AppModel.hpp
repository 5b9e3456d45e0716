#pragma once

// AppModel: the one controller of the application. It owns every piece of run-time
// state, restores what survives a restart when it is built, and drives the exposure
// cycle from a 0.25 s timer. The state is kept in one record per concern, each
// declared beside the file that holds its rules: the user's choices
// (AppModelChoices), connecting through the browser (AppModelConnection), the paired
// account (AppModelAccount) and the exposure cycle (AppModelExposure).
// Single-threaded: every call, every callback and every observer notification
// happens on the main thread.

#include "SponsorApp/AppModelAccount.hpp"
#include "SponsorApp/AppModelChoices.hpp"
#include "SponsorApp/AppModelConnection.hpp"
#include "SponsorApp/AppModelExposure.hpp"
#include "SponsorApp/Ports.hpp"
#include "SponsorApp/network/APIError.hpp"
#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/network/HttpTransport.hpp"
#include "SponsorApp/storage/KeychainVault.hpp"
#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/ExposureClock.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/SafeEndpoint.hpp"
#include "SponsorCore/Snooze.hpp"
#include "SponsorCore/SponsorPreferences.hpp"
#include "SponsorCore/TextMeasurer.hpp"
#include "SponsorCore/UserDefaults.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// The controller's own failures.
class ClientError : public std::exception {
 public:
  enum class Case { reconnect, disconnectFirst, invalidResponse };

  explicit ClientError(Case value) noexcept : case_(value) {}
  static ClientError reconnect() noexcept { return ClientError(Case::reconnect); }
  static ClientError disconnectFirst() noexcept { return ClientError(Case::disconnectFirst); }
  static ClientError invalidResponse() noexcept { return ClientError(Case::invalidResponse); }

  Case value() const noexcept { return case_; }
  // The English user-facing text.
  std::string_view description() const noexcept;
  const char* what() const noexcept override;

  friend bool operator==(const ClientError& a, const ClientError& b) noexcept { return a.case_ == b.case_; }

 private:
  Case case_;
};

// Any failure met by a server call or by the work around it, reduced to what the
// controller's rules need: the server's APIError, a transport failure, or a text.
class ControllerFailure {
 public:
  static ControllerFailure api(APIError error);
  static ControllerFailure transport(TransportError error);
  static ControllerFailure client(ClientError error);
  static ControllerFailure text(std::string userText);
  template <class T>
  static ControllerFailure of(const ApiResult<T>& result) {
    if (const auto* error = result.apiError()) return api(*error);
    if (const auto* error = result.transportError()) return transport(*error);
    return client(ClientError::invalidResponse());  // a request body that cannot be written
  }
  // The failure being handled in a catch block; `otherwise` is used for failures
  // that carry no user-facing text of their own.
  static ControllerFailure current(ClientError otherwise);

  const APIError* apiError() const noexcept { return api_ ? &*api_ : nullptr; }
  bool isTransport() const noexcept { return transport_; }
  // The status line for this failure: the network text for a transport failure,
  // otherwise the failure's own English text.
  std::string userText() const;

 private:
  std::optional<APIError> api_;
  bool transport_ = false;
  std::string text_;
};

// The observable properties.
enum class AppModelField {
  sponsorPreferences,
  scheduleAllowsSponsors,
  preferencesFiltered,
  endpointInput,
  pairCode,
  isPaired,
  isBusy,
  consent,
  paused,
  mode,
  balanceMicros,
  earnings,
  earningsDays,
  referral,
  balanceLoaded,
  balanceError,
  snoozedUntil,
  language,
  message,
  menuText,
  menuWidth,
  displayCreative,
  visibilityStatus,
  confirmationPending,
  connectionPending,
  connectionError,
  connectionCode,
  connectionFingerprint,
  canCheckForUpdates,
  automaticallyChecks,
  automaticallyInstalls,
};

class AppModel;

// The window that edits the sponsor preferences. The controller creates it on first
// use and keeps it for the life of the process; closing it only hides it.
class PreferencesWindow {
 public:
  virtual ~PreferencesWindow() = default;
  // Shows the window in front of every other and gives it the keyboard.
  virtual void show() = 0;
};

// Everything the controller needs from the platform. All pointers except `updater`
// and `makePreferencesWindow` must be set.
struct AppModelPorts {
  std::shared_ptr<MainQueue> queue;
  std::shared_ptr<Clock> clock;
  std::shared_ptr<CalendarProvider> calendar;
  std::shared_ptr<UserDefaults> defaults;
  std::shared_ptr<SecretStore> secretStore;
  ApiClientFactory makeClient;
  std::shared_ptr<BrowserOpener> browser;
  std::shared_ptr<IdleTime> idleTime;
  std::shared_ptr<SystemEvents> systemEvents;
  std::shared_ptr<PreferredLanguages> preferredLanguages;
  std::shared_ptr<SoftwareUpdater> updater;  // optional: without one, nothing updates
  std::shared_ptr<SurfaceMonitorPort> monitor;
  std::shared_ptr<TextMeasurer> measurer;
  // Optional: without it, the preferences window never opens.
  std::function<std::shared_ptr<PreferencesWindow>(AppModel&)> makePreferencesWindow;
  ClientEnvironment environment = buildEnvironment();
};

class AppModel {
 public:
  using Observer = std::function<void(AppModelField)>;
  using ObserverId = std::uint64_t;
  using PreferencesChange = std::function<void(SponsorPreferences&)>;

  static constexpr double tickInterval = 0.25;
  static constexpr double refreshInterval = 15;
  static constexpr double contentSettleDelay = 0.4;
  static constexpr double interruptBackoff = 30;
  static constexpr double confirmationRetry = 15;
  static constexpr double failedCancelFallback = 90;
  static constexpr double failedCancelHoldLimit = 15 * 60;
  static constexpr double idleStatusDelay = 0.6;
  static constexpr double pollFailureDelay = 10;
  static constexpr double minimumPollInterval = 2;

  // Builds the controller and restores everything that survives a restart. Never
  // fails: restoration problems become a status text.
  explicit AppModel(AppModelPorts ports);
  ~AppModel();
  AppModel(const AppModel&) = delete;
  AppModel& operator=(const AppModel&) = delete;

  // Observers are told after each change of an observable property.
  ObserverId addObserver(Observer observer);
  void removeObserver(ObserverId id);

  // Starts the updater, the 0.25 s timer and a first refresh; once only.
  void start();

  // What an interruption does to the sponsored item on screen and to the panel.
  enum class Hide { ad, nothing };
  enum class Surface { drop, preserve };
  // Ends the current exposure; see the exposure rules in AppModel.cpp.
  void interrupt(std::string_view message, Hide hide, Surface surface);

  // One step of the exposure cycle; the sampling timer calls it every 0.25 s.
  void tick();
  // Sends the pending signed completion (also the popover's retry action).
  void confirmCompletion();

  // Device connection.
  void connectInBrowser();
  void pollAuthorization();
  void openDashboard();

  // Account and user actions.
  void refresh();
  // A refresh that runs `done` once it has ended, however it ended.
  void refreshThen(std::function<void(AppModel&)> done);
  // Handles a 401 as a revoked computer; true when it did.
  bool handleRevokedAuthorization(const ControllerFailure& failure);
  std::string money(std::int64_t micros) const;
  std::optional<std::string> localizedBalanceError() const;
  void setPaused(bool value);
  void snooze(SnoozeChoice choice);
  void setConsent(bool value);
  void toggleSponsorship();
  void setControlsOpen(bool open);
  // Saves the changed preferences and applies them; false when nothing was saved (the
  // status message then says why).
  bool updateSponsorPreferences(const PreferencesChange& change);
  void blockCurrentSponsor();
  bool canBlockCurrentSponsor() const;
  std::optional<std::string> preferenceStatus() const;
  // Why this desktop can never show a sponsor (the surface monitor's answer).
  DesktopRefusal desktopRefusal() const { return ports_.monitor->desktopRefusal(); }
  void openAdvertiser();
  bool isShowingPreview() const {
    return exposure_.displayCreative.has_value() && !exposure_.displayedLeaseId.has_value();
  }
  // Opens the sponsor-preferences window, creating it the first time.
  void showSponsorPreferences();
  PreferencesWindow* preferencesWindow() const { return choices_.preferencesWindow.get(); }

  // The updater's controls; they do nothing without an updater.
  void checkForUpdates();
  void setAutomaticallyChecks(bool value);
  void setAutomaticallyInstalls(bool value);

  // Observable properties.
  const SponsorPreferences& sponsorPreferences() const { return choices_.sponsorPreferences; }
  bool scheduleAllowsSponsors() const { return choices_.scheduleAllowsSponsors; }
  bool preferencesFiltered() const { return choices_.preferencesFiltered; }
  const std::string& endpointInput() const { return connection_.endpointInput; }
  const std::string& pairCode() const { return connection_.pairCode; }
  bool isPaired() const { return account_.isPaired; }
  bool isBusy() const { return isBusy_; }
  bool consent() const { return choices_.consent; }
  bool paused() const { return choices_.paused; }
  std::optional<NetworkMode> mode() const { return account_.mode; }
  std::int64_t balanceMicros() const { return account_.balanceMicros; }
  const std::optional<EarningsSummary>& earnings() const { return account_.earnings; }
  const std::optional<std::vector<EarningsDay>>& earningsDays() const { return account_.earningsDays; }
  const std::optional<ReferralSummary>& referral() const { return account_.referral; }
  bool balanceLoaded() const { return account_.balanceLoaded; }
  const std::optional<std::string>& balanceError() const { return account_.balanceError; }
  std::optional<Date> snoozedUntil() const { return choices_.snoozedUntil; }
  AppLanguage language() const { return choices_.language; }
  const std::string& message() const { return message_; }
  const std::string& menuText() const { return exposure_.menuText; }
  double menuWidth() const { return exposure_.menuWidth; }
  const std::optional<SponsorCreative>& displayCreative() const { return exposure_.displayCreative; }
  const std::string& visibilityStatus() const { return exposure_.visibilityStatus; }
  bool confirmationPending() const { return exposure_.confirmationPending; }
  bool connectionPending() const { return connection_.connectionPending; }
  const std::optional<std::string>& connectionError() const { return connection_.connectionError; }
  const std::string& connectionCode() const { return connection_.connectionCode; }
  const std::string& connectionFingerprint() const { return connection_.connectionFingerprint; }
  bool canCheckForUpdates() const { return choices_.canCheckForUpdates; }
  bool automaticallyChecks() const { return choices_.automaticallyChecks; }
  bool automaticallyInstalls() const { return choices_.automaticallyInstalls; }

  void setPairCode(std::string code);

  // Working state, read-only, for diagnostics and the simulation.
  const ExposureState& exposureState() const { return exposure_; }
  const AccountState& accountState() const { return account_; }
  const ConnectionState& connectionState() const { return connection_; }
  const SafeEndpoint& endpoint() const { return endpoint_; }
  ClientEnvironment environment() const { return environment_; }
  bool isStarted() const { return samplingTimer_ != nullptr; }

 private:
  // A weak reference to this controller for callbacks that may outlive it.
  struct Handle {
    AppModel* model = nullptr;
  };
  std::function<void()> weakly(std::function<void(AppModel&)> body);

  void notify(AppModelField field);
  template <class T>
  void assign(AppModelField field, T& member, T value);

  // Construction.
  void restore();
  void restoreCredential();
  void restorePendingCompletion();
  void restoreAuthorization();
  std::optional<std::string> readStoredRecords();
  void resumeRestoration();
  void loadSwitches();
  void installObservers();
  void handleSystemEvent(SystemEvent event);

  // Exposure cycle.
  void setContentReady(bool ready);
  void clearDisplayedSponsor();
  void fetchSponsor();
  void handleFetchResult(std::int64_t fetchGeneration, ApiResult<ExposureLease> result);
  void handleFetchFailure(std::int64_t fetchGeneration, const ControllerFailure& failure);
  void display(const ExposureLease& lease, MenuBarContent content, std::int64_t fetchGeneration);
  void complete(std::int64_t elapsedMs);
  void storeCompletion();
  void handleConfirmation(const std::string& deviceId, ApiResult<CompleteResponse> result);
  void cancelLease(const ExposureLease& lease);
  bool schedulePermits(Date now) const;
  bool schedulePermits(const SponsorPreferences& preferences, Date now) const;
  bool recentInput() const;
  bool fetchAllowed(Date now);

  // Connection.
  void failConnection(const ControllerFailure& failure);
  void handleAuthorizationStart(const ReceiptSigner& signer, ApiResult<DeviceAuthorizationStart> result);
  void handlePoll(const std::string& deviceCode, ApiResult<DeviceAuthorizationPoll> result);
  void failPoll();
  void openPlainDashboard();
  void handleHandoff(const DeviceCredential& sent, const SafeEndpoint& sentEndpoint, const std::string& language,
                     ApiResult<BrowserHandoffResponse> result);
  bool acceptsAuthorizationStart(const DeviceAuthorizationStart& start, Date now) const;

  // Choices.
  void mirrorUpdaterState();

  // Account.
  void handleRefresh(const std::string& deviceId, ApiResult<DeviceResponse> result,
                     const std::function<void(AppModel&)>& done);

  Date now() const;
  Date after(double seconds) const;

  AppModelPorts ports_;
  std::shared_ptr<Handle> handle_;
  std::vector<std::pair<ObserverId, Observer>> observers_;
  ObserverId nextObserverId_ = 1;

  ChoicesState choices_;
  ConnectionState connection_;
  AccountState account_;
  ExposureState exposure_;

  // Shared by every concern.
  std::string message_;
  bool isBusy_ = false;
  ClientEnvironment environment_;
  SafeEndpoint endpoint_;
  std::shared_ptr<const ApiClient> api_;
  KeychainVault vault_;
  std::unique_ptr<RepeatingTimer> samplingTimer_;
  std::vector<std::unique_ptr<SystemEventSubscription>> systemSubscriptions_;
};

// The user-defaults keys the controller reads and writes.
namespace defaultsKey {
inline constexpr std::string_view consent = "menubarSponsorshipConsentV1";
inline constexpr std::string_view paused = sponsorshipPausedKey;
inline constexpr std::string_view snoozedUntil = snoozedUntilKey;
inline constexpr std::string_view appLanguage = "appLanguage";
inline constexpr std::string_view apiBaseURL = "apiBaseURL";
}  // namespace defaultsKey

}  // namespace nimbrella
