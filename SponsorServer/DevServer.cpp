#include "SponsorServer/DevServer.hpp"

#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/RouteSupport.hpp"

#include "SponsorCore/Uuid.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <utility>

namespace nimbrella::server {
namespace routes {

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

std::int64_t utcDayStart(std::int64_t epochMs) {
  using namespace std::chrono;
  return floor<days>(sys_time<milliseconds>(milliseconds(epochMs))).time_since_epoch() / milliseconds(1);
}

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


std::optional<DeviceRow> authenticate(Store& store, const HttpRequest& request) {
  const auto token = bearerToken(request);
  if (!token) return std::nullopt;
  return store.lookUp(
      [&](StoreSession& session) { return session.activeDeviceByToken(*token); });
}


}  // namespace routes

namespace {

// Code points that reorder the text around them: the explicit embeddings, overrides and
// isolates, and the implicit marks.
bool isBidiControl(UChar32 c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

bool isAcceptableDeviceName(std::string_view name) {
  if (name.empty() || name.size() > 256 || !isValidUtf8(name)) return false;
  bool visible = false;
  std::int32_t offset = 0;
  const auto length = static_cast<std::int32_t>(name.size());
  while (offset < length) {
    UChar32 c = 0;
    U8_NEXT(name.data(), offset, length, c);
    if (c < 0) return false;
    const auto category = static_cast<UCharCategory>(u_charType(c));
    if (category == U_CONTROL_CHAR || category == U_LINE_SEPARATOR ||
        category == U_PARAGRAPH_SEPARATOR || category == U_UNASSIGNED ||
        category == U_SURROGATE || isBidiControl(c)) {
      return false;
    }
    const bool mark = category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
                      category == U_COMBINING_SPACING_MARK;
    if (u_isgraph(c) && !mark && !u_isUWhiteSpace(c) &&
        !u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) {
      visible = true;
    }
  }
  const auto count = graphemeCount(name);
  return visible && count && *count >= 1 && *count <= 64;
}

using namespace routes;

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

}  // namespace nimbrella::server
