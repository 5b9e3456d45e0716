#include "SponsorApp/network/HttpTransport.hpp"

namespace nimbrella {

namespace {

char asciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool headerNameEquals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const HttpHeader& h : headers) {
    if (headerNameEquals(h.name, name)) return h.value;
  }
  return std::nullopt;
}

}  // namespace nimbrella
