#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/SponsorPreferences.hpp"
#include "SponsorCore/UserDefaults.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace nimbrella {

// Readable failure messages: the stored form says everything about a value.
void PrintTo(const SponsorPreferences& preferences, std::ostream* out) { *out << preferences.encode(); }
void PrintTo(const BlockedSponsor& entry, std::ostream* out) { *out << entry.id << " \"" << entry.name << '"'; }

namespace {

using namespace std::chrono;

// A moment given as local wall time with its UTC offset in minutes (Rome: +60 or +120).
Date local(int y, unsigned mo, unsigned d, int h, int mi, int s, int offsetMinutes) {
  return Date(sys_days(year{y} / month{mo} / day{d}) + hours(h) + minutes(mi) + seconds(s) - minutes(offsetMinutes));
}
Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s = 0) { return local(y, mo, d, h, mi, s, 0); }

const std::string kId = "123e4567-e89b-12d3-a456-426614174000";
const std::string kOtherId = "00000000-0000-4000-8000-00000000000a";

std::string validJson(const std::string& replaceKey = "", const std::string& replacement = "") {
  nlohmann::ordered_json document = {
      {"blockedSponsors", nlohmann::ordered_json::array({{{"id", kId}, {"name", "Sample"}}})},
      {"allowedCategories", {"software", "other"}},
      {"scheduleEnabled", true},
      {"weekdays", {2, 3}},
      {"startMinute", 600},
      {"endMinute", 660}};
  std::string text = document.dump();
  if (!replaceKey.empty()) {
    const auto at = text.find("\"" + replaceKey + "\":");
    const auto valueStart = at + replaceKey.size() + 3;
    std::size_t valueEnd = valueStart;
    int depth = 0;
    for (; valueEnd < text.size(); ++valueEnd) {
      const char c = text[valueEnd];
      if (c == '[' || c == '{') ++depth;
      if (c == ']' || c == '}') {
        if (depth == 0) break;
        --depth;
      }
      if (c == ',' && depth == 0) break;
    }
    text.replace(valueStart, valueEnd - valueStart, replacement);
  }
  return text;
}

SponsorPreferences loadText(const std::string& text) {
  InMemoryUserDefaults store;
  store.setData(sponsorPreferencesKey, bytesOf(text));
  return SponsorPreferences::load(store, sponsorPreferencesKey);
}

TEST(UserDefaults, KeepsOneValueOfOneKindPerKey) {
  InMemoryUserDefaults store;
  EXPECT_FALSE(store.contains("k"));
  store.setText("k", "text");
  EXPECT_EQ(store.text("k"), "text");
  EXPECT_FALSE(store.data("k").has_value());
  EXPECT_FALSE(store.boolean("k").has_value());
  EXPECT_FALSE(store.date("k").has_value());
  store.setBoolean("k", false);
  EXPECT_EQ(store.boolean("k"), false);
  EXPECT_FALSE(store.text("k").has_value());
  const Date when = utc(2026, 5, 1, 12, 0);
  store.setDate("k", when);
  EXPECT_EQ(store.date("k"), when);
  store.setData("k", bytesOf("{}"));
  EXPECT_EQ(store.data("k"), bytesOf("{}"));
  EXPECT_EQ(store.size(), 1u);
  store.remove("k");
  store.remove("k");
  EXPECT_FALSE(store.contains("k"));
}

TEST(SponsorPreferences, KeyAndCategoryTexts) {
  EXPECT_EQ(sponsorPreferencesKey, "sponsorPreferencesV1.app.nimbrella.Nimbrella");
  ASSERT_EQ(allSponsorCategories.size(), 6u);
  for (const auto category : allSponsorCategories) EXPECT_EQ(sponsorCategoryFromRaw(rawValue(category)), category);
  EXPECT_EQ(rawValue(allSponsorCategories.front()), "software");
  EXPECT_FALSE(sponsorCategoryFromRaw("Software").has_value());
  EXPECT_FALSE(sponsorCategoryFromRaw("").has_value());
  EXPECT_EQ(title(SponsorCategory::creativity, AppLanguage::it), "Creatività e design");
  EXPECT_EQ(title(SponsorCategory::education, AppLanguage::en), "Learning");
  EXPECT_EQ(title(SponsorCategory::other, AppLanguage::en), "Other / uncategorized");
  EXPECT_EQ(title(SponsorCategory::other, AppLanguage::it), "Altro / non classificato");
}

