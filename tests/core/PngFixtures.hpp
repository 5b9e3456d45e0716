#pragma once

// PNG files built in memory for tests and benchmarks: plain images from libpng, and
// hand-assembled chunk sequences (extra or corrupt chunks) with correct CRCs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella::fixtures {

enum class PngColor { gray, rgb, rgba, palette };

struct PngOptions {
  std::uint32_t width = 16;
  std::uint32_t height = 16;
  PngColor color = PngColor::rgba;
  bool sixteenBit = false;
  bool interlaced = false;
  // Pseudo-random pixels (nearly incompressible) instead of a smooth gradient.
  bool noise = false;
  std::uint32_t seed = 1;
  // The rows' bytes as written, instead of generated ones.
  std::vector<std::uint8_t> samples = {};
  // For PngColor::palette: red, green and blue of each entry, and the entries' alphas.
  std::vector<std::uint8_t> palette = {};
  std::vector<std::uint8_t> transparency = {};
};

struct Chunk {
  std::string type;
  std::vector<std::uint8_t> data;
};

// A complete PNG file written by libpng.
std::vector<std::uint8_t> makePng(const PngOptions& options = {});

// The chunks of a PNG file, in order (signature and CRCs dropped, not checked).
std::vector<Chunk> chunksOf(const std::vector<std::uint8_t>& png);
// The PNG signature followed by the chunks, each with a freshly computed CRC.
std::vector<std::uint8_t> assemblePng(const std::vector<Chunk>& chunks);

std::vector<std::uint8_t> bigEndian32(std::uint32_t value);
// "data:image/png;base64," followed by the base64 of the bytes.
std::string pngDataUrl(const std::vector<std::uint8_t>& bytes);

}  // namespace nimbrella::fixtures
