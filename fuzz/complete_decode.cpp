// Decodes arbitrary bytes as a completion answer and as a stored completion request;
// decoded records must re-encode and decode again unchanged.
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

template <class T>
void roundTrip(std::string_view body) {
  try {
    const auto record = nimbrella::decodeJson<T>(body);
    if (nimbrella::decodeJson<T>(nimbrella::encodeJson(record)) != record) std::abort();
  } catch (const nimbrella::DecodingError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  roundTrip<nimbrella::CompleteResponse>(body);
  roundTrip<nimbrella::CompleteRequest>(body);
  try {
    (void)nimbrella::decodeJson<nimbrella::EmptyResponse>(body);
  } catch (const nimbrella::DecodingError&) {
  }
  return 0;
}
