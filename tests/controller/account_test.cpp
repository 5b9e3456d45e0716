// The account refresh and the user's actions: pause, snooze, consent, schedule,
// exclusions and the advertiser link, across restarts.

#include "controller/support/ControllerTest.hpp"

namespace nimbrella::simulation {
namespace {

using AccountTest = ControllerTest;

const std::string acmeId = "6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";

TEST_F(AccountTest, RefreshTakesTheServersFiguresAndKeepsThemWhenItFails) {
  world.server->balanceMicros = 4'200'000;
  world.defaults->setText("appLanguage", "it");
  AppModel& model = startPaired(world);
  EXPECT_TRUE(model.balanceLoaded());
  EXPECT_EQ(model.balanceMicros(), 4'200'000);
  ASSERT_TRUE(model.earningsDays().has_value());
  EXPECT_EQ(model.earningsDays()->size(), 7u);
  EXPECT_EQ(model.earningsDays()->back().earnedMicros, 4'200'000);

  // Every 15 s; a failure, or an answer about another device or mode (not a
  // revocation), keeps the figures and the pairing.
  model.setPaused(true);
  const std::string otherDevice =
      R"({"deviceId":"11111111-2222-4333-8444-555555555555","balanceMicros":1,"mode":"live"})";
  const std::vector<std::pair<std::optional<Scripted>, std::string>> failures = {
      {HttpResponse{500, {}, "{}"}, "The server could not complete this request (HTTP 500)."},
      {HttpResponse{200, {}, otherDevice}, repairText},
      {std::nullopt, repairText},  // the server's model answers in sandbox mode
  };
  for (const auto& [answer, message] : failures) {
    SCOPED_TRACE(message);
    world.server->mode = answer ? NetworkMode::live : NetworkMode::sandbox;
    if (answer) world.server->script(mePath, *answer);
    const std::size_t before = world.server->count(mePath);
    world.advance(15);
    ASSERT_EQ(world.server->count(mePath), before + 1);
    EXPECT_EQ(model.message(), message);
    EXPECT_EQ(model.localizedBalanceError(), "Non è stato possibile aggiornare il saldo. Riprova.");
    EXPECT_EQ(model.balanceMicros(), 4'200'000);
    EXPECT_TRUE(model.isPaired() && world.secrets->has(vaultAccount::deviceCredential));
  }
  world.server->mode = NetworkMode::live;
  world.advance(15);
  EXPECT_EQ(model.balanceError(), std::nullopt);

  // Overlapping refreshes are refused.
  world.server->scriptHold(mePath);
  model.refresh();
  model.refresh();
  EXPECT_EQ(world.server->held(mePath), 1u);
}

TEST_F(AccountTest, AnswersThatReturnAfterTheAccountChangedAreIgnored) {
  const auto revoke = [](World& w) { w.model().handleRevokedAuthorization(ControllerFailure::api(APIError::http(401))); };
  const std::string former = world.server->deviceId;

  // A confirmation answered after the computer was signed out credits nothing.
  AppModel& model = measuring(world);
  world.server->scriptHold(completePath);
  world.advance(10.25);
  ASSERT_EQ(world.server->held(completePath), 1u);
  revoke(world);
  world.server->release(completePath);
  world.settle();
  EXPECT_EQ(model.message(), "This computer is not authorized. Pair again from your dashboard.");
  EXPECT_EQ(model.balanceMicros(), 0);
  EXPECT_FALSE(model.isBusy());

  // A refresh about the former device, answered after pairing as another one.
  World w;
  AppModel& other = startPaired(w);
  w.server->scriptHold(mePath);
  other.refresh();
  revoke(w);
  w.server->deviceId = "11111111-2222-4333-8444-555555555555";
  other.connectInBrowser();
  w.advance(5.25);
  ASSERT_TRUE(other.isPaired());
  const std::string message = other.message();
  w.server->release(mePath, HttpResponse{200, {}, R"({"deviceId":")" + former + R"(","balanceMicros":7,"mode":"live"})"});
  w.settle();
  EXPECT_EQ(other.message(), message);
  EXPECT_EQ(other.balanceError(), std::nullopt);
  EXPECT_NE(other.balanceMicros(), 7);
}

TEST_F(AccountTest, SnoozeAndPauseSurviveARestartAndTheTimedPauseEndsByItself) {
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
  EXPECT_EQ(world.defaults->date("menubarSnoozedUntil"), until);

  AppModel& restarted = world.build();
  restarted.start();
  EXPECT_TRUE(restarted.paused());
  EXPECT_EQ(restarted.snoozedUntil(), until);
  const std::size_t fetches = world.server->count(startPath);
  world.advance(1799);
  EXPECT_EQ(world.server->count(startPath), fetches);
  world.advance(1.25);
  EXPECT_FALSE(restarted.paused() || world.defaults->contains("menubarSnoozedUntil"));
  EXPECT_EQ(world.server->count(startPath), fetches + 1);

  // An indefinite snooze stores no end and stays paused after a restart.
  restarted.snooze(SnoozeChoice::indefinite);
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  AppModel& again = world.build();
  again.start();
  world.advance(3600);
  EXPECT_TRUE(again.paused());
  EXPECT_EQ(again.snoozedUntil(), std::nullopt);

  const std::size_t before = world.server->count(startPath);
  again.setPaused(false);
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipPaused"), false);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), before + 1);
}

// That consent is kept across restarts, the real program's restarts show (tests/e2e).
TEST_F(AccountTest, ConsentAndToggleAreIndependentOfPause) {
  AppModel& model = startPaired(world);
  model.snooze(SnoozeChoice::hours2);
  model.setConsent(false);
  EXPECT_TRUE(model.paused());  // unchanged, but the timed end is gone
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  EXPECT_EQ(model.message(), "Sponsorship was turned off.");

  model.toggleSponsorship();
  EXPECT_TRUE(model.consent() && !model.paused());
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 1u);
  model.toggleSponsorship();
  EXPECT_FALSE(model.consent());
}

TEST_F(AccountTest, TheScheduleStopsAndResumesSponsorsAcrossARestart) {
  // Sponsors only from 11:00 to 12:00; the world starts at 10:00 UTC on a Monday.
  AppModel& model = startPaired(world);
  model.updateSponsorPreferences([](SponsorPreferences& p) {
    p.scheduleEnabled = true;
    p.startMinute = 11 * 60;
    p.endMinute = 12 * 60;
  });
  EXPECT_FALSE(model.scheduleAllowsSponsors());
  EXPECT_EQ(model.preferenceStatus(), "Outside your chosen hours");
  world.advance(60);
  EXPECT_EQ(world.server->count(startPath), 0u);

  world.defaults->setText("appLanguage", "it");
  AppModel& restarted = world.build();
  EXPECT_EQ(restarted.preferenceStatus(), "Fuori dagli orari scelti");
  restarted.start();
  world.advance(3540);  // 11:00
  EXPECT_TRUE(restarted.scheduleAllowsSponsors());
  EXPECT_EQ(world.server->count(startPath), 1u);
  EXPECT_TRUE(restarted.displayCreative().has_value());

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

TEST_F(AccountTest, BlockingTheCurrentSponsorSavesOneLowerCaseEntryAndInterrupts) {
  AppModel& model = measuring(world);
  model.blockCurrentSponsor();
  EXPECT_EQ(model.message(), "Sponsor preferences changed." + noReward);
  const std::vector<BlockedSponsor> expected{{acmeId, "Acme"}};
  EXPECT_EQ(SponsorPreferences::load(*world.defaults, sponsorPreferencesKey).blockedSponsors, expected);
  EXPECT_FALSE(model.displayCreative().has_value());

  // The next request carries the exclusion; with nothing on screen blocking does nothing.
  world.advance(0.25);
  EXPECT_EQ(json::parse(lastBody(world, startPath))["preferences"]["blockedAdvertiserIds"][0], acmeId);
  EXPECT_FALSE(model.displayCreative().has_value());  // the server offered the blocked one again
  const std::int64_t generation = model.exposureState().generation;
  model.blockCurrentSponsor();
  EXPECT_EQ(model.exposureState().generation, generation);
  EXPECT_EQ(model.sponsorPreferences().blockedSponsors, expected);

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

TEST_F(AccountTest, TheAdvertiserLinkIsOpenedOnlyForAShownItemAndClicksAreReported) {
  AppModel& model = startPaired(world);
  model.openAdvertiser();
  world.advance(0.75);
  model.openAdvertiser();
  world.settle();
  EXPECT_EQ(world.browser->opened, std::vector<std::string>{"https://acme.example/offer"});
  EXPECT_EQ(world.server->count("/api/exposures/click"), 1u);
  EXPECT_TRUE(model.exposureState().activeLease.has_value());  // a click does not touch the exposure
}

}  // namespace
}  // namespace nimbrella::simulation
