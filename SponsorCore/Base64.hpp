#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella::base64 {

// Standard base64 (RFC 4648 alphabet) with padding and without line breaks.
std::string encode(std::span<const std::uint8_t> bytes);
std::string encode(std::string_view bytes);

// Strict decoding of exactly what `encode` writes: length a multiple of four, only the
// standard alphabet, "=" only as final padding, unused bits zero. Nothing otherwise.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

}  // namespace nimbrella::base64
