#include "SponsorCore/CreativeAsset.hpp"

#include "SponsorCore/Base64.hpp"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstring>

namespace nimbrella::CreativeAsset {

namespace {

constexpr std::array<std::uint8_t, 8> pngSignature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// Widest possible row of a 1024-pixel image: four 16-bit samples per pixel.
constexpr std::size_t maximumRowBytes = maximumPixelSide * 8;
// Largest allocation libpng may make for one ancillary chunk (decompressed text, ICC profile).
constexpr png_alloc_size_t chunkAllocationLimit = 1 << 20;
// Largest number of ancillary chunks libpng keeps.
constexpr png_uint_32 chunkCacheLimit = 64;



// 1 to 1024 pixels in each direction.
bool sidesWithinLimits(png_uint_32 width, png_uint_32 height) {
  return width >= 1 && width <= maximumPixelSide && height >= 1 && height <= maximumPixelSide;
}

std::uint32_t readBigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         std::uint32_t{bytes[3]};
}

bool isChunkType(const std::uint8_t* type, const char (&name)[5]) {
  return std::memcmp(type, name, 4) == 0;
}

// Walks the chunk structure of a PNG file: every chunk complete with a correct CRC, the
// first one a well-sized IHDR of 1 to 1024 pixels each way, the file ending exactly after
// IEND, and no animation beyond a single frame. This runs before any decoding, so that an
// oversized or truncated image is refused without allocating for it.
bool chunkStructureIsSound(const std::vector<std::uint8_t>& file) {
  const std::uint8_t* const data = file.data();
  const std::size_t size = file.size();
  std::size_t offset = pngSignature.size();
  bool first = true;
  std::size_t frameControls = 0;
  while (true) {
    if (size - offset < 12) return false;
    const std::uint32_t length = readBigEndian32(data + offset);
    if (length > 0x7FFFFFFFu || length > size - offset - 12) return false;
    const std::uint8_t* type = data + offset + 4;
    for (int i = 0; i < 4; ++i) {
      const auto c = type[i];
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    const std::uint8_t* body = type + 4;
    const auto expectedCrc = readBigEndian32(body + length);
    const auto actualCrc = crc32(crc32(0, type, 4), body, length);
    if (actualCrc != expectedCrc) return false;

    if (first) {
      if (!isChunkType(type, "IHDR") || length != 13) return false;
      if (!sidesWithinLimits(readBigEndian32(body), readBigEndian32(body + 4))) return false;
      first = false;
    } else if (isChunkType(type, "IHDR")) {
      return false;
    }
    if (isChunkType(type, "acTL")) {
      // An animation control chunk announces the number of frames; only a single frame
      // (which is then the plain image) is one image.
      if (length != 8 || readBigEndian32(body) != 1) return false;
    } else if (isChunkType(type, "fcTL")) {
      if (++frameControls > 1) return false;
    } else if (isChunkType(type, "fdAT")) {
      // Frame data exists only for frames after the first.
      return false;
    }

    offset += std::size_t{12} + length;
    if (isChunkType(type, "IEND")) return length == 0 && offset == size;
  }
}

struct MemorySource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offset;
};

void readFromMemory(png_structp png, png_bytep out, std::size_t length) {
  auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
  if (length > source->size - source->offset) png_error(png, "truncated");
  std::memcpy(out, source->data + source->offset, length);
  source->offset += length;
}

[[noreturn]] void failSilently(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void ignoreWarning(png_structp, png_const_charp) {}

// Decodes the whole image with libpng: the header, every row of every interlace pass and
// every chunk up to IEND. Any error (bad CRC, corrupt or missing image data, truncation)
// refuses the file. libpng reports errors by long-jumping back here; no object with a
// destructor is created between setjmp and the jump, and the row buffer lives in this frame.
bool decodesCompletely(const std::vector<std::uint8_t>& file) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, failSilently, ignoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  MemorySource source{file.data(), file.size(), 0};
  std::array<png_byte, maximumRowBytes> row;

  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &source, readFromMemory);
  png_set_user_limits(png, maximumPixelSide, maximumPixelSide);
  png_set_chunk_malloc_max(png, chunkAllocationLimit);
  png_set_chunk_cache_max(png, chunkCacheLimit);
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);

  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (!sidesWithinLimits(width, height)) png_error(png, "size");
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) > row.size()) png_error(png, "row");
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, row.data(), nullptr);
  }
  png_read_end(png, nullptr);
  const bool consumedWholeFile = source.offset == source.size;
  png_destroy_read_struct(&png, &info, nullptr);
  return consumedWholeFile;
}

}  // namespace


std::optional<std::vector<std::uint8_t>> safePNGData(std::optional<std::string_view> logo) {
  if (!logo || logo->size() > maximumDataUrlBytes) return std::nullopt;
  if (!logo->starts_with(pngDataUrlPrefix)) return std::nullopt;
  auto bytes = base64::decode(logo->substr(pngDataUrlPrefix.size()));
  if (!bytes) return std::nullopt;
  if (bytes->size() < pngSignature.size() ||
      !std::equal(pngSignature.begin(), pngSignature.end(), bytes->begin())) {
    return std::nullopt;
  }
  if (!chunkStructureIsSound(*bytes) || !decodesCompletely(*bytes)) return std::nullopt;
  return bytes;
}

std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, file.data(), file.size()) == 0) return std::nullopt;
  if (!sidesWithinLimits(image.width, image.height)) {
    png_image_free(&image);
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGBA;
  // A 16-bit image that names no gamma is sRGB, as for every other depth (libpng would
  // take it for linear light and lighten it).
  image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  DecodedPNG decoded;
  try {
    decoded.rgba.resize(PNG_IMAGE_SIZE(image));
  } catch (...) {
    png_image_free(&image);
    throw;
  }
  // Frees what it allocated, whether it succeeds or not.
  if (png_image_finish_read(&image, nullptr, decoded.rgba.data(), 0, nullptr) == 0) return std::nullopt;
  decoded.width = image.width;
  decoded.height = image.height;
  return decoded;
}

}  // namespace nimbrella::CreativeAsset
