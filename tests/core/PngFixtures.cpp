#include "core/PngFixtures.hpp"

#include "SponsorCore/Base64.hpp"

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

void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<std::uint8_t> makePng(const PngOptions& options) {
  // Colour type and channels per PngColor: gray, rgb, rgba, palette.
  constexpr int colorTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGBA, PNG_COLOR_TYPE_PALETTE};
  constexpr std::size_t channels[] = {1, 3, 4, 1};
  const auto color = static_cast<std::size_t>(options.color);
  const int bitDepth = options.sixteenBit ? 16 : 8;
  const std::size_t rowBytes = std::size_t{options.width} * channels[color] * static_cast<std::size_t>(bitDepth / 8);
  std::vector<std::uint8_t> pixels(rowBytes * options.height);
  std::uint32_t state = options.seed == 0 ? 1 : options.seed;  // xorshift32
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    const std::size_t y = i / rowBytes, x = i % rowBytes;
    pixels[i] = options.noise ? static_cast<std::uint8_t>(state >> 11) : static_cast<std::uint8_t>((y * 7 + x * 3) & 0xFF);
  }
  if (!options.samples.empty()) pixels = options.samples;

  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) throw std::runtime_error("png_create_write_struct");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng could not write the fixture");
  }
  png_set_write_fn(png, &out, appendToVector, flushNothing);
  png_set_IHDR(png, info, options.width, options.height, bitDepth, colorTypes[color],
               options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!options.palette.empty()) {
    png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(options.palette.data()),
                 static_cast<int>(options.palette.size() / 3));
  }
  if (!options.transparency.empty()) {
    png_set_tRNS(png, info, options.transparency.data(), static_cast<int>(options.transparency.size()), nullptr);
  }
  png_write_info(png, info);
  for (int pass = png_set_interlace_handling(png); pass > 0; --pass) {
    for (std::size_t y = 0; y < options.height; ++y) png_write_row(png, pixels.data() + y * rowBytes);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::vector<Chunk> chunksOf(const std::vector<std::uint8_t>& png) {
  std::vector<Chunk> chunks;
  for (std::size_t offset = sizeof signature; offset + 12 <= png.size();) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) length = (length << 8) | png[offset + i];
    const auto begin = png.begin() + static_cast<std::ptrdiff_t>(offset);
    chunks.push_back({std::string(begin + 4, begin + 8), std::vector<std::uint8_t>(begin + 8, begin + 8 + length)});
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
    append(out, bigEndian32(static_cast<std::uint32_t>(chunk.data.size())));
    out.insert(out.end(), chunk.type.begin(), chunk.type.end());
    append(out, chunk.data);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.type.data()), 4);
    if (!chunk.data.empty()) {  // zlib answers 0 for a null buffer, whatever the length
      crc = crc32(crc, chunk.data.data(), static_cast<uInt>(chunk.data.size()));
    }
    append(out, bigEndian32(static_cast<std::uint32_t>(crc)));
  }
  return out;
}

std::string pngDataUrl(const std::vector<std::uint8_t>& bytes) {
  return "data:image/png;base64," + base64::encode(bytes);
}

}  // namespace nimbrella::fixtures
