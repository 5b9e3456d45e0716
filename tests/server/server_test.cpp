// The development server over real HTTP on 127.0.0.1, driven by a manual clock.

#include "ServerHarness.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/SafeEndpoint.hpp"
#include "SponsorCore/Uuid.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <regex>
#include <set>
#include <thread>

namespace nimbrella::server::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string brandId = "11111111-1111-4111-8111-111111111111";
const std::string minuteId = "22222222-2222-4222-8222-222222222222";
const std::string previewId = "99999999-9999-4999-8999-999999999999";
const std::string advertiserA = "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa";
const std::string advertiserB = "bbbbbbbb-bbbb-4bbb-8bbb-bbbbbbbbbbbb";

std::vector<Campaign> brandOnly(std::int64_t reward = 2500) {
  return {makeCampaign(brandId, "brand-v1", reward, advertiserA)};
}

std::string errorCode(const httplib::Result& result) {
  return json::parse(result->body).at("code").get<std::string>();
}

CompleteRequest signedCompletion(const ExposureLease& lease, const ReceiptSigner& signer,
                                 std::int64_t elapsedMs) {
  return CompleteRequest::make(lease.leaseId, lease.nonce, elapsedMs, signer);
}

TEST(ServerAuthorization, StartValidatesTheKeyAndAnswersWhatTheApplicationRequires) {
  ServerHarness harness(brandOnly());
  const ReceiptSigner signer;

  auto started = harness.post("/api/devices/authorization/start",
                              encodeJson(requests::AuthorizationStart{"My computer", signer.publicKey()}));
  ASSERT_EQ(started->status, 200);
  const auto answer = decodeJson<DeviceAuthorizationStart>(started->body);
  EXPECT_TRUE(std::regex_match(answer.deviceCode, std::regex("[A-Za-z0-9_-]{43}")));
  EXPECT_TRUE(std::regex_match(answer.userCode, std::regex("[0-9A-F]{12}")));
  EXPECT_EQ(answer.verificationUrl, harness.origin + "/en/connect?code=" + answer.userCode);
  EXPECT_TRUE(SafeEndpoint(harness.origin).verificationURL(answer.verificationUrl, answer.userCode));
  EXPECT_EQ(answer.expiration(), testEpoch() + 10min);
  EXPECT_EQ(answer.interval, 5);
  EXPECT_EQ(answer.mode, NetworkMode::live);

  // A key that is not a 91-byte P-256 SubjectPublicKeyInfo is refused.
  EVP_PKEY* p384 = EVP_EC_gen("secp384r1");
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(p384, &der);
  std::string p384Base64(4 * ((length + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(p384Base64.data()), der, length);
  OPENSSL_free(der);
  EVP_PKEY_free(p384);
  std::string truncated = signer.publicKey();
  truncated.replace(100, 4, "AAAA");  // the point is no longer on the curve
  for (const std::string& key : {std::string("not base64"), p384Base64, truncated,
                                 signer.publicKey() + "\n", std::string()}) {
    auto refused = harness.post("/api/devices/authorization/start",
                                encodeJson(requests::AuthorizationStart{"My computer", key}));
    EXPECT_EQ(refused->status, 400) << key;
    EXPECT_EQ(errorCode(refused), "invalid_public_key");
  }
  auto badName = harness.post("/api/devices/authorization/start",
                              encodeJson(requests::AuthorizationStart{"", signer.publicKey()}));
  EXPECT_EQ(errorCode(badName), "invalid_name");
}

TEST(ServerAuthorization, BrowserApprovalCreatesTheDeviceWithTheRegisteredKey) {
  ServerHarness harness(brandOnly());
  const ReceiptSigner signer;
  auto started = harness.post(
      "/api/devices/authorization/start",
      encodeJson(requests::AuthorizationStart{"<b>Laptop</b> & \"Co\"", signer.publicKey()}));
  const auto authorization = decodeJson<DeviceAuthorizationStart>(started->body);

  auto pending = harness.get("/api/devices/authorization/poll", authorization.deviceCode);
  ASSERT_EQ(pending->status, 200);
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(pending->body).status, "pending");
  EXPECT_EQ(harness.get("/api/devices/authorization/poll", std::string(43, 'x'))->status, 401);
  EXPECT_EQ(harness.get("/api/devices/authorization/poll")->status, 401);
  // Until approval the device code is no device token.
  EXPECT_EQ(harness.get("/api/devices/me", authorization.deviceCode)->status, 401);

  for (const char* path : {"/connect", "/en/connect", "/it/connect"}) {
    auto page = harness.get(std::string(path) + "?code=" + authorization.userCode);
    ASSERT_EQ(page->status, 200) << path;
    EXPECT_THAT(page->body, HasSubstr(authorization.userCode));
    EXPECT_THAT(page->body, HasSubstr(signer.publicKeyFingerprint()));
    EXPECT_THAT(page->body, HasSubstr("&lt;b&gt;Laptop&lt;/b&gt; &amp; &quot;Co&quot;"));
    EXPECT_THAT(page->body, Not(HasSubstr("<b>Laptop")));
    EXPECT_THAT(page->body, HasSubstr("action=\"/connect/approve\""));
  }
  EXPECT_THAT(harness.get("/it/connect?code=" + authorization.userCode)->body, HasSubstr("Approva"));
  EXPECT_EQ(harness.get("/en/connect?code=000000000000")->status, 404);

  auto page = harness.get("/en/connect?code=" + authorization.userCode);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(page->body, match, std::regex("name=\"csrf\" value=\"([^\"]+)\"")));
  const std::string csrf = match[1];
  const std::string cookie = setCookieValue(page, "nimbrella_connect");
  ASSERT_EQ(cookie, csrf);
  const std::string form = "code=" + authorization.userCode + "&csrf=" + csrf + "&lang=en";
  const auto postForm = [&](const std::string& body, const std::string& cookieValue) {
    return harness.post("/connect/approve", body, {}, "application/x-www-form-urlencoded",
                        {{"Cookie", "nimbrella_connect=" + cookieValue}});
  };
  // Without the browser's cookie, with another token, or for another code: refused.
  EXPECT_EQ(postForm(form, "")->status, 403);
  const std::string forged(43, 'A');
  EXPECT_EQ(postForm("code=" + authorization.userCode + "&csrf=" + forged, forged)->status, 403);
  EXPECT_EQ(postForm("code=ABCDEF012345&csrf=" + csrf, csrf)->status, 403);
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(
                harness.get("/api/devices/authorization/poll", authorization.deviceCode)->body)
                .status,
            "pending");

  auto approved = postForm(form, cookie);
  ASSERT_EQ(approved->status, 200);
  EXPECT_THAT(approved->body, HasSubstr("This computer is connected."));
  EXPECT_THAT(postForm(form, cookie)->body, HasSubstr("already connected"));

  const auto poll = decodeJson<DeviceAuthorizationPoll>(
      harness.get("/api/devices/authorization/poll", authorization.deviceCode)->body);
  EXPECT_EQ(poll.status, "approved");
  ASSERT_TRUE(poll.deviceId);
  EXPECT_TRUE(isUuidText(*poll.deviceId));

  // The device code is now the device token, bound to the registered key.
  auto me = harness.get("/api/devices/me", authorization.deviceCode);
  ASSERT_EQ(me->status, 200);
  EXPECT_EQ(decodeJson<DeviceResponse>(me->body).deviceId, *poll.deviceId);
  ServerHarness::Device device{*poll.deviceId, authorization.deviceCode, signer};
  harness.clock.advance(10s);
  const auto lease = harness.startExposure(device);
  harness.clock.advance(10s);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, signer, 10000)).status, "accepted");
}

