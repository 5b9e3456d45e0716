#pragma once

// AppModel: the one controller of the application. It owns every piece of run-time
// state (the user's choices, the pairing with the server, the sponsored item on
// screen and its measurement, the pending signed completion, the balance and the
// status texts), restores what survives a restart when it is built, and drives the
// exposure cycle from a 0.25 s timer. Single-threaded: every call, every callback
// and every observer notification happens on the main thread.

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
};

// Everything the controller needs from the platform. All pointers except `updater`
// must be set.
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

  // Ends the current exposure; see the exposure rules in AppModel.cpp.
  void interrupt(std::string_view message, bool hideAd, bool preserveSurface);

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
  // Handles a 401 as a revoked computer; true when it did.
  bool handleRevokedAuthorization(const ControllerFailure& failure);
  std::string money(std::int64_t micros) const;
  std::optional<std::string> localizedBalanceError() const;
  void setPaused(bool value);
  void snooze(SnoozeChoice choice);
  void setConsent(bool value);
  void toggleSponsorship();
  void setControlsOpen(bool open);
  void updateSponsorPreferences(const PreferencesChange& change);
  void blockCurrentSponsor();
  bool canBlockCurrentSponsor() const;
  std::optional<std::string> preferenceStatus() const;
  void openAdvertiser();
  bool isShowingPreview() const { return displayCreative_.has_value() && !displayedLeaseId_.has_value(); }

  // Observable properties.
  const SponsorPreferences& sponsorPreferences() const { return sponsorPreferences_; }
  bool scheduleAllowsSponsors() const { return scheduleAllowsSponsors_; }
  bool preferencesFiltered() const { return preferencesFiltered_; }
  const std::string& endpointInput() const { return endpointInput_; }
  const std::string& pairCode() const { return pairCode_; }
  bool isPaired() const { return isPaired_; }
  bool isBusy() const { return isBusy_; }
  bool consent() const { return consent_; }
  bool paused() const { return paused_; }
  std::optional<NetworkMode> mode() const { return mode_; }
  std::int64_t balanceMicros() const { return balanceMicros_; }
  const std::optional<EarningsSummary>& earnings() const { return earnings_; }
  const std::optional<std::vector<EarningsDay>>& earningsDays() const { return earningsDays_; }
  const std::optional<ReferralSummary>& referral() const { return referral_; }
  bool balanceLoaded() const { return balanceLoaded_; }
  const std::optional<std::string>& balanceError() const { return balanceError_; }
  std::optional<Date> snoozedUntil() const { return snoozedUntil_; }
  AppLanguage language() const { return language_; }
  const std::string& message() const { return message_; }
  const std::string& menuText() const { return menuText_; }
  double menuWidth() const { return menuWidth_; }
  const std::optional<SponsorCreative>& displayCreative() const { return displayCreative_; }
  const std::string& visibilityStatus() const { return visibilityStatus_; }
  bool confirmationPending() const { return confirmationPending_; }
  bool connectionPending() const { return connectionPending_; }
  const std::optional<std::string>& connectionError() const { return connectionError_; }
  const std::string& connectionCode() const { return connectionCode_; }
  const std::string& connectionFingerprint() const { return connectionFingerprint_; }

  void setPairCode(std::string code);

  // Working state, read-only, for diagnostics and the simulation.
  const SafeEndpoint& endpoint() const { return endpoint_; }
  const std::optional<DeviceCredential>& credential() const { return credential_; }
  bool hasSigner() const { return signer_.has_value(); }
  const std::optional<ExposureLease>& activeLease() const { return activeLease_; }
  const std::optional<std::string>& lastPreviewCampaignId() const { return lastPreviewCampaignId_; }
  const std::optional<CompleteRequest>& pendingCompletion() const { return pendingCompletion_; }
  const std::optional<std::string>& pendingTermsVersion() const { return pendingTermsVersion_; }
  const std::optional<std::string>& displayedLeaseId() const { return displayedLeaseId_; }
  std::optional<Date> displayExpiration() const { return displayExpiration_; }
  std::int64_t pendingCancellations() const { return pendingCancellations_; }
  Date nextFetch() const { return nextFetch_; }
  Date nextConfirmationAttempt() const { return nextConfirmationAttempt_; }
  Date nextAuthorizationCheck() const { return nextAuthorizationCheck_; }
  Date nextAuthorizationPoll() const { return nextAuthorizationPoll_; }
  std::int64_t generation() const { return generation_; }
  const std::optional<DeviceAuthorizationStart>& authorization() const { return authorization_; }
  bool refreshing() const { return refreshing_; }
  bool isPollingAuthorization() const { return isPollingAuthorization_; }
  bool hasExposureClock() const { return exposureClock_.has_value(); }
  bool isStarted() const { return samplingTimer_ != nullptr; }
  ClientEnvironment environment() const { return environment_; }

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
  void restoreAuthorization();
  void installObservers();
  void handleSystemEvent(SystemEvent event);

  // Exposure cycle.
  void clearDisplayedSponsor();
  void fetchSponsor();
  void handleFetchResult(std::int64_t fetchGeneration, ApiResult<ExposureLease> result);
  void handleFetchFailure(std::int64_t fetchGeneration, const ControllerFailure& failure);
  void display(const ExposureLease& lease, MenuBarContent content, std::int64_t fetchGeneration);
  void complete(std::int64_t elapsedMs);
  void handleConfirmation(const std::string& deviceId, ApiResult<CompleteResponse> result);
  void cancelLease(const ExposureLease& lease);
  bool schedulePermits(Date now);
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

  // Account.
  void refreshThen(std::function<void(AppModel&)> done);
  void handleRefresh(const std::string& deviceId, ApiResult<DeviceResponse> result,
                     const std::function<void(AppModel&)>& done);

  Date now() const;
  Date after(double seconds) const;

  AppModelPorts ports_;
  std::shared_ptr<Handle> handle_;
  std::vector<std::pair<ObserverId, Observer>> observers_;
  ObserverId nextObserverId_ = 1;

  // Observable.
  SponsorPreferences sponsorPreferences_;
  bool scheduleAllowsSponsors_ = true;
  bool preferencesFiltered_ = false;
  std::string endpointInput_;
  std::string pairCode_;
  bool isPaired_ = false;
  bool isBusy_ = false;
  bool consent_ = false;
  bool paused_ = false;
  std::optional<NetworkMode> mode_;
  std::int64_t balanceMicros_ = 0;
  std::optional<EarningsSummary> earnings_;
  std::optional<std::vector<EarningsDay>> earningsDays_;
  std::optional<ReferralSummary> referral_;
  bool balanceLoaded_ = false;
  std::optional<std::string> balanceError_;
  std::optional<Date> snoozedUntil_;
  AppLanguage language_ = AppLanguage::en;
  std::string message_;
  std::string menuText_;
  double menuWidth_ = 0;
  std::optional<SponsorCreative> displayCreative_;
  std::string visibilityStatus_;
  bool confirmationPending_ = false;
  bool connectionPending_ = false;
  std::optional<std::string> connectionError_;
  std::string connectionCode_;
  std::string connectionFingerprint_;

  // Working state.
  bool refreshing_ = false;
  bool openingDashboard_ = false;
  Date nextAuthorizationCheck_ = Date::min();
  ClientEnvironment environment_;
  SafeEndpoint endpoint_;
  std::shared_ptr<const ApiClient> api_;
  KeychainVault vault_;
  std::optional<DeviceCredential> credential_;
  std::optional<ReceiptSigner> signer_;
  std::optional<ExposureLease> activeLease_;
  std::optional<std::string> lastPreviewCampaignId_;
  std::optional<CompleteRequest> pendingCompletion_;
  std::optional<std::string> pendingTermsVersion_;
  std::optional<std::string> displayedLeaseId_;
  std::optional<Date> displayExpiration_;
  std::int64_t pendingCancellations_ = 0;
  Date nextConfirmationAttempt_ = Date::min();
  std::optional<ExposureClock> exposureClock_;
  std::unique_ptr<RepeatingTimer> samplingTimer_;
  Date nextFetch_ = Date::min();
  std::vector<std::unique_ptr<SystemEventSubscription>> systemSubscriptions_;
  std::int64_t generation_ = 0;
  std::optional<DeviceAuthorizationStart> authorization_;
  Date nextAuthorizationPoll_ = Date::min();
  bool isPollingAuthorization_ = false;
  bool updaterStarted_ = false;
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
