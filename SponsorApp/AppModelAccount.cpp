// The account refresh, the revocation rule and the account's texts.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/Money.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/EarningsWeek.hpp"
#include "SponsorCore/NativeCopy.hpp"

#include <utility>

namespace nimbrella {

// ---------------------------------------------------------------------------------
// Refresh

void AppModel::refresh() { refreshThen({}); }

void AppModel::refreshThen(std::function<void(AppModel&)> done) {
  if (!account_.credential || account_.refreshing) {
    if (done) done(*this);
    return;
  }
  account_.nextAuthorizationCheck = after(refreshInterval);
  account_.refreshing = true;
  const std::string deviceId = account_.credential->deviceId;
  api_->me(account_.credential->token, [weak = std::weak_ptr<Handle>(handle_), deviceId,
                                done = std::move(done)](ApiResult<DeviceResponse> result) {
    if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
      handle->model->handleRefresh(deviceId, std::move(result), done);
    }
  });
}

void AppModel::handleRefresh(const std::string& deviceId, ApiResult<DeviceResponse> result,
                             const std::function<void(AppModel&)>& done) {
  const auto finish = [&] {
    account_.refreshing = false;
    if (done) done(*this);
  };
  if (!account_.credential || account_.credential->deviceId != deviceId) {
    finish();
    return;
  }

  std::optional<ControllerFailure> failure;
  if (!result.ok()) {
    failure = ControllerFailure::of(result);
  } else if (result.value().deviceId != account_.credential->deviceId || result.value().mode != account_.credential->mode) {
    failure = ControllerFailure::client(ClientError::reconnect());
  }

  if (failure) {
    if (handleRevokedAuthorization(*failure)) {
      finish();
      return;
    }
    assign(AppModelField::balanceError, account_.balanceError, std::optional<std::string>(std::string(text::balanceFailed)));
    assign(AppModelField::message, message_, failure->userText());
    finish();
    return;
  }

  DeviceResponse& answer = result.value();
  assign(AppModelField::balanceMicros, account_.balanceMicros, answer.balanceMicros);
  assign(AppModelField::balanceLoaded, account_.balanceLoaded, true);
  assign(AppModelField::earnings, account_.earnings, std::move(answer.earnings));
  std::optional<std::vector<EarningsDay>> days;
  if (answer.reports) days = EarningsWeek::days(answer.reports->daily, now());
  assign(AppModelField::earningsDays, account_.earningsDays, std::move(days));
  assign(AppModelField::referral, account_.referral, std::move(answer.referral));
  assign(AppModelField::balanceError, account_.balanceError, std::optional<std::string>());
  finish();
}

// ---------------------------------------------------------------------------------
// Revocation

bool AppModel::handleRevokedAuthorization(const ControllerFailure& failure) {
  const APIError* error = failure.apiError();
  if (error == nullptr || !error->isHttp(401)) return false;

  interrupt(text::notAuthorized, Hide::ad, Surface::drop);

  account_.credential.reset();
  account_.signer.reset();
  assign(AppModelField::mode, account_.mode, std::optional<NetworkMode>());
  assign(AppModelField::isPaired, account_.isPaired, false);
  exposure_.pendingCompletion.reset();
  exposure_.pendingTermsVersion.reset();
  account_.restoreRefused = false;  // whatever the keyring still holds is deleted below
  assign(AppModelField::confirmationPending, exposure_.confirmationPending, false);
  assign(AppModelField::balanceMicros, account_.balanceMicros, std::int64_t{0});
  assign(AppModelField::earnings, account_.earnings, std::optional<EarningsSummary>());
  assign(AppModelField::earningsDays, account_.earningsDays, std::optional<std::vector<EarningsDay>>());
  assign(AppModelField::referral, account_.referral, std::optional<ReferralSummary>());
  assign(AppModelField::balanceLoaded, account_.balanceLoaded, false);
  assign(AppModelField::balanceError, account_.balanceError, std::optional<std::string>());
  setConsent(false);

  for (const std::string_view account :
       {vaultAccount::deviceCredential, vaultAccount::receiptSigningPrivate, vaultAccount::pendingCompletion}) {
    try {
      vault_.remove(account);
    } catch (const VaultError&) {
      // Nothing more can be done now; the stored credential no longer works anyway.
    }
  }

  assign(AppModelField::message, message_, std::string(text::notAuthorized));
  assign(AppModelField::menuText, exposure_.menuText, std::string(text::appName));
  return true;
}

// ---------------------------------------------------------------------------------
// Texts

std::string AppModel::money(std::int64_t micros) const { return formatMoney(micros, choices_.language); }

std::optional<std::string> AppModel::localizedBalanceError() const {
  if (!account_.balanceError) return std::nullopt;
  return NativeCopy::text(*account_.balanceError, choices_.language);
}

}  // namespace nimbrella
