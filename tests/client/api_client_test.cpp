// The request frame and the server operations over a scripted transport: no Qt, no
// network, no waiting.

#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/network/BrowserHandoff.hpp"
#include "client/ScriptedTransport.hpp"

#include "SponsorCore/Uuid.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>

namespace nimbrella {
namespace {

using testing::ScriptedTransport;

const std::string kToken = "tok_device_0123456789abcdefghijklmnopqrstuv";
const std::string kDeviceCode = "dev_code_0123456789abcdefghijklmnopqrstuvw";

const char* const kLeaseJson =
    R"({"leaseId":"l-1","nonce":"n-1","durationMs":10000,"expiresAt":"2026-01-02T03:04:05Z",)"
    R"("creative":{"sponsor":"S","headline":"H","body":"B","cta":"C","url":"https://ads.example.com/x"},)"
    R"("rewardMicros":1500,"currency":"EUR","mode":"live"})";

class ApiClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
  ApiClient client{SafeEndpoint("https://api.example.com/"), transport};

  // Runs one operation, answers it with `answer` and returns its result.
  template <class T, class Call>
  ApiResult<T> exchange(Call call, TransportResult answer) {
    std::optional<ApiResult<T>> result;
    call([&](ApiResult<T> r) { result.emplace(std::move(r)); });
    EXPECT_FALSE(result.has_value()) << "completed inside the call";
    transport->answer(std::move(answer));
    transport->run();
    EXPECT_TRUE(result.has_value());
    return result ? std::move(*result) : ApiResult<T>(APIError::http(-1));
  }
  template <class T, class Call>
  ApiResult<T> exchange(Call call, int status, std::string body = {}, std::vector<HttpHeader> headers = {}) {
    return exchange<T>(call, TransportResult(HttpResponse{status, std::move(headers), std::move(body)}));
  }

