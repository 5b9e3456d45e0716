#pragma once

#include "SponsorCore/AppLanguage.hpp"

#include <cstdint>
#include <string>

namespace nimbrella {

// An amount of micros (millionths of a euro) as a euro amount with exactly two
// decimals in the conventions of "it_IT" (Italian) or "en_IE" (English), for example
// "1,25 €" or "€1.25". "€" when the platform's formatter cannot produce a text.
std::string formatMoney(std::int64_t micros, AppLanguage language);

}  // namespace nimbrella
