// Decodes arbitrary bytes as an account summary; a decoded record must re-encode and
// decode again unchanged.
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    const auto device = nimbrella::decodeJson<nimbrella::DeviceResponse>(body);
    if (nimbrella::decodeJson<nimbrella::DeviceResponse>(nimbrella::encodeJson(device)) != device) std::abort();
  } catch (const nimbrella::DecodingError&) {
  }
  return 0;
}
