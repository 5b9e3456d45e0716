#pragma once

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/SponsorFilters.hpp"
#include "SponsorCore/UserDefaults.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// Sponsor categories, in declaration order. The raw value (also the identifier) of each
// case is its name.
enum class SponsorCategory { software, creativity, education, business, lifestyle, other };

inline constexpr std::array<SponsorCategory, 6> allSponsorCategories = {
    SponsorCategory::software, SponsorCategory::creativity, SponsorCategory::education,
    SponsorCategory::business, SponsorCategory::lifestyle, SponsorCategory::other};

std::string_view rawValue(SponsorCategory category) noexcept;
// Exactly the six lower-case raw values; anything else gives nothing.
std::optional<SponsorCategory> sponsorCategoryFromRaw(std::string_view raw) noexcept;
// The display title in the given language.
std::string_view title(SponsorCategory category, AppLanguage language) noexcept;

// One excluded advertiser: its identifier (lower-case UUID text) and the sponsor's name
// when it was excluded. The identity of an entry in a list is its id.
struct BlockedSponsor {
  std::string id;
  std::string name;
  bool operator==(const BlockedSponsor&) const = default;
};

// The failure of encoding preferences for storage, with the encoder's own description.
struct PreferencesEncodingError {
  std::string description;
  bool operator==(const PreferencesEncodingError&) const = default;
};

// The user-defaults key of the stored preferences.
inline constexpr std::string_view sponsorPreferencesKey = "sponsorPreferencesV1." NIMBRELLA_BUNDLE_IDENTIFIER;

// Which sponsors may appear and when. A plain value compared field by field; the
// defaults are those of a fresh installation.
struct SponsorPreferences {
  // At most this many exclusions are kept.
  static constexpr std::size_t maxBlockedSponsors = 256;

  std::vector<BlockedSponsor> blockedSponsors;  // oldest first
  std::set<SponsorCategory> allowedCategories{allSponsorCategories.begin(), allSponsorCategories.end()};
  bool scheduleEnabled = false;
  std::set<int> weekdays{1, 2, 3, 4, 5, 6, 7};  // 1 = Sunday ... 7 = Saturday
  int startMinute = 540;                         // minutes after local midnight, 0-1439
  int endMinute = 1080;                          // exclusive; below startMinute: next day

  bool operator==(const SponsorPreferences&) const = default;

  // What unreadable or invalid stored preferences become: the defaults with the schedule
  // switched on and no weekday, so no moment is allowed until the user edits the schedule.
  static SponsorPreferences locked();

  // Reads the preferences stored under the key: the defaults when nothing is stored, the
  // locked preferences when the stored value is not valid data of this form. Never throws.
  //
  // The stored value is one JSON object with exactly-typed members "blockedSponsors"
  // (array of {"id": text, "name": text}), "allowedCategories" (array of raw values),
  // "scheduleEnabled" (boolean), "weekdays" (array of integers), "startMinute" and
  // "endMinute" (integers). All six are required; other members are ignored. Numbers
  // written with a fraction or exponent are not integers. An object that names a member
  // twice is refused, since it is ambiguous which one was meant. Repeated weekdays or
  // categories collapse into their set; repeated exclusions are kept as stored.
  static SponsorPreferences load(const UserDefaults& defaults, std::string_view key) noexcept;

  // The same reading over the stored bytes themselves.
  static SponsorPreferences decode(std::string_view storedJson) noexcept;

  // The stored JSON form of this value.
  std::string encode() const;

  // Writes the stored form under the key, replacing what was there. On an encoding
  // failure (text that is not valid UTF-8) nothing is written and the encoder's error is
  // returned.
  std::optional<PreferencesEncodingError> save(UserDefaults& defaults, std::string_view key) const;

  // The filters a sponsor request carries: the exclusion ids in list order and all six
  // category raw values in ascending byte order (the stored category set does not filter).
  SponsorFilters filters() const;

  // Whether a sponsor with this advertiser identifier may be shown. Without an identifier
  // it may only when there are no exclusions. Identifiers compare without regard to case.
  // The category is accepted for the server's sake and not consulted.
  bool allows(std::optional<std::string_view> advertiserId, std::optional<std::string_view> category) const noexcept;

  // Whether the schedule allows sponsors at the moment, read in the calendar's time zone.
  // Does not allocate.
  bool allowsTime(Date date, const Calendar& calendar) const noexcept;

  // True when an exclusion of this advertiser could be added: the identifier is UUID text
  // and the list has room.
  bool canAddExclusion(std::string_view advertiserId) const noexcept;

  // Adds an exclusion at the end with the lower-cased identifier and the sponsor's name.
  // Leaves the list unchanged, and answers false, when the identifier is already excluded
  // (in any letter case), is not UUID text, or the list is full.
  bool addExclusion(std::string_view advertiserId, std::string_view sponsorName);

  // Removes the exclusion of this identifier (every entry equal to it without regard to
  // case), keeping the order of the others. Answers whether anything was removed.
  bool removeExclusion(std::string_view advertiserId);
};

}  // namespace nimbrella
