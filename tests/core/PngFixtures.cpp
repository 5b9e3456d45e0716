#include "core/PngFixtures.hpp"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <stdexcept>

namespace nimbrella::fixtures {

namespace {

constexpr std::uint8_t signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

void appendToVector(png_structp png, png_bytep data, std::size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

int colorTypeOf(PngColor color) {
  switch (color) {
    case PngColor::gray: return PNG_COLOR_TYPE_GRAY;
    case PngColor::rgb: return PNG_COLOR_TYPE_RGB;
    case PngColor::rgba: return PNG_COLOR_TYPE_RGBA;
    case PngColor::palette: return PNG_COLOR_TYPE_PALETTE;
  }
  return PNG_COLOR_TYPE_RGBA;
}

int channelsOf(PngColor color) {
  switch (color) {
    case PngColor::gray: case PngColor::palette: return 1;
    case PngColor::rgb: return 3;
    case PngColor::rgba: return 4;
  }
  return 4;
}

std::uint32_t nextRandom(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

std::vector<std::uint8_t> pixelRows(const PngOptions& options, std::size_t rowBytes) {
  std::vector<std::uint8_t> pixels(rowBytes * options.height);
  std::uint32_t state = options.seed == 0 ? 1 : options.seed;
  for (std::size_t y = 0; y < options.height; ++y) {
    for (std::size_t i = 0; i < rowBytes; ++i) {
      pixels[y * rowBytes + i] = options.noise ? static_cast<std::uint8_t>(nextRandom(state) >> 11)
                                               : static_cast<std::uint8_t>((y * 7 + i * 3) & 0xFF);
    }
  }
  if (options.color == PngColor::palette) {
    for (auto& p : pixels) p &= 0x0F;  // indices into a 16-colour palette
  }
  return pixels;
}

}  // namespace

std::vector<std::uint8_t> makePng(const PngOptions& options) {
  std::vector<std::uint8_t> out;
  const int bitDepth = options.sixteenBit && options.color != PngColor::palette ? 16 : 8;
  const std::size_t rowBytes = std::size_t{options.width} * channelsOf(options.color) * (bitDepth / 8);
  const auto pixels = pixelRows(options, rowBytes);

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) throw std::runtime_error("png_create_write_struct");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng could not write the fixture");
  }
  png_set_write_fn(png, &out, appendToVector, flushNothing);
  png_set_IHDR(png, info, options.width, options.height, bitDepth, colorTypeOf(options.color),
               options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[16];
  if (options.color == PngColor::palette) {
    for (int i = 0; i < 16; ++i) {
      palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16), static_cast<png_byte>(i * 8)};
    }
    png_set_PLTE(png, info, palette, 16);
  }
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (std::size_t y = 0; y < options.height; ++y) {
      png_write_row(png, pixels.data() + y * rowBytes);
    }
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::vector<Chunk> chunksOf(const std::vector<std::uint8_t>& png) {
  std::vector<Chunk> chunks;
  std::size_t offset = sizeof signature;
  while (offset + 12 <= png.size()) {
    const std::uint32_t length = (std::uint32_t{png[offset]} << 24) | (std::uint32_t{png[offset + 1]} << 16) |
                                 (std::uint32_t{png[offset + 2]} << 8) | std::uint32_t{png[offset + 3]};
    Chunk chunk;
    chunk.type.assign(png.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                      png.begin() + static_cast<std::ptrdiff_t>(offset + 8));
    chunk.data.assign(png.begin() + static_cast<std::ptrdiff_t>(offset + 8),
                      png.begin() + static_cast<std::ptrdiff_t>(offset + 8 + length));
    chunks.push_back(std::move(chunk));
    offset += 12 + length;
  }
  return chunks;
}

std::vector<std::uint8_t> bigEndian32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::vector<std::uint8_t> assemblePng(const std::vector<Chunk>& chunks) {
  std::vector<std::uint8_t> out(std::begin(signature), std::end(signature));
  for (const auto& chunk : chunks) {
    const auto length = bigEndian32(static_cast<std::uint32_t>(chunk.data.size()));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), chunk.type.begin(), chunk.type.end());
    out.insert(out.end(), chunk.data.begin(), chunk.data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.type.data()), 4);
    if (!chunk.data.empty()) {  // zlib answers 0 for a null buffer, whatever the length
      crc = crc32(crc, chunk.data.data(), static_cast<uInt>(chunk.data.size()));
    }
    const auto crcBytes = bigEndian32(static_cast<std::uint32_t>(crc));
    out.insert(out.end(), crcBytes.begin(), crcBytes.end());
  }
  return out;
}

namespace {

Chunk frameControl(std::uint32_t sequence, std::uint32_t width, std::uint32_t height) {
  Chunk chunk{"fcTL", {}};
  for (std::uint32_t value : {sequence, width, height, 0u, 0u}) {
    const auto bytes = bigEndian32(value);
    chunk.data.insert(chunk.data.end(), bytes.begin(), bytes.end());
  }
  chunk.data.insert(chunk.data.end(), {0, 1, 0, 10, 0, 0});  // delay 1/10 s, no dispose, no blend
  return chunk;
}

}  // namespace

std::vector<std::uint8_t> makeAnimatedPng(std::uint32_t frames, std::uint32_t width, std::uint32_t height) {
  const auto base = chunksOf(makePng({.width = width, .height = height}));
  std::vector<Chunk> out;
  std::uint32_t sequence = 0;
  for (const auto& chunk : base) {
    if (chunk.type == "IDAT" && sequence == 0) {
      Chunk control{"acTL", bigEndian32(frames)};
      const auto plays = bigEndian32(0);
      control.data.insert(control.data.end(), plays.begin(), plays.end());
      out.push_back(control);
      out.push_back(frameControl(sequence++, width, height));
    }
    if (chunk.type == "IEND") {
      for (std::uint32_t frame = 1; frame < frames; ++frame) {
        out.push_back(frameControl(sequence++, width, height));
        Chunk data{"fdAT", bigEndian32(sequence++)};
        const auto rows = compressedRgbaRows(width, height);
        data.data.insert(data.data.end(), rows.begin(), rows.end());
        out.push_back(data);
      }
    }
    out.push_back(chunk);
  }
  return assemblePng(out);
}

std::vector<std::uint8_t> compressedRgbaRows(std::uint32_t width, std::uint32_t rows) {
  std::vector<std::uint8_t> raw;
  for (std::uint32_t y = 0; y < rows; ++y) {
    raw.push_back(0);  // filter: none
    for (std::uint32_t x = 0; x < width * 4; ++x) raw.push_back(static_cast<std::uint8_t>(x + y));
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<std::uint8_t> out(size);
  if (compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
    throw std::runtime_error("compress");
  }
  out.resize(size);
  return out;
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(alphabet[(group >> shift) & 0x3F]);
  }
  if (bytes.size() - i == 1) {
    const std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    out += {alphabet[(group >> 18) & 0x3F], alphabet[(group >> 12) & 0x3F], '=', '='};
  } else if (bytes.size() - i == 2) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out += {alphabet[(group >> 18) & 0x3F], alphabet[(group >> 12) & 0x3F], alphabet[(group >> 6) & 0x3F], '='};
  }
  return out;
}

std::string pngDataUrl(const std::vector<std::uint8_t>& bytes) { return "data:image/png;base64," + base64(bytes); }

}  // namespace nimbrella::fixtures
