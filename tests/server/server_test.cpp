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
                              encodeJson(requests::AuthorizationStart{"My Mac", signer.publicKey()}));
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
                                encodeJson(requests::AuthorizationStart{"My Mac", key}));
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

TEST(ServerAuthorization, ExpiresAfterTenMinutesAndAutoApprovalApprovesAtFirstPoll) {
  ServerHarness harness(brandOnly());
  const ReceiptSigner signer;
  const auto body = encodeJson(requests::AuthorizationStart{"My Mac", signer.publicKey()});
  const auto authorization =
      decodeJson<DeviceAuthorizationStart>(harness.post("/api/devices/authorization/start", body)->body);
  harness.clock.advance(10min + 1ms);
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(
                harness.get("/api/devices/authorization/poll", authorization.deviceCode)->body)
                .status,
            "expired");
  EXPECT_EQ(harness.get("/en/connect?code=" + authorization.userCode)->status, 410);

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

  // Cancelled, the lease frees the device; the other campaign comes next.
  EXPECT_EQ(harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{minute.leaseId}),
                         device.token)->status,
            204);
  EXPECT_EQ(harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{minute.leaseId}),
                         device.token)->status,
            204);
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

TEST(ServerExposures, CompletionIsVerifiedAndCreditedExactlyOnce) {
  ServerHarness harness(brandOnly(2500));
  const auto device = harness.connectDevice();
  const auto other = harness.connectDevice();

  // Before the duration on the server's clock: refused, and the lease is closed.
  auto lease = harness.startExposure(device);
  harness.clock.advance(9999ms);
  auto early = harness.complete(device, signedCompletion(lease, device.signer, 10000));
  EXPECT_EQ(early.status, "rejected");
  EXPECT_EQ(early.reason, "too_early");
  harness.clock.advance(1ms);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 10000)).reason,
            "lease_closed");

  // Fewer measured milliseconds than the duration.
  lease = harness.startExposure(device);
  harness.clock.advance(10s);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 9999)).reason,
            "insufficient_elapsed");

  // Signed by another key; a signature taken from another lease; a wrong nonce.
  lease = harness.startExposure(device);
  harness.clock.advance(10s);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, ReceiptSigner(), 10000)).reason,
            "invalid_signature");
  const auto previous = lease;
  lease = harness.startExposure(device);
  harness.clock.advance(10s);
  auto replayed = signedCompletion(lease, device.signer, 10000);
  replayed.signature = signedCompletion(previous, device.signer, 10000).signature;
  EXPECT_EQ(harness.complete(device, replayed).reason, "invalid_signature");
  lease = harness.startExposure(device);
  harness.clock.advance(10s);
  auto wrongNonce = CompleteRequest::make(lease.leaseId, "another", 10000, device.signer);
  EXPECT_EQ(harness.complete(device, wrongNonce).reason, "nonce_mismatch");

  // Another device's receipt for this device's lease is not even recognised, and leaves
  // the lease intact.
  lease = harness.startExposure(device);
  harness.clock.advance(10s);
  EXPECT_EQ(harness.complete(other, signedCompletion(lease, other.signer, 10000)).reason,
            "unknown_lease");
  EXPECT_EQ(harness.complete(other, signedCompletion(lease, device.signer, 10000)).reason,
            "unknown_lease");

  // The genuine receipt, then the same request again: one credit.
  const auto genuine = signedCompletion(lease, device.signer, 10000);
  const auto accepted = harness.complete(device, genuine);
  EXPECT_EQ(accepted.status, "accepted");
  ASSERT_TRUE(accepted.receiptId && accepted.rewardMicros && accepted.balanceMicros);
  EXPECT_FALSE(accepted.receiptId->empty());
  EXPECT_EQ(*accepted.rewardMicros, 2500);
  EXPECT_EQ(*accepted.balanceMicros, 2500);
  harness.clock.advance(5min);  // a retry long after the lease's expiry still gets its answer
  EXPECT_EQ(harness.complete(device, genuine), accepted);
  const auto resigned = signedCompletion(lease, device.signer, 10000);
  EXPECT_EQ(harness.complete(device, resigned).reason, "already_completed");
  EXPECT_EQ(decodeJson<DeviceResponse>(harness.get("/api/devices/me", device.token)->body).balanceMicros,
            2500);

  // Past the lease's expiry.
  lease = harness.startExposure(device);
  harness.clock.advance(70001ms);
  EXPECT_EQ(harness.complete(device, signedCompletion(lease, device.signer, 10000)).reason,
            "lease_expired");
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
  EXPECT_EQ(harness.post("/api/exposures/cancel", encodeJson(requests::Cancel{brand.leaseId}),
                         device.token)->status,
            409);
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

TEST(ServerStore, DevicesBalancesAndLeasesSurviveARestart) {
  const std::string path = ::testing::TempDir() + "/devserver-restart-" + std::to_string(::getpid()) + ".sqlite";
  std::remove(path.c_str());
  std::optional<ServerHarness::Device> device;
  ExposureLease lease;
  {
    ServerHarness first(brandOnly(2500), {}, path);
    device = first.connectDevice();
    const auto done = first.startExposure(*device);
    first.clock.advance(10s);
    ASSERT_EQ(first.complete(*device, signedCompletion(done, device->signer, 10000)).status, "accepted");
    lease = first.startExposure(*device);
  }
  ServerHarness second(brandOnly(2500), {}, path);
  second.clock.advance(20s);
  EXPECT_EQ(decodeJson<DeviceResponse>(second.get("/api/devices/me", device->token)->body).balanceMicros,
            2500);
  EXPECT_EQ(second.complete(*device, signedCompletion(lease, device->signer, 10000)).balanceMicros, 5000);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
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
      {"/api/exposures/start", "{} x", json, 400, "invalid_json"},
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
      {"/api/exposures/complete", "{\"leaseId\":null}", json, 400, "invalid_body"},
      {"/api/exposures/cancel", "{\"leaseId\":7}", json, 400, "invalid_body"},
      {"/api/exposures/click", "\"text\"", json, 400, "invalid_body"},
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

}  // namespace
}  // namespace nimbrella::server::testing
