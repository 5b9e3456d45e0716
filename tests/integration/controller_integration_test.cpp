// The controller with the real Qt transport against the real development server on
// 127.0.0.1 (in-memory store, automatic approval). The controller's own time is the
// simulation's; the server's clock is kept in step with it; network answers are
// awaited on the real Qt event loop, each wait bounded.

#include "controller/support/Simulation.hpp"

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorServer/HttpHost.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace nimbrella::simulation {
namespace {

// Counts requests until their completion has run; refuses `offlinePath` as if the
// network were down.
struct CountingTransport final : HttpTransport {
  std::shared_ptr<HttpTransport> inner = std::make_shared<QtHttpTransport>();
  int inFlight = 0;
  std::string offlinePath;

  void send(HttpRequest request, Completion done) override {
    ++inFlight;
    Completion finish = [this, done = std::move(done)](TransportResult result) { --inFlight; done(std::move(result)); };
    if (pathOf(request.url) != offlinePath) return inner->send(std::move(request), std::move(finish));
    inner->post([finish] { finish(TransportError{TransportError::Kind::connectionRefused, "Connection refused"}); });
  }
  void post(std::function<void()> task) override { inner->post(std::move(task)); }
};

int argc = 1;
char name[] = "controller-integration-test";
char* argv[] = {name, nullptr};

struct ControllerIntegrationTest : ::testing::Test {
  // Before any member: the transport needs the application.
  static void SetUpTestSuite() { static QCoreApplication application(argc, argv); }

  ControllerIntegrationTest() {
    origin = "http://127.0.0.1:" + std::to_string(host.bind(0));
    devServer.setOrigin(origin);
    if (!host.start()) throw std::runtime_error("the development server did not start");
    world.defaults->setText("apiBaseURL", origin);
  }

  AppModel& build() {
    AppModelPorts ports = world.ports();
    ports.makeClient = [this](const SafeEndpoint& to) { return std::make_shared<const ApiClient>(to, transport); };
    model = std::make_unique<AppModel>(ports);
    return *model;
  }
  // Waits, on the real event loop, until no request is outstanding (at most 10 s).
  void awaitNetwork() {
    QElapsedTimer elapsed;
    for (elapsed.start(); elapsed.elapsed() < 10'000;) {
      world.settle();
      if (transport->inFlight == 0) return;
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    FAIL() << "the server did not answer in time";
  }
  // Moves simulated time forward in small steps, the server's clock with it.
  void run(double seconds) {
    for (double done = 0; done < seconds; done += 0.05) {
      serverClock.set(world.clock->now());
      world.advance(0.05);
      awaitNetwork();
    }
  }

  World world{ClientEnvironment::development};
  server::ManualClock serverClock{world.clock->now()};
  server::Store store{":memory:"};
  server::DevServer devServer{store, server::parseCampaigns(R"({"campaigns": [{"id": "3f0c2b1a-9d8e-4c7b-a6f5-0e1d2c3b4a59",
    "active": true, "termsVersion": "brand-v1", "rewardMicros": 1250000, "creative": {"sponsor": "Loopback Tools",
    "advertiserId": "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d", "category": "software", "headline": "Tools that stay local",
    "body": "A body", "cta": "Open", "url": "https://tools.example/page"}}]})"),
                              serverClock, {.pollIntervalSeconds = 2, .autoApprove = true}};
  server::HttpHost host{devServer, 4};
  std::string origin;
  std::shared_ptr<CountingTransport> transport = std::make_shared<CountingTransport>();
  std::unique_ptr<AppModel> model;
};

TEST_F(ControllerIntegrationTest, PairsEarnsAndAfterARestartConfirmsTheStoredReceiptOnce) {
  AppModel& app = build();
  app.start();
  app.connectInBrowser();
  run(2.5);  // the first poll is approved
  ASSERT_TRUE(app.isPaired()) << app.message();
  EXPECT_TRUE(app.balanceLoaded());
  run(1);
  ASSERT_TRUE(app.exposureState().activeLease.has_value()) << app.message();
  EXPECT_EQ(app.menuText(), "Ad \xC2\xB7 Loopback Tools");

  // The network goes down just as the exposure completes: the receipt waits in the vault.
  transport->offlinePath = "/api/exposures/complete";
  run(11);
  ASSERT_TRUE(app.confirmationPending());
  EXPECT_EQ(app.balanceMicros(), 0);
  const auto stored = decodeJson<PersistedCompletion>(*world.secrets->text(vaultAccount::pendingCompletion));

  // Quit and relaunch on the same vault and defaults, with the network back.
  model.reset();
  transport->offlinePath.clear();
  AppModel& relaunched = build();
  EXPECT_EQ(relaunched.exposureState().pendingCompletion, stored.request);
  relaunched.start();
  run(1);
  EXPECT_FALSE(relaunched.confirmationPending()) << relaunched.message();
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingCompletion));
  EXPECT_EQ(relaunched.balanceMicros(), 1'250'000);
  // The server credited the receipt once.
  const std::string device = relaunched.accountState().credential->deviceId;
  EXPECT_EQ(store.lookUp([&](server::StoreSession& s) { return s.activeDeviceById(device)->balanceMicros; }), 1'250'000);
}

}  // namespace
}  // namespace nimbrella::simulation