TEST(ServerAuthorization, AutoApprovalApprovesAtFirstPoll) {
  const ReceiptSigner signer;
  const auto body = encodeJson(requests::AuthorizationStart{"My computer", signer.publicKey()});
  ServerOptions options;
  options.autoApprove = true;
  options.pollIntervalSeconds = 2;
  ServerHarness automatic(brandOnly(), options);
  const auto started =
      decodeJson<DeviceAuthorizationStart>(automatic.post("/api/devices/authorization/start", body)->body);
  EXPECT_EQ(started.interval, 2);
  const auto poll = decodeJson<DeviceAuthorizationPoll>(
      automatic.get("/api/devices/authorization/poll", started.deviceCode)->body);
  EXPECT_EQ(poll.status, "approved");
  EXPECT_EQ(automatic.get("/api/devices/me", started.deviceCode)->status, 200);
}

TEST(ServerAccount, ReportsBalanceAndThirtyDaysAndRevocationAnswers401Everywhere) {
  ServerHarness harness(brandOnly(2500));
  const auto device = harness.connectDevice();
  for (int i = 0; i < 2; ++i) {
    const auto lease = harness.startExposure(device);
    harness.clock.advance(10s);
    ASSERT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 10000)).status,
              "accepted");
  }
  const auto me = decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body);
  EXPECT_EQ(me.deviceId, device.deviceId);
  EXPECT_EQ(me.balanceMicros, 5000);
  EXPECT_EQ(me.mode, NetworkMode::live);
  ASSERT_TRUE(me.earnings && me.reports && me.referral);
  EXPECT_EQ(me.earnings->totalMicros, 5000);
  ASSERT_EQ(me.reports->daily.size(), 30u);
  EXPECT_EQ(me.reports->daily.front().day, "2026-02-09");
  EXPECT_EQ(me.reports->daily.back().day, "2026-03-10");
  EXPECT_EQ(me.reports->daily.back().earnedMicros, 5000);
  EXPECT_EQ(me.reports->daily.front().earnedMicros, 0);

  const auto lease = harness.startExposure(device);
  auto revoked = harness.del("/api/devices/me", device.token);
  EXPECT_EQ(revoked->status, 204);
  EXPECT_EQ(harness.get("/api/devices/me", device.token)->status, 401);
  EXPECT_EQ(harness.del("/api/devices/me", device.token)->status, 401);
  EXPECT_EQ(harness.get("/api/devices/authorization/poll", device.token)->status, 401);
  harness.clock.advance(10s);
  for (const char* path : {"/api/exposures/start", "/api/exposures/complete", "/api/exposures/cancel",
                           "/api/exposures/click", "/api/devices/browser-session"}) {
    auto result = harness.post(path, encodeJson(signedCompletion(lease, device.signer, 10000)),
                               device.token);
    EXPECT_EQ(result->status, 401) << path;
    EXPECT_EQ(errorCode(result), "unauthorized");
  }
}

