#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrella::server {

// Bodies above this size are refused with 413 before anything looks at them.
inline constexpr std::size_t maximumBodyBytes = 64 * 1024;

// One HTTP request as the handlers see it, independent of the HTTP library.
struct HttpRequest {
  std::string method;  // "GET", "POST", "DELETE", ...
  std::string path;    // without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names as received
  std::string body;

  // The value of the one header of that name (compared without letter case); nothing
  // when it is missing or appears more than once.
  std::optional<std::string> header(std::string_view name) const;
  // The value of the one query item of that name; nothing when missing or repeated.
  std::optional<std::string> queryValue(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Splits "a=1&b=2" into decoded pairs ("+" is a blank, percent escapes decoded). Nothing
// for a malformed escape.
std::optional<std::vector<std::pair<std::string, std::string>>> parseFormEncoded(
    std::string_view text);

// The value of one cookie of the Cookie header; nothing when missing or repeated.
std::optional<std::string> cookieValue(const HttpRequest& request, std::string_view name);

// The bearer token of the request's one Authorization header: exactly "Bearer " and 43
// token characters; nothing for anything else.
std::optional<std::string> bearerToken(const HttpRequest& request);

// A host and port as a Host header or an origin names them; the host in lower case, an
// IPv6 literal with its brackets.
struct HostPort {
  std::string host;
  int port = 0;
  bool operator==(const HostPort&) const = default;
};

// Parses a Host header value ("name", "name:port", "[v6]:port"); without a port it is
// `defaultPort`. Nothing for anything malformed.
std::optional<HostPort> parseHost(std::string_view text, int defaultPort = 80);

// The host and port of an origin "http://host[:port]" or "https://host[:port]".
std::optional<HostPort> originHost(std::string_view origin);

// True when the request has exactly one Host header and it names one of `allowed`.
bool hostAllowed(const HttpRequest& request, const std::vector<HostPort>& allowed);

}  // namespace nimbrella::server
