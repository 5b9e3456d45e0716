#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/EarningsWeek.hpp"
#include "SponsorCore/Snooze.hpp"
#include "SponsorCore/SponsorPreferences.hpp"
#include "SponsorCore/UserDefaults.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace nimbrella {

// Readable failure messages: the stored form says everything about a value.
void PrintTo(const SponsorPreferences& preferences, std::ostream* out) { *out << preferences.encode(); }
void PrintTo(const SnoozeState& state, std::ostream* out) { *out << state.toJson().dump(); }

namespace {

using namespace std::chrono;

// A moment given as local wall time with its UTC offset in minutes (Rome: +60 or +120).
Date local(int y, unsigned mo, unsigned d, int h, int mi, int s, int offsetMinutes) {
  return Date(sys_days(year{y} / month{mo} / day{d}) + hours(h) + minutes(mi) + seconds(s) - minutes(offsetMinutes));
}
Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s = 0) { return local(y, mo, d, h, mi, s, 0); }

const std::string kId = "123e4567-e89b-12d3-a456-426614174000";
const std::string kUpperId = "123E4567-E89B-12D3-A456-426614174000";
const std::string kOtherId = "00000000-0000-4000-8000-00000000000a";
const Calendar rome("Europe/Rome");

std::string numberedId(int i) {
  const auto n = std::to_string(i);
  return "00000000-0000-4000-8000-" + std::string(12 - n.size(), '0') + n;
}


// A valid stored document, with the raw JSON value of one member replaced.
std::string document(const std::string& key = "", const std::string& raw = "") {
  const std::pair<std::string, std::string> members[] = {
      {"blockedSponsors", R"([{"id":")" + kId + R"(","name":"Sample"}])"},
      {"allowedCategories", R"(["software","other"])"}, {"scheduleEnabled", "true"}, {"weekdays", "[2,3]"},
      {"startMinute", "600"}, {"endMinute", "660"}};
  std::string text;
  for (const auto& [name, value] : members) {
    text += (text.empty() ? "{\"" : ",\"") + name + "\":" + (name == key ? raw : value);
  }
  return text + "}";
}

constexpr auto decode = &SponsorPreferences::decode;

SponsorPreferences schedule(std::set<int> weekdays, int start, int end) {
  SponsorPreferences preferences;
  preferences.scheduleEnabled = true, preferences.weekdays = std::move(weekdays);
  preferences.startMinute = start, preferences.endMinute = end;
  return preferences;
}

TEST(SponsorPreferences, LoadGivesTheDefaultsWhenNothingIsStoredAndTheLockedPreferencesForInvalidData) {
  EXPECT_EQ(sponsorPreferencesKey, "sponsorPreferencesV1.app.nimbrella.Nimbrella");
  const auto preferences = SponsorPreferences::load(InMemoryUserDefaults(), sponsorPreferencesKey);
  EXPECT_EQ(preferences, SponsorPreferences());
  EXPECT_TRUE(preferences.allowsTime(utc(2026, 3, 29, 3, 17), rome));
  // Every unreadable or invalid stored value gives the locked preferences.
  const SponsorPreferences locked = SponsorPreferences::locked();
  EXPECT_TRUE(locked.blockedSponsors.empty() && !locked.allowsTime(utc(2026, 6, 1, 12, 0), rome));
  const std::string entry = R"([{"id":")" + kId;
  for (const auto& text : {
           std::string("not json"), std::string("[]"),
           std::string(R"({"blockedSponsors":[],"scheduleEnabled":true,"weekdays":[1],"startMinute":1,"endMinute":2})"),
           document("weekdays", "[0]"), document("weekdays", "[8]"), document("weekdays", "[2.0]"),
           document("startMinute", "1440"), document("startMinute", "-1"), document("endMinute", "600.0"),
           document("scheduleEnabled", "1"), document("allowedCategories", "[\"Software\"]"),
           document("allowedCategories", "[1]"),
           document("blockedSponsors", R"([{"id":"not-a-uuid","name":"x"}])"),
           document("blockedSponsors", entry + R"(","name":null}])"), document("blockedSponsors", "[\"" + kId + "\"]"),
           document("blockedSponsors", entry + "\",\"name\":\"\xC3\"}]"),
           // The same member twice, at the top level or inside an exclusion.
           R"({"scheduleEnabled":false,)" + document().substr(1),
           document("blockedSponsors", entry + R"(","name":"a","name":"b"}])")}) {
    EXPECT_EQ(decode(text), locked) << text;
  }
  InMemoryUserDefaults store;  // a value of another kind under the key is stored but unreadable
  store.setText(sponsorPreferencesKey, document());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), locked);
}

