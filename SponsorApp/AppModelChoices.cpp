// The user's choices: sponsorship on or off, pause and timed pause, the schedule and
// hidden sponsors, the preferences window and the updater's controls.

#include "SponsorApp/AppModel.hpp"

#include "SponsorApp/AppModelText.hpp"
#include "SponsorCore/Uuid.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace nimbrella {

// ---------------------------------------------------------------------------------
// Status

std::optional<std::string> AppModel::preferenceStatus() const {
  const bool italian = choices_.language == AppLanguage::it;
  if (!choices_.scheduleAllowsSponsors) return std::string(italian ? text::outsideHoursStatusIt : text::outsideHoursStatusEn);
  if (choices_.preferencesFiltered) return std::string(italian ? text::filteredStatusIt : text::filteredStatusEn);
  return std::nullopt;
}

// ---------------------------------------------------------------------------------
// Pause, snooze, consent

void AppModel::setPaused(bool value) {
  assign(AppModelField::snoozedUntil, choices_.snoozedUntil, std::optional<Date>());
  ports_.defaults->remove(defaultsKey::snoozedUntil);
  assign(AppModelField::paused, choices_.paused, value);
  ports_.defaults->setBoolean(defaultsKey::paused, value);
  if (!value) {
    exposure_.nextFetch = Date::min();
  } else {
    interrupt(text::paused, Hide::ad, Surface::drop);
  }
}

void AppModel::snooze(SnoozeChoice choice) {
  if (!choices_.consent || !account_.isPaired) return;
  const SnoozeState state = SnoozeState::make(choice, now(), ports_.calendar->current());
  // A timed pause whose end cannot be computed would never end: refused.
  if (!state.indefinite && !state.until) return;
  setPaused(true);
  assign(AppModelField::snoozedUntil, choices_.snoozedUntil, state.until);
  if (state.until) ports_.defaults->setDate(defaultsKey::snoozedUntil, *state.until);
}

void AppModel::setConsent(bool value) {
  assign(AppModelField::consent, choices_.consent, value);
  ports_.defaults->setBoolean(defaultsKey::consent, value);
  if (value) {
    exposure_.nextFetch = Date::min();
  } else {
    assign(AppModelField::snoozedUntil, choices_.snoozedUntil, std::optional<Date>());
    ports_.defaults->remove(defaultsKey::snoozedUntil);
    interrupt(text::turnedOff, Hide::ad, Surface::drop);
  }
}

void AppModel::toggleSponsorship() {
  if (!choices_.consent) {
    setPaused(false);
    assign(AppModelField::consent, choices_.consent, true);
    ports_.defaults->setBoolean(defaultsKey::consent, true);
    exposure_.nextFetch = Date::min();
  } else {
    setConsent(false);
  }
}

// ---------------------------------------------------------------------------------
// Preferences

bool AppModel::updateSponsorPreferences(const PreferencesChange& change) {
  SponsorPreferences copy = choices_.sponsorPreferences;
  change(copy);
  if (copy.blockedSponsors.size() > SponsorPreferences::maxBlockedSponsors) return false;
  if (const auto error = copy.save(*ports_.defaults, sponsorPreferencesKey)) {
    assign(AppModelField::message, message_, error->description);
    return false;
  }
  const bool allows = schedulePermits(copy, now());
  assign(AppModelField::sponsorPreferences, choices_.sponsorPreferences, std::move(copy));
  assign(AppModelField::scheduleAllowsSponsors, choices_.scheduleAllowsSponsors, allows);
  assign(AppModelField::preferencesFiltered, choices_.preferencesFiltered, false);
  interrupt(text::preferencesChanged, Hide::ad, Surface::drop);
  exposure_.nextFetch = Date::min();
  return true;
}

bool AppModel::canBlockCurrentSponsor() const {
  return exposure_.displayCreative && exposure_.displayCreative->advertiserId && isUuidText(*exposure_.displayCreative->advertiserId) &&
         choices_.sponsorPreferences.blockedSponsors.size() < SponsorPreferences::maxBlockedSponsors;
}

void AppModel::blockCurrentSponsor() {
  if (!canBlockCurrentSponsor()) return;
  std::string id = *exposure_.displayCreative->advertiserId;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string name = exposure_.displayCreative->sponsor;
  updateSponsorPreferences([&id, &name](SponsorPreferences& preferences) {
    const bool known = std::any_of(preferences.blockedSponsors.begin(), preferences.blockedSponsors.end(),
                                   [&id](const BlockedSponsor& entry) { return entry.id == id; });
    if (!known) preferences.blockedSponsors.push_back(BlockedSponsor{id, name});
  });
}

// ---------------------------------------------------------------------------------
// Preferences window

void AppModel::showSponsorPreferences() {
  if (!choices_.preferencesWindow) {
    if (!ports_.makePreferencesWindow) return;
    choices_.preferencesWindow = ports_.makePreferencesWindow(*this);
    if (!choices_.preferencesWindow) return;
  }
  choices_.preferencesWindow->show();
}

// ---------------------------------------------------------------------------------
// Updates

void AppModel::mirrorUpdaterState() {
  const SoftwareUpdater::State state = ports_.updater->state();
  assign(AppModelField::canCheckForUpdates, choices_.canCheckForUpdates, state.canCheckForUpdates);
  assign(AppModelField::automaticallyChecks, choices_.automaticallyChecks, state.automaticallyChecks);
  assign(AppModelField::automaticallyInstalls, choices_.automaticallyInstalls, state.automaticallyInstalls);
}

void AppModel::checkForUpdates() {
  if (ports_.updater && choices_.canCheckForUpdates) ports_.updater->checkForUpdates();
}

void AppModel::setAutomaticallyChecks(bool value) {
  // The updater reports the value it keeps; the switch shows that one.
  if (ports_.updater) ports_.updater->setAutomaticallyChecks(value);
}

void AppModel::setAutomaticallyInstalls(bool value) {
  if (ports_.updater) ports_.updater->setAutomaticallyInstalls(value);
}

}  // namespace nimbrella
