#pragma once

#include "SponsorCore/Date.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

// Parses an internet date-time: "YYYY-MM-DDTHH:MM:SS", an optional "." with one or
// more fraction digits, then "Z" or a "+HH:MM" / "-HH:MM" offset. Nothing else is
// accepted: no blank instead of "T", no lower-case "t" or "z", no missing zone, no
// basic (colon-free) form, no comma fraction, no surrounding white space.
//
// Every field is range-checked (month 01-12, day within its month with leap years,
// hour 00-23, minute 00-59, second 00-59, offset hour 00-23 and minute 00-59). A leap
// second (second 60) is refused: the server never writes one and it names no instant
// the clock can represent. Fraction digits beyond nanoseconds are truncated. An instant
// outside the range of Date answers nothing instead of wrapping.
std::optional<Date> parseInternetDate(std::string_view text);

// The instant in UTC with milliseconds, e.g. "2026-01-02T03:04:05.678Z". Sub-millisecond
// parts are truncated towards the past.
std::string formatInternetDate(Date date);

}  // namespace nimbrella
