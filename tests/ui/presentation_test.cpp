// The popover's and the settings' presentation as plain values: the state order, the
// texts per state and language, the pause end's formats, the card colours, the size
// rules, the settings menu, the earnings texts and the schedule notes.

#include "SponsorApp/ui/PopoverPresentation.hpp"
#include "SponsorApp/ui/SettingsPresentation.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/PlatformText.hpp"
#include "controller/support/ControllerTest.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

PopoverPresentation presentation(bool paired, bool consent, bool paused, bool creative, bool preview = false) {
  PopoverPresentation p;
  p.isPaired = paired; p.consent = consent; p.paused = paused; p.isPreview = preview;
  if (creative) p.creative = SponsorCreative{};
  return p;
}

TEST(PopoverPresentationTest, TheStateIsTheFirstCaseThatHolds) {
  const std::vector<std::pair<PopoverPresentation, SponsorState>> cases = {
      {presentation(false, true, true, true, true), SponsorState::signInRequired},
      {presentation(true, false, true, true), SponsorState::sponsorsDisabled},
      {presentation(true, true, true, true), SponsorState::sponsorsPaused},
      {presentation(true, true, false, false), SponsorState::waitingForSponsor},
      {presentation(true, true, false, true, true), SponsorState::sponsorPreview},
      {presentation(true, true, false, true), SponsorState::sponsorsEnabled},
  };
  for (const auto& [p, state] : cases) EXPECT_EQ(p.state(), state);
}

TEST(PopoverPresentationTest, TitlesAndDetailsInBothLanguages) {
  const auto rome = [] { return Calendar("Europe/Rome"); };
  const PopoverText en(AppLanguage::en, rome);
  const PopoverText it(AppLanguage::it, rome);
  PopoverPresentation paused = presentation(true, true, true, false);
  EXPECT_EQ(en.title(paused), "Sponsors paused");
  EXPECT_EQ(it.detail(paused), "Gli sponsor restano in pausa finché scegli di riprendere.");
  // 2025-03-04 18:30 in Rome.
  paused.snoozedUntil = *parseInternetDate("2025-03-04T17:30:00Z");
  EXPECT_EQ(en.title(paused), "Paused until 04/03/2025, 18:30");
  EXPECT_EQ(it.title(paused), "In pausa fino al 04/03/25, 18:30");
  EXPECT_EQ(en.detail(paused), "Sponsors will resume automatically. You can also resume now.");

  PopoverPresentation waiting = presentation(true, true, false, false);
  EXPECT_EQ(it.title(waiting), "In attesa di uno sponsor");
  waiting.preferenceStatus = "Outside your chosen hours";
  EXPECT_EQ(en.title(waiting), "Outside your chosen hours");
  EXPECT_EQ(en.detail(waiting),
            "You can change your choices in Sponsors and hours. A manual pause always stays in effect.");
  EXPECT_EQ(it.detail(waiting), "Puoi modificare le tue scelte in Sponsor e orari. La pausa manuale resta sempre valida.");

  EXPECT_EQ(en.title(presentation(true, true, false, true, true)), "Sponsor preview");
  EXPECT_EQ(it.title(presentation(true, true, false, true)), "Conteggio sospeso nel popup");
  EXPECT_EQ(it.connectionText(false), "Accedi per collegare questo computer e iniziare a usare Nimbrella.");
  EXPECT_EQ(en.connectButton(true), "Continue in browser");
  EXPECT_EQ(it.copy(pauseDurations[3].label), "Fino a domani");
}

TEST(PopoverPresentationTest, SizeFollowsThePairingStateAndTheScreen) {
  using S = PopoverSize;
  EXPECT_EQ(popoverSize(true, false, false, S{1280, 776}), (S{400, 520}));
  EXPECT_EQ(popoverSize(true, false, false, S{380, 300}), (S{356, 268}));
  EXPECT_EQ(popoverSize(false, false, false, S{1280, 776}), (S{400, 280}));
  EXPECT_EQ(popoverSize(false, true, true, S{1280, 776}), (S{400, 372}));
  EXPECT_EQ(popoverSize(true, false, false, std::nullopt), (S{400, 520}));
  EXPECT_EQ(popoverSize(false, false, true, std::nullopt), (S{400, 336}));
}

TEST(PopoverPresentationTest, TheCardUsesAValidAccentWithTheMoreContrastingText) {
  EXPECT_EQ(cardColors(std::string("#F2B84B")), (CardColors{"#F2B84B", "#000000"}));
  EXPECT_EQ(cardColors(std::string("#1F3A8A")), (CardColors{"#1F3A8A", "#FFFFFF"}));
  for (const char* invalid : {"F2B84B", "#F2B84", "#F2B84BAA", "#GGGGGG"}) {
    EXPECT_EQ(cardColors(std::string(invalid)).background, "#202923") << invalid;
  }
  EXPECT_EQ(cardColors(std::nullopt), (CardColors{"#202923", "#FFFFFF"}));
}

