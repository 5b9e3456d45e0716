// The exposure cycle in simulated time: earning, interrupting, stale results, no-fill
// cadence, previews, confirmation retries, revocation and failed cancellations.

#include "controller/support/ControllerTest.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorCore/Json.hpp"

#include <chrono>
#include <functional>

namespace nimbrella::simulation {
namespace {

using std::chrono::seconds;

class ExposureTest : public ControllerTest {};

TEST_F(ExposureTest, WholeEarningPathStoresTheReceiptBeforeSendingItAndCreditsTheServersFigure) {
  world.server->balanceMicros = 2'000'000;
  world.server->rewardMicros = 1'500'000;
  std::optional<std::string> storedWhenSent;
  bool pendingWhenSent = false;
  world.server->onRequest = [&](const HttpRequest& request) {
    if (pathOf(request.url) == completePath) {
      storedWhenSent = world.secrets->text(vaultAccount::pendingCompletion);
      pendingWhenSent = world.model().confirmationPending();
    }
  };
  AppModel& model = startPaired();
  EXPECT_EQ(model.balanceMicros(), 2'000'000);

  world.advance(0.25);  // first tick asks for an item
  ASSERT_EQ(world.server->count(startPath), 1u);
  const auto request = json::parse(lastBody(startPath));
  EXPECT_EQ(request["placement"], "menubar-v1");
  EXPECT_FALSE(request.contains("afterPreviewCampaignId"));
  EXPECT_EQ(model.menuText(), "Ad \xC2\xB7 Acme");
  EXPECT_EQ(model.menuWidth(), 280);
  EXPECT_EQ(model.message(), "Sponsored name displayed. Earnings require uninterrupted local and server checks.");
  EXPECT_EQ(model.displayedLeaseId(), "lease-1");
  EXPECT_FALSE(world.monitor->contentReady);
  EXPECT_EQ(world.monitor->expectedText, "Ad \xC2\xB7 Acme");

  world.advance(0.3);  // not settled yet: no sample
  EXPECT_FALSE(world.monitor->contentReady);
  EXPECT_EQ(world.monitor->snapshots, 0);
  world.advance(0.2);  // 0.4 s after display
  EXPECT_TRUE(world.monitor->contentReady);
  EXPECT_EQ(world.monitor->redraws, 1);
  EXPECT_TRUE(world.monitor->syncedAllowed);

  world.advance(9.9);
  EXPECT_EQ(world.server->count(completePath), 0u);
  world.advance(0.5);
  ASSERT_EQ(world.server->count(completePath), 1u);

  // The signed record was stored, and marked pending, before it was sent.
  ASSERT_TRUE(storedWhenSent.has_value());
  EXPECT_TRUE(pendingWhenSent);
  const auto stored = decodeJson<PersistedCompletion>(*storedWhenSent);
  const auto sent = decodeJson<CompleteRequest>(lastBody(completePath));
  EXPECT_EQ(stored.request, sent);
  EXPECT_EQ(stored.termsVersion, "brand-v1");
  EXPECT_EQ(stored.deviceId, world.server->deviceId);
  EXPECT_EQ(sent.leaseId, "lease-1");
  EXPECT_EQ(sent.elapsedMs, 10'000);
  EXPECT_EQ(sent.sequence, 1);
  EXPECT_TRUE(verifyReceiptSignature(ReceiptSigner(world.signingKey).publicKey(),
                                     ReceiptSigner::message("lease-1", "nonce-1", 10'000, 1), sent.signature));

  world.settle();
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "1.50 in rewards recorded for the menu-bar exposure.");
  EXPECT_EQ(model.balanceMicros(), 3'500'000);
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_FALSE(model.isBusy());
  // The sponsor stays painted; the next item waits for the completion cadence.
  EXPECT_EQ(model.menuText(), "Ad \xC2\xB7 Acme");
  // Completed at 10.75 s: the next request comes 60 s later.
  world.advance(59.5);
  EXPECT_EQ(world.server->count(startPath), 1u);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(ExposureTest, EveryInterruptSourceEndsTheExposureWithItsMessageAndCancelsTheLease) {
  struct Source {
    std::string message;
    std::function<void(World&)> cause;
    bool keepsCreative;
  };
  const std::vector<Source> sources = {
      {"The display went to sleep.", [](World& w) { w.events->fire(SystemEvent::screensDidSleep); }, false},
      {"The display went to sleep.", [](World& w) { w.events->fire(SystemEvent::willSleep); }, false},
      {"The session became inactive.", [](World& w) { w.events->fire(SystemEvent::sessionDidResignActive); }, false},
      {"The desktop changed.", [](World& w) { w.events->fire(SystemEvent::activeSpaceDidChange); }, false},
      {"The display layout changed.", [](World& w) { w.events->fire(SystemEvent::screenParametersDidChange); },
       false},
      {"Controls are open; sponsored exposure is paused.", [](World& w) { w.model().setControlsOpen(true); }, true},
      {"Sponsorship is paused.", [](World& w) { w.model().setPaused(true); }, false},
      {"Sponsorship was turned off.", [](World& w) { w.model().setConsent(false); }, false},
      {"Sponsor preferences changed.",
       [](World& w) { w.model().updateSponsorPreferences([](SponsorPreferences& p) { p.startMinute = 1; }); },
       false},
      {"Nimbrella was quit.", [](World& w) { w.model().interrupt("Nimbrella was quit.", false, false); }, true},
      {"The Mac has been inactive for more than five minutes.",
       [](World& w) {
         w.idle->seconds = 301;
         w.advance(0.25);
       },
       false},
      {"Exposure was interrupted; a new session is required.",
       [](World& w) {
         w.clock->uptimeOffset += 1.5;  // a sampling gap, as after a stalled main thread
         w.advance(0.25);
       },
       true},
      {"The menu-bar item is hidden. No earnings while this is unverified.",
       [](World& w) {
         w.monitor->checks.statusItemVisible = false;
         w.advance(0.25);
       },
       true},
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.message);
    World w;
    AppModel& model = simulation::startPaired(w);
    simulation::untilMeasuring(w);
    w.advance(2);
    const int hidesBefore = w.monitor->hides;
    source.cause(w);
    w.settle();

    std::string expected = source.message;
    if (source.message.find("No earnings") != std::string::npos) {
      expected = "The menu-bar item is hidden.";
    }
    EXPECT_EQ(model.message(), expected + noReward);
    EXPECT_FALSE(model.activeLease().has_value());
    EXPECT_FALSE(w.monitor->contentReady);
    EXPECT_EQ(model.displayCreative().has_value(), source.keepsCreative);
    ASSERT_EQ(w.server->count(cancelPath), 1u);
    EXPECT_EQ(json::parse(simulation::lastBody(w, cancelPath))["leaseId"], "lease-1");
    EXPECT_EQ(w.server->count(completePath), 0u);
    if (source.message.rfind("Controls are open", 0) == 0) {
      // The item stays but the surface window is hidden.
      EXPECT_GT(w.monitor->hides, hidesBefore);
    }
  }
}

TEST_F(ExposureTest, PopoverMidExposureThenClosingFetchesOneSecondLater) {
  AppModel& model = startPaired();
  untilMeasuring();
  model.setControlsOpen(true);
  world.settle();
  EXPECT_EQ(model.message(), std::string("Controls are open; sponsored exposure is paused.") + noReward);
  EXPECT_TRUE(model.displayCreative().has_value());
  EXPECT_EQ(world.server->count(mePath), 2u);  // opening refreshes
  world.advance(40);
  EXPECT_EQ(world.server->count(startPath), 1u);  // nothing while open
  model.setControlsOpen(false);
  EXPECT_EQ(model.nextFetch(), world.clock->now() + seconds(1));
  world.advance(0.75);
  EXPECT_EQ(world.server->count(startPath), 1u);
  world.advance(0.5);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(ExposureTest, StaleFetchResultsAreCancelledAndNeverPainted) {
  AppModel& model = startPaired();
  world.server->scriptHold(startPath);
  world.advance(0.25);
  ASSERT_EQ(world.server->held(startPath), 1u);
  EXPECT_TRUE(model.isBusy());

  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_EQ(model.message(), "The desktop changed.");  // no lease yet: no suffix
  world.server->release(startPath);
  world.settle();
  EXPECT_FALSE(model.isBusy());
  EXPECT_FALSE(model.activeLease().has_value());
  EXPECT_FALSE(model.displayCreative().has_value());
  EXPECT_EQ(model.menuText(), "");
  EXPECT_EQ(model.message(), "The desktop changed.");
  EXPECT_EQ(world.server->count(cancelPath), 1u);

  // A stale failure is dropped without a message as well.
  world.server->scriptHold(startPath);
  world.advance(31);
  ASSERT_EQ(world.server->held(startPath), 1u);
  model.setControlsOpen(true);
  world.server->release(startPath, HttpResponse{500, {}, "{}"});
  world.settle();
  EXPECT_EQ(model.message(), "Controls are open; sponsored exposure is paused.");

  // An item from an advertiser blocked meanwhile is refused too.
  world.server->scriptHold(startPath);
  model.setControlsOpen(false);
  world.advance(1.25);
  ASSERT_EQ(world.server->held(startPath), 1u);
  model.updateSponsorPreferences([](SponsorPreferences& preferences) {
    preferences.addExclusion("6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b", "Acme");
  });
  world.server->release(startPath);
  world.settle();
  EXPECT_FALSE(model.displayCreative().has_value());
}

TEST_F(ExposureTest, NoFillAnswersSetTheCadenceOfTheirReasonAndPreferencesFilteredIsShown) {
  struct Case {
    std::string reason;
    int delay;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"cooldown", 5, "This campaign has a short wait before the next exposure."},
      {"device_review_required", 1800,
       "This Mac is connected but not yet approved for paid exposures. Check your dashboard later."},
      {"residence_required", 300, "Confirm your country and age in your account to receive sponsors."},
      {"no_eligible_campaign", 5, "No sponsor is available right now. Nimbrella will check again later."},
      {"preferences_filtered", 300, "No sponsor is available right now. Nimbrella will check again later."},
  };
  AppModel& model = startPaired();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    world.server->scriptNoFill(c.reason);
    const std::size_t before = world.server->count(startPath);
    model.setPaused(false);  // ask at the next tick
    world.advance(0.25);
    ASSERT_EQ(world.server->count(startPath), before + 1);
    EXPECT_EQ(model.message(), c.message);
    EXPECT_EQ(model.nextFetch(), world.clock->now() + seconds(c.delay));
    EXPECT_EQ(model.preferencesFiltered(), c.reason == "preferences_filtered");
    EXPECT_EQ(model.menuText(), "");
  }
  EXPECT_EQ(model.preferenceStatus(), "No sponsors match your choices");
  world.advance(301);  // the next item clears the flag
  EXPECT_TRUE(model.displayCreative().has_value());
  EXPECT_FALSE(model.preferencesFiltered());
  EXPECT_EQ(model.preferenceStatus(), std::nullopt);
}

TEST_F(ExposureTest, UnsafeMismatchedOrFailedAnswersAreRefusedWholeWithTheRightText) {
  AppModel& model = startPaired();
  // A lease for the other network mode.
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.mode = NetworkMode::sandbox;
    return lease;
  };
  world.advance(0.25);
  EXPECT_EQ(model.message(), "This sponsor cannot be safely displayed or verified. No new reward is confirmed.");
  EXPECT_EQ(world.server->count(cancelPath), 1u);
  EXPECT_FALSE(model.displayCreative().has_value());
  EXPECT_EQ(model.nextFetch(), world.clock->now() + seconds(300));

  // A duration the terms do not allow, and a creative whose menu text is forged.
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    if (n == 2) lease.durationMs = 9'000;
    if (n == 3) lease.creative.menuText = "Ad \xC2\xB7 Someone else";
    return lease;
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    model.setPaused(false);
    world.advance(0.25);
    EXPECT_EQ(model.message(), "This sponsor cannot be safely displayed or verified. No new reward is confirmed.");
    EXPECT_FALSE(model.displayCreative().has_value());
  }
  EXPECT_EQ(world.server->count(cancelPath), 3u);

  // A network failure while fetching.
  world.server->makeLease = nullptr;
  world.server->scriptTransportFailure(startPath);
  model.setPaused(false);
  world.advance(0.25);
  EXPECT_EQ(model.message(), "The network is unavailable. No reward is confirmed; Nimbrella will retry later.");
  // A server error.
  world.server->scriptStatus(startPath, 503);
  model.setPaused(false);
  world.advance(0.25);
  EXPECT_EQ(model.message(), "The server could not complete this request (HTTP 503).");
  EXPECT_TRUE(model.isPaired());
}

TEST_F(ExposureTest, PreviewsAreMeasuredButNeverSignedAndTheNextRequestNamesTheirCampaign) {
  const std::string campaign = "5b0c61f4-8a4e-4d6b-9b0e-3f3d2a1c0b9a";
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    if (n == 1) {
      lease.preview = true;
      lease.termsVersion = "admin-preview-v1";
      lease.measurementVersion = "admin-preview-v1";
      lease.rewardMicros = 0;
      lease.campaignId = campaign;
    }
    return lease;
  };
  AppModel& model = startPaired();
  untilMeasuring();
  EXPECT_TRUE(model.isShowingPreview());
  EXPECT_EQ(model.message(),
            "Admin preview. No budget is spent and no earnings or ad statistics are generated.");
  world.advance(10.25);
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(world.server->count(completePath), 0u);
  ASSERT_EQ(world.server->count(startPath), 2u);  // at once, on the next tick
  EXPECT_EQ(json::parse(lastBody(startPath))["afterPreviewCampaignId"], campaign);
  EXPECT_FALSE(model.isShowingPreview());
  EXPECT_EQ(model.lastPreviewCampaignId(), std::nullopt);