TEST(ServerExposures, LeasesFollowTheTermsAndOneLeaseIsOpenAtATime) {
  std::vector<Campaign> campaigns = {makeCampaign(minuteId, "minute-v2", 15000, advertiserA),
                                     makeCampaign(brandId, std::nullopt, 1000, advertiserB)};
  ServerHarness harness(campaigns);
  const auto device = harness.connectDevice();

  const auto minute = harness.startExposure(device);
  EXPECT_TRUE(minute.isValid(harness.clock.now()));
  EXPECT_EQ(minute.durationMs, 60000);
  EXPECT_EQ(minute.termsVersion, "minute-v2");
  EXPECT_EQ(minute.measurementVersion, "menubar-qualified-60s-v2");
  EXPECT_EQ(minute.campaignId, minuteId);
  EXPECT_EQ(minute.expiration(), harness.clock.now() + 60s + 60s);
  EXPECT_EQ(minute.currency, "EUR");
  EXPECT_EQ(minute.creative.sponsor, "Sample");

  requests::ExposureStart start;
  start.placement = "menubar-v1";
  start.preferences = ServerHarness::defaultFilters();
  auto busy = harness.post("/api/exposures/start", encodeJson(start), device.token);
  EXPECT_EQ(busy->status, 409);

  // Cancelled, the lease frees the device; the other campaign comes next. Cancelling
  // again answers the same final state.
  for (int i = 0; i < 2; ++i) {
    auto cancelled = harness.post("/api/exposures/cancel",
                                  encodeJson(requests::Cancel{minute.leaseId}), device.token);
    EXPECT_EQ(cancelled->status, 200);
    EXPECT_EQ(json::parse(cancelled->body).at("state"), "cancelled");
  }
  const auto plain = harness.startExposure(device);
  EXPECT_TRUE(plain.isValid(harness.clock.now()));
  EXPECT_EQ(plain.durationMs, 10000);
  EXPECT_FALSE(plain.termsVersion);
  EXPECT_EQ(plain.measurementVersion, "menubar-qualified-10s-v1");

  harness.clock.advance(10s);
  const auto completion = signedCompletion(minute, device.signer, 60000);
  EXPECT_EQ(harness.complete(device, completion).reason, "lease_cancelled");
  // An expired open lease no longer blocks the device.
  harness.clock.advance(61s);
  EXPECT_NO_THROW(harness.startExposure(device));
}

// A raw r||s form of a DER signature (base64), which the server must not accept.
std::string rawSignature(const std::string& derBase64) {
  std::string der(derBase64.size(), '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                     reinterpret_cast<const unsigned char*>(derBase64.data()),
                                     static_cast<int>(derBase64.size()));
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, length);
  unsigned char raw[64];
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32);
  ECDSA_SIG_free(sig);
  std::string text(88, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), raw, 64);
  return text;
}

