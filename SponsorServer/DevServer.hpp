#pragma once

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/Http.hpp"
#include "SponsorServer/Store.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace nimbrella::server {

struct ServerOptions {
  // The origin the server names in the addresses it hands out, without a trailing "/".
  std::string origin = "http://127.0.0.1:3217";
  // The polling interval announced to the application, 2 to 60 seconds.
  std::int64_t pollIntervalSeconds = 5;
  // Approve every pending authorization at its first poll.
  bool autoApprove = false;
  // How long after its duration a lease is offered for (its announced expiry).
  std::int64_t leaseGraceMs = 60'000;
  // Authorization starts accepted per minute, all clients together.
  std::int64_t authorizationStartsPerMinute = 60;
};

// How long things live.
inline constexpr std::int64_t authorizationLifetimeMs = 10 * 60 * 1000;
inline constexpr std::int64_t ticketLifetimeMs = 60 * 1000;
inline constexpr std::int64_t handoffClockSkewSeconds = 300;
inline constexpr std::int64_t browserSessionLifetimeMs = 12 * 3600 * 1000;
inline constexpr int reportedDays = 30;

// A device name the connection page may show: well-formed UTF-8 of 1 to 64 characters
// with something visible, without control characters, line or paragraph separators,
// unassigned code points or bidirectional controls.
bool isAcceptableDeviceName(std::string_view name);

// The development server's request handlers: the whole server contract of the
// application (device authorization, account, browser hand-off, exposures) and its
// browser pages. Independent of the HTTP library, so tests and fuzzing can call it in
// process; thread-safe.
class DevServer {
 public:
  DevServer(Store& store, std::vector<Campaign> campaigns, const Clock& clock,
            ServerOptions options);

  // Answers one request. Never throws: an unexpected failure is a 500 with a JSON body.
  HttpResponse handle(const HttpRequest& request) const;

  // Replaces the origin (once the real port is known). Call before serving.
  void setOrigin(std::string origin);
  const ServerOptions& options() const { return options_; }

 private:
  HttpResponse route(const HttpRequest& request) const;

  HttpResponse startAuthorization(const HttpRequest& request) const;
  HttpResponse pollAuthorization(const HttpRequest& request) const;
  HttpResponse me(const HttpRequest& request) const;
  HttpResponse revoke(const HttpRequest& request) const;
  HttpResponse browserSession(const HttpRequest& request) const;
  HttpResponse startExposure(const HttpRequest& request) const;
  HttpResponse completeExposure(const HttpRequest& request) const;
  HttpResponse cancelExposure(const HttpRequest& request) const;
  HttpResponse clickExposure(const HttpRequest& request) const;

  HttpResponse connectPage(const HttpRequest& request) const;
  HttpResponse approve(const HttpRequest& request) const;
  HttpResponse handoffPage(const HttpRequest& request) const;
  HttpResponse redeemTicket(const HttpRequest& request) const;
  HttpResponse dashboard(const HttpRequest& request) const;
  HttpResponse dashboardRevoke(const HttpRequest& request) const;

  Store& store_;
  std::vector<Campaign> campaigns_;
  const Clock& clock_;
  ServerOptions options_;
  SignatureVerifier verifier_;
};

}  // namespace nimbrella::server
