#include "SponsorServer/Http.hpp"

#include <strings.h>

#include <algorithm>

namespace nimbrella::server {
namespace {

std::optional<std::string> single(const std::vector<std::pair<std::string, std::string>>& items,
                                  std::string_view name, bool ignoreCase) {
  std::optional<std::string> found;
  for (const auto& [key, value] : items) {
    const bool same = ignoreCase ? (key.size() == name.size() &&
                                    strncasecmp(key.data(), name.data(), name.size()) == 0)
                                 : key == name;
    if (!same) continue;
    if (found) return std::nullopt;
    found = value;
  }
  return found;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> decodeComponent(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
  return single(headers, name, true);
}

std::optional<std::string> HttpRequest::queryValue(std::string_view name) const {
  return single(query, name, false);
}

std::optional<std::vector<std::pair<std::string, std::string>>> parseFormEncoded(
    std::string_view text) {
  std::vector<std::pair<std::string, std::string>> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('&', start), text.size());
    const std::string_view item = text.substr(start, end - start);
    if (!item.empty()) {
      const std::size_t equals = item.find('=');
      auto name = decodeComponent(item.substr(0, equals));
      auto value = decodeComponent(equals == std::string_view::npos ? std::string_view()
                                                                    : item.substr(equals + 1));
      if (!name || !value) return std::nullopt;
      items.emplace_back(std::move(*name), std::move(*value));
    }
    start = end + 1;
  }
  return items;
}

std::optional<std::string> cookieValue(const HttpRequest& request, std::string_view name) {
  std::optional<std::string> found;
  for (const auto& [key, header] : request.headers) {
    if (strcasecmp(key.c_str(), "Cookie") != 0) continue;
    std::size_t start = 0;
    while (start < header.size()) {
      std::size_t end = header.find(';', start);
      if (end == std::string::npos) end = header.size();
      std::string_view item(header.data() + start, end - start);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
      const std::size_t equals = item.find('=');
      if (equals != std::string_view::npos && item.substr(0, equals) == name) {
        if (found) return std::nullopt;
        found = std::string(item.substr(equals + 1));
      }
      start = end + 1;
    }
  }
  return found;
}

}  // namespace nimbrella::server