TEST(ServerExposures, RefusedClaimsLeaveTheLeaseForTheGenuineReceiptWhichIsCreditedOnce) {
  ServerHarness harness(brandOnly(2500));
  const auto device = harness.connectDevice();
  const auto other = harness.connectDevice();
  const auto previous = harness.startExposure(device);
  ASSERT_EQ(harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{previous.leaseId}),
                         device.token)->status, 200);
  const auto lease = harness.startExposure(device);
  const auto genuine = signedCompletion(lease, device.signer, 10000);

  harness.clock.advance(9999ms);  // before the duration on the server's clock
  EXPECT_EQ(harness.complete(device, genuine).reason, "too_early");
  harness.clock.advance(1ms);
  auto foreignKey = signedCompletion(lease, ReceiptSigner(), 10000);
  auto otherLease = genuine;
  otherLease.signature = signedCompletion(previous, device.signer, 10000).signature;
  auto raw = genuine;
  raw.signature = rawSignature(genuine.signature);
  const std::vector<std::pair<CompleteRequest, std::string>> refused = {
      {foreignKey, "invalid_signature"},
      {otherLease, "invalid_signature"},
      {raw, "invalid_signature"},
      {CompleteRequest::make(lease.leaseId, "another", 10000, device.signer), "nonce_mismatch"},
      {signedCompletion(lease, device.signer, 9999), "insufficient_elapsed"},
  };
  for (const auto& [claim, reason] : refused) {
    EXPECT_EQ(harness.complete(device, claim).reason, reason) << reason;
  }
  // Another device's receipt for this lease is not even recognised.
  EXPECT_EQ(harness.complete(other, genuine).reason, "unknown_lease");

  const auto accepted = harness.complete(device, genuine);
  EXPECT_EQ(accepted.status, "accepted");
  ASSERT_TRUE(accepted.receiptId && accepted.rewardMicros && accepted.balanceMicros);
  EXPECT_FALSE(accepted.receiptId->empty());
  EXPECT_EQ(*accepted.rewardMicros, 2500);
  EXPECT_EQ(*accepted.balanceMicros, 2500);
  harness.clock.advance(5min);  // a retry long after the lease's expiry still gets its answer
  EXPECT_EQ(harness.complete(device, genuine), accepted);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 10000)).reason,
            "already_completed");
  EXPECT_EQ(decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body).balanceMicros,
            2500);
  EXPECT_EQ(harness.complete(device, CompleteRequest{"no-such-lease", "n", 10000, 1, "x"}).reason,
            "unknown_lease");
}

TEST(ServerExposures, ConcurrentDuplicateCompletionsCreditOnce) {
  ServerHarness harness(brandOnly(7000));
  const auto device = harness.connectDevice();
  const auto lease = harness.startExposure(device);
  harness.clock.advance(10s);
  const std::string body = encodeJson(signedCompletion(lease, device.signer, 10000));

  constexpr int senders = 16;
  std::vector<std::string> answers(senders);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < senders; ++i) {
    threads.emplace_back([&, i] {
      httplib::Client client("127.0.0.1", harness.port);
      ready.fetch_add(1);
      while (ready.load() < senders) std::this_thread::yield();
      auto result = client.Post("/api/exposures/complete",
                                {{"Authorization", "Bearer " + device.token}}, body,
                                "application/json");
      answers[i] = result ? result->body : "no answer";
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& answer : answers) {
    EXPECT_EQ(answer, answers.front());
    EXPECT_EQ(decodeJson<CompleteResponse>(answer).status, "accepted");
  }
  EXPECT_EQ(decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body).balanceMicros,
            7000);
}

