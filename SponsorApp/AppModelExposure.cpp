// The exposure cycle: the tick, fetching and showing one sponsored item, measuring it,
// signing and storing its completion and confirming it with the server.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace nimbrella {

bool AppModel::schedulePermits(Date at) { return sponsorPreferences_.allowsTime(at, ports_.calendar->current()); }

bool AppModel::recentInput() const { return IdleEligibility::allows(ports_.idleTime->secondsSinceLastInput()); }

void AppModel::tick() {
  SurfaceMonitorPort& monitor = *ports_.monitor;

  // 1. Periodic account refresh.
  if (credential_ && !refreshing_ && now() >= nextAuthorizationCheck_) {
    nextAuthorizationCheck_ = after(refreshInterval);
    ports_.queue->post(weakly([](AppModel& model) { model.refresh(); }));
  }

  // 2. End of a timed pause.
  if (snoozedUntil_ && now() >= *snoozedUntil_) setPaused(false);

  // 3. A sponsor left on screen after its lease ended goes at its expiry.
  if (!activeLease_ && displayExpiration_ && now() >= *displayExpiration_) clearDisplayedSponsor();

  // 4. Schedule.
  const bool allows = schedulePermits(now());
  if (allows != scheduleAllowsSponsors_) {
    assign(AppModelField::scheduleAllowsSponsors, scheduleAllowsSponsors_, allows);
    if (allows) nextFetch_ = Date::min();
  }
  if (!allows && (activeLease_ || displayCreative_)) interrupt(text::outsideHours, true, false);

  // 5. Surface.
  monitor.synchronizeSurface(menuText_, consent_ && !paused_ && allows && displayCreative_.has_value());

  // 6. Confirmation retry.
  if (confirmationPending_ && !isBusy_ && now() >= nextConfirmationAttempt_) {
    ports_.queue->post(weakly([](AppModel& model) { model.confirmCompletion(); }));
  }

  // 7. Browser authorization poll.
  if (authorization_ && !isBusy_ && !isPollingAuthorization_ && now() >= nextAuthorizationPoll_) {
    ports_.queue->post(weakly([](AppModel& model) { model.pollAuthorization(); }));
  }

  // 8. Gate.
  if (!consent_ || paused_ || !scheduleAllowsSponsors_ || !monitor.controlsClosed || !monitor.displayAwake ||
      !monitor.sessionActive) {
    return;
  }

  // 9. Recent input.
  if (!recentInput()) {
    if (activeLease_) interrupt(text::inactiveTooLong, true, false);
    return;
  }

  // 10. Nothing shown: ask for an item when allowed.
  if (!activeLease_) {
    if (isPaired_ && !isBusy_ && !confirmationPending_ && pendingCancellations_ == 0 && now() >= nextFetch_) {
      ports_.queue->post(weakly([](AppModel& model) { model.fetchSponsor(); }));
    }
    return;
  }

  // 11. Measure the active lease once its content has settled.
  if (!monitor.contentReady) return;
  const std::optional<Date> expiration = activeLease_->expiration();
  if (!expiration || *expiration <= now()) {
    interrupt(text::leaseExpired, true, false);
    return;
  }
  const EligibilitySnapshot snapshot = monitor.snapshot();
  if (visibilityStatus_ != monitor.lastDiagnostic()) {
    assign(AppModelField::visibilityStatus, visibilityStatus_, monitor.lastDiagnostic());
  }
  if (!exposureClock_) return;
  const ExposureProgress progress = exposureClock_->sample(snapshot, ports_.clock->uptime());
  switch (progress.kind()) {
    case ExposureProgress::Kind::running:
      break;
    case ExposureProgress::Kind::invalidated:
      interrupt(progress.reason().value_or(std::string(ExposureClock::unavailableReason)), false, true);
      break;
    case ExposureProgress::Kind::complete:
      complete(progress.elapsedMs().value_or(0));
      break;
  }
}

// ---------------------------------------------------------------------------------
// Fetch and display

