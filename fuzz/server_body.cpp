// Feeds arbitrary bytes as the body of every JSON route of the development server, with a
// connected device's token, and checks that each answer is a well-formed HTTP answer: a
// known status and, for refusals, a JSON object with a string "code".

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace nimbrella;
using namespace nimbrella::server;

struct Fixture {
  ManualClock clock{*parseInternetDate("2026-03-10T12:00:00Z")};
  Store store{":memory:"};
  std::unique_ptr<DevServer> server;
  std::string token;

  Fixture() {
    Campaign campaign;
    campaign.id = "11111111-1111-4111-8111-111111111111";
    campaign.active = true;
    campaign.termsVersion = "brand-v1";
    campaign.rewardMicros = 10;
    campaign.creative.advertiserId = "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa";
    campaign.creative.sponsor = "Fuzz";
    campaign.creative.headline = "Fuzz";
    campaign.creative.body = "Fuzz";
    campaign.creative.cta = "Open";
    campaign.creative.url = "https://fuzz.example/";
    ServerOptions options;
    options.autoApprove = true;
    server = std::make_unique<DevServer>(store, std::vector<Campaign>{campaign}, clock, options);

    const ReceiptSigner signer;
    HttpRequest start;
    start.method = "POST";
    start.path = "/api/devices/authorization/start";
    start.headers = {{"Content-Type", "application/json"}};
    start.body = encodeJson(requests::AuthorizationStart{"Fuzz", signer.publicKey()});
    token = decodeJson<DeviceAuthorizationStart>(server->handle(start).body).deviceCode;
    HttpRequest poll;
    poll.method = "GET";
    poll.path = "/api/devices/authorization/poll";
    poll.headers = {{"Authorization", "Bearer " + token}};
    server->handle(poll);
  }
};

const char* const routes[] = {
    "/api/devices/authorization/start", "/api/devices/browser-session", "/api/exposures/start",
    "/api/exposures/complete",          "/api/exposures/cancel",        "/api/exposures/click",
    "/api/auth/ticket",                 "/connect/approve",             "/dashboard/revoke",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  const std::size_t route = data[0] % (sizeof routes / sizeof routes[0]);
  HttpRequest request;
  request.method = "POST";
  request.path = routes[route];
  const bool form = route >= 7;
  request.headers = {{"Content-Type", form ? "application/x-www-form-urlencoded" : "application/json"},
                     {"Authorization", "Bearer " + fixture.token},
                     {"Cookie", "nimbrella_session=" + std::string(43, 'A')}};
  request.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);

  const HttpResponse response = fixture.server->handle(request);
  if (response.status < 200 || response.status > 599 || response.status == 500) std::abort();
  if (response.status >= 400 && response.contentType == "application/json") {
    const auto body = json::parse(response.body);
    if (!body.is_object() || !body.contains("code") || !body["code"].is_string()) std::abort();
  }
  // Leases that the fuzzer opened are closed again so that starts keep being exercised.
  if (route == 2 && response.status == 200) {
    const auto lease = decodeJson<ExposureLease>(response.body);
    HttpRequest cancel;
    cancel.method = "POST";
    cancel.path = "/api/exposures/cancel";
    cancel.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + fixture.token}};
    cancel.body = encodeJson(requests::Cancel{lease.leaseId});
    if (fixture.server->handle(cancel).status != 200) std::abort();
  }
  return 0;
}
