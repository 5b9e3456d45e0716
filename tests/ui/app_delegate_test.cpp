// The application delegate on the real test desktop (X server, window manager, top
// panel): the controller runs in simulated time, the status item, the panel and the
// popover are real windows.

#include "SponsorApp/ui/AppDelegate.hpp"
#include "controller/support/ControllerTest.hpp"
#include "ui/LayoutChecks.hpp"

namespace nimbrella::simulation {
namespace {

// The simulated world's ports, with the real window server and surface monitor.
class TestPlatform final : public Platform {
 public:
  explicit TestPlatform(World& world) : world_(world) {}
  AppModelPorts ports() const override {
    AppModelPorts ports = world_.ports();
    ports.monitor = monitor_, ports.measurer = measurer_;
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

// The item is square without text and as long as allowed with it; the ticks show the
// panel over it. Opening the controls pauses counting and refreshes the balance, closing
// them fetches a sponsor a second later; with sponsors off the text and the panel go.
TEST(AppDelegateTest, TheItemAndThePanelFollowTheTextAndTheControlsPauseCounting) {
  ASSERT_NO_FATAL_FAILURE(layout::openDesktop());
  World world;
  world.storePairing();
  world.storeConsent();
  auto owned = std::make_unique<AppDelegate>(std::make_unique<TestPlatform>(world), "1.0");
  AppDelegate& delegate = *owned;
  delegate.applicationDidFinishLaunching();
  world.settle();
  desktop::pump(100);
  EXPECT_EQ(delegate.statusItem()->length(), delegate.statusItem()->window()->height());

  run(world, 0.75);
  desktop::pump(200);
  EXPECT_EQ(delegate.statusItem()->length(), StatusItem::maximumLength);
  run(world, 1);
  desktop::pump(200);
  EXPECT_TRUE(delegate.sponsoredSurface()->isVisible());

  const std::size_t refreshes = world.server->count(mePath);
  delegate.togglePopover();
  world.settle();
  EXPECT_EQ(delegate.model().message(), "Controls are open; sponsored exposure is paused." + noReward);
  EXPECT_EQ(world.server->count(mePath), refreshes + 1);
  run(world, 60);
  delegate.togglePopover();
  desktop::pump(50);
  run(world, 0.75);
  EXPECT_EQ(world.server->count(startPath), 1u);  // none while the controls were open, nor just after
  run(world, 0.5);
  EXPECT_EQ(world.server->count(startPath), 2u);

  delegate.model().setConsent(false);
  desktop::pump(200);
  EXPECT_EQ(delegate.model().menuText(), "");
  EXPECT_FALSE(delegate.sponsoredSurface()->isVisible());
  EXPECT_EQ(delegate.statusItem()->length(), delegate.statusItem()->window()->height());
  owned.reset();
  desktop::pump(50);  // what the windows left for deletion goes while the world still stands
}

}  // namespace
}  // namespace nimbrella::simulation
