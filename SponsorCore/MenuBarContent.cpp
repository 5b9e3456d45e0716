#include "SponsorCore/MenuBarContent.hpp"

#include "SponsorCore/CreativeAsset.hpp"
#include "SponsorCore/Unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace nimbrella {

namespace {

// Width added to the single-line reference width, and to the wider of the two lines.
constexpr double singleLinePadding = 36;
constexpr double twoLinePadding = 60;

bool isControlOrNewline(UChar32 scalar) {
  switch (scalar) {
    case 0x000A: case 0x000B: case 0x000C: case 0x000D: case 0x0085: case 0x2028: case 0x2029:
      return true;
    default:
      break;
  }
  const auto category = u_charType(scalar);
  return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR;
}

// Well-formed UTF-8 without any control, format or line-breaking scalar.
bool isPlainLine(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    UChar32 scalar;
    U8_NEXT(bytes, offset, length, scalar);
    if (scalar < 0 || isControlOrNewline(scalar)) return false;
  }
  return true;
}

bool hasAtMost(std::string_view text, std::size_t maximum) {
  const auto count = graphemeCount(text);
  return count && *count <= maximum;
}

// The larger of two measures; not a number when either is (std::max would hide it).
double largerMeasure(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::nan("");
  return std::max(a, b);
}

bool isAccentHex(std::string_view accent) {
  if (accent.size() != 7 || accent[0] != '#') return false;
  return std::all_of(accent.begin() + 1, accent.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

}  // namespace

const char* ContentError::what() const noexcept {
  return "This sponsored item cannot be shown safely.";
}

MenuBarContent::MenuBarContent(const SponsorCreative& creative, const TextMeasurer& measurer) {
  const auto refuse = [] { return ContentError::unsupported(); };

  std::string expected;
  expected.reserve(sponsoredPrefix.size() + creative.sponsor.size());
  expected.append(sponsoredPrefix).append(creative.sponsor);
  if (creative.menuText && *creative.menuText != expected) throw refuse();
  text_ = std::move(expected);
  tagline_ = creative.menuTagline.value_or(std::string());

  if (creative.sponsor.empty() || !hasAtMost(creative.sponsor, maximumSponsorCharacters)) throw refuse();
  if (!hasAtMost(tagline_, maximumTaglineCharacters)) throw refuse();
  if (!isPlainLine(text_) || !isPlainLine(tagline_)) throw refuse();

  if (creative.accentColor) {
    if (!isAccentHex(*creative.accentColor)) throw refuse();
    accentHex_ = *creative.accentColor;
  }

  if (creative.logoData && !creative.logoData->empty()) {
    logoPNG_ = CreativeAsset::safePNGData(std::string_view(*creative.logoData));
    if (!logoPNG_) throw refuse();
  }

  minimumWidth_ = sponsoredMinimumWidth;
  measure(measurer);
  // Written so that a measure that is not a number is refused as well.
  if (!(requiredWidth() <= maximumItemWidth)) throw refuse();
}

MenuBarContent::MenuBarContent(std::string houseText, const TextMeasurer& measurer)
    : text_(std::move(houseText)) {
  measure(measurer);
}

void MenuBarContent::measure(const TextMeasurer& measurer) {
  titleSize_ = measurer.measure(text_, titleFont());
  taglineSize_ = measurer.measure(tagline_, taglineFont);
  singleLineWidth_ = tagline_.empty() ? titleSize_.width : measurer.measure(text_, singleLineReferenceFont).width;
}

double MenuBarContent::requiredWidth() const {
  const double singleLine = singleLineWidth_ + singleLinePadding;
  const double twoLines = largerMeasure(titleSize_.width, taglineSize_.width) + twoLinePadding;
  return std::ceil(largerMeasure(singleLine, twoLines));
}

double MenuBarContent::preferredWidth() const { return largerMeasure(minimumWidth_, requiredWidth()); }

double MenuBarContent::textHeight() const {
  return titleSize_.height + (tagline_.empty() ? 0.0 : taglineSize_.height);
}

bool MenuBarContent::fits(Size size) const {
  if (!std::isfinite(size.width) || !std::isfinite(size.height)) return false;
  if (size.width > maximumItemWidth) return false;
  // The comparisons are written so that a measure that is not a number never fits.
  if (!(size.width >= preferredWidth())) return false;
  if (!(size.height >= textHeight())) return false;
  return size.height >= minimumItemHeight;
}

}  // namespace nimbrella
