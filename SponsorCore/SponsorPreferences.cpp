#include "SponsorCore/SponsorPreferences.hpp"

#include "SponsorCore/Uuid.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>

namespace nimbrella {

namespace {

constexpr int kMinutesPerDay = 1440;

bool isMinuteOfDay(std::int64_t minute) noexcept { return minute >= 0 && minute < kMinutesPerDay; }

char asciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

std::string asciiLowercased(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = asciiLower(c);
  return result;
}

// Parses JSON text, refusing any object that names a member twice. Answers a discarded
// value on any failure.
nlohmann::json parseWithoutDuplicateMembers(std::string_view text) {
  std::vector<std::set<std::string, std::less<>>> openObjects;  // member names seen, per open object
  bool duplicate = false;
  nlohmann::json::parser_callback_t callback = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    switch (event) {
      case nlohmann::json::parse_event_t::object_start:
        openObjects.emplace_back();
        break;
      case nlohmann::json::parse_event_t::object_end:
        if (!openObjects.empty()) openObjects.pop_back();
        break;
      case nlohmann::json::parse_event_t::key:
        if (!openObjects.empty() && parsed.is_string()) {
          if (!openObjects.back().insert(parsed.get_ref<const std::string&>()).second) duplicate = true;
        }
        break;
      default:
        break;
    }
    return true;
  };
  nlohmann::json document = nlohmann::json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
  if (duplicate) return nlohmann::json(nlohmann::json::value_t::discarded);
  return document;
}

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

// The decoded value when the document is valid stored preferences; nothing otherwise.
std::optional<SponsorPreferences> decodeDocument(const nlohmann::json& document) {
  if (!document.is_object()) return std::nullopt;
  const auto* blocked = member(document, "blockedSponsors");
  const auto* categories = member(document, "allowedCategories");
  const auto* scheduleEnabled = member(document, "scheduleEnabled");
  const auto* weekdays = member(document, "weekdays");
  const auto* startMinute = member(document, "startMinute");
  const auto* endMinute = member(document, "endMinute");
  if (!blocked || !categories || !scheduleEnabled || !weekdays || !startMinute || !endMinute) return std::nullopt;
  if (!blocked->is_array() || !categories->is_array() || !scheduleEnabled->is_boolean() || !weekdays->is_array()) {
    return std::nullopt;
  }

  SponsorPreferences result;
  if (blocked->size() > SponsorPreferences::maxBlockedSponsors) return std::nullopt;
  result.blockedSponsors.reserve(blocked->size());
  for (const auto& entry : *blocked) {
    if (!entry.is_object()) return std::nullopt;
    const auto* id = member(entry, "id");
    const auto* name = member(entry, "name");
    if (!id || !name || !id->is_string() || !name->is_string()) return std::nullopt;
    const auto& idText = id->get_ref<const std::string&>();
    if (!isUuidText(idText)) return std::nullopt;
    result.blockedSponsors.push_back(BlockedSponsor{idText, name->get<std::string>()});
  }

  result.allowedCategories.clear();
  for (const auto& entry : *categories) {
    if (!entry.is_string()) return std::nullopt;
    const auto category = sponsorCategoryFromRaw(entry.get_ref<const std::string&>());
    if (!category) return std::nullopt;
    result.allowedCategories.insert(*category);
  }

  result.scheduleEnabled = scheduleEnabled->get<bool>();

  result.weekdays.clear();
  for (const auto& entry : *weekdays) {
    const auto day = integerValue(entry);
    if (!day || *day < 1 || *day > 7) return std::nullopt;
    result.weekdays.insert(static_cast<int>(*day));
  }

  const auto start = integerValue(*startMinute);
  const auto end = integerValue(*endMinute);
  if (!start || !end || !isMinuteOfDay(*start) || !isMinuteOfDay(*end)) return std::nullopt;
  result.startMinute = static_cast<int>(*start);
  result.endMinute = static_cast<int>(*end);
  return result;
}

}  // namespace

std::string_view rawValue(SponsorCategory category) noexcept {
  switch (category) {
    case SponsorCategory::software: return "software";
    case SponsorCategory::creativity: return "creativity";
    case SponsorCategory::education: return "education";
    case SponsorCategory::business: return "business";
    case SponsorCategory::lifestyle: return "lifestyle";
    case SponsorCategory::other: return "other";
  }
  return "other";
}

std::optional<SponsorCategory> sponsorCategoryFromRaw(std::string_view raw) noexcept {
  for (const SponsorCategory category : allSponsorCategories) {
    if (rawValue(category) == raw) return category;
  }
  return std::nullopt;
}

std::string_view title(SponsorCategory category, AppLanguage language) noexcept {
  const bool italian = language == AppLanguage::it;
  switch (category) {
    case SponsorCategory::software: return italian ? "Software e tecnologia" : "Software and technology";
    case SponsorCategory::creativity: return italian ? "Creatività e design" : "Creativity and design";
    case SponsorCategory::education: return italian ? "Formazione" : "Learning";
    case SponsorCategory::business: return italian ? "Lavoro e servizi" : "Work and services";
    case SponsorCategory::lifestyle: return italian ? "Tempo libero" : "Lifestyle";
    case SponsorCategory::other: return italian ? "Altro / non classificato" : "Other / uncategorized";
  }
  return italian ? "Altro / non classificato" : "Other / uncategorized";
}