// A connection error and a desktop that refuses sponsors, as the controller reports them
// (the other states copied from it are the popover desktop test's). A refusing desktop
// is never asked for a sponsor.
TEST(PopoverPresentationTest, WhatTheControllerReportsIsCopiedInTheUsersLanguage) {
  simulation::World world;
  world.defaults->setText("appLanguage", "it");
  world.secrets->failWrites = true;
  world.build().connectInBrowser();
  world.settle();
  EXPECT_EQ(PopoverPresentation::from(world.model()).connectionError,
            "Portachiavi non disponibile. Sbloccalo e riprova; le credenziali non sono state salvate altrove.");

  world.secrets->failWrites = false;
  world.storePairing();
  world.storeConsent();
  world.monitor->refusal = DesktopRefusal::shellOwnsTopBar;
  AppModel& model = world.build();
  model.start();
  world.advance(5);
  EXPECT_EQ(world.server->count(simulation::startPath), 0u);
  EXPECT_EQ(model.message(), platformText::shellOwnsTopBar.english);
  const PopoverText it(AppLanguage::it, [] { return Calendar("UTC"); });
  EXPECT_EQ(it.title(PopoverPresentation::from(model)), "Sponsor non disponibili su questa scrivania");
  EXPECT_EQ(it.detail(PopoverPresentation::from(model)), platformText::shellOwnsTopBar.italian);
  world.monitor->refusal = DesktopRefusal::none;
  world.advance(0.25);
  EXPECT_EQ(world.server->count(simulation::startPath), 1u);
}

std::vector<SettingsEntry> entries(const SettingsState& state) {
  std::vector<SettingsEntry> out;
  for (const auto& item : settingsMenu(state, AppLanguage::en)) out.push_back(item.entry);
  return out;
}

TEST(SettingsPresentationTest, TheAccountEntriesNeedAPairedComputerAndDisableNeedsSponsorsOn) {
  using E = SettingsEntry;
  const std::vector<E> all = {E::account,     E::sponsorsAndHours, E::disableSponsors,     E::moveItem,
                              E::openAtLogin, E::checkForUpdates,  E::automaticallyChecks, E::automaticallyInstalls,
                              E::version,     E::quit};
  EXPECT_EQ(entries({.isPaired = true, .consent = true, .version = {}}), all);
  std::vector<E> paired = all;
  paired.erase(paired.begin() + 2);
  EXPECT_EQ(entries({.isPaired = true, .version = {}}), paired);
  EXPECT_EQ(entries({.consent = true, .version = {}}), std::vector<E>(all.begin() + 3, all.end()));

  // Without updates the check is disabled and both switches off; the version reads "—".
  const auto items = settingsMenu({.loginEnabled = true, .version = {}}, AppLanguage::it);
  const auto find = [&items](E entry) {
    return *std::find_if(items.begin(), items.end(), [entry](const auto& i) { return i.entry == entry; });
  };
  EXPECT_FALSE(find(E::checkForUpdates).enabled);
  EXPECT_FALSE(find(E::automaticallyChecks).checked || find(E::automaticallyInstalls).checked);
  EXPECT_TRUE(find(E::openAtLogin).checkable && find(E::openAtLogin).checked);
  EXPECT_EQ(find(E::version).label, "Versione \xE2\x80\x94");
  EXPECT_EQ(find(E::automaticallyInstalls).label, "Scarica e installa automaticamente");
  EXPECT_EQ(settingsMenu({.version = "1.2.0"}, AppLanguage::en)[5].label, "Version 1.2.0");
}

TEST(SettingsPresentationTest, EarningsTextsFollowTheirState) {
  // What each state shows is the popover desktop test's; here what it must not show.
  EarningsPresentation e;
  e.loaded = true;
  EarningsText text = earningsText(e, AppLanguage::en);
  EXPECT_FALSE(text.loading || text.pendingLabel || text.underReview || text.error || text.testCredits);
  e.pending = "1,25 €";
  EXPECT_FALSE(earningsText(e, AppLanguage::it).breakdownMissing);
  // A failed first refresh shows its error, not a load that is not happening.
  text = earningsText({.pending = std::nullopt, .error = "Balance could not be updated. Try again."}, AppLanguage::it);
  EXPECT_FALSE(text.loading);
  EXPECT_EQ(text.lastUpdateNote, "Gli importi mostrati risalgono all’ultimo aggiornamento.");
}

TEST(SettingsPresentationTest, ScheduleNotesTimesAndTheWindowsTexts) {
  SponsorPreferences p;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::none);  // every day, 09:00 to 18:00
  p.startMinute = p.endMinute = 720;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::chooseDayAndTimes);
  p.startMinute = 1320; p.endMinute = 360;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::endsNextDay);
  EXPECT_EQ(scheduleNote(SponsorPreferences::locked()), ScheduleNote::chooseDayAndTimes);
  EXPECT_EQ(hourMinute(1439), (HourMinute{23, 59}));
  EXPECT_EQ(minuteOfDay({22, 5}), 1325);
  EXPECT_EQ(minuteOfDay({25, 70}), 1439);
  EXPECT_EQ(PreferencesText::in(AppLanguage::it).localTime, "Ora locale del computer:");
}

}  // namespace
}  // namespace nimbrella