TEST(ServerExposures, NoFillReasonsPreviewsClicksAndCancels) {
  // Nothing active.
  auto inactive = brandOnly();
  inactive[0].active = false;
  ServerHarness idle(inactive);
  const auto idleDevice = idle.connectDevice();
  requests::ExposureStart start;
  start.placement = "menubar-v1";
  start.preferences = ServerHarness::defaultFilters();
  auto none = idle.post("/api/exposures/start", encodeJson(start), idleDevice.token);
  EXPECT_EQ(none->status, 204);
  EXPECT_EQ(none->get_header_value("X-Nimbrella-Reason"), "no_eligible_campaign");
  EXPECT_TRUE(none->body.empty());

  auto limited = makeCampaign(brandId, "brand-v1", 100, advertiserA);
  limited.dailyLimit = 1;
  auto cooling = makeCampaign(minuteId, "minute-v2", 100, advertiserB, "business");
  cooling.cooldownSeconds = 120;
  auto preview = makeCampaign(previewId, "admin-preview-v1", 0, advertiserB, "other");
  ServerHarness harness({limited, cooling, preview});
  const auto device = harness.connectDevice();

  // The preview goes first; it pays nothing and is never confirmed.
  const auto shown = harness.startExposure(device);
  EXPECT_TRUE(shown.isValid(harness.clock.now()));
  EXPECT_TRUE(shown.isPreview());
  EXPECT_EQ(shown.rewardMicros, 0);
  EXPECT_EQ(shown.campaignId, previewId);
  harness.clock.advance(10s);
  // Blocking advertiser B leaves only the daily-limited campaign.
  auto filters = ServerHarness::defaultFilters();
  filters.blockedAdvertiserIds = {"BBBBBBBB-BBBB-4BBB-8BBB-BBBBBBBBBBBB"};
  start.preferences = filters;
  start.afterPreviewCampaignId = previewId;
  auto afterPreview = harness.post("/api/exposures/start", encodeJson(start), device.token);
  ASSERT_EQ(afterPreview->status, 200);
  const auto brand = decodeJson<ExposureLease>(afterPreview->body);
  EXPECT_EQ(brand.campaignId, brandId);
  EXPECT_EQ(harness.complete(device, signedCompletion(shown, device.signer, 10000)).reason,
            "lease_closed");

  // Clicks count once per lease and only for the device's own leases.
  const auto click = encodeJson(requests::Click{brand.leaseId});
  EXPECT_EQ(harness.post("/api/exposures/click", click, device.token)->status, 204);
  EXPECT_EQ(harness.post("/api/exposures/click", click, device.token)->status, 204);
  const auto stranger = harness.connectDevice();
  EXPECT_EQ(harness.post("/api/exposures/click", click, stranger.token)->status, 404);
  EXPECT_EQ(harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{brand.leaseId}),
                         stranger.token)->status,
            404);

  harness.clock.advance(10s);
  ASSERT_EQ(harness.complete(device, signedCompletion(brand, device.signer, 10000)).status, "accepted");
  auto lateCancel = harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{brand.leaseId}),
                                 device.token);
  EXPECT_EQ(lateCancel->status, 200);
  EXPECT_EQ(json::parse(lateCancel->body).at("state"), "completed");
  auto limit = harness.post("/api/exposures/start", encodeJson(start), device.token);
  EXPECT_EQ(limit->status, 204);
  EXPECT_EQ(limit->get_header_value("X-Nimbrella-Reason"), "daily_limit");

  // Everything filtered out.
  filters.blockedAdvertiserIds.push_back(advertiserA);
  start.preferences = filters;
  auto filtered = harness.post("/api/exposures/start", encodeJson(start), device.token);
  EXPECT_EQ(filtered->get_header_value("X-Nimbrella-Reason"), "preferences_filtered");

  // The cooling campaign after one completion.
  start.preferences = ServerHarness::defaultFilters();
  const auto minute = decodeJson<ExposureLease>(
      harness.post("/api/exposures/start", encodeJson(start), device.token)->body);
  ASSERT_EQ(minute.campaignId, minuteId);
  harness.clock.advance(60s);
  ASSERT_EQ(harness.complete(device, signedCompletion(minute, device.signer, 60000)).status, "accepted");
  auto cooldown = harness.post("/api/exposures/start", encodeJson(start), device.token);
  EXPECT_EQ(cooldown->get_header_value("X-Nimbrella-Reason"), "cooldown");
  harness.clock.advance(120s);
  auto again = harness.post("/api/exposures/start", encodeJson(start), device.token);
  ASSERT_EQ(again->status, 200);
  EXPECT_EQ(decodeJson<ExposureLease>(again->body).campaignId, minuteId);
}

