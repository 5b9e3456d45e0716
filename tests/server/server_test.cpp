// The development server over real HTTP on 127.0.0.1, driven by a manual clock; the
// nimbrella-devserver program itself (its one line on standard output, its default
// database, a clean stop on SIGTERM and SIGINT, refused command lines); and the pieces
// below HTTP: the campaign file, the completion decision, host headers, forms, cookies
// and escaping.

#include "SponsorServer/Completion.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Pages.hpp"

#include "SponsorCore/Base64.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/SafeEndpoint.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <openssl/ec.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <regex>
#include <set>
#include <thread>

extern char** environ;

namespace nimbrella::server {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const std::string brandId = "11111111-1111-4111-8111-111111111111";
const std::string minuteId = "22222222-2222-4222-8222-222222222222";
const std::string previewId = "99999999-9999-4999-8999-999999999999";
const std::string advertiserA = "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa";
const std::string advertiserB = "bbbbbbbb-bbbb-4bbb-8bbb-bbbbbbbbbbbb";
const SponsorFilters everything{{}, {"business", "creativity", "education", "lifestyle", "other", "software"}};

// A campaign whose creative passes every rule of the application.
Campaign makeCampaign(std::string id, std::optional<std::string> terms, std::int64_t reward, std::string advertiserId,
                      std::string category = "software") {
  return {std::move(id), true, std::move(terms), reward, 0, std::nullopt,
          {std::move(advertiserId), std::move(category), "Sample", "A headline", "A body", "Open",
           "https://sample.example/page", {}, {}, {}, {}}};
}
std::vector<Campaign> brandOnly(std::int64_t reward = 2500) {
  return {makeCampaign(brandId, "brand-v1", reward, advertiserA)};
}

// The form token of a page, or empty.
std::string csrfOf(const std::string& page) {
  std::smatch match;
  return std::regex_search(page, match, std::regex("name=\"csrf\" value=\"([^\"]+)\"")) ? match[1].str() : "";
}

// The value of a cookie set by a response, or empty.
std::string setCookieValue(const httplib::Result& result, const std::string& name) {
  const auto cookie = result->get_header_value("Set-Cookie");
  return cookie.starts_with(name + "=") ? cookie.substr(name.size() + 1, cookie.find(';') - name.size() - 1) : "";
}

// "status word": the reason of an answer without a sponsor, the JSON error code of a
// refusal, or the state a cancel leaves.
std::string outcome(const httplib::Result& result) {
  if (result->status == 204) return "204 " + result->get_header_value("X-Nimbrella-Reason");
  const auto body = json::parse(result->body);
  return std::to_string(result->status) + " " + body.value("code", body.value("state", body.dump()));
}

httplib::Headers bearer(const std::string& token, httplib::Headers headers = {}) {
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  return headers;
}

struct Device {
  std::string deviceId, token;
  ReceiptSigner signer;  // the key registered for it

  CompleteRequest receipt(const ExposureLease& lease, std::int64_t elapsedMs = 10000) const {
    return CompleteRequest::make(lease.leaseId, lease.nonce, elapsedMs, signer);
  }
};

// Requests to the server on 127.0.0.1:port as the application and a browser send them.
struct Api {
  httplib::Client client() { return httplib::Client("127.0.0.1", port); }
  std::string origin() { return "http://127.0.0.1:" + std::to_string(port); }
  httplib::Result get(const std::string& path, const std::string& token = {}, httplib::Headers extra = {}) {
    return client().Get(path, bearer(token, std::move(extra)));
  }
  httplib::Result post(const std::string& path, const std::string& body, const std::string& token = {},
                       const std::string& type = "application/json", httplib::Headers extra = {}) {
    return client().Post(path, bearer(token, std::move(extra)), body, type);
  }
  // A browser form sent with the given cookie header.
  httplib::Result form(const std::string& path, const std::string& body, const std::string& cookie) {
    return post(path, body, {}, "application/x-www-form-urlencoded", {{"Cookie", cookie}});
  }
  httplib::Result startAuthorization(const std::string& name, const std::string& key) {
    return post("/api/devices/authorization/start", encodeJson(requests::AuthorizationStart{name, key}));
  }
  httplib::Result poll(const std::string& token) { return get("/api/devices/authorization/poll", token); }

  int port = 0;
};

// The server with a free port and a manual clock, and the steps a device takes.
struct ServerHarness : Api {
  explicit ServerHarness(std::vector<Campaign> campaigns, ServerOptions options = {},
                         const std::string& databasePath = ":memory:", HttpLimits limits = {}, int workers = 24)
      : store(databasePath), server(store, std::move(campaigns), clock, options), host(server, workers, limits) {
    port = host.bind(0);
    server.setOrigin(origin());
    if (!host.start()) throw std::runtime_error("the test server did not start");
  }
  httplib::Result cancel(const Device& device, const std::string& leaseId) {
    return post("/api/exposures/cancel", encodeJson(requests::Cancel{leaseId}), device.token);
  }

  // Connects a new device through the browser approval, as a user would.
  Device connectDevice(const std::string& name = "My computer") {
    const ReceiptSigner signer;
    const auto started = decodeJson<DeviceAuthorizationStart>(startAuthorization(name, signer.publicKey())->body);
    const auto page = get("/en/connect?code=" + started.userCode);
    form("/connect/approve", "code=" + started.userCode + "&csrf=" + csrfOf(page->body),
         "nimbrella_connect=" + setCookieValue(page, "nimbrella_connect"));
    const auto polled = decodeJson<DeviceAuthorizationPoll>(poll(started.deviceCode)->body);
    return {polled.deviceId.value(), started.deviceCode, signer};  // throws unless approved
  }

