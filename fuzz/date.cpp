// Parses arbitrary bytes as an internet date; every accepted date formats and parses
// back to the same millisecond.
#include "SponsorCore/InternetDate.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto date = nimbrella::parseInternetDate(text);
  if (!date) return 0;
  const auto again = nimbrella::parseInternetDate(nimbrella::formatInternetDate(*date));
  if (!again) std::abort();
  using std::chrono::floor;
  using std::chrono::milliseconds;
  if (floor<milliseconds>(*again) != floor<milliseconds>(*date)) std::abort();
  return 0;
}
