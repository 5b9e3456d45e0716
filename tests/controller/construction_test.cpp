// Building the controller: restoration of every stored record, the language, start-up,
// the software updater's hook and the system notifications.

#include "controller/support/ControllerTest.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/Snooze.hpp"

#include <chrono>

namespace nimbrella::simulation {
namespace {

using std::chrono::seconds;

constexpr const char* keychainText =
    "macOS Keychain is unavailable. Unlock your login keychain and try again; secrets were not saved elsewhere.";

class ConstructionTest : public ControllerTest {
 protected:
  PersistedCompletion storeCompletion(std::string deviceId) {
    const CompleteRequest request =
        CompleteRequest::make("lease-9", "nonce-9", 10'000, ReceiptSigner(world.signingKey));
    const PersistedCompletion record{world.endpointText(), std::move(deviceId), request, "minute-v2"};
    world.secrets->putBytes(vaultAccount::pendingCompletion, encodeRecord(record));
    return record;
  }

  DeviceAuthorizationStart storeAuthorization(double expiresIn = 300) {
    const DeviceAuthorizationStart start{world.server->deviceCode, world.server->userCode,
                                         world.endpointText() + "/connect?code=" + world.server->userCode,
                                         world.server->nowText(expiresIn), 5, NetworkMode::live};
    world.secrets->put(vaultAccount::pendingAuthorization, encodeJson(start));
    world.secrets->putBytes(vaultAccount::receiptSigningPrivate, world.signingKey);
    return start;
  }
};

TEST_F(ConstructionTest, AnUnpairedStartClearsTheSwitchesInMemoryOnly) {
  world.storeConsent(true);
  world.defaults->setBoolean("menubarSponsorshipPaused", true);
  world.defaults->setDate("menubarSnoozedUntil", world.clock->now() + seconds(600));
  AppModel& model = world.build();
  EXPECT_FALSE(model.isPaired());
  EXPECT_FALSE(model.consent());
  EXPECT_FALSE(model.paused());
  EXPECT_EQ(model.snoozedUntil(), std::nullopt);
  EXPECT_EQ(model.menuText(), "Nimbrella");
  EXPECT_EQ(model.message(), "Sponsored text appears only after you connect and opt in.");
  EXPECT_EQ(model.visibilityStatus(), "No sponsored exposure is running.");
  EXPECT_EQ(model.endpointInput(), "https://api.nimbrella.example");
  EXPECT_TRUE(model.scheduleAllowsSponsors());
  // Nothing was written back.
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipConsentV1"), true);
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipPaused"), true);
  EXPECT_TRUE(world.defaults->date("menubarSnoozedUntil").has_value());
  // The tick never asks for sponsors.
  model.start();
  world.advance(30);
  EXPECT_TRUE(world.server->requests.empty());
}

TEST_F(ConstructionTest, APairedStartRestoresThePendingCompletionAndConfirmsTheSameRequest) {
  world.storePairing();
  world.storeConsent();
  const PersistedCompletion record = storeCompletion(world.server->deviceId);
  AppModel& model = world.build();
  EXPECT_TRUE(model.isPaired());
  EXPECT_EQ(model.mode(), NetworkMode::live);
  EXPECT_TRUE(model.consent());
  EXPECT_EQ(model.menuText(), "");
  EXPECT_TRUE(model.confirmationPending());
  EXPECT_EQ(model.pendingTermsVersion(), "minute-v2");
  EXPECT_EQ(model.message(), "Restoring the previous exposure's confirmation.");

  model.start();
  world.advance(0.25);
  ASSERT_EQ(world.server->count(completePath), 1u);
  EXPECT_EQ(decodeJson<CompleteRequest>(lastBody(completePath)), record.request);
  world.settle();
  EXPECT_FALSE(model.confirmationPending());
  // A confirmed one-minute lease asks for the next item at once.
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 1u);
}

TEST_F(ConstructionTest, ForeignUndecodableAndRefusedRecordsAreIgnored) {
  {
    SCOPED_TRACE("a credential of another origin, with its completion");
    World other;
    const DeviceCredential credential{"https://other.example", other.server->deviceId, other.server->deviceCode,
                                      NetworkMode::live};
    other.secrets->putBytes(vaultAccount::deviceCredential, encodeRecord(credential));
    other.secrets->putBytes(vaultAccount::receiptSigningPrivate, other.signingKey);
    const PersistedCompletion record{"https://other.example", other.server->deviceId,
                                     CompleteRequest::make("l", "n", 10'000, ReceiptSigner(other.signingKey)),
                                     std::nullopt};
    other.secrets->putBytes(vaultAccount::pendingCompletion, encodeRecord(record));
    AppModel& model = other.build();
    EXPECT_FALSE(model.isPaired());
    EXPECT_FALSE(model.confirmationPending());
    EXPECT_EQ(model.message(), "Sponsored text appears only after you connect and opt in.");
    EXPECT_TRUE(other.secrets->has(vaultAccount::pendingCompletion));  // left as it was
  }
  {
    SCOPED_TRACE("a completion of another device");
    World other;
    other.storePairing();
    const PersistedCompletion record{other.endpointText(), "11111111-2222-4333-8444-555555555555",
                                     CompleteRequest::make("l", "n", 10'000, ReceiptSigner(other.signingKey)),
                                     std::nullopt};
    other.secrets->putBytes(vaultAccount::pendingCompletion, encodeRecord(record));
    AppModel& model = other.build();
    EXPECT_TRUE(model.isPaired());
    EXPECT_FALSE(model.confirmationPending());
    EXPECT_EQ(model.message(), "Connected. Sponsored text runs in the menu bar when enabled.");
  }
  {
    SCOPED_TRACE("a sandbox credential: refused in production, kept in development");
    World production;
    production.storePairing(NetworkMode::sandbox);
    EXPECT_FALSE(production.build().isPaired());
    World development(ClientEnvironment::development);
    development.storePairing(NetworkMode::sandbox);
    EXPECT_TRUE(development.build().isPaired());
    EXPECT_EQ(development.model().endpointInput(), "http://127.0.0.1:3217");
  }
  {
    SCOPED_TRACE("undecodable records");
    World other;
    other.secrets->put(vaultAccount::deviceCredential, "{\"endpoint\":1}");
    other.secrets->putBytes(vaultAccount::receiptSigningPrivate, other.signingKey);
    AppModel& model = other.build();
    EXPECT_FALSE(model.isPaired());
    EXPECT_EQ(model.message(), "Sponsored text appears only after you connect and opt in.");
    EXPECT_EQ(model.connectionError(), std::nullopt);

    World paired;
    paired.storePairing();
    paired.secrets->put(vaultAccount::pendingCompletion, "not json");
    EXPECT_TRUE(paired.build().isPaired());
    EXPECT_FALSE(paired.model().confirmationPending());
  }
  {
    SCOPED_TRACE("a credential without its key is unusable; a broken key is reported");
    World other;
    other.storePairing();
    other.secrets->remove("", vaultAccount::receiptSigningPrivate);
    EXPECT_FALSE(other.build().isPaired());
    EXPECT_EQ(other.model().message(), "Sponsored text appears only after you connect and opt in.");

    World broken;
    broken.storePairing();
    broken.secrets->putBytes(vaultAccount::receiptSigningPrivate, SecretBytes(31, 7));
    EXPECT_FALSE(broken.build().isPaired());
    EXPECT_EQ(broken.model().message(), "This Mac needs to be paired again.");
    EXPECT_EQ(broken.model().connectionError(), "This Mac needs to be paired again.");
  }
}

TEST_F(ConstructionTest, ALockedVaultIsReportedAndTheControllerStillStartsUnpaired) {
  world.storePairing();
  world.storeConsent();
  world.secrets->locked = true;
  AppModel& model = world.build();
  EXPECT_FALSE(model.isPaired());
  EXPECT_FALSE(model.consent());
  EXPECT_EQ(model.message(), keychainText);
  EXPECT_EQ(model.connectionError(), keychainText);
  model.start();
  world.advance(5);
  EXPECT_TRUE(world.server->requests.empty());

  // Locked only when the completion is read: the credential stays restored.
  World partial;
  partial.storePairing();
  AppModelPorts ports = partial.ports();
  struct LockAfterTwo final : SecretStore {
    std::shared_ptr<LockableSecretStore> inner;
    int reads = 0;
    SecretStoreLookup copyMatching(std::string_view s, std::string_view a) override {
      if (++reads > 2) return {SecretStoreStatus::failure, std::nullopt};
      return inner->copyMatching(s, a);
    }
    SecretStoreStatus update(std::string_view s, std::string_view a, std::span<const std::uint8_t> d) override {
      return inner->update(s, a, d);
    }
    SecretStoreStatus add(std::string_view s, std::string_view a, std::span<const std::uint8_t> d) override {
      return inner->add(s, a, d);
    }
    SecretStoreStatus remove(std::string_view s, std::string_view a) override { return inner->remove(s, a); }
  };
  auto store = std::make_shared<LockAfterTwo>();
  store->inner = partial.secrets;
  ports.secretStore = store;
  AppModel restored(ports);
  EXPECT_TRUE(restored.isPaired());
  EXPECT_EQ(restored.message(), keychainText);
}

TEST_F(ConstructionTest, APendingAuthorizationIsRestoredOnlyWhenUsable) {
  const DeviceAuthorizationStart start = storeAuthorization();
  AppModel& model = world.build();
  EXPECT_TRUE(model.connectionPending());
  EXPECT_EQ(model.connectionCode(), start.userCode);
  EXPECT_EQ(model.connectionFingerprint(), ReceiptSigner(world.signingKey).publicKeyFingerprint());
  EXPECT_EQ(model.message(), "Finish the connection in your browser.");
  // Polling resumes from the tick.
  model.start();
  world.advance(0.25);
  EXPECT_EQ(world.server->count("/api/devices/authorization/poll"), 1u);

  const auto restoreWith = [](const std::function<void(World&, DeviceAuthorizationStart&)>& change) {
    World other;
    DeviceAuthorizationStart record{other.server->deviceCode, other.server->userCode,
                                    other.endpointText() + "/connect?code=" + other.server->userCode,
                                    other.server->nowText(300), 5, NetworkMode::live};
    other.secrets->putBytes(vaultAccount::receiptSigningPrivate, other.signingKey);
    change(other, record);
    other.secrets->put(vaultAccount::pendingAuthorization, encodeJson(record));
    const bool pending = other.build().connectionPending();
    return std::make_pair(pending, other.model().message());
  };
  const std::string plain = "Sponsored text appears only after you connect and opt in.";
  EXPECT_EQ(restoreWith([](World& w, DeviceAuthorizationStart& r) { r.expiresAt = w.server->nowText(-1); }),
            std::make_pair(false, plain));
  EXPECT_EQ(restoreWith([](World&, DeviceAuthorizationStart& r) { r.expiresAt = "soon"; }),
            std::make_pair(false, plain));
  EXPECT_EQ(restoreWith([](World&, DeviceAuthorizationStart& r) { r.mode = NetworkMode::sandbox; }),
            std::make_pair(false, plain));
  EXPECT_EQ(restoreWith([](World&, DeviceAuthorizationStart& r) {
              r.verificationUrl = "https://evil.example/connect?code=" + r.userCode;
            }),
            std::make_pair(false, plain));
  EXPECT_EQ(restoreWith([](World& w, DeviceAuthorizationStart&) {
              w.secrets->remove("", vaultAccount::receiptSigningPrivate);
            }),
            std::make_pair(false, plain));

  World undecodable;
  undecodable.secrets->put(vaultAccount::pendingAuthorization, "[]");
  EXPECT_FALSE(undecodable.build().connectionPending());
  EXPECT_EQ(undecodable.model().message(), "This Mac needs to be paired again.");
  EXPECT_EQ(undecodable.model().connectionError(), "This Mac needs to be paired again.");

  // A stored credential wins over a pending authorization.
  World both;
  both.storePairing();
  both.secrets->put(vaultAccount::pendingAuthorization, encodeJson(start));
  EXPECT_TRUE(both.build().isPaired());
  EXPECT_FALSE(both.model().connectionPending());
}

TEST_F(ConstructionTest, TheLanguageComesFromTheStoredChoiceOrTheFirstPreferredLanguage) {
  const auto languageFor = [](std::optional<std::string> stored, std::vector<std::string> preferred) {
    World other;
    if (stored) other.defaults->setText("appLanguage", *stored);
    other.languages->languages = std::move(preferred);
    return other.build().language();
  };
  EXPECT_EQ(languageFor("it", {"en-US"}), AppLanguage::it);
  EXPECT_EQ(languageFor("en", {"it-IT"}), AppLanguage::en);
  EXPECT_EQ(languageFor("fr", {"it_IT.UTF-8"}), AppLanguage::it);
  EXPECT_EQ(languageFor("IT", {"en-GB", "it"}), AppLanguage::en);
  EXPECT_EQ(languageFor(std::nullopt, {}), AppLanguage::en);
}

TEST_F(ConstructionTest, StartingTwiceMakesOneTimerAndTheUpdaterHookStopsTheCycle) {
  AppModel& model = startPaired();
  model.start();
  EXPECT_EQ(world.queue->liveTimers(), 1u);
  EXPECT_EQ(world.updater->starts, 1);
  EXPECT_EQ(world.server->count(mePath), 1u);
  EXPECT_TRUE(model.balanceLoaded());
  world.advance(0.6);
  EXPECT_EQ(model.visibilityStatus(), "No sponsored exposure is running.");
  untilMeasuring();

  ASSERT_TRUE(world.updater->hook);
  world.updater->hook();
  EXPECT_EQ(world.queue->liveTimers(), 0u);
  EXPECT_FALSE(model.isStarted());
  EXPECT_EQ(model.message(), std::string("Nimbrella is updating.") + noReward);
  EXPECT_FALSE(model.displayCreative().has_value());
  const std::size_t requests = world.server->requests.size();
  world.advance(60);
  EXPECT_EQ(world.server->requests.size(), requests + 0);

  // Without an updater everything else works.
  World bare;
  AppModelPorts ports = bare.ports();
  ports.updater = nullptr;
  bare.storePairing();
  AppModel plain(ports);
  plain.start();
  bare.advance(1);
  EXPECT_TRUE(plain.isStarted());
}

TEST_F(ConstructionTest, SystemEventsSetTheMonitorFlagsAndWakingOnlyRestoresThem) {
  AppModel& model = startPaired();
  untilMeasuring();
  world.events->fire(SystemEvent::screensDidSleep);
  EXPECT_FALSE(world.monitor->displayAwake);
  EXPECT_EQ(model.message(), std::string("The display went to sleep.") + noReward);
  world.events->fire(SystemEvent::sessionDidResignActive);
  EXPECT_FALSE(world.monitor->sessionActive);
  EXPECT_EQ(model.message(), "The session became inactive.");  // nothing was running any more
  world.advance(60);
  EXPECT_EQ(world.server->count(startPath), 1u);  // asleep: nothing fetched
  world.events->fire(SystemEvent::screensDidWake);
  world.events->fire(SystemEvent::sessionDidBecomeActive);
  EXPECT_TRUE(world.monitor->displayAwake);
  EXPECT_TRUE(world.monitor->sessionActive);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 2u);

  // Handlers of a controller that is gone do nothing.
  world.drop();
  world.events->fire(SystemEvent::activeSpaceDidChange);
  world.advance(5);
  EXPECT_EQ(world.events->subscribers(), 0u);
}

TEST_F(ConstructionTest, TheBuildEnvironmentIsTheDefaultOfThePorts) {
#if defined(NIMBRELLA_EXPECT_DEVELOPMENT_BUILD)
  EXPECT_EQ(buildEnvironment(), ClientEnvironment::development);
#else
  EXPECT_EQ(buildEnvironment(), ClientEnvironment::production);
#endif
  EXPECT_EQ(AppModelPorts{}.environment, buildEnvironment());
}

TEST_F(ConstructionTest, ObserversHearEachChangeOnce) {
  AppModel& model = world.build();
  std::vector<AppModelField> heard;
  const auto id = model.addObserver([&](AppModelField field) { heard.push_back(field); });
  model.setPairCode("1234");
  model.setPairCode("1234");
  EXPECT_EQ(heard, std::vector<AppModelField>{AppModelField::pairCode});
  model.removeObserver(id);
  model.setPairCode("5678");
  EXPECT_EQ(heard.size(), 1u);
}

}  // namespace
}  // namespace nimbrella::simulation