TEST(SponsorPreferences, NothingStoredGivesTheDefaultsWhichAllowEveryMoment) {
  InMemoryUserDefaults store;
  const auto preferences = SponsorPreferences::load(store, sponsorPreferencesKey);
  EXPECT_EQ(preferences, SponsorPreferences());
  EXPECT_FALSE(preferences.scheduleEnabled);
  EXPECT_EQ(preferences.weekdays, (std::set<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(preferences.startMinute, 540);
  EXPECT_EQ(preferences.endMinute, 1080);
  EXPECT_EQ(preferences.allowedCategories.size(), 6u);
  const Calendar rome("Europe/Rome");
  for (int h = 0; h < 24; h += 5) EXPECT_TRUE(preferences.allowsTime(utc(2026, 3, 29, h, 17), rome));
}

TEST(SponsorPreferences, EveryUnreadableOrInvalidStoredValueGivesTheLockedPreferences) {
  const SponsorPreferences locked = SponsorPreferences::locked();
  EXPECT_TRUE(locked.scheduleEnabled);
  EXPECT_TRUE(locked.weekdays.empty());
  EXPECT_TRUE(locked.blockedSponsors.empty());

  ASSERT_NE(loadText(validJson()), locked);  // the base document itself is valid

  std::string exclusions = "[";
  for (int i = 0; i < 257; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
    exclusions += std::string(i ? "," : "") + R"({"id":")" + id + R"(","name":"n"})";
  }
  exclusions += "]";

  const std::string bad[] = {
      "",
      "not json",
      "[]",
      "null",
      validJson() + "x",
      R"({"blockedSponsors":[],"scheduleEnabled":true,"weekdays":[1],"startMinute":1,"endMinute":2})",
      validJson("weekdays", "[0,1]"),
      validJson("weekdays", "[8]"),
      validJson("weekdays", "[-1]"),
      validJson("weekdays", "[2.0]"),
      validJson("weekdays", "[\"2\"]"),
      validJson("weekdays", "{}"),
      validJson("startMinute", "1440"),
      validJson("startMinute", "-1"),
      validJson("endMinute", "600.0"),
      validJson("endMinute", "6e2"),
      validJson("endMinute", "18446744073709551616"),
      validJson("endMinute", "null"),
      validJson("scheduleEnabled", "1"),
      validJson("scheduleEnabled", "\"true\""),
      validJson("allowedCategories", "[\"Software\"]"),
      validJson("allowedCategories", "[\"travel\"]"),
      validJson("allowedCategories", "[1]"),
      validJson("blockedSponsors", exclusions),
      validJson("blockedSponsors", R"([{"id":"not-a-uuid","name":"x"}])"),
      validJson("blockedSponsors", R"([{"id":"{123e4567-e89b-12d3-a456-426614174000}","name":"x"}])"),
      validJson("blockedSponsors", R"([{"id":")" + kId + R"("}])"),
      validJson("blockedSponsors", R"([{"id":")" + kId + R"(","name":null}])"),
      validJson("blockedSponsors", R"([")" + kId + R"("])"),
      validJson("blockedSponsors", R"([{"id":")" + kId + R"(","name":"\u00e9\udc00"}])"),
      validJson("blockedSponsors", R"([{"id":")" + kId + "\",\"name\":\"\xC3\"}]"),
      // The same member twice, at the top level or inside an exclusion.
      R"({"scheduleEnabled":false,)" + validJson().substr(1),
      validJson("blockedSponsors", R"([{"id":")" + kId + R"(","name":"a","name":"b"}])"),
  };
  const Calendar rome("Europe/Rome");
  for (const auto& text : bad) {
    const auto preferences = loadText(text);
    EXPECT_EQ(preferences, locked) << text;
    for (int h = 0; h < 24; h += 3) EXPECT_FALSE(preferences.allowsTime(utc(2026, 6, 1, h, 0), rome)) << text;
  }

  // A value of another kind under the key is stored but unreadable.
  InMemoryUserDefaults store;
  store.setText(sponsorPreferencesKey, validJson());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), locked);
}