  httplib::Result start(const Device& device, const SponsorFilters& filters = everything,
                        std::optional<std::string> afterPreview = std::nullopt) {
    return post("/api/exposures/start", encodeJson(requests::ExposureStart{"menubar-v1", afterPreview, filters}),
                device.token);
  }
  // The lease or the answer to a completion; decoding throws for anything else.
  ExposureLease startExposure(const Device& device) { return decodeJson<ExposureLease>(start(device)->body); }
  CompleteResponse complete(const Device& device, const CompleteRequest& request) {
    return decodeJson<CompleteResponse>(post("/api/exposures/complete", encodeJson(request), device.token)->body);
  }

  ManualClock clock{*parseInternetDate("2026-03-10T12:00:00Z")};
  Store store;
  DevServer server;
  HttpHost host;
};

// A TCP connection to 127.0.0.1:port whose reads and writes give up after five seconds.
struct RawConnection {
  explicit RawConnection(int port) {
    const sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect to the test server");
    }
  }
  ~RawConnection() { ::close(fd); }
  RawConnection(const RawConnection&) = delete;  // and, for the constant socket, not assignable

  // False once the server has closed the connection.
  bool send(std::string_view bytes) {
    for (ssize_t sent = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent))) {
      if ((sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    }
    return true;
  }
  // Everything until the server closes the connection (or five seconds pass).
  std::string readAll() {
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, n);
    return received;
  }

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
};

TEST(ServerAuthorization, StartsAreCheckedAndLimitedThenApprovedInTheBrowserOrExpired) {
  ServerOptions options;
  options.authorizationStartsPerMinute = 4;
  ServerHarness harness(brandOnly(), options);
  const ReceiptSigner signer;
  const std::string key = signer.publicKey();
  const auto first =
      decodeJson<DeviceAuthorizationStart>(harness.startAuthorization("Caf\u00E9 \U0001F4BB", key)->body);
  EXPECT_TRUE(std::regex_match(first.deviceCode, std::regex("[A-Za-z0-9_-]{43}")));
  EXPECT_TRUE(std::regex_match(first.userCode, std::regex("[0-9A-F]{12}")));
  EXPECT_EQ(first.expiration(), harness.clock.now() + 10min);

  // Keys the server cannot verify with: not base64, on P-384, off the curve, not strictly
  // encoded, missing. Names a page cannot show plainly. Neither counts against the limit.
  const std::string p384 =
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEMTyxQB1/Idz5Nuz27Ohjce3/SNL1kTHviS0j+B7N6K124hCojT+NOfLyC1QbRlzNn6N0mNRQZeW"
      "tN8dkrNuym7FUuLIm+Shl1HBuxDVEq64bpQh1qL3sBGuNz2fei6Pc";
  std::string offCurve = key;
  offCurve.replace(100, 4, "AAAA");
  for (const std::string& bad : {"not base64"s, p384, offCurve, key + "\n", ""s})
    EXPECT_EQ(outcome(harness.startAuthorization("My computer", bad)), "400 invalid_public_key") << bad;
  for (const std::string& name : {""s, "Tab\there"s, "Evil\u202Egpj.exe"s, "\u2066isolated"s, "\u200B\u200B"s, "   "s,
                                  "\u0301"s, std::string(65, 'x')}) {
    EXPECT_EQ(outcome(harness.startAuthorization(name, key)), "400 invalid_name") << name;
  }
  const auto started =
      decodeJson<DeviceAuthorizationStart>(harness.startAuthorization("<b>Laptop</b> & \"Co's\"", key)->body);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(harness.startAuthorization(std::string(64, 'x'), key)->status, 200);
  const auto limited = harness.startAuthorization("My computer", key);
  EXPECT_EQ(limited->status, 429);
  EXPECT_EQ(limited->get_header_value("Retry-After"), "60");

  // The approval page, in each language, shows what the user compares before approving.
  EXPECT_EQ(harness.get("/api/devices/me", started.deviceCode)->status, 401);  // no device token yet
  for (const auto& [path, button] : std::vector<std::pair<std::string, std::string>>{
           {"/connect", ">Approve<"}, {"/en/connect", ">Approve<"}, {"/it/connect", ">Approva<"}}) {
    const auto page = harness.get(path + "?code=" + started.userCode);
    for (const std::string& text : {started.userCode, signer.publicKeyFingerprint(), button,
                                    "&lt;b&gt;Laptop&lt;/b&gt; &amp; &quot;Co&#39;s&quot;"s, "\"/connect/approve\""s}) {
      EXPECT_THAT(page->body, HasSubstr(text)) << path;
    }
    EXPECT_THAT(page->body, Not(HasSubstr("<b>Laptop")));
  }
  EXPECT_EQ(harness.get("/en/connect?code=000000000000")->status, 404);

  const auto page = harness.get("/en/connect?code=" + started.userCode);
  const std::string csrf = csrfOf(page->body);
  ASSERT_EQ(setCookieValue(page, "nimbrella_connect"), csrf);
  const auto approve = [&](const std::string& code, const std::string& token, const std::string& cookie) {
    return harness.form("/connect/approve", "code=" + code + "&csrf=" + token, "nimbrella_connect=" + cookie);
  };
  // Without the browser's cookie, with a token the server never issued, or for another code: refused.
  EXPECT_EQ(approve(started.userCode, csrf, "")->status, 403);
  EXPECT_EQ(approve(started.userCode, std::string(43, 'A'), std::string(43, 'A'))->status, 403);
  EXPECT_EQ(approve("ABCDEF012345", csrf, csrf)->status, 403);
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(harness.poll(started.deviceCode)->body).status, "pending");
  EXPECT_THAT(approve(started.userCode, csrf, csrf)->body, HasSubstr("This computer is connected."));
  EXPECT_THAT(approve(started.userCode, csrf, csrf)->body, HasSubstr("already connected"));
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(harness.poll(started.deviceCode)->body).status, "approved");

  // Expired but unapproved: "expired" for an hour, then forgotten at the next start.
  harness.clock.advance(10min + 1ms);
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(harness.poll(first.deviceCode)->body).status, "expired");
  EXPECT_EQ(harness.get("/en/connect?code=" + first.userCode)->status, 410);
  harness.clock.advance(1h);
  EXPECT_EQ(harness.startAuthorization("My computer", key)->status, 200);
  EXPECT_EQ(harness.poll(first.deviceCode)->status, 401);
}

