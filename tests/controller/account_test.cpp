// The account refresh and the user's actions: pause, snooze, consent, schedule,
// exclusions and the advertiser link, across restarts.

#include "controller/support/ControllerTest.hpp"

namespace nimbrella::simulation {
namespace {

using AccountTest = ControllerTest;

const std::string acmeId = "6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
const std::string otherDevice = "11111111-2222-4333-8444-555555555555";

TEST_F(AccountTest, RefreshTakesTheServersFiguresAndKeepsThemWhenItFails) {
  world.server->balanceMicros = 4'200'000;
  world.defaults->setText("appLanguage", "it");
  AppModel& model = startPaired(world);
  EXPECT_EQ(std::tuple(model.balanceLoaded(), model.balanceMicros()), std::tuple(true, std::int64_t{4'200'000}));
  ASSERT_EQ(model.earningsDays().value_or(std::vector<EarningsDay>()).size(), 7u);
  EXPECT_EQ(model.earningsDays()->back().earnedMicros, 4'200'000);

  // Every 15 s; a failure, or an answer about another device or mode (not a
  // revocation), keeps the figures and the pairing.
  model.setPaused(true);
  const std::vector<std::pair<std::optional<Scripted>, std::string>> failures = {
      {HttpResponse{500, {}, "{}"}, "The server could not complete this request (HTTP 500)."},
      {HttpResponse{200, {}, R"({"deviceId":")" + otherDevice + R"(","balanceMicros":1,"mode":"live"})"}, repairText},
      {std::nullopt, repairText},  // the server's model answers in sandbox mode
  };
  for (const auto& [answer, message] : failures) {
    SCOPED_TRACE(message);
    world.server->mode = answer ? NetworkMode::live : NetworkMode::sandbox;
    if (answer) world.server->script(mePath, *answer);
    const std::size_t before = world.server->count(mePath);
    world.advance(15);
    ASSERT_EQ(world.server->count(mePath), before + 1);
    EXPECT_EQ(std::tuple(model.message(), model.localizedBalanceError(), model.balanceMicros(), model.isPaired()),
              std::tuple(message, "Non è stato possibile aggiornare il saldo. Riprova.", 4'200'000, true));
  }
  world.server->mode = NetworkMode::live;
  world.advance(15);
  EXPECT_EQ(model.balanceError(), std::nullopt);

  // Overlapping refreshes are refused.
  world.server->scriptHold(mePath);
  const std::size_t before = world.server->count(mePath);
  model.refresh();
  model.refresh();
  EXPECT_EQ(world.server->count(mePath), before + 1);
}

TEST_F(AccountTest, AnswersThatReturnAfterTheAccountChangedAreIgnored) {
  const std::string former = world.server->deviceId;

  // A confirmation or a dashboard ticket answered after the computer was signed out
  // credits and opens nothing.
  AppModel& model = measuring(world);
  world.server->scriptHold(completePath);
  world.server->scriptHold("/api/devices/browser-session");
  world.advance(10.25);
  model.openDashboard();
  ASSERT_EQ(world.server->held(completePath), 1u);
  revoke(model);
  world.server->release(completePath);
  world.server->release("/api/devices/browser-session");
  world.settle();
  EXPECT_EQ(std::tuple(model.message(), model.balanceMicros(), model.isBusy()),
            std::tuple(notAuthorizedText, 0, false));
  EXPECT_TRUE(world.browser->opened.empty());

  // A refresh about the former device, answered after pairing as another one.
  World w;
  AppModel& other = startPaired(w);
  w.server->scriptHold(mePath);
  other.refresh();
  revoke(other);
  w.server->deviceId = otherDevice;
  other.connectInBrowser();
  w.advance(5.25);
  ASSERT_TRUE(other.isPaired());
  const std::string message = other.message();
  w.server->release(mePath,
                    HttpResponse{200, {}, R"({"deviceId":")" + former + R"(","balanceMicros":7,"mode":"live"})"});
  w.settle();
  EXPECT_EQ(std::tuple(other.message(), other.balanceError(), other.balanceMicros() == 7),
            std::tuple(message, std::nullopt, false));
}

TEST_F(AccountTest, SnoozePauseAndConsentSurviveARestartAndTheTimedPauseEndsByItself) {
  world.build().snooze(SnoozeChoice::minutes30);  // unpaired: nothing happens
  EXPECT_FALSE(world.model().paused());
  AppModel& model = startPaired(world);
  model.setConsent(false);
  model.snooze(SnoozeChoice::minutes30);
  EXPECT_FALSE(model.paused());  // without consent nothing happens
  model.setConsent(true);

  world.advance(0.75);
  model.snooze(SnoozeChoice::minutes30);
  const Date until = world.clock->now() + seconds(1800);
  EXPECT_EQ(model.message(), "Sponsorship is paused." + noReward);
  AppModel& restarted = started(world);
  EXPECT_EQ(std::tuple(restarted.paused(), restarted.snoozedUntil()), std::tuple(true, std::optional(until)));
  const std::size_t fetches = world.server->count(startPath);
  world.advance(1799);
  EXPECT_EQ(world.server->count(startPath), fetches);
  world.advance(1.25);
  EXPECT_FALSE(restarted.paused() || world.defaults->contains("menubarSnoozedUntil"));
  EXPECT_EQ(world.server->count(startPath), fetches + 1);

  // An indefinite snooze stores no end and stays paused after a restart.
  restarted.snooze(SnoozeChoice::indefinite);
  AppModel& again = started(world);
  world.advance(3600);
  EXPECT_EQ(std::tuple(again.paused(), again.snoozedUntil()), std::tuple(true, std::optional<Date>()));
  again.setPaused(false);
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipPaused"), false);

  // Turning sponsorship off keeps a pause but ends its timer; turning it on ends the pause.
  again.snooze(SnoozeChoice::hours2);
  again.setConsent(false);
  EXPECT_EQ(std::tuple(again.paused(), again.message()), std::tuple(true, std::string("Sponsorship was turned off.")));
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  const std::size_t before = world.server->count(startPath);
  again.toggleSponsorship();
  EXPECT_TRUE(again.consent() && !again.paused());
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), before + 1);
  again.toggleSponsorship();
  EXPECT_FALSE(again.consent());
}

