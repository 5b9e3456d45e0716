#include "SponsorCore/Language.hpp"

namespace nimbrella {

namespace {

constexpr char lowered(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowerCase) noexcept {
  if (text.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lowered(text[i]) != lowerCase[i]) return false;
  }
  return true;
}

// True for a BCP 47 tag or POSIX locale name whose language part is Italian.
// The language part ends at the first region, encoding or modifier separator, so
// "it-IT", "it_IT.UTF-8" and "it@euro" are Italian while "itl" (another language)
// is not.
bool isItalianLanguageTag(std::string_view tag) noexcept {
  const auto end = tag.find_first_of("-_.@");
  const auto language = tag.substr(0, end);
  return equalsIgnoringAsciiCase(language, "it") || equalsIgnoringAsciiCase(language, "ita");
}

}  // namespace

std::string_view rawValue(AppLanguage language) noexcept {
  switch (language) {
    case AppLanguage::en:
      return "en";
    case AppLanguage::it:
      return "it";
  }
  return "en";
}

std::optional<AppLanguage> appLanguageFromRawValue(std::string_view text) noexcept {
  if (text == "en") return AppLanguage::en;
  if (text == "it") return AppLanguage::it;
  return std::nullopt;
}

AppLanguage systemLanguage(std::span<const std::string> preferredLanguages) noexcept {
  if (!preferredLanguages.empty() && isItalianLanguageTag(preferredLanguages.front())) return AppLanguage::it;
  return AppLanguage::en;
}

AppLanguage chooseLanguage(std::optional<std::string_view> storedAppLanguage,
                           std::span<const std::string> preferredLanguages) noexcept {
  if (storedAppLanguage) {
    if (const auto stored = appLanguageFromRawValue(*storedAppLanguage)) return *stored;
  }
  return systemLanguage(preferredLanguages);
}

std::string_view displayLocaleName(AppLanguage language) noexcept {
  return language == AppLanguage::it ? "it_IT" : "en_GB";
}

}  // namespace nimbrella