TEST(SponsorPreferences, ValidStoredValuesAreReadAsTheyAre) {
  const auto base = loadText(validJson());
  EXPECT_EQ(base.blockedSponsors, (std::vector<BlockedSponsor>{{kId, "Sample"}}));
  EXPECT_EQ(base.allowedCategories, (std::set<SponsorCategory>{SponsorCategory::software, SponsorCategory::other}));
  EXPECT_TRUE(base.scheduleEnabled);
  EXPECT_EQ(base.weekdays, (std::set<int>{2, 3}));
  EXPECT_EQ(base.startMinute, 600);
  EXPECT_EQ(base.endMinute, 660);

  // No weekday with the schedule off: sponsors run at any hour.
  auto anyHour = loadText(validJson("weekdays", "[]").replace(validJson().find("true"), 4, "false"));
  EXPECT_FALSE(anyHour.scheduleEnabled);
  EXPECT_TRUE(anyHour.weekdays.empty());
  EXPECT_TRUE(anyHour.allowsTime(utc(2026, 6, 1, 3, 0), Calendar("Europe/Rome")));

  // Upper-case ids, empty names, equal minutes, repeated entries and unknown members pass.
  const std::string upper = "123E4567-E89B-12D3-A456-426614174000";
  const auto loose = loadText(
      R"({"extra":{"a":1},"blockedSponsors":[{"id":")" + upper + R"(","name":""},{"id":")" + upper +
      R"(","name":"again","note":1}],"allowedCategories":[],"scheduleEnabled":true,"weekdays":[7,7,1],)"
      R"("startMinute":600,"endMinute":600})");
  ASSERT_EQ(loose.blockedSponsors.size(), 2u);
  EXPECT_EQ(loose.blockedSponsors[0].id, upper);
  EXPECT_EQ(loose.blockedSponsors[1].name, "again");
  EXPECT_TRUE(loose.allowedCategories.empty());
  EXPECT_EQ(loose.weekdays, (std::set<int>{1, 7}));
  EXPECT_EQ(loose.startMinute, loose.endMinute);
  EXPECT_NE(loose, SponsorPreferences::locked());

  std::string full = "[";
  for (int i = 0; i < 256; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
    full += std::string(i ? "," : "") + R"({"id":")" + id + R"(","name":"n"})";
  }
  EXPECT_EQ(loadText(validJson("blockedSponsors", full + "]")).blockedSponsors.size(), 256u);
}

TEST(SponsorPreferences, SaveWritesTheStoredFormAndLoadReadsItBack) {
  SponsorPreferences preferences;
  ASSERT_TRUE(preferences.addExclusion(kId, "Caffè \"Uno\""));
  ASSERT_TRUE(preferences.addExclusion(kOtherId, ""));
  preferences.allowedCategories = {SponsorCategory::business};
  preferences.scheduleEnabled = true;
  preferences.weekdays = {1, 4};
  preferences.startMinute = 1320;
  preferences.endMinute = 360;

  InMemoryUserDefaults store;
  store.setData(sponsorPreferencesKey, bytesOf("old"));
  EXPECT_FALSE(preferences.save(store, sponsorPreferencesKey).has_value());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), preferences);

  const auto bytes = *store.data(sponsorPreferencesKey);
  const auto json = nlohmann::json::parse(bytes.begin(), bytes.end());
  EXPECT_EQ(json.size(), 6u);
  EXPECT_EQ(json["blockedSponsors"][0], (nlohmann::json{{"id", kId}, {"name", "Caffè \"Uno\""}}));
  EXPECT_EQ(json["allowedCategories"], nlohmann::json::array({"business"}));
  EXPECT_EQ(json["scheduleEnabled"], true);
  EXPECT_EQ(json["weekdays"], nlohmann::json::array({1, 4}));
  EXPECT_EQ(json["startMinute"], 1320);
  EXPECT_EQ(json["endMinute"], 360);

  // A name that is not UTF-8 cannot be encoded: the error comes back and nothing is written.
  SponsorPreferences broken = preferences;
  broken.blockedSponsors[1].name = "\xFF";
  const auto error = broken.save(store, sponsorPreferencesKey);
  ASSERT_TRUE(error.has_value());
  EXPECT_FALSE(error->description.empty());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), preferences);
}

