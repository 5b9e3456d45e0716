// The request frame and the server operations over the simulation's scripted server: no
// Qt, no network, no waiting.

#include "SponsorApp/network/ApiClient.hpp"
#include "SponsorApp/network/BrowserHandoff.hpp"
#include "controller/support/Simulation.hpp"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace nimbrella {
namespace {

const std::string kToken = "tok_device_0123456789abcdefghijklmnopqrstuv";

using simulation::Scripted;

HttpResponse http(int status, std::string body = {}, std::vector<HttpHeader> headers = {}) {
  return HttpResponse{status, std::move(headers), std::move(body)};
}

// "ok", the APIError ("http(401)", "noFill(cooldown)", "invalidResponse", ...), or the
// kind and text of another failure.
template <class T>
std::string summary(const ApiResult<T>& result) {
  if (result.ok()) return "ok";
  if (result.transportError()) return "transport: " + result.errorDescription();
  if (result.encodingError()) return "encoding: " + result.errorDescription();
  std::ostringstream text;
  text << *result.apiError();
  return text.str();
}

class ApiClientTest : public ::testing::Test {
 protected:
  // Runs one operation ('m': me, 'c': cancel, 's': start) with `answer` scripted for it and
  // gives the summary and the text of its result, which must come only from the queue.
  std::pair<std::string, std::string> exchange(char operation, Scripted answer) {
    std::optional<std::pair<std::string, std::string>> result;
    const auto keep = [&](const auto& r) { result.emplace(summary(r), r.errorDescription()); };
    const char* path = operation == 'm' ? "/api/devices/me" : operation == 'c' ? "/api/exposures/cancel" : "/api/exposures/start";
    world.server->script(path, std::move(answer));
    if (operation == 'm') client.me(kToken, keep);
    if (operation == 'c') client.cancel(kToken, "l-1", keep);
    if (operation == 's') client.start(kToken, std::nullopt, {}, keep);
    EXPECT_FALSE(result.has_value()) << "completed inside the call";
    world.settle();
    return result.value_or(std::pair("no result", ""));
  }

