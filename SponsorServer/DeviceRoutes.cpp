// Device authorization, account and the application's side of the browser hand-off.

#include "SponsorServer/DevServer.hpp"

#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/RouteSupport.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/Uuid.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace nimbrella::server {

using namespace routes;

// Device authorization ---------------------------------------------------------------------

HttpResponse DevServer::startAuthorization(const HttpRequest& request) const {
  const auto body = decodeBody<requests::AuthorizationStart>(request);
  if (!isAcceptableDeviceName(body.name)) return errorResponse(400, "invalid_name");
  const auto fingerprint = p256KeyFingerprint(body.publicKey);
  if (!fingerprint) return errorResponse(400, "invalid_public_key");

  const Date now = clock_.now();
  AuthorizationRow row;
  row.name = body.name;
  row.publicKey = body.publicKey;
  row.fingerprint = *fingerprint;
  row.createdMs = millis(now);
  row.expiresMs = row.createdMs + authorizationLifetimeMs;
  enum class Outcome { stored, limited, collided };
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    session.pruneAuthorizations(row.createdMs);
    if (session.authorizationsSince(row.createdMs - 60'000) >=
        options_.authorizationStartsPerMinute) {
      return Outcome::limited;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
      row.deviceCode = randomToken();
      row.userCode = upperHex(randomBytes(6));
      if (session.insertAuthorization(row)) return Outcome::stored;
    }
    return Outcome::collided;
  });
  if (outcome == Outcome::limited) {
    HttpResponse response = errorResponse(429, "too_many_authorizations");
    response.headers.emplace_back("Retry-After", "60");
    return response;
  }
  if (outcome == Outcome::collided) return errorResponse(503, "try_again");

  DeviceAuthorizationStart answer;
  answer.deviceCode = row.deviceCode;
  answer.userCode = row.userCode;
  answer.verificationUrl = options_.origin + "/en/connect?code=" + row.userCode;
  answer.expiresAt = formatInternetDate(fromMillis(row.expiresMs));
  answer.interval = options_.pollIntervalSeconds;
  answer.mode = NetworkMode::live;
  return jsonResponse(200, answer.toJson());
}

HttpResponse DevServer::pollAuthorization(const HttpRequest& request) const {
  const auto token = bearerToken(request);
  if (!token) return errorResponse(401, "unauthorized");
  const std::int64_t nowMs = millis(clock_.now());

  DeviceAuthorizationPoll answer;
  answer.mode = NetworkMode::live;
  const bool known = store_.transaction([&](StoreSession& session) {
    auto authorization = session.authorizationByDeviceCode(*token);
    if (!authorization) return false;
    if (!authorization->approvedMs && nowMs <= authorization->expiresMs && options_.autoApprove) {
      authorization->deviceId = approveAuthorization(session, *authorization, nowMs);
      authorization->approvedMs = nowMs;
    }
    if (authorization->approvedMs) {
      // A revoked device's code answers like any unknown token.
      if (!authorization->deviceId || !session.activeDeviceById(*authorization->deviceId)) {
        return false;
      }
      answer.status = "approved";
      answer.deviceId = authorization->deviceId;
    } else if (nowMs > authorization->expiresMs) {
      answer.status = "expired";
    } else {
      answer.status = "pending";
      answer.interval = options_.pollIntervalSeconds;
      answer.expiresAt = formatInternetDate(fromMillis(authorization->expiresMs));
    }
    return true;
  });
  if (!known) return errorResponse(401, "unauthorized");
  return jsonResponse(200, answer.toJson());
}

HttpResponse DevServer::me(const HttpRequest& request) const {
  const auto token = bearerToken(request);
  if (!token) return errorResponse(401, "unauthorized");
  const std::int64_t nowMs = millis(clock_.now());
  const std::int64_t dayMs = 24 * 3600 * 1000;
  const std::string firstDay = utcDay(nowMs - (reportedDays - 1) * dayMs);
  const std::string lastDay = utcDay(nowMs);

  std::optional<DeviceRow> device;
  std::map<std::string, std::int64_t> earnings;
  store_.transaction([&](StoreSession& session) {
    device = session.activeDeviceByToken(*token);
    if (device) earnings = session.earningsByDay(device->deviceId, firstDay, lastDay);
  });
  if (!device) return errorResponse(401, "unauthorized");

  DeviceResponse answer;
  answer.referral = ReferralSummary{device->referredCount, device->referralMicros};
  answer.deviceId = device->deviceId;
  answer.balanceMicros = device->balanceMicros;
  answer.mode = NetworkMode::live;
  EarningsSummary summary;
  summary.totalMicros = device->totalMicros;
  summary.pendingMicros = 0;
  summary.availableMicros = device->balanceMicros;
  summary.held = false;
  summary.payoutReady = false;
  answer.earnings = summary;
  EarningsReport report;
  for (int back = reportedDays - 1; back >= 0; --back) {
    const std::string day = utcDay(nowMs - back * dayMs);
    const auto found = earnings.find(day);
    report.daily.emplace_back(day, found == earnings.end() ? 0 : found->second);
  }
  answer.reports = std::move(report);
  return jsonResponse(200, answer.toJson());
}

HttpResponse DevServer::revoke(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const std::int64_t nowMs = millis(clock_.now());
  store_.transaction([&](StoreSession& session) { session.revokeDevice(device->deviceId, nowMs); });
  return noContent();
}

// Browser hand-off -------------------------------------------------------------------------

HttpResponse DevServer::browserSession(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto proof = decodeBody<requests::Proof>(request);
  if (proof.locale != "en" && proof.locale != "it") return errorResponse(400, "invalid_locale");
  if (!isUuidText(proof.nonce)) return errorResponse(400, "invalid_nonce");
  const Date now = clock_.now();
  const std::int64_t nowSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  if (proof.timestamp < 1 || proof.timestamp < nowSeconds - handoffClockSkewSeconds ||
      proof.timestamp > nowSeconds + handoffClockSkewSeconds) {
    return errorResponse(400, "timestamp_out_of_range");
  }
  const std::string message = ReceiptSigner::browserHandoffMessage(
      device->deviceId, proof.nonce, proof.timestamp, proof.locale);
  if (!verifier_.verify(device->publicKey, message, proof.signature)) {
    return errorResponse(403, "invalid_signature");
  }

  const std::int64_t nowMs = millis(now);
  const std::string ticket = randomToken();
  const std::int64_t expiresMs = nowMs + ticketLifetimeMs;
  const bool fresh = store_.transaction([&](StoreSession& session) {
    // Nonces older than the accepted clock skew can never be presented again.
    session.pruneHandoffNonces(nowMs - 2 * handoffClockSkewSeconds * 1000 - 60'000);
    session.pruneTickets(nowMs);
    if (!session.rememberHandoffNonce(lowered(proof.nonce), device->deviceId, nowMs)) return false;
    session.insertTicket(ticket, device->deviceId, expiresMs);
    return true;
  });
  if (!fresh) return errorResponse(409, "nonce_reused");

  BrowserHandoffResponse answer;
  answer.ticket = ticket;
  answer.expiresAt = formatInternetDate(fromMillis(expiresMs));
  answer.mode = NetworkMode::live;
  return jsonResponse(200, answer.toJson());
}

}  // namespace nimbrella::server
