#pragma once

#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/Date.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <string_view>

namespace nimbrella {

// The pause lengths offered to the user, in menu order. The raw value of each is its name.
enum class SnoozeChoice { minutes30, hours2, hours6, endOfDay, indefinite };

inline constexpr std::array<SnoozeChoice, 5> allSnoozeChoices = {
    SnoozeChoice::minutes30, SnoozeChoice::hours2, SnoozeChoice::hours6, SnoozeChoice::endOfDay,
    SnoozeChoice::indefinite};

std::string_view rawValue(SnoozeChoice choice) noexcept;
// Exactly the five raw values; anything else gives nothing.
std::optional<SnoozeChoice> snoozeChoiceFromRaw(std::string_view raw) noexcept;

// User-defaults keys under which the controller keeps a pause across restarts: the pause
// flag (boolean) and the end of a timed pause (date, absent for an indefinite pause).
inline constexpr std::string_view sponsorshipPausedKey = "menubarSponsorshipPaused";
inline constexpr std::string_view snoozedUntilKey = "menubarSnoozedUntil";

// A manual pause: its end, or no end at all. A plain value compared field by field.
struct SnoozeState {
  std::optional<Date> until;  // end of a timed pause
  bool indefinite = false;    // a pause without end

  bool operator==(const SnoozeState&) const = default;

  // The pause for a choice made at `now`. Timed choices add absolute seconds; the end of
  // the day is the next start of a local day in the calendar's zone (nothing, and so an
  // inactive pause, when the calendar cannot compute it).
  static SnoozeState make(SnoozeChoice choice, Date now, const Calendar& calendar);

  // True while the pause is in force: always for an indefinite pause, otherwise strictly
  // before its end.
  bool isActive(Date at) const noexcept;

  // JSON form: {"until": seconds since 2001-01-01 00:00:00 UTC (a number), written only
  // when present; "indefinite": boolean}. Reading requires "indefinite" as a boolean and
  // accepts "until" as a number of seconds or absent (null counts as absent); a number
  // outside the range of dates this program represents is refused.
  nlohmann::ordered_json toJson() const;
  static std::optional<SnoozeState> fromJson(const nlohmann::ordered_json& json) noexcept;
};

// The moment as seconds since 2001-01-01 00:00:00 UTC, and back (nothing for a value that
// is not finite or lies outside the dates this program represents).
double secondsSinceReferenceDate(Date date) noexcept;
std::optional<Date> dateFromSecondsSinceReferenceDate(double seconds) noexcept;

}  // namespace nimbrella