// The raw r||s form (base64) of a DER signature, which the server must not accept.
std::string rawSignature(const std::string& derBase64) {
  const auto der = *base64::decode(derBase64);
  const unsigned char* cursor = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  std::vector<std::uint8_t> raw(64);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32);
  ECDSA_SIG_free(sig);
  return base64::encode(raw);
}

TEST(ServerExposures, LeasesFollowTheTermsAndRefusedClaimsLeaveTheLeaseForTheGenuineReceiptCreditedOnce) {
  ServerHarness harness({makeCampaign(minuteId, "minute-v2", 15000, advertiserA),
                         makeCampaign(brandId, std::nullopt, 2500, advertiserB)});
  const auto device = harness.connectDevice();
  const auto other = harness.connectDevice();
  // Valid for the application (its measurement follows its terms), lasting a minute plus the grace.
  const auto minute = harness.startExposure(device);
  EXPECT_TRUE(minute.isValid(harness.clock.now()) && minute.termsVersion == "minute-v2");
  EXPECT_EQ(minute.expiration(), harness.clock.now() + 60s + 60s);
  EXPECT_EQ(harness.start(device)->status, 409);
  // Cancelled, the lease frees the device and the other campaign comes next; cancelling
  // again answers the same final state.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(outcome(harness.cancel(device, minute.leaseId)), "200 cancelled");
  const auto lease = harness.startExposure(device);
  EXPECT_TRUE(lease.isValid(harness.clock.now()) && !lease.termsVersion);
  const auto genuine = device.receipt(lease);

  harness.clock.advance(9999ms);  // before the duration on the server's clock
  EXPECT_EQ(harness.complete(device, genuine).reason, "too_early");
  harness.clock.advance(1ms);
  // Signatures by another key, over another lease, in raw form, with a byte after the DER
  // value, cut short or empty; then a wrong nonce, a short exposure and the cancelled lease.
  auto trailing = *base64::decode(genuine.signature);
  trailing.push_back(0);
  for (const std::string& signature :
       {Device{}.receipt(lease).signature, device.receipt(minute).signature, rawSignature(genuine.signature),
        base64::encode(trailing), genuine.signature.substr(0, genuine.signature.size() - 4), ""s}) {
    const CompleteRequest claim{lease.leaseId, lease.nonce, 10000, 1, signature};
    EXPECT_EQ(harness.complete(device, claim).reason, "invalid_signature") << signature;
  }
  const auto otherNonce = CompleteRequest::make(lease.leaseId, "another", 10000, device.signer);
  EXPECT_EQ(harness.complete(device, otherNonce).reason, "nonce_mismatch");
  EXPECT_EQ(harness.complete(device, device.receipt(lease, 9999)).reason, "insufficient_elapsed");
  EXPECT_EQ(harness.complete(device, device.receipt(minute, 60000)).reason, "lease_cancelled");
  // Another device's receipt for this lease is not even recognised.
  EXPECT_EQ(harness.complete(other, genuine).reason, "unknown_lease");

  // The genuine receipt, sent 16 times at once: the same answer to all, one credit.
  std::latch ready(16);
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 16; ++i) {
    answers.push_back(std::async(std::launch::async, [&] {
      ready.arrive_and_wait();
      const auto result = harness.post("/api/exposures/complete", encodeJson(genuine), device.token);
      return result ? result->body : "no answer";
    }));
  }
  std::set<std::string> distinct;
  for (auto& answer : answers) distinct.insert(answer.get());
  ASSERT_EQ(distinct.size(), 1u);
  const auto accepted = decodeJson<CompleteResponse>(*distinct.begin());
  EXPECT_TRUE(accepted.receiptId && !accepted.receiptId->empty());
  EXPECT_EQ(accepted.rewardMicros, 2500);
  harness.clock.advance(5min);  // a retry long after the lease's expiry still gets its answer
  EXPECT_EQ(harness.complete(device, genuine), accepted);
  EXPECT_EQ(harness.complete(device, device.receipt(lease)).reason, "already_completed");
  EXPECT_EQ(decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body).balanceMicros, 2500);
}

