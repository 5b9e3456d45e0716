// The campaign file: the sample ships valid, and files the application would refuse are
// refused whole.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Completion.hpp"
#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/Http.hpp"
#include "SponsorServer/Pages.hpp"

#include "SponsorCore/Base64.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace nimbrella::server {
namespace {

std::string sampleText() {
  std::ifstream file(NIMBRELLA_SAMPLE_CAMPAIGNS);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ServerCampaigns, TheSampleFileHasBothTermsAndAnInactivePreview) {
  const auto campaigns = parseCampaigns(sampleText());
  std::set<std::string> terms;
  int previews = 0;
  for (const auto& campaign : campaigns) {
    if (campaign.termsVersion) terms.insert(*campaign.termsVersion);
    EXPECT_TRUE(campaign.creative.logoData && campaign.creative.accentColor &&
                campaign.creative.category);
    if (campaign.isPreview()) {
      ++previews;
      EXPECT_FALSE(campaign.active);
    }
  }
  EXPECT_TRUE(terms.count("brand-v1") && terms.count("minute-v2"));
  EXPECT_EQ(previews, 1);
  for (const auto& campaign : parseCampaigns(sampleText(), true)) {
    if (campaign.isPreview()) {
      EXPECT_TRUE(campaign.active);
    }
  }
}

TEST(ServerCampaigns, RefusesAnyCampaignTheApplicationWouldRefuse) {
  const auto base = json::parse(sampleText());
  const auto mutate = [&](auto change) {
    auto copy = base;
    change(copy["campaigns"][0]);
    return copy.dump();
  };
  const std::vector<std::string> broken = {
      mutate([](auto& c) { c["id"] = "not-a-uuid"; }),
      mutate([](auto& c) { c["rewardMicros"] = -1; }),
      mutate([](auto& c) { c["termsVersion"] = "brand-v9"; }),
      mutate([](auto& c) { c["termsVersion"] = "admin-preview-v1"; }),  // pays a reward
      mutate([](auto& c) { c["creative"]["url"] = "http://sample.example/"; }),
      mutate([](auto& c) { c["creative"]["url"] = "https://127.0.0.1/"; }),
      mutate([](auto& c) { c["creative"]["sponsor"] = ""; }),
      mutate([](auto& c) { c["creative"]["menuText"] = "Ad: Lumen Notes"; }),
      mutate([](auto& c) { c["creative"]["menuTagline"] = std::string(35, 't'); }),
      mutate([](auto& c) { c["creative"]["menuTagline"] = "tab\there"; }),
      mutate([](auto& c) { c["creative"]["accentColor"] = "#12345"; }),
      mutate([](auto& c) { c["creative"]["logoData"] = "data:image/png;base64,AAAA"; }),
      mutate([](auto& c) { c["creative"]["category"] = "gambling"; }),
      mutate([](auto& c) { c["creative"]["advertiserId"] = "x"; }),
      mutate([](auto& c) { c["cooldownSeconds"] = 86401; }),
      mutate([](auto& c) { c.erase("active"); }),
      [&] {
        auto copy = base;
        copy["campaigns"][1]["id"] = copy["campaigns"][0]["id"];
        return copy.dump();
      }(),
      "{\"campaigns\": []}",
      "[]",
      "{",
  };
  for (const auto& text : broken) {
    EXPECT_THROW(parseCampaigns(text), CampaignError) << text.substr(0, 200);
  }
}

TEST(ServerHelpers, EscapingFormsAndSecrets) {
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(formatMicros(2500, AppLanguage::en), "0.0025 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(12'000'000, AppLanguage::it), "12,00 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(INT64_MIN, AppLanguage::en), "-9223372036854.775808 \xE2\x82\xAC");

  const auto form = parseFormEncoded("a=1+2&b=%41%2f&c&&=x");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->size(), 4u);
  EXPECT_EQ((*form)[0].second, "1 2");
  EXPECT_EQ((*form)[1].second, "A/");
  EXPECT_FALSE(parseFormEncoded("a=%4"));
  EXPECT_FALSE(parseFormEncoded("a=%zz"));

  HttpRequest request;
  request.headers = {{"Cookie", "x=1; nimbrella_session=abc; y=2"}};
  EXPECT_EQ(cookieValue(request, "nimbrella_session"), "abc");
  request.headers.emplace_back("cookie", "nimbrella_session=def");
  EXPECT_FALSE(cookieValue(request, "nimbrella_session"));  // two values: neither is trusted

  std::set<std::string> tokens;
  for (int i = 0; i < 100; ++i) {
    const auto token = randomToken();
    EXPECT_TRUE(isTokenText(token));
    tokens.insert(token);
  }
  EXPECT_EQ(tokens.size(), 100u);
  EXPECT_EQ(randomUuid().size(), 36u);
  EXPECT_EQ(randomUuid()[14], '4');
}

