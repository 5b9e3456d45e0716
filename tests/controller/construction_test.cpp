// Building the controller: restoration of every stored record, the language, start-up,
// the software updater's hook and the system notifications.

#include "controller/support/ControllerTest.hpp"

#include <algorithm>

namespace nimbrella::simulation {
namespace {

using ConstructionTest = ControllerTest;

TEST_F(ConstructionTest, AnUnpairedStartClearsTheSwitchesInMemoryOnlyAndNeverAsksForSponsors) {
  world.storeConsent();
  world.defaults->setBoolean("menubarSponsorshipPaused", true);
  world.defaults->setDate("menubarSnoozedUntil", world.clock->now() + seconds(600));
  world.languages->languages = {"it_IT.UTF-8"};  // nothing stored: the first preferred language
  AppModel& model = world.build();
  EXPECT_EQ(std::tuple(model.language(), model.isPaired(), model.consent(), model.paused(), model.snoozedUntil()),
            std::tuple(AppLanguage::it, false, false, false, std::optional<Date>()));
  EXPECT_TRUE(world.defaults->boolean("menubarSponsorshipPaused") && world.defaults->date("menubarSnoozedUntil"));
  model.start();
  world.advance(30);
  EXPECT_TRUE(world.server->requests.empty());
}

TEST_F(ConstructionTest, EachStoredRecordIsRestoredOnlyWhenUsableAndNoneIsDeleted) {
  const std::string other = "https://other.example", otherDevice = "11111111-2222-4333-8444-555555555555";
  const auto completion = [](World& w, const std::string& origin, const std::string& deviceId) {
    const auto request = CompleteRequest::make("l", "n", 10'000, ReceiptSigner(w.signingKey));
    w.secrets->putBytes(vaultAccount::pendingCompletion,
                        encodeRecord(PersistedCompletion{origin, deviceId, request, {}}));
  };
  const auto authorization = [](World& w, const std::function<void(DeviceAuthorizationStart&)>& change) {
    DeviceAuthorizationStart start = authorizationFor(w, 300);
    change(start);
    w.secrets->put(vaultAccount::pendingAuthorization, encodeJson(start));
    w.secrets->putBytes(vaultAccount::receiptSigningPrivate, w.signingKey);
  };
  const auto noKey = [](World& w) { w.secrets->remove("", vaultAccount::receiptSigningPrivate); };
  enum Outcome { plain, connected, connecting, repair, locked, lockedPaired };
  struct Case {
    std::string name;
    std::function<void(World&)> store;
    Outcome outcome;
    ClientEnvironment environment = ClientEnvironment::production;
  };
  const std::vector<Case> cases = {
      {"a credential of another origin, with its completion",
       [&](World& w) { w.storePairing(NetworkMode::live, other); completion(w, other, w.server->deviceId); }, plain},
      {"a completion of another device",
       [&](World& w) { w.storePairing(); completion(w, w.endpointText(), otherDevice); }, connected},
      {"an undecodable completion",
       [](World& w) { w.storePairing(); w.secrets->put(vaultAccount::pendingCompletion, "not json"); }, connected},
      {"a sandbox credential in production", [](World& w) { w.storePairing(NetworkMode::sandbox); }, plain},
      {"a sandbox credential in development", [](World& w) { w.storePairing(NetworkMode::sandbox); }, connected,
       ClientEnvironment::development},
      {"an undecodable credential",
       [](World& w) { w.storePairing(); w.secrets->put(vaultAccount::deviceCredential, "{\"endpoint\":1}"); }, plain},
      {"a credential without its key", [&](World& w) { w.storePairing(); noKey(w); }, plain},
      {"a broken key",
       [](World& w) { w.storePairing(); w.secrets->putBytes(vaultAccount::receiptSigningPrivate, SecretBytes(31, 7)); },
       repair},
      {"a locked vault", [](World& w) { w.storePairing(); w.secrets->failReads = true; }, locked},
      {"a vault locked when the completion is read",
       [](World& w) {
         w.storePairing();
         w.secrets->failReads = true;
         w.secrets->failingAccounts = {std::string(vaultAccount::pendingCompletion)};
       },
       lockedPaired},
      {"a usable authorization", [&](World& w) { authorization(w, [](auto&) {}); }, connecting},
      {"an expired authorization",
       [&](World& w) { authorization(w, [&](auto& a) { a.expiresAt = w.server->nowText(-1); }); }, plain},
      {"a sandbox authorization", [&](World& w) { authorization(w, [](auto& a) { a.mode = NetworkMode::sandbox; }); },
       plain},
      {"an authorization for another site",
       [&](World& w) { authorization(w, [&](auto& a) { a.verificationUrl = other + "/connect?code=" + a.userCode; }); },
       plain},
      {"an authorization without its key", [&](World& w) { authorization(w, [](auto&) {}); noKey(w); }, plain},
      {"an undecodable authorization", [](World& w) { w.secrets->put(vaultAccount::pendingAuthorization, "[]"); },
       repair},
      {"a credential wins over an authorization", [&](World& w) { authorization(w, [](auto&) {}); w.storePairing(); },
       connected},
  };
  const std::string texts[] = {plainText, "Connected. Sponsored text runs in the menu bar when enabled.",
                               "Finish the connection in your browser.", repairText, keychainText, keychainText};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w(c.environment);
    c.store(w);
    const auto before = w.secrets->items();
    AppModel& model = w.build();
    const bool paired = c.outcome == connected || c.outcome == lockedPaired, resumes = c.outcome == connecting;
    EXPECT_EQ(std::tuple(model.isPaired(), model.confirmationPending(), model.connectionPending(), model.message(),
                         model.connectionError().value_or(""), model.menuText()),
              std::tuple(paired, false, resumes, texts[c.outcome], c.outcome >= repair ? texts[c.outcome] : "",
                         paired ? "" : "Nimbrella"));
    EXPECT_EQ(w.secrets->items(), before);
    if (resumes) {  // the code and the key's fingerprint come back
      EXPECT_EQ(std::tuple(model.connectionCode(), model.connectionFingerprint()),
                std::tuple(w.server->userCode, ReceiptSigner(w.signingKey).publicKeyFingerprint()));
    }
    model.start();
    w.advance(1);
    // Polling resumes; nothing else is asked for unless paired.
    EXPECT_EQ(w.server->count("/api/devices/authorization/poll"), resumes ? 1u : 0u);
    EXPECT_EQ(w.server->requests.empty(), !paired && !resumes);
  }
}

TEST_F(ConstructionTest, WhatTheKeyringRefusedAtStartIsReadAgainBeforeAnythingCouldReplaceIt) {
  // A stored receipt that the keyring refuses: nothing new is measured over it, and it is
  // sent once the keyring answers.
  world.storePairing();
  world.storeConsent();
  const auto request = CompleteRequest::make("lease-9", "n", 10'000, ReceiptSigner(world.signingKey));
  const SecretBytes record = encodeRecord(PersistedCompletion{world.endpointText(), world.server->deviceId, request, {}});
  world.secrets->putBytes(vaultAccount::pendingCompletion, record);
  world.secrets->failReads = true;
  world.secrets->failingAccounts = {std::string(vaultAccount::pendingCompletion)};
  AppModel& model = started(world);
  world.advance(30);
  EXPECT_EQ(std::tuple(world.server->count(startPath), world.secrets->items().at(std::string(vaultAccount::pendingCompletion)),
                       model.message()),
            std::tuple(0u, record, keychainText));
  world.secrets->failReads = false;
  world.advance(15);
  ASSERT_EQ(world.server->count(completePath), 1u);
  EXPECT_EQ(decodeJson<CompleteRequest>(lastBody(world, completePath)), request);
  EXPECT_FALSE(model.confirmationPending() || world.secrets->has(vaultAccount::pendingCompletion));
  world.advance(61);
  EXPECT_EQ(world.server->count(startPath), 1u);

  // A credential that the keyring refused is restored when the user connects, not replaced.
  World w;
  w.storePairing();
  w.storeConsent();
  w.secrets->failReads = true;
  AppModel& unpaired = started(w);
  unpaired.connectInBrowser();  // still locked: nothing happens
  w.secrets->failReads = false;
  unpaired.connectInBrowser();
  EXPECT_EQ(std::tuple(unpaired.isPaired(), unpaired.consent(), unpaired.message(), unpaired.connectionError()),
            std::tuple(true, true, "Connected. Sponsored text runs in the menu bar when enabled.",
                       std::optional<std::string>()));
  w.advance(0.25);
  EXPECT_EQ(std::tuple(w.server->count("/api/devices/authorization/start"), w.server->count(startPath)),
            std::tuple(0u, 1u));
}

TEST_F(ConstructionTest, StartingTwiceStartsOnceTheUpdaterIsMirroredAndItsHookStopsTheCycle) {
  world.updater->current = {.canCheckForUpdates = false, .automaticallyChecks = true, .automaticallyInstalls = false};
  AppModel& model = startPaired(world);
  std::vector<AppModelField> heard;
  model.addObserver([&](AppModelField field) { heard.push_back(field); });
  model.start();
  world.settle();
  EXPECT_EQ(std::tuple(world.updater->starts, world.server->count(mePath)), std::tuple(1, 1u));
  EXPECT_EQ(std::tuple(model.canCheckForUpdates(), model.automaticallyChecks(), model.automaticallyInstalls()),
            std::tuple(false, true, false));
  model.checkForUpdates();
  EXPECT_EQ(world.updater->checks, 0);  // only offered while the updater can check
  world.updater->current.canCheckForUpdates = true;
  world.updater->report();
  model.checkForUpdates();
  model.setAutomaticallyInstalls(true);
  model.setAutomaticallyChecks(false);
  EXPECT_EQ(std::tuple(world.updater->checks, model.canCheckForUpdates(), model.automaticallyChecks(),
                       model.automaticallyInstalls()),
            std::tuple(1, true, false, true));
  EXPECT_EQ(std::count(heard.begin(), heard.end(), AppModelField::automaticallyChecks), 1);

  model.showSponsorPreferences();
  model.showSponsorPreferences();
  EXPECT_EQ(std::tuple(world.preferencesWindowsMade, world.preferencesWindow->shows, model.preferencesWindow()),
            std::tuple(1, 2, world.preferencesWindow.get()));

  world.advance(0.75);
  ASSERT_TRUE(model.exposureState().activeLease.has_value());
  world.updater->hook();
  EXPECT_EQ(model.message(), "Nimbrella is updating." + noReward);
  EXPECT_FALSE(model.displayCreative().has_value());
  const std::size_t requests = world.server->requests.size();
  world.advance(60);
  EXPECT_EQ(world.server->requests.size(), requests);

  // Without an updater or a preferences window everything else works, and their controls stay off.
  World bare;
  AppModelPorts ports = bare.ports();
  ports.updater = nullptr;
  ports.makePreferencesWindow = nullptr;
  bare.storePairing();
  AppModel plain(ports);
  plain.start();
  plain.checkForUpdates();
  plain.setAutomaticallyChecks(true);
  plain.showSponsorPreferences();
  bare.advance(1);
  EXPECT_TRUE(plain.isStarted());
  EXPECT_FALSE(plain.canCheckForUpdates() || plain.automaticallyChecks() || plain.preferencesWindow());
}

TEST_F(ConstructionTest, SleepAndInactiveSessionsHoldFetchingUntilWaking) {
  AppModel& model = measuring(world);
  world.events->fire(SystemEvent::screensDidSleep);
  world.events->fire(SystemEvent::sessionDidResignActive);
  EXPECT_FALSE(world.monitor->displayAwake || world.monitor->sessionActive);
  EXPECT_EQ(model.message(), "The session became inactive.");  // nothing was running any more
  world.advance(60);
  EXPECT_EQ(world.server->count(startPath), 1u);
  world.events->fire(SystemEvent::screensDidWake);
  world.events->fire(SystemEvent::sessionDidBecomeActive);
  EXPECT_TRUE(world.monitor->displayAwake && world.monitor->sessionActive);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(ConstructionTest, ObserversHearEachChangeOnceAndThePairingAndStatusTextAlways) {
  AppModel& model = started(world);
  std::vector<AppModelField> heard;
  const auto id = model.addObserver([&](AppModelField field) { heard.push_back(field); });
  model.setPairCode("1234");
  model.setPairCode("1234");
  EXPECT_EQ(heard, std::vector<AppModelField>{AppModelField::pairCode});

  // The status item and the popover redraw only from these two.
  const auto times = [&heard](AppModelField field) { return std::count(heard.begin(), heard.end(), field); };
  model.connectInBrowser();
  world.advance(5.25);  // approved: paired, the house text goes, an item is shown
  ASSERT_TRUE(model.displayCreative().has_value());
  EXPECT_EQ(std::tuple(times(AppModelField::isPaired), times(AppModelField::menuText)), std::tuple(1L, 2L));
  revoke(model);
  // Cleared, then the house text.
  EXPECT_EQ(std::tuple(times(AppModelField::isPaired), times(AppModelField::menuText)), std::tuple(2L, 4L));
  EXPECT_EQ(model.menuText(), "Nimbrella");

  model.removeObserver(id);
  const std::size_t before = heard.size();
  model.setPairCode("5678");
  EXPECT_EQ(heard.size(), before);
}

}  // namespace
}  // namespace nimbrella::simulation
