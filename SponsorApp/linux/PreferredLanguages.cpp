#include "SponsorApp/linux/PreferredLanguages.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace nimbrella {

namespace {

void add(std::vector<std::string>& list, std::string_view value) {
  if (value.empty()) return;
  const std::string_view base = value.substr(0, value.find_first_of(".@"));
  if (base == "C" || base == "POSIX") return;
  if (std::find(list.begin(), list.end(), value) == list.end()) list.emplace_back(value);
}

}  // namespace

std::vector<std::string> preferredLanguagesFrom(const std::function<const char*(const char*)>& environment) {
  std::vector<std::string> list;
  if (const char* languages = environment("LANGUAGE")) {
    std::string_view rest(languages);
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      add(list, rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = environment(name)) add(list, value);
  }
  return list;
}

std::vector<std::string> LocalePreferredLanguages::preferredLanguages() const {
  return preferredLanguagesFrom([](const char* name) -> const char* { return std::getenv(name); });
}

}  // namespace nimbrella