TEST(SponsorPreferences, FiltersListEveryCategoryInByteOrderAndTheExclusionsInListOrder) {
  SponsorPreferences preferences;
  preferences.allowedCategories = {SponsorCategory::lifestyle};
  preferences.addExclusion(kOtherId, "B");
  preferences.addExclusion(kId, "A");
  const auto filters = preferences.filters();
  EXPECT_EQ(filters.blockedAdvertiserIds, (std::vector<std::string>{kOtherId, kId}));
  EXPECT_EQ(filters.allowedCategories,
            (std::vector<std::string>{"business", "creativity", "education", "lifestyle", "other", "software"}));
  EXPECT_EQ(SponsorPreferences().filters().toJson().dump(),
            R"({"blockedAdvertiserIds":[],"allowedCategories":["business","creativity","education","lifestyle","other","software"]})");
}

TEST(SponsorPreferences, ExclusionTestIgnoresCaseAndRefusesUnknownAdvertisersOnceAnyIsExcluded) {
  SponsorPreferences preferences;
  EXPECT_TRUE(preferences.allows(std::nullopt, std::nullopt));
  EXPECT_TRUE(preferences.allows(kId, "software"));
  ASSERT_TRUE(preferences.addExclusion(kId, "Sample"));
  EXPECT_FALSE(preferences.allows(std::nullopt, "software"));
  EXPECT_FALSE(preferences.allows("123E4567-E89B-12D3-A456-426614174000", std::nullopt));
  EXPECT_FALSE(preferences.allows(kId, "not-a-category"));
  EXPECT_TRUE(preferences.allows(kOtherId, std::nullopt));
  EXPECT_TRUE(preferences.allows("", std::nullopt));
}

TEST(SponsorPreferences, AddingAndRemovingExclusions) {
  SponsorPreferences preferences;
  EXPECT_TRUE(preferences.addExclusion("123E4567-E89B-12D3-A456-426614174000", "Sample"));
  EXPECT_EQ(preferences.blockedSponsors, (std::vector<BlockedSponsor>{{kId, "Sample"}}));
  EXPECT_FALSE(preferences.addExclusion(kId, "Renamed"));
  EXPECT_FALSE(preferences.addExclusion("123E4567-E89B-12D3-A456-426614174000", "Renamed"));
  EXPECT_EQ(preferences.blockedSponsors.size(), 1u);
  EXPECT_FALSE(preferences.addExclusion("advertiser-7", "Not a UUID"));
  EXPECT_FALSE(preferences.canAddExclusion("advertiser-7"));

  // A stored upper-case entry still counts as present.
  SponsorPreferences stored;
  stored.blockedSponsors = {{"123E4567-E89B-12D3-A456-426614174000", "Sample"}};
  EXPECT_FALSE(stored.addExclusion(kId, "Sample"));

  EXPECT_TRUE(preferences.addExclusion(kOtherId, "Other"));
  EXPECT_TRUE(preferences.addExclusion("ffffffff-ffff-4fff-bfff-ffffffffffff", "Third"));
  EXPECT_TRUE(preferences.removeExclusion(kOtherId));
  EXPECT_EQ(preferences.blockedSponsors,
            (std::vector<BlockedSponsor>{{kId, "Sample"}, {"ffffffff-ffff-4fff-bfff-ffffffffffff", "Third"}}));
  EXPECT_FALSE(preferences.removeExclusion(kOtherId));

  // Restoring an advertiser that was stored twice restores it entirely.
  stored.blockedSponsors.push_back({kId, "Again"});
  EXPECT_TRUE(stored.removeExclusion(kId));
  EXPECT_TRUE(stored.blockedSponsors.empty());

  // The list never grows past the limit.
  SponsorPreferences full;
  for (int i = 0; i < 256; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
    ASSERT_TRUE(full.addExclusion(id, "n"));
  }
  EXPECT_FALSE(full.canAddExclusion(kId));
  EXPECT_FALSE(full.addExclusion(kId, "n"));
  EXPECT_EQ(full.blockedSponsors.size(), SponsorPreferences::maxBlockedSponsors);
}

SponsorPreferences schedule(std::set<int> weekdays, int start, int end) {
  SponsorPreferences preferences;
  preferences.scheduleEnabled = true;
  preferences.weekdays = std::move(weekdays);
  preferences.startMinute = start;
  preferences.endMinute = end;
  return preferences;
}

