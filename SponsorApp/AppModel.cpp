// Construction, restoration, start-up, system events, interruption and the plumbing
// shared by the controller's other units.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <utility>

namespace nimbrella {

// ---------------------------------------------------------------------------------
// Errors

std::string_view ClientError::description() const noexcept {
  switch (case_) {
    case Case::reconnect:
      return text::reconnect;
    case Case::disconnectFirst:
      return text::disconnectFirst;
    case Case::invalidResponse:
      return text::invalidResponse;
  }
  return text::invalidResponse;
}

const char* ClientError::what() const noexcept { return description().data(); }

ControllerFailure ControllerFailure::api(APIError error) {
  ControllerFailure failure;
  failure.text_ = error.errorDescription();
  failure.api_ = std::move(error);
  return failure;
}

ControllerFailure ControllerFailure::transport(TransportError error) {
  ControllerFailure failure;
  failure.transport_ = true;
  failure.text_ = std::string(text::networkUnavailable);
  (void)error;
  return failure;
}

ControllerFailure ControllerFailure::client(ClientError error) {
  return text(std::string(error.description()));
}

ControllerFailure ControllerFailure::text(std::string userText) {
  ControllerFailure failure;
  failure.text_ = std::move(userText);
  return failure;
}

ControllerFailure ControllerFailure::current(ClientError otherwise) {
  try {
    throw;
  } catch (const ClientError& error) {
    return client(error);
  } catch (const VaultError& error) {
    return text(std::string(error.message()));
  } catch (const EndpointError&) {
    return text(EndpointError::description);
  } catch (const ContentError&) {
    return client(ClientError::invalidResponse());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // Signing, key, decoding and encoding failures carry no text for the user.
    return client(otherwise);
  }
}

std::string ControllerFailure::userText() const { return text_; }

// ---------------------------------------------------------------------------------
// Weak references

std::function<void()> AppModel::weakly(std::function<void(AppModel&)> body) {
  return [weak = std::weak_ptr<Handle>(handle_), body = std::move(body)]() {
    if (const auto handle = weak.lock(); handle && handle->model != nullptr) body(*handle->model);
  };
}

// ---------------------------------------------------------------------------------
// Observation

AppModel::ObserverId AppModel::addObserver(Observer observer) {
  const ObserverId id = nextObserverId_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void AppModel::removeObserver(ObserverId id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void AppModel::notify(AppModelField field) {
  if (observers_.empty()) return;
  // An observer may add or remove observers while being told.
  const auto current = observers_;
  for (const auto& [id, observer] : current) observer(field);
}

template <class T>
void AppModel::assign(AppModelField field, T& member, T value) {
  if (member == value) return;
  member = std::move(value);
  notify(field);
}

template void AppModel::assign(AppModelField, bool&, bool);
template void AppModel::assign(AppModelField, std::string&, std::string);
template void AppModel::assign(AppModelField, double&, double);
template void AppModel::assign(AppModelField, std::int64_t&, std::int64_t);
template void AppModel::assign(AppModelField, std::optional<std::string>&, std::optional<std::string>);
template void AppModel::assign(AppModelField, std::optional<NetworkMode>&, std::optional<NetworkMode>);
template void AppModel::assign(AppModelField, std::optional<Date>&, std::optional<Date>);
template void AppModel::assign(AppModelField, std::optional<SponsorCreative>&, std::optional<SponsorCreative>);
template void AppModel::assign(AppModelField, std::optional<EarningsSummary>&, std::optional<EarningsSummary>);
template void AppModel::assign(AppModelField, std::optional<std::vector<EarningsDay>>&,
                               std::optional<std::vector<EarningsDay>>);
template void AppModel::assign(AppModelField, std::optional<ReferralSummary>&, std::optional<ReferralSummary>);
template void AppModel::assign(AppModelField, SponsorPreferences&, SponsorPreferences);

// ---------------------------------------------------------------------------------
// Time

Date AppModel::now() const { return ports_.clock->now(); }

Date AppModel::after(double seconds) const {
  return now() + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
}

// ---------------------------------------------------------------------------------
// Construction

namespace {

SafeEndpoint chooseEndpoint(ClientEnvironment environment, const UserDefaults& defaults) {
  try {
    return nimbrella::endpoint(environment, defaults.text(defaultsKey::apiBaseURL));
  } catch (const EndpointError&) {
  }
  try {
    return SafeEndpoint(NIMBRELLA_PRODUCTION_ORIGIN);
  } catch (const EndpointError&) {
    // The built-in origin is part of the build; refusing it is a build defect.
    std::abort();
  }
}

AppModelPorts checked(AppModelPorts ports) {
  if (!ports.queue || !ports.clock || !ports.calendar || !ports.defaults || !ports.secretStore ||
      !ports.makeClient || !ports.browser || !ports.idleTime || !ports.systemEvents ||
      !ports.preferredLanguages || !ports.monitor || !ports.measurer) {
    std::abort();  // a wiring defect of the application, never a run-time condition
  }
  return ports;
}

}  // namespace

AppModel::AppModel(AppModelPorts ports)
    : ports_(checked(std::move(ports))),
      handle_(std::make_shared<Handle>(Handle{this})),
      environment_(ports_.environment),
      endpoint_(chooseEndpoint(ports_.environment, *ports_.defaults)),
      vault_(ports_.secretStore) {
  restore();
  installObservers();
}

AppModel::~AppModel() {
  handle_->model = nullptr;
  if (samplingTimer_) samplingTimer_->invalidate();
}

void AppModel::restore() {
  UserDefaults& defaults = *ports_.defaults;

  // 1. Preferences and the plain initial values.
  choices_.sponsorPreferences = SponsorPreferences::load(defaults, sponsorPreferencesKey);
  message_ = std::string(text::initialMessage);
  exposure_.menuText = std::string(text::appName);
  exposure_.visibilityStatus = std::string(text::noExposureRunning);

  // 2. Endpoint (chosen in the initialiser) and its client.
  connection_.endpointInput = endpoint_.normalized();
  api_ = ports_.makeClient(endpoint_);

  // 3. The user's switches.
  loadSwitches();

  // 4. Language.
  const std::optional<std::string> storedLanguage = defaults.text(defaultsKey::appLanguage);
  const std::vector<std::string> preferred = ports_.preferredLanguages->preferredLanguages();
  choices_.language = chooseLanguage(storedLanguage ? std::optional<std::string_view>(*storedLanguage) : std::nullopt,
                             preferred);

  // 5 to 7. Credential, pending completion or pending authorization.
  if (const std::optional<std::string> failure = readStoredRecords()) {
    message_ = *failure;
    connection_.connectionError = *failure;
  }

  // 8. Unpaired: nothing runs until the user connects.
  if (!account_.isPaired) {
    choices_.consent = false;
    choices_.paused = false;
    choices_.snoozedUntil.reset();
    exposure_.menuText = std::string(text::appName);
  }

  // 9. Schedule.
  choices_.scheduleAllowsSponsors = schedulePermits(now());

  // 10.
  if (account_.isPaired) exposure_.menuText.clear();
}

void AppModel::restoreCredential() {
  const std::optional<SecretBytes> stored = vault_.load(vaultAccount::deviceCredential);
  if (!stored) return;
  DeviceCredential credential;
  try {
    credential = decodeRecord<DeviceCredential>(*stored);
  } catch (const DecodingError&) {
    return;
  }
  if (credential.endpoint != endpoint_.normalized() || !accepts(environment_, credential.mode)) return;

  const std::optional<SecretBytes> key = vault_.load(vaultAccount::receiptSigningPrivate);
  if (!key) return;
  account_.signer.emplace(*key);

  account_.credential = credential;
  assign(AppModelField::isPaired, account_.isPaired, true);
  assign(AppModelField::mode, account_.mode, std::optional<NetworkMode>(credential.mode));
  assign(AppModelField::message, message_, std::string(text::connected));
  restorePendingCompletion();
}

void AppModel::restorePendingCompletion() {
  const DeviceCredential& credential = *account_.credential;
  const std::optional<SecretBytes> completion = vault_.load(vaultAccount::pendingCompletion);
  if (!completion) return;
  PersistedCompletion record;
  try {
    record = decodeRecord<PersistedCompletion>(*completion);
  } catch (const DecodingError&) {
    return;
  }
  if (record.endpoint != credential.endpoint || record.deviceId != credential.deviceId) return;
  exposure_.pendingCompletion = record.request;
  exposure_.pendingTermsVersion = record.termsVersion;
  exposure_.completionStored = true;
  assign(AppModelField::confirmationPending, exposure_.confirmationPending, true);
  assign(AppModelField::message, message_, std::string(text::restoringConfirmation));
}

void AppModel::loadSwitches() {
  const UserDefaults& defaults = *ports_.defaults;
  assign(AppModelField::consent, choices_.consent, defaults.boolean(defaultsKey::consent).value_or(false));
  assign(AppModelField::paused, choices_.paused, defaults.boolean(defaultsKey::paused).value_or(false));
  assign(AppModelField::snoozedUntil, choices_.snoozedUntil, defaults.date(defaultsKey::snoozedUntil));
}

// Reads the stored records not yet in memory: a credential's pending completion once the
// credential is in, or else the credential and a pending connection. Answers the failure's
// text, or nothing. A keyring that refuses is asked again later (restoreRefused), before
// anything could replace what it holds.
std::optional<std::string> AppModel::readStoredRecords() {
  try {
    if (account_.credential) {
      restorePendingCompletion();
    } else {
      restoreCredential();
      if (!account_.credential && !connection_.authorization) restoreAuthorization();
    }
    account_.restoreRefused = false;
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const VaultError&) {
    account_.restoreRefused = true;
    return ControllerFailure::current(ClientError::reconnect()).userText();
  } catch (...) {
    account_.restoreRefused = false;
    return ControllerFailure::current(ClientError::reconnect()).userText();
  }
}

// Reads again what the keyring refused at start. Until it answers, nothing is measured (a
// new completion would replace a stored one) and a new connection is not made (its
// approval would replace the stored credential).
void AppModel::resumeRestoration() {
  account_.nextRestoreAttempt = after(confirmationRetry);
  const bool wasPaired = account_.isPaired;
  const std::optional<std::string> failure = readStoredRecords();
  if (account_.isPaired && !wasPaired) {
    // The switches that an unpaired start set aside in memory come back as stored.
    loadSwitches();
    if (!exposure_.displayCreative) assign(AppModelField::menuText, exposure_.menuText, std::string());
    exposure_.nextFetch = Date::min();
  }
  if (failure) {
    assign(AppModelField::message, message_, *failure);
    return;
  }
  assign(AppModelField::connectionError, connection_.connectionError, std::optional<std::string>());
  if (!exposure_.confirmationPending && !connection_.authorization) {
    assign(AppModelField::message, message_, std::string(account_.isPaired ? text::connected : text::initialMessage));
  }
}

void AppModel::restoreAuthorization() {
  const std::optional<SecretBytes> stored = vault_.load(vaultAccount::pendingAuthorization);
  if (!stored) return;
  const auto record = decodeRecord<DeviceAuthorizationStart>(*stored);
  const std::optional<Date> expiration = record.expiration();
  if (!expiration || *expiration <= now() || !accepts(environment_, record.mode)) return;
  if (!endpoint_.verificationURL(record.verificationUrl, record.userCode)) return;
  const std::optional<SecretBytes> key = vault_.load(vaultAccount::receiptSigningPrivate);
  // Without its key the approval could never be used: the record is ignored.
  if (!key) return;
  account_.signer.emplace(*key);
  connection_.authorization = record;
  assign(AppModelField::connectionPending, connection_.connectionPending, true);
  assign(AppModelField::connectionCode, connection_.connectionCode, record.userCode);
  assign(AppModelField::connectionFingerprint, connection_.connectionFingerprint, account_.signer->publicKeyFingerprint());
  assign(AppModelField::message, message_, std::string(text::finishConnection));
}

// ---------------------------------------------------------------------------------
// System events

void AppModel::installObservers() {
  systemSubscriptions_.push_back(ports_.systemEvents->subscribe(
      [weak = std::weak_ptr<Handle>(handle_)](SystemEvent event) {
        if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
          handle->model->handleSystemEvent(event);
        }
      }));
}

void AppModel::handleSystemEvent(SystemEvent event) {
  SurfaceMonitorPort& monitor = *ports_.monitor;
  switch (event) {
    case SystemEvent::willSleep:
    case SystemEvent::screensDidSleep:
      exposure_.displayAwake = false;
      monitor.setDisplayAwake(false);
      interrupt(text::displaySlept, Hide::ad, Surface::drop);
      break;
    case SystemEvent::didWake:
    case SystemEvent::screensDidWake:
      exposure_.displayAwake = true;
      monitor.setDisplayAwake(true);
      break;
    case SystemEvent::sessionDidResignActive:
      exposure_.sessionActive = false;
      monitor.setSessionActive(false);
      interrupt(text::sessionInactive, Hide::ad, Surface::drop);
      break;
    case SystemEvent::sessionDidBecomeActive:
      exposure_.sessionActive = true;
      monitor.setSessionActive(true);
      break;
    case SystemEvent::activeSpaceDidChange:
      interrupt(text::desktopChanged, Hide::ad, Surface::drop);
      break;
    case SystemEvent::screenParametersDidChange:
      interrupt(text::displayLayoutChanged, Hide::ad, Surface::drop);
      break;
  }
}

// ---------------------------------------------------------------------------------
// Start

void AppModel::start() {
  if (samplingTimer_) return;

  if (ports_.updater && !choices_.updaterStarted) {
    choices_.updaterStarted = true;
    ports_.updater->start(weakly([](AppModel& model) {
      if (model.samplingTimer_) {
        model.samplingTimer_->invalidate();
        model.samplingTimer_.reset();
      }
      model.interrupt(text::updating, Hide::ad, Surface::drop);
    }), weakly([](AppModel& model) { model.mirrorUpdaterState(); }));
    mirrorUpdaterState();
  }

  samplingTimer_ = ports_.queue->scheduleRepeating(tickInterval, weakly([](AppModel& model) { model.tick(); }));
  ports_.queue->post(weakly([](AppModel& model) { model.refresh(); }));
  ports_.queue->postAfter(idleStatusDelay, weakly([](AppModel& model) {
    if (!model.exposure_.activeLease) {
      model.assign(AppModelField::visibilityStatus, model.exposure_.visibilityStatus, std::string(text::noExposureRunning));
    }
  }));
}

// ---------------------------------------------------------------------------------
// Interrupt and clear

void AppModel::interrupt(std::string_view message, Hide hide, Surface surface) {
  // Copied first: the text may live in a field that the steps below change.
  std::string line(message);

  ++exposure_.generation;

  std::optional<ExposureLease> lease = std::move(exposure_.activeLease);
  exposure_.activeLease.reset();
  exposure_.exposureClock.reset();
  setContentReady(false);

  if (lease && (lease->isMinute() || lease->isPreview())) {
    exposure_.nextFetch = Date::min();
  } else {
    exposure_.nextFetch = after(interruptBackoff);
  }

  if (hide == Hide::ad) clearDisplayedSponsor();
  if (surface == Surface::drop) ports_.monitor->hideSurface();

  if (lease) line += NativeCopy::noRewardSubmittedSuffix;
  assign(AppModelField::message, message_, std::move(line));

  if (lease && lease->requiresReceipt() && account_.credential) cancelLease(*lease);
}

void AppModel::setContentReady(bool ready) {
  exposure_.contentReady = ready;
  ports_.monitor->setContentReady(ready);
}

void AppModel::cancelLease(const ExposureLease& lease) {
  ++exposure_.pendingCancellations;
  const std::string deviceId = account_.credential->deviceId;
  const std::optional<Date> expiration = lease.expiration();
  api_->cancel(account_.credential->token, lease.leaseId,
               [weak = std::weak_ptr<Handle>(handle_), deviceId, expiration](ApiResult<EmptyResponse> result) {
                 const auto handle = weak.lock();
                 if (!handle || handle->model == nullptr) return;
                 AppModel& model = *handle->model;
                 if (!result.ok() && model.account_.credential && model.account_.credential->deviceId == deviceId) {
                   // The server may still count the lease: wait until it can no longer,
                   // but never longer than a quarter of an hour, whatever expiry it gave.
                   const Date fallback = model.after(failedCancelFallback);
                   const Date floor = std::min(expiration ? *expiration : fallback, model.after(failedCancelHoldLimit));
                   model.exposure_.nextFetch = std::max(model.exposure_.nextFetch, floor);
                 }
                 --model.exposure_.pendingCancellations;
               });
}

void AppModel::clearDisplayedSponsor() {
  assign(AppModelField::menuText, exposure_.menuText, std::string());
  assign(AppModelField::menuWidth, exposure_.menuWidth, 0.0);
  assign(AppModelField::displayCreative, exposure_.displayCreative, std::optional<SponsorCreative>());
  exposure_.displayedLeaseId.reset();
  exposure_.displayExpiration.reset();
  ports_.monitor->setExpectation(exposure_.menuText, std::nullopt);
  ports_.monitor->hideSurface();
}

void AppModel::setPairCode(std::string code) { assign(AppModelField::pairCode, connection_.pairCode, std::move(code)); }

}  // namespace nimbrella
