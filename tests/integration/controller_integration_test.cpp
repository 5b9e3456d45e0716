// The controller with the real Qt transport against the real development server on
// 127.0.0.1 (in-memory store, automatic approval). The controller's own time is the
// simulation's; the server's clock is kept in step with it; network answers are
// awaited on the real Qt event loop, each wait bounded.

#include "controller/support/Simulation.hpp"

#include "SponsorApp/linux/QtHttpTransport.hpp"
#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Store.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace nimbrella::simulation {
namespace {

// Counts requests until their completion has run; can refuse one path as if the
// network were down.
class CountingTransport final : public HttpTransport {
 public:
  explicit CountingTransport(std::shared_ptr<HttpTransport> inner) : inner_(std::move(inner)) {}
  void send(HttpRequest request, Completion done) override {
    if (!offlinePath.empty() && pathOf(request.url) == offlinePath) {
      ++inFlight;
      inner_->post([this, done = std::move(done)] {
        --inFlight;
        done(TransportError{TransportError::Kind::connectionRefused, "Connection refused"});
      });
      return;
    }
    ++inFlight;
    inner_->send(std::move(request), [this, done = std::move(done)](TransportResult result) {
      --inFlight;
      done(std::move(result));
    });
  }
  void post(std::function<void()> task) override { inner_->post(std::move(task)); }

  int inFlight = 0;
  std::string offlinePath;

 private:
  std::shared_ptr<HttpTransport> inner_;
};

server::Campaign campaign() {
  server::Campaign value;
  value.id = "3f0c2b1a-9d8e-4c7b-a6f5-0e1d2c3b4a59";
  value.active = true;
  value.termsVersion = "brand-v1";
  value.rewardMicros = 1'250'000;
  value.creative.advertiserId = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";
  value.creative.category = "software";
  value.creative.sponsor = "Loopback Tools";
  value.creative.headline = "Tools that stay local";
  value.creative.body = "A body";
  value.creative.cta = "Open";
  value.creative.url = "https://tools.example/page";
  return value;
}

class ControllerIntegrationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) application = new QCoreApplication(argc, argv);
  }

  ControllerIntegrationTest() : world(ClientEnvironment::development), serverClock(world.clock->now()) {
    store = std::make_unique<server::Store>(":memory:");
    server::ServerOptions options;
    options.autoApprove = true;
    options.pollIntervalSeconds = 2;
    devServer = std::make_unique<server::DevServer>(*store, std::vector<server::Campaign>{campaign()}, serverClock,
                                                    options);
    host = std::make_unique<server::HttpHost>(*devServer, 4);
    const int port = host->bind(0);
    origin = "http://127.0.0.1:" + std::to_string(port);
    devServer->setOrigin(origin);
    if (!host->start()) throw std::runtime_error("the development server did not start");

    world.defaults->setText("apiBaseURL", origin);
    transport = std::make_shared<CountingTransport>(std::make_shared<QtHttpTransport>());
  }

  ~ControllerIntegrationTest() override {
    world.drop();
    host->stop();
  }

  AppModel& build() {
    AppModelPorts ports = world.ports();
    ports.makeClient = [this](const SafeEndpoint& endpoint) {
      return std::make_shared<const ApiClient>(endpoint, transport);
    };
    model = std::make_unique<AppModel>(ports);
    return *model;
  }

  // Waits, on the real event loop, until no request is outstanding (at most 10 s).
  void awaitNetwork() {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < 10'000) {
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
    serverClock.set(world.clock->now());
    awaitNetwork();
  }

  inline static int argc = 1;
  inline static char name[] = "controller-integration-test";
  inline static char* argv[] = {name, nullptr};
  inline static QCoreApplication* application = nullptr;

  World world;
  server::ManualClock serverClock;
  std::unique_ptr<server::Store> store;
  std::unique_ptr<server::DevServer> devServer;
  std::unique_ptr<server::HttpHost> host;
  std::string origin;
  std::shared_ptr<CountingTransport> transport;
  std::unique_ptr<AppModel> model;
};

