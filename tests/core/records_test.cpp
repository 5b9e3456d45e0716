#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/SafeEndpoint.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace nimbrella {
namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono;

const std::string leaseText =
    R"({"leaseId":"lease-1","nonce":"nonce-1","durationMs":10000,"expiresAt":"2026-01-02T03:04:05Z",)"
    R"("creative":{"advertiserId":"0b0b5a4e-1c7d-4a35-9a59-0d6b3d0e9f11","category":"software",)"
    R"("sponsor":"Acme","headline":"Fast builds","body":"Build faster.","cta":"Try it",)"
    R"("url":"https://acme.example/try","menuText":"Acme builds","menuTagline":"fast",)"
    R"("accentColor":"#FF8800","logoData":"data:image/png;base64,AAAA"},"rewardMicros":1500,)"
    R"("currency":"EUR","mode":"sandbox","termsVersion":"brand-v1",)"
    R"("measurementVersion":"menubar-qualified-10s-v1","preview":false,"campaignId":"c1"})";

// Every field set; valid until 03:04:05, five minutes after `now`.
ExposureLease validLease() { return decodeJson<ExposureLease>(leaseText); }
const Date now = *parseInternetDate("2026-01-02T03:00:00Z");

template <class T>
void expectRefused(const std::string& body) {
  EXPECT_THROW(decodeJson<T>(body), DecodingError) << body;
}

// Removing a required key, setting it to null or to another JSON type fails the record;
// an optional key may be missing or null.
template <class T>
void checkKeys(const T& full, const std::set<std::string>& optionalKeys) {
  const Json json = full.toJson();
  EXPECT_EQ(T::fromJson(json), full);
  for (const auto& [key, value] : json.items()) {
    Json missing = json, null = json, mistyped = json;
    missing.erase(key);
    null[key] = nullptr;
    mistyped[key] = value.is_string() ? Json(7) : Json("7");
    if (optionalKeys.count(key) != 0) {
      EXPECT_EQ(T::fromJson(missing), T::fromJson(null)) << key;
    } else {
      EXPECT_THROW(T::fromJson(missing), DecodingError) << key;
      EXPECT_THROW(T::fromJson(null), DecodingError) << key;
    }
    EXPECT_THROW(T::fromJson(mistyped), DecodingError) << key;
  }
}

TEST(WireRecords, EncodesCompactJsonWithKeysInDeclarationOrder) {
  auto same = [](auto record, const std::string& text) {
    EXPECT_EQ(encodeJson(decodeJson<decltype(record)>(text)), text);
  };
  same(ExposureLease{}, leaseText);
  same(DeviceResponse{}, R"({"deviceId":"d1","balanceMicros":-5,"mode":"live",)"
                         R"("reports":{"daily":[{"day":"2026-01-01","earnedMicros":10}]}})");
  // The request bodies are the API client's (tests/network/api_client_test).
  EXPECT_THROW(encodeJson(CompleteResponse{"rejected", "bad \xFF byte", {}, {}, {}}), EncodingError);
}

TEST(WireRecords, EveryRecordRoundTripsAndRefusesMissingNullOrMistypedRequiredKeys) {
  checkKeys(validLease(), {"termsVersion", "measurementVersion", "preview", "campaignId"});
  checkKeys(validLease().creative, {"advertiserId", "category", "menuText", "menuTagline", "accentColor", "logoData"});
  checkKeys(DeviceAuthorizationStart{"dc", "ABCD", "https://h.example/c", "2026-01-02T03:04:05Z", 5, NetworkMode::live},
            {});
  checkKeys(DeviceAuthorizationPoll{"approved", "d1", 5, "2026-01-02T03:04:05Z", NetworkMode::live},
            {"deviceId", "interval", "expiresAt"});
  checkKeys(DeviceResponse{ReferralSummary{2, 300}, "d1", 42, NetworkMode::live, EarningsSummary{1, 2, 3, true, false},
                           EarningsReport{{EarningsDay("2026-01-01", 10)}}},
            {"referral", "earnings", "reports"});
  checkKeys(EarningsSummary{1, 2, 3, false, true}, {});
  checkKeys(EarningsReport{{EarningsDay("2026-01-01", 1)}}, {});
  checkKeys(EarningsDay("2026-01-01", 1), {});
  checkKeys(ReferralSummary{1, 2}, {});
  checkKeys(CompleteRequest{"L", "N", 10000, 1, "sig"}, {});
  checkKeys(CompleteResponse{"accepted", "r", "rc", 10, 20}, {"reason", "receiptId", "rewardMicros", "balanceMicros"});
  checkKeys(BrowserHandoffResponse{"t", "2026-01-02T03:04:05Z", NetworkMode::live}, {});
  checkKeys(requests::AuthorizationStart{"My computer", "k"}, {});
  checkKeys(requests::ExposureStart{"menubar", "c", {{"a"}, {"news"}}}, {"afterPreviewCampaignId"});
  checkKeys(requests::Cancel{"L"}, {});
  checkKeys(requests::Click{"L"}, {});
  checkKeys(requests::Proof{"n", 5, "en", "s"}, {});
}

