// The exposure cycle: the tick, fetching and showing one sponsored item, measuring it,
// signing and storing its completion and confirming it with the server.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace nimbrella {

bool AppModel::schedulePermits(Date at) const { return schedulePermits(choices_.sponsorPreferences, at); }

// The time zone is looked up only for a schedule: without one, ICU's zone data stays unloaded.
bool AppModel::schedulePermits(const SponsorPreferences& preferences, Date at) const {
  return !preferences.scheduleEnabled || preferences.allowsTime(at, ports_.calendar->current());
}

bool AppModel::recentInput() const { return IdleEligibility::allows(ports_.idleTime->secondsSinceLastInput()); }

void AppModel::tick() {
  SurfaceMonitorPort& monitor = *ports_.monitor;

  // 1. Periodic account refresh.
  if (account_.credential && !account_.refreshing && now() >= account_.nextAuthorizationCheck) {
    account_.nextAuthorizationCheck = after(refreshInterval);
    ports_.queue->post(weakly([](AppModel& model) { model.refresh(); }));
  }

  // 2. End of a timed pause.
  if (choices_.snoozedUntil && now() >= *choices_.snoozedUntil) setPaused(false);

  // 3. A sponsor left on screen after its lease ended goes at its expiry.
  if (!exposure_.activeLease && exposure_.displayExpiration && now() >= *exposure_.displayExpiration) clearDisplayedSponsor();

  // 4. Schedule.
  const bool allows = schedulePermits(now());
  if (allows != choices_.scheduleAllowsSponsors) {
    assign(AppModelField::scheduleAllowsSponsors, choices_.scheduleAllowsSponsors, allows);
    if (allows) exposure_.nextFetch = Date::min();
  }
  if (!allows && (exposure_.activeLease || exposure_.displayCreative)) interrupt(text::outsideHours, Hide::ad, Surface::drop);

  // 5. Surface.
  monitor.synchronizeSurface(exposure_.menuText, choices_.consent && !choices_.paused && allows && exposure_.displayCreative.has_value());

  // 6. Confirmation retry, and what the keyring refused at start.
  if (exposure_.confirmationPending && !isBusy_ && now() >= exposure_.nextConfirmationAttempt) {
    ports_.queue->post(weakly([](AppModel& model) { model.confirmCompletion(); }));
  }
  if (account_.restoreRefused && !isBusy_ && now() >= account_.nextRestoreAttempt) resumeRestoration();

  // 7. Browser authorization poll.
  if (connection_.authorization && !isBusy_ && !connection_.isPollingAuthorization && now() >= connection_.nextAuthorizationPoll) {
    ports_.queue->post(weakly([](AppModel& model) { model.pollAuthorization(); }));
  }

  // 8. Gate.
  if (!choices_.consent || choices_.paused || !choices_.scheduleAllowsSponsors || !exposure_.controlsClosed ||
      !exposure_.displayAwake || !exposure_.sessionActive) {
    return;
  }

  // 9. Recent input.
  if (!recentInput()) {
    if (exposure_.activeLease) interrupt(text::inactiveTooLong, Hide::ad, Surface::drop);
    return;
  }

  // 10. Nothing shown: ask for an item when allowed, never on a desktop that cannot show one.
  if (!exposure_.activeLease) {
    if (const CopyEntry* refused = refusalText(monitor.desktopRefusal())) {
      assign(AppModelField::message, message_, std::string(refused->english));
      return;
    }
    if (account_.isPaired && !isBusy_ && !exposure_.confirmationPending && !account_.restoreRefused &&
        exposure_.pendingCancellations == 0 && now() >= exposure_.nextFetch) {
      ports_.queue->post(weakly([](AppModel& model) { model.fetchSponsor(); }));
    }
    return;
  }

  // 11. Measure the active lease once its content has settled.
  if (!exposure_.contentReady) return;
  const std::optional<Date> expiration = exposure_.activeLease->expiration();
  if (!expiration || *expiration <= now()) {
    interrupt(text::leaseExpired, Hide::ad, Surface::drop);
    return;
  }
  const EligibilitySnapshot snapshot = monitor.snapshot();
  if (exposure_.visibilityStatus != monitor.lastDiagnostic()) {
    assign(AppModelField::visibilityStatus, exposure_.visibilityStatus, monitor.lastDiagnostic());
  }
  if (!exposure_.exposureClock) return;
  const ExposureProgress progress = exposure_.exposureClock->sample(snapshot, ports_.clock->uptime());
  switch (progress.kind()) {
    case ExposureProgress::Kind::running:
      break;
    case ExposureProgress::Kind::invalidated:
      interrupt(progress.reason().value_or(std::string(ExposureClock::unavailableReason)), Hide::nothing, Surface::preserve);
      break;
    case ExposureProgress::Kind::complete:
      complete(progress.elapsedMs().value_or(0));
      break;
  }
}

