// The account refresh and the user's actions: pause, snooze, consent, schedule,
// exclusions and the advertiser link, across restarts.

#include "controller/support/ControllerTest.hpp"

#include "SponsorCore/Json.hpp"

#include <chrono>

namespace nimbrella::simulation {
namespace {

using std::chrono::seconds;

class AccountTest : public ControllerTest {};

TEST_F(AccountTest, RefreshTakesTheServersFiguresAndKeepsThemWhenItFails) {
  world.server->balanceMicros = 4'200'000;
  AppModel& model = startPaired();
  EXPECT_TRUE(model.balanceLoaded());
  EXPECT_EQ(model.balanceMicros(), 4'200'000);
  ASSERT_TRUE(model.earningsDays().has_value());
  EXPECT_EQ(model.earningsDays()->size(), 7u);
  EXPECT_EQ(model.earningsDays()->back().earnedMicros, 4'200'000);
  EXPECT_EQ(model.referral(), (ReferralSummary{0, 0}));
  EXPECT_EQ(model.balanceError(), std::nullopt);

  // Periodic: every 15 s; a failure keeps the figures.
  model.setPaused(true);
  world.server->scriptStatus(mePath, 500);
  world.advance(15.25);
  EXPECT_EQ(world.server->count(mePath), 2u);
  EXPECT_EQ(model.balanceError(), "Balance could not be updated. Try again.");
  EXPECT_EQ(model.message(), "The server could not complete this request (HTTP 500).");
  EXPECT_EQ(model.balanceMicros(), 4'200'000);
  EXPECT_TRUE(model.isPaired());

  world.server->scriptTransportFailure(mePath);
  world.advance(15);
  EXPECT_EQ(model.message(), "The network is unavailable. No reward is confirmed; Nimbrella will retry later.");

  // An answer about another device or mode is not a revocation.
  world.server->scriptStatus(mePath, 200,
                             R"({"deviceId":"11111111-2222-4333-8444-555555555555","balanceMicros":1,"mode":"live"})");
  world.advance(15);
  EXPECT_EQ(model.message(), "This Mac needs to be paired again.");
  EXPECT_EQ(model.balanceError(), "Balance could not be updated. Try again.");
  EXPECT_EQ(model.balanceMicros(), 4'200'000);
  EXPECT_TRUE(model.isPaired());
  EXPECT_TRUE(world.secrets->has(vaultAccount::deviceCredential));
  world.server->mode = NetworkMode::sandbox;
  world.advance(15);
  EXPECT_EQ(model.message(), "This Mac needs to be paired again.");
  EXPECT_EQ(model.mode(), NetworkMode::live);  // refresh never changes the mode

  world.server->mode = NetworkMode::live;
  world.advance(15);
  EXPECT_EQ(model.balanceError(), std::nullopt);

  // Overlapping refreshes are refused.
  world.server->scriptHold(mePath);
  model.refresh();
  model.refresh();
  EXPECT_EQ(world.server->held(mePath), 1u);
  EXPECT_TRUE(model.refreshing());

  // Italian text of the balance failure.
  World italian;
  italian.defaults->setText("appLanguage", "it");
  italian.server->scriptStatus(mePath, 500);
  AppModel& it = simulation::startPaired(italian);
  EXPECT_EQ(it.localizedBalanceError(), "Non è stato possibile aggiornare il saldo. Riprova.");
}

TEST_F(AccountTest, SnoozeAndPauseSurviveARestartAndTheTimedPauseEndsByItself) {
  {
    World unpaired;
    AppModel& model = unpaired.build();
    model.snooze(SnoozeChoice::minutes30);
    EXPECT_FALSE(model.paused());
  }
  AppModel& model = startPaired();
  model.setConsent(false);
  model.snooze(SnoozeChoice::minutes30);
  EXPECT_FALSE(model.paused());  // without consent nothing happens
  model.setConsent(true);

  untilMeasuring();
  model.snooze(SnoozeChoice::minutes30);
  EXPECT_TRUE(model.paused());
  const Date until = world.clock->now() + seconds(1800);
  EXPECT_EQ(model.snoozedUntil(), until);
  EXPECT_EQ(model.message(), std::string("Sponsorship is paused.") + noReward);
  EXPECT_EQ(world.defaults->date("menubarSnoozedUntil"), until);
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipPaused"), true);

  // Restart mid-pause.
  AppModel& restarted = world.build();
  restarted.start();
  EXPECT_TRUE(restarted.paused());
  EXPECT_EQ(restarted.snoozedUntil(), until);
  const std::size_t fetches = world.server->count(startPath);
  world.advance(1799);
  EXPECT_EQ(world.server->count(startPath), fetches);
  world.advance(1.25);
  EXPECT_FALSE(restarted.paused());
  EXPECT_EQ(restarted.snoozedUntil(), std::nullopt);
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  EXPECT_EQ(world.server->count(startPath), fetches + 1);

  // An indefinite snooze stores no end and stays paused after a restart.
  restarted.snooze(SnoozeChoice::indefinite);
  EXPECT_TRUE(restarted.paused());
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  AppModel& again = world.build();
  EXPECT_TRUE(again.paused());
  EXPECT_EQ(again.snoozedUntil(), std::nullopt);
  again.start();
  world.advance(3600);
  EXPECT_TRUE(again.paused());

  // Resuming asks for an item on the next tick.
  const std::size_t before = world.server->count(startPath);
  again.setPaused(false);
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipPaused"), false);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), before + 1);
}

TEST_F(AccountTest, ConsentAndToggleAreIndependentOfPause) {
  AppModel& model = startPaired();
  model.snooze(SnoozeChoice::hours2);
  model.setConsent(false);
  EXPECT_TRUE(model.paused());  // unchanged
  EXPECT_EQ(model.snoozedUntil(), std::nullopt);
  EXPECT_FALSE(world.defaults->contains("menubarSnoozedUntil"));
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipConsentV1"), false);
  EXPECT_EQ(model.message(), "Sponsorship was turned off.");

  model.toggleSponsorship();
  EXPECT_TRUE(model.consent());
  EXPECT_FALSE(model.paused());
  EXPECT_EQ(world.defaults->boolean("menubarSponsorshipConsentV1"), true);
  world.advance(0.25);
  EXPECT_EQ(world.server->count(startPath), 1u);
  model.toggleSponsorship();
  EXPECT_FALSE(model.consent());

  // Consent survives a restart.
  AppModel& restarted = world.build();
  EXPECT_FALSE(restarted.consent());
  restarted.setConsent(true);
  EXPECT_TRUE(world.build().consent());
}

TEST_F(AccountTest, TheScheduleStopsAndResumesSponsorsAcrossARestart) {
  // Sponsors only from 11:00 to 12:00; the world starts at 10:00 UTC on a Monday.
  AppModel& model = startPaired();
  model.updateSponsorPreferences([](SponsorPreferences& preferences) {
    preferences.scheduleEnabled = true;
    preferences.startMinute = 11 * 60;
    preferences.endMinute = 12 * 60;
  });
  EXPECT_FALSE(model.scheduleAllowsSponsors());
  EXPECT_EQ(model.preferenceStatus(), "Outside your chosen hours");
  world.advance(60);
  EXPECT_EQ(world.server->count(startPath), 0u);

  AppModel& restarted = world.build();
  EXPECT_FALSE(restarted.scheduleAllowsSponsors());
  restarted.start();
  world.advance(3540);  // 11:00
  EXPECT_TRUE(restarted.scheduleAllowsSponsors());
  EXPECT_EQ(world.server->count(startPath), 1u);
  EXPECT_TRUE(restarted.displayCreative().has_value());

  // Leaving the hours ends the exposure and removes the item.
  world.clock->wallOffset = seconds(3600);
  world.advance(0.25);
  EXPECT_FALSE(restarted.scheduleAllowsSponsors());
  EXPECT_EQ(restarted.message(), std::string("Outside your chosen hours.") + noReward);
  EXPECT_FALSE(restarted.displayCreative().has_value());

  World italian;
  italian.defaults->setText("appLanguage", "it");
  italian.storePairing();
  AppModel& it = italian.build();
  it.updateSponsorPreferences([](SponsorPreferences& preferences) {
    preferences.scheduleEnabled = true;
    preferences.weekdays.clear();
  });
  EXPECT_EQ(it.preferenceStatus(), "Fuori dagli orari scelti");
}

TEST_F(AccountTest, BlockingTheCurrentSponsorSavesOneLowerCaseEntryAndInterrupts) {
  AppModel& model = startPaired();
  untilMeasuring();
  EXPECT_TRUE(model.canBlockCurrentSponsor());
  model.blockCurrentSponsor();
  EXPECT_EQ(model.message(), std::string("Sponsor preferences changed.") + noReward);
  ASSERT_EQ(model.sponsorPreferences().blockedSponsors.size(), 1u);
  EXPECT_EQ(model.sponsorPreferences().blockedSponsors[0].id, "6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b");
  EXPECT_EQ(model.sponsorPreferences().blockedSponsors[0].name, "Acme");
  EXPECT_FALSE(model.displayCreative().has_value());
  const auto stored = SponsorPreferences::load(*world.defaults, sponsorPreferencesKey);
  EXPECT_EQ(stored.blockedSponsors, model.sponsorPreferences().blockedSponsors);

  // The next request carries the exclusion; with nothing on screen blocking does nothing.
  world.advance(0.25);
  const auto filters = json::parse(lastBody(startPath))["preferences"];
  EXPECT_EQ(filters["blockedAdvertiserIds"][0], "6f1c7a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b");
  EXPECT_FALSE(model.displayCreative().has_value());  // the server offered the blocked one again
  const std::int64_t generation = model.generation();
  model.blockCurrentSponsor();
  EXPECT_EQ(model.generation(), generation);
  EXPECT_EQ(model.sponsorPreferences().blockedSponsors.size(), 1u);

  // Not a UUID: not offered.
  world.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = world.server->defaultLease(n);
    lease.creative.advertiserId = "acme";
    return lease;
  };
  model.updateSponsorPreferences([](SponsorPreferences& preferences) { preferences.blockedSponsors.clear(); });
  world.advance(0.75);
  ASSERT_TRUE(model.displayCreative().has_value());
  EXPECT_FALSE(model.canBlockCurrentSponsor());

