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
  assign(AppModelField::connectionError, connection_.connectionError, std::optional<std::string>(reason));
}

// ---------------------------------------------------------------------------------
// Connect

void AppModel::connectInBrowser() {
  if (isBusy_ || account_.isPaired) return;
  // A keyring that refused its records at start is read first: a credential it holds is
  // restored rather than replaced by a new connection's.
  if (account_.restoreRefused) {
    resumeRestoration();
    if (account_.isPaired || account_.restoreRefused) return;
  }
  assign(AppModelField::connectionError, connection_.connectionError, std::optional<std::string>());

  // A request still pending is only shown again.
  if (connection_.authorization) {
    const std::optional<Url> page = endpoint_.verificationURL(connection_.authorization->verificationUrl, connection_.authorization->userCode);
    const std::optional<Date> expiration = connection_.authorization->expiration();
    if (page && expiration && *expiration > now()) {
      ports_.browser->open(page->text());
      return;
    }
  }

  assign(AppModelField::isBusy, isBusy_, true);
  try {
    SafeEndpoint chosen = nimbrella::endpoint(environment_, connection_.endpointInput);
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

      account_.signer = signer;
      connection_.authorization = answer;
      assign(AppModelField::connectionPending, connection_.connectionPending, true);
      assign(AppModelField::connectionCode, connection_.connectionCode, answer.userCode);
      assign(AppModelField::connectionFingerprint, connection_.connectionFingerprint, signer.publicKeyFingerprint());
      connection_.nextAuthorizationPoll = after(static_cast<double>(answer.interval));
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
  if (!connection_.authorization || connection_.isPollingAuthorization) return;

  const std::optional<Date> expiration = connection_.authorization->expiration();
  if (!expiration || *expiration <= now()) {
    connection_.authorization.reset();
    assign(AppModelField::connectionPending, connection_.connectionPending, false);
    assign(AppModelField::connectionCode, connection_.connectionCode, std::string());
    try {
      vault_.remove(vaultAccount::pendingAuthorization);
    } catch (const VaultError&) {
      // An expired record is ignored when it is read again.
    }
    assign(AppModelField::message, message_, std::string(text::connectionExpired));
    assign(AppModelField::connectionError, connection_.connectionError,
           std::optional<std::string>(std::string(text::connectionExpired)));
    return;
  }

  connection_.isPollingAuthorization = true;
  connection_.nextAuthorizationPoll = after(std::max(static_cast<double>(connection_.authorization->interval), minimumPollInterval));
  const std::string deviceCode = connection_.authorization->deviceCode;
  api_->pollAuthorization(deviceCode, [weak = std::weak_ptr<Handle>(handle_),
                                       deviceCode](ApiResult<DeviceAuthorizationPoll> result) {
    if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
      handle->model->handlePoll(deviceCode, std::move(result));
    }
  });
}

void AppModel::failPoll() {
  connection_.nextAuthorizationPoll = after(pollFailureDelay);
  assign(AppModelField::message, message_, std::string(text::pollUnavailable));
  assign(AppModelField::connectionError, connection_.connectionError,
         std::optional<std::string>(std::string(text::pollUnavailable)));
  connection_.isPollingAuthorization = false;
}

void AppModel::handlePoll(const std::string& deviceCode, ApiResult<DeviceAuthorizationPoll> result) {
  // A newer connection replaced the one this answer is about.
  if (!connection_.authorization || connection_.authorization->deviceCode != deviceCode) {
    connection_.isPollingAuthorization = false;
    return;
  }
  if (!result.ok()) {
    failPoll();
    return;
  }
  const DeviceAuthorizationPoll& answer = result.value();
  // The same rule as for the start: the mode this build works with, and the one the
  // request was started in.
  if (answer.mode != connection_.authorization->mode || !accepts(environment_, answer.mode)) {
    failPoll();
    return;
  }
  assign(AppModelField::connectionError, connection_.connectionError, std::optional<std::string>());

  if (answer.status == "pending") {
    connection_.isPollingAuthorization = false;
    return;
  }
  if (answer.status != "approved" || !answer.deviceId || answer.deviceId->empty()) {
    failPoll();
    return;
  }

  const DeviceCredential credential{endpoint_.normalized(), *answer.deviceId, deviceCode, answer.mode};
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

  account_.credential = credential;
  assign(AppModelField::isPaired, account_.isPaired, true);
  assign(AppModelField::mode, account_.mode, std::optional<NetworkMode>(credential.mode));
  connection_.authorization.reset();
  assign(AppModelField::connectionPending, connection_.connectionPending, false);
  assign(AppModelField::connectionCode, connection_.connectionCode, std::string());
  if (!exposure_.activeLease && !exposure_.displayCreative) assign(AppModelField::menuText, exposure_.menuText, std::string());

  setPaused(false);
  assign(AppModelField::consent, choices_.consent, true);
  ports_.defaults->setBoolean(defaultsKey::consent, true);
  exposure_.nextFetch = Date::min();
  assign(AppModelField::message, message_, std::string(text::connectedEnabled));

  refreshThen([](AppModel& model) { model.connection_.isPollingAuthorization = false; });
}

// ---------------------------------------------------------------------------------
// Dashboard

void AppModel::openPlainDashboard() {
  std::string path(1, '/');
  path += rawValue(choices_.language);
  path += "/dashboard";
  ports_.browser->open(endpoint_.route(path).text());
}

void AppModel::openDashboard() {
  if (connection_.openingDashboard) return;
  if (!account_.credential || !account_.signer) {
    openPlainDashboard();
    return;
  }
  connection_.openingDashboard = true;
  const DeviceCredential sent = *account_.credential;
  const SafeEndpoint sentEndpoint = endpoint_;
  const std::string language(rawValue(choices_.language));
  try {
    const requests::Proof proof = makeBrowserHandoffProof(*account_.signer, sent.deviceId, choices_.language, now());
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
    connection_.openingDashboard = false;
  }
}

void AppModel::handleHandoff(const DeviceCredential& sent, const SafeEndpoint& sentEndpoint,
                             const std::string& language, ApiResult<BrowserHandoffResponse> result) {
  connection_.openingDashboard = false;
  const bool unchanged = account_.credential && account_.credential->deviceId == sent.deviceId && account_.credential->token == sent.token &&
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
