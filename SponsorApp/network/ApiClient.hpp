#pragma once

#include "SponsorApp/network/APIError.hpp"
#include "SponsorApp/network/ApiResult.hpp"
#include "SponsorApp/network/HttpTransport.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/SafeEndpoint.hpp"
#include "SponsorCore/SponsorFilters.hpp"
#include "SponsorCore/WireRecords.hpp"

#include "SponsorCore/PlatformText.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace nimbrella {

// The application's only HTTP client, bound to one server origin for its whole life.
// Replace it (never modify it) when the origin changes.
//
// Every operation resolves its fixed path against the origin, sends one request through
// the transport and later calls `done` exactly once, on the transport's queue (the main
// thread), never from inside the call. Several calls may be in flight at once; building
// a request and handling an answer run on the calling thread and the transport's queue,
// which are the same single thread, so they never overlap. The client holds no state
// that changes, so a call in flight completes even if its client has been destroyed;
// callers drop results they no longer want. The frame never retries.
class ApiClient {
 public:
  template <class T>
  using Done = std::function<void(ApiResult<T>)>;

  static constexpr std::size_t maxResponseBodyBytes = 256'000;
  static constexpr std::string_view mediaType = "application/json";
  static constexpr std::string_view bearerPrefix = "Bearer ";
  static constexpr std::string_view noFillReasonHeader = "X-Nimbrella-Reason";
  static constexpr std::string_view defaultNoFillReason = "no_eligible_campaign";
  static constexpr std::string_view noFillPath = "/api/exposures/start";
  static constexpr std::string_view paymentsCode = "live_money_not_enabled";
  static constexpr std::string_view deviceName = platformText::deviceName;
  static constexpr std::string_view placement = "menubar-v1";

  ApiClient(SafeEndpoint endpoint, std::shared_ptr<HttpTransport> transport);

  const SafeEndpoint& endpoint() const noexcept { return endpoint_; }

  // The generic operation without a body: no body and no "Content-Type" are sent.
  // A token that is not visible ASCII is refused with an EncodingError before
  // anything is sent (it could otherwise break the header line).
  template <class T>
  void request(std::string_view path, std::string_view method, const std::optional<std::string>& token,
               Done<T> done) const {
    send(path, method, token, std::nullopt, decodeInto<T>(std::move(done)));
  }

  // The generic operation with a JSON body. A body that cannot be encoded ends the
  // call with that EncodingError, delivered later, and nothing is sent.
  template <class T, class Body>
  void request(std::string_view path, std::string_view method, const std::optional<std::string>& token,
               const Body& body, Done<T> done) const {
    std::string text;
    try {
      text = encodeJson(body);
    } catch (const EncodingError& error) {
      transport_->post([done = std::move(done), error]() { done(ApiResult<T>(error)); });
      return;
    }
    send(path, method, token, std::move(text), decodeInto<T>(std::move(done)));
  }

  // The server's operations.
  void startAuthorization(const std::string& publicKey, Done<DeviceAuthorizationStart> done) const;
  void pollAuthorization(const std::string& deviceCode, Done<DeviceAuthorizationPoll> done) const;
  void revoke(const std::string& token, Done<EmptyResponse> done) const;
  void me(const std::string& token, Done<DeviceResponse> done) const;
  void browserHandoff(const std::string& token, const std::string& nonce, std::int64_t timestamp,
                      const std::string& locale, const std::string& signature,
                      Done<BrowserHandoffResponse> done) const;
  // An empty answer with status 204 fails with APIError::noFill(reason).
  void start(const std::string& token, const std::optional<std::string>& afterPreviewCampaignId,
             const SponsorFilters& preferences, Done<ExposureLease> done) const;
  // Sends the signed receipt exactly as given; a retry passes the same record again.
  void complete(const std::string& token, const CompleteRequest& body, Done<CompleteResponse> done) const;
  void cancel(const std::string& token, const std::string& leaseId, Done<EmptyResponse> done) const;
  void click(const std::string& token, const std::string& leaseId, Done<EmptyResponse> done) const;

  // What the frame makes of the transport's result before decoding: the JSON text to
  // decode ("{}" for an empty body), or the failure. Pure; exposed for tests.
  using FrameOutcome = std::variant<std::string, APIError, TransportError, EncodingError>;
  static FrameOutcome interpret(std::string_view path, TransportResult result);

 private:
  void send(std::string_view path, std::string_view method, const std::optional<std::string>& token,
            std::optional<std::string> body, std::function<void(FrameOutcome)> handle) const;

  template <class T>
  static std::function<void(FrameOutcome)> decodeInto(Done<T> done) {
    return [done = std::move(done)](FrameOutcome outcome) {
      done(decode<T>(std::move(outcome)));
    };
  }

  template <class T>
  static ApiResult<T> decode(FrameOutcome outcome) {
    if (auto* error = std::get_if<APIError>(&outcome)) return ApiResult<T>(std::move(*error));
    if (auto* error = std::get_if<TransportError>(&outcome)) return ApiResult<T>(std::move(*error));
    if (auto* error = std::get_if<EncodingError>(&outcome)) return ApiResult<T>(std::move(*error));
    try {
      return ApiResult<T>(decodeJson<T>(std::get<std::string>(outcome)));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      // Whatever the decoder refused (malformed JSON, a missing or mistyped key, an
      // unknown mode), the answer is not the record that was asked for.
      return ApiResult<T>(APIError::invalidResponse());
    }
  }

  SafeEndpoint endpoint_;
  std::shared_ptr<HttpTransport> transport_;
};

}  // namespace nimbrella
