// The exposure cycle in simulated time: earning, interrupting, stale results, no-fill
// cadence, previews, confirmation retries, revocation and failed cancellations.

#include "controller/support/ControllerTest.hpp"

namespace nimbrella::simulation {
namespace {

using ExposureTest = ControllerTest;

const std::string unconfirmedText =
    "Exposure confirmation is unavailable. Nimbrella will retry the same receipt; no additional reward is confirmed.";

TEST_F(ExposureTest, WholeEarningPathStoresTheReceiptBeforeSendingItAndCreditsTheServersFigureOnce) {
  world.server->rewardMicros = 1'500'000;
  std::optional<std::string> storedWhenSent;
  world.server->onRequest = [&](const HttpRequest& request) {
    if (pathOf(request.url) == completePath && world.model().confirmationPending()) {
      storedWhenSent = world.secrets->text(vaultAccount::pendingCompletion);
    }
  };
  AppModel& model = startPaired(world);
  world.server->balanceMicros = 2'000'000;  // earned since the first refresh
  world.server->scriptHold(completePath);
  world.server->scriptHold(mePath);

  world.advance(0.25);  // the first tick asks for an item
  EXPECT_EQ(std::tuple(model.menuText(), world.monitor->expectedText, model.menuWidth(), model.message()),
            std::tuple("Ad \xC2\xB7 Acme", "Ad \xC2\xB7 Acme", 280.0,
                       "Sponsored name displayed. Earnings require uninterrupted local and server checks."));
  world.advance(0.3);  // not settled yet: nothing is measured
  EXPECT_EQ(std::tuple(world.monitor->contentReady, world.monitor->snapshots), std::tuple(false, 0));
  world.advance(0.2);  // 0.4 s after display
  EXPECT_EQ(std::tuple(world.monitor->contentReady, world.monitor->syncedAllowed, world.monitor->redraws),
            std::tuple(true, true, 1));
  world.advance(9.9);
  EXPECT_EQ(world.server->count(completePath), 0u);
  world.advance(0.5);
  model.confirmCompletion();  // the popover's retry while the receipt is in flight sends nothing more
  world.settle();
  ASSERT_EQ(world.server->held(completePath), 1u);
  EXPECT_EQ(world.server->count(completePath), 1u);

  // The signed record was stored, and marked pending, before it was sent.
  ASSERT_TRUE(storedWhenSent.has_value());
  const auto sent = decodeJson<CompleteRequest>(lastBody(world, completePath));
  EXPECT_EQ(decodeJson<PersistedCompletion>(*storedWhenSent).request, sent);
  EXPECT_EQ(std::tuple(sent.leaseId, sent.elapsedMs, sent.sequence), std::tuple("lease-1", 10'000, 1));

  world.server->release(completePath);
  world.settle();  // the server's balance is taken as it is, before the refresh answers
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "1.50 in rewards recorded for the menu-bar exposure.");
  EXPECT_EQ(model.balanceMicros(), 3'500'000);
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(model.menuText(), "Ad \xC2\xB7 Acme");  // the sponsor stays painted
  world.server->release(mePath);
  // Confirmed at 11.15 s: the next request comes 60 s later.
  world.advance(59.9);
  EXPECT_EQ(world.server->count(startPath), 1u);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(ExposureTest, EveryInterruptSourceEndsTheExposureWithItsMessageAndCancelsTheLease) {
  const auto event = [](SystemEvent e) { return [e](World& w) { w.events->fire(e); }; };
  const auto thenTick = [](std::function<void(World&)> change) {
    return [change](World& w) { change(w); w.advance(0.25); };
  };
  struct Source {
    std::string message;
    std::function<void(World&)> cause;
    bool keepsCreative = false, keepsSurface = false;
  };
  const std::vector<Source> sources = {
      {"The display went to sleep.", event(SystemEvent::screensDidSleep)},
      {"The display went to sleep.", event(SystemEvent::willSleep)},
      {"The session became inactive.", event(SystemEvent::sessionDidResignActive)},
      {"The desktop changed.", event(SystemEvent::activeSpaceDidChange)},
      {"The display layout changed.", event(SystemEvent::screenParametersDidChange)},
      {"Controls are open; sponsored exposure is paused.", [](World& w) { w.model().setControlsOpen(true); }, true},
      {"Sponsorship is paused.", [](World& w) { w.model().setPaused(true); }},
      {"Sponsorship was turned off.", [](World& w) { w.model().setConsent(false); }},
      {"Sponsor preferences changed.",
       [](World& w) { w.model().updateSponsorPreferences([](SponsorPreferences& p) { p.startMinute = 1; }); }},
      {"Nimbrella was quit.",
       [](World& w) { w.model().interrupt("Nimbrella was quit.", AppModel::Hide::nothing, AppModel::Surface::drop); },
       true},
      {"The computer has been inactive for more than five minutes.", thenTick([](World& w) { w.idle->seconds = 301; })},
      // A sampling gap, as after a stalled main thread.
      {"Exposure was interrupted; a new session is required.",
       thenTick([](World& w) { w.clock->uptimeOffset += 1.5; }), true, true},
      {"The menu-bar item is hidden.", thenTick([](World& w) { w.monitor->checks.statusItemVisible = false; }), true,
       true},
      {"The exposure lease expired.", thenTick([](World& w) { w.clock->wallOffset = seconds(120); })},
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.message);
    World w;
    AppModel& model = measuring(w);
    w.server->scriptHold(startPath);  // any later request stays unanswered
    w.advance(2);
    const int hidesBefore = w.monitor->hides;
    source.cause(w);
    w.settle();
    EXPECT_EQ(std::tuple(model.message(), model.exposureState().activeLease.has_value(), w.monitor->contentReady,
                         model.displayCreative().has_value(), w.monitor->hides == hidesBefore),
              std::tuple(source.message + noReward, false, false, source.keepsCreative, source.keepsSurface));
    EXPECT_EQ(cancelled(w), std::vector<std::string>{"lease-1"});
    // A sponsor left on screen goes at its lease's expiry (120 s after the fetch), not before.
    w.advance(115);
    EXPECT_EQ(model.displayCreative().has_value(), source.keepsCreative);
    w.advance(3);
    EXPECT_FALSE(model.displayCreative().has_value());
    EXPECT_EQ(w.server->count(completePath), 0u);
  }
}

TEST_F(ExposureTest, StaleFetchResultsAreCancelledAndNeverPainted) {
  AppModel& model = startPaired(world);
  world.server->scriptHold(startPath);
  world.advance(0.25);
  world.events->fire(SystemEvent::activeSpaceDidChange);
  world.server->release(startPath);
  world.settle();
  EXPECT_FALSE(model.isBusy() || model.exposureState().activeLease || model.displayCreative());
  EXPECT_EQ(std::tuple(model.menuText(), model.message()), std::tuple("", "The desktop changed."));
  EXPECT_EQ(cancelled(world), std::vector<std::string>{"lease-1"});

  // A stale failure is dropped without a message as well.
  world.server->scriptHold(startPath);
  world.advance(31);
  model.setControlsOpen(true);
  world.server->release(startPath, HttpResponse{500, {}, "{}"});
  world.settle();
  EXPECT_EQ(model.message(), "Controls are open; sponsored exposure is paused.");

  // An item from an advertiser blocked meanwhile is refused too; closing the controls asks again after a second.
  world.server->scriptHold(startPath);
  model.setControlsOpen(false);
  world.advance(1.25);
  ASSERT_EQ(world.server->held(startPath), 1u);
  model.updateSponsorPreferences(
      [](SponsorPreferences& p) { p.addExclusion("6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b", "Acme"); });
  world.server->release(startPath);
  world.settle();
  EXPECT_FALSE(model.displayCreative().has_value());
}

// The delay of each reason is core's (tests/core/exposure_clock_test).
TEST_F(ExposureTest, RefusedFailedAndEmptyAnswersShowTheirTextAndWaitForTheirReason) {
  struct Case {
    std::string name;
    std::function<void(ExposureLease&)> change;
    std::optional<Scripted> answer;
    std::string message;
    int waitSeconds = 300;
  };
  const auto noFill = [](const char* why) { return HttpResponse{204, {HttpHeader{"X-Nimbrella-Reason", why}}, ""}; };
  const std::string none = "No sponsor is available right now. Nimbrella will check again later.";
  const std::vector<Case> cases = {
      {"another network mode", [](ExposureLease& l) { l.mode = NetworkMode::sandbox; }, {}, refusedText},
      {"a duration the terms do not allow", [](ExposureLease& l) { l.durationMs = 9'000; }, {}, refusedText},
      {"a forged menu text", [](ExposureLease& l) { l.creative.menuText = "Ad \xC2\xB7 Other"; }, {}, refusedText},
      {"a network failure", {}, refused, networkText},
      // Not a revocation: the computer stays paired.
      {"a server error", {}, HttpResponse{402, {}, "{}"}, "The server could not complete this request (HTTP 402)."},
      {"a cooldown", {}, noFill("cooldown"), "This campaign has a short wait before the next exposure.", 5},
      {"everything filtered", {}, noFill("preferences_filtered"), none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    if (c.change) changeLeases(w, [&c](ExposureLease& l, std::int64_t) { c.change(l); });
    if (c.answer) w.server->script(startPath, *c.answer);
    AppModel& model = startPaired(w);
    w.advance(0.25);
    const bool filtered = c.name == "everything filtered";
    EXPECT_EQ(std::tuple(model.message(), model.displayCreative().has_value(), model.isPaired(),
                         model.preferencesFiltered(), model.preferenceStatus().value_or("")),
              std::tuple(c.message, false, true, filtered, filtered ? "No sponsors match your choices" : ""));
    EXPECT_EQ(cancelled(w).size(), c.change ? 1u : 0u);  // a refused lease is given back
    EXPECT_EQ(model.exposureState().nextFetch, w.clock->now() + seconds(c.waitSeconds));
    w.advance(c.waitSeconds + 0.25);
    EXPECT_TRUE(c.change || (model.displayCreative() && !model.preferenceStatus()));
  }
}

TEST_F(ExposureTest, PreviewsAreMeasuredButNeverSignedAndTheNextRequestNamesTheirCampaign) {
  const std::string campaign = "5b0c61f4-8a4e-4d6b-9b0e-3f3d2a1c0b9a";
  changeLeases(world, [&](ExposureLease& lease, std::int64_t n) {
    if (n == 2) return;
    lease.preview = true;
    lease.termsVersion = lease.measurementVersion = "admin-preview-v1";
    lease.rewardMicros = 0;
    lease.campaignId = campaign;
  });
  AppModel& model = measuring(world);
  EXPECT_TRUE(model.isShowingPreview());
  EXPECT_EQ(model.message(), "Admin preview. No budget is spent and no earnings or ad statistics are generated.");
  world.advance(10.25);
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(world.server->count(completePath), 0u);
  ASSERT_EQ(world.server->count(startPath), 2u);  // at once, on the next tick
  EXPECT_EQ(json::parse(lastBody(world, startPath))["afterPreviewCampaignId"], campaign);
  EXPECT_FALSE(model.isShowingPreview() || model.exposureState().lastPreviewCampaignId);

  // An interrupted preview is not cancelled and allows an immediate retry.
  world.advance(72);
  ASSERT_TRUE(model.isShowingPreview());
  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_TRUE(cancelled(world).empty());
  EXPECT_EQ(model.exposureState().nextFetch, Date::min());
}

TEST_F(ExposureTest, ConfirmationIsRetriedWithTheSameReceiptAcrossARestartUntilTheServersFinalAnswer) {
  AppModel& model = measuring(world);
  world.server->scriptStatus(completePath, 503);
  world.server->script(completePath, refused);
  // Accepted without a receipt id, and with a negative reward: not a confirmation.
  world.server->scriptStatus(completePath, 200, R"({"status":"accepted","rewardMicros":5,"balanceMicros":5})");
  world.server->scriptStatus(completePath, 200,
                             R"({"status":"accepted","receiptId":"r","rewardMicros":-5,"balanceMicros":5})");
  world.server->scriptStatus(completePath, 503);  // the first try after the restart
  world.server->scriptStatus(completePath, 200, R"({"status":"rejected","reason":"duplicate"})");
  world.advance(10.25);
  const std::string first = lastBody(world, completePath);
  for (std::size_t attempt = 2; attempt <= 4; ++attempt) {
    EXPECT_EQ(std::tuple(model.confirmationPending(), model.message(), model.balanceMicros()),
              std::tuple(true, unconfirmedText, 0));
    world.advance(14.5);
    EXPECT_EQ(world.server->count(completePath), attempt - 1);
    world.advance(0.5);
    EXPECT_EQ(std::tuple(world.server->count(completePath), lastBody(world, completePath)), std::tuple(attempt, first));
  }

  // Restarted before an answer: the stored receipt is sent again at once and nothing new is
  // asked for while it waits.
  AppModel& restarted = world.build();
  EXPECT_EQ(std::tuple(restarted.confirmationPending(), restarted.message()),
            std::tuple(true, "Restoring the previous exposure's confirmation."));
  restarted.start();
  world.advance(1);
  EXPECT_EQ(std::tuple(world.server->count(completePath), lastBody(world, completePath),
                       world.server->count(startPath)),
            std::tuple(5u, first, 1u));
  // Rejected is final: the receipt is deleted and never sent again, not even by the popover's retry.
  world.advance(15);
  EXPECT_EQ(restarted.message(), "This exposure was rejected. No new reward was confirmed.");
  EXPECT_FALSE(restarted.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));
  restarted.confirmCompletion();
  world.advance(30);
  EXPECT_EQ(world.server->count(completePath), 6u);
}

TEST_F(ExposureTest, SandboxRewardsAreTestCredits) {
  World dev(ClientEnvironment::development);
  dev.server->mode = NetworkMode::sandbox;
  dev.server->rewardMicros = 250'000;
  dev.storePairing(NetworkMode::sandbox);
  dev.storeConsent();
  AppModel& model = started(dev);
  dev.advance(11);
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "0.25 in test credits recorded for the menu-bar exposure.");
}

TEST_F(ExposureTest, A401FromFetchConfirmationOrRefreshErasesCredentialKeyAndPendingCompletion) {
  for (const std::string path : {startPath, completePath, mePath}) {
    SCOPED_TRACE(path);
    World w;
    AppModel& model = startPaired(w);
    if (path == completePath) w.advance(0.75);
    w.server->scriptStatus(path, 401);
    w.advance(path == startPath ? 0.25 : path == mePath ? 15.25 : 10.25);
    w.settle();
    EXPECT_EQ(std::tuple(model.message(), model.menuText(), model.balanceMicros()),
              std::tuple(notAuthorizedText, "Nimbrella", 0));
    EXPECT_FALSE(model.isPaired() || model.accountState().credential || model.accountState().signer ||
                 model.consent() || model.isBusy() || model.confirmationPending() ||
                 model.exposureState().pendingCompletion || model.balanceLoaded());
    for (const auto account : {vaultAccount::deviceCredential, vaultAccount::receiptSigningPrivate,
                               vaultAccount::pendingCompletion}) {
      EXPECT_FALSE(w.secrets->has(account)) << account;
    }
    EXPECT_EQ(w.defaults->boolean("menubarSponsorshipConsentV1"), false);
    const std::size_t requests = w.server->requests.size();
    w.advance(60);
    EXPECT_EQ(w.server->requests.size(), requests);  // nothing more is asked
  }

  // A vault that cannot delete still signs the computer out in memory.
  AppModel& model = startPaired(world);
  world.secrets->failRemoves = true;
  world.server->scriptStatus(startPath, 401);
  world.advance(0.25);
  EXPECT_EQ(std::tuple(model.isPaired(), model.message()), std::tuple(false, notAuthorizedText));
}

TEST_F(ExposureTest, AFailedCancelHoldsBackFetchingUntilTheLeasesExpiryButNoLongerThanAQuarterHour) {
  // Interrupted at 2.75 s, the cancel fails at 42.75 s; the next request waits for the
  // lease's expiry, at most 15 minutes after the failure. A successful cancel only waits
  // the usual 30 seconds, and an interrupted one-minute lease none at all.
  struct Case {
    double expiresIn;
    const char* terms;
    bool cancelFails;
    double wait;  // after the interruption, or after the failure
  };
  for (const Case& c : {Case{600, "brand-v1", true, 600 - 42.75}, Case{2 * 86400.0, "brand-v1", true, 900},
                        Case{120, "brand-v1", false, 30}, Case{120, "minute-v2", false, 0.25}}) {
    SCOPED_TRACE(c.wait);
    World w;
    changeLeases(w, [&w, c](ExposureLease& lease, std::int64_t) {
      lease.expiresAt = w.server->nowText(c.expiresIn);
      lease.termsVersion = c.terms;
      if (lease.isMinute()) {
        lease.durationMs = 60'000;
        lease.measurementVersion = "menubar-qualified-60s-v2";
      }
    });
    AppModel& model = measuring(w);
    if (c.cancelFails) {
      w.server->scriptHold(cancelPath);
      w.advance(2);
    }
    w.events->fire(SystemEvent::activeSpaceDidChange);
    if (c.cancelFails) {
      w.advance(40);
      EXPECT_EQ(w.server->count(startPath), 1u);  // waits while the cancel is in flight
      w.server->release(cancelPath, HttpResponse{500, {}, "{}"});
      w.settle();
      EXPECT_EQ(model.exposureState().pendingCancellations, 0);
    }
    w.advance(c.wait - 0.25);
    EXPECT_EQ(w.server->count(startPath), 1u);
    w.advance(0.5);
    EXPECT_EQ(w.server->count(startPath), 2u);
  }
}

TEST_F(ExposureTest, AReceiptTheKeyringRefusesIsSentFromMemoryAndStoredLaterAndOneThatCannotBeDeletedIsRetried) {
  AppModel& model = measuring(world);
  world.secrets->failWrites = true;
  world.server->scriptHold(completePath);
  world.advance(10.25);
  // Sent all the same while the user is asked to unlock the keyring, and the lease is kept.
  EXPECT_EQ(std::tuple(world.server->held(completePath), model.confirmationPending(),
                       world.secrets->has(vaultAccount::pendingCompletion), model.message()),
            std::tuple(1u, true, false, keychainText));
  world.server->release(completePath, HttpResponse{503, {}, "{}"});
  EXPECT_TRUE(cancelled(world).empty());
  // Once the keyring takes it, the same receipt is stored before it is sent again.
  world.secrets->failWrites = false;
  world.server->scriptHold(completePath);
  world.advance(15);
  ASSERT_EQ(world.server->held(completePath), 1u);
  EXPECT_TRUE(world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(world.server->requestsTo(completePath).front().body, world.server->requestsTo(completePath).back().body);
  world.server->release(completePath);
  world.settle();
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));

  // The next item comes 60 s after the confirmation; its record cannot be deleted at first.
  world.advance(60.5);
  ASSERT_TRUE(model.exposureState().activeLease.has_value());
  world.secrets->failRemoves = true;
  world.advance(11);
  EXPECT_EQ(world.server->count(completePath), 3u);
  EXPECT_TRUE(model.confirmationPending() && world.secrets->has(vaultAccount::pendingCompletion));
  world.secrets->failRemoves = false;
  world.advance(15);
  EXPECT_EQ(world.server->count(completePath), 4u);
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));

  // A keyring locked throughout: the server's acceptance ends it, with no record to wait for.
  World locked;
  AppModel& unstored = measuring(locked);
  locked.secrets->failWrites = locked.secrets->failRemoves = true;
  locked.advance(10.25);
  EXPECT_EQ(std::tuple(locked.server->count(completePath), unstored.confirmationPending()), std::tuple(1u, false));
}

}  // namespace
}  // namespace nimbrella::simulation
