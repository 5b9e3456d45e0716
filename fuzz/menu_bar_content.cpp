// Creative validation on arbitrary input. The first byte says which optional fields are
// present (bit 0 menu text, 1 tagline, 2 accent, 3 logo); the rest holds the sponsor and
// then those fields, separated by 0xFF bytes (which never occur in UTF-8).

#include "SponsorCore/MenuBarContent.hpp"
#include "tests/core/FixedMeasurer.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t present = data[0];
  std::vector<std::string> fields(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  fields.resize(5);

  nimbrella::SponsorCreative creative;
  creative.sponsor = fields[0];
  if (present & 1) creative.menuText = fields[1];
  if (present & 2) creative.menuTagline = fields[2];
  if (present & 4) creative.accentColor = fields[3];
  if (present & 8) creative.logoData = fields[4];

  const nimbrella::fixtures::FixedMeasurer measurer;
  try {
    const nimbrella::MenuBarContent content(creative, measurer);
    // Everything accepted is a sponsor line that fits exactly 280 points.
    if (!content.text().starts_with(nimbrella::MenuBarContent::sponsoredPrefix)) std::abort();
    if (!(content.requiredWidth() <= 280) || content.preferredWidth() != 280) std::abort();
    const double height = content.textHeight() < 16 ? 16 : content.textHeight();
    if (!content.fits({280, height}) || content.fits({279, height}) || content.fits({281, height})) std::abort();
  } catch (const nimbrella::ContentError&) {
  }
  const nimbrella::MenuBarContent house(fields[0], measurer);
  if (house.text() != fields[0] || house.minimumWidth() != 0) std::abort();
  return 0;
}
