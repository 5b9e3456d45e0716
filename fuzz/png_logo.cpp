// Logo validation on arbitrary input. Input starting with "data:" is used as the logo
// text as it is; anything else is treated as file bytes and wrapped in a PNG data URL,
// so that the fuzzer reaches the chunk walk and the decoder, and an accepted file the
// decoder that displays it.

#include "SponsorCore/CreativeAsset.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string base64(const std::uint8_t* data, std::size_t size) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t group = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(alphabet[(group >> shift) & 0x3F]);
  }
  if (size - i == 1) {
    const std::uint32_t group = std::uint32_t{data[i]} << 16;
    out += {alphabet[(group >> 18) & 0x3F], alphabet[(group >> 12) & 0x3F], '=', '='};
  } else if (size - i == 2) {
    const std::uint32_t group = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
    out += {alphabet[(group >> 18) & 0x3F], alphabet[(group >> 12) & 0x3F], alphabet[(group >> 6) & 0x3F], '='};
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrella::CreativeAsset::safePNGData;
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (raw.starts_with("data:")) {
    const auto result = safePNGData(raw);
    if (result && result->size() > nimbrella::CreativeAsset::maximumDataUrlBytes) std::abort();
    return 0;
  }
  const std::string url = std::string(nimbrella::CreativeAsset::pngDataUrlPrefix) + base64(data, size);
  const auto result = safePNGData(url);
  // Whatever is accepted is the input file itself, unchanged.
  if (result && (result->size() != size || !std::equal(result->begin(), result->end(), data))) std::abort();
  if (result && url.size() > nimbrella::CreativeAsset::maximumDataUrlBytes) std::abort();
  // What is accepted is what the display decodes: every pixel of it, or nothing.
  if (result) {
    const auto decoded = nimbrella::CreativeAsset::decodePNG(*result);
    if (!decoded || decoded->rgba.size() != std::size_t{decoded->width} * decoded->height * 4) std::abort();
  }
  return 0;
}
