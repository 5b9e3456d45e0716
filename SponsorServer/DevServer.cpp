#include "SponsorServer/DevServer.hpp"

#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/Pages.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace nimbrella::server {
namespace {

using Json = nlohmann::ordered_json;

// A request refused with a status and a machine-readable code.
struct Refusal {
  int status;
  std::string code;
};

constexpr const char* sessionCookie = "nimbrella_session";
constexpr const char* connectCookie = "nimbrella_connect";

HttpResponse jsonResponse(int status, const Json& body) {
  HttpResponse response;
  response.status = status;
  response.contentType = "application/json";
  response.body = json::dump(body);
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpResponse errorResponse(int status, std::string_view code) {
  Json body = Json::object();
  body["code"] = code;
  return jsonResponse(status, body);
}

HttpResponse noContent() {
  HttpResponse response;
  response.status = 204;
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpResponse pageResponse(int status, const Page& page) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/html; charset=utf-8";
  response.body = page.html;
  response.headers.emplace_back("Content-Security-Policy", page.contentSecurityPolicy);
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

HttpResponse messageResponse(int status, AppLanguage language, PageText title, PageText text) {
  return pageResponse(status,
                      messagePage(language, pageText(title, language), pageText(text, language)));
}

std::string cookie(std::string_view name, std::string_view value, std::int64_t maxAgeSeconds) {
  return std::string(name) + "=" + std::string(value) + "; Path=/; Max-Age=" +
         std::to_string(maxAgeSeconds) + "; HttpOnly; SameSite=Strict";
}

std::int64_t millis(Date date) { return toMillis(date); }

std::string utcDay(std::int64_t epochMs) {
  using namespace std::chrono;
  const auto days = floor<std::chrono::days>(sys_time<milliseconds>(milliseconds(epochMs)));
  const year_month_day date(days);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The bearer token of the request: exactly "Bearer " and 43 token characters.
std::optional<std::string> bearerToken(const HttpRequest& request) {
  const auto header = request.header("Authorization");
  if (!header || !startsWith(*header, "Bearer ")) return std::nullopt;
  std::string token = header->substr(7);
  if (!isTokenText(token)) return std::nullopt;
  return token;
}

// Parses a JSON request body into a record; a refusal for anything that is not one.
template <class Record>
Record decodeBody(const HttpRequest& request) {
  const auto contentType = request.header("Content-Type");
  if (!contentType || !startsWith(lowered(*contentType), "application/json")) {
    throw Refusal{415, "unsupported_media_type"};
  }
  if (!isValidUtf8(request.body)) throw Refusal{400, "invalid_json"};
  json::Json value;
  try {
    value = json::parse(request.body);
  } catch (const DecodingError&) {
    throw Refusal{400, "invalid_json"};
  }
  if (!value.is_object()) throw Refusal{400, "invalid_body"};
  try {
    return Record::fromJson(value);
  } catch (const DecodingError&) {
    throw Refusal{400, "invalid_body"};
  } catch (const nlohmann::json::exception&) {
    throw Refusal{400, "invalid_body"};
  }
}

// A printable name of one line: well-formed UTF-8 of 1 to 64 characters without control
// characters.
bool isAcceptableName(std::string_view name) {
  if (name.empty() || name.size() > 256 || !isValidUtf8(name)) return false;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  const auto count = graphemeCount(name);
  return count && *count >= 1 && *count <= 64;
}

std::optional<AppLanguage> languageFromCode(std::string_view code) {
  if (code == "en") return AppLanguage::en;
  if (code == "it") return AppLanguage::it;
  return std::nullopt;
}

AppLanguage preferredLanguage(const HttpRequest& request) {
  const auto accept = request.header("Accept-Language");
  if (accept && startsWith(lowered(*accept), "it")) return AppLanguage::it;
  return AppLanguage::en;
}

// The page language from a path that starts with "/en/" or "/it/".
std::optional<AppLanguage> pathLanguage(std::string_view path) {
  if (startsWith(path, "/en/")) return AppLanguage::en;
  if (startsWith(path, "/it/")) return AppLanguage::it;
  return std::nullopt;
}

std::optional<std::string> formValue(const std::vector<std::pair<std::string, std::string>>& items,
                                     std::string_view name) {
  std::optional<std::string> found;
  for (const auto& [key, value] : items) {
    if (key != name) continue;
    if (found) return std::nullopt;
    found = value;
  }
  return found;
}

std::vector<std::pair<std::string, std::string>> formBody(const HttpRequest& request) {
  const auto contentType = request.header("Content-Type");
  if (!contentType ||
      !startsWith(lowered(*contentType), "application/x-www-form-urlencoded")) {
    throw Refusal{415, "unsupported_media_type"};
  }
  auto items = parseFormEncoded(request.body);
  if (!items) throw Refusal{400, "invalid_form"};
  return std::move(*items);
}

bool isUserCode(std::string_view code) {
  return code.size() == 12 && std::all_of(code.begin(), code.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// Creates the device of an approved authorization: its token is the device code and its
// key the one registered at the start.
std::string approveAuthorization(StoreSession& session, const AuthorizationRow& authorization,
                                 std::int64_t nowMs) {
  DeviceRow device;
  device.deviceId = randomUuid();
  device.token = authorization.deviceCode;
  device.publicKey = authorization.publicKey;
  device.fingerprint = authorization.fingerprint;
  device.name = authorization.name;
  device.createdMs = nowMs;
  session.insertDevice(device);
  session.markApproved(authorization.deviceCode, device.deviceId, nowMs);
  return device.deviceId;
}

CompleteResponse rejected(std::string reason) {
  CompleteResponse response;
  response.status = "rejected";
  response.reason = std::move(reason);
  return response;
}

bool allowedByFilters(const Campaign& campaign, const SponsorFilters& filters) {
  const auto& creative = campaign.creative;
  if (!filters.blockedAdvertiserIds.empty()) {
    if (!creative.advertiserId) return false;
    const std::string advertiser = lowered(*creative.advertiserId);
    for (const auto& blocked : filters.blockedAdvertiserIds) {
      if (lowered(blocked) == advertiser) return false;
    }
  }
  const std::string category = creative.category.value_or("other");
  return std::find(filters.allowedCategories.begin(), filters.allowedCategories.end(), category) !=
         filters.allowedCategories.end();
}

}  // namespace

DevServer::DevServer(Store& store, std::vector<Campaign> campaigns, const Clock& clock,
                     ServerOptions options)
    : store_(store), campaigns_(std::move(campaigns)), clock_(clock), options_(std::move(options)) {
  while (!options_.origin.empty() && options_.origin.back() == '/') options_.origin.pop_back();
}

void DevServer::setOrigin(std::string origin) {
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  options_.origin = std::move(origin);
}

HttpResponse DevServer::handle(const HttpRequest& request) const {
  try {
    if (request.body.size() > maximumBodyBytes) return errorResponse(413, "payload_too_large");
    return route(request);
  } catch (const Refusal& refusal) {
    return errorResponse(refusal.status, refusal.code);
  } catch (...) {
    return errorResponse(500, "internal_error");
  }
}

HttpResponse DevServer::route(const HttpRequest& request) const {
  const std::string method = request.method == "HEAD" ? "GET" : request.method;
  const std::string& path = request.path;

  struct Route {
    const char* method;
    const char* path;
    HttpResponse (DevServer::*handler)(const HttpRequest&) const;
  };
  static const Route routes[] = {
      {"POST", "/api/devices/authorization/start", &DevServer::startAuthorization},
      {"GET", "/api/devices/authorization/poll", &DevServer::pollAuthorization},
      {"GET", "/api/devices/me", &DevServer::me},
      {"DELETE", "/api/devices/me", &DevServer::revoke},
      {"POST", "/api/devices/browser-session", &DevServer::browserSession},
      {"POST", "/api/exposures/start", &DevServer::startExposure},
      {"POST", "/api/exposures/complete", &DevServer::completeExposure},
      {"POST", "/api/exposures/cancel", &DevServer::cancelExposure},
      {"POST", "/api/exposures/click", &DevServer::clickExposure},
      {"GET", "/api/auth/mac", &DevServer::handoffPage},
      {"POST", "/api/auth/ticket", &DevServer::redeemTicket},
      {"GET", "/connect", &DevServer::connectPage},
      {"GET", "/en/connect", &DevServer::connectPage},
      {"GET", "/it/connect", &DevServer::connectPage},
      {"POST", "/connect/approve", &DevServer::approve},
      {"GET", "/dashboard", &DevServer::dashboard},
      {"GET", "/en/dashboard", &DevServer::dashboard},
      {"GET", "/it/dashboard", &DevServer::dashboard},
      {"POST", "/dashboard/revoke", &DevServer::dashboardRevoke},
  };

  bool pathKnown = false;
  std::string allowed;
  for (const auto& candidate : routes) {
    if (path != candidate.path) continue;
    pathKnown = true;
    if (method == candidate.method) return (this->*candidate.handler)(request);
    allowed += allowed.empty() ? "" : ", ";
    allowed += candidate.method;
  }
  if (pathKnown) {
    HttpResponse response = errorResponse(405, "method_not_allowed");
    response.headers.emplace_back("Allow", allowed);
    return response;
  }
  if (path == "/" || path == "/en/" || path == "/it/") {
    if (method != "GET") return errorResponse(405, "method_not_allowed");
    return pageResponse(200, indexPage(pathLanguage(path).value_or(preferredLanguage(request))));
  }
  if (startsWith(path, "/api/")) return errorResponse(404, "not_found");
  const AppLanguage language = pathLanguage(path).value_or(preferredLanguage(request));
  return messageResponse(404, language, PageText::dashboardTitle, PageText::notFound);
}

// Device authorization ---------------------------------------------------------------------

HttpResponse DevServer::startAuthorization(const HttpRequest& request) const {
  const auto body = decodeBody<requests::AuthorizationStart>(request);
  if (!isAcceptableName(body.name)) return errorResponse(400, "invalid_name");
  const auto fingerprint = p256KeyFingerprint(body.publicKey);
  if (!fingerprint) return errorResponse(400, "invalid_public_key");

  const Date now = clock_.now();
  AuthorizationRow row;
  row.name = body.name;
  row.publicKey = body.publicKey;
  row.fingerprint = *fingerprint;
  row.createdMs = millis(now);
  row.expiresMs = row.createdMs + authorizationLifetimeMs;
  const bool stored = store_.transaction([&](StoreSession& session) {
    session.pruneAuthorizations(row.createdMs);
    for (int attempt = 0; attempt < 8; ++attempt) {
      row.deviceCode = randomToken();
      row.userCode = upperHex(randomBytes(6));
      if (session.insertAuthorization(row)) return true;
    }
    return false;
  });
  if (!stored) return errorResponse(503, "try_again");

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

// Account ----------------------------------------------------------------------------------

namespace {

std::optional<DeviceRow> authenticate(Store& store, const HttpRequest& request) {
  const auto token = bearerToken(request);
  if (!token) return std::nullopt;
  return store.transaction(
      [&](StoreSession& session) { return session.activeDeviceByToken(*token); });
}

}  // namespace

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

// Exposures --------------------------------------------------------------------------------

HttpResponse DevServer::startExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::ExposureStart>(request);
  if (body.placement != "menubar-v1") return errorResponse(400, "unsupported_placement");
  if (body.afterPreviewCampaignId && !isUuidText(*body.afterPreviewCampaignId)) {
    return errorResponse(400, "invalid_campaign_id");
  }
  if (body.preferences.blockedAdvertiserIds.size() > 256 ||
      body.preferences.allowedCategories.size() > 64) {
    return errorResponse(400, "invalid_preferences");
  }
  const std::string afterPreview = lowered(body.afterPreviewCampaignId.value_or(""));

  const Date now = clock_.now();
  const std::int64_t nowMs = millis(now);
  const std::string today = utcDay(nowMs);

  struct Outcome {
    int status = 200;
    std::string reason;
    ExposureLease lease;
  };
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    Outcome result;
    if (const auto open = session.openLease(device->deviceId, nowMs)) {
      if (!open->preview) {
        result.status = 409;
        return result;
      }
      // A shown preview is never confirmed; asking for the next item ends it.
      LeaseRow finished = *open;
      finished.state = "finished";
      finished.closedMs = nowMs;
      session.closeLease(finished);
    }

    std::vector<const Campaign*> candidates;
    for (const auto& campaign : campaigns_) {
      if (!campaign.active) continue;
      if (campaign.isPreview() && campaign.id == afterPreview) continue;
      candidates.push_back(&campaign);
    }
    if (candidates.empty()) {
      result.status = 204;
      result.reason = "no_eligible_campaign";
      return result;
    }
    std::vector<const Campaign*> allowed;
    for (const Campaign* campaign : candidates) {
      if (allowedByFilters(*campaign, body.preferences)) allowed.push_back(campaign);
    }
    if (allowed.empty()) {
      result.status = 204;
      result.reason = "preferences_filtered";
      return result;
    }

    const Campaign* chosen = nullptr;
    for (const Campaign* campaign : allowed) {
      if (campaign->isPreview()) {
        chosen = campaign;
        break;
      }
    }
    if (!chosen) {
      const auto completedToday = session.completionsOn(device->deviceId, today);
      const auto lastCompleted = session.lastCompleted(device->deviceId, nowMs - 86'400'000);
      const auto lastIssued = session.lastIssued(device->deviceId);
      bool coolingDown = false;
      std::int64_t chosenIssued = std::numeric_limits<std::int64_t>::max();
      for (const Campaign* campaign : allowed) {
        if (campaign->dailyLimit) {
          const auto count = completedToday.find(campaign->id);
          if (count != completedToday.end() && count->second >= *campaign->dailyLimit) continue;
        }
        const auto completed = lastCompleted.find(campaign->id);
        if (completed != lastCompleted.end() &&
            nowMs < completed->second + campaign->cooldownSeconds * 1000) {
          coolingDown = true;
          continue;
        }
        // The campaign this device saw longest ago goes first.
        const auto issued = lastIssued.find(campaign->id);
        const std::int64_t at =
            issued == lastIssued.end() ? std::numeric_limits<std::int64_t>::min() : issued->second;
        if (!chosen || at < chosenIssued) {
          chosen = campaign;
          chosenIssued = at;
        }
      }
      if (!chosen) {
        result.status = 204;
        result.reason = coolingDown ? "cooldown" : "daily_limit";
        return result;
      }
    }

    LeaseRow row;
    row.leaseId = "lease_" + randomToken();
    row.deviceId = device->deviceId;
    row.campaignId = chosen->id;
    row.nonce = randomToken();
    row.durationMs = chosen->durationMs();
    row.rewardMicros = chosen->rewardMicros;
    row.termsVersion = chosen->termsVersion;
    row.preview = chosen->isPreview();
    row.issuedMs = nowMs;
    row.expiresMs = nowMs + row.durationMs + options_.leaseGraceMs;

    ExposureLease& lease = result.lease;
    lease.leaseId = row.leaseId;
    lease.nonce = row.nonce;
    lease.durationMs = row.durationMs;
    lease.expiresAt = formatInternetDate(fromMillis(row.expiresMs));
    lease.creative = chosen->creative;
    lease.rewardMicros = row.rewardMicros;
    lease.currency = "EUR";
    lease.mode = NetworkMode::live;
    lease.termsVersion = chosen->termsVersion;
    lease.measurementVersion = chosen->measurementVersion();
    if (row.preview) lease.preview = true;
    lease.campaignId = chosen->id;
    // Never hand out a lease the application would refuse.
    if (!lease.isValid(now)) throw Refusal{500, "invalid_campaign"};
    session.insertLease(row);
    return result;
  });

  if (outcome.status == 409) return errorResponse(409, "lease_open");
  if (outcome.status == 204) {
    HttpResponse response = noContent();
    response.headers.emplace_back("X-Nimbrella-Reason", outcome.reason);
    return response;
  }
  return jsonResponse(200, outcome.lease.toJson());
}

HttpResponse DevServer::completeExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<CompleteRequest>(request);
  if (body.leaseId.empty() || body.leaseId.size() > 512 || body.nonce.size() > 2048 ||
      body.signature.size() > 512) {
    return errorResponse(400, "invalid_body");
  }
  // The signature is checked before the store is locked; it depends on nothing stored
  // but the device's key.
  const bool signatureValid = verifier_.verify(
      device->publicKey,
      ReceiptSigner::message(body.leaseId, body.nonce, body.elapsedMs, body.sequence),
      body.signature);
  const std::string received = encodeJson(body);
  const std::int64_t nowMs = millis(clock_.now());
  const std::string today = utcDay(nowMs);

  const CompleteResponse answer = store_.transaction([&](StoreSession& session) {
    auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return rejected("unknown_lease");

    if (lease->state != "open") {
      // The very request that decided the lease is answered as it was the first time.
      if (lease->completion && *lease->completion == received) {
        if (lease->state == "completed") {
          CompleteResponse accepted;
          accepted.status = "accepted";
          accepted.receiptId = lease->receiptId;
          accepted.rewardMicros = lease->rewardMicros;
          accepted.balanceMicros = lease->balanceAfter;
          return accepted;
        }
        return rejected(lease->reason.value_or("lease_closed"));
      }
      if (lease->state == "completed") return rejected("already_completed");
      if (lease->state == "cancelled") return rejected("lease_cancelled");
      return rejected("lease_closed");
    }

    std::optional<std::string> reason;
    if (lease->preview) {
      reason = "preview_lease";
    } else if (nowMs > lease->expiresMs) {
      reason = "lease_expired";
    } else if (body.nonce != lease->nonce) {
      reason = "nonce_mismatch";
    } else if (!signatureValid) {
      reason = "invalid_signature";
    } else if (body.sequence != 1) {
      reason = "invalid_sequence";
    } else if (body.elapsedMs < lease->durationMs) {
      reason = "insufficient_elapsed";
    } else if (nowMs - lease->issuedMs < lease->durationMs) {
      reason = "too_early";
    }

    LeaseRow closed = *lease;
    closed.closedMs = nowMs;
    closed.completion = received;
    if (reason) {
      closed.state = "rejected";
      closed.reason = reason;
      session.closeLease(closed);
      return rejected(*reason);
    }
    closed.state = "completed";
    closed.receiptId = "receipt_" + randomToken();
    closed.balanceAfter = session.credit(device->deviceId, lease->rewardMicros);
    if (!session.closeLease(closed)) throw std::logic_error("lease changed under its lock");
    session.insertReceipt(*closed.receiptId, *lease, today, nowMs);
    CompleteResponse accepted;
    accepted.status = "accepted";
    accepted.receiptId = closed.receiptId;
    accepted.rewardMicros = lease->rewardMicros;
    accepted.balanceMicros = closed.balanceAfter;
    return accepted;
  });
  return jsonResponse(200, answer.toJson());
}

HttpResponse DevServer::cancelExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::Cancel>(request);
  const std::int64_t nowMs = millis(clock_.now());
  const int status = store_.transaction([&](StoreSession& session) {
    auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return 404;
    if (lease->state == "open") {
      lease->state = "cancelled";
      lease->closedMs = nowMs;
      session.closeLease(*lease);
      return 204;
    }
    if (lease->state == "cancelled" || lease->state == "finished") return 204;
    return 409;
  });
  if (status == 404) return errorResponse(404, "unknown_lease");
  if (status == 409) return errorResponse(409, "lease_closed");
  return noContent();
}

HttpResponse DevServer::clickExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::Click>(request);
  const bool known = store_.transaction([&](StoreSession& session) {
    const auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return false;
    session.markClicked(lease->leaseId);
    return true;
  });
  if (!known) return errorResponse(404, "unknown_lease");
  return noContent();
}

}  // namespace nimbrella::server
