#include "SponsorApp/network/ApiClient.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nimbrella {

namespace {

// A bearer token goes into a header line as it is: only visible ASCII may travel
// there, so a line break can never smuggle a header or a second request.
bool isHeaderSafeToken(std::string_view token) {
  return std::all_of(token.begin(), token.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
}

bool isHttpStatus(int status) { return status >= 100 && status <= 999; }

bool namesPaymentsProblem(std::string_view body) {
  const nlohmann::json json = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return false;
  const auto code = json.find("code");
  return code != json.end() && code->is_string() && code->get_ref<const std::string&>() == ApiClient::paymentsCode;
}

}  // namespace

ApiClient::ApiClient(SafeEndpoint endpoint, std::shared_ptr<HttpTransport> transport)
    : endpoint_(std::move(endpoint)), transport_(std::move(transport)) {}

ApiClient::FrameOutcome ApiClient::interpret(std::string_view path, TransportResult result) {
  if (auto* error = std::get_if<TransportError>(&result)) return std::move(*error);
  HttpResponse& response = std::get<HttpResponse>(result);
  if (!isHttpStatus(response.status)) return APIError::invalidResponse();
  // The size comes before any look at the status: an oversized error answer is as
  // unusable as an oversized success.
  if (response.body.size() > maxResponseBodyBytes) return APIError::invalidResponse();
  if (response.status < 200 || response.status > 299) {
    if (namesPaymentsProblem(response.body)) return APIError::paymentsUnavailable();
    return APIError::http(response.status);
  }
  if (response.status == 204 && path == noFillPath) {
    std::optional<std::string> reason = response.header(noFillReasonHeader);
    return APIError::noFill(reason ? std::move(*reason) : std::string(defaultNoFillReason));
  }
  if (response.body.empty()) return std::string("{}");
  return std::move(response.body);
}

void ApiClient::send(std::string_view path, std::string_view method, const std::optional<std::string>& token,
                     std::optional<std::string> body, std::function<void(FrameOutcome)> handle) const {
  if (token && !isHeaderSafeToken(*token)) {
    EncodingError error("The authorization token contains characters that cannot be sent in a header.");
    transport_->post([handle = std::move(handle), error]() { handle(FrameOutcome(error)); });
    return;
  }
  HttpRequest request;
  request.url = endpoint_.route(path).text();
  request.method = std::string(method);
  request.headers.push_back({"Accept", std::string(mediaType)});
  if (token) request.headers.push_back({"Authorization", std::string(bearerPrefix) + *token});
  if (body) request.headers.push_back({"Content-Type", std::string(mediaType)});
  request.body = std::move(body);
  request.maxResponseBodyBytes = maxResponseBodyBytes;
  transport_->send(std::move(request), [path = std::string(path), handle = std::move(handle)](TransportResult result) {
    handle(interpret(path, std::move(result)));
  });
}

void ApiClient::startAuthorization(const std::string& publicKey, Done<DeviceAuthorizationStart> done) const {
  const requests::AuthorizationStart body{std::string(deviceName), publicKey};
  request<DeviceAuthorizationStart>("/api/devices/authorization/start", "POST", std::nullopt, body, std::move(done));
}

void ApiClient::pollAuthorization(const std::string& deviceCode, Done<DeviceAuthorizationPoll> done) const {
  request<DeviceAuthorizationPoll>("/api/devices/authorization/poll", "GET", deviceCode, std::move(done));
}

void ApiClient::revoke(const std::string& token, Done<EmptyResponse> done) const {
  request<EmptyResponse>("/api/devices/me", "DELETE", token, std::move(done));
}

void ApiClient::me(const std::string& token, Done<DeviceResponse> done) const {
  request<DeviceResponse>("/api/devices/me", "GET", token, std::move(done));
}

void ApiClient::browserHandoff(const std::string& token, const std::string& nonce, std::int64_t timestamp,
                               const std::string& locale, const std::string& signature,
                               Done<BrowserHandoffResponse> done) const {
  const requests::Proof body{nonce, timestamp, locale, signature};
  request<BrowserHandoffResponse>("/api/devices/browser-session", "POST", token, body, std::move(done));
}

void ApiClient::start(const std::string& token, const std::optional<std::string>& afterPreviewCampaignId,
                      const SponsorFilters& preferences, Done<ExposureLease> done) const {
  const requests::ExposureStart body{std::string(placement), afterPreviewCampaignId, preferences};
  request<ExposureLease>(noFillPath, "POST", token, body, std::move(done));
}

void ApiClient::complete(const std::string& token, const CompleteRequest& body, Done<CompleteResponse> done) const {
  request<CompleteResponse>("/api/exposures/complete", "POST", token, body, std::move(done));
}

void ApiClient::cancel(const std::string& token, const std::string& leaseId, Done<EmptyResponse> done) const {
  request<EmptyResponse>("/api/exposures/cancel", "POST", token, requests::Cancel{leaseId}, std::move(done));
}

void ApiClient::click(const std::string& token, const std::string& leaseId, Done<EmptyResponse> done) const {
  request<EmptyResponse>("/api/exposures/click", "POST", token, requests::Click{leaseId}, std::move(done));
}

}  // namespace nimbrella
