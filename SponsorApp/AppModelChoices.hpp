#pragma once

// The user's choices: sponsorship on or off, pause, the schedule and hidden sponsors,
// the language, the preferences window, and the updater's switches as last reported.
// Their rules are in AppModelChoices.cpp.

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/SponsorPreferences.hpp"

#include <memory>
#include <optional>

namespace nimbrella {

class PreferencesWindow;

struct ChoicesState {
  // Observable.
  SponsorPreferences sponsorPreferences;
  bool scheduleAllowsSponsors = true;
  bool preferencesFiltered = false;
  bool consent = false;
  bool paused = false;
  std::optional<Date> snoozedUntil;
  AppLanguage language = AppLanguage::en;
  bool canCheckForUpdates = false;
  bool automaticallyChecks = false;
  bool automaticallyInstalls = false;

  // Created on first use and kept for the life of the process.
  std::shared_ptr<PreferencesWindow> preferencesWindow;
  bool updaterStarted = false;
};

}  // namespace nimbrella