TEST(ServerExposures, NoFillReasonsPreviewsClicksAndCancels) {
  auto limited = makeCampaign(brandId, "brand-v1", 100, advertiserA);
  limited.dailyLimit = 1;
  auto cooling = makeCampaign(minuteId, "minute-v2", 100, advertiserB, "business");
  cooling.cooldownSeconds = 120;
  ServerHarness harness({limited, cooling, makeCampaign(previewId, "admin-preview-v1", 0, advertiserB, "other")});
  const auto device = harness.connectDevice();
  // The preview goes first; it pays nothing and is never confirmed.
  const auto shown = harness.startExposure(device);
  EXPECT_TRUE(shown.isValid(harness.clock.now()) && shown.isPreview());  // and so, being valid, pays nothing
  EXPECT_EQ(shown.campaignId, previewId);
  harness.clock.advance(10s);
  // Blocking advertiser B (named in upper case) leaves only the daily-limited campaign.
  SponsorFilters filters{{"BBBBBBBB-BBBB-4BBB-8BBB-BBBBBBBBBBBB"}, everything.allowedCategories};
  const auto next = [&] { return harness.start(device, filters, previewId); };
  const auto brand = decodeJson<ExposureLease>(next()->body);
  EXPECT_EQ(brand.campaignId, brandId);
  EXPECT_EQ(harness.complete(device, device.receipt(shown)).reason, "lease_closed");

  // Clicks may repeat; only the device's own leases can be clicked or cancelled.
  const auto click = encodeJson(requests::Click{brand.leaseId});
  for (int i = 0; i < 2; ++i) EXPECT_EQ(harness.post("/api/exposures/click", click, device.token)->status, 204);
  const auto stranger = harness.connectDevice();
  EXPECT_EQ(harness.post("/api/exposures/click", click, stranger.token)->status, 404);
  EXPECT_EQ(harness.cancel(stranger, brand.leaseId)->status, 404);

  harness.clock.advance(10s);
  ASSERT_EQ(harness.complete(device, device.receipt(brand)).status, "accepted");
  EXPECT_EQ(outcome(harness.cancel(device, brand.leaseId)), "200 completed");
  EXPECT_EQ(outcome(next()), "204 daily_limit");
  filters.blockedAdvertiserIds.push_back(advertiserA);
  EXPECT_EQ(outcome(next()), "204 preferences_filtered");

  // The cooling campaign after one completion.
  filters = everything;
  const auto minute = decodeJson<ExposureLease>(next()->body);
  ASSERT_EQ(minute.campaignId, minuteId);
  harness.clock.advance(60s);
  ASSERT_EQ(harness.complete(device, device.receipt(minute, 60000)).status, "accepted");
  EXPECT_EQ(outcome(next()), "204 cooldown");
  harness.clock.advance(120s);
  EXPECT_EQ(decodeJson<ExposureLease>(next()->body).campaignId, minuteId);
}

TEST(ServerAccount, ReportsHandsOffToTheDashboardAndRevocationAnswers401Everywhere) {
  ServerHarness harness(brandOnly(2500));
  const auto device = harness.connectDevice("Desk <Mac>");
  for (int i = 0; i < 2; ++i) {  // two exposures, completed and credited
    const auto lease = harness.startExposure(device);
    harness.clock.advance(10s);
    ASSERT_EQ(harness.complete(device, device.receipt(lease)).status, "accepted");
  }
  const auto me = decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body);
  EXPECT_EQ(me.balanceMicros, 5000);
  EXPECT_EQ(me.mode, NetworkMode::live);
  ASSERT_TRUE(me.earnings && me.reports && me.referral);
  EXPECT_EQ(me.earnings->totalMicros, 5000);
  const auto& days = me.reports->daily;
  ASSERT_EQ(days.size(), 30u);
  EXPECT_EQ(days.front().day + " " + std::to_string(days.front().earnedMicros), "2026-02-09 0");
  EXPECT_EQ(days.back().day + " " + std::to_string(days.back().earnedMicros), "2026-03-10 5000");

  // The signed proof for a browser session: the device's key, a fresh nonce, five minutes of skew.
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(harness.clock.now().time_since_epoch()).count();
  const auto proof = [&](const std::string& nonce, std::int64_t timestamp, const ReceiptSigner& signer,
                         const std::string& locale = "it") {
    const auto signature = signer.browserHandoffSignature(device.deviceId, nonce, timestamp, locale);
    return harness.post("/api/devices/browser-session",
                        encodeJson(requests::Proof{nonce, timestamp, locale, signature}), device.token);
  };
  const std::string nonce = "0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b";
  EXPECT_EQ(proof(nonce, now, ReceiptSigner())->status, 403);
  EXPECT_EQ(outcome(proof(nonce, now - 301, device.signer)), "400 timestamp_out_of_range");
  EXPECT_EQ(outcome(proof(nonce, now + 301, device.signer)), "400 timestamp_out_of_range");
  const auto handoff = decodeJson<BrowserHandoffResponse>(proof(nonce, now - 300, device.signer)->body);
  EXPECT_TRUE(SafeEndpoint(harness.origin()).browserHandoffURL(handoff.ticket, "it"));
  EXPECT_EQ(parseInternetDate(handoff.expiresAt), harness.clock.now() + 60s);
  EXPECT_EQ(outcome(proof(nonce, now, device.signer)), "409 nonce_reused");

  // The page that takes the ticket from the address fragment runs only its own script.
  const auto page = harness.get("/api/auth/mac?lang=it");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(page->body, match, std::regex("<script nonce=\"([^\"]+)\">")));
  EXPECT_THAT(page->get_header_value("Content-Security-Policy"),
              HasSubstr("script-src 'nonce-" + match[1].str() + "'"));
  EXPECT_THAT(page->body, HasSubstr("location.hash"));
  EXPECT_EQ(harness.get("/api/auth/mac?lang=de")->status, 400);

  const auto exchange = [&](const std::string& ticket) {
    return harness.post("/api/auth/ticket", "{\"ticket\":\"" + ticket + "\",\"lang\":\"it\"}");
  };
  const auto signedIn = exchange(handoff.ticket);
  EXPECT_EQ(json::parse(signedIn->body).at("redirect"), "/it/dashboard");
  const std::string cookie = "nimbrella_session=" + setCookieValue(signedIn, "nimbrella_session");
  EXPECT_EQ(outcome(exchange(handoff.ticket)), "401 ticket_used");
  EXPECT_EQ(outcome(exchange(std::string(43, 'Q'))), "401 ticket_unknown");

  const auto dashboard = harness.get("/it/dashboard", {}, {{"Cookie", cookie}});
  for (const char* text : {"0,005 \xE2\x82\xAC", "2026-03-04", "2026-03-10", "Desk &lt;Mac&gt;", ">Revoca<"})
    EXPECT_THAT(dashboard->body, HasSubstr(text));
  EXPECT_THAT(dashboard->body, Not(HasSubstr("2026-03-03")));  // seven days shown

  // A ticket is good for 60 seconds.
  const auto late = decodeJson<BrowserHandoffResponse>(
      proof("1f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b", now, device.signer, "en")->body);
  harness.clock.advance(61s);
  EXPECT_EQ(outcome(exchange(late.ticket)), "401 ticket_expired");

  // Revoking from the dashboard needs the session and its form token.
  const std::string csrf = csrfOf(dashboard->body);
  const auto lease = harness.startExposure(device);
  EXPECT_EQ(harness.form("/dashboard/revoke", "csrf=" + std::string(43, 'A'), cookie)->status, 403);
  EXPECT_EQ(harness.form("/dashboard/revoke", "csrf=" + csrf, "")->status, 401);
  EXPECT_EQ(harness.get("/api/devices/me", device.token)->status, 200);
  EXPECT_EQ(harness.form("/dashboard/revoke", "csrf=" + csrf + "&lang=it", cookie)->status, 200);
  EXPECT_THAT(harness.get("/it/dashboard", {}, {{"Cookie", cookie}})->body, HasSubstr("Non hai effettuato"));
  harness.clock.advance(10s);
  EXPECT_EQ(harness.poll(device.token)->status, 401);
  const auto body = encodeJson(device.receipt(lease));
  for (const char* path : {"/api/exposures/start", "/api/exposures/complete", "/api/exposures/cancel",
                           "/api/exposures/click", "/api/devices/browser-session"}) {
    EXPECT_EQ(outcome(harness.post(path, body, device.token)), "401 unauthorized") << path;
  }
  // The application revokes its own device.
  const auto other = harness.connectDevice();
  EXPECT_EQ(harness.client().Delete("/api/devices/me", bearer(other.token))->status, 204);
  EXPECT_EQ(harness.get("/api/devices/me", other.token)->status, 401);
  EXPECT_EQ(harness.client().Delete("/api/devices/me", bearer(other.token))->status, 401);
}