  // An interrupted preview is not cancelled and allows an immediate retry.
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.preview = true;
    lease.termsVersion = "admin-preview-v1";
    lease.measurementVersion = "admin-preview-v1";
    lease.rewardMicros = 0;
    lease.campaignId = campaign;
    return lease;
  };
  world.advance(72);
  ASSERT_TRUE(model.isShowingPreview());
  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_EQ(world.server->count(cancelPath), 0u);
  EXPECT_EQ(model.nextFetch(), Date::min());
}

TEST_F(ExposureTest, ConfirmationIsRetriedWithTheSameSignatureAndBlocksFetchingUntilAnswered) {
  AppModel& model = startPaired();
  untilMeasuring();
  world.server->scriptStatus(completePath, 500);
  world.server->scriptTransportFailure(completePath);
  // Accepted without a receipt id, and with a negative reward: not a confirmation.
  world.server->scriptStatus(completePath, 200, R"({"status":"accepted","rewardMicros":5,"balanceMicros":5})");
  world.server->scriptStatus(completePath, 200,
                             R"({"status":"accepted","receiptId":"r","rewardMicros":-5,"balanceMicros":5})");
  world.advance(10.25);
  ASSERT_EQ(world.server->count(completePath), 1u);
  EXPECT_TRUE(model.confirmationPending());
  EXPECT_EQ(model.message(),
            "Exposure confirmation is unavailable. Nimbrella will retry the same receipt; no additional reward is "
            "confirmed.");
  const std::string first = lastBody(completePath);

  for (std::size_t attempt = 2; attempt <= 4; ++attempt) {
    world.advance(14.5);
    EXPECT_EQ(world.server->count(completePath), attempt - 1);
    world.advance(0.5);
    ASSERT_EQ(world.server->count(completePath), attempt);
    EXPECT_EQ(lastBody(completePath), first);
    EXPECT_TRUE(model.confirmationPending());
    EXPECT_EQ(world.server->count(startPath), 1u);  // nothing new while a receipt waits
    EXPECT_EQ(model.balanceMicros(), 0);
  }
  world.advance(15);
  EXPECT_EQ(world.server->count(completePath), 5u);
  EXPECT_EQ(lastBody(completePath), first);
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "0.00 in rewards recorded for the menu-bar exposure.");

  // The popover's retry action never overlaps a fetch and never sends without a receipt.
  model.confirmCompletion();
  world.settle();
  EXPECT_EQ(world.server->count(completePath), 5u);
}

