#pragma once

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Language.hpp"

#include <optional>
#include <span>
#include <string_view>

// The labels, titles and notes of the popover and its views, keyed by their
// English text. The table is static data: it never changes while the program runs.
namespace nimbrella::PopoverCopy {

// Every row, sorted by English key.
std::span<const CopyEntry> entries() noexcept;

// The Italian text of an English key, or nothing when the key is not in the table.
std::optional<std::string_view> italian(std::string_view english) noexcept;

// The text to show: in Italian the table's text when the key is in the table;
// otherwise the key itself. The result refers either to static data or to the
// characters of `english`, so it must not outlive the key's storage.
std::string_view text(std::string_view english, AppLanguage language) noexcept;

}  // namespace nimbrella::PopoverCopy
