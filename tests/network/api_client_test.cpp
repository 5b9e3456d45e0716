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
  std::pair<std::string, std::string> exchange(char operation, simulation::Scripted answer) {
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
      {[&] { client.startAuthorization("PK=", ignore); }, "POST /api/devices/authorization/start", false,
       R"({"name":"My computer","publicKey":"PK="})"},
      {[&] { client.pollAuthorization(kToken, ignore); }, "GET /api/devices/authorization/poll", true, {}},
      {[&] { client.revoke(kToken, ignore); }, "DELETE /api/devices/me", true, {}},
      {[&] { client.me(kToken, ignore); }, "GET /api/devices/me", true, {}},
      {[&] { client.browserHandoff(kToken, "n-1", 1767225600, "it", "S=", ignore); }, "POST /api/devices/browser-session",
       true, R"({"nonce":"n-1","timestamp":1767225600,"locale":"it","signature":"S="})"},
      {[&] { client.start(kToken, std::nullopt, {}, ignore); }, "POST /api/exposures/start", true,
       R"({"placement":"menubar-v1","preferences":{"blockedAdvertiserIds":[],"allowedCategories":[]}})"},
      {[&] { client.start(kToken, std::string("c-7"), {{"a-1"}, {"tech", "travel"}}, ignore); }, "POST /api/exposures/start",
       true, R"({"placement":"menubar-v1","afterPreviewCampaignId":"c-7","preferences":)"
             R"({"blockedAdvertiserIds":["a-1"],"allowedCategories":["tech","travel"]}})"},
      {[&] { client.complete(kToken, {"l-9", "n-9", 10250, 1, "ME="}, ignore); }, "POST /api/exposures/complete", true,
       R"({"leaseId":"l-9","nonce":"n-9","elapsedMs":10250,"sequence":1,"signature":"ME="})"},
      {[&] { client.cancel(kToken, "l-1", ignore); }, "POST /api/exposures/cancel", true, R"({"leaseId":"l-1"})"},
      {[&] { client.click(kToken, "l-2", ignore); }, "POST /api/exposures/click", true, R"({"leaseId":"l-2"})"},
  };
  for (const auto& [call, line, token, body] : cases) {
    SCOPED_TRACE(line);
    world.server->requests.clear();
    call();
    ASSERT_EQ(world.server->requests.size(), 1u);
    const HttpRequest& request = world.server->requests.front();
    EXPECT_EQ(request.method + " " + request.url, std::string(line).insert(line.find(' ') + 1, "https://api.example.com"));
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

TEST_F(ApiClientTest, ErrorStatusesAndNoFillReasonsHaveTheirTexts) {
  const std::string notAuthorized = "This computer is not authorized. Pair again from your dashboard.";
  const std::vector<std::pair<int, std::string>> statuses = {
      {401, notAuthorized}, {403, notAuthorized},
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
  // Known no-fill reasons, exactly as written, have texts of their own; others share one.
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

// Which record or error each answer gives, by the operation that receives it.
TEST_F(ApiClientTest, AnswersGiveTheirRecordOrTheirError) {
  const std::string payments = R"({"error":"x","code":"live_money_not_enabled"})";
  // Exactly the size limit is examined (JSON text padded with white space); one byte
  // more fails before the success, the payments code, the no-fill or the status.
  std::string empty = "{}", tooLarge = payments;
  empty.resize(256000, ' ');
  tooLarge.resize(256001, ' ');
  const std::vector<HttpHeader> cooldown = {{"X-Nimbrella-Reason", "cooldown"}};
  const std::vector<std::tuple<char, simulation::Scripted, std::string>> cases = {
      // A 204 to the sponsor request is a no-fill with the server's reason, unchanged.
      {'s', http(204, "", {{"x-nimbrella-reason", " Cooldown "}}), "noFill( Cooldown )"},
      {'s', http(204, "", {{"X-Other", "cooldown"}}), "noFill(no_eligible_campaign)"}, {'s', http(202), "invalidResponse"},
      // Elsewhere it is an empty body, read as "{}": fine for an empty record, not for a real one.
      {'c', http(204, "", cooldown), "ok"}, {'m', http(204), "invalidResponse"},
      // The payments code in an error body wins over the status; in a success it is just the answer.
      {'m', http(402, payments), "paymentsUnavailable"}, {'m', http(401, payments), "paymentsUnavailable"},
      {'c', http(200, payments), "ok"}, {'c', http(200, empty), "ok"}, {'c', http(200, empty + " "), "invalidResponse"},
      {'m', http(402, tooLarge), "invalidResponse"}, {'s', http(204, empty + " ", cooldown), "invalidResponse"},
      {'c', http(500, empty + " "), "invalidResponse"},
      // Whatever the decoder refuses (the records' own tests say what that is); not an HTTP answer; no answer.
      {'m', http(200, "{"), "invalidResponse"}, {'c', http(0, "{}"), "invalidResponse"},
      {'m', http(200, R"({"deviceId":"d","balanceMicros":7,"mode":"live"})"), "ok"},
      {'m', TransportError{TransportError::Kind::connectionRefused, "Refused"}, "transport: Refused"},
  };
  for (const auto& [operation, answer, expected] : cases) {
    const auto* response = std::get_if<HttpResponse>(&answer);
    EXPECT_EQ(exchange(operation, answer).first, expected) << (response ? response->body.substr(0, 60) : "");
  }
}

TEST_F(ApiClientTest, CallsOverlapCompleteIndependentlyAndOutliveTheirClient) {
  std::vector<std::string> order;
  world.server->scriptHold("/api/exposures/cancel");
  world.server->scriptHold("/api/exposures/complete");
  {
    ApiClient shortLived(SafeEndpoint("http://127.0.0.1:3217"), world.server);
    shortLived.cancel(kToken, "a", [&](ApiResult<EmptyResponse> r) { order.push_back("cancel " + summary(r)); });
    shortLived.complete(kToken, {}, [&](ApiResult<CompleteResponse> r) { order.push_back("complete " + summary(r)); });
  }
  world.server->release("/api/exposures/complete", http(200, R"({"status":"accepted","receiptId":"r"})"));
  world.server->release("/api/exposures/cancel", http(500));
  world.settle();
  EXPECT_EQ(order, (std::vector<std::string>{"complete ok", "cancel http(500)"}));
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

// Its signature and language are checked where the controller sends it (the connection tests).
TEST(BrowserHandoffProof, TakesWholeSecondsAndAFreshNonce) {
  const ReceiptSigner signer;
  const Date now = Date(std::chrono::milliseconds(1767225600999));
  const requests::Proof proof = makeBrowserHandoffProof(signer, "6F9619FF-8B86-D011-B42D-00C04FC964FF", AppLanguage::en, now);
  EXPECT_EQ(proof.timestamp, 1767225600) << "whole seconds, fraction dropped";
  // Nonces: fresh version-4 UUIDs in lower case.
  const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(proof.nonce, uuid4)) << proof.nonce;
  EXPECT_NE(proof.nonce, newHandoffNonce());
}

}  // namespace
}  // namespace nimbrella