// A database file of one test's own, removed with its log before and after the test.
struct DatabaseFile {
  const std::string path;
  explicit DatabaseFile(const std::string& name)
      : path(::testing::TempDir() + "/devserver-" + name + "-" + std::to_string(::getpid()) + ".sqlite") {
    remove();
  }
  ~DatabaseFile() { remove(); }
  void remove() const {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
  }
};

TEST(ServerStore, PrivateFileHonoursLateReceiptsAfterARestart) {
  const DatabaseFile file("restart");
  const std::string& path = file.path;
  const mode_t previousMask = ::umask(022);
  Device device;
  ExposureLease late, tooLate;
  {
    ServerHarness first(brandOnly(2500), {}, path);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat info {};
      EXPECT_TRUE(::stat((path + suffix).c_str(), &info) == 0 && (info.st_mode & 0777) == 0600) << suffix;
    }
    EXPECT_THROW(Store second(path), StoreError);  // one server per database
    device = first.connectDevice();
    tooLate = first.startExposure(device);
    first.clock.advance(90s);  // past its expiry, the lease no longer blocks a new one
    late = first.startExposure(device);
  }
  ::umask(previousMask);
  ServerHarness second(brandOnly(2500), {}, path);
  // Up to seven days after its issue, a receipt signed while the server was away still counts.
  second.clock.advance(7 * 24h + 30s);
  EXPECT_EQ(second.complete(device, device.receipt(tooLate)).reason, "lease_expired");
  EXPECT_EQ(second.complete(device, device.receipt(late)).balanceMicros, 2500);
}