TEST(ServerHandoff, ProofTicketAndDashboard) {
  ServerHarness harness(brandOnly(2500));
  const auto device = harness.connectDevice("Desk <Mac>");
  const auto lease = harness.startExposure(device);
  harness.clock.advance(10s);
  ASSERT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 10000)).status, "accepted");

  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               harness.clock.now().time_since_epoch()).count();
  const auto proof = [&](const std::string& nonce, std::int64_t timestamp, const ReceiptSigner& signer,
                         const std::string& locale = "it") {
    requests::Proof body;
    body.nonce = nonce;
    body.timestamp = timestamp;
    body.locale = locale;
    body.signature = signer.browserHandoffSignature(device.deviceId, nonce, timestamp, locale);
    return harness.post("/api/devices/browser-session", encodeJson(body), device.token);
  };
  const std::string nonce = "0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b";
  EXPECT_EQ(proof(nonce, now, ReceiptSigner())->status, 403);
  EXPECT_EQ(errorCode(proof(nonce, now - 301, device.signer)), "timestamp_out_of_range");
  EXPECT_EQ(errorCode(proof(nonce, now + 301, device.signer)), "timestamp_out_of_range");
  auto granted = proof(nonce, now - 300, device.signer);
  ASSERT_EQ(granted->status, 200);
  const auto handoff = decodeJson<BrowserHandoffResponse>(granted->body);
  EXPECT_TRUE(SafeEndpoint(harness.origin).browserHandoffURL(handoff.ticket, "it"));
  EXPECT_EQ(parseInternetDate(handoff.expiresAt), harness.clock.now() + 60s);
  EXPECT_EQ(handoff.mode, NetworkMode::live);
  EXPECT_EQ(errorCode(proof(nonce, now, device.signer)), "nonce_reused");

  auto page = harness.get("/api/auth/mac?lang=it");
  ASSERT_EQ(page->status, 200);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(page->body, match, std::regex("<script nonce=\"([^\"]+)\">")));
  EXPECT_THAT(page->get_header_value("Content-Security-Policy"),
              HasSubstr("script-src 'nonce-" + match[1].str() + "'"));
  EXPECT_THAT(page->body, HasSubstr("location.hash"));
  EXPECT_EQ(harness.get("/api/auth/mac?lang=de")->status, 400);

  const auto exchange = [&](const std::string& ticket) {
    return harness.post("/api/auth/ticket", "{\"ticket\":\"" + ticket + "\",\"lang\":\"it\"}");
  };
  auto signedIn = exchange(handoff.ticket);
  ASSERT_EQ(signedIn->status, 200);
  EXPECT_EQ(json::parse(signedIn->body).at("redirect"), "/it/dashboard");
  const std::string session = setCookieValue(signedIn, "nimbrella_session");
  ASSERT_FALSE(session.empty());
  EXPECT_EQ(errorCode(exchange(handoff.ticket)), "ticket_used");
  EXPECT_EQ(errorCode(exchange(std::string(43, 'Q'))), "ticket_unknown");

  auto dashboard = harness.get("/it/dashboard", {}, {{"Cookie", "nimbrella_session=" + session}});
  ASSERT_EQ(dashboard->status, 200);
  EXPECT_THAT(dashboard->body, HasSubstr("0,0025 \xE2\x82\xAC"));
  EXPECT_THAT(dashboard->body, HasSubstr("2026-03-04"));
  EXPECT_THAT(dashboard->body, HasSubstr("2026-03-10"));
  EXPECT_THAT(dashboard->body, Not(HasSubstr("2026-03-03")));
  EXPECT_THAT(dashboard->body, HasSubstr("Desk &lt;Mac&gt;"));
  EXPECT_THAT(dashboard->body, HasSubstr("Revoca"));
  EXPECT_THAT(harness.get("/en/dashboard", {}, {{"Cookie", "nimbrella_session=" + session}})->body,
              HasSubstr(">Revoke<"));
  EXPECT_THAT(harness.get("/en/dashboard")->body, HasSubstr("You are not signed in."));

  // A ticket is good for 60 seconds.
  auto late = decodeJson<BrowserHandoffResponse>(
      proof("1f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b", now, device.signer, "en")->body);
  harness.clock.advance(61s);
  EXPECT_EQ(errorCode(exchange(late.ticket)), "ticket_expired");

  // Revoking from the dashboard needs the session's form token.
  ASSERT_TRUE(std::regex_search(dashboard->body, match, std::regex("name=\"csrf\" value=\"([^\"]+)\"")));
  const httplib::Headers cookie = {{"Cookie", "nimbrella_session=" + session}};
  EXPECT_EQ(harness.post("/dashboard/revoke", "csrf=" + std::string(43, 'A'), {},
                         "application/x-www-form-urlencoded", cookie)->status,
            403);
  EXPECT_EQ(harness.post("/dashboard/revoke", "csrf=" + match[1].str(), {},
                         "application/x-www-form-urlencoded")->status,
            401);
  EXPECT_EQ(harness.get("/api/devices/me", device.token)->status, 200);
  EXPECT_EQ(harness.post("/dashboard/revoke", "csrf=" + match[1].str() + "&lang=it", {},
                         "application/x-www-form-urlencoded", cookie)->status,
            200);
  EXPECT_EQ(harness.get("/api/devices/me", device.token)->status, 401);
  EXPECT_THAT(harness.get("/it/dashboard", {}, cookie)->body, HasSubstr("Non hai effettuato"));
}

