#pragma once

// Compile-time catalogue tables: rows sorted by their English text so that a
// lookup is a binary search over static data, with no start-up work and no
// allocation.

#include "SponsorCore/Language.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace nimbrella::copytable {

template <std::size_t N>
constexpr std::array<CopyEntry, N> sortedByEnglish(std::array<CopyEntry, N> rows) {
  std::sort(rows.begin(), rows.end(), [](const CopyEntry& a, const CopyEntry& b) { return a.english < b.english; });
  return rows;
}

// Every key and text is non-empty and no English key appears twice.
template <std::size_t N>
constexpr bool isWellFormed(const std::array<CopyEntry, N>& sorted) {
  for (std::size_t i = 0; i < N; ++i) {
    if (sorted[i].english.empty() || sorted[i].italian.empty()) return false;
    if (i > 0 && sorted[i - 1].english == sorted[i].english) return false;
  }
  return true;
}

template <std::size_t N>
constexpr std::optional<std::string_view> find(const std::array<CopyEntry, N>& sorted,
                                               std::string_view english) noexcept {
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), english,
                                   [](const CopyEntry& row, std::string_view key) { return row.english < key; });
  if (it != sorted.end() && it->english == english) return it->italian;
  return std::nullopt;
}

}  // namespace nimbrella::copytable