  auto me() {
    return [this](ApiClient::Done<DeviceResponse> done) { client.me(kToken, std::move(done)); };
  }
  auto start() {
    return [this](ApiClient::Done<ExposureLease> done) { client.start(kToken, std::nullopt, {}, std::move(done)); };
  }
  auto cancel() {
    return [this](ApiClient::Done<EmptyResponse> done) { client.cancel(kToken, "l-1", std::move(done)); };
  }
};

std::optional<std::string> headerOf(const HttpRequest& request, std::string_view name) {
  std::optional<std::string> found;
  for (const HttpHeader& header : request.headers) {
    if (headerNameEquals(header.name, name)) {
      EXPECT_FALSE(found.has_value()) << "header sent twice: " << name;
      found = header.value;
    }
  }
  return found;
}

TEST_F(ApiClientTest, EveryOperationHasItsMethodPathTokenAndExactBody) {
  CompleteRequest receipt;
  receipt.leaseId = "l-9";
  receipt.nonce = "n-9";
  receipt.elapsedMs = 10250;
  receipt.sequence = 1;
  receipt.signature = "MEUCIQ==";
  SponsorFilters filters;
  filters.blockedAdvertiserIds = {"a-1"};
  filters.allowedCategories = {"tech", "travel"};
  auto ignore = [](auto) {};

  struct Expected {
    std::string method, path;
    std::optional<std::string> token;
    std::optional<std::string> body;
  };
  const std::vector<std::pair<std::function<void()>, Expected>> cases = {
      {[&] { client.startAuthorization("PUBKEY==", ignore); },
       {"POST", "/api/devices/authorization/start", std::nullopt, R"({"name":"My Mac","publicKey":"PUBKEY=="})"}},
      {[&] { client.pollAuthorization(kDeviceCode, ignore); },
       {"GET", "/api/devices/authorization/poll", kDeviceCode, std::nullopt}},
      {[&] { client.revoke(kToken, ignore); }, {"DELETE", "/api/devices/me", kToken, std::nullopt}},
      {[&] { client.me(kToken, ignore); }, {"GET", "/api/devices/me", kToken, std::nullopt}},
      {[&] { client.browserHandoff(kToken, "0f8fad5b-d9cb-469f-a165-70867728950e", 1767225600, "it", "SIG=", ignore); },
       {"POST", "/api/devices/browser-session", kToken,
        R"({"nonce":"0f8fad5b-d9cb-469f-a165-70867728950e","timestamp":1767225600,"locale":"it","signature":"SIG="})"}},
      {[&] { client.start(kToken, std::nullopt, SponsorFilters{}, ignore); },
       {"POST", "/api/exposures/start", kToken,
        R"({"placement":"menubar-v1","preferences":{"blockedAdvertiserIds":[],"allowedCategories":[]}})"}},
      {[&] { client.start(kToken, std::string("c-7"), filters, ignore); },
       {"POST", "/api/exposures/start", kToken,
        R"({"placement":"menubar-v1","afterPreviewCampaignId":"c-7","preferences":)"
        R"({"blockedAdvertiserIds":["a-1"],"allowedCategories":["tech","travel"]}})"}},
      {[&] { client.complete(kToken, receipt, ignore); },
       {"POST", "/api/exposures/complete", kToken,
        R"({"leaseId":"l-9","nonce":"n-9","elapsedMs":10250,"sequence":1,"signature":"MEUCIQ=="})"}},
      {[&] { client.cancel(kToken, "l-1", ignore); },
       {"POST", "/api/exposures/cancel", kToken, R"({"leaseId":"l-1"})"}},
      {[&] { client.click(kToken, "l-2", ignore); }, {"POST", "/api/exposures/click", kToken, R"({"leaseId":"l-2"})"}},
  };
  for (const auto& [call, expected] : cases) {
    SCOPED_TRACE(expected.method + " " + expected.path);
    transport->sent.clear();
    call();
    ASSERT_EQ(transport->sent.size(), 1u);
    const HttpRequest& request = transport->sent.front();
    EXPECT_EQ(request.method, expected.method);
    EXPECT_EQ(request.url, "https://api.example.com" + expected.path);
    EXPECT_EQ(request.maxResponseBodyBytes, 256000u);
    EXPECT_EQ(headerOf(request, "Accept"), "application/json");
    EXPECT_EQ(headerOf(request, "Authorization"),
              expected.token ? std::optional<std::string>("Bearer " + *expected.token) : std::nullopt);
    EXPECT_EQ(request.body, expected.body);
    EXPECT_EQ(headerOf(request, "Content-Type"),
              expected.body ? std::optional<std::string>("application/json") : std::nullopt);
    EXPECT_EQ(request.headers.size(), 1u + (expected.token ? 1 : 0) + (expected.body ? 1 : 0))
        << "the frame sets no other header";
  }
}

TEST_F(ApiClientTest, ErrorStatusesMapToTheirErrorsAndTexts) {
  const std::vector<std::pair<int, std::string>> statuses = {
      {401, "This Mac is not authorized. Pair again from your dashboard."},
      {403, "This Mac is not authorized. Pair again from your dashboard."},
      {404, "No sponsor is available, or this server does not support the requested action."},
      {409, "This action is unavailable right now. A session or daily limit may already apply."},
      {429, "The network limit has been reached. Please try again later."},
      {500, "The server could not complete this request (HTTP 500)."},
      {302, "The server could not complete this request (HTTP 302)."},
      {199, "The server could not complete this request (HTTP 199)."},
      {300, "The server could not complete this request (HTTP 300)."},
  };
  for (const auto& [status, text] : statuses) {
    SCOPED_TRACE(status);
    // Bodies that do not name the payments problem never change the outcome.
    for (const char* body : {"", "<html>oops</html>", R"({"code":"other"})", R"({"code":1})",
                             R"(["live_money_not_enabled"])", R"({"error":{"code":"live_money_not_enabled"}})",
                             R"("live_money_not_enabled")"}) {
      const ApiResult<DeviceResponse> result = exchange<DeviceResponse>(me(), status, body);
      ASSERT_NE(result.apiError(), nullptr);
      EXPECT_EQ(*result.apiError(), APIError::http(status));
      EXPECT_EQ(result.apiError()->httpStatus(), status);
      EXPECT_EQ(result.errorDescription(), text);
    }
  }
  // Only 401 counts as a revocation: the controller relies on telling it apart.
  EXPECT_TRUE(APIError::http(401).isHttp(401));
  EXPECT_FALSE(APIError::http(403).isHttp(401));
}

TEST_F(ApiClientTest, APaymentsCodeInAnErrorBodyMeansPaymentsUnavailableButNotInASuccess) {
  const std::string payments = R"({"error":"x","code":"live_money_not_enabled"})";
  for (int status : {402, 403, 401, 500, 302}) {
    const auto result = exchange<DeviceResponse>(me(), status, payments);
    ASSERT_NE(result.apiError(), nullptr);
    EXPECT_EQ(*result.apiError(), APIError::paymentsUnavailable());
    EXPECT_EQ(result.errorDescription(), "Paid sponsorships are not active yet. Your Mac remains connected.");
  }
  // With a success the same body is just the answer: decoded as the expected record.
  EXPECT_TRUE(exchange<EmptyResponse>(cancel(), 200, payments).ok());
  const auto notARecord = exchange<DeviceResponse>(me(), 200, payments);
  ASSERT_NE(notARecord.apiError(), nullptr);
  EXPECT_EQ(*notARecord.apiError(), APIError::invalidResponse());
}

TEST_F(ApiClientTest, NoFillOnlyForA204ToTheSponsorRequest) {
  auto reasonOf = [&](std::vector<HttpHeader> headers) -> std::optional<std::string> {
    const auto result = exchange<ExposureLease>(start(), 204, "", std::move(headers));
    if (!result.apiError()) return std::nullopt;
    return result.apiError()->noFillReason();
  };
  EXPECT_EQ(reasonOf({{"X-Nimbrella-Reason", "cooldown"}}), "cooldown");
  EXPECT_EQ(reasonOf({{"x-nimbrella-reason", "daily_limit"}}), "daily_limit");
  EXPECT_EQ(reasonOf({}), "no_eligible_campaign");
  EXPECT_EQ(reasonOf({{"X-Nimbrella-Reason", " Cooldown "}}), " Cooldown ") << "used unchanged";
  EXPECT_EQ(reasonOf({{"X-Other", "cooldown"}}), "no_eligible_campaign");

  // A 204 elsewhere is an empty body: fine for an empty record, not for a real one.
  EXPECT_TRUE(exchange<EmptyResponse>(cancel(), 204, "", {{"X-Nimbrella-Reason", "cooldown"}}).ok());
  auto ignoreRevoke = [this](ApiClient::Done<EmptyResponse> done) { client.revoke(kToken, std::move(done)); };
  EXPECT_TRUE(exchange<EmptyResponse>(ignoreRevoke, 204).ok());
  EXPECT_EQ(*exchange<DeviceResponse>(me(), 204).apiError(), APIError::invalidResponse());
  EXPECT_EQ(*exchange<DeviceResponse>(me(), 200, "").apiError(), APIError::invalidResponse());
  EXPECT_TRUE(exchange<EmptyResponse>(cancel(), 200, "").ok());
  // Other successes of the sponsor request decode the lease.
  const auto lease = exchange<ExposureLease>(start(), 200, kLeaseJson);
  ASSERT_TRUE(lease.ok()) << lease.errorDescription();
  EXPECT_EQ(lease.value().leaseId, "l-1");
  EXPECT_EQ(lease.value().creative.sponsor, "S");
  EXPECT_EQ(*exchange<ExposureLease>(start(), 202, "").apiError(), APIError::invalidResponse());
}

TEST_F(ApiClientTest, NoFillTextsByReason) {
  const std::vector<std::pair<std::string, std::string>> reasons = {
      {"residence_required", "Confirm your country and age in your account to receive sponsors."},
      {"account_review", "Your account is under review. Check your account for updates."},
      {"country_unavailable", "Paid sponsorships are not available in your country yet."},
      {"payout_setup_required", "Complete payout setup in your account to continue earning."},
      {"device_review_required",
       "This Mac is connected but not yet approved for paid exposures. Check your dashboard later."},
      {"daily_limit", "This campaign's daily limit has been reached. Nimbrella will check again later."},
      {"cooldown", "This campaign has a short wait before the next exposure."},
      {"no_eligible_campaign", "No sponsor is available right now. Nimbrella will check again later."},
      {"preferences_filtered", "No sponsor is available right now. Nimbrella will check again later."},
      {"COOLDOWN", "No sponsor is available right now. Nimbrella will check again later."},
      {"", "No sponsor is available right now. Nimbrella will check again later."},
  };
  for (const auto& [reason, text] : reasons) EXPECT_EQ(APIError::noFill(reason).errorDescription(), text) << reason;
  EXPECT_EQ(APIError::invalidResponse().errorDescription(),
            "The server returned an unsupported response. No reward has been confirmed.");
  EXPECT_EQ(APIError::http(418).errorDescription(), "The server could not complete this request (HTTP 418).");
}

TEST_F(ApiClientTest, TheSizeLimitComesBeforeEverythingElse) {
  // Exactly the limit is examined: a valid JSON text padded with white space.
  std::string exact = "{}";
  exact.resize(256000, ' ');
  EXPECT_TRUE(exchange<EmptyResponse>(cancel(), 200, exact).ok());
  std::string payments = R"({"code":"live_money_not_enabled"})";
  payments.resize(256000, ' ');
  EXPECT_EQ(*exchange<DeviceResponse>(me(), 402, payments).apiError(), APIError::paymentsUnavailable());

  // One byte more fails whatever the status, the body or the path.
  for (int status : {200, 204, 402, 500, 302}) {
    SCOPED_TRACE(status);
    std::string over = exact + " ";
    EXPECT_EQ(*exchange<EmptyResponse>(cancel(), status, over).apiError(), APIError::invalidResponse());
    std::string overPayments = payments + " ";
    EXPECT_EQ(*exchange<DeviceResponse>(me(), status, overPayments).apiError(), APIError::invalidResponse());
    EXPECT_EQ(*exchange<ExposureLease>(start(), status, over, {{"X-Nimbrella-Reason", "cooldown"}}).apiError(),
              APIError::invalidResponse());
  }
}

TEST_F(ApiClientTest, UndecodableAnswersAreInvalidAndTransportErrorsPassUnchanged) {
  for (const char* body : {"{", "null", "[]", R"({"deviceId":"d","balanceMicros":1})",
                           R"({"deviceId":"d","balanceMicros":1,"mode":"test"})",
                           R"({"deviceId":"d","balanceMicros":"1","mode":"live"})",
                           R"({"deviceId":"d","balanceMicros":1,"mode":"live"} trailing)"}) {
    SCOPED_TRACE(body);
    const auto result = exchange<DeviceResponse>(me(), 200, body);
    ASSERT_NE(result.apiError(), nullptr);
    EXPECT_EQ(*result.apiError(), APIError::invalidResponse());
  }
  const auto good = exchange<DeviceResponse>(me(), 200, R"({"deviceId":"d","balanceMicros":7,"mode":"live","x":1})");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value().balanceMicros, 7);

