#pragma once

// The fixture shared by the controller's simulation tests.

#include "controller/support/Simulation.hpp"

#include "SponsorApp/storage/VaultAccounts.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrella::simulation {

inline constexpr const char* noReward = " No reward was submitted.";
inline constexpr const char* startPath = "/api/exposures/start";
inline constexpr const char* completePath = "/api/exposures/complete";
inline constexpr const char* cancelPath = "/api/exposures/cancel";
inline constexpr const char* mePath = "/api/devices/me";

// A paired computer whose user opted in, started and settled.
inline AppModel& startPaired(World& world) {
  world.storePairing();
  world.storeConsent();
  AppModel& model = world.build();
  model.start();
  world.settle();
  return model;
}

// From a fresh start: the first tick fetches, the item settles and sampling begins.
inline void untilMeasuring(World& world) {
  world.advance(0.75);
  ASSERT_TRUE(world.model().activeLease().has_value());
  ASSERT_TRUE(world.monitor->contentReady);
}

inline std::string lastBody(const World& world, const std::string& path) {
  const auto requests = world.server->requestsTo(path);
  return requests.empty() ? std::string() : requests.back().body.value_or("");
}

class ControllerTest : public ::testing::Test {
 protected:
  explicit ControllerTest(ClientEnvironment environment = ClientEnvironment::production) : world(environment) {}

  AppModel& startPaired() { return simulation::startPaired(world); }
  void untilMeasuring() { simulation::untilMeasuring(world); }
  std::string lastBody(const std::string& path) const { return simulation::lastBody(world, path); }

  World world;
};

}  // namespace nimbrella::simulation
