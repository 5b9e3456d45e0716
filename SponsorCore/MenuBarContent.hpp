#pragma once

#include "SponsorCore/MenuBarGeometry.hpp"
#include "SponsorCore/TextMeasurer.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// Thrown when a creative cannot be shown safely in the top bar.
class ContentError : public std::exception {
 public:
  enum class Case { unsupported };

  static ContentError unsupported() { return ContentError(Case::unsupported); }

  Case kind() const { return case_; }
  const char* what() const noexcept override;

  friend bool operator==(const ContentError& a, const ContentError& b) { return a.case_ == b.case_; }

 private:
  explicit ContentError(Case value) : case_(value) {}
  Case case_;
};

// The validated text, tagline, accent and logo that the top-bar item paints, with the
// measures that decide whether it fits its slot. Immutable once built.
class MenuBarContent {
 public:
  static constexpr double maximumItemWidth = 280;
  static constexpr double minimumItemHeight = 16;
  static constexpr double sponsoredMinimumWidth = 280;
  static constexpr std::size_t maximumSponsorCharacters = 120;
  static constexpr std::size_t maximumTaglineCharacters = 34;
  // "Ad · ": A, d, a space, U+00B7 MIDDLE DOT, a space.
  static constexpr std::string_view sponsoredPrefix = "Ad \xC2\xB7 ";

  static constexpr FontSpec taglineFont{FontWeight::medium, 8.0};
  static constexpr FontSpec singleLineReferenceFont{FontWeight::semibold, 11.5};
  static constexpr FontSpec singleLineTitleFont{FontWeight::semibold, 11.5};
  static constexpr FontSpec twoLineTitleFont{FontWeight::semibold, 9.0};

  // Validates an untrusted creative and measures it; throws ContentError::unsupported
  // when any rule fails (the whole creative is refused).
  MenuBarContent(const SponsorCreative& creative, const TextMeasurer& measurer);

  // The application's own text: no tagline, accent or logo, no minimum width, no validation.
  MenuBarContent(std::string houseText, const TextMeasurer& measurer);

  const std::string& text() const { return text_; }
  const std::string& tagline() const { return tagline_; }
  const std::optional<std::string>& accentHex() const { return accentHex_; }
  const std::optional<std::vector<std::uint8_t>>& logoPNG() const { return logoPNG_; }
  double minimumWidth() const { return minimumWidth_; }

  // Semibold 11.5 pt for a single line, 9 pt when a tagline shares the item.
  FontSpec titleFont() const { return tagline_.empty() ? singleLineTitleFont : twoLineTitleFont; }

  // Single-line size of `text` in titleFont() and of `tagline` in taglineFont.
  Size titleSize() const { return titleSize_; }
  Size taglineSize() const { return taglineSize_; }

  // Whole points needed to paint the content.
  double requiredWidth() const;
  // The larger of minimumWidth() and requiredWidth().
  double preferredWidth() const;
  // Title height, plus the tagline height when there is a tagline.
  double textHeight() const;
  // Whether the content can be painted completely in a slot of `size`.
  bool fits(Size size) const;

  // Equal when text, tagline, accent, logo bytes and minimum width are equal.
  friend bool operator==(const MenuBarContent& a, const MenuBarContent& b) {
    return a.text_ == b.text_ && a.tagline_ == b.tagline_ && a.accentHex_ == b.accentHex_ &&
           a.logoPNG_ == b.logoPNG_ && a.minimumWidth_ == b.minimumWidth_;
  }

 private:
  void measure(const TextMeasurer& measurer);

  std::string text_;
  std::string tagline_;
  std::optional<std::string> accentHex_;
  std::optional<std::vector<std::uint8_t>> logoPNG_;
  double minimumWidth_ = 0;

  Size titleSize_;
  Size taglineSize_;
  double singleLineWidth_ = 0;
};

}  // namespace nimbrella
