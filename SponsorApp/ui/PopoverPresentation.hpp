#pragma once

// What the status popover shows, as plain values rebuilt from the controller on every
// change: the state of the sponsors and every text, label and size of the popover in
// the user's language. No Qt: the widgets only lay these values out.

#include "SponsorApp/AppModel.hpp"
#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/Snooze.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

enum class SponsorState {
  signInRequired,
  sponsorsDisabled,
  sponsorsPaused,
  waitingForSponsor,
  sponsorPreview,
  sponsorsEnabled,
};

struct PopoverPresentation {
  bool isPaired = false;
  bool consent = false;
  bool paused = false;
  std::optional<Date> snoozedUntil;
  bool isPreview = false;
  std::optional<SponsorCreative> creative;
  bool connectionPending = false;
  std::string connectionCode;
  std::optional<std::string> connectionError;  // in the user's language
  bool confirmationPending = false;
  bool isBusy = false;
  std::optional<std::string> preferenceStatus;
  DesktopRefusal desktopRefusal = DesktopRefusal::none;

  static PopoverPresentation from(const AppModel& model);
  // The first case that holds, in this order: not paired, sponsors off, paused, no
  // item, a preview, a paid item.
  SponsorState state() const;

  bool operator==(const PopoverPresentation&) const = default;
};

// The size of the popover in points, from the pairing state and the available area of
// the status item's screen (none when that screen is unknown).
struct PopoverSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PopoverSize&, const PopoverSize&) = default;
};
PopoverSize popoverSize(bool isPaired, bool connectionPending, bool hasConnectionError,
                        std::optional<PopoverSize> availableArea);

// The texts of the popover in one language. The calendar is made only for a text that
// shows a date, so that a popover without one never loads the time zone.
class PopoverText {
 public:
  explicit PopoverText(AppLanguage language, std::function<Calendar()> calendar = &Calendar::current)
      : language_(language), calendar_(std::move(calendar)) {}

  // A label of the popover's catalogue in this language.
  std::string copy(std::string_view english) const;
  std::string title(const PopoverPresentation& presentation) const;
  std::string detail(const PopoverPresentation& presentation) const;
  // "Paused until …": the end in short date and time styles (it_IT, else en_GB).
  std::string pausedUntil(Date end) const;
  std::string connectionTitle(bool pending) const;
  std::string connectionText(bool pending) const;
  std::string connectButton(bool pending) const;

  AppLanguage language() const { return language_; }

 private:
  AppLanguage language_;
  std::function<Calendar()> calendar_;
};

// The five pause durations in menu order with their labels (English keys).
struct PauseDuration {
  SnoozeChoice choice;
  std::string_view label;
};
inline constexpr std::array<PauseDuration, 5> pauseDurations{{
    {SnoozeChoice::minutes30, "For 30 minutes"},
    {SnoozeChoice::hours2, "For 2 hours"},
    {SnoozeChoice::hours6, "For 6 hours"},
    {SnoozeChoice::endOfDay, "Until tomorrow"},
    {SnoozeChoice::indefinite, "Until I resume"},
}};

// The sponsor card's colours: the creative's accent when it is "#RRGGBB", else the
// house colour; the text colour is black or white, whichever contrasts more.
struct CardColors {
  std::string background;
  std::string foreground;
  friend bool operator==(const CardColors&, const CardColors&) = default;
};
CardColors cardColors(const std::optional<std::string>& accentColor);

}  // namespace nimbrella
