#pragma once

#include "SponsorApp/Ports.hpp"

#include <functional>
#include <string>
#include <vector>

namespace nimbrella {

// The languages named by the locale environment, most preferred first: every entry of
// the colon-separated LANGUAGE list, then LC_ALL, LC_MESSAGES and LANG. Empty values
// and the "C" and "POSIX" locales name no language; repeats are dropped.
std::vector<std::string> preferredLanguagesFrom(const std::function<const char*(const char*)>& environment);

class LocalePreferredLanguages final : public PreferredLanguages {
 public:
  std::vector<std::string> preferredLanguages() const override;
};

}  // namespace nimbrella
