#include "SponsorCore/SafeEndpoint.hpp"

#include <algorithm>
#include <array>

namespace nimbrella {

namespace {

// Character classes of RFC 3986.

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelimiter(char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// True when every character is allowed by `allowed` or starts a well-formed "%XX" escape.
template <class Allowed>
bool matches(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (!allowed(c)) return false;
  }
  return true;
}

bool isPathCharacter(char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@'; }

bool isValidScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.'; });
}

// dec-octet: 0-255 without leading zeros.
bool isDecimalOctet(std::string_view text) {
  if (text.empty() || text.size() > 3) return false;
  if (!std::all_of(text.begin(), text.end(), isDigit)) return false;
  if (text.size() > 1 && text.front() == '0') return false;
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value <= 255;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// The four octets of a dotted-quad IPv4address, or nothing.
std::optional<std::array<int, 4>> ipv4Octets(std::string_view text) {
  const auto parts = split(text, '.');
  if (parts.size() != 4) return std::nullopt;
  std::array<int, 4> octets{};
  for (std::size_t i = 0; i < 4; ++i) {
    if (!isDecimalOctet(parts[i])) return std::nullopt;
    int value = 0;
    for (char c : parts[i]) value = value * 10 + (c - '0');
    octets[i] = value;
  }
  return octets;
}

// The sixteen bytes of an IPv6address (RFC 3986 grammar, including an embedded IPv4
// tail), or nothing.
std::optional<std::array<std::uint8_t, 16>> ipv6Bytes(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::size_t gap = text.find("::");
  if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;

  // Parses a run of h16 groups separated by ":"; the last one of the text may be IPv4.
  auto groupsOf = [](std::string_view run, bool mayEndInIpv4) -> std::optional<std::vector<std::uint16_t>> {
    std::vector<std::uint16_t> groups;
    if (run.empty()) return groups;
    const auto parts = split(run, ':');
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const std::string_view part = parts[i];
      if (mayEndInIpv4 && i + 1 == parts.size() && part.find('.') != std::string_view::npos) {
        const auto octets = ipv4Octets(part);
        if (!octets) return std::nullopt;
        groups.push_back(static_cast<std::uint16_t>((*octets)[0] << 8 | (*octets)[1]));
        groups.push_back(static_cast<std::uint16_t>((*octets)[2] << 8 | (*octets)[3]));
        continue;
      }
      if (part.empty() || part.size() > 4 || !std::all_of(part.begin(), part.end(), isHexDigit)) {
        return std::nullopt;
      }
      std::uint16_t value = 0;
      for (char c : part) value = static_cast<std::uint16_t>(value << 4 | hexValue(c));
      groups.push_back(value);
    }
    return groups;
  };

  std::vector<std::uint16_t> head;
  std::vector<std::uint16_t> tail;
  if (gap == std::string_view::npos) {
    auto groups = groupsOf(text, true);
    if (!groups || groups->size() != 8) return std::nullopt;
    head = std::move(*groups);
  } else {
    auto before = groupsOf(text.substr(0, gap), false);
    auto after = groupsOf(text.substr(gap + 2), true);
    if (!before || !after) return std::nullopt;
    // "::" stands for at least one group of zeros.
    if (before->size() + after->size() > 7) return std::nullopt;
    head = std::move(*before);
    tail = std::move(*after);
  }
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < head.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(head[i] & 0xFF);
  }
  const std::size_t tailStart = 8 - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i) {
    bytes[2 * (tailStart + i)] = static_cast<std::uint8_t>(tail[i] >> 8);
    bytes[2 * (tailStart + i) + 1] = static_cast<std::uint8_t>(tail[i] & 0xFF);
  }
  return bytes;
}

// IPvFuture: "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" ).
bool isIpFuture(std::string_view text) {
  if (text.size() < 4 || (text[0] != 'v' && text[0] != 'V')) return false;
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot < 2 || dot + 1 >= text.size()) return false;
  const std::string_view version = text.substr(1, dot - 1);
  const std::string_view rest = text.substr(dot + 1);
  return std::all_of(version.begin(), version.end(), isHexDigit) &&
         std::all_of(rest.begin(), rest.end(), [](char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':'; });
}

