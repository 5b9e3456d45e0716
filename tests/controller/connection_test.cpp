// Connecting through the browser, polling for approval and the dashboard hand-off.

#include "controller/support/ControllerTest.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorCore/Json.hpp"

#include <chrono>

namespace nimbrella::simulation {
namespace {

using std::chrono::seconds;

constexpr const char* authorizationStartPath = "/api/devices/authorization/start";
constexpr const char* pollPath = "/api/devices/authorization/poll";
constexpr const char* pollFailure =
    "Connection confirmation is unavailable. Nimbrella will retry; your browser approval is not repeated.";
constexpr const char* refused = "This sponsor cannot be safely displayed or verified. No new reward is confirmed.";

class ConnectionTest : public ControllerTest {
 protected:
  AppModel& startUnpaired() {
    AppModel& model = world.build();
    model.start();
    world.settle();
    return model;
  }
  std::string verificationPage() const { return world.endpointText() + "/connect?code=" + world.server->userCode; }
};

TEST_F(ConnectionTest, ConnectingStoresTheKeyThePendingRequestAndThenTheApprovedCredential) {
  world.server->pollStatus = "pending";
  AppModel& model = startUnpaired();
  model.connectInBrowser();
  EXPECT_TRUE(model.isBusy());
  model.connectInBrowser();  // a second press while starting does nothing
  world.settle();
  ASSERT_EQ(world.server->count(authorizationStartPath), 1u);

  ASSERT_TRUE(world.secrets->has(vaultAccount::receiptSigningPrivate));
  const auto key = world.secrets->text(vaultAccount::receiptSigningPrivate);
  const ReceiptSigner signer(SecretBytes(key->begin(), key->end()));
  const auto body = json::parse(lastBody(authorizationStartPath));
  EXPECT_EQ(body["publicKey"], signer.publicKey());
  EXPECT_EQ(body["name"], "My Mac");
  EXPECT_TRUE(world.secrets->has(vaultAccount::pendingAuthorization));
  EXPECT_EQ(world.defaults->text("apiBaseURL"), "https://api.nimbrella.example");
  EXPECT_TRUE(model.connectionPending());
  EXPECT_EQ(model.connectionCode(), "ABCDEF012345");
  EXPECT_EQ(model.connectionFingerprint(), signer.publicKeyFingerprint());
  EXPECT_EQ(model.message(), "Finish signing in and approve this Mac in your browser.");
  EXPECT_EQ(world.browser->opened, std::vector<std::string>{verificationPage()});
  EXPECT_FALSE(model.isBusy());

  // Pressing again while the request is valid reopens the page without a request.
  model.connectInBrowser();
  world.settle();
  EXPECT_EQ(world.server->count(authorizationStartPath), 1u);
  EXPECT_EQ(world.browser->opened.size(), 2u);

  // Polls follow the interval; "pending" changes nothing.
  world.advance(4.75);
  EXPECT_EQ(world.server->count(pollPath), 0u);
  world.advance(0.5);
  ASSERT_EQ(world.server->count(pollPath), 1u);
  const auto polls = world.server->requestsTo(pollPath);
  EXPECT_EQ(polls[0].headers.size() >= 1, true);
  bool bearer = false;
  for (const auto& header : polls[0].headers) {
    if (header.name == "Authorization") bearer = header.value == "Bearer " + world.server->deviceCode;
  }
  EXPECT_TRUE(bearer);
  EXPECT_TRUE(model.connectionPending());

  world.server->pollStatus = "approved";
  world.server->scriptHold(startPath);  // keeps the first sponsor request unanswered
  world.advance(5);
  ASSERT_EQ(world.server->count(pollPath), 2u);
  world.settle();
  EXPECT_TRUE(model.isPaired());
  EXPECT_FALSE(model.connectionPending());
  EXPECT_EQ(model.connectionCode(), "");
  EXPECT_EQ(model.mode(), NetworkMode::live);
  EXPECT_TRUE(model.consent());
  EXPECT_FALSE(model.paused());
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipConsentV1"), true);
  EXPECT_EQ(model.message(), "Connected. Sponsors are enabled. Close this popover to start.");
  EXPECT_TRUE(model.balanceLoaded());
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingAuthorization));
  const auto credential = decodeJson<DeviceCredential>(*world.secrets->text(vaultAccount::deviceCredential));
  EXPECT_EQ(credential.token, world.server->deviceCode);
  EXPECT_EQ(credential.endpoint, "https://api.nimbrella.example");
  EXPECT_EQ(credential.deviceId, world.server->deviceId);

  // The exposure cycle asks at once.
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 1u);

  // The stored pairing survives a restart.
  EXPECT_TRUE(world.build().isPaired());
}

