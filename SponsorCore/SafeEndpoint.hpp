#pragma once

#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// One decoded query item: `name=value`, or a bare `name` (no value).
struct QueryItem {
  std::string name;
  std::optional<std::string> value;

  bool operator==(const QueryItem&) const = default;
};

// A parsed URI reference (absolute URI or relative reference). Parsing is strict: raw
// spaces, control characters, non-ASCII bytes, characters outside each component's
// grammar and malformed percent escapes are refused, as are an empty or out-of-range
// port (1-65535) and a malformed IPv4 or IP literal. The components are kept exactly
// as written (percent escapes and letter case included); the text is the whole input.
class Url {
 public:
  enum class HostKind { none, registeredName, ipv4, ipLiteral };

  static std::optional<Url> parse(std::string_view text);

  const std::string& text() const { return text_; }
  const std::optional<std::string>& scheme() const { return scheme_; }
  // Present when the reference has an authority ("//...").
  bool hasAuthority() const { return hasAuthority_; }
  // Everything before "@" in the authority, when there is an "@" (even an empty one).
  const std::optional<std::string>& userInfo() const { return userInfo_; }
  // The user info up to its first ":", and what follows that ":".
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  // As written; an IP literal keeps its brackets ("[::1]"). Absent without authority.
  const std::optional<std::string>& host() const { return host_; }
  HostKind hostKind() const { return hostKind_; }
  std::optional<std::uint16_t> port() const { return port_; }
  const std::string& path() const { return path_; }
  // Present (possibly empty) when the text has a "?"; likewise for "#".
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }
  // The query split at "&" and each item at its first "=", percent escapes decoded.
  // Nothing without a query; an empty query has no items.
  std::optional<std::vector<QueryItem>> queryItems() const;

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  Url() = default;

  std::string text_;
  std::optional<std::string> scheme_;
  bool hasAuthority_ = false;
  std::optional<std::string> userInfo_;
  std::optional<std::string> host_;
  HostKind hostKind_ = HostKind::none;
  std::optional<std::uint16_t> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// The one failure of accepting a server address.
class EndpointError : public std::runtime_error {
 public:
  enum class Kind { invalid };

  static constexpr const char* description =
      "Use an HTTPS server address. HTTP is allowed only for a local development server.";

  EndpointError() : std::runtime_error(description) {}
  Kind kind() const noexcept { return Kind::invalid; }
};

// The validated server origin: HTTPS with any host and port, or HTTP on a loopback host
// only; no user info, query or fragment; an empty path or "/". Every address the client
// talks to or opens is built from it or checked against it.
class SafeEndpoint {
 public:
  // Trims white space and line breaks at both ends, then accepts the origin or throws
  // EndpointError. Scheme and host keep their typed case, a typed port and a trailing
  // "/" stay.
  explicit SafeEndpoint(std::string_view text);

  const Url& url() const { return url_; }
  // The origin's text with every "/" removed from both ends.
  std::string normalized() const;

  // True for "localhost", "127.0.0.1", "::1" and "[::1]" in any letter case.
  static bool isLoopback(std::string_view host);

  // The URL of a fixed route path ("/api/...") on this origin.
  Url route(std::string_view path) const;

  // The verification page the server proposed, when it is this origin's (loopback hosts
  // are interchangeable), has no user info and no fragment, its path is "/connect",
  // "/en/connect" or "/it/connect" and its only query item is code=<userCode>.
  // Returned as the server gave it.
  std::optional<Url> verificationURL(std::string_view text, std::string_view userCode) const;

  // <origin>/api/auth/mac?lang=<language>#<ticket> for a 43-character URL-safe base64
  // ticket and the language "it" or "en"; nothing otherwise.
  std::optional<Url> browserHandoffURL(std::string_view ticket, std::string_view language) const;

  // A sponsor's link that may be opened: HTTPS, a public host (no loopback name or
  // address, no host the browser would read as a loopback or numeric address), no user
  // info. Path, query, fragment and port are allowed.
  static std::optional<Url> advertiserURL(std::string_view text);

  bool operator==(const SafeEndpoint& other) const { return url_ == other.url_; }

 private:
  static Url accept(std::string_view text);

  Url url_;
};

// The build's server environment.
enum class ClientEnvironment { production, development };

// The address a development build uses when none is saved.
inline constexpr std::string_view developmentOrigin = "http://127.0.0.1:3217";

// production: the built-in production origin, whatever is saved. development: the saved
// address, or the development origin when none is saved. Throws EndpointError.
SafeEndpoint endpoint(ClientEnvironment environment, const std::optional<std::string>& saved);

// production works with live accounts only; development with both modes.
bool accepts(ClientEnvironment environment, NetworkMode mode);

}  // namespace nimbrella
