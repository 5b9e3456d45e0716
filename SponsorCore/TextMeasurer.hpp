#pragma once

#include "SponsorCore/MenuBarGeometry.hpp"

#include <string_view>

namespace nimbrella {

enum class FontWeight { semibold, medium };

// A size and weight of the platform's system font.
struct FontSpec {
  FontWeight weight = FontWeight::semibold;
  double pointSize = 0;

  friend bool operator==(const FontSpec&, const FontSpec&) = default;
};

// The platform's text measurement: the single-line width and height, in points, that
// `text` (UTF-8) takes when drawn in the system font of the given size and weight.
// Called on the main thread only.
class TextMeasurer {
 public:
  virtual ~TextMeasurer() = default;
  virtual Size measure(std::string_view text, const FontSpec& font) const = 0;
};

}  // namespace nimbrella
