#pragma once

#include <string_view>

namespace nimbrella {

// True for the 36-character UUID text form: 8-4-4-4-12 hexadecimal digits separated by
// hyphens, either letter case. No braces, no URN prefix, no white space.
bool isUuidText(std::string_view text) noexcept;

}  // namespace nimbrella