std::string lowercased(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string percentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])) {
      decoded.push_back(static_cast<char>(hexValue(text[i + 1]) << 4 | hexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

// White space and line breaks trimmed from addresses typed or saved by people: ASCII
// white space and the Unicode spaces and line separators, in UTF-8.
std::size_t leadingSpaceLength(std::string_view text) {
  static constexpr std::string_view unicodeSpaces[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80"};
  if (text.empty()) return 0;
  if (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r')) return 1;
  for (std::string_view space : unicodeSpaces) {
    if (text.substr(0, space.size()) == space) return space.size();
  }
  return 0;
}

std::size_t trailingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r')) return 1;
  for (std::size_t length = 2; length <= 3 && length <= text.size(); ++length) {
    const std::string_view tail = text.substr(text.size() - length);
    if (leadingSpaceLength(tail) == length) return length;
  }
  return 0;
}

std::string_view trimmed(std::string_view text) {
  while (const std::size_t length = leadingSpaceLength(text)) text.remove_prefix(length);
  while (const std::size_t length = trailingSpaceLength(text)) text.remove_suffix(length);
  return text;
}

std::string_view trimmedSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return text;
}

// Hosts a browser reaches on this computer or reads as a number rather than a name:
// IPv4 127.0.0.0/8 and 0.0.0.0/8, IPv6 ::1 and :: (also IPv4-mapped), "localhost" and
// its subdomains (with or without the final dot), percent-encoded names, and names whose
// last label is numeric, which browsers parse as an IPv4 address in some other notation.
bool isLocalOrNumericHost(const Url& url) {
  const std::string host = lowercased(*url.host());
  switch (url.hostKind()) {
    case Url::HostKind::ipv4: {
      const auto octets = ipv4Octets(host);
      return !octets || (*octets)[0] == 127 || (*octets)[0] == 0;
    }
    case Url::HostKind::ipLiteral: {
      const auto bytes = ipv6Bytes(std::string_view(host).substr(1, host.size() - 2));
      if (!bytes) return true;  // IPvFuture: nothing a browser opens
      const bool zeroHead = std::all_of(bytes->begin(), bytes->begin() + 10, [](std::uint8_t b) { return b == 0; });
      const bool mapped = zeroHead && (*bytes)[10] == 0xFF && (*bytes)[11] == 0xFF;
      const bool compatible = zeroHead && (*bytes)[10] == 0 && (*bytes)[11] == 0;
      if (mapped || compatible) return (*bytes)[12] == 127 || (*bytes)[12] == 0;
      return false;
    }
    case Url::HostKind::registeredName:
      break;
    case Url::HostKind::none:
      return true;
  }
  if (host.find('%') != std::string::npos) return true;
  std::string_view name = host;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name == "localhost" || (name.size() > 10 && name.substr(name.size() - 10) == ".localhost")) return true;
  const std::size_t lastDot = name.rfind('.');
  const std::string_view lastLabel = lastDot == std::string_view::npos ? name : name.substr(lastDot + 1);
  if (!lastLabel.empty() && std::all_of(lastLabel.begin(), lastLabel.end(), isDigit)) return true;
  if (lastLabel.size() >= 2 && lastLabel[0] == '0' && lastLabel[1] == 'x' &&
      std::all_of(lastLabel.begin() + 2, lastLabel.end(), isHexDigit)) {
    return true;
  }
  return false;
}

}  // namespace

// Url

std::optional<Url> Url::parse(std::string_view text) {
  // Only visible ASCII: no space, control character, DEL or non-ASCII byte anywhere.
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; })) return std::nullopt;

  Url url;
  url.text_ = std::string(text);
  std::string_view rest = text;

  // Scheme: the text before the first ":" when that comes before any "/", "?" or "#".
  const std::size_t delimiter = rest.find_first_of(":/?#");
  if (delimiter != std::string_view::npos && rest[delimiter] == ':') {
    const std::string_view scheme = rest.substr(0, delimiter);
    // A relative reference cannot have a colon in its first segment either.
    if (!isValidScheme(scheme)) return std::nullopt;
    url.scheme_ = std::string(scheme);
    rest.remove_prefix(delimiter + 1);
  }

  // Fragment and query.
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    const std::string_view fragment = rest.substr(hash + 1);
    if (!matches(fragment, [](char c) { return isPathCharacter(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.fragment_ = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
    const std::string_view query = rest.substr(question + 1);
    if (!matches(query, [](char c) { return isPathCharacter(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.query_ = std::string(query);
    rest = rest.substr(0, question);
  }

  // Authority.
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t pathStart = rest.find('/');
    std::string_view authority = rest.substr(0, pathStart);
    rest = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);
    url.hasAuthority_ = true;

    if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
      const std::string_view userInfo = authority.substr(0, at);
      if (!matches(userInfo, [](char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':'; })) {
        return std::nullopt;
      }
      url.userInfo_ = std::string(userInfo);
      authority.remove_prefix(at + 1);
    }

    std::string_view host;
    std::optional<std::string_view> port;
    if (!authority.empty() && authority.front() == '[') {
      const std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(0, close + 1);
      const std::string_view inside = host.substr(1, host.size() - 2);
      if (!ipv6Bytes(inside) && !isIpFuture(inside)) return std::nullopt;
      const std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after.front() != ':') return std::nullopt;
        port = after.substr(1);
      }
      url.hostKind_ = HostKind::ipLiteral;
    } else {
      const std::size_t colon = authority.find(':');
      host = authority.substr(0, colon);
      if (colon != std::string_view::npos) port = authority.substr(colon + 1);
      if (!matches(host, [](char c) { return isUnreserved(c) || isSubDelimiter(c); })) return std::nullopt;
      url.hostKind_ = ipv4Octets(host) ? HostKind::ipv4 : HostKind::registeredName;
    }
    url.host_ = std::string(host);

    // Port: 1 to 5 digits, 1-65535. An empty port after ":" is refused.
    if (port) {
      if (port->empty() || port->size() > 5 || !std::all_of(port->begin(), port->end(), isDigit)) return std::nullopt;
      int value = 0;
      for (char c : *port) value = value * 10 + (c - '0');
      if (value < 1 || value > 65535) return std::nullopt;
      url.port_ = static_cast<std::uint16_t>(value);
    }
  } else if (!url.scheme_ && !rest.empty()) {
    // path-noscheme: the first segment of a relative path has no colon.
    const std::string_view firstSegment = rest.substr(0, rest.find('/'));
    if (firstSegment.find(':') != std::string_view::npos) return std::nullopt;
  }

  if (!matches(rest, [](char c) { return isPathCharacter(c) || c == '/'; })) return std::nullopt;
  url.path_ = std::string(rest);
  return url;
}

std::optional<std::string> Url::user() const {
  if (!userInfo_) return std::nullopt;
  return userInfo_->substr(0, userInfo_->find(':'));
}

std::optional<std::string> Url::password() const {
  if (!userInfo_) return std::nullopt;
  const std::size_t colon = userInfo_->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return userInfo_->substr(colon + 1);
}

std::optional<std::vector<QueryItem>> Url::queryItems() const {
  if (!query_) return std::nullopt;
  std::vector<QueryItem> items;
  if (query_->empty()) return items;
  for (const std::string_view item : split(*query_, '&')) {
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      items.push_back({percentDecoded(item), std::nullopt});
    } else {
      items.push_back({percentDecoded(item.substr(0, equals)), percentDecoded(item.substr(equals + 1))});
    }
  }
  return items;
}

