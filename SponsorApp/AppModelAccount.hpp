#pragma once

// The paired account's state: the credential and signing key of this computer, the
// network mode, the balance and earnings of the last refresh. Its rules (refresh,
// revocation) are in AppModelAccount.cpp.

#include "SponsorApp/storage/StoredRecords.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbrella {

struct AccountState {
  // Observable.
  bool isPaired = false;
  std::optional<NetworkMode> mode;
  std::int64_t balanceMicros = 0;
  std::optional<EarningsSummary> earnings;
  std::optional<std::vector<EarningsDay>> earningsDays;
  std::optional<ReferralSummary> referral;
  bool balanceLoaded = false;
  std::optional<std::string> balanceError;

  std::optional<DeviceCredential> credential;
  std::optional<ReceiptSigner> signer;
  bool refreshing = false;
  Date nextAuthorizationCheck = Date::min();
  // The keyring refused a read at start; it is asked again from this instant on.
  bool restoreRefused = false;
  Date nextRestoreAttempt = Date::min();
};

}  // namespace nimbrella
