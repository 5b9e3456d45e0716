#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace nimbrella {

// One header line as sent or received. Names compare case-insensitively.
struct HttpHeader {
  std::string name;
  std::string value;

  bool operator==(const HttpHeader&) const = default;
};

// One HTTP request, fully built by the caller. A transport adds only what its HTTP
// library requires and what its own comment documents.
struct HttpRequest {
  std::string url;     // absolute URL
  std::string method;  // "GET", "POST", "DELETE", ...
  std::vector<HttpHeader> headers;
  std::optional<std::string> body;  // absent: no body at all
  // The transport reads at most this many bytes plus one of the answer's body and
  // then stops reading, so a caller can tell "larger than the limit" without the
  // transport ever holding more.
  std::size_t maxResponseBodyBytes = 0;
};

// The answer to an HttpRequest. `body` holds at most maxResponseBodyBytes + 1 bytes;
// when it holds exactly that many the answer was larger and has been cut off.
struct HttpResponse {
  int status = 0;  // the HTTP status code; 0 when the answer was not HTTP
  std::vector<HttpHeader> headers;
  std::string body;

  // The value of the first header with this name (case-insensitive), if any.
  std::optional<std::string> header(std::string_view name) const;
};

// A failure below HTTP: nothing (or nothing usable) came back. `description` is the
// platform library's own text, unchanged.
struct TransportError {
  enum class Kind {
    connectionRefused,  // nobody listens at the address
    hostNotFound,       // the name does not resolve
    timedOut,           // the wait for data ran out
    secureConnection,   // TLS failed, including an untrusted certificate
    cancelled,          // the request was aborted before an answer
    other,              // any other failure of the connection
  };
  Kind kind = Kind::other;
  std::string description;

  bool operator==(const TransportError&) const = default;
};

using TransportResult = std::variant<HttpResponse, TransportError>;

// The port through which the client talks HTTP. An adapter sends the request and
// later delivers exactly one result on the main queue; it never calls `done` from
// inside `send`. Several requests may be in flight at once. Destroying the transport
// abandons requests still in flight: their completions are never called.
class HttpTransport {
 public:
  using Completion = std::function<void(TransportResult)>;

  virtual ~HttpTransport() = default;

  virtual void send(HttpRequest request, Completion done) = 0;

  // Runs `task` later on the same queue that delivers results (never inside this call).
  virtual void post(std::function<void()> task) = 0;
};

// True when the two header names are equal ignoring ASCII case.
bool headerNameEquals(std::string_view a, std::string_view b) noexcept;

}  // namespace nimbrella