TEST_F(AccountTest, TheScheduleStopsAndResumesSponsorsAcrossARestart) {
  // Sponsors only from 11:00 to 12:00; the world starts at 10:00 UTC on a Monday.
  AppModel& model = startPaired(world);
  EXPECT_EQ(world.calendar->lookups, 0);  // no schedule, no time zone
  model.updateSponsorPreferences([](SponsorPreferences& p) {
    p.scheduleEnabled = true;
    p.startMinute = 11 * 60;
    p.endMinute = 12 * 60;
  });
  EXPECT_EQ(std::tuple(model.scheduleAllowsSponsors(), model.preferenceStatus()),
            std::tuple(false, std::optional<std::string>("Outside your chosen hours")));
  world.advance(60);
  EXPECT_EQ(world.server->count(startPath), 0u);

  world.defaults->setText("appLanguage", "it");
  AppModel& restarted = world.build();
  EXPECT_EQ(restarted.preferenceStatus(), "Fuori dagli orari scelti");
  restarted.start();
  world.advance(3540);  // 11:00
  EXPECT_TRUE(restarted.scheduleAllowsSponsors() && restarted.displayCreative());
  EXPECT_EQ(world.server->count(startPath), 1u);

  // Leaving the hours ends the exposure and removes the item.
  world.clock->wallOffset = seconds(3600);
  world.advance(0.25);
  EXPECT_EQ(restarted.message(), "Outside your chosen hours." + noReward);
  EXPECT_FALSE(restarted.displayCreative().has_value());
  // Back inside them (the clock is set back), the next item is asked for at once.
  world.clock->wallOffset = seconds(0);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 2u);
}

TEST_F(AccountTest, TheShownSponsorsLinkOpensWithAClickAndBlockingItSavesOneLowerCaseEntry) {
  AppModel& model = measuring(world);
  model.openAdvertiser();
  world.settle();
  EXPECT_EQ(world.browser->opened, std::vector<std::string>{"https://acme.example/offer"});
  EXPECT_EQ(world.server->count("/api/exposures/click"), 1u);
  EXPECT_TRUE(model.exposureState().activeLease.has_value());  // a click does not touch the exposure

  model.blockCurrentSponsor();
  EXPECT_EQ(model.message(), "Sponsor preferences changed." + noReward);
  const std::vector<BlockedSponsor> expected{{acmeId, "Acme"}};
  EXPECT_EQ(SponsorPreferences::load(*world.defaults, sponsorPreferencesKey).blockedSponsors, expected);

  // The next request carries the exclusion; with nothing on screen nothing opens or is blocked.
  world.advance(0.25);
  EXPECT_EQ(json::parse(lastBody(world, startPath))["preferences"]["blockedAdvertiserIds"][0], acmeId);
  EXPECT_FALSE(model.displayCreative().has_value());  // the server offered the blocked one again
  const std::int64_t generation = model.exposureState().generation;
  model.blockCurrentSponsor();
  model.openAdvertiser();
  EXPECT_EQ(std::tuple(model.exposureState().generation, model.sponsorPreferences().blockedSponsors,
                       world.browser->opened.size()),
            std::tuple(generation, expected, 1u));

  // An advertiser id that is not a UUID cannot be blocked.
  changeLeases(world, [](ExposureLease& lease, std::int64_t) { lease.creative.advertiserId = "acme"; });
  model.updateSponsorPreferences([](SponsorPreferences& p) { p.blockedSponsors.clear(); });
  world.advance(0.75);
  ASSERT_TRUE(model.displayCreative().has_value());
  EXPECT_FALSE(model.canBlockCurrentSponsor());

  // At most 256 exclusions.
  model.updateSponsorPreferences([](SponsorPreferences& p) {
    for (int i = 0; i < 257; ++i) p.blockedSponsors.push_back({std::to_string(i), "x"});
  });
  EXPECT_TRUE(model.sponsorPreferences().blockedSponsors.empty());
}

}  // namespace
}  // namespace nimbrella::simulation
