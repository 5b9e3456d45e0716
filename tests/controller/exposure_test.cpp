// The exposure cycle in simulated time: earning, interrupting, stale results, no-fill
// cadence, previews, confirmation retries, revocation and failed cancellations.

#include "controller/support/ControllerTest.hpp"

#include <tuple>

namespace nimbrella::simulation {
namespace {

using ExposureTest = ControllerTest;

const std::string notAuthorized = "This computer is not authorized. Pair again from your dashboard.";

TEST_F(ExposureTest, WholeEarningPathStoresTheReceiptBeforeSendingItAndCreditsTheServersFigure) {
  world.server->balanceMicros = 2'000'000;
  world.server->rewardMicros = 1'500'000;
  std::optional<std::string> storedWhenSent;
  bool pendingWhenSent = false;
  world.server->onRequest = [&](const HttpRequest& request) {
    if (pathOf(request.url) != completePath) return;
    storedWhenSent = world.secrets->text(vaultAccount::pendingCompletion);
    pendingWhenSent = world.model().confirmationPending();
  };
  AppModel& model = startPaired(world);

  world.advance(0.25);  // the first tick asks for an item
  ASSERT_EQ(world.server->count(startPath), 1u);
  EXPECT_EQ(std::tuple(model.menuText(), world.monitor->expectedText, model.menuWidth()),
            std::tuple("Ad \xC2\xB7 Acme", "Ad \xC2\xB7 Acme", 280.0));
  EXPECT_EQ(model.message(), "Sponsored name displayed. Earnings require uninterrupted local and server checks.");

  world.advance(0.3);  // not settled yet: no sample
  EXPECT_FALSE(world.monitor->contentReady);
  EXPECT_EQ(world.monitor->snapshots, 0);
  world.advance(0.2);  // 0.4 s after display
  EXPECT_TRUE(world.monitor->contentReady && world.monitor->syncedAllowed);
  EXPECT_EQ(world.monitor->redraws, 1);

  world.advance(9.9);
  EXPECT_EQ(world.server->count(completePath), 0u);
  world.advance(0.5);
  ASSERT_EQ(world.server->count(completePath), 1u);

  // The signed record was stored, and marked pending, before it was sent.
  ASSERT_TRUE(storedWhenSent.has_value());
  EXPECT_TRUE(pendingWhenSent);
  // The real server verifies and credits what is sent (tests/e2e, tests/faults).
  const auto sent = decodeJson<CompleteRequest>(lastBody(world, completePath));
  EXPECT_EQ(decodeJson<PersistedCompletion>(*storedWhenSent).request, sent);
  EXPECT_EQ(std::tuple(sent.leaseId, sent.elapsedMs, sent.sequence), std::tuple("lease-1", 10'000, 1));

  world.settle();
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "1.50 in rewards recorded for the menu-bar exposure.");
  EXPECT_EQ(model.balanceMicros(), 3'500'000);
  EXPECT_FALSE(model.confirmationPending() || model.isBusy() || world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(model.menuText(), "Ad \xC2\xB7 Acme");  // the sponsor stays painted
  // Completed at 10.75 s: the next request comes 60 s later.
  world.advance(59.5);
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
    w.advance(2);
    const int hidesBefore = w.monitor->hides;
    source.cause(w);
    w.settle();
    EXPECT_EQ(model.message(), source.message + noReward);
    EXPECT_FALSE(model.exposureState().activeLease.has_value() || w.monitor->contentReady);
    EXPECT_EQ(model.displayCreative().has_value(), source.keepsCreative);
    EXPECT_EQ(w.monitor->hides == hidesBefore, source.keepsSurface);
    ASSERT_EQ(w.server->count(cancelPath), 1u);
    EXPECT_EQ(json::parse(lastBody(w, cancelPath))["leaseId"], "lease-1");
    EXPECT_EQ(w.server->count(completePath), 0u);
  }
}

TEST_F(ExposureTest, StaleFetchResultsAreCancelledAndNeverPainted) {
  AppModel& model = startPaired(world);
  world.server->scriptHold(startPath);
  world.advance(0.25);
  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_EQ(model.message(), "The desktop changed.");  // no lease yet: no suffix
  world.server->release(startPath);
  world.settle();
  EXPECT_FALSE(model.isBusy() || model.exposureState().activeLease || model.displayCreative());
  EXPECT_EQ(model.menuText(), "");
  EXPECT_EQ(model.message(), "The desktop changed.");
  EXPECT_EQ(world.server->count(cancelPath), 1u);

  // A stale failure is dropped without a message as well.
  world.server->scriptHold(startPath);
  world.advance(31);
  model.setControlsOpen(true);
  world.server->release(startPath, HttpResponse{500, {}, "{}"});
  world.settle();
  EXPECT_EQ(model.message(), "Controls are open; sponsored exposure is paused.");

  // An item from an advertiser blocked meanwhile is refused too.
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
TEST_F(ExposureTest, ANoFillWaitsForItsReasonAndPreferencesFilteredIsShownUntilTheNextItem) {
  AppModel& model = startPaired(world);
  world.server->script(startPath, HttpResponse{204, {HttpHeader{"X-Nimbrella-Reason", "preferences_filtered"}}, ""});
  world.advance(0.25);
  EXPECT_EQ(model.exposureState().nextFetch, world.clock->now() + seconds(300));
  EXPECT_TRUE(model.preferencesFiltered());
  EXPECT_EQ(model.message(), "No sponsor is available right now. Nimbrella will check again later.");
  EXPECT_EQ(model.preferenceStatus(), "No sponsors match your choices");
  world.advance(301);
  EXPECT_TRUE(model.displayCreative().has_value());
  EXPECT_EQ(model.preferenceStatus(), std::nullopt);
}

TEST_F(ExposureTest, UnsafeMismatchedOrFailedAnswersAreRefusedWholeWithTheRightText) {
  struct Case {
    std::string name;
    std::function<void(ExposureLease&)> change;
    std::optional<Scripted> answer;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"another network mode", [](ExposureLease& l) { l.mode = NetworkMode::sandbox; }, {}, refusedText},
      {"a duration the terms do not allow", [](ExposureLease& l) { l.durationMs = 9'000; }, {}, refusedText},
      {"a forged menu text", [](ExposureLease& l) { l.creative.menuText = "Ad \xC2\xB7 Other"; }, {}, refusedText},
      {"a network failure", {}, refused, networkText},
      {"a server error", {}, HttpResponse{503, {}, "{}"}, "The server could not complete this request (HTTP 503)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    if (c.change) changeLeases(w, [&c](ExposureLease& l, std::int64_t) { c.change(l); });
    if (c.answer) w.server->script(startPath, *c.answer);
    AppModel& model = startPaired(w);
    w.advance(0.25);
    EXPECT_EQ(model.message(), c.message);
    EXPECT_FALSE(model.displayCreative().has_value());
    EXPECT_TRUE(model.isPaired());
    EXPECT_EQ(w.server->count(cancelPath), c.change ? 1u : 0u);  // a refused lease is given back
    EXPECT_EQ(model.exposureState().nextFetch, w.clock->now() + seconds(300));
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
  EXPECT_FALSE(model.isShowingPreview());
  EXPECT_EQ(model.exposureState().lastPreviewCampaignId, std::nullopt);

  // An interrupted preview is not cancelled and allows an immediate retry.
  world.advance(72);
  ASSERT_TRUE(model.isShowingPreview());
  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_EQ(world.server->count(cancelPath), 0u);
  EXPECT_EQ(model.exposureState().nextFetch, Date::min());
}

TEST_F(ExposureTest, ConfirmationIsRetriedWithTheSameSignatureAndBlocksFetchingUntilAnswered) {
  AppModel& model = measuring(world);
  world.server->scriptStatus(completePath, 500);
  world.server->script(completePath, refused);
  // Accepted without a receipt id, and with a negative reward: not a confirmation.
  world.server->scriptStatus(completePath, 200, R"({"status":"accepted","rewardMicros":5,"balanceMicros":5})");
  world.server->scriptStatus(completePath, 200,
                             R"({"status":"accepted","receiptId":"r","rewardMicros":-5,"balanceMicros":5})");
  world.advance(10.25);
  ASSERT_EQ(world.server->count(completePath), 1u);
  const std::string first = lastBody(world, completePath);
  for (std::size_t attempt = 2; attempt <= 5; ++attempt) {
    EXPECT_TRUE(model.confirmationPending());
    EXPECT_EQ(model.message(),
              "Exposure confirmation is unavailable. Nimbrella will retry the same receipt; no additional reward is "
              "confirmed.");
    EXPECT_EQ(world.server->count(startPath), 1u);  // nothing new while a receipt waits
    EXPECT_EQ(model.balanceMicros(), 0);
    world.advance(14.5);
    EXPECT_EQ(world.server->count(completePath), attempt - 1);
    world.advance(0.5);
    ASSERT_EQ(world.server->count(completePath), attempt);
    EXPECT_EQ(lastBody(world, completePath), first);
  }
  EXPECT_FALSE(model.confirmationPending());

  // The popover's retry action never sends without a receipt.
  model.confirmCompletion();
  world.settle();
  EXPECT_EQ(world.server->count(completePath), 5u);
}

TEST_F(ExposureTest, RejectedIsFinalAndSandboxRewardsAreTestCredits) {
  World dev(ClientEnvironment::development);
  dev.server->mode = NetworkMode::sandbox;
  dev.server->rewardMicros = 250'000;
  dev.storePairing(NetworkMode::sandbox);
  dev.storeConsent();
  AppModel& model = dev.build();
  model.start();
  dev.advance(11);
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "0.25 in test credits recorded for the menu-bar exposure.");

  dev.server->scriptStatus(completePath, 200, R"({"status":"rejected","reason":"duplicate"})");
  dev.advance(60 + 11);
  EXPECT_EQ(model.message(), "This exposure was rejected. No new reward was confirmed.");
  EXPECT_FALSE(model.confirmationPending() || dev.secrets->has(vaultAccount::pendingCompletion));
  dev.advance(60);
  EXPECT_EQ(dev.server->count(completePath), 2u);
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
    EXPECT_EQ(model.message(), notAuthorized);
    EXPECT_FALSE(model.isPaired() || model.accountState().credential || model.accountState().signer.has_value() ||
                 model.consent() || model.isBusy());
    EXPECT_FALSE(model.confirmationPending() || model.exposureState().pendingCompletion || model.balanceLoaded());
    EXPECT_EQ(model.balanceMicros(), 0);
    EXPECT_EQ(model.menuText(), "Nimbrella");
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
  EXPECT_FALSE(model.isPaired());
  EXPECT_EQ(model.message(), notAuthorized);
}

TEST_F(ExposureTest, AFailedCancelHoldsBackFetchingUntilTheLeasesExpiryButNoLongerThanAQuarterHour) {
  // Interrupted at 2.75 s, the cancel fails at 42.75 s; the next request waits for
  // the lease's expiry, at most 15 minutes after the failure.
  for (const auto& [expiresIn, waitAfterFailure] : {std::pair{600.0, 600 - 42.75}, std::pair{2 * 86400.0, 900.0}}) {
    SCOPED_TRACE(expiresIn);
    World w;
    changeLeases(w, [&w, expiresIn](ExposureLease& lease, std::int64_t) { lease.expiresAt = w.server->nowText(expiresIn); });
    AppModel& model = measuring(w);
    w.server->scriptHold(cancelPath);
    w.advance(2);
    w.events->fire(SystemEvent::activeSpaceDidChange);
    w.advance(40);
    EXPECT_EQ(w.server->count(startPath), 1u);  // waits while the cancel is in flight
    w.server->release(cancelPath, HttpResponse{500, {}, "{}"});
    w.settle();
    EXPECT_EQ(model.exposureState().pendingCancellations, 0);
    w.advance(waitAfterFailure - 0.5);
    EXPECT_EQ(w.server->count(startPath), 1u);
    w.advance(1);
    EXPECT_EQ(w.server->count(startPath), 2u);
  }

  // A successful cancel only waits the usual 30 seconds, and an interrupted one-minute
  // lease none at all.
  for (const auto& [terms, wait] : {std::pair{"brand-v1", 30.0}, std::pair{"minute-v2", 0.25}}) {
    SCOPED_TRACE(terms);
    World w;
    changeLeases(w, [terms](ExposureLease& lease, std::int64_t) {
      lease.termsVersion = terms;
      if (lease.isMinute()) {
        lease.durationMs = 60'000;
        lease.measurementVersion = "menubar-qualified-60s-v2";
      }
    });
    measuring(w);
    w.events->fire(SystemEvent::activeSpaceDidChange);
    w.advance(wait - 0.25);
    EXPECT_EQ(w.server->count(startPath), 1u);
    w.advance(0.25);
    EXPECT_EQ(w.server->count(startPath), 2u);
  }
}

TEST_F(ExposureTest, ACompletionThatCannotBeStoredIsNeverSentAndOneThatCannotBeDeletedIsRetried) {
  AppModel& model = measuring(world);
  world.secrets->failWrites = true;
  world.advance(10.25);
  EXPECT_EQ(model.message(), keychainText);
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_EQ(world.server->count(completePath), 0u);
  // The lease is given back, so that the server does not hold it open.
  ASSERT_EQ(world.server->count(cancelPath), 1u);
  EXPECT_EQ(json::parse(lastBody(world, cancelPath))["leaseId"], "lease-1");
  world.secrets->failWrites = false;

  world.advance(299);
  ASSERT_TRUE(model.exposureState().activeLease.has_value());
  world.secrets->failRemoves = true;
  world.advance(2);
  EXPECT_EQ(world.server->count(completePath), 1u);
  EXPECT_TRUE(model.confirmationPending() && world.secrets->has(vaultAccount::pendingCompletion));
  world.secrets->failRemoves = false;
  world.advance(15);
  EXPECT_EQ(world.server->count(completePath), 2u);
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));
}

TEST_F(ExposureTest, TheSponsorLeftOnScreenGoesAtItsExpiryOnlyAfterTheLeaseEnded) {
  AppModel& model = measuring(world);
  world.server->scriptHold(startPath);  // the next request stays unanswered
  world.monitor->checks.occlusionVisible = false;
  world.advance(0.25);
  EXPECT_TRUE(model.displayCreative().has_value());  // invalidated: the item stays
  world.monitor->checks.occlusionVisible = true;
  world.advance(118);
  EXPECT_TRUE(model.displayCreative().has_value());
  world.advance(2);
  EXPECT_FALSE(model.displayCreative().has_value());
  EXPECT_EQ(model.menuText(), "");
}

}  // namespace
}  // namespace nimbrella::simulation
