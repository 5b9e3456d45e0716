#pragma once

#include "SponsorCore/TextMeasurer.hpp"

#include <string_view>

namespace nimbrella::fixtures {

// A deterministic stand-in for the platform's font measurement: every Unicode scalar is
// `advance` em wide (semibold and medium have their own advance), and a line is
// `lineHeight` em high.
class FixedMeasurer : public TextMeasurer {
 public:
  double semiboldAdvance = 0.6;
  double mediumAdvance = 0.55;
  double lineHeight = 1.25;

  Size measure(std::string_view text, const FontSpec& font) const override {
    std::size_t scalars = 0;
    for (unsigned char c : text) scalars += (c & 0xC0) != 0x80 ? 1 : 0;
    const double advance = font.weight == FontWeight::semibold ? semiboldAdvance : mediumAdvance;
    return {static_cast<double>(scalars) * advance * font.pointSize, lineHeight * font.pointSize};
  }
};

}  // namespace nimbrella::fixtures