  // Deep nesting inside the limit is refused without exhausting the stack.
  std::string deep(120000, '[');
  deep += std::string(120000, ']');
  EXPECT_EQ(*exchange<EmptyResponse>(cancel(), 500, deep).apiError(), APIError::http(500));
  EXPECT_TRUE(exchange<EmptyResponse>(cancel(), 200, deep).ok());

  // Not an HTTP answer at all.
  EXPECT_EQ(*exchange<EmptyResponse>(cancel(), 0, "{}").apiError(), APIError::invalidResponse());

  const TransportError refused{TransportError::Kind::connectionRefused, "Connection refused"};
  const auto failed = exchange<DeviceResponse>(me(), TransportResult(refused));
  ASSERT_NE(failed.transportError(), nullptr);
  EXPECT_EQ(*failed.transportError(), refused);
  EXPECT_EQ(failed.errorDescription(), "Connection refused");
}

TEST_F(ApiClientTest, CallsOverlapCompleteIndependentlyAndOutliveTheirClient) {
  std::vector<std::string> order;
  {
    ApiClient shortLived(SafeEndpoint("http://127.0.0.1:3217"), transport);
    shortLived.cancel(kToken, "a", [&](ApiResult<EmptyResponse> r) { order.push_back(r.ok() ? "cancel" : "?"); });
    shortLived.complete(kToken, CompleteRequest{}, [&](ApiResult<CompleteResponse> r) {
      order.push_back(r.ok() ? "complete:" + r.value().status : "?");
    });
    shortLived.me(kToken, [&](ApiResult<DeviceResponse> r) { order.push_back(r.ok() ? "?" : "me-failed"); });
  }
  ASSERT_EQ(transport->waiting.size(), 3u);
  EXPECT_EQ(transport->sent[0].url, "http://127.0.0.1:3217/api/exposures/cancel");
  transport->answer(200, R"({"status":"accepted","receiptId":"r"})", {}, 1);
  transport->answer(TransportResult(TransportError{TransportError::Kind::timedOut, "timed out"}), 1);
  transport->answer(204, "", {}, 0);
  EXPECT_TRUE(order.empty()) << "nothing is delivered before the queue runs";
  transport->run();
  EXPECT_EQ(order, (std::vector<std::string>{"complete:accepted", "me-failed", "cancel"}));
}

