// The status popover on the test desktop in every state, in English and Italian: the
// identifiers each state shows, nothing laid out beyond the window, and a PNG of each
// state (and of the settings menu, signed in and out) in popover-screenshots/ of the
// build directory.

#include "SponsorApp/ui/StatusPopover.hpp"
#include "controller/support/ControllerTest.hpp"
#include "core/PngFixtures.hpp"
#include "ui/LayoutChecks.hpp"

#include <QLabel>
#include <QMenu>

#include <algorithm>

namespace nimbrella::simulation {
namespace {

// What a state does with the shown popover after its screenshot.
using Then = std::function<void(World&, StatusPopover&, const std::string& language)>;

struct State {
  std::string name;
  std::function<void(World&)> prepare;  // before the controller is built
  std::function<void(World&)> act;      // after it started
  std::vector<std::string> identifiers;
  Then then = {};
  ClientEnvironment environment = ClientEnvironment::production;
};

void sponsorsOn(World& w) {
  w.storePairing();
  w.storeConsent();
}

// Sponsors on, with each lease the server hands out changed.
std::function<void(World&)> leases(std::function<void(ExposureLease&)> change) {
  return [change](World& w) {
    sponsorsOn(w);
    changeLeases(w, [change](ExposureLease& lease, std::int64_t) { change(lease); });
  };
}

void connect(World& w) {
  w.model().connectInBrowser();
  w.settle();
}

// Paired, with the server's next answer to the balance request held, or this one.
std::function<void(World&)> balance(std::optional<std::string> earnings) {
  return [earnings](World& w) {
    w.storePairing();
    if (!earnings) return w.server->scriptHold(mePath);
    w.server->scriptStatus(mePath, 200, R"({"deviceId":")" + w.server->deviceId +
                                            R"(","balanceMicros":2500000,"mode":"live")" + *earnings + "}");
  };
}

// The sponsor's logo is in the card, in its own colours.
Then logoIn(QRgb colour) {
  return [colour](World&, StatusPopover& popover, const std::string&) {
    auto* card = layout::shown<QWidget>(popover, "sponsor-card");
    ASSERT_NE(card, nullptr);
    const auto labels = card->findChildren<QLabel*>();
    const auto logo = std::find_if(labels.begin(), labels.end(), [](QLabel* l) { return !l->pixmap().isNull(); });
    ASSERT_NE(logo, labels.end());
    const QImage image = (*logo)->pixmap().toImage();
    EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2), colour);
  };
}

// The settings menu has `entries` entries (which ones is the presentation test's).
Then settingsMenu(long entries) {
  return [entries](World& w, StatusPopover& popover, const std::string& language) {
    auto* menu = popover.findChild<QMenu*>(QStringLiteral("settings-menu"));
    ASSERT_NE(menu, nullptr);
    menu->popup(layout::shown<QWidget>(popover, "popup-settings")->mapToGlobal(QPoint(0, 24)));
    desktop::pump(150);
    EXPECT_EQ(std::ranges::count_if(menu->actions(), [](QAction* a) { return !a->isSeparator(); }), entries);
    const std::string state = w.model().isPaired() ? "paired-" : "unpaired-";
    EXPECT_TRUE(layout::saveScreenshot(*menu, "settings-" + state + language));
    menu->close();
  };
}

// The retry of the balance is disabled while it runs and enabled again after it failed.
void retryOnce(World& w, StatusPopover& popover, const std::string&) {
  const auto retry = [&popover] { return layout::shown<QAbstractButton>(popover, "retry-balance"); };
  w.server->scriptHold(mePath);
  ASSERT_NE(retry(), nullptr);
  retry()->click();
  desktop::pump(50);
  EXPECT_FALSE(retry()->isEnabled());
  w.server->release(mePath, HttpResponse{503, {}, "{}"});
  w.settle();
  desktop::pump(50);
  EXPECT_TRUE(retry()->isEnabled());
}