SponsorPreferences SponsorPreferences::locked() {
  SponsorPreferences result;
  result.scheduleEnabled = true;
  result.weekdays.clear();
  return result;
}

SponsorPreferences SponsorPreferences::decode(std::string_view storedJson) noexcept {
  try {
    const nlohmann::json document = parseWithoutDuplicateMembers(storedJson);
    if (auto decoded = decodeDocument(document)) return std::move(*decoded);
  } catch (...) {
    // Out of memory or an unexpected library failure: treated as unreadable.
  }
  return locked();
}

SponsorPreferences SponsorPreferences::load(const UserDefaults& defaults, std::string_view key) noexcept {
  std::optional<UserDefaults::Bytes> stored;
  bool present = true;
  try {
    stored = defaults.data(key);
    // A value of another kind under the key is stored data that cannot be read.
    if (!stored) present = defaults.contains(key);
  } catch (...) {
    stored.reset();  // a store that fails to answer counts as unreadable
  }
  if (!stored) return present ? locked() : SponsorPreferences();
  return decode(std::string_view(reinterpret_cast<const char*>(stored->data()), stored->size()));
}

std::string SponsorPreferences::encode() const {
  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  nlohmann::ordered_json blocked = nlohmann::ordered_json::array();
  for (const auto& entry : blockedSponsors) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["id"] = entry.id;
    object["name"] = entry.name;
    blocked.push_back(std::move(object));
  }
  document["blockedSponsors"] = std::move(blocked);
  nlohmann::ordered_json categories = nlohmann::ordered_json::array();
  for (const SponsorCategory category : allowedCategories) categories.push_back(std::string(rawValue(category)));
  document["allowedCategories"] = std::move(categories);
  document["scheduleEnabled"] = scheduleEnabled;
  nlohmann::ordered_json days = nlohmann::ordered_json::array();
  for (const int day : weekdays) days.push_back(day);
  document["weekdays"] = std::move(days);
  document["startMinute"] = startMinute;
  document["endMinute"] = endMinute;
  return document.dump();
}

std::optional<PreferencesEncodingError> SponsorPreferences::save(UserDefaults& defaults, std::string_view key) const {
  std::string encoded;
  try {
    encoded = encode();
  } catch (const nlohmann::json::exception& error) {
    return PreferencesEncodingError{error.what()};
  }
  defaults.setData(key, bytesOf(encoded));
  return std::nullopt;
}

SponsorFilters SponsorPreferences::filters() const {
  SponsorFilters result;
  result.blockedAdvertiserIds.reserve(blockedSponsors.size());
  for (const auto& entry : blockedSponsors) result.blockedAdvertiserIds.push_back(entry.id);
  result.allowedCategories.reserve(allSponsorCategories.size());
  for (const SponsorCategory category : allSponsorCategories) result.allowedCategories.emplace_back(rawValue(category));
  std::sort(result.allowedCategories.begin(), result.allowedCategories.end());
  return result;
}

bool SponsorPreferences::allows(std::optional<std::string_view> advertiserId,
                                std::optional<std::string_view> /*category*/) const noexcept {
  if (!advertiserId) return blockedSponsors.empty();
  for (const auto& entry : blockedSponsors) {
    if (equalIgnoringAsciiCase(entry.id, *advertiserId)) return false;
  }
  return true;
}

bool SponsorPreferences::allowsTime(Date date, const Calendar& calendar) const noexcept {
  if (!scheduleEnabled) return true;
  if (!isMinuteOfDay(startMinute) || !isMinuteOfDay(endMinute) || startMinute == endMinute) return false;
  const auto local = calendar.localTime(date);
  if (!local) return false;
  const int minuteOfDay = local->hour * 60 + local->minute;
  const bool today = weekdays.count(local->weekday) != 0;
  if (startMinute < endMinute) return today && minuteOfDay >= startMinute && minuteOfDay < endMinute;
  // Overnight: the window opened on a selected day runs into the next day.
  if (today && minuteOfDay >= startMinute) return true;
  const int previousWeekday = local->weekday == 1 ? 7 : local->weekday - 1;
  return minuteOfDay < endMinute && weekdays.count(previousWeekday) != 0;
}

bool SponsorPreferences::canAddExclusion(std::string_view advertiserId) const noexcept {
  return isUuidText(advertiserId) && blockedSponsors.size() < maxBlockedSponsors;
}

bool SponsorPreferences::addExclusion(std::string_view advertiserId, std::string_view sponsorName) {
  if (!canAddExclusion(advertiserId)) return false;
  for (const auto& entry : blockedSponsors) {
    if (equalIgnoringAsciiCase(entry.id, advertiserId)) return false;
  }
  blockedSponsors.push_back(BlockedSponsor{asciiLowercased(advertiserId), std::string(sponsorName)});
  return true;
}

bool SponsorPreferences::removeExclusion(std::string_view advertiserId) {
  const auto removed = std::remove_if(blockedSponsors.begin(), blockedSponsors.end(), [&](const BlockedSponsor& entry) {
    return equalIgnoringAsciiCase(entry.id, advertiserId);
  });
  const bool changed = removed != blockedSponsors.end();
  blockedSponsors.erase(removed, blockedSponsors.end());
  return changed;
}

}  // namespace nimbrella