TEST_F(ConnectionTest, MalformedStartAnswersAreRefusedWhole) {
  const auto attempt = [](const std::function<void(World&, DeviceAuthorizationStart&)>& change) {
    World other;
    AppModel& model = other.build();
    DeviceAuthorizationStart start{other.server->deviceCode, other.server->userCode,
                                   other.endpointText() + "/connect?code=" + other.server->userCode,
                                   other.server->nowText(600), 5, NetworkMode::live};
    change(other, start);
    other.server->scriptStatus(authorizationStartPath, 200, encodeJson(start));
    model.connectInBrowser();
    other.settle();
    EXPECT_FALSE(model.connectionPending());
    EXPECT_FALSE(other.secrets->has(vaultAccount::pendingAuthorization));
    EXPECT_TRUE(other.browser->opened.empty());
    EXPECT_FALSE(model.isBusy());
    return std::make_pair(model.message(), model.connectionError().value_or(""));
  };
  const auto refusedPair = std::make_pair(std::string(refused), std::string(refused));
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.userCode = "ABCDEF01234a"; }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.interval = 1; }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.interval = 61; }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.deviceCode.pop_back(); }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.deviceCode += "x"; }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.deviceCode[0] = '+'; }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) {
              s.verificationUrl = "https://api.nimbrella.example:8443/connect?code=" + s.userCode;
            }),
            refusedPair);
  EXPECT_EQ(attempt([](World& w, DeviceAuthorizationStart& s) { s.expiresAt = w.server->nowText(0); }), refusedPair);
  EXPECT_EQ(attempt([](World&, DeviceAuthorizationStart& s) { s.mode = NetworkMode::sandbox; }), refusedPair);

  // A network failure, and the vault locked when the key is stored.
  World offline;
  offline.server->scriptTransportFailure(authorizationStartPath);
  AppModel& model = offline.build();
  model.connectInBrowser();
  offline.settle();
  EXPECT_EQ(model.message(), "The network is unavailable. No reward is confirmed; Nimbrella will retry later.");
  EXPECT_EQ(model.connectionError(), model.message());

  World locked;
  locked.secrets->failWrites = true;
  AppModel& lockedModel = locked.build();
  lockedModel.connectInBrowser();
  locked.settle();
  EXPECT_EQ(locked.server->count(authorizationStartPath), 0u);
  EXPECT_EQ(lockedModel.connectionError(),
            "macOS Keychain is unavailable. Unlock your login keychain and try again; secrets were not saved "
            "elsewhere.");

  // The key is stored but the pending request cannot be: nothing is pending or opened.
  World halfLocked;
  halfLocked.secrets->failWrites = true;
  halfLocked.secrets->failingAccounts = {std::string(vaultAccount::pendingAuthorization)};
  AppModel& halfModel = halfLocked.build();
  halfModel.connectInBrowser();
  halfLocked.settle();
  EXPECT_EQ(halfLocked.server->count(authorizationStartPath), 1u);
  EXPECT_TRUE(halfLocked.secrets->has(vaultAccount::receiptSigningPrivate));
  EXPECT_FALSE(halfModel.connectionPending());
  EXPECT_FALSE(halfModel.authorization().has_value());
  EXPECT_TRUE(halfLocked.browser->opened.empty());
  EXPECT_EQ(halfModel.message(), lockedModel.connectionError());
  EXPECT_FALSE(halfModel.isBusy());
}

