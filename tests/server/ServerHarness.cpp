#include "ServerHarness.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

namespace nimbrella::server::testing {

Date testEpoch() { return *parseInternetDate("2026-03-10T12:00:00Z"); }

Campaign makeCampaign(std::string id, std::optional<std::string> termsVersion,
                      std::int64_t rewardMicros, std::string advertiserId, std::string category) {
  Campaign campaign;
  campaign.id = std::move(id);
  campaign.active = true;
  campaign.termsVersion = std::move(termsVersion);
  campaign.rewardMicros = rewardMicros;
  campaign.creative.advertiserId = std::move(advertiserId);
  campaign.creative.category = std::move(category);
  campaign.creative.sponsor = "Sample";
  campaign.creative.headline = "A headline";
  campaign.creative.body = "A body";
  campaign.creative.cta = "Open";
  campaign.creative.url = "https://sample.example/page";
  campaign.creative.menuTagline = "Tagline";
  campaign.creative.accentColor = "#1a2B3c";
  return campaign;
}

ServerHarness::ServerHarness(std::vector<Campaign> campaigns, ServerOptions options,
                             const std::string& databasePath, HttpLimits limits, int workers) {
  store_ = std::make_unique<Store>(databasePath);
  server_ = std::make_unique<DevServer>(*store_, std::move(campaigns), clock, options);
  host_ = std::make_unique<HttpHost>(*server_, workers, limits);
  port = host_->bind(0);
  origin = "http://127.0.0.1:" + std::to_string(port);
  server_->setOrigin(origin);
  if (!host_->start()) throw std::runtime_error("the test server did not start");
  client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  client_->set_connection_timeout(5, 0);
  client_->set_read_timeout(10, 0);
}

ServerHarness::~ServerHarness() {
  client_.reset();
  host_->stop();
}

namespace {
httplib::Headers withToken(const std::string& token, httplib::Headers headers) {
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  return headers;
}
}  // namespace

httplib::Result ServerHarness::get(const std::string& path, const std::string& token,
                                   const httplib::Headers& extra) {
  return client_->Get(path, withToken(token, extra));
}

httplib::Result ServerHarness::post(const std::string& path, const std::string& body,
                                    const std::string& token, const std::string& contentType,
                                    const httplib::Headers& extra) {
  return client_->Post(path, withToken(token, extra), body, contentType);
}

httplib::Result ServerHarness::del(const std::string& path, const std::string& token) {
  return client_->Delete(path, withToken(token, {}));
}

RawConnection::RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval timeout{5, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to the test server");
  }
}

RawConnection::~RawConnection() { ::close(fd_); }

bool RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string RawConnection::readAll() {
  std::string received;
  char buffer[4096];
  for (;;) {
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string setCookieValue(const httplib::Result& result, const std::string& name) {
  for (const auto& [key, value] : result->headers) {
    if (key != "Set-Cookie" || value.rfind(name + "=", 0) != 0) continue;
    const auto end = value.find(';');
    return value.substr(name.size() + 1, end - name.size() - 1);
  }
  return {};
}

ServerHarness::Device ServerHarness::connectDevice(const std::string& name) {
  Device device;
  requests::AuthorizationStart start{name, device.signer.publicKey()};
  auto started = post("/api/devices/authorization/start", encodeJson(start));
  if (!started || started->status != 200) throw std::runtime_error("authorization start failed");
  const auto authorization = decodeJson<DeviceAuthorizationStart>(started->body);

  auto page = get("/en/connect?code=" + authorization.userCode);
  if (!page || page->status != 200) throw std::runtime_error("connect page failed");
  std::smatch match;
  if (!std::regex_search(page->body, match, std::regex("name=\"csrf\" value=\"([^\"]+)\""))) {
    throw std::runtime_error("no CSRF token on the connect page");
  }
  const std::string csrf = match[1];
  const std::string cookie = setCookieValue(page, "nimbrella_connect");
  auto approved = post("/connect/approve", "code=" + authorization.userCode + "&csrf=" + csrf + "&lang=en",
                       {}, "application/x-www-form-urlencoded",
                       {{"Cookie", "nimbrella_connect=" + cookie}});
  if (!approved || approved->status != 200) throw std::runtime_error("approval failed");

  auto polled = get("/api/devices/authorization/poll", authorization.deviceCode);
  if (!polled || polled->status != 200) throw std::runtime_error("poll failed");
  const auto poll = decodeJson<DeviceAuthorizationPoll>(polled->body);
  if (poll.status != "approved" || !poll.deviceId) throw std::runtime_error("not approved");
  device.deviceId = *poll.deviceId;
  device.token = authorization.deviceCode;
  return device;
}

SponsorFilters ServerHarness::defaultFilters() {
  SponsorFilters filters;
  filters.allowedCategories = {"business", "creativity", "education", "lifestyle", "other", "software"};
  return filters;
}

ExposureLease ServerHarness::startExposure(const Device& device, const SponsorFilters& filters) {
  requests::ExposureStart start;
  start.placement = "menubar-v1";
  start.preferences = filters;
  auto result = post("/api/exposures/start", encodeJson(start), device.token);
  if (!result) throw std::runtime_error("no answer to start");
  if (result->status != 200) {
    throw std::runtime_error("start answered " + std::to_string(result->status) + " " +
                             result->get_header_value("X-Nimbrella-Reason"));
  }
  return decodeJson<ExposureLease>(result->body);
}

CompleteResponse ServerHarness::complete(const Device& device, const CompleteRequest& request) {
  auto result = post("/api/exposures/complete", encodeJson(request), device.token);
  if (!result || result->status != 200) throw std::runtime_error("complete failed");
  return decodeJson<CompleteResponse>(result->body);
}

}  // namespace nimbrella::server::testing
