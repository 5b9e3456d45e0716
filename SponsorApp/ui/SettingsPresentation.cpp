#include "SponsorApp/ui/SettingsPresentation.hpp"

#include "SponsorCore/PlatformText.hpp"
#include "SponsorCore/PopoverCopy.hpp"

#include <algorithm>

namespace nimbrella {

namespace {

std::string copy(std::string_view english, AppLanguage language) {
  return std::string(PopoverCopy::text(english, language));
}

std::string pick(AppLanguage language, std::string_view english, std::string_view italian) {
  return std::string(language == AppLanguage::it ? italian : english);
}

}  // namespace

std::vector<SettingsMenuItem> settingsMenu(const SettingsState& state, AppLanguage language) {
  std::vector<SettingsMenuItem> items;
  if (state.isPaired) {
    items.push_back({SettingsEntry::account, copy("Account", language), "settings-account"});
    items.push_back({SettingsEntry::sponsorsAndHours, pick(language, "Sponsors and hours…", "Sponsor e orari…"),
                     "settings-sponsor-preferences"});
    if (state.consent) {
      items.push_back({SettingsEntry::disableSponsors, copy("Disable sponsors", language), "settings-disable-sponsors"});
    }
  }
  items.push_back({SettingsEntry::moveItem, copy("Move menu bar item", language), "settings-move-item", false, false,
                   true, !items.empty()});
  items.push_back({SettingsEntry::openAtLogin, copy("Open Nimbrella at login", language), "settings-open-at-login", true,
                   state.loginEnabled});
  items.push_back({SettingsEntry::checkForUpdates, copy("Check for updates", language), "check-for-updates", false,
                   false, state.canCheckForUpdates, true});
  items.push_back({SettingsEntry::automaticallyChecks,
                   pick(language, "Automatically check for updates", "Cerca aggiornamenti automaticamente"),
                   "automatically-check-for-updates", true, state.automaticallyChecks});
  items.push_back({SettingsEntry::automaticallyInstalls,
                   pick(language, "Automatically download and install", "Scarica e installa automaticamente"),
                   "automatically-install-updates", true, state.automaticallyInstalls});
  items.push_back({SettingsEntry::version,
                   copy("Version", language) + " " + (state.version.empty() ? "\xE2\x80\x94" : state.version),
                   "settings-version", false, false, false, true});
  items.push_back({SettingsEntry::quit, copy("Quit Nimbrella", language), "quit"});
  return items;
}

AlertText moveItemAlert(AppLanguage language) {
  return {copy("Move menu bar item", language), std::string(platformText::moveItemTip.in(language))};
}

AlertText loginFailureAlert(AppLanguage language, std::string_view systemError) {
  return {copy("Could not change login setting", language), std::string(systemError)};
}

EarningsPresentation EarningsPresentation::from(const AppModel& model, bool retrying) {
  EarningsPresentation earnings;
  if (const auto& summary = model.earnings()) {
    earnings.pending = model.money(summary->pendingMicros);
    earnings.held = summary->held;
  }
  earnings.loaded = model.balanceLoaded();
  earnings.isSandbox = model.mode() == NetworkMode::sandbox;
  earnings.error = model.localizedBalanceError();
  earnings.retrying = retrying;
  return earnings;
}

EarningsText earningsText(const EarningsPresentation& earnings, AppLanguage language) {
  EarningsText text;
  const auto optionalCopy = [language](bool shown, std::string_view english) {
    return shown ? std::optional<std::string>(copy(english, language)) : std::nullopt;
  };
  text.title = copy("Earnings", language);
  text.pendingLabel = optionalCopy(earnings.pending.has_value(), "Pending");
  // A failed first refresh shows its error rather than a load that is not happening.
  text.loading = optionalCopy(!earnings.loaded && !earnings.error, "Loading your earnings…");
  text.breakdownMissing = optionalCopy(earnings.loaded && !earnings.pending, "The balance breakdown is not available yet.");
  text.underReview = optionalCopy(earnings.held, "Rewards are under review");
  text.testCredits = optionalCopy(earnings.isSandbox, "Test credits · no cash value");
  if (earnings.error) {
    text.error = *earnings.error;
    text.lastUpdateNote = copy("Amounts shown are from the last update.", language);
    text.retry = copy("Retry", language);
    text.retryEnabled = !earnings.retrying;
  }
  text.details = copy("Earnings details", language);
  return text;
}

ScheduleNote scheduleNote(const SponsorPreferences& preferences) {
  if (preferences.startMinute == preferences.endMinute || preferences.weekdays.empty()) {
    return ScheduleNote::chooseDayAndTimes;
  }
  return preferences.startMinute > preferences.endMinute ? ScheduleNote::endsNextDay : ScheduleNote::none;
}

PreferencesText PreferencesText::in(AppLanguage language) {
  const bool it = language == AppLanguage::it;
  PreferencesText text;
  text.title = it ? "Sponsor e orari" : "Sponsors and hours";
  text.intro = std::string(platformText::preferencesIntro.in(language));
  text.activeHours = it ? "Orari di attività" : "Active hours";
  text.onlyDuringChosenHours = it ? "Solo negli orari scelti" : "Only during chosen hours";
  text.from = it ? "Dalle" : "From";
  text.until = it ? "Alle" : "Until";
  text.localTime = std::string(platformText::localTime.in(language));
  text.chooseDayAndTimes = it ? "Scegli almeno un giorno e due orari diversi per attivare gli sponsor."
                              : "Choose at least one day and two different times to enable sponsors.";
  text.endsNextDay = it ? "La fascia termina il giorno successivo a quelli selezionati."
                        : "The window ends on the day after each selected day.";
  text.pauseNote = it ? "La pausa manuale ha sempre la precedenza sugli orari."
                      : "A manual pause always takes precedence over the schedule.";
  text.hiddenSponsors = it ? "Sponsor esclusi" : "Hidden sponsors";
  text.noneHidden = it ? "Nessuno. Puoi escludere uno sponsor dal suo riquadro nel popup."
                       : "None. You can hide a sponsor from its card in the popup.";
  text.restore = it ? "Ripristina" : "Restore";
  text.restoreLabel = it ? "Ripristina " : "Restore ";
  text.limitReached = it ? "Hai raggiunto 256 esclusioni. Puoi ripristinarne una per aggiungerne un’altra."
                         : "You have reached 256 exclusions. Restore one to add another.";
  return text;
}

HourMinute hourMinute(int minuteOfDay) {
  const int minute = std::clamp(minuteOfDay, 0, 1439);
  return {minute / 60, minute % 60};
}

int minuteOfDay(HourMinute time) { return std::clamp(time.hour, 0, 23) * 60 + std::clamp(time.minute, 0, 59); }

}  // namespace nimbrella
