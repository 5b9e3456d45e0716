// The account refresh, the revocation rule and the user's actions.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/Money.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/EarningsWeek.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/Uuid.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace nimbrella {

// ---------------------------------------------------------------------------------
// Refresh

void AppModel::refresh() { refreshThen({}); }

void AppModel::refreshThen(std::function<void(AppModel&)> done) {
  if (!credential_ || refreshing_) {
    if (done) done(*this);
    return;
  }
  nextAuthorizationCheck_ = after(refreshInterval);
  refreshing_ = true;
  const std::string deviceId = credential_->deviceId;
  api_->me(credential_->token, [weak = std::weak_ptr<Handle>(handle_), deviceId,
                                done = std::move(done)](ApiResult<DeviceResponse> result) {
    if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
      handle->model->handleRefresh(deviceId, std::move(result), done);
    }
  });
}

void AppModel::handleRefresh(const std::string& deviceId, ApiResult<DeviceResponse> result,
                             const std::function<void(AppModel&)>& done) {
  const auto finish = [&] {
    refreshing_ = false;
    if (done) done(*this);
  };
  if (!credential_ || credential_->deviceId != deviceId) {
    finish();
    return;
  }

  std::optional<ControllerFailure> failure;
  if (!result.ok()) {
    failure = ControllerFailure::of(result);
  } else if (result.value().deviceId != credential_->deviceId || result.value().mode != credential_->mode) {
    failure = ControllerFailure::client(ClientError::reconnect());
  }

  if (failure) {
    if (handleRevokedAuthorization(*failure)) {
      finish();
      return;
    }
    assign(AppModelField::balanceError, balanceError_, std::optional<std::string>(std::string(text::balanceFailed)));
    assign(AppModelField::message, message_, failure->userText());
    finish();
    return;
  }

  DeviceResponse& answer = result.value();
  assign(AppModelField::balanceMicros, balanceMicros_, answer.balanceMicros);
  assign(AppModelField::balanceLoaded, balanceLoaded_, true);
  assign(AppModelField::earnings, earnings_, std::move(answer.earnings));
  std::optional<std::vector<EarningsDay>> days;
  if (answer.reports) days = EarningsWeek::days(answer.reports->daily, now());
  assign(AppModelField::earningsDays, earningsDays_, std::move(days));
  assign(AppModelField::referral, referral_, std::move(answer.referral));
  assign(AppModelField::balanceError, balanceError_, std::optional<std::string>());
  finish();
}

// ---------------------------------------------------------------------------------
// Revocation

bool AppModel::handleRevokedAuthorization(const ControllerFailure& failure) {
  const APIError* error = failure.apiError();
  if (error == nullptr || !error->isHttp(401)) return false;

  interrupt(text::notAuthorized, true, false);

  credential_.reset();
  signer_.reset();
  assign(AppModelField::mode, mode_, std::optional<NetworkMode>());
  assign(AppModelField::isPaired, isPaired_, false);
  pendingCompletion_.reset();
  pendingTermsVersion_.reset();
  assign(AppModelField::confirmationPending, confirmationPending_, false);
  assign(AppModelField::balanceMicros, balanceMicros_, std::int64_t{0});
  assign(AppModelField::earnings, earnings_, std::optional<EarningsSummary>());
  assign(AppModelField::earningsDays, earningsDays_, std::optional<std::vector<EarningsDay>>());
  assign(AppModelField::referral, referral_, std::optional<ReferralSummary>());
  assign(AppModelField::balanceLoaded, balanceLoaded_, false);
  assign(AppModelField::balanceError, balanceError_, std::optional<std::string>());
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
  assign(AppModelField::menuText, menuText_, std::string(text::appName));
  return true;
}

// ---------------------------------------------------------------------------------
// Texts

std::string AppModel::money(std::int64_t micros) const { return formatMoney(micros, language_); }

std::optional<std::string> AppModel::localizedBalanceError() const {
  if (!balanceError_) return std::nullopt;
  return NativeCopy::text(*balanceError_, language_);
}

std::optional<std::string> AppModel::preferenceStatus() const {
  const bool italian = language_ == AppLanguage::it;
  if (!scheduleAllowsSponsors_) return std::string(italian ? text::outsideHoursStatusIt : text::outsideHoursStatusEn);
  if (preferencesFiltered_) return std::string(italian ? text::filteredStatusIt : text::filteredStatusEn);
  return std::nullopt;
}

