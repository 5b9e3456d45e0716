#pragma once

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Language.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

// The controller's status, progress and error messages. Messages are produced and
// stored in English; this catalogue gives the text to show in the chosen language.
namespace nimbrella::NativeCopy {

// Appended to a status message when an interrupt ends a running lease.
inline constexpr std::string_view noRewardSubmittedSuffix = " No reward was submitted.";
// Appended to a diagnostic while the sponsored text is not proven visible.
inline constexpr std::string_view unverifiedSuffix = " No earnings while this is unverified.";

// Italian text for any message that no rule recognises.
inline constexpr std::string_view genericItalian =
    "Operazione non disponibile. Riprova o controlla il collegamento nelle impostazioni.";

// Every row of the message table, sorted by English key.
std::span<const CopyEntry> entries() noexcept;

// The two suffix pairs, in the order in which they are tested.
std::span<const CopyEntry> suffixes() noexcept;

// The Italian text of a message that is exactly a key of the table, or nothing.
std::optional<std::string_view> italian(std::string_view english) noexcept;

// The message to show. English: the message unchanged. Italian, first rule that
// applies:
//   1. a key of the table: its Italian text;
//   2. ending in one of the suffixes (in the order of `suffixes()`): the rest of the
//      message translated by these same rules, then the Italian suffix;
//   3. containing " in test credits recorded for the menu-bar exposure.": the text
//      before it (an amount) followed by the Italian sentence;
//   4. likewise for " in rewards recorded for the menu-bar exposure.";
//   5. beginning with "The server could not complete this request (HTTP ": the
//      opening words in Italian, the status code and the rest unchanged;
//   6. anything else: `genericItalian`.
// Rules 3 to 5 carry text of the message into the result and apply only when that
// text is well-formed UTF-8, so an Italian result is always well-formed UTF-8.
// Runs in time linear in the length of the message, for any input.
std::string text(std::string_view message, AppLanguage language);

// As `text`, appending the result to `out` (no allocation once `out` has room).
void appendText(std::string& out, std::string_view message, AppLanguage language);

}  // namespace nimbrella::NativeCopy