TEST(WireRecords, DecodesKeysInAnyOrderIgnoresUnknownKeysAndReadsExactIntegers) {
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(
                R"({"mode":"sandbox","extra":{"x":[1,2]},"deviceId":null,"status":"pending","interval":null})"),
            (DeviceAuthorizationPoll{"pending", std::nullopt, std::nullopt, std::nullopt, NetworkMode::sandbox}));
  expectRefused<BrowserHandoffResponse>(R"({"ticket":"t","expiresAt":"x","mode":"Live"})");  // "sandbox" or "live"
  // Integers are exact signed 64-bit values, never written as floats.
  auto referral = [](const std::string& count) { return R"({"referredCount":)" + count + R"(,"earnedMicros":0})"; };
  EXPECT_EQ(decodeJson<ReferralSummary>(referral("9223372036854775807")).referredCount, INT64_MAX);
  EXPECT_EQ(decodeJson<ReferralSummary>(referral("-9223372036854775808")).referredCount, INT64_MIN);
  for (const char* bad : {"9223372036854775808", "-9223372036854775809", "1.0", "1e3"}) {
    expectRefused<ReferralSummary>(referral(bad));
  }
}

TEST(WireRecords, StrictParsingRefusesMalformedTextWrongShapesAndRepeatedKeysButSurvivesDeepNesting) {
  for (const char* bad : {"{", "{} {}", "\"\xC3\x28\""}) expectRefused<EmptyResponse>(bad);
  expectRefused<CompleteResponse>("[]");
  expectRefused<CompleteResponse>(R"({"status":"accepted","status":"rejected"})");
  expectRefused<EmptyResponse>(R"([{"a":{"b":1,"b":1}}])");
  // Large objects keep their keys in another structure: repeats are found there too.
  std::string many = "{";
  for (int i = 0; i < 200; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  EXPECT_NO_THROW(decodeJson<EmptyResponse>(many + R"("k":{"k":{"k":0}}})"));
  expectRefused<EmptyResponse>(many + R"("k150":0})");
  expectRefused<EmptyResponse>(many + R"("k3":0})");
  expectRefused<requests::ExposureStart>(
      R"({"placement":"m","preferences":{"blockedAdvertiserIds":[1],"allowedCategories":[]}})");
  for (const char* body : {"[]", "null", "\"text\""}) EXPECT_NO_THROW(decodeJson<EmptyResponse>(body)) << body;
  EXPECT_NO_THROW(decodeJson<EmptyResponse>(std::string(100000, '[') + std::string(100000, ']')));
  expectRefused<EmptyResponse>(std::string(100000, '['));
}

ExposureLease previewLease() {
  ExposureLease lease = validLease();
  lease.preview = true;
  lease.termsVersion = lease.measurementVersion = "admin-preview-v1";
  lease.rewardMicros = 0;
  lease.campaignId = "123e4567-e89b-12d3-a456-426614174000";
  return lease;
}

void minuteTerms(ExposureLease& l) {
  l.termsVersion = "minute-v2", l.durationMs = 60000, l.measurementVersion = "menubar-qualified-60s-v2";
}

using Change = std::pair<std::function<void(ExposureLease&)>, bool>;
void expectValidity(const ExposureLease& base, std::initializer_list<Change> changes) {
  int row = 0;
  for (const auto& [change, valid] : changes) {
    ExposureLease lease = base;
    change(lease);
    EXPECT_EQ(lease.isValid(now), valid) << "row " << row;
    ++row;
  }
}

TEST(LeaseValidity, TermsFixDurationAndMeasurementAndPreviewsFollowTheirOwnRules) {
  EXPECT_TRUE(validLease().isValid(now));
  EXPECT_TRUE(previewLease().isValid(now));
  expectValidity(validLease(), {
      {[](auto& l) { l.termsVersion = l.measurementVersion = std::nullopt; }, true},
      {[](auto& l) { minuteTerms(l); }, true}, {[](auto& l) { l.termsVersion = "minute-v2"; }, false},
      {[](auto& l) { l.durationMs = 60000; }, false},
      {[](auto& l) { l.measurementVersion = "menubar-qualified-60s-v2"; }, false},
      {[](auto& l) { minuteTerms(l), l.measurementVersion = "menubar-qualified-10s-v1"; }, false},
      {[](auto& l) { l.termsVersion = "brand-v2"; }, false}, {[](auto& l) { l.durationMs = 9999; }, false},
      {[](auto& l) { l.rewardMicros = 0; }, true}, {[](auto& l) { l.rewardMicros = -1; }, false},
      {[](auto& l) { l.currency = "eur"; }, false}, {[](auto& l) { l.creative.url = "http://acme.example"; }, false},
      // Expiry strictly after now.
      {[](auto& l) { l.expiresAt = "2026-01-02T03:00:00Z"; }, false},
      {[](auto& l) { l.expiresAt = "2026-01-02T03:00:00.001Z"; }, true},
      {[](auto& l) { l.expiresAt = "2026-01-02 03:04:05"; }, false},
  });
  // Previews carry no reward, name their measurement and a campaign UUID, and need the flag.
  expectValidity(previewLease(), {
      {[](auto& l) { l.preview = false; }, false}, {[](auto& l) { l.rewardMicros = 1; }, false},
      {[](auto& l) { l.measurementVersion = std::nullopt; }, false},
      {[](auto& l) { l.campaignId = std::nullopt; }, false}, {[](auto& l) { l.campaignId = "campaign-1"; }, false},
  });
  EXPECT_TRUE(previewLease().isPreview() && !previewLease().requiresReceipt() && !previewLease().isMinute());
  ExposureLease flaggedOnly = validLease();
  flaggedOnly.preview = true;
  flaggedOnly.termsVersion = "minute-v2";
  EXPECT_TRUE(!flaggedOnly.isPreview() && flaggedOnly.requiresReceipt() && flaggedOnly.isMinute());
}

// `count` copies of `unit`: é written as e and a combining accent is one character of three bytes.
std::string times(std::size_t count, std::string_view unit = "e\xCC\x81") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(LeaseValidity, TextLimitsCountUserPerceivedCharacters) {
  // Each text, its limit in characters, whether it may be empty and hold line feeds.
  using Field = std::string& (*)(ExposureLease&);
  const std::tuple<Field, std::size_t, bool, bool> fields[] = {
      {[](ExposureLease& l) -> std::string& { return l.leaseId; }, 128, false, false},
      {[](ExposureLease& l) -> std::string& { return l.nonce; }, 512, false, false},
      {[](ExposureLease& l) -> std::string& { return l.creative.sponsor; }, 120, false, true},
      {[](ExposureLease& l) -> std::string& { return l.creative.headline; }, 200, false, true},
      {[](ExposureLease& l) -> std::string& { return l.creative.body; }, 1000, true, true},
      {[](ExposureLease& l) -> std::string& { return l.creative.cta; }, 80, true, true},
  };
  for (const auto& [field, limit, mayBeEmpty, lineFeeds] : fields) {
    // In ASCII text each byte is a character, except that CR LF is one.
    const std::pair<std::string, bool> cases[] = {
        {times(limit), true}, {times(limit + 1, "\xC3\xA8"), false}, {times(limit, "x"), true},
        {times(limit + 1, "x"), false}, {times(limit - 1, "x") + "\r\n", lineFeeds}, {"", mayBeEmpty},
        {"a\nb", lineFeeds}, {"bad \xC3", false}};
    for (const auto& [text, valid] : cases) {
      ExposureLease lease = validLease();
      field(lease) = text;
      EXPECT_EQ(lease.isValid(now), valid) << limit << ": " << text.substr(0, 12);
    }
  }
}

TEST(InternetDate, ParsesBothFormsToTheExactInstantAndFormatsUtcMilliseconds) {
  const Date base = Date{} + seconds(1767323045);  // 2026-01-02T03:04:05Z
  for (const auto& [text, offset] : std::initializer_list<std::pair<const char*, nanoseconds>>{
           {"2026-01-02T03:04:05Z", {}}, {"2026-01-02T03:04:05.5Z", milliseconds(500)},
           {"2026-01-02T03:04:05.000000001Z", nanoseconds(1)},
           // Digits beyond nanoseconds are truncated, never rounded up into the next second.
           {"2026-01-02T03:04:05.9999999999999Z", nanoseconds(999'999'999)},
           // Offsets: local time minus the offset is UTC.
           {"2026-01-02T04:04:05+01:00", {}}, {"2026-01-01T21:34:05-05:30", {}}, {"2026-01-03T03:03:05+23:59", {}}}) {
    EXPECT_EQ(parseInternetDate(text), base + offset) << text;
  }
  EXPECT_EQ(parseInternetDate("1969-12-31T23:59:59Z"), Date{} - seconds(1));
  EXPECT_EQ(parseInternetDate("2000-02-29T23:59:59Z"), Date{} + seconds(951868799));
  // Formatting writes UTC with milliseconds, rounded down.
  EXPECT_EQ(formatInternetDate(*parseInternetDate("2026-01-02T04:04:05.678912+01:00")), "2026-01-02T03:04:05.678Z");
  EXPECT_EQ(formatInternetDate(Date{} - nanoseconds(1)), "1969-12-31T23:59:59.999Z");
  for (const char* text : {"2262-01-01T00:00:00.000Z", "1678-01-01T00:00:00.000Z"}) {
    EXPECT_EQ(formatInternetDate(*parseInternetDate(text)), text);
  }
}

TEST(InternetDate, RefusesEveryOtherFormAndInvalidOrUnrepresentableValues) {
  for (const char* text : {
           "", "2026-01-02T03:04:05", "2026-01-02 03:04:05Z", "2026-01-02T03:04:05z", "2026-01-02T03:04:05.Z",
           "2026-01-02T03:04Z", "2026-01-02T03:04:05+0100", "2026-01-02T03:04:05+01", "2026-01-02T03:04:05Z\n",
           "+2026-01-02T03:04:05Z", "2026-1-02T03:04:05Z", "2026-\xEF\xBC\x90" "1-02T03:04:05Z",
           "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-13-01T00:00:00Z",
           "2026-01-00T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z", "2026-12-31T23:59:60Z",
           "2026-01-01T00:00:00+24:00", "2026-01-01T00:00:00+01:60",
           // Instants the clock cannot hold are refused rather than wrapped around.
           "0001-01-01T00:00:00Z", "9999-12-31T23:59:59.999Z"}) {
    EXPECT_FALSE(parseInternetDate(text).has_value()) << text;
  }
  EXPECT_TRUE(parseInternetDate("2024-02-29T00:00:00Z") && parseInternetDate("2026-04-30T00:00:00Z"));
}

bool accepted(std::string_view text) {
  try {
    SafeEndpoint endpoint(text);
    return true;
  } catch (const EndpointError& error) {
    EXPECT_STREQ(error.what(), "Use an HTTPS server address. HTTP is allowed only for a local development server.");
    return false;
  }
}

std::string verified(const SafeEndpoint& endpoint, std::string_view proposal, std::string_view code = "ABCD") {
  const auto url = endpoint.verificationURL(proposal, code);
  return url ? url->text() : "-";
}

TEST(Url, ParsesOnlyTheGrammar) {
  for (const char* text : {"https://h/\xC3\xA8", "https://h/%4", "https://h:", "https://h:0", "https://h:65536",
                           "https://[::1", "https://[::1]x", "https://[1:2:3:4:5:6:7:8:9]", "https://[1::2::3]",
                           "https://[12345::]", "https://[::1%25eth0]", "https://[127.0.0.1]", "https://a@b@c",
                           "https://h/<x>", "https://h/#a#b", "ht_tp://h", "1a:b"}) {
    EXPECT_FALSE(Url::parse(text).has_value()) << text;
  }
  for (const char* text : {"./1a:b", "https://[::ffff:192.0.2.1]", "https://[v1.fe:80]", "https://[1:2:3:4:5:6:7:8]",
                           "https://h:65535"}) {
    EXPECT_TRUE(Url::parse(text).has_value()) << text;
  }
}

TEST(SafeEndpoint, AcceptsOnlyPlainHttpsOriginsOrLoopbackHttpAndBuildsRoutes) {
  EXPECT_EQ(SafeEndpoint("\xC2\xA0 https://api.example.com \n\xE2\x80\xA8").url().text(), "https://api.example.com");
  for (const char* text : {"http://127.0.0.1:3217", "HTTP://LOCALHOST:8080", "http://[::1]:3217", "https://10.0.0.1",
                           "https://[2001:db8::1]:443", "https://api.example.com/"}) {
    EXPECT_TRUE(accepted(text)) << text;
  }
  for (const char* text : {"https://api.example.com/api", "https://api.example.com/?", "https://api.example.com#",
                           "https://@api.example.com", "http://api.example.com", "http://127.0.0.2", "http://localhost.",
                           "http://[::2]", "ftp://api.example.com", "api.example.com", "https://", "   "}) {
    EXPECT_FALSE(accepted(text)) << text;
  }
  EXPECT_EQ(SafeEndpoint("https://api.example.com/").normalized(), "https://api.example.com");
  EXPECT_EQ(SafeEndpoint("http://[::1]:3217").route("/api/devices/me").text(), "http://[::1]:3217/api/devices/me");
}

TEST(SafeEndpoint, VerificationPageMustBeThisOriginsConnectPageForTheUserCode) {
  const SafeEndpoint endpoint("https://Api.Example.com");
  for (const char* proposal : {"https://api.example.com/it/connect?code=ABCD", "https://api.example.com/en/connect?code=ABCD",
                               "HTTPS://API.EXAMPLE.COM/connect?code=AB%43D"}) {
    EXPECT_EQ(verified(endpoint, proposal), proposal);
  }
  const std::string base = "https://api.example.com/";
  for (const std::string& proposal : std::initializer_list<std::string>{
           base + "it/connect?code=ABCD&x=1", base + "connect/?code=ABCD", base + "de/connect?code=ABCD",
           base + "connect?code=ABCD#", base + "connect", base + "connect?Code=ABCD", base + "connect?code=abcd",
           "https://api.example.com:8443/connect?code=ABCD", "/connect?code=ABCD",
           "http://api.example.com/connect?code=ABCD", "https://u@api.example.com/connect?code=ABCD",
           "https://api.example.com.evil.example/connect?code=ABCD"}) {
    EXPECT_EQ(verified(endpoint, proposal), "-") << proposal;
  }
  // Any loopback name of a local server, but its port.
  const SafeEndpoint local("http://localhost:3217");
  EXPECT_EQ(verified(local, "http://[::1]:3217/connect?code=X", "X"), "http://[::1]:3217/connect?code=X");
  EXPECT_EQ(verified(local, "http://127.0.0.1/connect?code=X", "X"), "-");
  EXPECT_EQ(verified(local, "http://127.0.0.2:3217/connect?code=X", "X"), "-");
}

TEST(SafeEndpoint, BrowserHandoffCarriesTheTicketInTheFragment) {
  const std::string ticket = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123_-Z";  // 43 characters
  const SafeEndpoint endpoint("https://api.example.com/");
  EXPECT_EQ(endpoint.browserHandoffURL(ticket, "it")->text(), "https://api.example.com/api/auth/mac?lang=it#" + ticket);
  EXPECT_EQ(endpoint.browserHandoffURL(ticket, "en")->query(), "lang=en");
  EXPECT_FALSE(endpoint.browserHandoffURL(ticket.substr(1), "en") || endpoint.browserHandoffURL(ticket + "A", "en"));
  EXPECT_FALSE(endpoint.browserHandoffURL("+" + ticket.substr(1), "en") || endpoint.browserHandoffURL(ticket, "EN"));
}

TEST(SafeEndpoint, AdvertiserLinksArePublicHttpsWithoutCredentials) {
  for (const char* text : {"https://acme.example/path?q=1#top", "HTTPS://Acme.Example:8443/x", "https://8.8.8.8/",
                           "https://[2001:db8::1]/"}) {
    EXPECT_EQ(SafeEndpoint::advertiserURL(text)->text(), text);
  }
  for (const char* text : {"http://acme.example", "https://u@acme.example", "https:///x", "javascript:alert(1)",
                           "/relative",
                           // Names and spellings of this computer.
                           "https://LOCALHOST", "https://localhost./", "https://app.localhost", "https://127.0.0.2",
                           "https://0.0.0.0", "https://[::1]/", "https://[::]", "https://[::ffff:127.0.0.1]",
                           "https://[::ffff:7f00:1]", "https://%6Cocalhost", "https://2130706433", "https://0x7f000001",
                           "https://10.0.0.01", "https://[v1.x]"}) {
    EXPECT_FALSE(SafeEndpoint::advertiserURL(text)) << text;
  }
}

TEST(ClientEnvironment, SelectsTheOriginAndTheAcceptedModes) {
  EXPECT_EQ(endpoint(ClientEnvironment::production, {"http://127.0.0.1:9"}).url().text(), NIMBRELLA_PRODUCTION_ORIGIN);
  EXPECT_EQ(endpoint(ClientEnvironment::development, std::nullopt).url().text(), "http://127.0.0.1:3217");
  EXPECT_EQ(endpoint(ClientEnvironment::development, {"http://localhost:9000"}).url().text(), "http://localhost:9000");
  EXPECT_THROW(endpoint(ClientEnvironment::development, std::string("http://example.com")), EndpointError);
  EXPECT_TRUE(accepts(ClientEnvironment::production, NetworkMode::live));
  EXPECT_TRUE(!accepts(ClientEnvironment::production, NetworkMode::sandbox) &&
              accepts(ClientEnvironment::development, NetworkMode::sandbox));
}

}  // namespace
}  // namespace nimbrella
