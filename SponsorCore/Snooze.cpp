#include "SponsorCore/Snooze.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace nimbrella {

namespace {

// 2001-01-01 00:00:00 UTC, in seconds since 1970-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceSeconds = 978'307'200;

// The next start of a local day after `now`: the start of the day after the one holding
// `now`. Taking the start of that day again (rather than just adding a day to the start
// of today) lands on midnight also after a day whose own midnight did not exist.
std::optional<Date> nextStartOfDay(Date now, const Calendar& calendar) {
  const auto today = calendar.startOfDay(now);
  if (!today) return std::nullopt;
  const auto tomorrow = calendar.addingDays(*today, 1);
  if (!tomorrow) return std::nullopt;
  const auto start = calendar.startOfDay(*tomorrow);
  if (!start || *start <= now) return std::nullopt;
  return start;
}

}  // namespace

std::string_view rawValue(SnoozeChoice choice) noexcept {
  switch (choice) {
    case SnoozeChoice::minutes30: return "minutes30";
    case SnoozeChoice::hours2: return "hours2";
    case SnoozeChoice::hours6: return "hours6";
    case SnoozeChoice::endOfDay: return "endOfDay";
    case SnoozeChoice::indefinite: return "indefinite";
  }
  return "indefinite";
}

std::optional<SnoozeChoice> snoozeChoiceFromRaw(std::string_view raw) noexcept {
  for (const SnoozeChoice choice : allSnoozeChoices) {
    if (rawValue(choice) == raw) return choice;
  }
  return std::nullopt;
}

SnoozeState SnoozeState::make(SnoozeChoice choice, Date now, const Calendar& calendar) {
  using std::chrono::seconds;
  switch (choice) {
    case SnoozeChoice::minutes30: return SnoozeState{now + seconds(1800), false};
    case SnoozeChoice::hours2: return SnoozeState{now + seconds(7200), false};
    case SnoozeChoice::hours6: return SnoozeState{now + seconds(21600), false};
    case SnoozeChoice::endOfDay: return SnoozeState{nextStartOfDay(now, calendar), false};
    case SnoozeChoice::indefinite: return SnoozeState{std::nullopt, true};
  }
  return SnoozeState{std::nullopt, true};
}

bool SnoozeState::isActive(Date at) const noexcept {
  if (indefinite) return true;
  return until && *until > at;
}

double secondsSinceReferenceDate(Date date) noexcept {
  using namespace std::chrono;
  // Whole seconds first, so that no intermediate nanosecond count can overflow.
  const auto whole = floor<seconds>(date.time_since_epoch());
  const auto fraction = duration<double>(date.time_since_epoch() - whole);
  return static_cast<double>(whole.count() - kReferenceSeconds) + fraction.count();
}

std::optional<Date> dateFromSecondsSinceReferenceDate(double seconds) noexcept {
  using namespace std::chrono;
  if (!std::isfinite(seconds)) return std::nullopt;
  const double whole = std::floor(seconds);
  // One second of margin on each side keeps the fraction and rounding inside the range.
  const auto earliest = static_cast<double>(ceil<std::chrono::seconds>(Date::min().time_since_epoch()).count() - kReferenceSeconds + 1);
  const auto latest = static_cast<double>(floor<std::chrono::seconds>(Date::max().time_since_epoch()).count() - kReferenceSeconds - 1);
  if (whole < earliest || whole > latest) return std::nullopt;
  const auto fraction = round<Date::duration>(duration<double>(seconds - whole));
  return Date(std::chrono::seconds(static_cast<std::int64_t>(whole) + kReferenceSeconds)) + fraction;
}

nlohmann::ordered_json SnoozeState::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  if (until) json["until"] = secondsSinceReferenceDate(*until);
  json["indefinite"] = indefinite;
  return json;
}

std::optional<SnoozeState> SnoozeState::fromJson(const nlohmann::ordered_json& json) noexcept {
  if (!json.is_object()) return std::nullopt;
  const auto indefinite = json.find("indefinite");
  if (indefinite == json.end() || !indefinite->is_boolean()) return std::nullopt;
  SnoozeState result;
  result.indefinite = indefinite->get<bool>();
  const auto until = json.find("until");
  if (until != json.end() && !until->is_null()) {
    if (!until->is_number()) return std::nullopt;
    result.until = dateFromSecondsSinceReferenceDate(until->get<double>());
    if (!result.until) return std::nullopt;
  }
  return result;
}

}  // namespace nimbrella
