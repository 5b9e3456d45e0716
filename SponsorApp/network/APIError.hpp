#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrella {

// A failure of a server request that the server's answer itself caused.
class APIError {
 public:
  enum class Kind {
    http,                 // a status outside 200-299
    noFill,               // 204 to the sponsor request: nothing to show, with the reason
    invalidResponse,      // not HTTP, too large, or not the expected record
    paymentsUnavailable,  // an error answer whose body carries the payments code
  };

  static APIError http(int status) { return APIError(Kind::http, status, {}); }
  static APIError noFill(std::string reason) { return APIError(Kind::noFill, 0, std::move(reason)); }
  static APIError invalidResponse() { return APIError(Kind::invalidResponse, 0, {}); }
  static APIError paymentsUnavailable() { return APIError(Kind::paymentsUnavailable, 0, {}); }

  Kind kind() const noexcept { return kind_; }
  // The HTTP status of an `http` error; nothing for the other kinds.
  std::optional<int> httpStatus() const;
  // The reason of a `noFill` error, unchanged as the server sent it; nothing otherwise.
  std::optional<std::string> noFillReason() const;

  bool isHttp(int status) const noexcept { return kind_ == Kind::http && status_ == status; }

  // The user-facing English text of this error.
  std::string errorDescription() const;

  bool operator==(const APIError&) const = default;

 private:
  APIError(Kind kind, int status, std::string reason) : kind_(kind), status_(status), reason_(std::move(reason)) {}

  Kind kind_;
  int status_;
  std::string reason_;
};

// For test output and diagnostics: "http(401)", "noFill(cooldown)", ...
std::ostream& operator<<(std::ostream& out, const APIError& error);

// The English text shown for a no-fill reason; unknown reasons share one text.
std::string noFillDescription(std::string_view reason);

}  // namespace nimbrella
