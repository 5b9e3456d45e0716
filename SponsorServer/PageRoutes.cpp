// The browser pages: hand-off, dashboard and the verification (connect) pages.

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

HttpResponse DevServer::handoffPage(const HttpRequest& request) const {
  const auto lang = request.queryValue("lang");
  const auto language = lang ? languageFromCode(*lang) : std::nullopt;
  if (!language) {
    return messageResponse(400, preferredLanguage(request), PageText::dashboardTitle,
                           PageText::badRequest);
  }
  return pageResponse(200, server::handoffPage(*language, base64Url(randomBytes(18))));
}

HttpResponse DevServer::redeemTicket(const HttpRequest& request) const {
  const auto contentType = request.header("Content-Type");
  if (!contentType || !startsWith(lowered(*contentType), "application/json")) {
    return errorResponse(415, "unsupported_media_type");
  }
  json::Json body;
  std::string ticket;
  std::string languageText = "en";
  try {
    body = json::parse(request.body);
    json::requireObject(body, "ticket exchange");
    ticket = json::requiredString(body, "ticket");
    languageText = json::optionalString(body, "lang").value_or("en");
  } catch (const DecodingError&) {
    return errorResponse(400, "invalid_body");
  }
  const auto language = languageFromCode(languageText);
  if (!language) return errorResponse(400, "invalid_locale");
  if (!isTokenText(ticket)) return errorResponse(400, "invalid_ticket");

  const std::int64_t nowMs = millis(clock_.now());
  BrowserSessionRow row;
  row.sessionId = randomToken();
  row.csrf = randomToken();
  row.language = std::string(languageCode(*language));
  row.expiresMs = nowMs + browserSessionLifetimeMs;
  const TicketOutcome outcome = store_.transaction([&](StoreSession& session) {
    auto [result, deviceId] = session.redeemTicket(ticket, nowMs);
    if (result != TicketOutcome::accepted) return result;
    if (!session.activeDeviceById(deviceId)) return TicketOutcome::unknown;
    row.deviceId = deviceId;
    session.insertBrowserSession(row);
    return TicketOutcome::accepted;
  });
  switch (outcome) {
    case TicketOutcome::unknown: return errorResponse(401, "ticket_unknown");
    case TicketOutcome::expired: return errorResponse(401, "ticket_expired");
    case TicketOutcome::used: return errorResponse(401, "ticket_used");
    case TicketOutcome::accepted: break;
  }
  Json answer = Json::object();
  answer["redirect"] = "/" + row.language + "/dashboard";
  HttpResponse response = jsonResponse(200, answer);
  response.headers.emplace_back("Set-Cookie",
                                cookie(sessionCookie, row.sessionId, browserSessionLifetimeMs / 1000));
  return response;
}

HttpResponse DevServer::dashboard(const HttpRequest& request) const {
  const auto sessionId = cookieValue(request, sessionCookie);
  const std::int64_t nowMs = millis(clock_.now());
  std::optional<BrowserSessionRow> browser;
  std::optional<DeviceRow> device;
  std::map<std::string, std::int64_t> earnings;
  const std::int64_t dayMs = 24 * 3600 * 1000;
  if (sessionId && isTokenText(*sessionId)) {
    store_.transaction([&](StoreSession& session) {
      browser = session.browserSession(*sessionId, nowMs);
      if (browser) device = session.activeDeviceById(browser->deviceId);
      if (device) {
        earnings = session.earningsByDay(device->deviceId, utcDay(nowMs - 6 * dayMs), utcDay(nowMs));
      }
    });
  }
  AppLanguage language = pathLanguage(request.path).value_or(preferredLanguage(request));
  if (request.path == "/dashboard" && browser) language = *languageFromCode(browser->language);
  if (!browser || !device) {
    return messageResponse(200, language, PageText::dashboardTitle, PageText::signedOut);
  }
  DashboardView view;
  view.deviceId = device->deviceId;
  view.deviceName = device->name;
  view.fingerprint = device->fingerprint;
  view.connectedOn = utcDay(device->createdMs);
  view.balanceMicros = device->balanceMicros;
  view.csrf = browser->csrf;
  for (int back = 6; back >= 0; --back) {
    const std::string day = utcDay(nowMs - back * dayMs);
    const auto found = earnings.find(day);
    view.lastSevenDays.emplace_back(day, found == earnings.end() ? 0 : found->second);
  }
  return pageResponse(200, dashboardPage(language, view));
}