  simulation::World world;
  ApiClient client{SafeEndpoint("https://api.example.com/"), world.server};
};

TEST_F(ApiClientTest, EveryOperationHasItsMethodPathTokenAndExactBody) {
  auto ignore = [](auto) {};
  using Body = std::optional<std::string>;
  // The call, "METHOD path", whether the device token goes with it, the body.
  const std::vector<std::tuple<std::function<void()>, std::string, bool, Body>> cases = {
      {[&] { client.startAuthorization("PUBKEY==", ignore); }, "POST /api/devices/authorization/start", false,
       R"({"name":"My computer","publicKey":"PUBKEY=="})"},
      {[&] { client.pollAuthorization(kToken, ignore); }, "GET /api/devices/authorization/poll", true, {}},
      {[&] { client.revoke(kToken, ignore); }, "DELETE /api/devices/me", true, {}},
      {[&] { client.me(kToken, ignore); }, "GET /api/devices/me", true, {}},
      {[&] { client.browserHandoff(kToken, "0f8fad5b-d9cb-469f-a165-70867728950e", 1767225600, "it", "SIG=", ignore); },
       "POST /api/devices/browser-session", true,
       R"({"nonce":"0f8fad5b-d9cb-469f-a165-70867728950e","timestamp":1767225600,"locale":"it","signature":"SIG="})"},
      {[&] { client.start(kToken, std::nullopt, SponsorFilters{}, ignore); }, "POST /api/exposures/start", true,
       R"({"placement":"menubar-v1","preferences":{"blockedAdvertiserIds":[],"allowedCategories":[]}})"},
      {[&] { client.start(kToken, std::string("c-7"), SponsorFilters{{"a-1"}, {"tech", "travel"}}, ignore); },
       "POST /api/exposures/start", true,
       R"({"placement":"menubar-v1","afterPreviewCampaignId":"c-7","preferences":)"
       R"({"blockedAdvertiserIds":["a-1"],"allowedCategories":["tech","travel"]}})"},
      {[&] { client.complete(kToken, CompleteRequest{"l-9", "n-9", 10250, 1, "MEUCIQ=="}, ignore); },
       "POST /api/exposures/complete", true,
       R"({"leaseId":"l-9","nonce":"n-9","elapsedMs":10250,"sequence":1,"signature":"MEUCIQ=="})"},
      {[&] { client.cancel(kToken, "l-1", ignore); }, "POST /api/exposures/cancel", true, R"({"leaseId":"l-1"})"},
      {[&] { client.click(kToken, "l-2", ignore); }, "POST /api/exposures/click", true, R"({"leaseId":"l-2"})"},
  };
  for (const auto& [call, line, token, body] : cases) {
    SCOPED_TRACE(line);
    world.server->requests.clear();
    call();
    ASSERT_EQ(world.server->requests.size(), 1u);
    const HttpRequest& request = world.server->requests.front();
    const std::string url = std::string(line).insert(line.find(' ') + 1, "https://api.example.com");
    EXPECT_EQ(request.method + " " + request.url, url);
    EXPECT_EQ(request.maxResponseBodyBytes, 256000u);
    EXPECT_EQ(request.body, body);
    // Exactly these headers, each once.
    std::multimap<std::string, std::string> sent, wanted = {{"Accept", "application/json"}};
    if (token) wanted.emplace("Authorization", "Bearer " + kToken);
    if (body) wanted.emplace("Content-Type", "application/json");
    for (const HttpHeader& header : request.headers) sent.emplace(header.name, header.value);
    EXPECT_EQ(sent, wanted);
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
    // Bodies that do not name the payments problem never change the outcome.
    for (const char* body : {"", "<html>oops</html>", R"({"code":"other"})", R"({"code":1})",
                             R"(["live_money_not_enabled"])", R"({"error":{"code":"live_money_not_enabled"}})"}) {
      EXPECT_EQ(exchange('m', http(status, body)), std::pair("http(" + std::to_string(status) + ")", text)) << body;
    }
  }
}

// Which record or error each answer gives, by the operation that receives it.
TEST_F(ApiClientTest, AnswersGiveTheirRecordOrTheirError) {
  const std::string payments = R"({"error":"x","code":"live_money_not_enabled"})";
  // Exactly the size limit is examined (JSON texts padded with white space); one byte
  // more fails before the success, the payments code, the no-fill or the status.
  std::string empty = "{}", paddedPayments = payments;
  empty.resize(256000, ' ');
  paddedPayments.resize(256000, ' ');
  const std::vector<HttpHeader> cooldown = {{"X-Nimbrella-Reason", "cooldown"}};
  const std::vector<std::tuple<char, Scripted, std::string>> cases = {
      // A 204 to the sponsor request is a no-fill with the server's reason, unchanged.
      {'s', http(204, "", cooldown), "noFill(cooldown)"},
      {'s', http(204, "", {{"x-nimbrella-reason", "daily_limit"}}), "noFill(daily_limit)"},
      {'s', http(204, "", {{"X-Nimbrella-Reason", " Cooldown "}}), "noFill( Cooldown )"},
      {'s', http(204, "", {{"X-Other", "cooldown"}}), "noFill(no_eligible_campaign)"},
      {'s', http(204), "noFill(no_eligible_campaign)"},
      {'s', http(202), "invalidResponse"},
      // Elsewhere it is an empty body, read as "{}": fine for an empty record, not for a real one.
      {'c', http(204, "", cooldown), "ok"}, {'c', http(200), "ok"},
      {'m', http(204), "invalidResponse"}, {'m', http(200), "invalidResponse"},
      // The payments code in an error body wins over the status; in a success it is just
      // the answer, decoded as the expected record.
      {'m', http(402, payments), "paymentsUnavailable"}, {'m', http(401, payments), "paymentsUnavailable"},
      {'m', http(500, payments), "paymentsUnavailable"}, {'m', http(200, payments), "invalidResponse"},
      {'c', http(200, payments), "ok"},
      {'c', http(200, empty), "ok"}, {'m', http(402, paddedPayments), "paymentsUnavailable"},
      {'c', http(200, empty + " "), "invalidResponse"}, {'m', http(402, paddedPayments + " "), "invalidResponse"},
      {'s', http(204, empty + " ", cooldown), "invalidResponse"}, {'c', http(500, empty + " "), "invalidResponse"},
      // Whatever the decoder refuses (the records' own tests say what that is).
      {'m', http(200, "{"), "invalidResponse"},
      {'m', http(200, R"({"deviceId":"d","balanceMicros":7,"mode":"live"})"), "ok"},
      {'c', http(0, "{}"), "invalidResponse"},  // not an HTTP answer
      {'m', TransportError{TransportError::Kind::connectionRefused, "Connection refused"},
       "transport: Connection refused"},
  };
  for (const auto& [operation, answer, expected] : cases) {
    const auto* response = std::get_if<HttpResponse>(&answer);
    EXPECT_EQ(exchange(operation, answer).first, expected) << (response ? response->body.substr(0, 60) : "");
  }
}

TEST(APIErrorTexts, KnownNoFillReasonsHaveTextsOfTheirOwnAndOthersShareOne) {
  const std::string none = APIError::noFill("no_eligible_campaign").errorDescription();
  EXPECT_EQ(none, "No sponsor is available right now. Nimbrella will check again later.");
  for (const char* other : {"COOLDOWN", "unheard_of", ""}) EXPECT_EQ(APIError::noFill(other).errorDescription(), none);
  std::set<std::string> texts = {none};
  for (const char* reason : {"residence_required", "account_review", "country_unavailable", "payout_setup_required",
                             "device_review_required", "daily_limit", "cooldown"}) {
    texts.insert(APIError::noFill(reason).errorDescription());
  }
  EXPECT_EQ(texts.size(), 8u);
}

TEST_F(ApiClientTest, CallsOverlapCompleteIndependentlyAndOutliveTheirClient) {
  std::vector<std::string> order;
  const char* paths[] = {"/api/exposures/cancel", "/api/exposures/complete", "/api/devices/me"};
  for (const char* path : paths) world.server->scriptHold(path);
  {
    ApiClient shortLived(SafeEndpoint("http://127.0.0.1:3217"), world.server);
    shortLived.cancel(kToken, "a", [&](ApiResult<EmptyResponse> r) { order.push_back("cancel " + summary(r)); });
    shortLived.complete(kToken, CompleteRequest{}, [&](ApiResult<CompleteResponse> r) {
      order.push_back(r.ok() ? "complete " + r.value().status : summary(r));
    });
    shortLived.me(kToken, [&](ApiResult<DeviceResponse> r) { order.push_back("me " + summary(r)); });
  }
  for (const char* path : paths) ASSERT_EQ(world.server->held(path), 1u) << path;
  EXPECT_EQ(world.server->requests[0].url, "http://127.0.0.1:3217/api/exposures/cancel");
  world.server->release(paths[1], http(200, R"({"status":"accepted","receiptId":"r"})"));
  world.server->release(paths[2], TransportError{TransportError::Kind::timedOut, "timed out"});
  world.server->release(paths[0], http(204));
  EXPECT_TRUE(order.empty()) << "nothing is delivered before the queue runs";
  world.settle();
  EXPECT_EQ(order, (std::vector<std::string>{"complete accepted", "me transport: timed out", "cancel ok"}));
}

TEST_F(ApiClientTest, AnUnsendableRequestFailsLaterAndSendsNothing) {
  std::vector<std::string> results;
  client.cancel(kToken, "bad\xFF" "utf8", [&](ApiResult<EmptyResponse> r) { results.push_back(summary(r)); });
  client.me("tok\r\nX-Injected: 1", [&](ApiResult<DeviceResponse> r) { results.push_back(summary(r)); });
  EXPECT_TRUE(results.empty()) << "completed inside the call";
  world.settle();
  EXPECT_TRUE(world.server->requests.empty());
  ASSERT_EQ(results.size(), 2u);
  for (const auto& result : results) EXPECT_TRUE(result.starts_with("encoding: ") && result.size() > 10) << result;
}

// Its signature is checked where the controller sends it (the connection tests).
TEST(BrowserHandoffProof, TakesWholeSecondsTheLanguageAndAFreshNonce) {
  const ReceiptSigner signer;
  const Date now = Date(std::chrono::milliseconds(1767225600999));
  const requests::Proof proof = makeBrowserHandoffProof(signer, "6F9619FF-8B86-D011-B42D-00C04FC964FF", AppLanguage::en, now);
  EXPECT_EQ(proof.timestamp, 1767225600) << "whole seconds, fraction dropped";
  EXPECT_EQ(proof.locale, "en");
  // Nonces: fresh version-4 UUIDs in lower case.
  const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(proof.nonce, uuid4)) << proof.nonce;
  EXPECT_NE(proof.nonce, newHandoffNonce());
}

}  // namespace
}  // namespace nimbrella