TEST_F(ApiClientTest, AnUnsendableRequestFailsLaterAndSendsNothing) {
  std::optional<ApiResult<EmptyResponse>> badBody;
  client.cancel(kToken, "bad\xFF" "utf8", [&](ApiResult<EmptyResponse> r) { badBody.emplace(std::move(r)); });
  std::optional<ApiResult<DeviceResponse>> badToken;
  client.me("tok\r\nX-Injected: 1", [&](ApiResult<DeviceResponse> r) { badToken.emplace(std::move(r)); });
  EXPECT_FALSE(badBody.has_value());
  EXPECT_FALSE(badToken.has_value());
  transport->run();
  EXPECT_TRUE(transport->sent.empty());
  ASSERT_TRUE(badBody.has_value());
  EXPECT_NE(badBody->encodingError(), nullptr);
  ASSERT_TRUE(badToken.has_value());
  EXPECT_NE(badToken->encodingError(), nullptr);
  EXPECT_FALSE(badToken->errorDescription().empty());
}

TEST(BrowserHandoffProof, IsSignedOverTheDeviceNonceTimeAndLanguage) {
  const ReceiptSigner signer;
  const std::string deviceId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  const Date now = Date(std::chrono::milliseconds(1767225600999));
  const requests::Proof proof = makeBrowserHandoffProof(signer, deviceId, AppLanguage::it, now);

  EXPECT_EQ(proof.timestamp, 1767225600) << "whole seconds, fraction dropped";
  EXPECT_EQ(proof.locale, "it");
  EXPECT_TRUE(verifyReceiptSignature(
      signer.publicKey(), ReceiptSigner::browserHandoffMessage(deviceId, proof.nonce, proof.timestamp, "it"),
      proof.signature));
  EXPECT_EQ(makeBrowserHandoffProof(signer, deviceId, AppLanguage::en, now).locale, "en");

  // Nonces: fresh version-4 UUIDs in lower case.
  std::set<std::string> nonces;
  for (int i = 0; i < 64; ++i) {
    const std::string nonce = newHandoffNonce();
    EXPECT_TRUE(isUuidText(nonce)) << nonce;
    EXPECT_EQ(nonce.find_first_of("ABCDEF"), std::string::npos) << nonce;
    EXPECT_EQ(nonce[14], '4') << nonce;
    EXPECT_NE(std::string("89ab").find(nonce[19]), std::string::npos) << nonce;
    nonces.insert(nonce);
  }
  EXPECT_EQ(nonces.size(), 64u);

  EXPECT_THROW(makeBrowserHandoffProof(signer, "not-a-uuid", AppLanguage::en, now), ReceiptSigner::SigningError);
}

}  // namespace
}  // namespace nimbrella
