// The status popover on the test desktop in every state, in English and Italian: the
// identifiers and texts each state offers, nothing laid out beyond the window, and a
// PNG of each state in popover-screenshots/ of the build directory.

#include "SponsorApp/ui/StatusPopover.hpp"
#include "controller/support/ControllerTest.hpp"
#include "surface/DesktopSession.hpp"
#include "ui/LayoutChecks.hpp"

#include <gtest/gtest.h>

namespace nimbrella::simulation {
namespace {

const std::string campaign = "5b0c61f4-8a4e-4d6b-9b0e-3f3d2a1c0b9a";

struct State {
  std::string name;
  std::function<void(World&)> prepare;  // before the controller is built
  std::function<void(World&)> act;      // after it started
  std::vector<std::string> identifiers;
  ClientEnvironment environment = ClientEnvironment::production;
};

const std::vector<State>& states() {
  static const std::vector<State> all = {
      {"sign-in", {}, {}, {"connect-in-browser", "popup-settings"}},
      {"approval", [](World& w) { w.server->pollStatus = "pending"; },
       [](World& w) { w.model().connectInBrowser(); w.settle(); }, {"connect-in-browser", "connection-status"}},
      {"connection-error", {},
       [](World& w) {
         w.secrets->failWrites = true;
         w.model().connectInBrowser();
         w.settle();
       },
       {"connection-error"}},
      {"disabled", [](World& w) { w.storePairing(); }, {}, {"enable-sponsors", "sponsor-status", "balance"}},
      {"paused", [](World& w) { w.storePairing(); w.storeConsent(); },
       [](World& w) { w.model().snooze(SnoozeChoice::indefinite); }, {"resume-sponsors"}},
      {"paused-until", [](World& w) { w.storePairing(); w.storeConsent(); },
       [](World& w) { w.model().snooze(SnoozeChoice::hours2); }, {"resume-sponsors"}},
      {"waiting", [](World& w) { w.storePairing(); w.storeConsent(); w.server->script(startPath, HttpResponse{204, {HttpHeader{"X-Nimbrella-Reason", "no_eligible_campaign"}}, ""}); },
       [](World& w) { w.advance(0.25); }, {"pause-sponsors"}},
      {"waiting-outside-hours", [](World& w) { w.storePairing(); w.storeConsent(); },
       [](World& w) {
         w.model().updateSponsorPreferences([](SponsorPreferences& p) {
           p.scheduleEnabled = true;
           p.startMinute = 20 * 60;
           p.endMinute = 21 * 60;
         });
       },
       {"pause-sponsors"}},
      {"preview",
       [](World& w) {
         w.storePairing();
         w.storeConsent();
         changeLeases(w, [](ExposureLease& lease, std::int64_t) {
           lease.preview = true;
           lease.termsVersion = lease.measurementVersion = "admin-preview-v1";
           lease.rewardMicros = 0;
           lease.campaignId = campaign;
         });
       },
       [](World& w) { w.advance(0.75); }, {"open-sponsor-website", "pause-sponsors"}},
      {"counting-suspended",
       [](World& w) {
         w.storePairing();
         w.storeConsent();
         changeLeases(w, [](ExposureLease& lease, std::int64_t) {
           lease.creative.accentColor = "#F2B84B";
           lease.creative.logoData = std::nullopt;
         });
       },
       [](World& w) { w.advance(0.75); }, {"open-sponsor-website", "block-sponsor", "pause-sponsors"}},
      {"pending-confirmation",
       [](World& w) {
         w.storePairing();
         w.storeConsent();
         w.server->scriptStatus(completePath, 503);
       },
       [](World& w) { w.advance(11); }, {"retry-confirmation"}},
      // A development build pairs with a sandbox server, whose rewards are test credits.
      {"test-credits", [](World& w) { w.server->mode = NetworkMode::sandbox; },
       [](World& w) {
         w.model().connectInBrowser();
         w.advance(5.25);
       },
       {"test-credits"}, ClientEnvironment::development},
  };
  return all;
}

class PopoverDesktopTest : public ::testing::TestWithParam<std::tuple<std::size_t, const char*>> {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) GTEST_FAIL() << missing;
    desktop::application();
  }
};

TEST_P(PopoverDesktopTest, EveryStateShowsItsControlsInsideTheWindow) {
  const auto [index, language] = GetParam();
  const State& state = states()[index];
  World world(state.environment);
  world.defaults->setText("appLanguage", language);
  if (state.prepare) state.prepare(world);
  AppModel& model = world.build();
  model.start();
  world.settle();
  if (state.act) state.act(world);

  StatusPopover popover(model, PopoverHooks{"0.1.0", {}, {}, {}});
  popover.showBelow(QRect(900, 0, 120, 24));
  desktop::pump(150);
  ASSERT_TRUE(popover.isShown());
  for (const std::string& identifier : state.identifiers) {
    EXPECT_NE(popover.findChild<QWidget*>(QString::fromStdString(identifier)), nullptr) << identifier;
  }
  SCOPED_TRACE(state.name);
  layout::expectInside(popover);
  EXPECT_TRUE(layout::saveScreenshot(popover, state.name + "-" + language));
  popover.close();
  desktop::pump(20);
}

INSTANTIATE_TEST_SUITE_P(States, PopoverDesktopTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, states().size()), ::testing::Values("en", "it")),
                         [](const auto& param) {
                           std::string name = states()[std::get<0>(param.param)].name + "_" + std::get<1>(param.param);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace nimbrella::simulation