TEST_F(ConnectionTest, PollFailuresRetryAfterTenSecondsAndAnExpiredRequestIsDropped) {
  world.server->pollStatus = "pending";
  world.server->pollInterval = 2;
  AppModel& model = startUnpaired();
  model.connectInBrowser();
  world.settle();

  // "pending" with an interval of 1 still waits 2 s.
  world.server->scriptStatus(pollPath, 200, R"({"status":"pending","interval":1,"mode":"live"})");
  world.advance(2);
  ASSERT_EQ(world.server->count(pollPath), 1u);
  world.advance(1.75);
  EXPECT_EQ(world.server->count(pollPath), 1u);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(pollPath), 2u);

  // An unknown status, an approval without a device, a sandbox answer: one text.
  for (const char* answer : {R"({"status":"denied","mode":"live"})", R"({"status":"approved","deviceId":"","mode":"live"})",
                             R"({"status":"approved","deviceId":"x","mode":"sandbox"})"}) {
    SCOPED_TRACE(answer);
    world.server->scriptStatus(pollPath, 200, answer);
    const std::size_t before = world.server->count(pollPath);
    for (int step = 0; step < 80 && world.server->count(pollPath) == before; ++step) world.advance(0.25);
    ASSERT_EQ(world.server->count(pollPath), before + 1);
    EXPECT_EQ(model.message(), pollFailure);
    EXPECT_EQ(model.connectionError(), pollFailure);
    EXPECT_TRUE(model.connectionPending());
    EXPECT_FALSE(model.isPaired());
    EXPECT_EQ(model.nextAuthorizationPoll(), world.clock->now() + seconds(10));
    world.advance(9.75);
    EXPECT_EQ(world.server->count(pollPath), before + 1);
  }

  // The credential cannot be stored: the approval is revoked and polling goes on.
  world.server->pollStatus = "approved";
  world.secrets->failWrites = true;
  world.advance(2);
  EXPECT_EQ(world.server->count("/api/devices/me"), 1u);  // the revocation
  EXPECT_EQ(world.server->requestsTo("/api/devices/me")[0].method, "DELETE");
  EXPECT_TRUE(model.connectionPending());
  EXPECT_EQ(model.message(), pollFailure);
  world.secrets->failWrites = false;

  // After the expiry the next poll ends the connection.
  world.server->pollStatus = "pending";
  world.advance(600);
  EXPECT_FALSE(model.connectionPending());
  EXPECT_EQ(model.message(), "The connection request expired. Connect again.");
  EXPECT_EQ(model.connectionError(), "The connection request expired. Connect again.");
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingAuthorization));

  // A new connection reuses the stored key.
  const auto keyBefore = world.secrets->text(vaultAccount::receiptSigningPrivate);
  model.connectInBrowser();
  world.settle();
  EXPECT_EQ(world.server->count(authorizationStartPath), 2u);
  EXPECT_EQ(world.secrets->text(vaultAccount::receiptSigningPrivate), keyBefore);
}

TEST_F(ConnectionTest, ARevokedComputerRegistersANewKeyAtTheNextConnection) {
  AppModel& model = startPaired();
  const std::string oldKey = ReceiptSigner(world.signingKey).publicKey();
  world.server->scriptStatus(mePath, 401);
  world.server->scriptStatus(startPath, 402);
  world.advance(0.25);
  EXPECT_TRUE(model.isPaired());  // 402 does not disconnect
  world.advance(15);
  EXPECT_FALSE(model.isPaired());
  model.connectInBrowser();
  world.settle();
  const auto body = json::parse(lastBody(authorizationStartPath));
  EXPECT_NE(body["publicKey"], oldKey);
  EXPECT_TRUE(world.secrets->has(vaultAccount::receiptSigningPrivate));
}

TEST_F(ConnectionTest, TheDashboardOpensSignedInWhenTheHandOffHoldsAndPlainOtherwise) {
  AppModel& unpaired = world.build();
  unpaired.openDashboard();
  EXPECT_EQ(world.browser->opened.back(), "https://api.nimbrella.example/en/dashboard");

  World paired;
  paired.defaults->setText("appLanguage", "it");
  AppModel& model = simulation::startPaired(paired);
  model.openDashboard();
  paired.settle();
  ASSERT_EQ(paired.server->count("/api/devices/browser-session"), 1u);
  const auto proof = json::parse(simulation::lastBody(paired, "/api/devices/browser-session"));
  EXPECT_EQ(proof["locale"], "it");
  const std::string message = ReceiptSigner::browserHandoffMessage(
      paired.server->deviceId, proof["nonce"].get<std::string>(), proof["timestamp"].get<std::int64_t>(), "it");
  EXPECT_TRUE(verifyReceiptSignature(ReceiptSigner(paired.signingKey).publicKey(), message,
                                     proof["signature"].get<std::string>()));
  EXPECT_EQ(paired.browser->opened.back(),
            "https://api.nimbrella.example/api/auth/mac?lang=it#" + std::string(43, 'T'));

  // Expired or malformed tickets and failures open the plain page.
  paired.server->scriptStatus("/api/devices/browser-session", 200,
                              R"({"ticket":"short","expiresAt":"2030-01-01T00:00:00Z","mode":"live"})");
  paired.server->scriptStatus("/api/devices/browser-session", 200,
                              R"({"ticket":")" + std::string(43, 'T') +
                                  R"(","expiresAt":"2020-01-01T00:00:00.000Z","mode":"live"})");
  paired.server->scriptStatus("/api/devices/browser-session", 500);
  for (int i = 0; i < 3; ++i) {
    model.openDashboard();
    paired.settle();
    EXPECT_EQ(paired.browser->opened.back(), "https://api.nimbrella.example/it/dashboard");
  }
  EXPECT_EQ(paired.browser->opened.size(), 4u);
}

}  // namespace
}  // namespace nimbrella::simulation