TEST(ServerHelpers, SignatureVerificationAgreesWithTheSigner) {
  const ReceiptSigner signer;
  const ReceiptSigner other;
  const std::string message = ReceiptSigner::message("lease", "nonce", 10000, 1);
  const std::string signature = signer.signature("lease", "nonce", 10000, 1);
  auto der = *base64::decode(signature);
  der.push_back(0);
  const std::string trailing = base64::encode(der);

  const SignatureVerifier verifier;
  struct Case {
    std::string key, message, signature;
  };
  const std::vector<Case> cases = {
      {signer.publicKey(), message, signature},
      {signer.publicKey(), message + "0", signature},
      {other.publicKey(), message, signature},
      {signer.publicKey(), message, trailing},
      {signer.publicKey(), message, signature.substr(0, signature.size() - 4)},
      {signer.publicKey(), message, ""},
      {"", message, signature},
      {signer.publicKey().substr(4), message, signature},
  };
  for (int round = 0; round < 2; ++round) {  // the second round uses the kept keys
    for (const auto& c : cases) {
      EXPECT_EQ(verifier.verify(c.key, c.message, c.signature),
                verifyReceiptSignature(c.key, c.message, c.signature));
    }
  }
  EXPECT_TRUE(verifier.verify(signer.publicKey(), message, signature));
  EXPECT_EQ(p256KeyFingerprint(signer.publicKey()), signer.publicKeyFingerprint());
}

TEST(ServerHelpers, CompletionDecisionFollowsTheLeaseTheClaimAndTheTime) {
  using Kind = CompletionDecision::Kind;
  constexpr std::int64_t week = lateReceiptWindowMs;
  struct Case {
    const char* name;
    LeaseState state;
    std::int64_t nowMs;
    std::function<void(LeaseRow&, CompletionClaim&)> change;
    Kind kind;
    std::string reason;
  };
  const auto none = [](LeaseRow&, CompletionClaim&) {};
  const std::vector<Case> cases = {
      {"at the duration", LeaseState::open, 10000, none, Kind::credit, ""},
      {"on the last day", LeaseState::open, week, none, Kind::credit, ""},
      {"after a week", LeaseState::open, week + 1, none, Kind::refuse, "lease_expired"},
      {"early", LeaseState::open, 9999, none, Kind::refuse, "too_early"},
      {"short", LeaseState::open, 10000, [](LeaseRow&, CompletionClaim& c) { c.elapsedMs = 9999; },
       Kind::refuse, "insufficient_elapsed"},
      {"signature", LeaseState::open, 10000,
       [](LeaseRow&, CompletionClaim& c) { c.signatureValid = false; }, Kind::refuse, "invalid_signature"},
      {"nonce", LeaseState::open, 10000, [](LeaseRow&, CompletionClaim& c) { c.nonce = "m"; },
       Kind::refuse, "nonce_mismatch"},
      {"sequence", LeaseState::open, 10000, [](LeaseRow&, CompletionClaim& c) { c.sequence = 2; },
       Kind::refuse, "invalid_sequence"},
      {"preview", LeaseState::open, 10000, [](LeaseRow& l, CompletionClaim&) { l.preview = true; },
       Kind::refuse, "preview_lease"},
      {"repeat", LeaseState::completed, week * 2, [](LeaseRow& l, CompletionClaim& c) { l.completion = c.received; },
       Kind::repeat, ""},
      {"resigned", LeaseState::completed, 10000, [](LeaseRow& l, CompletionClaim&) { l.completion = "{}"; },
       Kind::refuse, "already_completed"},
      {"cancelled", LeaseState::cancelled, 10000, none, Kind::refuse, "lease_cancelled"},
      {"finished", LeaseState::finished, 10000, none, Kind::refuse, "lease_closed"},
      {"closed by an earlier server", LeaseState::rejected, 10000,
       [](LeaseRow& l, CompletionClaim&) { l.reason = "too_early"; }, Kind::refuse, "too_early"},
  };
  for (const auto& c : cases) {
    LeaseRow lease;
    lease.nonce = "n";
    lease.durationMs = 10000;
    lease.state = c.state;
    CompletionClaim claim{"{\"leaseId\":\"l\"}", "n", 10000, 1, true};
    c.change(lease, claim);
    const auto decision = decideCompletion(lease, claim, c.nowMs);
    EXPECT_EQ(decision.kind, c.kind) << c.name;
    EXPECT_EQ(decision.reason, c.reason) << c.name;
  }
}

TEST(ServerHelpers, HostHeadersAndOrigins) {
  const std::vector<std::pair<std::string, std::optional<HostPort>>> cases = {
      {"127.0.0.1:3217", HostPort{"127.0.0.1", 3217}},
      {"LocalHost:80", HostPort{"localhost", 80}},
      {"example.org", HostPort{"example.org", 80}},
      {"[::1]:8080", HostPort{"[::1]", 8080}},
      {"", std::nullopt}, {"host:", std::nullopt}, {"host:0", std::nullopt},
      {"host:65536", std::nullopt}, {"host:12a", std::nullopt}, {"a b", std::nullopt},
      {"[::1", std::nullopt}, {".host", std::nullopt}, {"host.:1", std::nullopt},
      {"user@host", std::nullopt}, {"[]:1", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseHost(text), expected) << text;
  EXPECT_EQ(originHost("https://api.example"), (HostPort{"api.example", 443}));
  EXPECT_EQ(originHost("http://127.0.0.1:3217"), (HostPort{"127.0.0.1", 3217}));
  EXPECT_EQ(originHost("ftp://x"), std::nullopt);
}

}  // namespace
}  // namespace nimbrella::server