TEST(ServerStore, PrivateFileKeepsBalancesAndHonoursLateReceiptsAfterARestart) {
  const std::string path = ::testing::TempDir() + "/devserver-restart-" + std::to_string(::getpid()) + ".sqlite";
  const auto removeFiles = [&] { for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str()); };
  removeFiles();
  const mode_t previousMask = ::umask(022);
  std::optional<ServerHarness::Device> device;
  ExposureLease late, tooLate;
  {
    ServerHarness first(brandOnly(2500), {}, path);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat info {};
      ASSERT_EQ(::stat((path + suffix).c_str(), &info), 0) << suffix;
      EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
    }
    EXPECT_THROW(Store second(path), StoreError);  // one server per database
    device = first.connectDevice();
    tooLate = first.startExposure(*device);
    first.clock.advance(10s);
    ASSERT_EQ(first.complete(*device, signedCompletion(tooLate, device->signer, 9000)).reason,
              "insufficient_elapsed");
    first.clock.advance(80s);  // past its expiry, the lease no longer blocks a new one
    late = first.startExposure(*device);
  }
  ::umask(previousMask);
  ServerHarness second(brandOnly(2500), {}, path);
  // Up to seven days after its issue, a receipt signed while the server was away still counts.
  second.clock.advance(7 * 24h + 30s);
  EXPECT_EQ(second.complete(*device, signedCompletion(tooLate, device->signer, 10000)).reason,
            "lease_expired");
  EXPECT_EQ(second.complete(*device, signedCompletion(late, device->signer, 10000)).balanceMicros, 2500);
  EXPECT_EQ(decodeJson<DeviceResponse>(second.get("/api/devices/me", device->token)->body).balanceMicros,
            2500);
  removeFiles();
}

TEST(ServerInput, BadRequestsAreRefusedWithAJsonCode) {
  ServerHarness harness(brandOnly());
  const auto device = harness.connectDevice();
  struct Case {
    std::string path;
    std::string body;
    std::string contentType;
    int status;
    std::string code;
  };
  const std::string json = "application/json";
  const std::vector<Case> cases = {
      {"/api/exposures/start", "{", json, 400, "invalid_json"},
      {"/api/exposures/start", "[]", json, 400, "invalid_body"},
      {"/api/exposures/start", "{\"placement\":\"menubar-v1\"}", json, 400, "invalid_body"},
      {"/api/exposures/start",
       "{\"placement\":\"menubar-v1\",\"preferences\":{\"blockedAdvertiserIds\":[1],"
       "\"allowedCategories\":[]}}",
       json, 400, "invalid_body"},
      {"/api/exposures/start",
       "{\"placement\":\"dock\",\"preferences\":{\"blockedAdvertiserIds\":[],\"allowedCategories\":[]}}",
       json, 400, "unsupported_placement"},
      {"/api/exposures/start",
       "{\"placement\":\"menubar-v1\",\"afterPreviewCampaignId\":\"x\",\"preferences\":"
       "{\"blockedAdvertiserIds\":[],\"allowedCategories\":[]}}",
       json, 400, "invalid_campaign_id"},
      {"/api/exposures/start", "{}", "text/plain", 415, "unsupported_media_type"},
      {"/api/exposures/complete", "{\"leaseId\":\"a\",\"nonce\":\"b\",\"elapsedMs\":1.5,"
                                  "\"sequence\":1,\"signature\":\"c\"}",
       json, 400, "invalid_body"},
      {"/api/exposures/cancel", "{\"leaseId\":7}", json, 400, "invalid_body"},
      {"/api/devices/browser-session", "{\"nonce\":\"x\",\"timestamp\":\"1\",\"locale\":\"en\","
                                       "\"signature\":\"s\"}",
       json, 400, "invalid_body"},
      {"/api/devices/browser-session", "{\"nonce\":\"x\",\"timestamp\":1,\"locale\":\"de\","
                                       "\"signature\":\"s\"}",
       json, 400, "invalid_locale"},
      {"/api/exposures/cancel", "{\"leaseId\":\"\xff\xfe\"}", json, 400, "invalid_json"},
      {"/api/exposures/start", std::string(64 * 1024 + 1, ' '), json, 413, "payload_too_large"},
      {"/api/exposures/nothing", "{}", json, 404, "not_found"},
      {"/api/devices/me", "{}", json, 405, "method_not_allowed"},
  };
  for (const auto& c : cases) {
    auto result = harness.post(c.path, c.body, device.token, c.contentType);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, c.status) << c.path << " " << c.body.substr(0, 80);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(errorCode(result), c.code) << c.path << " " << c.body.substr(0, 80);
  }
  // A body of exactly 64 KB is read (and found not to be JSON).
  EXPECT_EQ(harness.post("/api/exposures/start", std::string(64 * 1024, ' '), device.token)->status, 400);
  // Tokens that are malformed, unknown or sent without the "Bearer " prefix.
  for (const httplib::Headers& headers :
       {httplib::Headers{{"Authorization", "Bearer " + std::string(43, 'z')}},
        httplib::Headers{{"Authorization", device.token}},
        httplib::Headers{{"Authorization", "bearer " + device.token}},
        httplib::Headers{{"Authorization", "Bearer  " + device.token}}, httplib::Headers{}}) {
    auto result = harness.get("/api/devices/me", {}, headers);
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(errorCode(result), "unauthorized");
  }
}

