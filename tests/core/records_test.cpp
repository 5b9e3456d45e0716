#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <tuple>

namespace nimbrella {
namespace {

using Json = nlohmann::ordered_json;

const std::string leaseText =
    R"({"leaseId":"lease-1","nonce":"nonce-1","durationMs":10000,"expiresAt":"2026-01-02T03:04:05Z",)"
    R"("creative":{"advertiserId":"0b0b5a4e-1c7d-4a35-9a59-0d6b3d0e9f11","category":"software",)"
    R"("sponsor":"Acme","headline":"Fast builds","body":"Build faster.","cta":"Try it",)"
    R"("url":"https://acme.example/try","menuText":"Acme builds","menuTagline":"fast",)"
    R"("accentColor":"#FF8800","logoData":"data:image/png;base64,AAAA"},"rewardMicros":1500,)"
    R"("currency":"EUR","mode":"sandbox","termsVersion":"brand-v1",)"
    R"("measurementVersion":"menubar-qualified-10s-v1","preview":false,"campaignId":"c1"})";

// Every field set; valid until 03:04:05.
ExposureLease fullLease() { return decodeJson<ExposureLease>(leaseText); }

// Decoding the canonical text and encoding the record gives the same text back: key
// names, their order and the omission of absent optionals all hold both ways.
template <class T>
void expectCanonical(const std::string& text) {
  EXPECT_EQ(encodeJson(decodeJson<T>(text)), text);
}

// Decoding T from the JSON text must fail with a DecodingError.
template <class T>
void expectRefused(const std::string& body) {
  EXPECT_THROW(decodeJson<T>(body), DecodingError) << body;
}

// For every key of the full record's JSON: removing a required key or setting it to
// null fails the whole record; an optional key may be missing or null.
template <class T>
void checkRequiredAndOptionalKeys(const T& full, const std::set<std::string>& optionalKeys) {
  const Json json = full.toJson();
  EXPECT_EQ(T::fromJson(json), full);
  for (const auto& [key, value] : json.items()) {
    Json missing = json;
    missing.erase(key);
    Json null = json;
    null[key] = nullptr;
    if (optionalKeys.count(key) != 0) {
      EXPECT_NO_THROW(T::fromJson(missing)) << key;
      EXPECT_EQ(T::fromJson(missing), T::fromJson(null)) << key;
    } else {
      EXPECT_THROW(T::fromJson(missing), DecodingError) << key;
      EXPECT_THROW(T::fromJson(null), DecodingError) << key;
    }
    // A value of another JSON type never decodes: strings become numbers, everything
    // else becomes a string.
    Json mistyped = json;
    mistyped[key] = value.is_string() ? Json(7) : Json("7");
    EXPECT_THROW(T::fromJson(mistyped), DecodingError) << key;
  }
}

TEST(WireRecords, EncodesCompactJsonWithKeysInDeclarationOrder) {
  expectCanonical<ExposureLease>(leaseText);
  expectCanonical<DeviceResponse>(
      R"({"deviceId":"d1","balanceMicros":-5,"mode":"live",)"
      R"("reports":{"daily":[{"day":"2026-01-01","earnedMicros":10},{"day":"2026-01-02","earnedMicros":0}]}})");
  expectCanonical<CompleteRequest>(R"({"leaseId":"L1","nonce":"N1","elapsedMs":30000,"sequence":1,"signature":"c2ln"})");
  expectCanonical<DeviceAuthorizationPoll>(R"({"status":"pending","mode":"live"})");
  expectCanonical<requests::ExposureStart>(R"({"placement":"menubar","afterPreviewCampaignId":"c9",)"
                                           R"("preferences":{"blockedAdvertiserIds":["a1"],"allowedCategories":[]}})");
  expectCanonical<requests::Proof>(R"({"nonce":"n","timestamp":1767225600,"locale":"it","signature":"s"})");
  EXPECT_EQ(encodeJson(PairRequest("123456", "cGs=")), R"({"code":"123456","publicKey":"cGs=","name":"My computer"})");
  EXPECT_EQ(encodeJson(requests::EmptyBody{}), "{}");
}

TEST(WireRecords, EveryRecordRoundTripsAndRefusesMissingNullOrMistypedRequiredKeys) {
  checkRequiredAndOptionalKeys(fullLease(), {"termsVersion", "measurementVersion", "preview", "campaignId"});
  checkRequiredAndOptionalKeys(fullLease().creative,
                               {"advertiserId", "category", "menuText", "menuTagline", "accentColor", "logoData"});
  checkRequiredAndOptionalKeys(
      DeviceAuthorizationStart{"dc", "ABCD", "https://h.example/connect?code=ABCD", "2026-01-02T03:04:05Z", 5,
                               NetworkMode::live},
      {});
  checkRequiredAndOptionalKeys(DeviceAuthorizationPoll{"approved", "d1", 5, "2026-01-02T03:04:05Z", NetworkMode::live},
                               {"deviceId", "interval", "expiresAt"});
  checkRequiredAndOptionalKeys(PairRequest("c", "k"), {});
  checkRequiredAndOptionalKeys(PairResponse{"d", "t", NetworkMode::sandbox}, {});
  checkRequiredAndOptionalKeys(
      DeviceResponse{ReferralSummary{2, 300}, "d1", 42, NetworkMode::live, EarningsSummary{1, 2, 3, true, false},
                     EarningsReport{{EarningsDay("2026-01-01", 10)}}},
      {"referral", "earnings", "reports"});
  checkRequiredAndOptionalKeys(EarningsSummary{1, 2, 3, false, true}, {});
  checkRequiredAndOptionalKeys(EarningsReport{{EarningsDay("2026-01-01", 1)}}, {});
  checkRequiredAndOptionalKeys(EarningsDay("2026-01-01", 1), {});
  checkRequiredAndOptionalKeys(ReferralSummary{1, 2}, {});
  checkRequiredAndOptionalKeys(CompleteRequest{"L", "N", 10000, 1, "sig"}, {});
  checkRequiredAndOptionalKeys(CompleteResponse{"accepted", "r", "rc", 10, 20},
                               {"reason", "receiptId", "rewardMicros", "balanceMicros"});
  checkRequiredAndOptionalKeys(BrowserHandoffResponse{"t", "2026-01-02T03:04:05Z", NetworkMode::live}, {});
  checkRequiredAndOptionalKeys(requests::AuthorizationStart{"My computer", "k"}, {});
  checkRequiredAndOptionalKeys(requests::ExposureStart{"menubar", "c", {{"a"}, {"news"}}}, {"afterPreviewCampaignId"});
  checkRequiredAndOptionalKeys(requests::Cancel{"L"}, {});
  checkRequiredAndOptionalKeys(requests::Click{"L"}, {});
  checkRequiredAndOptionalKeys(requests::Proof{"n", 5, "en", "s"}, {});
}

TEST(WireRecords, DecodesKeysInAnyOrderIgnoresUnknownKeysAndTreatsNullOptionalsAsAbsent) {
  EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(
                R"({"mode":"sandbox","extra":{"x":[1,2]},"deviceId":null,"status":"pending","interval":null})"),
            (DeviceAuthorizationPoll{"pending", std::nullopt, std::nullopt, std::nullopt, NetworkMode::sandbox}));
  // The network mode is exactly "sandbox" or "live".
  for (const char* raw : {"Live", "", " live", "production"}) {
    expectRefused<PairResponse>(std::string(R"({"deviceId":"d","token":"t","mode":")") + raw + "\"}");
  }
}

TEST(WireRecords, IntegersAreExactSigned64BitAndNeverFloatsOrBooleans) {
  auto referral = [](const std::string& count) {
    return R"({"referredCount":)" + count + R"(,"earnedMicros":0})";
  };
  EXPECT_EQ(decodeJson<ReferralSummary>(referral("9223372036854775807")).referredCount, INT64_MAX);
  EXPECT_EQ(decodeJson<ReferralSummary>(referral("-9223372036854775808")).referredCount, INT64_MIN);
  EXPECT_EQ(decodeJson<ReferralSummary>(referral("-0")).referredCount, 0);
  // Out of range, fractions, floats with whole values, exponents, booleans, strings.
  for (const char* bad : {"9223372036854775808", "-9223372036854775809", "18446744073709551616", "1.5", "1.0",
                          "0.0", "1e3", "1E0", "-2e0", "true", "false", "\"1\"", "[1]", "{}"}) {
    expectRefused<ReferralSummary>(referral(bad));
  }
  // Booleans refuse numbers.
  expectRefused<EarningsSummary>(
      R"({"totalMicros":1,"pendingMicros":2,"availableMicros":3,"held":1,"payoutReady":false})");
  // Optional integers are just as strict.
  expectRefused<CompleteResponse>(R"({"status":"accepted","rewardMicros":10.0})");
}

TEST(WireRecords, MalformedBodiesAndWrongShapesAreDecodingErrors) {
  for (const char* bad : {"", " ", "nope", "{", R"({"leaseId":})", "{} {}", "{}x", R"({"a":1,})", "[1,]",
                          "\"\\ud800\"", "\"\xC3\x28\"", "NaN", "01"}) {
    expectRefused<EmptyResponse>(bad);
  }
  for (const char* notObject : {"[]", "true", "null", "\"x\"", "1"}) expectRefused<CompleteResponse>(notObject);
  // A repeated key makes the answer ambiguous, wherever it is.
  expectRefused<CompleteResponse>(R"({"status":"accepted","status":"rejected"})");
  expectRefused<EmptyResponse>(R"([{"a":{"b":1,"b":1}}])");
  std::string many = "{";
  for (int i = 0; i < 200; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  EXPECT_NO_THROW(decodeJson<EmptyResponse>(many + R"("k":{"k":{"k":0}}})"));
  expectRefused<EmptyResponse>(many + R"("k150":0})");
  expectRefused<EmptyResponse>(many + R"("k3":0})");
  // A nested record of the wrong shape fails the outer record.
  expectRefused<DeviceResponse>(R"({"deviceId":"d","balanceMicros":0,"mode":"live","earnings":[]})");
  expectRefused<DeviceResponse>(
      R"({"deviceId":"d","balanceMicros":0,"mode":"live","reports":{"daily":[{"day":"2026-01-01"}]}})");
  expectRefused<DeviceResponse>(R"({"deviceId":"d","balanceMicros":0,"mode":"live","reports":{"daily":{}}})");
  expectRefused<requests::ExposureStart>(
      R"({"placement":"m","preferences":{"blockedAdvertiserIds":[1],"allowedCategories":[]}})");
  expectRefused<requests::EmptyBody>("[]");
}

TEST(WireRecords, EmptyResponseAcceptsAnyWellFormedJson) {
  for (const char* body : {"{}", "[]", "true", "null", "0", "\"text\"", R"({"anything":[1,{"x":null}]})", " {} \n"}) {
    EXPECT_NO_THROW(decodeJson<EmptyResponse>(body)) << body;
  }
  // Deep nesting is neither a crash nor a stack overflow.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_NO_THROW(decodeJson<EmptyResponse>(deep));
  expectRefused<EmptyResponse>(std::string(100000, '['));
}

TEST(WireRecords, TextsSurviveUnchangedAndIllFormedTextIsNotEncoded) {
  using namespace std::string_literals;
  CompleteResponse response{"rejected", "line\nbreak \"quoted\" \xC3\xA8 \0 end"s, std::nullopt, std::nullopt,
                            std::nullopt};
  ASSERT_EQ(response.reason->size(), 28u);
  EXPECT_EQ(decodeJson<CompleteResponse>(encodeJson(response)), response);
  response.reason = "bad \xFF byte";
  EXPECT_THROW(encodeJson(response), EncodingError);
}

// Lease validity

const Date now = *parseInternetDate("2026-01-02T03:00:00Z");

// Every optional field set, valid until 03:04:05, five minutes after `now`.
ExposureLease validLease() { return fullLease(); }

ExposureLease previewLease() {
  ExposureLease lease = validLease();
  lease.preview = true;
  lease.termsVersion = "admin-preview-v1";
  lease.measurementVersion = "admin-preview-v1";
  lease.rewardMicros = 0;
  lease.campaignId = "123e4567-e89b-12d3-a456-426614174000";
  return lease;
}

std::string repeated(std::string_view unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

struct Change {
  std::function<void(ExposureLease&)> apply;
  bool valid;
};

void expectValidity(const ExposureLease& base, std::initializer_list<Change> changes) {
  int row = 0;
  for (const auto& change : changes) {
    ExposureLease lease = base;
    change.apply(lease);
    EXPECT_EQ(lease.isValid(now), change.valid) << "change " << row;
    ++row;
  }
}

TEST(LeaseValidity, AcceptsExactlyTheFourTermCombinations) {
  EXPECT_TRUE(validLease().isValid(now));
  EXPECT_TRUE(previewLease().isValid(now));
  expectValidity(validLease(), {
      {[](auto& l) { l.measurementVersion = "menubar-qualified-10s-v1"; }, true},
      {[](auto& l) { l.termsVersion = "brand-v1"; }, true},
      {[](auto& l) { l.termsVersion = "minute-v2", l.durationMs = 60000, l.measurementVersion = "menubar-qualified-60s-v2"; }, true},
      // Duration and measurement version fixed by the terms; unknown terms.
      {[](auto& l) { l.termsVersion = "minute-v2"; }, false},
      {[](auto& l) { l.durationMs = 60000; }, false},
      {[](auto& l) { l.measurementVersion = "menubar-qualified-60s-v2"; }, false},
      {[](auto& l) { l.termsVersion = "minute-v2", l.durationMs = 60000, l.measurementVersion = "menubar-qualified-10s-v1"; }, false},
      {[](auto& l) { l.termsVersion = "brand-v2"; }, false},
  });
  // Previews carry no reward, a named measurement and a campaign UUID, and need the flag.
  expectValidity(previewLease(), {
      {[](auto& l) { l.preview = false; }, false},
      {[](auto& l) { l.rewardMicros = 1; }, false},
      {[](auto& l) { l.measurementVersion = std::nullopt; }, false},
      {[](auto& l) { l.campaignId = std::nullopt; }, false},
      {[](auto& l) { l.campaignId = "campaign-1"; }, false},
  });
  EXPECT_TRUE(previewLease().isPreview());
  EXPECT_FALSE(previewLease().requiresReceipt() || previewLease().isMinute());
  ExposureLease flaggedOnly = validLease();
  flaggedOnly.preview = true;
  EXPECT_FALSE(flaggedOnly.isPreview());
  EXPECT_TRUE(flaggedOnly.requiresReceipt());
  flaggedOnly.termsVersion = "minute-v2";
  EXPECT_TRUE(flaggedOnly.isMinute());
}

TEST(LeaseValidity, IdentifiersNumbersAndExpiry) {
  using L = ExposureLease;
  const std::string flag = "\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9";
  // Lengths count user-perceived characters (128 decomposed "é" are 384 bytes); expiry
  // must parse and lie strictly after now.
  const std::tuple<std::string L::*, std::string, bool> texts[] = {
      {&L::leaseId, std::string(128, 'a'), true}, {&L::leaseId, std::string(129, 'a'), false},
      {&L::leaseId, repeated("e\xCC\x81", 128), true}, {&L::leaseId, repeated("e\xCC\x81", 129), false},
      {&L::leaseId, "", false}, {&L::leaseId, "a\nb", false}, {&L::leaseId, "a\rb", true},
      {&L::leaseId, "lease\xFF", false}, {&L::nonce, std::string(512, 'n'), true},
      {&L::nonce, std::string(513, 'n'), false}, {&L::nonce, repeated(flag, 512), true},
      {&L::nonce, repeated(flag, 513), false}, {&L::nonce, "", false}, {&L::nonce, "x\n", false},
      {&L::currency, "eur", false}, {&L::currency, "EUR ", false}, {&L::currency, "USD", false},
      {&L::expiresAt, "2026-01-02T03:00:00Z", false}, {&L::expiresAt, "2026-01-02T03:00:00.001Z", true},
      {&L::expiresAt, "2026-01-02T02:59:59.999Z", false}, {&L::expiresAt, "2026-01-02T04:00:01+01:00", true},
      {&L::expiresAt, "2026-01-02T04:00:00+01:00", false}, {&L::expiresAt, "2026-01-02 03:04:05", false},
  };
  for (const auto& [field, value, valid] : texts) {
    ExposureLease lease = validLease();
    lease.*field = value;
    EXPECT_EQ(lease.isValid(now), valid) << value.substr(0, 40);
  }
  for (std::int64_t duration : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{9999}, std::int64_t{10001},
                                std::int64_t{60001}, INT64_MIN, INT64_MAX}) {
    expectValidity(validLease(), {{[&](auto& l) { l.durationMs = duration; }, false}});
  }
  expectValidity(validLease(), {{[](auto& l) { l.rewardMicros = 0; }, true}, {[](auto& l) { l.rewardMicros = -1; }, false}});
  EXPECT_EQ(validLease().expiration(), parseInternetDate("2026-01-02T03:04:05Z"));
}

TEST(LeaseValidity, CreativeTextLimitsInCharacters) {
  struct Limit {
    std::string SponsorCreative::*field;
    std::size_t maximum;
    bool mayBeEmpty;
  };
  for (const Limit limit : {Limit{&SponsorCreative::sponsor, 120, false}, Limit{&SponsorCreative::headline, 200, false},
                            Limit{&SponsorCreative::body, 1000, true}, Limit{&SponsorCreative::cta, 80, true}}) {
    auto with = [&](std::string text) {
      ExposureLease lease = validLease();
      lease.creative.*(limit.field) = std::move(text);
      return lease.isValid(now);
    };
    EXPECT_TRUE(with(std::string(limit.maximum, 'x'))) << limit.maximum;
    EXPECT_FALSE(with(std::string(limit.maximum + 1, 'x'))) << limit.maximum;
    EXPECT_TRUE(with(repeated("\xC3\xA8", limit.maximum))) << limit.maximum;            // è, 2 bytes each
    EXPECT_FALSE(with(repeated("\xC3\xA8", limit.maximum + 1))) << limit.maximum;
    EXPECT_TRUE(with(repeated("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", limit.maximum)));     // thumbs up + tone
    // CR LF counts as one character, also in plain ASCII text.
    EXPECT_TRUE(with(std::string(limit.maximum - 1, 'x') + "\r\n")) << limit.maximum;
    EXPECT_FALSE(with(std::string(limit.maximum - 1, 'x') + "\n\r")) << limit.maximum;
    EXPECT_EQ(with(""), limit.mayBeEmpty) << limit.maximum;
    EXPECT_FALSE(with("bad \xC3")) << limit.maximum;
  }
}

TEST(LeaseValidity, AdvertiserLinkMustBeOpenable) {
  expectValidity(validLease(), {
      {[](auto& l) { l.creative.url = "https://acme.example/p?q=1#top"; }, true},
      {[](auto& l) { l.creative.url = "http://acme.example"; }, false},
      {[](auto& l) { l.creative.url = "https://localhost/x"; }, false},
  });
}

TEST(DeviceAuthorizationStart, ExpirationIsTheParsedExpiry) {
  DeviceAuthorizationStart start{"dc", "ABCD", "https://h/connect?code=ABCD", "2026-01-02T03:04:05.678+00:00", 5,
                                 NetworkMode::live};
  EXPECT_EQ(start.expiration(), parseInternetDate("2026-01-02T03:04:05.678Z"));
  start.expiresAt = "tomorrow";
  EXPECT_FALSE(start.expiration().has_value());
}

}  // namespace
}  // namespace nimbrella