  // At most 256 exclusions.
  model.updateSponsorPreferences([](SponsorPreferences& preferences) {
    for (int i = 0; i < 257; ++i) preferences.blockedSponsors.push_back({std::to_string(i), "x"});
  });
  EXPECT_TRUE(model.sponsorPreferences().blockedSponsors.empty());
}

TEST_F(AccountTest, TheAdvertiserLinkIsOpenedOnlyWhenSafeAndClicksAreReportedForPaidItems) {
  AppModel& model = startPaired();
  model.openAdvertiser();
  EXPECT_TRUE(world.browser->opened.empty());
  untilMeasuring();
  model.openAdvertiser();
  world.settle();
  ASSERT_EQ(world.browser->opened.size(), 1u);
  EXPECT_EQ(world.browser->opened[0], "https://acme.example/offer");
  ASSERT_EQ(world.server->count("/api/exposures/click"), 1u);
  EXPECT_TRUE(model.activeLease().has_value());  // a click does not touch the exposure

  World unsafe;
  unsafe.server->makeLease = [&](std::int64_t n) {
    ExposureLease lease = unsafe.server->defaultLease(n);
    lease.creative.url = "https://127.0.0.1/offer";
    return lease;
  };
  AppModel& other = simulation::startPaired(unsafe);
  unsafe.advance(0.75);
  other.openAdvertiser();
  EXPECT_TRUE(unsafe.browser->opened.empty());
  EXPECT_EQ(unsafe.server->count("/api/exposures/click"), 0u);
}

}  // namespace
}  // namespace nimbrella::simulation