// Transactions from many threads run together and share syncs of the log: each must come
// back with its own result or exception (a rolled back one too, or the next sync waits for
// it forever), a rolled back one must take nothing of the others with it, and what each
// committed must be in the file once the store is closed, past a checkpoint.
TEST(ServerStore, ConcurrentTransactionsEachReturnAndWhatTheyCommittedIsKept) {
  const DatabaseFile file("groups");
  const std::string& path = file.path;
  // Over 6,000 commits: three checkpoints are due.
  constexpr int threads = 8, each = 900;
  const auto row = [](int n) {
    DeviceRow device;
    device.deviceId = device.token = device.publicKey = device.fingerprint = device.name = std::to_string(n);
    return device;
  };
  {
    Store store(path);
    std::vector<std::future<void>> workers;
    for (int t = 0; t < threads; ++t) {
      workers.push_back(std::async(std::launch::async, [&, t] {
        for (int n = t * each; n < (t + 1) * each; ++n) {
          if (n % 7 == 0) {
            EXPECT_THROW(store.transaction([&](StoreSession& session) {
              session.insertDevice(row(n));
              throw std::runtime_error("refused");
            }), std::runtime_error);
            continue;
          }
          EXPECT_EQ(store.transaction([&](StoreSession& session) {
            session.insertDevice(row(n));
            return n;
          }), n);
          EXPECT_TRUE(store.lookUp([&](StoreSession& session) { return session.activeDeviceById(row(n).deviceId); }));
        }
      }));
    }
    for (auto& worker : workers) worker.get();
    // Under steady writing the log starts over after each checkpoint instead of growing:
    // the header counts the restarts.
    std::ifstream log(path + "-wal", std::ios::binary);
    unsigned char header[16] = {};
    ASSERT_TRUE(log.read(reinterpret_cast<char*>(header), sizeof header));
    EXPECT_GE(header[12] << 24 | header[13] << 16 | header[14] << 8 | header[15], 2);
  }
  Store reopened(path);
  for (int n = 0; n < threads * each; ++n) {
    EXPECT_EQ(reopened.lookUp([&](StoreSession& session) { return session.activeDeviceById(row(n).deviceId); })
                  .has_value(), n % 7 != 0) << n;
  }
}

TEST(ServerHttp, BadOversizedMisaddressedAndSlowRequestsAreRefusedWithoutHoldingOthers) {
  HttpLimits limits;
  limits.request = 300ms;  // the deadline for a whole request
  auto inactive = brandOnly();
  inactive[0].active = false;
  ServerHarness harness(inactive, {}, ":memory:", limits, 2);
  const auto device = harness.connectDevice();
  EXPECT_EQ(outcome(harness.start(device)), "204 no_eligible_campaign");

  // Refusals of the API, each with its JSON code.
  const std::string start = "/api/exposures/start";
  const std::string prefs = R"("preferences":{"blockedAdvertiserIds":[],"allowedCategories":[]})";
  const std::vector<std::tuple<std::string, std::string, std::string>> refusals = {
      {start, "{", "400 invalid_json"}, {start, R"({"placement":"menubar-v1"})", "400 invalid_body"},
      {start, R"({"placement":"dock",)" + prefs + "}", "400 unsupported_placement"},
      {start, R"({"placement":"menubar-v1","afterPreviewCampaignId":"x",)" + prefs + "}", "400 invalid_campaign_id"},
      {start, std::string(64 * 1024 + 1, ' '), "413 payload_too_large"},
      {start, std::string(64 * 1024, ' '), "400 invalid_json"},  // exactly 64 KB is read
      {"/api/exposures/complete", R"({"leaseId":"a","nonce":"b","elapsedMs":1.5,"sequence":1,"signature":"c"})",
       "400 invalid_body"},
      {"/api/exposures/cancel", "{\"leaseId\":\"\xff\xfe\"}", "400 invalid_json"},  // not UTF-8
      {"/api/devices/browser-session", R"({"nonce":"x","timestamp":1,"locale":"de","signature":"s"})",
       "400 invalid_locale"},
      {"/api/exposures/nothing", "{}", "404 not_found"}, {"/api/devices/me", "{}", "405 method_not_allowed"},
  };
  for (const auto& [path, body, expected] : refusals) {
    const auto result = harness.post(path, body, device.token);
    EXPECT_EQ(outcome(result), expected) << path << " " << body.substr(0, 80);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  }
  EXPECT_EQ(outcome(harness.post(start, "{}", device.token, "text/plain")), "415 unsupported_media_type");
  // Tokens that are missing, malformed, unknown or sent without the "Bearer " prefix.
  EXPECT_EQ(outcome(harness.get("/api/devices/me")), "401 unauthorized");
  for (const std::string& authorization :
       {"Bearer " + std::string(43, 'z'), device.token, "bearer " + device.token, "Bearer  " + device.token}) {
    EXPECT_EQ(outcome(harness.get("/api/devices/me", {}, {{"Authorization", authorization}})), "401 unauthorized");
  }

  // Refusals of the HTTP layer, on raw connections.
  const std::string port = std::to_string(harness.port), host = "Host: 127.0.0.1:" + port + "\r\n";
  std::string manyHeaders;
  for (int i = 0; i < 101; ++i) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
  const std::string post = "POST /api/exposures/start HTTP/1.1\r\n" + host;
  const std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
      {"GET /" + std::string(8193, 'a') + " HTTP/1.1\r\n", 0, "HTTP/1.1 414"},
      {"GET / HTTP/1.1\r\nX-Long: " + std::string(8192, 'a') + "\r\n", 0, "HTTP/1.1 431"},
      {"GET / HTTP/1.1\r\n" + host + manyHeaders + "\r\n", 0, "HTTP/1.1 431"},
      {post + "Content-Length: 65537\r\n\r\n", 0, "HTTP/1.1 413"},
      {post + "Transfer-Encoding: chunked\r\n\r\n100000\r\n", 64ul << 20, "HTTP/1.1 413"},
      {post + "Transfer-Encoding: gzip\r\n\r\nGET / HTTP/1.1\r\n" + host + "\r\n", 0, "HTTP/1.1 400"},
      {post + "Content-Length: 10\r\n\r\n{", 0, "HTTP/1.1 408"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port, 0, "HTTP/1.1 408"},
      {"GET / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 421"}, {"GET / HTTP/1.1\r\n" + host + host + "\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: LOCALHOST:" + port + "\r\nConnection: close\r\n\r\n", 0, "HTTP/1.1 200"},
  };
  for (const auto& [head, bodyBytes, status] : cases) {
    RawConnection connection(harness.port);
    connection.send(head);
    // The body goes in 4 KiB pieces until the server stops reading: the refusal must come
    // before the whole body is read.
    const std::string piece(4096, 'x');
    for (std::size_t sent = 0; sent < bodyBytes && connection.send(piece);) sent += piece.size();
    EXPECT_EQ(connection.readAll().substr(0, 12), status) << head.substr(0, 60);
  }
  // A head that arrives a few lines at a time is held to the same limits as one sent whole.
  {
    RawConnection connection(harness.port);
    std::string lines;
    for (int i = 0; i < 40; ++i) lines += "X-H" + std::to_string(i) + ": v\r\n";
    bool open = connection.send("GET / HTTP/1.1\r\n" + host);
    for (int piece = 0; open && piece < 100; ++piece) {
      std::this_thread::sleep_for(2ms);  // so that the server reads each piece on its own
      open = connection.send(lines);
    }
    EXPECT_EQ(connection.readAll().substr(0, 12), "HTTP/1.1 431");
  }
  // Idle keep-alive connections and half-sent requests, far more than the two workers,
  // leave a normal request answered.
  std::deque<RawConnection> holders;
  for (int i = 0; i < 40; ++i)
    holders.emplace_back(harness.port).send(i % 2 ? "GET / HTTP/1.1\r\n" + host + "\r\n" : post);
  EXPECT_EQ(harness.get("/api/devices/me")->status, 401);
}

