#pragma once

#include "SponsorCore/Date.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <string>
#include <vector>

namespace nimbrella {

// The last seven UTC days of earnings, built from the server's daily list.
namespace EarningsWeek {

// Exactly seven records, oldest first and today (the UTC day of `now`) last, each keyed
// "yyyy-MM-dd". A day's amount is that of the first input record whose day text equals
// the key exactly, or 0; other input records are ignored. Amounts are carried as they are.
std::vector<EarningsDay> days(const std::vector<EarningsDay>& from, Date now);

// The "yyyy-MM-dd" key of the UTC day that contains the moment.
std::string utcDayKey(Date date);

}  // namespace EarningsWeek

}  // namespace nimbrella
