#pragma once

#include "SponsorCore/AppLanguage.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbrella {

// User-defaults key whose text, when it is exactly "en" or "it", forces the
// interface language. The application reads it and never writes it.
inline constexpr std::string_view appLanguageDefaultsKey = "appLanguage";

// "en" or "it".
std::string_view rawValue(AppLanguage language) noexcept;

// The language whose raw value is exactly `text`; anything else is no language.
std::optional<AppLanguage> appLanguageFromRawValue(std::string_view text) noexcept;

// The language the system asks for: Italian when the first preferred language is
// Italian in any region ("it", "it-IT", "it_CH.UTF-8", "ita"), English otherwise,
// including for an empty list. Only the first entry counts.
AppLanguage systemLanguage(std::span<const std::string> preferredLanguages) noexcept;

// The interface language chosen at start-up: the stored "appLanguage" text when it
// names a language, otherwise the system's choice.
AppLanguage chooseLanguage(std::optional<std::string_view> storedAppLanguage,
                           std::span<const std::string> preferredLanguages) noexcept;

// Locale used to format dates and times for display: "it_IT" or "en_GB".
std::string_view displayLocaleName(AppLanguage language) noexcept;

// One row of a message catalogue: an English text and its Italian form.
struct CopyEntry {
  std::string_view english;
  std::string_view italian;

  constexpr std::string_view in(AppLanguage language) const { return language == AppLanguage::it ? italian : english; }

  friend constexpr bool operator==(const CopyEntry&, const CopyEntry&) = default;
};

}  // namespace nimbrella
