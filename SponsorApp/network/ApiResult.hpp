#pragma once

#include "SponsorApp/network/APIError.hpp"
#include "SponsorApp/network/HttpTransport.hpp"
#include "SponsorCore/Json.hpp"

#include <string>
#include <utility>
#include <variant>

namespace nimbrella {

// The outcome of one server operation: the decoded record, or exactly one failure:
// - APIError: the server's answer was an error, a no-fill, or unusable;
// - TransportError: no answer (no connection, time-out, TLS failure), the platform's
//   own error unchanged;
// - EncodingError: the request body could not be written as JSON; nothing was sent.
template <class T>
class ApiResult {
 public:
  ApiResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  ApiResult(APIError error) : state_(std::move(error)) {}                    // NOLINT(google-explicit-constructor)
  ApiResult(TransportError error) : state_(std::move(error)) {}              // NOLINT(google-explicit-constructor)
  ApiResult(EncodingError error) : state_(std::move(error)) {}               // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // The record; only valid when ok().
  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // The failure of each kind, or null.
  const APIError* apiError() const noexcept { return std::get_if<APIError>(&state_); }
  const TransportError* transportError() const noexcept { return std::get_if<TransportError>(&state_); }
  const EncodingError* encodingError() const noexcept { return std::get_if<EncodingError>(&state_); }

  // The English text of the failure: the APIError's user-facing text, or the
  // platform's or encoder's own description. Empty for a success.
  std::string errorDescription() const {
    if (const auto* api = apiError()) return api->errorDescription();
    if (const auto* transport = transportError()) return transport->description;
    if (const auto* encoding = encodingError()) return encoding->what();
    return {};
  }

 private:
  std::variant<T, APIError, TransportError, EncodingError> state_;
};

}  // namespace nimbrella
