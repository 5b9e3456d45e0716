#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace nimbrella {

// Validation of a creative's logo, delivered as a PNG data URL.
namespace CreativeAsset {

inline constexpr std::size_t maximumDataUrlBytes = 48000;
inline constexpr std::uint32_t maximumPixelSide = 1024;
inline constexpr std::string_view pngDataUrlPrefix = "data:image/png;base64,";

// The PNG file carried by `logo`, byte for byte, or nothing. Accepted only when the text is
// at most 48000 bytes, starts with "data:image/png;base64,", continues with standard
// padded base64 and nothing else, and decodes to exactly one complete, intact PNG image
// (every chunk checksum correct, all image data present, no animation frames beyond the
// first) of 1 to 1024 pixels in each direction.
std::optional<std::vector<std::uint8_t>> safePNGData(std::optional<std::string_view> logo);

// The pixels of a PNG image: 8-bit red, green, blue and alpha, not premultiplied, row
// after row without padding.
struct DecodedPNG {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

// Decodes a PNG file that safePNGData accepted, with libpng alone (palette, transparency,
// gray, 16-bit and interlaced images included); nothing when it cannot be decoded or is
// larger than 1024 pixels in a direction.
std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& file);

}  // namespace CreativeAsset
}  // namespace nimbrella
