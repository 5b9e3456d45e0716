#pragma once

// The exposure cycle's state: the sponsored item on screen, its lease and measurement,
// the signed completion waiting for the server, and what the surface monitor is told.
// Its rules are in AppModelExposure.cpp.

#include "SponsorCore/Date.hpp"
#include "SponsorCore/ExposureClock.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace nimbrella {

struct ExposureState {
  // Observable.
  std::string menuText;
  double menuWidth = 0;
  std::optional<SponsorCreative> displayCreative;
  std::string visibilityStatus;
  bool confirmationPending = false;

  // The lease being measured, and the item left on screen after it.
  std::optional<ExposureLease> activeLease;
  std::optional<ExposureClock> exposureClock;
  std::optional<std::string> displayedLeaseId;
  std::optional<Date> displayExpiration;
  std::optional<std::string> lastPreviewCampaignId;
  // Raised by every interruption and every fetch; answers of an older generation
  // are stale.
  std::int64_t generation = 0;
  Date nextFetch = Date::min();
  std::int64_t pendingCancellations = 0;

  // The signed completion kept in the vault until the server answers it, and whether the
  // vault holds it yet (a locked keyring may refuse it at first).
  std::optional<CompleteRequest> pendingCompletion;
  std::optional<std::string> pendingTermsVersion;
  bool completionStored = false;
  Date nextConfirmationAttempt = Date::min();

  // What the controller tells the surface monitor; the tick's gate reads the same.
  bool contentReady = false;
  bool controlsClosed = true;
  bool displayAwake = true;
  bool sessionActive = true;
};

}  // namespace nimbrella