TEST(SponsorPreferences, ValidStoredValuesAreReadAsTheyAre) {
  SponsorPreferences expected = schedule({2, 3}, 600, 660);
  expected.blockedSponsors = {{kId, "Sample"}};
  expected.allowedCategories = {SponsorCategory::software, SponsorCategory::other};
  EXPECT_EQ(decode(document()), expected);
  // Upper-case ids, empty names, equal minutes, repeated entries and unknown members pass.
  const auto loose = decode(R"({"extra":{"a":1},"blockedSponsors":[{"id":")" + kUpperId + R"(","name":""},{"id":")" +
                            kUpperId + R"(","name":"again","note":1}],"allowedCategories":[],"scheduleEnabled":true,)"
                            R"("weekdays":[7,7,1],"startMinute":600,"endMinute":600})");
  expected = schedule({1, 7}, 600, 600);
  expected.blockedSponsors = {{kUpperId, ""}, {kUpperId, "again"}};
  expected.allowedCategories = {};
  EXPECT_EQ(loose, expected);
}

TEST(SponsorPreferences, SaveWritesTheStoredFormOrNothingAndFiltersListCategoriesAndExclusions) {
  SponsorPreferences preferences = schedule({1, 4}, 1320, 360);
  ASSERT_TRUE(preferences.addExclusion(kId, "Caffè \"Uno\""));
  InMemoryUserDefaults store;
  EXPECT_FALSE(preferences.save(store, sponsorPreferencesKey).has_value());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), preferences);
  // A name that is not UTF-8 cannot be encoded: the error comes back and nothing is written.
  SponsorPreferences broken = preferences;
  broken.blockedSponsors[0].name = "\xFF";
  EXPECT_TRUE(broken.save(store, sponsorPreferencesKey).has_value());
  EXPECT_EQ(SponsorPreferences::load(store, sponsorPreferencesKey), preferences);
  // Filters list every category in byte order and the exclusions in list order.
  SponsorPreferences filtered;
  filtered.allowedCategories = {SponsorCategory::lifestyle};
  filtered.addExclusion(kOtherId, "B");
  filtered.addExclusion(kId, "A");
  EXPECT_EQ(filtered.filters().toJson().dump(), R"({"blockedAdvertiserIds":[")" + kOtherId + R"(",")" + kId +
            R"("],"allowedCategories":["business","creativity","education","lifestyle","other","software"]})");
}

TEST(SponsorPreferences, ExclusionsIgnoreCaseAndRefuseUnknownAdvertisersOnceAnyIsExcluded) {
  SponsorPreferences preferences;
  EXPECT_TRUE(preferences.allows(std::nullopt, std::nullopt));
  EXPECT_TRUE(preferences.addExclusion(kUpperId, "Sample"));
  EXPECT_EQ(preferences.blockedSponsors, (std::vector<BlockedSponsor>{{kId, "Sample"}}));
  EXPECT_FALSE(preferences.allows(std::nullopt, "software"));
  EXPECT_FALSE(preferences.allows(kUpperId, std::nullopt));
  EXPECT_TRUE(preferences.allows(kOtherId, "not-a-category"));
  EXPECT_FALSE(preferences.addExclusion(kId, "Renamed"));
  EXPECT_FALSE(preferences.addExclusion("advertiser-7", "Not a UUID"));
  // A stored upper-case entry still counts, and one stored twice is removed entirely.
  preferences.blockedSponsors.push_back({kUpperId, "Again"});
  EXPECT_TRUE(preferences.removeExclusion(kId));
  EXPECT_TRUE(preferences.blockedSponsors.empty() && !preferences.removeExclusion(kId));

  SponsorPreferences full;  // the list never grows past the limit, and no longer list is read
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(full.addExclusion(numberedId(i), "n"));
  EXPECT_FALSE(full.canAddExclusion(kId) || full.addExclusion(kId, "n"));
  EXPECT_EQ(decode(full.encode()), full);
  full.blockedSponsors.push_back({kId, "n"});
  EXPECT_EQ(decode(full.encode()), SponsorPreferences::locked());
}

