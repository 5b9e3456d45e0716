// The development server's parsers of untrusted text: the campaign file, form and query
// encoding, cookies, the Authorization header and the Host header. Each must refuse or
// parse without crashing, and what it accepts must hold its own promises.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Http.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace nimbrella::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0:
      try {
        for (const auto& campaign : parseCampaigns(text, (data[0] & 0x10) != 0)) {
          if (campaign.id.empty() || campaign.rewardMicros < 0) std::abort();
        }
      } catch (const std::exception&) {
      }
      break;
    case 1:
      parseFormEncoded(text);
      break;
    case 2: {
      HttpRequest request;
      request.headers = {{"Cookie", text}, {"Authorization", text}};
      cookieValue(request, "nimbrella_session");
      if (const auto token = bearerToken(request); token && token->size() != 43) std::abort();
      break;
    }
    default: {
      const auto host = parseHost(text);
      if (host && (host->port < 1 || host->port > 65535 || host->host.empty())) std::abort();
      if (host && parseHost(host->host + ":" + std::to_string(host->port)) != host) std::abort();
      originHost(text);
      HttpRequest request;
      request.headers = {{"Host", text}};
      if (hostAllowed(request, {HostPort{"127.0.0.1", 3217}}) &&
          (!host || *host != HostPort{"127.0.0.1", 3217})) {
        std::abort();
      }
    }
  }
  return 0;
}