TEST(SponsorPreferences, SameDayWindowAtItsMinuteBoundariesInRome) {
  const Calendar rome("Europe/Rome");
  const auto monday = schedule({2}, 540, 1080);
  // Monday 23 March 2026 (winter time, +1) and Monday 30 March 2026 (summer time, +2).
  for (const auto& [dayOfMonth, offset] : {std::pair{23u, 60}, std::pair{30u, 120}}) {
    EXPECT_FALSE(monday.allowsTime(local(2026, 3, dayOfMonth, 8, 59, 59, offset), rome));
    EXPECT_TRUE(monday.allowsTime(local(2026, 3, dayOfMonth, 9, 0, 0, offset), rome));
    EXPECT_TRUE(monday.allowsTime(local(2026, 3, dayOfMonth, 17, 59, 0, offset), rome));
    EXPECT_TRUE(monday.allowsTime(local(2026, 3, dayOfMonth, 17, 59, 59, offset), rome));
    EXPECT_FALSE(monday.allowsTime(local(2026, 3, dayOfMonth, 18, 0, 0, offset), rome));
    EXPECT_FALSE(monday.allowsTime(local(2026, 3, dayOfMonth + 1, 10, 0, 0, offset), rome));  // Tuesday
  }
  // The same instant read in another zone is another local time.
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 23, 9, 0, 0, 60), Calendar("America/New_York")));

  const Date mondayNoon = local(2026, 3, 23, 12, 0, 0, 60);
  EXPECT_FALSE(schedule({1, 2, 3, 4, 5, 6, 7}, 600, 600).allowsTime(mondayNoon, rome));
  EXPECT_FALSE(schedule({2}, -1, 1080).allowsTime(mondayNoon, rome));
  EXPECT_FALSE(schedule({2}, 540, 1440).allowsTime(mondayNoon, rome));
  EXPECT_FALSE(monday.allowsTime(mondayNoon, Calendar("No/Such_Zone")));
  EXPECT_TRUE(SponsorPreferences().allowsTime(mondayNoon, Calendar("No/Such_Zone")));
}

TEST(SponsorPreferences, OvernightWindowsBelongToTheDayTheyOpen) {
  const Calendar rome("Europe/Rome");
  const auto monday = schedule({2}, 1320, 360);  // Monday 22:00 to Tuesday 06:00
  EXPECT_TRUE(monday.allowsTime(local(2026, 3, 23, 23, 30, 0, 60), rome));
  EXPECT_TRUE(monday.allowsTime(local(2026, 3, 23, 22, 0, 0, 60), rome));
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 23, 21, 59, 59, 60), rome));
  EXPECT_TRUE(monday.allowsTime(local(2026, 3, 24, 5, 59, 0, 60), rome));
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 24, 6, 0, 0, 60), rome));
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 23, 5, 0, 0, 60), rome));   // Sunday not selected
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 24, 23, 0, 0, 60), rome));  // Tuesday not selected

  const auto saturday = schedule({7}, 1320, 360);
  EXPECT_TRUE(saturday.allowsTime(local(2026, 3, 22, 1, 0, 0, 60), rome));  // Sunday after Saturday
  EXPECT_FALSE(saturday.allowsTime(local(2026, 3, 23, 1, 0, 0, 60), rome));
  const auto sunday = schedule({1}, 1320, 360);
  EXPECT_TRUE(sunday.allowsTime(local(2026, 3, 23, 1, 0, 0, 60), rome));   // Monday after Sunday
  EXPECT_FALSE(sunday.allowsTime(local(2026, 3, 22, 1, 0, 0, 60), rome));  // Sunday early: Saturday's night
}