// ---------------------------------------------------------------------------------
// Fetch and display

void AppModel::fetchSponsor() {
  if (isBusy_ || exposure_.pendingCancellations != 0 || !account_.credential || !choices_.consent || choices_.paused || !schedulePermits(now()) ||
      !exposure_.controlsClosed || !recentInput()) {
    return;
  }
  assign(AppModelField::isBusy, isBusy_, true);
  const std::int64_t fetchGeneration = ++exposure_.generation;
  exposure_.nextFetch = DeliveryCadence::nextAttempt(std::nullopt, now());

  const std::string token = account_.credential->token;
  api_->start(token, exposure_.lastPreviewCampaignId, choices_.sponsorPreferences.filters(),
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
    if (lease.requiresReceipt() && account_.credential) {
      api_->cancel(account_.credential->token, lease.leaseId, [](ApiResult<EmptyResponse>) {});
    }
  };

  // 1. Stale, or no longer allowed: never shown.
  const bool stale =
      exposure_.generation != fetchGeneration || !choices_.consent || choices_.paused || !schedulePermits(now()) ||
      !choices_.sponsorPreferences.allows(creative.advertiserId ? std::optional<std::string_view>(*creative.advertiserId)
                                                        : std::nullopt,
                                  creative.category ? std::optional<std::string_view>(*creative.category)
                                                    : std::nullopt) ||
      !exposure_.controlsClosed || !recentInput();
  if (stale) {
    cancelIfReceipt();
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }

  // 2. Unsafe or mismatched: refused whole.
  std::optional<MenuBarContent> content;
  if (lease.isValid(now()) && account_.credential && lease.mode == account_.credential->mode) {
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
  if (exposure_.generation != fetchGeneration) {
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }
  if (handleRevokedAuthorization(failure)) {
    assign(AppModelField::isBusy, isBusy_, false);
    return;
  }
  if (const APIError* error = failure.apiError(); error && error->kind() == APIError::Kind::noFill) {
    const std::string reason = error->noFillReason().value_or(std::string());
    assign(AppModelField::preferencesFiltered, choices_.preferencesFiltered, reason == "preferences_filtered");
    exposure_.nextFetch = DeliveryCadence::nextAttempt(reason, now());
  }
  clearDisplayedSponsor();
  assign(AppModelField::menuText, exposure_.menuText, std::string());
  assign(AppModelField::message, message_, failure.userText());
  assign(AppModelField::isBusy, isBusy_, false);
}

void AppModel::display(const ExposureLease& lease, MenuBarContent content, std::int64_t fetchGeneration) {
  SurfaceMonitorPort& monitor = *ports_.monitor;
  assign(AppModelField::preferencesFiltered, choices_.preferencesFiltered, false);
  exposure_.lastPreviewCampaignId = lease.isPreview() ? lease.campaignId : std::nullopt;

  exposure_.activeLease = lease;
  exposure_.displayedLeaseId = lease.requiresReceipt() ? std::optional<std::string>(lease.leaseId) : std::nullopt;
  assign(AppModelField::displayCreative, exposure_.displayCreative, std::optional<SponsorCreative>(lease.creative));

  exposure_.exposureClock.emplace(lease.durationMs);
  exposure_.displayExpiration = lease.expiration();

  const std::string shown = content.text();
  const double width = std::max(content.minimumWidth(), content.requiredWidth());
  monitor.setExpectation(shown, std::move(content));
  setContentReady(false);

  assign(AppModelField::menuWidth, exposure_.menuWidth, width);
  assign(AppModelField::menuText, exposure_.menuText, shown);
  assign(AppModelField::message, message_,
         std::string(lease.isPreview() ? text::previewDisplayed : text::sponsorDisplayed));

  ports_.queue->postAfter(contentSettleDelay, weakly([fetchGeneration](AppModel& model) {
    if (model.exposure_.generation != fetchGeneration || !model.exposure_.activeLease) return;
    model.ports_.monitor->redrawStatusButton();
    model.setContentReady(true);
  }));

  assign(AppModelField::isBusy, isBusy_, false);
}

// ---------------------------------------------------------------------------------
// Completion and confirmation

void AppModel::complete(std::int64_t elapsedMs) {
  ExposureLease lease = std::move(*exposure_.activeLease);
  exposure_.activeLease.reset();
  setContentReady(false);
  exposure_.exposureClock.reset();

  if (!lease.requiresReceipt()) {
    exposure_.nextFetch = Date::min();
    return;
  }

  std::optional<CompleteRequest> request;
  try {
    if (!account_.signer || !account_.credential) throw ClientError::reconnect();
    request = CompleteRequest::make(lease.leaseId, lease.nonce, elapsedMs, *account_.signer);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // Nothing could be signed: the lease is given back like any interrupted one, so that
    // the server does not hold it open against the next request.
    assign(AppModelField::message, message_, ControllerFailure::current(ClientError::invalidResponse()).userText());
    if (account_.credential) cancelLease(lease);
    return;
  }

  exposure_.pendingCompletion = std::move(request);
  exposure_.pendingTermsVersion = lease.termsVersion;
  assign(AppModelField::confirmationPending, exposure_.confirmationPending, true);
  exposure_.nextConfirmationAttempt = Date::min();
  assign(AppModelField::message, message_, std::string(text::confirming));
  // Stored before it is first sent, so that once stored a crash or a quit cannot lose it.
  // A keyring that refuses it does not cost the reward on its own: the receipt is sent from
  // memory all the same (only a quit before the server's answer would lose it), the user is
  // asked to unlock the keyring, and it is offered to the keyring again before each retry.
  exposure_.completionStored = false;
  storeCompletion();
  ports_.queue->post(weakly([](AppModel& model) { model.confirmCompletion(); }));
}

void AppModel::storeCompletion() {
  const PersistedCompletion record{endpoint_.normalized(), account_.credential->deviceId, *exposure_.pendingCompletion,
                                   exposure_.pendingTermsVersion};
  try {
    vault_.save(encodeRecord(record), vaultAccount::pendingCompletion);
    exposure_.completionStored = true;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    assign(AppModelField::message, message_, ControllerFailure::current(ClientError::invalidResponse()).userText());
  }
}

void AppModel::confirmCompletion() {
  if (!exposure_.pendingCompletion || !account_.credential || isBusy_) return;
  assign(AppModelField::isBusy, isBusy_, true);
  exposure_.nextConfirmationAttempt = after(confirmationRetry);
  if (!exposure_.completionStored) storeCompletion();
  const std::string deviceId = account_.credential->deviceId;
  api_->complete(account_.credential->token, *exposure_.pendingCompletion,
                 [weak = std::weak_ptr<Handle>(handle_), deviceId](ApiResult<CompleteResponse> result) {
                   if (const auto handle = weak.lock(); handle && handle->model != nullptr) {
                     handle->model->handleConfirmation(deviceId, std::move(result));
                   }
                 });
}

void AppModel::handleConfirmation(const std::string& deviceId, ApiResult<CompleteResponse> result) {
  if (!account_.credential || account_.credential->deviceId != deviceId) {
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
        assign(AppModelField::balanceMicros, account_.balanceMicros, *answer.balanceMicros);
        std::string line = money(*answer.rewardMicros);
        line += ' ';
        line += account_.mode == NetworkMode::sandbox ? text::inTestCredits : text::inRewards;
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
      // A receipt that the keyring never took leaves nothing to wait for.
      if (exposure_.completionStored) failure = ControllerFailure::text(std::string(error.message()));
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

  exposure_.nextFetch = DeliveryCadence::nextAttemptAfterCompletion(exposure_.pendingTermsVersion, now());
  exposure_.pendingCompletion.reset();
  exposure_.pendingTermsVersion.reset();
  assign(AppModelField::confirmationPending, exposure_.confirmationPending, false);
  refreshThen([](AppModel& model) { model.assign(AppModelField::isBusy, model.isBusy_, false); });
}

// ---------------------------------------------------------------------------------
// The popover and the advertiser link

void AppModel::setControlsOpen(bool open) {
  if (open) {
    exposure_.controlsClosed = false;
    ports_.monitor->setControlsClosed(false);
    interrupt(text::controlsOpen, Hide::nothing, Surface::drop);
    ports_.queue->post(weakly([](AppModel& model) { model.refresh(); }));
  } else {
    exposure_.controlsClosed = true;
    ports_.monitor->setControlsClosed(true);
    exposure_.nextFetch = after(1);
  }
}

void AppModel::openAdvertiser() {
  if (!exposure_.displayCreative) return;
  const std::optional<Url> url = SafeEndpoint::advertiserURL(exposure_.displayCreative->url);
  if (!url) return;
  if (exposure_.displayedLeaseId && account_.credential) {
    api_->click(account_.credential->token, *exposure_.displayedLeaseId, [](ApiResult<EmptyResponse>) {});
  }
  ports_.browser->open(url->text());
}

}  // namespace nimbrella
