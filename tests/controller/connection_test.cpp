// Connecting through the browser, polling for approval and the dashboard hand-off.

#include "controller/support/ControllerTest.hpp"

namespace nimbrella::simulation {
namespace {

using ConnectionTest = ControllerTest;

constexpr const char* authorizationStartPath = "/api/devices/authorization/start";
constexpr const char* pollPath = "/api/devices/authorization/poll";
constexpr const char* handoffPath = "/api/devices/browser-session";
const std::string pollFailure =
    "Connection confirmation is unavailable. Nimbrella will retry; your browser approval is not repeated.";

TEST_F(ConnectionTest, ConnectingStoresTheKeyThePendingRequestAndThenTheApprovedCredential) {
  world.server->pollStatus = "pending";
  AppModel& model = started(world);
  model.connectInBrowser();
  model.connectInBrowser();  // a second press while starting does nothing
  world.settle();
  ASSERT_EQ(world.server->count(authorizationStartPath), 1u);

  // The key and the pending request are kept in the keyring: the real program's receipts
  // verify with the registered key and a pending connection resumes after a crash
  // (tests/e2e, tests/faults).
  const auto key = world.secrets->items().at(std::string(vaultAccount::receiptSigningPrivate));
  EXPECT_EQ(std::tuple(model.connectionPending(), model.isBusy(), model.connectionCode(), model.connectionFingerprint(),
                       model.message()),
            std::tuple(true, false, "ABCDEF012345", ReceiptSigner(key).publicKeyFingerprint(),
                       "Finish signing in and approve this computer in your browser."));
  // Pressing again while the request is valid reopens the page without a request.
  model.connectInBrowser();
  world.settle();
  const std::string page = world.endpointText() + "/connect?code=" + world.server->userCode;
  EXPECT_EQ(world.browser->opened, (std::vector<std::string>{page, page}));
  EXPECT_EQ(world.server->count(authorizationStartPath), 1u);

  // Polls follow the interval; "pending" changes nothing.
  world.advance(4.75);
  EXPECT_EQ(world.server->count(pollPath), 0u);
  world.advance(0.5);
  ASSERT_EQ(world.server->count(pollPath), 1u);
  EXPECT_EQ(world.server->requestsTo(pollPath)[0].url, world.endpointText() + pollPath);
  EXPECT_TRUE(model.connectionPending());

  world.server->pollStatus = "approved";
  world.server->scriptHold(startPath);  // keeps the first sponsor request unanswered
  world.advance(5);
  world.settle();
  EXPECT_TRUE(model.isPaired() && model.consent() && !model.paused() && !model.connectionPending());
  EXPECT_EQ(model.message(), "Connected. Sponsors are enabled. Close this popover to start.");
  EXPECT_TRUE(model.balanceLoaded() && !world.secrets->has(vaultAccount::pendingAuthorization));
  world.advance(0.25);  // the exposure cycle asks at once
  EXPECT_EQ(world.server->count(startPath), 1u);
}

TEST_F(ConnectionTest, MalformedStartAnswersNetworkFailuresAndALockedVaultLeaveNothingPending) {
  using Change = std::function<void(World&, DeviceAuthorizationStart&)>;
  struct Case {
    std::string name;
    Change change;
    std::string message = refusedText;
    std::size_t starts = 1;
  };
  const std::vector<Case> cases = {
      {"a user code in lower case", [](World&, auto& s) { s.userCode = "ABCDEF01234a"; }},
      {"an interval below two seconds", [](World&, auto& s) { s.interval = 1; }},
      {"an interval above a minute", [](World&, auto& s) { s.interval = 61; }},
      {"a short device code", [](World&, auto& s) { s.deviceCode.pop_back(); }},
      {"a device code with a foreign character", [](World&, auto& s) { s.deviceCode[0] = '+'; }},
      {"a page on another port",
       [](World&, auto& s) { s.verificationUrl = "https://api.nimbrella.example:8443/connect?code=" + s.userCode; }},
      {"an expired request", [](World& w, auto& s) { s.expiresAt = w.server->nowText(0); }},
      {"a sandbox answer", [](World&, auto& s) { s.mode = NetworkMode::sandbox; }},
      {"a network failure", [](World& w, auto&) { w.server->script(authorizationStartPath, refused); }, networkText},
      {"a vault locked for the key", [](World& w, auto&) { w.secrets->failWrites = true; }, keychainText, 0},
      // The key is stored but the pending request cannot be.
      {"a vault locked for the request",
       [](World& w, auto&) {
         w.secrets->failWrites = true;
         w.secrets->failingAccounts = {std::string(vaultAccount::pendingAuthorization)};
       },
       keychainText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    AppModel& model = w.build();
    DeviceAuthorizationStart start = authorizationFor(w, 600);
    c.change(w, start);
    w.server->scriptStatus(authorizationStartPath, 200, encodeJson(start));
    model.connectInBrowser();
    w.settle();
    EXPECT_EQ(w.server->count(authorizationStartPath), c.starts);
    EXPECT_FALSE(model.connectionPending() || model.connectionState().authorization || model.isBusy() ||
                 w.secrets->has(vaultAccount::pendingAuthorization) || !w.browser->opened.empty());
    EXPECT_EQ(std::tuple(model.message(), model.connectionError()), std::tuple(c.message, std::optional(c.message)));
  }
}

TEST_F(ConnectionTest, PollFailuresRetryAfterTenSecondsAndAnExpiredRequestIsDropped) {
  world.server->pollStatus = "pending";
  AppModel& model = started(world);
  model.connectInBrowser();
  world.settle();

  // An unknown status, an approval without a device, a sandbox answer: one text.
  for (const char* answer :
       {R"({"status":"denied","deviceId":"x","mode":"live"})", R"({"status":"approved","deviceId":"","mode":"live"})",
        R"({"status":"approved","deviceId":"x","mode":"sandbox"})"}) {
    SCOPED_TRACE(answer);
    world.server->scriptStatus(pollPath, 200, answer);
    const std::size_t before = world.server->count(pollPath);
    for (int step = 0; step < 80 && world.server->count(pollPath) == before; ++step) world.advance(0.25);
    EXPECT_EQ(std::tuple(model.connectionError(), model.connectionPending(), model.isPaired()),
              std::tuple(pollFailure, true, false));
    EXPECT_EQ(model.connectionState().nextAuthorizationPoll, world.clock->now() + seconds(10));
  }

  // The credential cannot be stored: the approval is revoked and polling goes on.
  world.server->pollStatus = "approved";
  world.secrets->failWrites = true;
  world.advance(10);
  ASSERT_EQ(world.server->count(mePath), 1u);
  EXPECT_EQ(world.server->requestsTo(mePath)[0].method, "DELETE");
  EXPECT_EQ(std::tuple(model.connectionPending(), model.message()), std::tuple(true, pollFailure));
  world.secrets->failWrites = false;

  // After the expiry the next poll ends the connection.
  world.server->pollStatus = "pending";
  world.advance(600);
  EXPECT_FALSE(model.connectionPending() || world.secrets->has(vaultAccount::pendingAuthorization));
  const std::string expired = "The connection request expired. Connect again.";
  EXPECT_EQ(std::tuple(model.message(), model.connectionError()), std::tuple(expired, std::optional(expired)));

  // A new connection reuses the stored key.
  const auto keyBefore = world.secrets->text(vaultAccount::receiptSigningPrivate);
  model.connectInBrowser();
  world.settle();
  EXPECT_EQ(world.server->count(authorizationStartPath), 2u);
  EXPECT_EQ(world.secrets->text(vaultAccount::receiptSigningPrivate), keyBefore);
}

TEST_F(ConnectionTest, AnApprovalOfAReplacedRequestIsIgnored) {
  AppModel& model = started(world);
  model.connectInBrowser();
  world.server->scriptHold(pollPath);
  world.advance(5.25);
  ASSERT_EQ(world.server->held(pollPath), 1u);
  // The request expires while its poll is unanswered and the user connects again.
  world.server->deviceCode = "N3wDeviceCode_0123456789-abcdefghijklmnopqr";
  world.advance(600);
  model.connectInBrowser();
  world.settle();
  world.server->release(pollPath);
  world.settle();
  EXPECT_FALSE(model.isPaired());
  world.advance(5.25);
  ASSERT_TRUE(model.isPaired());
  EXPECT_EQ(model.accountState().credential->token, world.server->deviceCode);
}

TEST_F(ConnectionTest, TheDashboardOpensSignedInWhenTheHandOffHoldsAndPlainOtherwise) {
  world.build().openDashboard();
  EXPECT_EQ(world.browser->opened.back(), "https://api.nimbrella.example/en/dashboard");

  World paired;
  paired.defaults->setText("appLanguage", "it");
  AppModel& model = startPaired(paired);
  model.openDashboard();
  paired.settle();
  ASSERT_EQ(paired.server->count(handoffPath), 1u);
  const auto proof = json::parse(lastBody(paired, handoffPath));
  EXPECT_EQ(proof["locale"], "it");
  const std::string message = ReceiptSigner::browserHandoffMessage(
      paired.server->deviceId, proof["nonce"].get<std::string>(), proof["timestamp"].get<std::int64_t>(), "it");
  EXPECT_TRUE(verifyReceiptSignature(ReceiptSigner(paired.signingKey).publicKey(), message,
                                     proof["signature"].get<std::string>()));
  const std::string ticket = std::string(43, 'T');
  EXPECT_EQ(paired.browser->opened.back(), "https://api.nimbrella.example/api/auth/mac?lang=it#" + ticket);

  // Malformed or expired tickets and failures open the plain page.
  paired.server->scriptStatus(handoffPath, 200,
                              R"({"ticket":"short","expiresAt":"2030-01-01T00:00:00Z","mode":"live"})");
  paired.server->scriptStatus(handoffPath, 200,
                              R"({"ticket":")" + ticket + R"(","expiresAt":"2020-01-01T00:00:00.000Z","mode":"live"})");
  paired.server->scriptStatus(handoffPath, 500);
  for (int i = 0; i < 3; ++i) {
    model.openDashboard();
    paired.settle();
    EXPECT_EQ(paired.browser->opened.back(), "https://api.nimbrella.example/it/dashboard");
  }
  EXPECT_EQ(paired.browser->opened.size(), 4u);
}

}  // namespace
}  // namespace nimbrella::simulation