HttpResponse DevServer::dashboardRevoke(const HttpRequest& request) const {
  const auto form = formBody(request);
  const auto csrf = formValue(form, "csrf");
  const auto lang = formValue(form, "lang");
  const AppLanguage language =
      (lang ? languageFromCode(*lang) : std::nullopt).value_or(preferredLanguage(request));
  const auto sessionId = cookieValue(request, sessionCookie);
  const std::int64_t nowMs = millis(clock_.now());
  enum class Outcome { signedOut, forged, revoked };
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    if (!sessionId || !isTokenText(*sessionId)) return Outcome::signedOut;
    const auto browser = session.browserSession(*sessionId, nowMs);
    if (!browser || !session.activeDeviceById(browser->deviceId)) return Outcome::signedOut;
    if (!csrf || !secretsEqual(*csrf, browser->csrf)) return Outcome::forged;
    session.revokeDevice(browser->deviceId, nowMs);
    return Outcome::revoked;
  });
  switch (outcome) {
    case Outcome::signedOut:
      return messageResponse(401, language, PageText::dashboardTitle, PageText::signedOut);
    case Outcome::forged:
      return messageResponse(403, language, PageText::dashboardTitle, PageText::formExpired);
    case Outcome::revoked: break;
  }
  HttpResponse response =
      messageResponse(200, language, PageText::dashboardTitle, PageText::deviceRevoked);
  response.headers.emplace_back("Set-Cookie", cookie(sessionCookie, "", 0));
  return response;
}

// Verification pages ------------------------------------------------------------------------

HttpResponse DevServer::connectPage(const HttpRequest& request) const {
  const AppLanguage language = pathLanguage(request.path).value_or(preferredLanguage(request));
  const auto code = request.queryValue("code");
  if (!code || !isUserCode(*code)) {
    return messageResponse(404, language, PageText::connectTitle, PageText::connectUnknown);
  }
  const std::int64_t nowMs = millis(clock_.now());
  const std::string csrf = randomToken();
  enum class Outcome { unknown, expired, approved, pending };
  std::optional<AuthorizationRow> authorization;
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    authorization = session.authorizationByUserCode(*code);
    if (!authorization) return Outcome::unknown;
    if (authorization->approvedMs) return Outcome::approved;
    if (nowMs > authorization->expiresMs) return Outcome::expired;
    session.insertConnectToken(csrf, *code, authorization->expiresMs);
    return Outcome::pending;
  });
  switch (outcome) {
    case Outcome::unknown:
      return messageResponse(404, language, PageText::connectTitle, PageText::connectUnknown);
    case Outcome::expired:
      return messageResponse(410, language, PageText::connectTitle, PageText::connectExpired);
    case Outcome::approved:
      return messageResponse(200, language, PageText::connectTitle, PageText::connectAlready);
    case Outcome::pending: break;
  }
  ConnectView view;
  view.userCode = authorization->userCode;
  view.fingerprint = authorization->fingerprint;
  view.deviceName = authorization->name;
  view.expiresAt = formatInternetDate(fromMillis(authorization->expiresMs));
  view.csrf = csrf;
  HttpResponse response = pageResponse(200, server::connectPage(language, view));
  response.headers.emplace_back(
      "Set-Cookie", cookie(connectCookie, csrf, (authorization->expiresMs - nowMs) / 1000 + 1));
  return response;
}

HttpResponse DevServer::approve(const HttpRequest& request) const {
  const auto form = formBody(request);
  const auto code = formValue(form, "code");
  const auto csrf = formValue(form, "csrf");
  const auto lang = formValue(form, "lang");
  const AppLanguage language =
      (lang ? languageFromCode(*lang) : std::nullopt).value_or(preferredLanguage(request));
  const auto cookieToken = cookieValue(request, connectCookie);
  if (!code || !isUserCode(*code)) {
    return messageResponse(404, language, PageText::connectTitle, PageText::connectUnknown);
  }
  // The form's token must be the one this browser received with the page (cookie) and one
  // the server issued for this very code.
  if (!csrf || !cookieToken || !isTokenText(*csrf) || !secretsEqual(*csrf, *cookieToken)) {
    return messageResponse(403, language, PageText::connectTitle, PageText::formExpired);
  }
  const std::int64_t nowMs = millis(clock_.now());
  enum class Outcome { forged, unknown, expired, already, approved };
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    if (!session.connectTokenValid(*csrf, *code, nowMs)) return Outcome::forged;
    const auto authorization = session.authorizationByUserCode(*code);
    if (!authorization) return Outcome::unknown;
    if (authorization->approvedMs) return Outcome::already;
    if (nowMs > authorization->expiresMs) return Outcome::expired;
    approveAuthorization(session, *authorization, nowMs);
    return Outcome::approved;
  });
  switch (outcome) {
    case Outcome::forged:
      return messageResponse(403, language, PageText::connectTitle, PageText::formExpired);
    case Outcome::unknown:
      return messageResponse(404, language, PageText::connectTitle, PageText::connectUnknown);
    case Outcome::expired:
      return messageResponse(410, language, PageText::connectTitle, PageText::connectExpired);
    case Outcome::already:
      return messageResponse(200, language, PageText::connectTitle, PageText::connectAlready);
    case Outcome::approved: break;
  }
  HttpResponse response =
      messageResponse(200, language, PageText::connectTitle, PageText::connectApproved);
  response.headers.emplace_back("Set-Cookie", cookie(connectCookie, "", 0));
  return response;
}

}  // namespace nimbrella::server