const std::vector<State>& states() {
  static const std::vector<State> all = {
      {"sign-in", {}, {}, {"connect-in-browser", "popup-settings"}, settingsMenu(7)},
      {"approval", [](World& w) { w.server->pollStatus = "pending"; }, connect,
       {"connect-in-browser", "connection-status"}},
      {"connection-error", {}, [](World& w) { w.secrets->failWrites = true; connect(w); }, {"connection-error"}},
      {"disabled", [](World& w) { w.storePairing(); }, {}, {"enable-sponsors", "sponsor-status", "balance"}},
      {"paused", sponsorsOn, [](World& w) { w.model().snooze(SnoozeChoice::indefinite); }, {"resume-sponsors"},
       settingsMenu(10)},
      {"paused-until", sponsorsOn, [](World& w) { w.model().snooze(SnoozeChoice::hours2); }, {"resume-sponsors"}},
      {"waiting",
       [](World& w) {
         sponsorsOn(w);
         w.server->script(startPath, HttpResponse{204, {{"X-Nimbrella-Reason", "no_eligible_campaign"}}, ""});
       },
       [](World& w) { w.advance(0.25); }, {"pause-sponsors"}},
      {"waiting-outside-hours", sponsorsOn,
       [](World& w) {
         w.model().updateSponsorPreferences(
             [](SponsorPreferences& p) { p.scheduleEnabled = true; p.startMinute = 1200; p.endMinute = 1260; });
       },
       {"pause-sponsors"}},
      {"preview",
       leases([](ExposureLease& lease) {
         lease.preview = true; lease.rewardMicros = 0;
         lease.termsVersion = lease.measurementVersion = "admin-preview-v1";
         lease.campaignId = "5b0c61f4-8a4e-4d6b-9b0e-3f3d2a1c0b9a";
       }),
       [](World& w) { w.advance(0.75); }, {"open-sponsor-website", "pause-sponsors"}},
      {"counting-suspended",
       leases([](ExposureLease& lease) {
         lease.creative.accentColor = "#F2B84B";
         lease.creative.logoData = fixtures::pngDataUrl(fixtures::makePng(
             {.width = 24, .height = 16, .color = fixtures::PngColor::palette,
              .samples = std::vector<std::uint8_t>(24 * 16, 0), .palette = {0x1E, 0x6F, 0xD9}}));
       }),
       [](World& w) { w.advance(0.75); }, {"open-sponsor-website", "block-sponsor", "pause-sponsors"},
       logoIn(qRgb(0x1E, 0x6F, 0xD9))},
      {"pending-confirmation", [](World& w) { sponsorsOn(w), w.server->scriptStatus(completePath, 503); },
       [](World& w) { w.advance(11); }, {"retry-confirmation"}},
      // A development build pairs with a sandbox server, whose rewards are test credits.
      {"test-credits", [](World& w) { w.server->mode = NetworkMode::sandbox; },
       [](World& w) { w.model().connectInBrowser(), w.advance(5.25); }, {"test-credits"}, {},
       ClientEnvironment::development},
      {"earnings-loading", balance(std::nullopt), {}, {"earnings-loading", "earnings-details"}},
      {"earnings-breakdown-missing", balance(""), {}, {"earnings-breakdown-missing"}},
      {"earnings-pending-under-review",
       balance(R"(,"earnings":{"totalMicros":2500000,"pendingMicros":1250000,"availableMicros":0,)"
               R"("held":true,"payoutReady":false})"),
       {}, {"pending-amount", "rewards-under-review"}},
      // A refresh that fails after the balance came.
      {"earnings-error", balance(""),
       [](World& w) { w.server->scriptStatus(mePath, 503), w.model().refresh(), w.settle(); },
       {"balance-error", "retry-balance"}, retryOnce},
  };
  return all;
}

using PopoverDesktopTest = ::testing::TestWithParam<std::tuple<std::size_t, const char*>>;

TEST_P(PopoverDesktopTest, EveryStateShowsItsControlsInsideTheWindow) {
  ASSERT_NO_FATAL_FAILURE(layout::openDesktop());
  const auto [index, language] = GetParam();
  const State& state = states()[index];
  World world(state.environment);
  world.defaults->setText("appLanguage", language);
  if (state.prepare) state.prepare(world);
  world.build().start();
  world.settle();
  if (state.act) state.act(world);

  StatusPopover popover(world.model(), PopoverHooks{"0.1.0", {}, {}, {}});
  popover.showBelow(layout::itemFrame);
  desktop::pump(150);
  for (const std::string& identifier : state.identifiers) {
    EXPECT_NE(layout::shown<QWidget>(popover, identifier.c_str()), nullptr) << identifier;
  }
  layout::expectInside(popover);
  EXPECT_TRUE(layout::saveScreenshot(popover, state.name + "-" + language));
  if (state.then) state.then(world, popover, language);
  popover.close();
  desktop::pump(20);
  // Closed, it keeps no image to paint into; opened again, it is whole.
  EXPECT_EQ(popover.backingStore(), nullptr);
  popover.showBelow(layout::itemFrame);
  desktop::pump(100);
  EXPECT_NE(layout::shown<QWidget>(popover, state.identifiers.front().c_str()), nullptr);
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
