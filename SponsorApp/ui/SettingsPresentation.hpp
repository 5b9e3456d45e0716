#pragma once

// The settings menu, the earnings view and the "Sponsors and hours" window as plain
// values: which entries and blocks show, with which texts in the user's language. No
// Qt: the widgets only lay these values out.

#include "SponsorApp/AppModel.hpp"
#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/SponsorPreferences.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// Settings menu

enum class SettingsEntry {
  account,
  sponsorsAndHours,
  disableSponsors,
  moveItem,
  openAtLogin,
  checkForUpdates,
  automaticallyChecks,
  automaticallyInstalls,
  version,
  quit,
};

struct SettingsState {
  bool isPaired = false;
  bool consent = false;
  bool loginEnabled = false;
  bool canCheckForUpdates = false;
  bool automaticallyChecks = false;
  bool automaticallyInstalls = false;
  std::string version;  // the shown version; empty when unknown
};

struct SettingsMenuItem {
  SettingsEntry entry;
  std::string label;
  std::string_view identifier;  // the entry's object name
  bool checkable = false;
  bool checked = false;
  bool enabled = true;
  bool separatorBefore = false;
  friend bool operator==(const SettingsMenuItem&, const SettingsMenuItem&) = default;
};

// The entries top to bottom: the account entries only on a paired computer, "Disable
// sponsors" only while sponsors are on.
std::vector<SettingsMenuItem> settingsMenu(const SettingsState& state, AppLanguage language);

struct AlertText {
  std::string title;
  std::string text;
};
AlertText moveItemAlert(AppLanguage language);
AlertText loginFailureAlert(AppLanguage language, std::string_view systemError);

// Earnings view

struct EarningsPresentation {
  std::optional<std::string> pending;  // the pending amount, formatted
  bool loaded = false;
  bool held = false;
  bool isSandbox = false;
  std::optional<std::string> error;  // in the user's language
  bool retrying = false;

  static EarningsPresentation from(const AppModel& model, bool retrying);
  bool operator==(const EarningsPresentation&) const = default;
};

// The texts of the earnings view, top to bottom; an absent one is not shown.
struct EarningsText {
  std::string title;
  std::optional<std::string> pendingLabel;
  std::optional<std::string> loading;
  std::optional<std::string> breakdownMissing;
  std::optional<std::string> underReview;
  std::optional<std::string> testCredits;
  std::optional<std::string> error;
  std::optional<std::string> lastUpdateNote;
  std::optional<std::string> retry;
  bool retryEnabled = false;
  std::string details;
};
EarningsText earningsText(const EarningsPresentation& earnings, AppLanguage language);

// "Sponsors and hours" window

struct WeekdayLabel {
  int weekday;  // 1 = Sunday ... 7 = Saturday
  std::string_view english;
  std::string_view italian;
};
// The week from Monday, in both languages.
inline constexpr std::array<WeekdayLabel, 7> displayWeekdays{{
    {2, "Mon", "Lun"}, {3, "Tue", "Mar"}, {4, "Wed", "Mer"}, {5, "Thu", "Gio"},
    {6, "Fri", "Ven"}, {7, "Sat", "Sab"}, {1, "Sun", "Dom"},
}};

enum class ScheduleNote { none, chooseDayAndTimes, endsNextDay };
// Equal times or no day: the schedule can never allow sponsors. A start after the end:
// the window runs past midnight.
ScheduleNote scheduleNote(const SponsorPreferences& preferences);

struct PreferencesText {
  std::string title;
  std::string intro;
  std::string activeHours;
  std::string onlyDuringChosenHours;
  std::string from;
  std::string until;
  std::string localTime;  // followed by the zone identifier
  std::string chooseDayAndTimes;
  std::string endsNextDay;
  std::string pauseNote;
  std::string hiddenSponsors;
  std::string noneHidden;
  std::string restore;
  std::string restoreLabel;  // followed by the sponsor's name
  std::string limitReached;

  static PreferencesText in(AppLanguage language);
};

// A stored minute of the day as hour and minute, and back; always 0 to 1439.
struct HourMinute {
  int hour = 0;
  int minute = 0;
  friend bool operator==(const HourMinute&, const HourMinute&) = default;
};
HourMinute hourMinute(int minuteOfDay);
int minuteOfDay(HourMinute time);

}  // namespace nimbrella
