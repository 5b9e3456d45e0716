#pragma once

// The state of connecting this computer through the browser and of the signed
// dashboard hand-off. Its rules are in AppModelConnection.cpp.

#include "SponsorCore/Date.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <optional>
#include <string>

namespace nimbrella {

struct ConnectionState {
  // Observable.
  std::string endpointInput;
  std::string pairCode;
  bool connectionPending = false;
  std::optional<std::string> connectionError;
  std::string connectionCode;
  std::string connectionFingerprint;

  // The authorization request waiting for the user's approval.
  std::optional<DeviceAuthorizationStart> authorization;
  Date nextAuthorizationPoll = Date::min();
  bool isPollingAuthorization = false;
  bool openingDashboard = false;
};

}  // namespace nimbrella