// SafeEndpoint

SafeEndpoint::SafeEndpoint(std::string_view text) : url_(accept(text)) {}

Url SafeEndpoint::accept(std::string_view text) {
  const auto url = Url::parse(trimmed(text));
  if (!url) throw EndpointError();
  if (!url->scheme()) throw EndpointError();
  if (!url->host() || url->host()->empty()) throw EndpointError();
  if (url->userInfo() || url->query() || url->fragment()) throw EndpointError();
  if (!url->path().empty() && url->path() != "/") throw EndpointError();
  const std::string scheme = lowercased(*url->scheme());
  if (scheme == "https") return *url;
  if (scheme == "http" && isLoopback(*url->host())) return *url;
  throw EndpointError();
}

std::string SafeEndpoint::normalized() const { return std::string(trimmedSlashes(url_.text())); }

bool SafeEndpoint::isLoopback(std::string_view host) {
  const std::string lower = lowercased(host);
  return lower == "localhost" || lower == "127.0.0.1" || lower == "::1" || lower == "[::1]";
}

Url SafeEndpoint::route(std::string_view path) const {
  auto url = Url::parse(normalized() + std::string(path));
  // Route paths are the client's own constants; one that does not form a URL is a
  // programming error, not a runtime condition.
  if (!url) throw std::invalid_argument("not a route path: " + std::string(path));
  return *url;
}

