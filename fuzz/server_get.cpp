// Every GET route of the development server with a fuzzed path, query, cookies and
// language, for a store holding a connected device, a pending authorization and a
// browser session: each answer must be a known status, never a failure of the server.

#include "fuzz/ServerFixture.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace nimbrella;
using namespace nimbrella::server;

const char* const paths[] = {
    "/", "/en/", "/it/", "/connect", "/en/connect", "/it/connect", "/api/auth/mac",
    "/dashboard", "/en/dashboard", "/it/dashboard", "/api/devices/me",
    "/api/devices/authorization/poll", "/favicon.ico", "/api/none",
};

struct Fixture : fuzzing::ServerFixture {
  std::string userCode = startAuthorization().userCode;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (size < 2) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  HttpRequest request;
  request.method = data[1] & 1 ? "HEAD" : "GET";
  request.path = data[0] < 224 ? paths[data[0] % (sizeof paths / sizeof paths[0])] : text;
  const auto query = parseFormEncoded(text);
  if (query) request.query = *query;
  if (data[1] & 2) request.query.emplace_back("code", fixture.userCode);
  request.headers = {{"Cookie", text}, {"Accept-Language", text}, {"Authorization", "Bearer " + text}};
  const HttpResponse response = fixture.server->handle(request);
  if (response.status < 200 || response.status > 599 || response.status == 500) std::abort();
  return 0;
}
