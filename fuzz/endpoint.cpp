// Input: an origin, a line feed, a proposed verification address, a line feed, a user
// code. Checks the endpoint's invariants on whatever is accepted.
#include "SponsorCore/SafeEndpoint.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

std::string_view nextLine(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  const std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return line;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view origin = nextLine(rest);
  const std::string_view proposal = nextLine(rest);
  const std::string_view code = rest;

  if (const auto url = nimbrella::Url::parse(proposal)) check(url->text() == proposal);
  if (const auto link = nimbrella::SafeEndpoint::advertiserURL(proposal)) {
    check(link->text() == proposal && link->host() && !link->userInfo());
  }

  std::optional<nimbrella::SafeEndpoint> endpoint;
  try {
    endpoint.emplace(origin);
  } catch (const nimbrella::EndpointError&) {
    return 0;
  }
  const std::string normalized = endpoint->normalized();
  check(!normalized.empty() && normalized.back() != '/');
  check(!endpoint->url().query() && !endpoint->url().fragment() && !endpoint->url().userInfo());
  check(nimbrella::SafeEndpoint(normalized).normalized() == normalized);
  check(endpoint->route("/api/exposures/start").text() == normalized + "/api/exposures/start");
  if (const auto page = endpoint->verificationURL(proposal, code)) {
    check(page->text() == proposal && !page->fragment() && !page->userInfo());
    check(page->queryItems() && page->queryItems()->size() == 1 && page->queryItems()->front().value == code);
  }
  if (const auto handoff = endpoint->browserHandoffURL(code, "en")) check(handoff->fragment() == code);
  return 0;
}
