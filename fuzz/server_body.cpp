// Feeds arbitrary bytes as the body of every JSON route of the development server, with a
// connected device's token, and checks that each answer is a well-formed HTTP answer: a
// known status and, for refusals, a JSON object with a string "code".

#include "fuzz/ServerFixture.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace nimbrella;
using namespace nimbrella::server;

Campaign fuzzCampaign() {
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
  return campaign;
}

ServerOptions approving() {
  ServerOptions options;
  options.autoApprove = true;
  return options;
}

// A connected device: its authorization approved at the first poll.
struct Fixture : fuzzing::ServerFixture {
  std::string token;

  Fixture() : ServerFixture({fuzzCampaign()}, approving()) {
    token = startAuthorization().deviceCode;
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