TEST(SponsorPreferences, ScheduleFollowsLocalTimeAcrossDaylightSavingChanges) {
  const Calendar rome("Europe/Rome");
  // Sunday 29 March 2026: 02:00 local becomes 03:00 at 01:00 UTC.
  const auto night = schedule({1}, 60, 240);  // 01:00 to 04:00
  EXPECT_FALSE(night.allowsTime(utc(2026, 3, 28, 23, 59), rome));  // 00:59
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 0, 0), rome));     // 01:00
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 0, 59), rome));    // 01:59
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 1, 0), rome));     // 03:00
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 1, 59), rome));    // 03:59
  EXPECT_FALSE(night.allowsTime(utc(2026, 3, 29, 2, 0), rome));    // 04:00
  // The skipped hour never comes.
  const auto skipped = schedule({1}, 120, 180);
  for (Date t = utc(2026, 3, 28, 22, 0); t < utc(2026, 3, 29, 22, 0); t += minutes(1)) {
    ASSERT_FALSE(skipped.allowsTime(t, rome));
  }
  // Sunday 25 October 2026: 03:00 local becomes 02:00 at 01:00 UTC; 02:xx happens twice.
  int allowedMinutes = 0;
  for (Date t = utc(2026, 10, 24, 22, 0); t < utc(2026, 10, 25, 23, 0); t += minutes(1)) {
    allowedMinutes += schedule({1}, 120, 180).allowsTime(t, rome) ? 1 : 0;
  }
  EXPECT_EQ(allowedMinutes, 120);
  EXPECT_FALSE(skipped.allowsTime(utc(2026, 10, 24, 23, 59), rome));  // 01:59 summer time
  EXPECT_TRUE(skipped.allowsTime(utc(2026, 10, 25, 0, 0), rome));     // 02:00 summer time
  EXPECT_TRUE(skipped.allowsTime(utc(2026, 10, 25, 1, 59), rome));    // 02:59 winter time
  EXPECT_FALSE(skipped.allowsTime(utc(2026, 10, 25, 2, 0), rome));    // 03:00 winter time
}

TEST(Calendar, ReadsLocalTimeAndDoesDayArithmeticInItsZone) {
  const Calendar rome("Europe/Rome");
  ASSERT_TRUE(rome.isValid());
  EXPECT_EQ(rome.zoneId(), "Europe/Rome");
  EXPECT_EQ(rome.localTime(utc(2026, 3, 22, 23, 30)), (Calendar::LocalTime{2, 0, 30}));  // Monday 00:30
  EXPECT_EQ(Calendar::utc().localTime(utc(2026, 3, 22, 23, 30)), (Calendar::LocalTime{1, 23, 30}));
  EXPECT_EQ(Calendar::utc().weekday(utc(1970, 1, 1, 0, 0)), 5);   // a Thursday
  EXPECT_EQ(Calendar::utc().weekday(utc(1969, 12, 31, 23, 59)), 4);
  EXPECT_EQ(Calendar::utc().hour(utc(1969, 12, 31, 23, 59) + milliseconds(999)), 23);
  EXPECT_EQ(Calendar("Asia/Kolkata").minute(utc(2026, 1, 1, 0, 0)), 30);

  // Day arithmetic keeps the wall time across a change of clocks.
  EXPECT_EQ(rome.startOfDay(utc(2026, 3, 29, 12, 0)), utc(2026, 3, 28, 23, 0));
  EXPECT_EQ(rome.addingDays(utc(2026, 3, 28, 23, 0), 1), utc(2026, 3, 29, 22, 0));
  EXPECT_EQ(rome.addingDays(utc(2026, 10, 25, 22, 0) + nanoseconds(7), -1), utc(2026, 10, 24, 21, 0) + nanoseconds(7));
  // In São Paulo midnight did not exist on 4 November 2018: that day began at 01:00.
  const Calendar saoPaulo("America/Sao_Paulo");
  EXPECT_EQ(saoPaulo.startOfDay(utc(2018, 11, 4, 15, 0)), utc(2018, 11, 4, 3, 0));

  const Calendar unknown("No/Such_Zone");
  EXPECT_FALSE(unknown.isValid());
  EXPECT_FALSE(unknown.localTime(utc(2026, 1, 1, 0, 0)).has_value());
  EXPECT_FALSE(unknown.startOfDay(utc(2026, 1, 1, 0, 0)).has_value());
  EXPECT_FALSE(unknown.addingDays(utc(2026, 1, 1, 0, 0), 1).has_value());

  Calendar copy = rome;
  Calendar moved = std::move(copy);
  EXPECT_EQ(moved.zoneId(), "Europe/Rome");
  copy = Calendar::utc();
  EXPECT_EQ(copy.hour(utc(2026, 1, 1, 7, 0)), 7);
  EXPECT_TRUE(Calendar::current().isValid());
}

}  // namespace
}  // namespace nimbrella
