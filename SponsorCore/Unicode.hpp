#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace nimbrella {

// Number of user-perceived characters (extended grapheme clusters) in UTF-8 text.
// Ill-formed UTF-8 answers nothing: such text is never counted, it is refused.
std::optional<std::size_t> graphemeCount(std::string_view utf8);

// True when the text is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace nimbrella
