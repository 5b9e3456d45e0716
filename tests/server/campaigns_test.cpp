// The server's pieces below HTTP: the campaign file (the sample ships valid, files the
// application would refuse are refused whole), the completion decision, host headers,
// forms, cookies, escaping and secrets.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Completion.hpp"
#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/Http.hpp"
#include "SponsorServer/Pages.hpp"

#include "SponsorCore/Json.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>

namespace nimbrella::server {
namespace {

TEST(ServerCampaigns, TheSampleHasBothTermsAndAPreviewActiveOnlyWhenEnabled) {
  std::set<std::string> terms;
  for (const bool previews : {false, true}) {
    for (const auto& campaign : loadCampaignFile(NIMBRELLA_SAMPLE_CAMPAIGNS, previews)) {
      if (campaign.termsVersion) terms.insert(*campaign.termsVersion);
      if (campaign.isPreview()) {
        EXPECT_EQ(campaign.active, previews);
      }
    }
  }
  EXPECT_EQ(terms, (std::set<std::string>{"admin-preview-v1", "brand-v1", "minute-v2"}));
}

TEST(ServerCampaigns, RefusesAnyCampaignTheApplicationWouldRefuse) {
  std::ifstream sample(NIMBRELLA_SAMPLE_CAMPAIGNS);
  const auto base = json::parse(std::string(std::istreambuf_iterator<char>(sample), {}));
  const auto mutate = [&](const std::function<void(json::Json&)>& change) {
    auto copy = base;
    change(copy["campaigns"][0]);
    return copy.dump();
  };
  const std::vector<std::string> broken = {
      mutate([](json::Json& c) { c["id"] = "not-a-uuid"; }),
      mutate([](json::Json& c) { c["rewardMicros"] = -1; }),
      mutate([](json::Json& c) { c["termsVersion"] = "brand-v9"; }),
      mutate([](json::Json& c) { c["termsVersion"] = "admin-preview-v1"; }),  // pays a reward
      mutate([](json::Json& c) { c["creative"]["url"] = "http://sample.example/"; }),
      mutate([](json::Json& c) { c["creative"]["url"] = "https://127.0.0.1/"; }),
      mutate([](json::Json& c) { c["creative"]["sponsor"] = ""; }),
      mutate([](json::Json& c) { c["creative"]["menuText"] = "Ad: Lumen Notes"; }),
      mutate([](json::Json& c) { c["creative"]["menuTagline"] = std::string(35, 't'); }),
      mutate([](json::Json& c) { c["creative"]["menuTagline"] = "tab\there"; }),
      mutate([](json::Json& c) { c["creative"]["accentColor"] = "#12345"; }),
      mutate([](json::Json& c) { c["creative"]["logoData"] = "data:image/png;base64,AAAA"; }),
      mutate([](json::Json& c) { c["creative"]["category"] = "gambling"; }),
      mutate([](json::Json& c) { c["creative"]["advertiserId"] = "x"; }),
      mutate([](json::Json& c) { c["cooldownSeconds"] = 86401; }),
      mutate([](json::Json& c) { c.erase("active"); }),
      mutate([&](json::Json& c) { c["id"] = base["campaigns"][1]["id"]; }),
      "{\"campaigns\": []}", "[]", "{",
  };
  for (const auto& text : broken) EXPECT_THROW(parseCampaigns(text), CampaignError) << text.substr(0, 200);
}

TEST(ServerHelpers, CompletionDecisionFollowsTheLeaseTheClaimAndTheTime) {
  using Kind = CompletionDecision::Kind;
  constexpr std::int64_t week = lateReceiptWindowMs;
  using Change = std::function<void(LeaseRow&, CompletionClaim&)>;
  const Change none = [](LeaseRow&, CompletionClaim&) {};
  // The boundaries and the cases the server over HTTP does not reach.
  const std::vector<std::tuple<LeaseState, std::int64_t, Change, Kind, std::string>> cases = {
      {LeaseState::open, week, none, Kind::credit, ""},  // the last moment of the week
      {LeaseState::open, week + 1, none, Kind::refuse, "lease_expired"},
      {LeaseState::open, 10000, [](LeaseRow&, CompletionClaim& c) { c.sequence = 2; }, Kind::refuse,
       "invalid_sequence"},
      {LeaseState::open, 10000, [](LeaseRow& l, CompletionClaim&) { l.preview = true; }, Kind::refuse,
       "preview_lease"},
      // The same request again, however late, gets the first answer.
      {LeaseState::completed, week * 2, [](LeaseRow& l, CompletionClaim& c) { l.completion = c.received; },
       Kind::repeat, ""},
      // Closed by an earlier server: its reason stands.
      {LeaseState::rejected, 10000, [](LeaseRow& l, CompletionClaim&) { l.reason = "too_early"; }, Kind::refuse,
       "too_early"},
  };
  for (const auto& [state, nowMs, change, kind, reason] : cases) {
    LeaseRow lease;
    lease.nonce = "n";
    lease.durationMs = 10000;
    lease.state = state;
    CompletionClaim claim{"{\"leaseId\":\"l\"}", "n", 10000, 1, true};
    change(lease, claim);
    const auto decision = decideCompletion(lease, claim, nowMs);
    EXPECT_EQ(decision.kind, kind) << reason << " at " << nowMs;
    EXPECT_EQ(decision.reason, reason) << reason << " at " << nowMs;
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

TEST(ServerHelpers, EscapingMoneyFormsCookiesAndSecrets) {
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(formatMicros(2500, AppLanguage::en), "0.0025 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(12'000'000, AppLanguage::it), "12,00 \xE2\x82\xAC");
  EXPECT_EQ(formatMicros(INT64_MIN, AppLanguage::en), "-9223372036854.775808 \xE2\x82\xAC");

  const auto form = parseFormEncoded("a=1+2&b=%41%2f&c&&=x");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->size(), 4u);
  EXPECT_EQ((*form)[0].second, "1 2");
  EXPECT_EQ((*form)[1].second, "A/");
  EXPECT_FALSE(parseFormEncoded("a=%4") || parseFormEncoded("a=%zz"));

  HttpRequest request;
  request.headers = {{"Cookie", "x=1; nimbrella_session=abc; y=2"}};
  EXPECT_EQ(cookieValue(request, "nimbrella_session"), "abc");
  request.headers.emplace_back("cookie", "nimbrella_session=def");
  EXPECT_FALSE(cookieValue(request, "nimbrella_session"));  // two values: neither is trusted

  const std::string token = randomToken();
  EXPECT_TRUE(isTokenText(token));
  EXPECT_NE(token, randomToken());
  const std::string uuid = randomUuid();
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_EQ(uuid[14], '4');
  EXPECT_NE(uuid, randomUuid());
}

}  // namespace
}  // namespace nimbrella::server
