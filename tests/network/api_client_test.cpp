// The request frame and the server operations over a scripted transport: no Qt, no
// network, no waiting.

#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/network/BrowserHandoff.hpp"
#include "network/ScriptedTransport.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>

namespace nimbrella {
namespace {

using testing::ScriptedTransport;

const std::string kToken = "tok_device_0123456789abcdefghijklmnopqrstuv";
const std::string kInvalidText = "The server returned an unsupported response. No reward has been confirmed.";
const std::string kPaymentsText = "Paid sponsorships are not active yet. Your computer remains connected.";
const std::string kNoSponsorText = "No sponsor is available right now. Nimbrella will check again later.";

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
  static TransportResult http(int status, std::string body, std::vector<HttpHeader> headers = {}) {
    return HttpResponse{status, std::move(headers), std::move(body)};
  }
  ApiResult<DeviceResponse> me(TransportResult answer) {
    return exchange<DeviceResponse>([&](auto done) { client.me(kToken, std::move(done)); }, std::move(answer));
  }
  ApiResult<DeviceResponse> me(int status, std::string body = {}) { return me(http(status, std::move(body))); }
  ApiResult<EmptyResponse> cancel(int status, std::string body = {}, std::vector<HttpHeader> headers = {}) {
    return exchange<EmptyResponse>([&](auto done) { client.cancel(kToken, "l-1", std::move(done)); },
                                   http(status, std::move(body), std::move(headers)));
  }
  ApiResult<ExposureLease> start(int status, std::string body = {}, std::vector<HttpHeader> headers = {}) {
    return exchange<ExposureLease>([&](auto done) { client.start(kToken, std::nullopt, {}, std::move(done)); },
                                   http(status, std::move(body), std::move(headers)));
  }
};

// The failure of `result` as an APIError; a success or another kind of failure never
// compares equal to one.
template <class T>
APIError errorOf(const ApiResult<T>& result) {
  return result.apiError() ? *result.apiError() : APIError::http(-1);
}

TEST_F(ApiClientTest, EveryOperationHasItsMethodPathTokenAndExactBody) {
  auto ignore = [](auto) {};
  struct Case {
    std::function<void()> call;
    std::string method, path;
    bool token;
    std::optional<std::string> body;
  };
  const std::vector<Case> cases = {
      {[&] { client.startAuthorization("PUBKEY==", ignore); }, "POST", "/api/devices/authorization/start", false,
       R"({"name":"My computer","publicKey":"PUBKEY=="})"},
      {[&] { client.pollAuthorization(kToken, ignore); }, "GET", "/api/devices/authorization/poll", true, {}},
      {[&] { client.revoke(kToken, ignore); }, "DELETE", "/api/devices/me", true, {}},
      {[&] { client.me(kToken, ignore); }, "GET", "/api/devices/me", true, {}},
      {[&] { client.browserHandoff(kToken, "0f8fad5b-d9cb-469f-a165-70867728950e", 1767225600, "it", "SIG=", ignore); },
       "POST", "/api/devices/browser-session", true,
       R"({"nonce":"0f8fad5b-d9cb-469f-a165-70867728950e","timestamp":1767225600,"locale":"it","signature":"SIG="})"},
      {[&] { client.start(kToken, std::nullopt, SponsorFilters{}, ignore); }, "POST", "/api/exposures/start", true,
       R"({"placement":"menubar-v1","preferences":{"blockedAdvertiserIds":[],"allowedCategories":[]}})"},
      {[&] { client.start(kToken, std::string("c-7"), SponsorFilters{{"a-1"}, {"tech", "travel"}}, ignore); }, "POST",
       "/api/exposures/start", true,
       R"({"placement":"menubar-v1","afterPreviewCampaignId":"c-7","preferences":)"
       R"({"blockedAdvertiserIds":["a-1"],"allowedCategories":["tech","travel"]}})"},
      {[&] { client.complete(kToken, CompleteRequest{"l-9", "n-9", 10250, 1, "MEUCIQ=="}, ignore); }, "POST",
       "/api/exposures/complete", true,
       R"({"leaseId":"l-9","nonce":"n-9","elapsedMs":10250,"sequence":1,"signature":"MEUCIQ=="})"},
      {[&] { client.cancel(kToken, "l-1", ignore); }, "POST", "/api/exposures/cancel", true, R"({"leaseId":"l-1"})"},
      {[&] { client.click(kToken, "l-2", ignore); }, "POST", "/api/exposures/click", true, R"({"leaseId":"l-2"})"},
  };
  for (const Case& expected : cases) {
    SCOPED_TRACE(expected.method + " " + expected.path);
    transport->sent.clear();
    expected.call();
    ASSERT_EQ(transport->sent.size(), 1u);
    const HttpRequest& request = transport->sent.front();
    EXPECT_EQ(request.method, expected.method);
    EXPECT_EQ(request.url, "https://api.example.com" + expected.path);
    EXPECT_EQ(request.maxResponseBodyBytes, 256000u);
    EXPECT_EQ(request.body, expected.body);
    std::map<std::string, std::string> expectedHeaders = {{"Accept", "application/json"}}, sentHeaders;
    if (expected.token) expectedHeaders["Authorization"] = "Bearer " + kToken;
    if (expected.body) expectedHeaders["Content-Type"] = "application/json";
    for (const HttpHeader& header : request.headers) sentHeaders.emplace(header.name, header.value);
    EXPECT_EQ(sentHeaders, expectedHeaders);
    EXPECT_EQ(request.headers.size(), sentHeaders.size()) << "a header sent twice";
  }
}

TEST_F(ApiClientTest, ErrorStatusesMapToTheirErrorsAndTexts) {
  const std::vector<std::pair<int, std::string>> statuses = {
      {401, "This computer is not authorized. Pair again from your dashboard."},
      {403, "This computer is not authorized. Pair again from your dashboard."},
      {404, "No sponsor is available, or this server does not support the requested action."},
      {409, "This action is unavailable right now. A session or daily limit may already apply."},
      {429, "The network limit has been reached. Please try again later."},
      {500, "The server could not complete this request (HTTP 500)."},
      {199, "The server could not complete this request (HTTP 199)."},
      {300, "The server could not complete this request (HTTP 300)."},
  };
  for (const auto& [status, text] : statuses) {
    SCOPED_TRACE(status);
    // Bodies that do not name the payments problem never change the outcome.
    for (const char* body : {"", "<html>oops</html>", R"({"code":"other"})", R"({"code":1})",
                             R"(["live_money_not_enabled"])", R"({"error":{"code":"live_money_not_enabled"}})"}) {
      const auto result = me(status, body);
      EXPECT_EQ(errorOf(result), APIError::http(status)) << body;
      EXPECT_EQ(result.errorDescription(), text);
    }
  }
  // The payments code in an error body wins over the status; in a success it is just
  // the answer, decoded as the expected record.
  const std::string payments = R"({"error":"x","code":"live_money_not_enabled"})";
  for (int status : {402, 401, 500}) {
    const auto result = me(status, payments);
    EXPECT_EQ(errorOf(result), APIError::paymentsUnavailable()) << status;
    EXPECT_EQ(result.errorDescription(), kPaymentsText);
  }
  EXPECT_TRUE(cancel(200, payments).ok());
  EXPECT_EQ(errorOf(me(200, payments)), APIError::invalidResponse());
  EXPECT_EQ(me(200, payments).errorDescription(), kInvalidText);
}

TEST_F(ApiClientTest, NoFillOnlyForA204ToTheSponsorRequest) {
  const std::vector<std::pair<std::vector<HttpHeader>, std::string>> reasons = {
      {{{"X-Nimbrella-Reason", "cooldown"}}, "cooldown"},
      {{{"x-nimbrella-reason", "daily_limit"}}, "daily_limit"},
      {{{"X-Nimbrella-Reason", " Cooldown "}}, " Cooldown "},  // used unchanged
      {{{"X-Other", "cooldown"}}, "no_eligible_campaign"},
      {{}, "no_eligible_campaign"},
  };
  for (const auto& [headers, reason] : reasons) EXPECT_EQ(errorOf(start(204, "", headers)), APIError::noFill(reason));

  // A 204 elsewhere is an empty body, read as "{}": fine for an empty record, not for a real one.
  EXPECT_TRUE(cancel(204, "", {{"X-Nimbrella-Reason", "cooldown"}}).ok());
  EXPECT_TRUE(cancel(200, "").ok());
  EXPECT_EQ(errorOf(me(204)), APIError::invalidResponse());
  EXPECT_EQ(errorOf(me(200, "")), APIError::invalidResponse());
  // Other successes of the sponsor request decode the lease.
  const auto lease = start(200,
                           R"({"leaseId":"l-1","nonce":"n-1","durationMs":10000,"expiresAt":"2026-01-02T03:04:05Z",)"
                           R"("creative":{"sponsor":"S","headline":"H","body":"B","cta":"C",)"
                           R"("url":"https://ads.example.com/x"},"rewardMicros":1500,"currency":"EUR","mode":"live"})");
  ASSERT_TRUE(lease.ok()) << lease.errorDescription();
  EXPECT_EQ(lease.value().leaseId, "l-1");
  EXPECT_EQ(lease.value().creative.sponsor, "S");
  EXPECT_EQ(errorOf(start(202, "")), APIError::invalidResponse());
}

TEST(APIErrorTexts, EveryNoFillReasonAndKindHasItsText) {
  const std::vector<std::pair<std::string, std::string>> reasons = {
      {"residence_required", "Confirm your country and age in your account to receive sponsors."},
      {"account_review", "Your account is under review. Check your account for updates."},
      {"country_unavailable", "Paid sponsorships are not available in your country yet."},
      {"payout_setup_required", "Complete payout setup in your account to continue earning."},
      {"device_review_required",
       "This computer is connected but not yet approved for paid exposures. Check your dashboard later."},
      {"daily_limit", "This campaign's daily limit has been reached. Nimbrella will check again later."},
      {"cooldown", "This campaign has a short wait before the next exposure."},
      {"no_eligible_campaign", kNoSponsorText},
      {"COOLDOWN", kNoSponsorText},
  };
  for (const auto& [reason, text] : reasons) EXPECT_EQ(APIError::noFill(reason).errorDescription(), text) << reason;
  EXPECT_EQ(APIError::invalidResponse().errorDescription(), kInvalidText);
  EXPECT_EQ(APIError::paymentsUnavailable().errorDescription(), kPaymentsText);
}

TEST_F(ApiClientTest, TheSizeLimitComesBeforeEverythingElse) {
  // Exactly the limit is examined: JSON texts padded with white space.
  std::string empty = "{}";
  empty.resize(256000, ' ');
  std::string payments = R"({"code":"live_money_not_enabled"})";
  payments.resize(256000, ' ');
  EXPECT_TRUE(cancel(200, empty).ok());
  EXPECT_EQ(errorOf(me(402, payments)), APIError::paymentsUnavailable());

  // One byte more fails before the success, the payments code, the no-fill or the status.
  EXPECT_EQ(errorOf(cancel(200, empty + " ")), APIError::invalidResponse());
  EXPECT_EQ(errorOf(me(402, payments + " ")), APIError::invalidResponse());
  EXPECT_EQ(errorOf(start(204, empty + " ", {{"X-Nimbrella-Reason", "cooldown"}})), APIError::invalidResponse());
  EXPECT_EQ(errorOf(cancel(500, empty + " ")), APIError::invalidResponse());
}

TEST_F(ApiClientTest, UndecodableAnswersAreInvalidAndTransportErrorsPassUnchanged) {
  // Whatever the decoder refuses: malformed JSON, a mistyped key, an unknown mode.
  for (const char* body : {"{", R"({"deviceId":"d","balanceMicros":"1","mode":"live"})",
                           R"({"deviceId":"d","balanceMicros":1,"mode":"test"})"}) {
    EXPECT_EQ(errorOf(me(200, body)), APIError::invalidResponse()) << body;
  }
  const auto good = me(200, R"({"deviceId":"d","balanceMicros":7,"mode":"live","x":1})");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value().balanceMicros, 7);

  // Deep nesting inside the limit is handled without exhausting the stack.
  const std::string deep = std::string(120000, '[') + std::string(120000, ']');
  EXPECT_EQ(errorOf(cancel(500, deep)), APIError::http(500));
  EXPECT_TRUE(cancel(200, deep).ok());

  EXPECT_EQ(errorOf(cancel(0, "{}")), APIError::invalidResponse()) << "not an HTTP answer";

  const TransportError refused{TransportError::Kind::connectionRefused, "Connection refused"};
  const auto failed = me(refused);
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
  transport->answer(http(200, R"({"status":"accepted","receiptId":"r"})"), 1);
  transport->answer(TransportResult(TransportError{TransportError::Kind::timedOut, "timed out"}), 1);
  transport->answer(http(204, ""), 0);
  EXPECT_TRUE(order.empty()) << "nothing is delivered before the queue runs";
  transport->run();
  EXPECT_EQ(order, (std::vector<std::string>{"complete:accepted", "me-failed", "cancel"}));
}

TEST_F(ApiClientTest, AnUnsendableRequestFailsLaterAndSendsNothing) {
  std::optional<ApiResult<EmptyResponse>> badBody;
  client.cancel(kToken, "bad\xFF" "utf8", [&](ApiResult<EmptyResponse> r) { badBody.emplace(std::move(r)); });
  std::optional<ApiResult<DeviceResponse>> badToken;
  client.me("tok\r\nX-Injected: 1", [&](ApiResult<DeviceResponse> r) { badToken.emplace(std::move(r)); });
  EXPECT_FALSE(badBody || badToken) << "completed inside the call";
  transport->run();
  EXPECT_TRUE(transport->sent.empty());
  ASSERT_TRUE(badBody && badToken);
  EXPECT_NE(badBody->encodingError(), nullptr);
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
  EXPECT_THROW(makeBrowserHandoffProof(signer, "not-a-uuid", AppLanguage::en, now), ReceiptSigner::SigningError);

  // Nonces: fresh version-4 UUIDs in lower case.
  const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> nonces;
  for (int i = 0; i < 64; ++i) {
    const std::string nonce = newHandoffNonce();
    EXPECT_TRUE(std::regex_match(nonce, uuid4)) << nonce;
    nonces.insert(nonce);
  }
  EXPECT_EQ(nonces.size(), 64u);
}

}  // namespace
}  // namespace nimbrella
