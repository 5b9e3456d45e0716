#pragma once

// The fixture and helpers shared by the controller's simulation tests.

#include "controller/support/Simulation.hpp"

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorCore/Json.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>

namespace nimbrella::simulation {

using std::chrono::seconds;

// The controller's texts, compared exactly.
inline const std::string noReward = " No reward was submitted.";
inline const std::string plainText = "Sponsored text appears only after you connect and opt in.";
inline const std::string repairText = "This computer needs to be paired again.";
inline const std::string keychainText =
    "The keyring is unavailable. Unlock your login keyring and try again; secrets were not saved elsewhere.";
inline const std::string networkText =
    "The network is unavailable. No reward is confirmed; Nimbrella will retry later.";
inline const std::string refusedText =
    "This sponsor cannot be safely displayed or verified. No new reward is confirmed.";
inline const std::string notAuthorizedText = "This computer is not authorized. Pair again from your dashboard.";
inline constexpr const char* startPath = "/api/exposures/start";
inline constexpr const char* completePath = "/api/exposures/complete";
inline constexpr const char* cancelPath = "/api/exposures/cancel";
inline constexpr const char* mePath = "/api/devices/me";

// A controller built on the world's stores, started and settled (also a restart).
inline AppModel& started(World& world) {
  AppModel& model = world.build();
  model.start();
  world.settle();
  return model;
}

// A paired computer whose user opted in, started and settled.
inline AppModel& startPaired(World& world) {
  world.storePairing();
  world.storeConsent();
  return started(world);
}

// A paired computer measuring its first item: the first tick fetches, the item
// settles and sampling begins.
inline AppModel& measuring(World& world) {
  AppModel& model = startPaired(world);
  world.advance(0.75);
  if (!model.exposureState().activeLease || !world.monitor->contentReady) throw std::logic_error("no exposure is being measured");
  return model;
}

inline std::string lastBody(const World& world, const std::string& path) {
  const auto requests = world.server->requestsTo(path);
  return requests.empty() ? std::string() : requests.back().body.value_or("");
}

// The leases named by the cancellations sent so far.
inline std::vector<std::string> cancelled(const World& world) {
  std::vector<std::string> ids;
  for (const auto& request : world.server->requestsTo(cancelPath)) {
    ids.push_back(json::parse(*request.body)["leaseId"].get<std::string>());
  }
  return ids;
}

inline void revoke(AppModel& model) { model.handleRevokedAuthorization(ControllerFailure::api(APIError::http(401))); }

// Every later lease is the server's default one with `change` applied.
inline void changeLeases(World& world, std::function<void(ExposureLease&, std::int64_t)> change) {
  world.server->makeLease = [&world, change = std::move(change)](std::int64_t number) {
    ExposureLease lease = world.server->defaultLease(number);
    change(lease, number);
    return lease;
  };
}

// The authorization the server's model would start for this world.
inline DeviceAuthorizationStart authorizationFor(const World& world, double expiresIn) {
  return {world.server->deviceCode, world.server->userCode,
          world.endpointText() + "/connect?code=" + world.server->userCode, world.server->nowText(expiresIn), 5,
          NetworkMode::live};
}

class ControllerTest : public ::testing::Test {
 protected:
  World world;
};

}  // namespace nimbrella::simulation
