#pragma once

// What the route groups of DevServer share: answers, request parsing and the refusals
// that a handler throws.

#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/Pages.hpp"

#include "SponsorCore/Json.hpp"
#include "SponsorCore/Unicode.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrella::server::routes {

using Json = nlohmann::ordered_json;

// A request refused with a status and a machine-readable code.
struct Refusal {
  int status;
  std::string code;
};

inline constexpr const char* sessionCookie = "nimbrella_session";
inline constexpr const char* connectCookie = "nimbrella_connect";

HttpResponse jsonResponse(int status, const Json& body);
HttpResponse errorResponse(int status, std::string_view code);
HttpResponse noContent();
HttpResponse pageResponse(int status, const Page& page);
HttpResponse messageResponse(int status, AppLanguage language, PageText title, PageText text);
std::string cookie(std::string_view name, std::string_view value, std::int64_t maxAgeSeconds);
std::int64_t millis(Date date);
// The UTC day ("yyyy-MM-dd") of an instant.
std::string utcDay(std::int64_t epochMs);
// The instant at which that day starts.
std::int64_t utcDayStart(std::int64_t epochMs);
std::string lowered(std::string text);
bool startsWith(std::string_view text, std::string_view prefix);
std::optional<AppLanguage> languageFromCode(std::string_view code);
AppLanguage preferredLanguage(const HttpRequest& request);
// The page language from a path that starts with "/en/" or "/it/".
std::optional<AppLanguage> pathLanguage(std::string_view path);
std::optional<std::string> formValue(const std::vector<std::pair<std::string, std::string>>& items,
                                     std::string_view name);
// The items of a form body; a refusal for another content type or a malformed body.
std::vector<std::pair<std::string, std::string>> formBody(const HttpRequest& request);
bool isUserCode(std::string_view code);
// Creates the device of an approved authorization: its token is the device code and its
// key the one registered at the start.
std::string approveAuthorization(StoreSession& session, const AuthorizationRow& authorization,
                                 std::int64_t nowMs);
// The active device whose token the request carries.
std::optional<DeviceRow> authenticate(Store& store, const HttpRequest& request);

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


}  // namespace nimbrella::server::routes
