// A stored or received pause in JSON form: decoding must never crash, and a decoded pause
// must encode and decode to the same value up to the precision of the seconds number.
#include "SponsorCore/Snooze.hpp"

#include <chrono>
#include <cstdint>
#include <cstdlib>

using namespace nimbrella;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto json = nlohmann::ordered_json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return 0;
  const auto state = SnoozeState::fromJson(json);
  if (!state) return 0;
  const auto again = SnoozeState::fromJson(nlohmann::ordered_json::parse(state->toJson().dump()));
  if (!again || again->indefinite != state->indefinite || again->until.has_value() != state->until.has_value()) {
    std::abort();
  }
  if (state->until) {
    const auto difference = std::chrono::abs(*again->until - *state->until);
    // A double keeps about 16 significant digits of the seconds since 2001.
    if (difference > std::chrono::milliseconds(1)) std::abort();
    (void)state->isActive(*state->until);
  }
  return 0;
}
