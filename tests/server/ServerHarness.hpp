#pragma once

// A development server on 127.0.0.1 with a free port, a manual clock and a client for
// it, plus the steps a device takes: connecting through the browser approval, starting
// and completing exposures.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbrella::server::testing {

inline Date testEpoch() { return *parseInternetDate("2026-03-10T12:00:00Z"); }

// A campaign whose creative passes every rule of the application.
inline Campaign makeCampaign(std::string id, std::optional<std::string> terms, std::int64_t rewardMicros,
                             std::string advertiserId, std::string category = "software") {
  Campaign campaign;
  campaign.id = std::move(id);
  campaign.active = true;
  campaign.termsVersion = std::move(terms);
  campaign.rewardMicros = rewardMicros;
  campaign.creative.advertiserId = std::move(advertiserId);
  campaign.creative.category = std::move(category);
  campaign.creative.sponsor = "Sample";
  campaign.creative.headline = "A headline";
  campaign.creative.body = "A body";
  campaign.creative.cta = "Open";
  campaign.creative.url = "https://sample.example/page";
  return campaign;
}

// The form token of a page, or empty.
inline std::string csrfOf(const std::string& page) {
  std::smatch match;
  return std::regex_search(page, match, std::regex("name=\"csrf\" value=\"([^\"]+)\"")) ? match[1].str() : "";
}

// The value of a cookie set by a response, or empty.
inline std::string setCookieValue(const httplib::Result& result, const std::string& name) {
  for (const auto& [key, value] : result->headers) {
    if (key == "Set-Cookie" && value.starts_with(name + "=")) {
      return value.substr(name.size() + 1, value.find(';') - name.size() - 1);
    }
  }
  return {};
}

class ServerHarness {
 public:
  explicit ServerHarness(std::vector<Campaign> campaigns, ServerOptions options = {},
                         const std::string& databasePath = ":memory:", HttpLimits limits = {}, int workers = 24)
      : store_(databasePath), server_(store_, std::move(campaigns), clock, options), host_(server_, workers, limits) {
    port = host_.bind(0);
    origin = "http://127.0.0.1:" + std::to_string(port);
    server_.setOrigin(origin);
    if (!host_.start()) throw std::runtime_error("the test server did not start");
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    client_->set_read_timeout(10, 0);
  }

  httplib::Result get(const std::string& path, const std::string& token = {}, httplib::Headers extra = {}) {
    return client_->Get(path, withToken(token, std::move(extra)));
  }
  httplib::Result post(const std::string& path, const std::string& body, const std::string& token = {},
                       const std::string& type = "application/json", httplib::Headers extra = {}) {
    return client_->Post(path, withToken(token, std::move(extra)), body, type);
  }
  httplib::Result del(const std::string& path, const std::string& token) {
    return client_->Delete(path, withToken(token, {}));
  }
  // A browser form sent with the given cookie header.
  httplib::Result form(const std::string& path, const std::string& body, const std::string& cookie) {
    return post(path, body, {}, "application/x-www-form-urlencoded", {{"Cookie", cookie}});
  }

  struct Device {
    std::string deviceId;
    std::string token;
    ReceiptSigner signer;
  };
  // Connects a new device through the browser approval, as a user would.
  Device connectDevice(const std::string& name = "My computer") {
    Device device;
    const auto started = post("/api/devices/authorization/start",
                              encodeJson(requests::AuthorizationStart{name, device.signer.publicKey()}));
    const auto authorization = decodeJson<DeviceAuthorizationStart>(started->body);
    const auto page = get("/en/connect?code=" + authorization.userCode);
    const auto approved = form("/connect/approve", "code=" + authorization.userCode + "&csrf=" + csrfOf(page->body),
                               "nimbrella_connect=" + setCookieValue(page, "nimbrella_connect"));
    if (!approved || approved->status != 200) throw std::runtime_error("approval failed");
    const auto poll = decodeJson<DeviceAuthorizationPoll>(
        get("/api/devices/authorization/poll", authorization.deviceCode)->body);
    if (poll.status != "approved" || !poll.deviceId) throw std::runtime_error("not approved");
    device.deviceId = *poll.deviceId;
    device.token = authorization.deviceCode;
    return device;
  }

  static SponsorFilters defaultFilters() {
    return {{}, {"business", "creativity", "education", "lifestyle", "other", "software"}};
  }
  httplib::Result start(const Device& device, const SponsorFilters& filters = defaultFilters(),
                        std::optional<std::string> afterPreview = std::nullopt) {
    return post("/api/exposures/start", encodeJson(requests::ExposureStart{"menubar-v1", afterPreview, filters}),
                device.token);
  }
  // Starts an exposure and decodes the lease (throws on anything but 200).
  ExposureLease startExposure(const Device& device, const SponsorFilters& filters = defaultFilters()) {
    const auto result = start(device, filters);
    if (!result || result->status != 200) throw std::runtime_error("no lease");
    return decodeJson<ExposureLease>(result->body);
  }
  CompleteResponse complete(const Device& device, const CompleteRequest& request) {
    const auto result = post("/api/exposures/complete", encodeJson(request), device.token);
    if (!result || result->status != 200) throw std::runtime_error("complete failed");
    return decodeJson<CompleteResponse>(result->body);
  }
  std::int64_t balance(const Device& device) {
    return decodeJson<DeviceResponse>(get("/api/devices/me", device.token)->body).balanceMicros;
  }

  ManualClock clock{testEpoch()};
  int port = 0;
  std::string origin;

 private:
  static httplib::Headers withToken(const std::string& token, httplib::Headers headers) {
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    return headers;
  }

  Store store_;
  DevServer server_;
  HttpHost host_;
  std::unique_ptr<httplib::Client> client_;
};

// A TCP connection to 127.0.0.1:port whose reads and writes give up after five seconds.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(static_cast<std::uint16_t>(port)),
                        .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    const timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect to the test server");
    }
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // False once the server has closed the connection.
  bool send(std::string_view bytes) {
    for (ssize_t sent = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent))) {
      if ((sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    }
    return true;
  }
  // Everything until the server closes the connection (or five seconds pass).
  std::string readAll() {
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    return received;
  }

 private:
  int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
};

}  // namespace nimbrella::server::testing
