#pragma once

// PNG files built in memory for tests and benchmarks: plain images from libpng, and
// hand-assembled chunk sequences (animation chunks, corrupt data) with correct CRCs.

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

// An animated PNG of `frames` frames (acTL, fcTL before the image data, then fcTL and
// fdAT for every further frame), each frame a full image of the given size.
std::vector<std::uint8_t> makeAnimatedPng(std::uint32_t frames, std::uint32_t width = 8, std::uint32_t height = 8);

// The zlib stream of the raw (filter byte + pixels) rows of an 8-bit RGBA image.
std::vector<std::uint8_t> compressedRgbaRows(std::uint32_t width, std::uint32_t rows);

std::vector<std::uint8_t> bigEndian32(std::uint32_t value);
// "data:image/png;base64," followed by the base64 of the bytes.
std::string pngDataUrl(const std::vector<std::uint8_t>& bytes);

}  // namespace nimbrella::fixtures
