#pragma once

// The development server on an in-memory store at a fixed moment, as the server fuzz
// targets drive it.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <memory>
#include <vector>

namespace nimbrella::server::fuzzing {

struct ServerFixture {
  ManualClock clock{*parseInternetDate("2026-03-10T12:00:00Z")};
  Store store{":memory:"};
  std::unique_ptr<DevServer> server;

  explicit ServerFixture(std::vector<Campaign> campaigns = {}, ServerOptions options = {})
      : server(std::make_unique<DevServer>(store, std::move(campaigns), clock, options)) {}

  // A new pending authorization for a fresh key.
  DeviceAuthorizationStart startAuthorization() {
    const ReceiptSigner signer;
    HttpRequest start;
    start.method = "POST";
    start.path = "/api/devices/authorization/start";
    start.headers = {{"Content-Type", "application/json"}};
    start.body = encodeJson(requests::AuthorizationStart{"Fuzz", signer.publicKey()});
    return decodeJson<DeviceAuthorizationStart>(server->handle(start).body);
  }
};

}  // namespace nimbrella::server::fuzzing