TEST_F(ExposureTest, RejectedIsFinalAndSandboxRewardsAreTestCredits) {
  // Production ignores a sandbox credential; the development environment accepts it.
  World dev(ClientEnvironment::development);
  dev.server->mode = NetworkMode::sandbox;
  dev.server->rewardMicros = 250'000;
  dev.storePairing(NetworkMode::sandbox);
  dev.storeConsent();
  AppModel& model = dev.build();
  model.start();
  dev.advance(11);
  EXPECT_EQ(model.mode(), NetworkMode::sandbox);
  EXPECT_EQ(model.message(), "\xE2\x82\xAC" "0.25 in test credits recorded for the menu-bar exposure.");

  dev.server->scriptStatus(completePath, 200, R"({"status":"rejected","reason":"duplicate"})");
  dev.advance(60 + 11);
  EXPECT_EQ(model.message(), "This exposure was rejected. No new reward was confirmed.");
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_FALSE(dev.secrets->has(vaultAccount::pendingCompletion));
  dev.advance(60);
  EXPECT_EQ(dev.server->count(completePath), 2u);
}

TEST_F(ExposureTest, A401FromFetchConfirmationOrRefreshErasesCredentialKeyAndPendingCompletion) {
  for (const std::string path : {startPath, completePath, mePath}) {
    SCOPED_TRACE(path);
    World w;
    AppModel& model = simulation::startPaired(w);
    if (path == completePath) {
      simulation::untilMeasuring(w);
      w.server->scriptStatus(completePath, 401);
      w.advance(10.25);
    } else if (path == mePath) {
      w.server->scriptStatus(mePath, 401);
      w.advance(15.25);
    } else {
      w.server->scriptStatus(startPath, 401);
      w.advance(0.25);
    }
    w.settle();
    EXPECT_EQ(model.message(), "This Mac is not authorized. Pair again from your dashboard.");
    EXPECT_FALSE(model.isPaired());
    EXPECT_FALSE(model.credential().has_value());
    EXPECT_FALSE(model.hasSigner());
    EXPECT_FALSE(model.confirmationPending());
    EXPECT_FALSE(model.pendingCompletion().has_value());
    EXPECT_FALSE(model.consent());
    EXPECT_EQ(model.balanceMicros(), 0);
    EXPECT_FALSE(model.balanceLoaded());
    EXPECT_EQ(model.menuText(), "Nimbrella");
    EXPECT_FALSE(model.isBusy());
    EXPECT_FALSE(w.secrets->has(vaultAccount::deviceCredential));
    EXPECT_FALSE(w.secrets->has(vaultAccount::receiptSigningPrivate));
    EXPECT_FALSE(w.secrets->has(vaultAccount::pendingCompletion));
    EXPECT_EQ(w.defaults->boolean("menubarSponsorshipConsentV1"), false);
    const std::size_t requests = w.server->requests.size();
    w.advance(60);
    EXPECT_EQ(w.server->requests.size(), requests);  // nothing more is asked
  }

  // A vault that cannot delete still signs the computer out in memory.
  World locked;
  AppModel& model = simulation::startPaired(locked);
  locked.secrets->failRemoves = true;
  locked.server->scriptStatus(startPath, 401);
  locked.advance(0.25);
  EXPECT_FALSE(model.isPaired());
  EXPECT_EQ(model.message(), "This Mac is not authorized. Pair again from your dashboard.");
}