struct Child { pid_t pid; int out; };  // out: the program's standard output

// The program with `arguments`, its errors dropped.
Child spawn(std::vector<std::string> arguments) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");  // the copy as standard output stays
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  arguments.insert(arguments.begin(), NIMBRELLA_DEVSERVER_PATH);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Child run{.pid = -1, .out = fds[0]};
  const int failed = posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) throw std::runtime_error("spawn");
  return run;
}

// Everything the program writes until it closes standard output or `lines` lines
// arrived, waiting at most ten seconds.
std::string readOutput(int fd, int lines = 1) {
  std::string text;
  char buffer[256];
  for (int turn = 0; turn < 100 && std::ranges::count(text, '\n') < lines; ++turn) {  // 100 ms at most each
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// What the program still writes, then its exit status, waiting at most ten seconds each
// (then the program is killed: -1).
std::pair<std::string, int> finish(const Child& run) {
  const std::string rest = readOutput(run.out, INT_MAX);
  close(run.out);
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(run.pid, &status, WNOHANG) == run.pid) return {rest, WIFEXITED(status) ? WEXITSTATUS(status) : -2};
    usleep(10000);
  }
  kill(run.pid, SIGKILL);
  waitpid(run.pid, nullptr, 0);
  return {rest, -1};
}

// The one line on standard output, requests over loopback, the default database, a clean
// stop on SIGTERM and SIGINT; every failure to start is exit status 1 without that line.
TEST(ServerProgram, AnnouncesServesKeepsItsDatabaseStopsOnSignalsAndRefusesBadCommandLines) {
  const std::string data = ::testing::TempDir() + "/devserver-data-" + std::to_string(getpid());
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  for (const int signal : {SIGTERM, SIGINT}) {
    const Child run = spawn({"--port", "0", "--poll-interval", "3", "--auto-approve"});
    const std::string line = readOutput(run.out);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        line, match, std::regex("Nimbrella development server listening on http://127\\.0\\.0\\.1:([0-9]+)\n")))
        << line;
    Api api{std::stoi(match[1])};
    const auto started = decodeJson<DeviceAuthorizationStart>(
        api.startAuthorization("My computer", ReceiptSigner().publicKey())->body);
    EXPECT_EQ(started.interval, 3);
    EXPECT_EQ(started.verificationUrl, api.origin() + "/en/connect?code=" + started.userCode);
    EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(api.poll(started.deviceCode)->body).status, "approved");
    kill(run.pid, signal);
    EXPECT_EQ(finish(run), std::pair(std::string(), 0));  // nothing after the one line
  }
  unsetenv("XDG_DATA_HOME");
  EXPECT_TRUE(fs::exists(data + "/app.nimbrella.Nimbrella/devserver.sqlite"));
  fs::remove_all(data);

  const std::vector<std::pair<std::vector<std::string>, int>> refused = {
      {{"--poll-interval", "1"}, 2}, {{"--poll-interval", "61"}, 2}, {{"--port", "65536"}, 2}, {{"--port", "-1"}, 2},
      {{"--origin", "http://example.com"}, 2}, {{"--frobnicate"}, 2}, {{"--db"}, 2},
      {{"--db", ":memory:", "--campaigns", "/nonexistent/campaigns.json"}, 1},
  };
  for (const auto& [arguments, expected] : refused)
    EXPECT_EQ(finish(spawn(arguments)), std::pair(std::string(), expected)) << arguments.front();
}