TEST_F(ControllerIntegrationTest, PairingAndOneConfirmedExposureRefreshTheBalanceToTheServersFigure) {
  AppModel& app = build();
  EXPECT_EQ(app.endpointInput(), origin);
  app.start();
  app.connectInBrowser();
  awaitNetwork();
  ASSERT_TRUE(app.connectionPending()) << app.message();
  ASSERT_EQ(world.browser->opened.size(), 1u);
  EXPECT_EQ(world.browser->opened[0].rfind(origin + "/", 0), 0u);

  run(2.5);  // the first poll is approved
  ASSERT_TRUE(app.isPaired()) << app.message();
  EXPECT_TRUE(app.consent());
  EXPECT_EQ(app.balanceMicros(), 0);
  EXPECT_TRUE(app.balanceLoaded());

  run(1);
  ASSERT_TRUE(app.exposureState().activeLease.has_value()) << app.message();
  EXPECT_EQ(app.menuText(), "Ad \xC2\xB7 Loopback Tools");
  run(11);
  EXPECT_FALSE(app.confirmationPending()) << app.message();
  EXPECT_EQ(app.message(), "\xE2\x82\xAC" "1.25 in rewards recorded for the menu-bar exposure.");
  EXPECT_EQ(app.balanceMicros(), 1'250'000);
  EXPECT_FALSE(world.secrets->has(vaultAccount::pendingCompletion));

  // The figure the server itself reports.
  std::optional<DeviceResponse> me;
  ApiClient client(SafeEndpoint(origin), transport);
  client.me(app.accountState().credential->token, [&](ApiResult<DeviceResponse> result) {
    if (result.ok()) me = result.value();
  });
  awaitNetwork();
  ASSERT_TRUE(me.has_value());
  EXPECT_EQ(me->balanceMicros, app.balanceMicros());
}

TEST_F(ControllerIntegrationTest, ARestartBetweenStoringAndConfirmingConfirmsTheSameReceiptOnce) {
  AppModel& app = build();
  app.start();
  app.connectInBrowser();
  awaitNetwork();
  run(3.5);
  ASSERT_TRUE(app.exposureState().activeLease.has_value()) << app.message();

  // The network goes down just as the exposure completes.
  transport->offlinePath = "/api/exposures/complete";
  run(11);
  ASSERT_TRUE(app.confirmationPending());
  const auto stored = decodeJson<PersistedCompletion>(*world.secrets->text(vaultAccount::pendingCompletion));
  const std::int64_t balanceBefore = app.balanceMicros();
  EXPECT_EQ(balanceBefore, 0);

  // Quit and relaunch on the same vault and defaults.
  model.reset();
  transport->offlinePath.clear();
  AppModel& relaunched = build();
  EXPECT_TRUE(relaunched.isPaired());
  EXPECT_TRUE(relaunched.confirmationPending());
  EXPECT_EQ(relaunched.exposureState().pendingCompletion, stored.request);
  relaunched.start();
  run(1);
  EXPECT_FALSE(relaunched.confirmationPending()) << relaunched.message();
  EXPECT_EQ(relaunched.balanceMicros(), 1'250'000);

  // Sending the same signed request again credits nothing more.
  std::optional<CompleteResponse> again;
  ApiClient client(SafeEndpoint(origin), transport);
  client.complete(relaunched.accountState().credential->token, stored.request, [&](ApiResult<CompleteResponse> result) {
    if (result.ok()) again = result.value();
  });
  awaitNetwork();
  std::optional<DeviceResponse> me;
  client.me(relaunched.accountState().credential->token, [&](ApiResult<DeviceResponse> result) {
    if (result.ok()) me = result.value();
  });
  awaitNetwork();
  ASSERT_TRUE(me.has_value());
  EXPECT_EQ(me->balanceMicros, 1'250'000);
}

}  // namespace
}  // namespace nimbrella::simulation
