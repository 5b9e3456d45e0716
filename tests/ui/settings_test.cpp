// The settings menu, the earnings view and the preferences window as plain values.

#include "SponsorApp/ui/SettingsPresentation.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

SettingsState settings(bool paired, bool consent, bool loginEnabled = false, std::string version = {}) {
  SettingsState state;
  state.isPaired = paired, state.consent = consent, state.loginEnabled = loginEnabled;
  state.version = std::move(version);
  return state;
}

std::vector<SettingsEntry> entries(const SettingsState& state) {
  std::vector<SettingsEntry> out;
  for (const auto& item : settingsMenu(state, AppLanguage::en)) out.push_back(item.entry);
  return out;
}

TEST(SettingsPresentationTest, TheAccountEntriesNeedAPairedComputerAndDisableNeedsSponsorsOn) {
  using E = SettingsEntry;
  const std::vector<E> always = {E::moveItem,           E::openAtLogin, E::checkForUpdates, E::automaticallyChecks,
                                 E::automaticallyInstalls, E::version,  E::quit};
  std::vector<E> paired = {E::account, E::sponsorsAndHours};
  paired.insert(paired.end(), always.begin(), always.end());
  std::vector<E> pairedOn = paired;
  pairedOn.insert(pairedOn.begin() + 2, E::disableSponsors);
  EXPECT_EQ(entries(settings(false, true)), always);
  EXPECT_EQ(entries(settings(true, false)), paired);
  EXPECT_EQ(entries(settings(true, true)), pairedOn);

  // Without updates the check is disabled and both switches off; the version reads "—".
  const auto items = settingsMenu(settings(false, false, true), AppLanguage::it);
  const auto find = [&items](E entry) { return *std::find_if(items.begin(), items.end(), [entry](const auto& i) { return i.entry == entry; }); };
  EXPECT_FALSE(find(E::checkForUpdates).enabled);
  EXPECT_FALSE(find(E::automaticallyChecks).checked || find(E::automaticallyInstalls).checked);
  EXPECT_TRUE(find(E::openAtLogin).checkable && find(E::openAtLogin).checked);
  EXPECT_EQ(find(E::version).label, "Versione \xE2\x80\x94");
  EXPECT_EQ(find(E::openAtLogin).label, "Apri Nimbrella all’accesso");
  EXPECT_EQ(find(E::automaticallyInstalls).label, "Scarica e installa automaticamente");
  EXPECT_EQ(settingsMenu(settings(true, false, false, "1.2.0"), AppLanguage::it)[1].label, "Sponsor e orari…");
  EXPECT_EQ(settingsMenu(settings(false, false, false, "1.2.0"), AppLanguage::en)[5].label, "Version 1.2.0");
  EXPECT_EQ(moveItemAlert(AppLanguage::en).text, "Tip: Pause sponsors, then hold Alt and drag the menu bar item to move it.");
  EXPECT_EQ(loginFailureAlert(AppLanguage::it, "Permission denied").title, "Impossibile modificare l’avvio all’accesso");
}

TEST(SettingsPresentationTest, EarningsTextsFollowTheirState) {
  EarningsPresentation e;
  EXPECT_EQ(earningsText(e, AppLanguage::en).loading, "Loading your earnings…");
  e.loaded = e.isSandbox = true;
  EarningsText text = earningsText(e, AppLanguage::en);
  EXPECT_EQ(text.breakdownMissing, "The balance breakdown is not available yet.");
  EXPECT_EQ(text.testCredits, "Test credits · no cash value");
  EXPECT_FALSE(text.loading || text.pendingLabel || text.underReview || text.error);
  e.pending = "1,25 €", e.held = true;
  text = earningsText(e, AppLanguage::it);
  EXPECT_EQ(text.pendingLabel, "In attesa");
  EXPECT_EQ(text.underReview, "Guadagni in verifica");
  EXPECT_FALSE(text.breakdownMissing);
  // A failed first refresh shows its error, not a load that is not happening.
  EarningsPresentation failed;
  failed.error = "Balance could not be updated. Try again.";
  text = earningsText(failed, AppLanguage::en);
  EXPECT_FALSE(text.loading);
  EXPECT_EQ(text.lastUpdateNote, "Amounts shown are from the last update.");
  EXPECT_TRUE(text.retryEnabled);
  failed.retrying = true;
  EXPECT_FALSE(earningsText(failed, AppLanguage::en).retryEnabled);
}

TEST(SettingsPresentationTest, PreferencesNotesTimesAndTexts) {
  SponsorPreferences p;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::none);  // every day, 09:00 to 18:00
  p.startMinute = p.endMinute = 720;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::chooseDayAndTimes);
  p.startMinute = 1320, p.endMinute = 360;
  EXPECT_EQ(scheduleNote(p), ScheduleNote::endsNextDay);
  EXPECT_EQ(scheduleNote(SponsorPreferences::locked()), ScheduleNote::chooseDayAndTimes);
  EXPECT_EQ(hourMinute(1439), (HourMinute{23, 59}));
  EXPECT_EQ(minuteOfDay({22, 5}), 1325);
  EXPECT_EQ(minuteOfDay({25, 70}), 1439);

  const PreferencesText it = PreferencesText::in(AppLanguage::it);
  EXPECT_EQ(it.title, "Sponsor e orari");
  EXPECT_EQ(it.localTime, "Ora locale del computer:");
  EXPECT_EQ(PreferencesText::in(AppLanguage::en).intro,
            "Your choices apply on this computer and save immediately. Change them whenever you like.");
  std::string days;
  for (const auto& day : displayWeekdays) days += std::string(day.italian) + std::to_string(day.weekday) + " ";
  EXPECT_EQ(days, "Lun2 Mar3 Mer4 Gio5 Ven6 Sab7 Dom1 ");
}

}  // namespace
}  // namespace nimbrella