void AppModel::fetchSponsor() {
  if (isBusy_ || pendingCancellations_ != 0 || !credential_ || !consent_ || paused_ || !schedulePermits(now()) ||
      !ports_.monitor->controlsClosed || !recentInput()) {
    return;
  }
  assign(AppModelField::isBusy, isBusy_, true);
  const std::int64_t fetchGeneration = ++generation_;
  nextFetch_ = DeliveryCadence::nextAttempt(std::nullopt, now());

  const std::string token = credential_->token;
  api_->start(token, lastPreviewCampaignId_, sponsorPreferences_.filters(),
              [weak = std::weak_ptr<Handle>(handle_), fetchGeneration](ApiResult<ExposureLease> result) {
                if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
                  handle->model->handleFetchResult(fetchGeneration, std::move(result));
                }
              });
}

void AppModel::handleFetchResult(std::int64_t fetchGeneration, ApiResult<ExposureLease> result) {
  if (!result.ok()) {
    handleFetchFailure(fetchGeneration, ControllerFailure::of(result));
    return;
  }
  const ExposureLease& lease = result.value();
  const SponsorCreative& creative = lease.creative;
  const auto cancelIfReceipt = [&] {
    if (lease.requiresReceipt() && credential_) {
      api_->cancel(credential_->token, lease.leaseId, [](ApiResult<EmptyResponse>) {});
    }
  };

  // 1. Stale, or no longer allowed: never shown.
  const bool stale =
      generation_ != fetchGeneration || !consent_ || paused_ || !schedulePermits(now()) ||
      !sponsorPreferences_.allows(creative.advertiserId ? std::optional<std::string_view>(*creative.advertiserId)
                                                        : std::nullopt,
                                  creative.category ? std::optional<std::string_view>(*creative.category)
                                                    : std::nullopt) ||
      !ports_.monitor->controlsClosed || !recentInput();
  if (stale) {
    cancelIfReceipt();
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }

  // 2. Unsafe or mismatched: refused whole.
  std::optional<MenuBarContent> content;
  if (lease.isValid(now()) && credential_ && lease.mode == credential_->mode) {
    try {
      content.emplace(creative, *ports_.measurer);
    } catch (const ContentError&) {
    }
  }
  if (!content) {
    cancelIfReceipt();
    handleFetchFailure(fetchGeneration, ControllerFailure::client(ClientError::invalidResponse()));
    return;
  }

  // 3. Show it.
  display(lease, std::move(*content), fetchGeneration);
}

void AppModel::handleFetchFailure(std::int64_t fetchGeneration, const ControllerFailure& failure) {
  if (generation_ != fetchGeneration) {
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }
  if (handleRevokedAuthorization(failure)) {
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }
  if (const APIError* error = failure.apiError(); error && error->kind() == APIError::Kind::noFill) {
    const std::string reason = error->noFillReason().value_or(std::string());
    assign(AppModelField::preferencesFiltered, preferencesFiltered_, reason == "preferences_filtered");
    nextFetch_ = DeliveryCadence::nextAttempt(reason, now());
  }
  clearDisplayedSponsor();
  assign(AppModelField::menuText, menuText_, std::string());
  assign(AppModelField::message, message_, failure.userText());
  assign(AppModelField::isBusy, isBusy_, false);
}

void AppModel::display(const ExposureLease& lease, MenuBarContent content, std::int64_t fetchGeneration) {
  SurfaceMonitorPort& monitor = *ports_.monitor;
  assign(AppModelField::preferencesFiltered, preferencesFiltered_, false);
  lastPreviewCampaignId_ = lease.isPreview() ? lease.campaignId : std::nullopt;

  activeLease_ = lease;
  displayedLeaseId_ = lease.requiresReceipt() ? std::optional<std::string>(lease.leaseId) : std::nullopt;
  assign(AppModelField::displayCreative, displayCreative_, std::optional<SponsorCreative>(lease.creative));

  exposureClock_.emplace(lease.durationMs);
  displayExpiration_ = lease.expiration();

  const std::string shown = content.text();
  const double width = std::max(content.minimumWidth(), content.requiredWidth());
  monitor.expectedText = shown;
  monitor.expectedContent = std::move(content);
  monitor.contentReady = false;

  assign(AppModelField::menuWidth, menuWidth_, width);
  assign(AppModelField::menuText, menuText_, shown);
  assign(AppModelField::message, message_,
         std::string(lease.isPreview() ? text::previewDisplayed : text::sponsorDisplayed));

  ports_.queue->postAfter(contentSettleDelay, weakly([fetchGeneration](AppModel& model) {
    if (model.generation_ != fetchGeneration || !model.activeLease_) return;
    model.ports_.monitor->redrawStatusButton();
    model.ports_.monitor->contentReady = true;
  }));

  assign(AppModelField::isBusy, isBusy_, false);
}

