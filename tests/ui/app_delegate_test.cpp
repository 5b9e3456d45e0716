// The application delegate on the real test desktop (X server, window manager, top
// panel): the controller runs in simulated time, the status item, the panel and the
// popover are real windows.

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/linux/X11WindowServer.hpp"
#include "SponsorApp/ui/AppDelegate.hpp"
#include "SponsorApp/ui/MenuBarSurface.hpp"
#include "SponsorApp/ui/StatusItem.hpp"
#include "SponsorApp/ui/StatusPopover.hpp"
#include "controller/support/ControllerTest.hpp"
#include "surface/DesktopSession.hpp"

#include <gtest/gtest.h>

namespace nimbrella::simulation {
namespace {

// The simulated world's ports, with the real window server and surface monitor.
class TestPlatform final : public Platform {
 public:
  explicit TestPlatform(World& world) : world_(world) {}
  AppModelPorts ports() const override {
    AppModelPorts ports = world_.ports();
    ports.monitor = monitor_;
    ports.measurer = measurer_;
    return ports;
  }
  WindowServer& windowServer() override { return *server_; }
  X11WindowServer* x11() const override { return dynamic_cast<X11WindowServer*>(server_.get()); }
  SurfaceMonitor& monitor() override { return *monitor_; }

 private:
  World& world_;
  std::unique_ptr<WindowServer> server_ = X11WindowServer::forApplication();
  std::shared_ptr<QtTextMeasurer> measurer_ = std::make_shared<QtTextMeasurer>();
  std::shared_ptr<SurfaceMonitor> monitor_ = std::make_shared<SurfaceMonitor>(*server_, *measurer_);
};

// Simulated time in tick-sized steps, with the real windows painted between them.
void run(World& world, double seconds) {
  for (double done = 0; done < seconds - 1e-9; done += 0.25) {
    world.advance(std::min(0.25, seconds - done));
    desktop::pump(15);
  }
}

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) FAIL() << missing;
    desktop::application();
  }

  AppDelegate& launch(World& world) {
    delegate_ = std::make_unique<AppDelegate>(std::make_unique<TestPlatform>(world), "1.0");
    delegate_->applicationDidFinishLaunching();
    world.settle();
    desktop::pump(100);
    return *delegate_;
  }

  void TearDown() override {
    delegate_.reset();
    desktop::pump(50);
  }

  std::unique_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, OpeningTheControlsPausesCountingAndRefreshesClosingThemFetchesASecondLater) {
  World world;
  world.storePairing();
  world.storeConsent();
  AppDelegate& delegate = launch(world);
  run(world, 0.75);
  ASSERT_TRUE(delegate.model().exposureState().activeLease.has_value());
  const std::size_t refreshes = world.server->count(mePath);

  delegate.togglePopover();
  world.settle();
  ASSERT_TRUE(delegate.popover()->isShown());
  EXPECT_EQ(delegate.model().message(), "Controls are open; sponsored exposure is paused." + noReward);
  EXPECT_EQ(world.server->count(mePath), refreshes + 1);
  run(world, 60);
  EXPECT_EQ(world.server->count(startPath), 1u);

  delegate.togglePopover();
  desktop::pump(50);
  EXPECT_FALSE(delegate.popover()->isShown());
  run(world, 0.75);
  EXPECT_EQ(world.server->count(startPath), 1u);
  run(world, 0.5);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(AppDelegateTest, TheItemFollowsTheMenuTextAndAnEmptyTextHidesThePanel) {
  World world;
  world.storePairing();
  world.storeConsent();
  AppDelegate& delegate = launch(world);
  EXPECT_EQ(delegate.statusItem()->length(), delegate.statusItem()->window()->height());  // square: no text yet

  run(world, 0.75);
  desktop::pump(200);
  ASSERT_FALSE(delegate.model().menuText().empty());
  EXPECT_EQ(delegate.statusItem()->length(), StatusItem::maximumLength);

  run(world, 1);  // the ticks show the panel over the item
  desktop::pump(200);
  EXPECT_TRUE(delegate.sponsoredSurface()->isVisible());

  delegate.model().setConsent(false);
  desktop::pump(200);
  EXPECT_EQ(delegate.model().menuText(), "");
  EXPECT_FALSE(delegate.sponsoredSurface()->isVisible());
  EXPECT_EQ(delegate.statusItem()->length(), delegate.statusItem()->window()->height());
}

}  // namespace
}  // namespace nimbrella::simulation