TEST(ServerAuthorization, NamesAreShowableStartsAreLimitedAndExpiredOnesPurged) {
  ServerOptions options;
  options.authorizationStartsPerMinute = 4;
  ServerHarness harness(brandOnly(), options);
  const ReceiptSigner signer;
  const auto start = [&](const std::string& name) {
    return harness.post("/api/devices/authorization/start",
                        encodeJson(requests::AuthorizationStart{name, signer.publicKey()}));
  };
  for (const std::string& name : {std::string("Tab\there"), std::string("Evil\u202Egpj.exe"),
                                  std::string("\u2066isolated"), std::string("\u200B\u200B"),
                                  std::string("   "), std::string("\u0301"), std::string(65, 'x')}) {
    EXPECT_EQ(errorCode(start(name)), "invalid_name") << name;
  }
  const auto first = decodeJson<DeviceAuthorizationStart>(start("Caf\u00E9 \U0001F4BB")->body);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(start(std::string(64, 'x'))->status, 200);
  auto limited = start("My computer");
  EXPECT_EQ(limited->status, 429);
  EXPECT_EQ(limited->get_header_value("Retry-After"), "60");
  // Expired but unapproved: "expired" for an hour, then forgotten at the next start.
  harness.clock.advance(10min + 1ms);
  const auto poll = [&] { return harness.get("/api/devices/authorization/poll", first.deviceCode); };
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(poll()->body).status, "expired");
  EXPECT_EQ(harness.get("/en/connect?code=" + first.userCode)->status, 410);
  harness.clock.advance(1h);
  EXPECT_EQ(start("My computer")->status, 200);
  EXPECT_EQ(poll()->status, 401);
}

TEST(ServerHttp, OversizedInputsWrongHostsAndSlowClientsAreRefusedWithoutHoldingOthers) {
  HttpLimits limits;
  limits.request = 300ms;  // the deadline for a whole request
  ServerHarness harness(brandOnly(), {}, ":memory:", limits, 2);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(harness.port) + "\r\n";
  const auto exchange = [&](const std::string& head, std::string_view bodyByte = {},
                            std::size_t bodyBytes = 0) {
    RawConnection connection(harness.port);
    connection.send(head);
    // Sent in 4 KiB pieces until the server stops reading: a refusal must come before
    // the whole body is read.
    const std::string piece(4096, bodyByte.empty() ? 'x' : bodyByte.front());
    for (std::size_t sent = 0; sent < bodyBytes && connection.send(piece); sent += piece.size()) {
    }
    return connection.readAll().substr(0, 12);
  };
  std::string manyHeaders;
  for (int i = 0; i < 101; ++i) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
  const std::string post = "POST /api/exposures/start HTTP/1.1\r\n" + host;
  struct Case {
    std::string head;
    std::size_t bodyBytes;
    std::string status;
  };
  const std::vector<Case> cases = {
      {"GET /" + std::string(8193, 'a') + " HTTP/1.1\r\n", 0, "HTTP/1.1 414"},
      {"GET / HTTP/1.1\r\nX-Long: " + std::string(8192, 'a') + "\r\n", 0, "HTTP/1.1 431"},
      {"GET / HTTP/1.1\r\n" + host + manyHeaders + "\r\n", 0, "HTTP/1.1 431"},
      {post + "Content-Length: 65537\r\n\r\n", 0, "HTTP/1.1 413"},
      {post + "Transfer-Encoding: chunked\r\n\r\n100000\r\n", 64ul << 20, "HTTP/1.1 413"},
      {post + "Content-Length: 10\r\n\r\n{", 0, "HTTP/1.1 408"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(harness.port), 0, "HTTP/1.1 408"},
      {"GET / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\n" + host + host + "\r\n", 0, "HTTP/1.1 421"},
      {"GET / HTTP/1.1\r\nHost: LOCALHOST:" + std::to_string(harness.port) +
           "\r\nConnection: close\r\n\r\n", 0, "HTTP/1.1 200"},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(c.head, {}, c.bodyBytes), c.status) << c.head.substr(0, 60);

  // Idle keep-alive connections and half-sent requests, far more than the two workers,
  // leave a normal request answered.
  std::vector<std::unique_ptr<RawConnection>> holders;
  for (int i = 0; i < 40; ++i) {
    holders.push_back(std::make_unique<RawConnection>(harness.port));
    holders.back()->send(i % 2 ? "GET / HTTP/1.1\r\n" + host + "\r\n" : "POST /api/exposures/start HTTP/1.1\r\n");
  }
  EXPECT_EQ(harness.get("/api/devices/me")->status, 401);
}

}  // namespace
}  // namespace nimbrella::server::testing