std::optional<Url> SafeEndpoint::verificationURL(std::string_view text, std::string_view userCode) const {
  const auto proposed = Url::parse(text);
  if (!proposed) return std::nullopt;
  if (proposed->userInfo() || proposed->fragment()) return std::nullopt;
  if (!proposed->scheme() || lowercased(*proposed->scheme()) != lowercased(*url_.scheme())) return std::nullopt;
  if (proposed->port() != url_.port()) return std::nullopt;
  if (!proposed->host() || proposed->host()->empty()) return std::nullopt;
  const bool sameHost = lowercased(*proposed->host()) == lowercased(*url_.host());
  if (!sameHost && !(isLoopback(*proposed->host()) && isLoopback(*url_.host()))) return std::nullopt;
  const std::string& path = proposed->path();
  if (path != "/connect" && path != "/en/connect" && path != "/it/connect") return std::nullopt;
  const auto items = proposed->queryItems();
  if (!items || items->size() != 1) return std::nullopt;
  const QueryItem& item = items->front();
  if (item.name != "code" || item.value != userCode) return std::nullopt;
  return proposed;
}

std::optional<Url> SafeEndpoint::browserHandoffURL(std::string_view ticket, std::string_view language) const {
  const bool wellFormedTicket =
      ticket.size() == 43 && std::all_of(ticket.begin(), ticket.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '_' || c == '-';
      });
  if (!wellFormedTicket) return std::nullopt;
  if (language != "it" && language != "en") return std::nullopt;
  return Url::parse(route("/api/auth/mac").text() + "?lang=" + std::string(language) + "#" + std::string(ticket));
}

std::optional<Url> SafeEndpoint::advertiserURL(std::string_view text) {
  const auto url = Url::parse(text);
  if (!url || !url->scheme() || lowercased(*url->scheme()) != "https") return std::nullopt;
  if (!url->host() || url->host()->empty()) return std::nullopt;
  if (isLoopback(*url->host()) || isLocalOrNumericHost(*url)) return std::nullopt;
  if (url->userInfo()) return std::nullopt;
  return url;
}

// ClientEnvironment

SafeEndpoint endpoint(ClientEnvironment environment, const std::optional<std::string>& saved) {
  switch (environment) {
    case ClientEnvironment::production:
      return SafeEndpoint(NIMBRELLA_PRODUCTION_ORIGIN);
    case ClientEnvironment::development:
      return SafeEndpoint(saved ? std::string_view(*saved) : developmentOrigin);
  }
  throw EndpointError();
}

bool accepts(ClientEnvironment environment, NetworkMode mode) {
  return environment == ClientEnvironment::development || mode == NetworkMode::live;
}

}  // namespace nimbrella