// ---------------------------------------------------------------------------------
// Pause, snooze, consent

void AppModel::setPaused(bool value) {
  assign(AppModelField::snoozedUntil, snoozedUntil_, std::optional<Date>());
  ports_.defaults->remove(defaultsKey::snoozedUntil);
  assign(AppModelField::paused, paused_, value);
  ports_.defaults->setBoolean(defaultsKey::paused, value);
  if (!value) {
    nextFetch_ = Date::min();
  } else {
    interrupt(text::paused, true, false);
  }
}

void AppModel::snooze(SnoozeChoice choice) {
  if (!consent_ || !isPaired_) return;
  const SnoozeState state = SnoozeState::make(choice, now(), ports_.calendar->current());
  // A timed pause whose end cannot be computed would never end: refused.
  if (!state.indefinite && !state.until) return;
  setPaused(true);
  assign(AppModelField::snoozedUntil, snoozedUntil_, state.until);
  if (state.until) ports_.defaults->setDate(defaultsKey::snoozedUntil, *state.until);
}

void AppModel::setConsent(bool value) {
  assign(AppModelField::consent, consent_, value);
  ports_.defaults->setBoolean(defaultsKey::consent, value);
  if (value) {
    nextFetch_ = Date::min();
  } else {
    assign(AppModelField::snoozedUntil, snoozedUntil_, std::optional<Date>());
    ports_.defaults->remove(defaultsKey::snoozedUntil);
    interrupt(text::turnedOff, true, false);
  }
}

void AppModel::toggleSponsorship() {
  if (!consent_) {
    setPaused(false);
    assign(AppModelField::consent, consent_, true);
    ports_.defaults->setBoolean(defaultsKey::consent, true);
    nextFetch_ = Date::min();
  } else {
    setConsent(false);
  }
}

void AppModel::setControlsOpen(bool open) {
  if (open) {
    ports_.monitor->controlsClosed = false;
    interrupt(text::controlsOpen, false, false);
    ports_.queue->post(weakly([](AppModel& model) { model.refresh(); }));
  } else {
    ports_.monitor->controlsClosed = true;
    nextFetch_ = after(1);
  }
}

// ---------------------------------------------------------------------------------
// Preferences

void AppModel::updateSponsorPreferences(const PreferencesChange& change) {
  SponsorPreferences copy = sponsorPreferences_;
  change(copy);
  if (copy.blockedSponsors.size() > SponsorPreferences::maxBlockedSponsors) return;
  if (const auto error = copy.save(*ports_.defaults, sponsorPreferencesKey)) {
    assign(AppModelField::message, message_, error->description);
    return;
  }
  const bool allows = copy.allowsTime(now(), ports_.calendar->current());
  assign(AppModelField::sponsorPreferences, sponsorPreferences_, std::move(copy));
  assign(AppModelField::scheduleAllowsSponsors, scheduleAllowsSponsors_, allows);
  assign(AppModelField::preferencesFiltered, preferencesFiltered_, false);
  interrupt(text::preferencesChanged, true, false);
  nextFetch_ = Date::min();
}

bool AppModel::canBlockCurrentSponsor() const {
  return displayCreative_ && displayCreative_->advertiserId && isUuidText(*displayCreative_->advertiserId) &&
         sponsorPreferences_.blockedSponsors.size() < SponsorPreferences::maxBlockedSponsors;
}

void AppModel::blockCurrentSponsor() {
  if (!canBlockCurrentSponsor()) return;
  std::string id = *displayCreative_->advertiserId;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string name = displayCreative_->sponsor;
  updateSponsorPreferences([&id, &name](SponsorPreferences& preferences) {
    const bool known = std::any_of(preferences.blockedSponsors.begin(), preferences.blockedSponsors.end(),
                                   [&id](const BlockedSponsor& entry) { return entry.id == id; });
    if (!known) preferences.blockedSponsors.push_back(BlockedSponsor{id, name});
  });
}

// ---------------------------------------------------------------------------------
// Advertiser link

void AppModel::openAdvertiser() {
  if (!displayCreative_) return;
  const std::optional<Url> url = SafeEndpoint::advertiserURL(displayCreative_->url);
  if (!url) return;
  if (displayedLeaseId_ && credential_) {
    api_->click(credential_->token, *displayedLeaseId_, [](ApiResult<EmptyResponse>) {});
  }
  ports_.browser->open(url->text());
}

}  // namespace nimbrella