TEST(SponsorPreferences, SameDayAndOvernightWindowsAtTheirMinuteBoundariesInRome) {
  const auto monday = schedule({2}, 540, 1080);  // Monday 23 March 2026, +1
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 23, 8, 59, 59, 60), rome));
  EXPECT_TRUE(monday.allowsTime(local(2026, 3, 23, 9, 0, 0, 60), rome));
  EXPECT_TRUE(monday.allowsTime(local(2026, 3, 23, 17, 59, 59, 60), rome));
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 23, 18, 0, 0, 60), rome));
  EXPECT_FALSE(monday.allowsTime(local(2026, 3, 24, 10, 0, 0, 60), rome));  // Tuesday
  const Date mondayNine = local(2026, 3, 23, 9, 0, 0, 60);
  EXPECT_FALSE(monday.allowsTime(mondayNine, Calendar("America/New_York")));  // another zone, another local time
  EXPECT_FALSE(monday.allowsTime(mondayNine, Calendar("No/Such_Zone")));
  EXPECT_TRUE(SponsorPreferences().allowsTime(mondayNine, Calendar("No/Such_Zone")));
  EXPECT_FALSE(schedule({1, 2, 3, 4, 5, 6, 7}, 600, 600).allowsTime(mondayNine + hours(3), rome));
  EXPECT_FALSE(schedule({2}, -1, 1080).allowsTime(mondayNine, rome));
  EXPECT_FALSE(schedule({2}, 540, 1440).allowsTime(mondayNine, rome));
  // Overnight windows belong to the day they open.
  const struct {
    int weekday, day, hour, minute;
    bool allowed;
  } cases[] = {
      // Monday 22:00 to Tuesday 06:00 (23 and 24 March 2026, +1).
      {2, 23, 22, 0, true}, {2, 23, 21, 59, false}, {2, 24, 5, 59, true}, {2, 24, 6, 0, false},
      {2, 23, 5, 0, false} /* Sunday night */, {2, 24, 23, 0, false} /* Tuesday evening */,
      {7, 22, 1, 0, true} /* Sunday after Saturday */, {1, 23, 1, 0, true} /* Monday after Sunday */,
  };
  for (const auto& c : cases) {
    EXPECT_EQ(schedule({c.weekday}, 1320, 360).allowsTime(local(2026, 3, c.day, c.hour, c.minute, 0, 60), rome),
              c.allowed) << c.weekday << " " << c.day << " " << c.hour << ":" << c.minute;
  }
}

TEST(SponsorPreferences, ScheduleFollowsLocalTimeAcrossDaylightSavingChanges) {
  // Sunday 29 March 2026: 02:00 local becomes 03:00 at 01:00 UTC.
  const auto night = schedule({1}, 60, 240);  // 01:00 to 04:00
  EXPECT_FALSE(night.allowsTime(utc(2026, 3, 28, 23, 59), rome));  // 00:59
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 0, 0), rome));     // 01:00
  EXPECT_TRUE(night.allowsTime(utc(2026, 3, 29, 1, 0), rome));     // 03:00
  EXPECT_FALSE(night.allowsTime(utc(2026, 3, 29, 2, 0), rome));    // 04:00
  // 02:00 to 03:00: the skipped hour never comes; on 25 October 02:xx happens twice.
  const auto skipped = schedule({1}, 120, 180);
  for (Date t = utc(2026, 3, 28, 22, 0); t < utc(2026, 3, 29, 22, 0); t += minutes(1)) {
    ASSERT_FALSE(skipped.allowsTime(t, rome));
  }
  int allowedMinutes = 0;
  for (Date t = utc(2026, 10, 24, 22, 0); t < utc(2026, 10, 25, 23, 0); t += minutes(1)) {
    allowedMinutes += skipped.allowsTime(t, rome) ? 1 : 0;
  }
  EXPECT_EQ(allowedMinutes, 120);
  EXPECT_TRUE(skipped.allowsTime(utc(2026, 10, 25, 0, 0), rome));   // 02:00 summer time
  EXPECT_FALSE(skipped.allowsTime(utc(2026, 10, 25, 2, 0), rome));  // 03:00 winter time
}