TEST_F(ExposureTest, AFailedCancelHoldsBackFetchingUntilTheLeasesExpiry) {
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.expiresAt = world.server->nowText(600);
    return lease;
  };
  AppModel& model = startPaired();
  untilMeasuring();
  world.server->scriptHold(cancelPath);
  world.events->fire(SystemEvent::activeSpaceDidChange);
  EXPECT_EQ(model.pendingCancellations(), 1);
  world.advance(40);
  EXPECT_EQ(world.server->count(startPath), 1u);  // waits while the cancel is in flight
  world.server->release(cancelPath, HttpResponse{500, {}, "{}"});
  world.settle();
  EXPECT_EQ(model.pendingCancellations(), 0);
  world.advance(600 - 41 - 1);
  EXPECT_EQ(world.server->count(startPath), 1u);
  world.advance(2);
  EXPECT_EQ(world.server->count(startPath), 2u);

  // Without an expiry the fallback is 90 seconds; a successful cancel only waits 30.
  world.advance(2);
  world.server->scriptStatus(cancelPath, 200, "{}");
  world.events->fire(SystemEvent::activeSpaceDidChange);
  world.settle();
  world.advance(30.25);
  EXPECT_EQ(world.server->count(startPath), 3u);
}

TEST_F(ExposureTest, TheVaultLockedAtTheCompletionOrAtItsDeletion) {
  AppModel& model = startPaired();
  untilMeasuring();
  world.secrets->failWrites = true;
  world.advance(10.25);
  EXPECT_EQ(model.message(),
            "macOS Keychain is unavailable. Unlock your login keychain and try again; secrets were not saved "
            "elsewhere.");
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_EQ(world.server->count(completePath), 0u);  // nothing unsaved is ever sent
  world.secrets->failWrites = false;

  // The next exposure completes; deleting its record fails, so it is retried.
  world.advance(290);
  ASSERT_TRUE(model.activeLease().has_value());
  world.advance(9);
  ASSERT_TRUE(model.activeLease().has_value());
  world.secrets->failRemoves = true;
  world.advance(2);
  EXPECT_EQ(world.server->count(completePath), 1u);
  EXPECT_TRUE(model.confirmationPending());
  EXPECT_TRUE(world.secrets->has(vaultAccount::pendingCompletion));
  world.secrets->failRemoves = false;
  world.advance(15);
  EXPECT_EQ(world.server->count(completePath), 2u);
  EXPECT_FALSE(model.confirmationPending());
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingCompletion));
}

TEST_F(ExposureTest, TheSponsorLeftOnScreenGoesAtItsExpiryOnlyAfterTheLeaseEnded) {
  AppModel& model = startPaired();
  untilMeasuring();
  world.server->scriptHold(startPath);  // the next request stays unanswered
  world.monitor->checks.occlusionVisible = false;
  world.advance(0.25);
  EXPECT_TRUE(model.displayCreative().has_value());  // invalidated: the item stays
  ASSERT_TRUE(model.displayExpiration().has_value());
  world.monitor->checks.occlusionVisible = true;
  world.advance(118);
  EXPECT_TRUE(model.displayCreative().has_value());
  world.advance(2);
  EXPECT_FALSE(model.displayCreative().has_value());
  EXPECT_EQ(model.menuText(), "");
}

TEST_F(ExposureTest, ALeaseThatExpiresWhileMeasuringIsInterrupted) {
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.expiresAt = world.server->nowText(3);
    return lease;
  };
  AppModel& model = startPaired();
  untilMeasuring();
  world.advance(3);
  EXPECT_EQ(model.message(), std::string("The exposure lease expired.") + noReward);
  EXPECT_FALSE(model.displayCreative().has_value());
}

}  // namespace
}  // namespace nimbrella::simulation
