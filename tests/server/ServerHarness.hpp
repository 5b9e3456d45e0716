#pragma once

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbrella::server::testing {

// The instant every test starts at.
Date testEpoch();

// One campaign for tests; the creative passes every rule of the application.
Campaign makeCampaign(std::string id, std::optional<std::string> termsVersion,
                      std::int64_t rewardMicros, std::string advertiserId,
                      std::string category = "software");

// A development server on 127.0.0.1 with a free port, an in-memory store and a manual
// clock, plus a client for it.
class ServerHarness {
 public:
  explicit ServerHarness(std::vector<Campaign> campaigns, ServerOptions options = {},
                         const std::string& databasePath = ":memory:", HttpLimits limits = {},
                         int workers = 24);
  ~ServerHarness();

  httplib::Result get(const std::string& path, const std::string& token = {},
                      const httplib::Headers& extra = {});
  httplib::Result post(const std::string& path, const std::string& body,
                       const std::string& token = {},
                       const std::string& contentType = "application/json",
                       const httplib::Headers& extra = {});
  httplib::Result del(const std::string& path, const std::string& token = {});

  struct Device {
    std::string deviceId;
    std::string token;
    ReceiptSigner signer;
  };
  // Connects a new device through the browser approval, as a user would.
  Device connectDevice(const std::string& name = "My computer");

  // Starts an exposure and decodes the lease (fails the test on anything but 200).
  ExposureLease startExposure(const Device& device, const SponsorFilters& filters = defaultFilters());
  // Posts a completion and decodes the answer.
  CompleteResponse complete(const Device& device, const CompleteRequest& request);

  static SponsorFilters defaultFilters();

  ManualClock clock{testEpoch()};
  int port = 0;
  std::string origin;

 private:
  std::unique_ptr<Store> store_;
  std::unique_ptr<DevServer> server_;
  std::unique_ptr<HttpHost> host_;
  std::unique_ptr<httplib::Client> client_;
};

// A TCP connection to 127.0.0.1:port whose reads give up after five seconds.
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  // False once the server has closed the connection.
  bool send(std::string_view bytes);
  // Everything until the server closes the connection (or five seconds pass).
  std::string readAll();

 private:
  int fd_ = -1;
};

// The value of a cookie set by a response, or empty.
std::string setCookieValue(const httplib::Result& result, const std::string& name);

}  // namespace nimbrella::server::testing