// Local days in Rome and São Paulo are covered by the schedule and snooze tests.
TEST(Calendar, CopiesAndMovesOwnTheirZone) {
  Calendar copy = rome;  // copies own their zone
  const Calendar moved = std::move(copy);
  copy = Calendar::utc();
  EXPECT_EQ(moved.hour(utc(2026, 1, 1, 7, 0)), 8);
  EXPECT_EQ(copy.hour(utc(2026, 1, 1, 7, 0)), 7);
}

TEST(SnoozeState, TimedPausesAddAbsoluteSecondsAndEndOfDayIsTheNextLocalMidnight) {
  const Date now = utc(2026, 3, 29, 0, 45, 12) + milliseconds(250);  // an hour before clocks change
  const Calendar saoPaulo("America/Sao_Paulo"), broken("No/Such_Zone");
  const std::tuple<SnoozeChoice, Date, const Calendar*, SnoozeState> cases[] = {
      {SnoozeChoice::minutes30, now, &rome, {now + seconds(1800), false}},
      {SnoozeChoice::hours2, now, &rome, {now + seconds(7200), false}},
      {SnoozeChoice::hours6, now, &rome, {now + seconds(21600), false}},
      {SnoozeChoice::indefinite, now, &rome, {std::nullopt, true}},
      // The end of the day is the next local midnight, also when clocks change.
      {SnoozeChoice::endOfDay, utc(2026, 1, 14, 22, 59, 30), &rome, {utc(2026, 1, 14, 23, 0), false}},  // 23:59:30
      {SnoozeChoice::endOfDay, utc(2026, 1, 14, 23, 0), &rome, {utc(2026, 1, 15, 23, 0), false}},  // a new day
      {SnoozeChoice::endOfDay, utc(2026, 3, 29, 0, 30), &rome, {utc(2026, 3, 29, 22, 0), false}},  // 01:30 (+1)
      {SnoozeChoice::endOfDay, utc(2026, 10, 24, 22, 30), &rome, {utc(2026, 10, 25, 23, 0), false}},  // 25 hours
      // São Paulo skipped midnight on 4 November 2018 (the day began at 01:00 -2): the day
      // before ends when that day starts, and that day still ends at the next midnight.
      {SnoozeChoice::endOfDay, utc(2018, 11, 3, 23, 0), &saoPaulo, {utc(2018, 11, 4, 3, 0), false}},
      {SnoozeChoice::endOfDay, utc(2018, 11, 4, 12, 0), &saoPaulo, {utc(2018, 11, 5, 2, 0), false}},
      // A calendar that cannot answer gives a pause that is not in force.
      {SnoozeChoice::endOfDay, now, &broken, {std::nullopt, false}},
  };
  for (const auto& [choice, at, calendar, state] : cases) {
    EXPECT_EQ(SnoozeState::make(choice, at, *calendar), state) << static_cast<int>(choice);
  }
}

TEST(EarningsWeek, SevenUtcDaysEndingTodayEachWithTheFirstRecordOfExactlyItsKey) {
  // The last instant of a UTC day is still that day.
  const Date lastInstant = utc(2026, 3, 10, 23, 59, 59) + nanoseconds(999'999'999);
  std::string week;
  for (const auto& day : EarningsWeek::days({{"2026-3-4", 11}, {"2026-03-05", -3}, {"2026-03-05", 99},
                                             {"2026-03-10 ", 1}, {"2026-03-10", 7}, {"2026-03-03", 50}},
                                            lastInstant)) {
    week += day.day + "=" + std::to_string(day.earnedMicros) + " ";
  }
  EXPECT_EQ(week, "2026-03-04=0 2026-03-05=-3 2026-03-06=0 2026-03-07=0 2026-03-08=0 2026-03-09=0 2026-03-10=7 ");
  EXPECT_EQ(EarningsWeek::days({}, utc(2029, 1, 2, 0, 0)).front().day, "2028-12-27");
}

}  // namespace
}  // namespace nimbrella
