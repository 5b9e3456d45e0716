// Connecting this computer to an account through the browser, polling for the
// approval, and opening the web dashboard already signed in.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/network/BrowserHandoff.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Language.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace nimbrella {

namespace {

bool isDeviceCode(std::string_view code) {
  if (code.size() != 43) return false;
  return std::all_of(code.begin(), code.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

bool isUserCode(std::string_view code) {
  if (code.size() != 12) return false;
  return std::all_of(code.begin(), code.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

}  // namespace

bool AppModel::acceptsAuthorizationStart(const DeviceAuthorizationStart& start, Date at) const {
  const std::optional<Date> expiration = start.expiration();
  return accepts(environment_, start.mode) && isDeviceCode(start.deviceCode) && isUserCode(start.userCode) &&
         start.interval >= 2 && start.interval <= 60 && expiration && *expiration > at &&
         endpoint_.verificationURL(start.verificationUrl, start.userCode).has_value();
}

void AppModel::failConnection(const ControllerFailure& failure) {
  const std::string reason = failure.userText();
  assign(AppModelField::message, message_, reason);
  assign(AppModelField::connectionError, connectionError_, std::optional<std::string>(reason));
}

// ---------------------------------------------------------------------------------
// Connect

void AppModel::connectInBrowser() {
  if (isBusy_ || isPaired_) return;
  assign(AppModelField::connectionError, connectionError_, std::optional<std::string>());

  // A request still pending is only shown again.
  if (authorization_) {
    const std::optional<Url> page = endpoint_.verificationURL(authorization_->verificationUrl, authorization_->userCode);
    const std::optional<Date> expiration = authorization_->expiration();
    if (page && expiration && *expiration > now()) {
      ports_.browser->open(page->text());
      return;
    }
  }

  assign(AppModelField::isBusy, isBusy_, true);
  try {
    SafeEndpoint chosen = nimbrella::endpoint(environment_, endpointInput_);
    endpoint_ = chosen;
    api_ = ports_.makeClient(endpoint_);
    ports_.defaults->setText(defaultsKey::apiBaseURL, endpoint_.normalized());

    // One key per computer until the server revokes it.
    std::optional<ReceiptSigner> signer;
    if (const std::optional<SecretBytes> stored = vault_.load(vaultAccount::receiptSigningPrivate)) {
      signer.emplace(*stored);
    } else {
      signer.emplace();
      std::vector<std::uint8_t> raw = signer->rawRepresentation();
      try {
        vault_.save(raw, vaultAccount::receiptSigningPrivate);
      } catch (...) {
        std::fill(raw.begin(), raw.end(), std::uint8_t{0});
        throw;
      }
      std::fill(raw.begin(), raw.end(), std::uint8_t{0});
    }

    const std::string publicKey = signer->publicKey();
    api_->startAuthorization(publicKey, [weak = std::weak_ptr<Handle>(handle_), signer = *signer](
                                            ApiResult<DeviceAuthorizationStart> result) {
      if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
        handle->model->handleAuthorizationStart(signer, std::move(result));
      }
    });
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    failConnection(ControllerFailure::current(ClientError::invalidResponse()));
    assign(AppModelField::isBusy, isBusy_, false);
  }
}

void AppModel::handleAuthorizationStart(const ReceiptSigner& signer, ApiResult<DeviceAuthorizationStart> result) {
  try {
    if (!result.ok()) {
      failConnection(ControllerFailure::of(result));
    } else {
      const DeviceAuthorizationStart& answer = result.value();
      if (!acceptsAuthorizationStart(answer, now())) throw ClientError::invalidResponse();
      const std::optional<Url> page = endpoint_.verificationURL(answer.verificationUrl, answer.userCode);
      vault_.save(bytesOf(encodeJson(answer)), vaultAccount::pendingAuthorization);

      signer_ = signer;
      authorization_ = answer;
      assign(AppModelField::connectionPending, connectionPending_, true);
      assign(AppModelField::connectionCode, connectionCode_, answer.userCode);
      assign(AppModelField::connectionFingerprint, connectionFingerprint_, signer.publicKeyFingerprint());
      nextAuthorizationPoll_ = after(static_cast<double>(answer.interval));
      assign(AppModelField::message, message_, std::string(text::approveInBrowser));
      ports_.browser->open(page->text());
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    failConnection(ControllerFailure::current(ClientError::invalidResponse()));
  }
  assign(AppModelField::isBusy, isBusy_, false);
}

// ---------------------------------------------------------------------------------
// Poll

void AppModel::pollAuthorization() {
  if (!authorization_ || isPollingAuthorization_) return;

  const std::optional<Date> expiration = authorization_->expiration();
  if (!expiration || *expiration <= now()) {
    authorization_.reset();
    assign(AppModelField::connectionPending, connectionPending_, false);
    assign(AppModelField::connectionCode, connectionCode_, std::string());
    try {
      vault_.remove(vaultAccount::pendingAuthorization);
    } catch (const VaultError&) {
      // An expired record is ignored when it is read again.
    }
    assign(AppModelField::message, message_, std::string(text::connectionExpired));
    assign(AppModelField::connectionError, connectionError_,
           std::optional<std::string>(std::string(text::connectionExpired)));
    return;
  }

  isPollingAuthorization_ = true;
  nextAuthorizationPoll_ = after(std::max(static_cast<double>(authorization_->interval), minimumPollInterval));
  const std::string deviceCode = authorization_->deviceCode;
  api_->pollAuthorization(deviceCode, [weak = std::weak_ptr<Handle>(handle_),
                                       deviceCode](ApiResult<DeviceAuthorizationPoll> result) {
    if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
      handle->model->handlePoll(deviceCode, std::move(result));
    }
  });
}

void AppModel::failPoll() {
  nextAuthorizationPoll_ = after(pollFailureDelay);
  assign(AppModelField::message, message_, std::string(text::pollUnavailable));
  assign(AppModelField::connectionError, connectionError_,
         std::optional<std::string>(std::string(text::pollUnavailable)));
  isPollingAuthorization_ = false;
}

void AppModel::handlePoll(const std::string& deviceCode, ApiResult<DeviceAuthorizationPoll> result) {
  // A newer connection replaced the one this answer is about.
  if (!authorization_ || authorization_->deviceCode != deviceCode) {
    isPollingAuthorization_ = false;
    return;
  }
  if (!result.ok()) {
    failPoll();
    return;
  }
  const DeviceAuthorizationPoll& answer = result.value();
  if (authorization_->mode != NetworkMode::live || answer.mode != NetworkMode::live) {
    failPoll();
    return;
  }
  assign(AppModelField::connectionError, connectionError_, std::optional<std::string>());

  if (answer.status == "pending") {
    isPollingAuthorization_ = false;
    return;
  }
  if (answer.status != "approved" || !answer.deviceId || answer.deviceId->empty()) {
    failPoll();
    return;
  }

  const DeviceCredential credential{endpoint_.normalized(), *answer.deviceId, deviceCode, NetworkMode::live};
  try {
    vault_.save(encodeRecord(credential), vaultAccount::deviceCredential);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // An approval that cannot be kept is withdrawn; the request stays pending.
    api_->revoke(deviceCode, [](ApiResult<EmptyResponse>) {});
    failPoll();
    return;
  }
  for (const std::string_view account : {vaultAccount::pendingAuthorization, vaultAccount::pendingCompletion}) {
    try {
      vault_.remove(account);
    } catch (const VaultError&) {
      // Left-overs are ignored next time: a stored credential wins over both.
    }
  }

  credential_ = credential;
  assign(AppModelField::isPaired, isPaired_, true);
  assign(AppModelField::mode, mode_, std::optional<NetworkMode>(NetworkMode::live));
  authorization_.reset();
  assign(AppModelField::connectionPending, connectionPending_, false);
  assign(AppModelField::connectionCode, connectionCode_, std::string());
  if (!activeLease_ && !displayCreative_) assign(AppModelField::menuText, menuText_, std::string());

  setPaused(false);
  assign(AppModelField::consent, consent_, true);
  ports_.defaults->setBoolean(defaultsKey::consent, true);
  nextFetch_ = Date::min();
  assign(AppModelField::message, message_, std::string(text::connectedEnabled));

  refreshThen([](AppModel& model) { model.isPollingAuthorization_ = false; });
}

// ---------------------------------------------------------------------------------
// Dashboard

void AppModel::openPlainDashboard() {
  std::string path(1, '/');
  path += rawValue(language_);
  path += "/dashboard";
  ports_.browser->open(endpoint_.route(path).text());
}

void AppModel::openDashboard() {
  if (openingDashboard_) return;
  if (!credential_ || !signer_) {
    openPlainDashboard();
    return;
  }
  openingDashboard_ = true;
  const DeviceCredential sent = *credential_;
  const SafeEndpoint sentEndpoint = endpoint_;
  const std::string language(rawValue(language_));
  try {
    const requests::Proof proof = makeBrowserHandoffProof(*signer_, sent.deviceId, language_, now());
    api_->browserHandoff(sent.token, proof.nonce, proof.timestamp, proof.locale, proof.signature,
                         [weak = std::weak_ptr<Handle>(handle_), sent, sentEndpoint,
                          language](ApiResult<BrowserHandoffResponse> result) {
                           if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
                             handle->model->handleHandoff(sent, sentEndpoint, language, std::move(result));
                           }
                         });
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // A proof that cannot be made opens the page without signing in.
    openPlainDashboard();
    openingDashboard_ = false;
  }
}

void AppModel::handleHandoff(const DeviceCredential& sent, const SafeEndpoint& sentEndpoint,
                             const std::string& language, ApiResult<BrowserHandoffResponse> result) {
  openingDashboard_ = false;
  const bool unchanged = credential_ && credential_->deviceId == sent.deviceId && credential_->token == sent.token &&
                         endpoint_ == sentEndpoint;
  if (!unchanged) return;
  if (result.ok()) {
    const BrowserHandoffResponse& answer = result.value();
    const std::optional<Date> expires = parseInternetDate(answer.expiresAt);
    if (answer.mode == NetworkMode::live && sent.mode == NetworkMode::live && expires && *expires > now()) {
      if (const std::optional<Url> url = endpoint_.browserHandoffURL(answer.ticket, language)) {
        ports_.browser->open(url->text());
        return;
      }
    }
  }
  openPlainDashboard();
}

}  // namespace nimbrella
