// Decodes arbitrary bytes as a sponsor lease; a decoded lease must survive validation,
// re-encoding and decoding again unchanged.
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    const auto lease = nimbrella::decodeJson<nimbrella::ExposureLease>(body);
    static const nimbrella::Date now = *nimbrella::parseInternetDate("2026-01-02T03:00:00Z");
    (void)lease.isValid(now);
    (void)lease.isPreview();
    (void)lease.expiration();
    if (nimbrella::decodeJson<nimbrella::ExposureLease>(nimbrella::encodeJson(lease)) != lease) std::abort();
  } catch (const nimbrella::DecodingError&) {
  }
  return 0;
}
