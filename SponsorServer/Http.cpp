#include "SponsorServer/Http.hpp"

#include <strings.h>

#include "SponsorServer/Crypto.hpp"

#include <algorithm>
#include <cctype>

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

std::optional<std::string> bearerToken(const HttpRequest& request) {
  const auto header = request.header("Authorization");
  if (!header || header->compare(0, 7, "Bearer ") != 0) return std::nullopt;
  std::string token = header->substr(7);
  if (!isTokenText(token)) return std::nullopt;
  return token;
}

std::optional<HostPort> parseHost(std::string_view text, int defaultPort) {
  if (text.empty() || text.size() > 261) return std::nullopt;
  HostPort result;
  std::size_t end = 0;
  if (text.front() == '[') {
    end = text.find(']');
    if (end == std::string_view::npos || end < 3) return std::nullopt;
    for (const char c : text.substr(1, end - 1)) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
    }
    ++end;
  } else {
    while (end < text.size() && text[end] != ':') {
      const auto c = static_cast<unsigned char>(text[end]);
      if (!std::isalnum(c) && c != '.' && c != '-') return std::nullopt;
      ++end;
    }
    if (end == 0 || end > 253 || text[end - 1] == '.' || text.front() == '.') return std::nullopt;
  }
  result.host = std::string(text.substr(0, end));
  std::transform(result.host.begin(), result.host.end(), result.host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string_view rest = text.substr(end);
  if (rest.empty()) {
    result.port = defaultPort;
    return result;
  }
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
  int port = 0;
  for (const char c : rest.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  result.port = port;
  return result;
}

std::optional<HostPort> originHost(std::string_view origin) {
  for (const auto& [scheme, port] : {std::pair<std::string_view, int>{"http://", 80}, {"https://", 443}}) {
    if (origin.substr(0, scheme.size()) == scheme) return parseHost(origin.substr(scheme.size()), port);
  }
  return std::nullopt;
}

bool hostAllowed(const HttpRequest& request, const std::vector<HostPort>& allowed) {
  const auto header = request.header("Host");
  if (!header) return false;
  const auto host = parseHost(*header);
  return host && std::find(allowed.begin(), allowed.end(), *host) != allowed.end();
}

}  // namespace nimbrella::server