// ---------------------------------------------------------------------------------
// Completion and confirmation

void AppModel::complete(std::int64_t elapsedMs) {
  ExposureLease lease = std::move(*activeLease_);
  activeLease_.reset();
  ports_.monitor->contentReady = false;
  exposureClock_.reset();

  if (!lease.requiresReceipt()) {
    nextFetch_ = Date::min();
    return;
  }

  try {
    if (!signer_ || !credential_) throw ClientError::reconnect();
    CompleteRequest request = CompleteRequest::make(lease.leaseId, lease.nonce, elapsedMs, *signer_);
    const PersistedCompletion record{endpoint_.normalized(), credential_->deviceId, request, lease.termsVersion};
    // Stored before anything is marked pending: a completion is never only in memory.
    vault_.save(encodeRecord(record), vaultAccount::pendingCompletion);

    pendingCompletion_ = std::move(request);
    pendingTermsVersion_ = lease.termsVersion;
    assign(AppModelField::confirmationPending, confirmationPending_, true);
    nextConfirmationAttempt_ = Date::min();
    assign(AppModelField::message, message_, std::string(text::confirming));
    ports_.queue->post(weakly([](AppModel& model) { model.confirmCompletion(); }));
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    assign(AppModelField::message, message_, ControllerFailure::current(ClientError::invalidResponse()).userText());
  }
}

void AppModel::confirmCompletion() {
  if (!pendingCompletion_ || !credential_ || isBusy_) return;
  assign(AppModelField::isBusy, isBusy_, true);
  nextConfirmationAttempt_ = after(confirmationRetry);
  const std::string deviceId = credential_->deviceId;
  api_->complete(credential_->token, *pendingCompletion_,
                 [weak = std::weak_ptr<Handle>(handle_), deviceId](ApiResult<CompleteResponse> result) {
                   if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
                     handle->model->handleConfirmation(deviceId, std::move(result));
                   }
                 });
}

void AppModel::handleConfirmation(const std::string& deviceId, ApiResult<CompleteResponse> result) {
  if (!credential_ || credential_->deviceId != deviceId) {
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }

  std::optional<ControllerFailure> failure;
  if (!result.ok()) {
    failure = ControllerFailure::of(result);
  } else {
    const CompleteResponse& answer = result.value();
    if (answer.status == "accepted") {
      const bool valid = answer.receiptId && !answer.receiptId->empty() && answer.rewardMicros &&
                         *answer.rewardMicros >= 0 && answer.balanceMicros;
      if (!valid) {
        failure = ControllerFailure::client(ClientError::invalidResponse());
      } else {
        assign(AppModelField::balanceMicros, balanceMicros_, *answer.balanceMicros);
        std::string line = money(*answer.rewardMicros);
        line += ' ';
        line += mode_ == NetworkMode::sandbox ? text::inTestCredits : text::inRewards;
        line += text::recordedSuffix;
        assign(AppModelField::message, message_, std::move(line));
      }
    } else if (answer.status == "rejected") {
      assign(AppModelField::message, message_, std::string(text::rejected));
    } else {
      failure = ControllerFailure::client(ClientError::invalidResponse());
    }
  }

  if (!failure) {
    try {
      vault_.remove(vaultAccount::pendingCompletion);
    } catch (const VaultError& error) {
      failure = ControllerFailure::text(std::string(error.message()));
    }
  }

  if (failure) {
    if (handleRevokedAuthorization(*failure)) {
      assign(AppModelField::isBusy, isBusy_, false);
      return;
    }
    // The same signed receipt is sent again once nextConfirmationAttempt has passed.
    assign(AppModelField::message, message_, std::string(text::confirmationUnavailable));
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }

  nextFetch_ = DeliveryCadence::nextAttemptAfterCompletion(pendingTermsVersion_, now());
  pendingCompletion_.reset();
  pendingTermsVersion_.reset();
  assign(AppModelField::confirmationPending, confirmationPending_, false);
  refreshThen([](AppModel& model) { model.assign(AppModelField::isBusy, model.isBusy_, false); });
}

}  // namespace nimbrella