// The sample has both terms and a preview active only when previews are enabled; files the
// application would refuse are refused whole.
TEST(ServerCampaigns, TheSampleIsUsableAndAnyCampaignTheApplicationWouldRefuseIsRefused) {
  std::set<std::string> terms;
  for (const bool previews : {false, true}) {
    for (const auto& campaign : loadCampaignFile(NIMBRELLA_SAMPLE_CAMPAIGNS, previews)) {
      if (campaign.termsVersion) terms.insert(*campaign.termsVersion);
      EXPECT_TRUE(!campaign.isPreview() || campaign.active == previews) << campaign.id;
    }
  }
  EXPECT_EQ(terms, (std::set<std::string>{"admin-preview-v1", "brand-v1", "minute-v2"}));

  std::ifstream sample(NIMBRELLA_SAMPLE_CAMPAIGNS);
  const auto base = json::parse(std::string(std::istreambuf_iterator<char>(sample), {}));
  // One change to the first campaign each (null: the member left out).
  const std::vector<std::pair<std::string, json::Json>> changes = {
      {"/id", "not-a-uuid"}, {"/id", base["campaigns"][1]["id"]}, {"/rewardMicros", -1}, {"/active", nullptr},
      {"/termsVersion", "brand-v9"}, {"/termsVersion", "admin-preview-v1"} /* pays a reward */,
      {"/cooldownSeconds", 86401}, {"/creative/category", "gambling"}, {"/creative/advertiserId", "x"},
      // The creative rules are the application's own, tested with it: one of the content, one of leases.
      {"/creative/menuText", "Ad: Lumen Notes"}, {"/creative/url", "https://127.0.0.1/"},
  };
  for (const auto& [pointer, value] : changes) {
    const json::Json patch = {
        {{"op", value.is_null() ? "remove" : "add"}, {"path", "/campaigns/0" + pointer}, {"value", value}}};
    EXPECT_THROW(parseCampaigns(base.patch(patch).dump()), CampaignError) << pointer << " " << value.dump();
  }
  for (const char* text : {"{\"campaigns\": []}", "[]", "{"}) EXPECT_THROW(parseCampaigns(text), CampaignError) << text;
}

// The boundaries of the completion decision and the cases the server over HTTP does not
// reach; host headers, origins, escaping, money, forms and cookies.
TEST(ServerHelpers, CompletionDecisionHostHeadersOriginsEscapingMoneyFormsAndCookies) {
  const auto decide = [](LeaseState state, std::int64_t nowMs, bool preview = false, std::int64_t sequence = 1,
                         std::optional<std::string> reason = std::nullopt) {
    LeaseRow lease;
    lease.nonce = "n";
    lease.durationMs = 10000;
    lease.state = state;
    lease.preview = preview;
    lease.reason = reason;
    const CompletionClaim claim{"{\"leaseId\":\"l\"}", "n", 10000, sequence, true};
    if (state == LeaseState::completed) lease.completion = claim.received;  // by this very request
    const auto decision = decideCompletion(lease, claim, nowMs);
    return std::pair(decision.kind, decision.reason);
  };
  using enum CompletionDecision::Kind;
  constexpr std::int64_t week = lateReceiptWindowMs;
  EXPECT_EQ(decide(LeaseState::open, week), std::pair(credit, ""s));  // the last moment of the week
  EXPECT_EQ(decide(LeaseState::open, week + 1), std::pair(refuse, "lease_expired"s));
  EXPECT_EQ(decide(LeaseState::open, 10000, false, 2), std::pair(refuse, "invalid_sequence"s));
  EXPECT_EQ(decide(LeaseState::open, 10000, true), std::pair(refuse, "preview_lease"s));
  // The same request again, however late, gets the first answer.
  EXPECT_EQ(decide(LeaseState::completed, 2 * week), std::pair(repeat, ""s));
  // Closed by an earlier server: its reason stands.
  EXPECT_EQ(decide(LeaseState::rejected, 10000, false, 1, "too_early"), std::pair(refuse, "too_early"s));

  const std::vector<std::pair<std::string, std::optional<HostPort>>> hosts = {
      {"127.0.0.1:3217", HostPort{"127.0.0.1", 3217}}, {"LocalHost:80", HostPort{"localhost", 80}},
      {"example.org", HostPort{"example.org", 80}}, {"[::1]:8080", HostPort{"[::1]", 8080}},
      {"", std::nullopt}, {"host:", std::nullopt}, {"host:0", std::nullopt}, {"host:65536", std::nullopt},
      {"host:12a", std::nullopt}, {"a b", std::nullopt}, {"[::1", std::nullopt}, {".host", std::nullopt},
      {"host.:1", std::nullopt}, {"user@host", std::nullopt}, {"[]:1", std::nullopt},
  };
  for (const auto& [text, expected] : hosts) EXPECT_EQ(parseHost(text), expected) << text;
  EXPECT_EQ(originHost("https://api.example"), (HostPort{"api.example", 443}));
  EXPECT_EQ(originHost("http://127.0.0.1:3217"), (HostPort{"127.0.0.1", 3217}));
  EXPECT_EQ(originHost("ftp://x"), std::nullopt);

  EXPECT_EQ(formatMicros(2500, AppLanguage::en), "0.0025 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(12'000'000, AppLanguage::it), "12,00 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(INT64_MIN, AppLanguage::en), "-9223372036854.775808 \xE2\x82\xAC");

  const auto form = parseFormEncoded("a=1+2&b=%41%2f&c&&=x");
  ASSERT_TRUE(form);
  EXPECT_EQ(*form, (std::vector<std::pair<std::string, std::string>>{{"a", "1 2"}, {"b", "A/"}, {"c", ""}, {"", "x"}}));
  EXPECT_FALSE(parseFormEncoded("a=%4") || parseFormEncoded("a=%zz"));

  HttpRequest request;
  request.headers = {{"Cookie", "x=1; nimbrella_session=abc; y=2"}};
  EXPECT_EQ(cookieValue(request, "nimbrella_session"), "abc");
  request.headers.emplace_back("cookie", "nimbrella_session=def");
  EXPECT_FALSE(cookieValue(request, "nimbrella_session"));  // two values: neither is trusted
}

}  // namespace
}  // namespace nimbrella::server
