#pragma once

// The controller's English status texts. The message catalogue gives their Italian
// forms at display time.

#include "SponsorCore/PlatformText.hpp"

#include <string_view>

namespace nimbrella::text {

inline constexpr std::string_view appName = "Nimbrella";

// Start-up and pairing state.
inline constexpr std::string_view initialMessage = "Sponsored text appears only after you connect and opt in.";
inline constexpr std::string_view noExposureRunning = "No sponsored exposure is running.";
inline constexpr std::string_view connected = platformText::connected.english;
inline constexpr std::string_view restoringConfirmation = "Restoring the previous exposure's confirmation.";
inline constexpr std::string_view finishConnection = "Finish the connection in your browser.";

// Controller errors.
inline constexpr std::string_view reconnect = platformText::reconnect.english;
inline constexpr std::string_view disconnectFirst = platformText::disconnectFirst.english;
inline constexpr std::string_view invalidResponse =
    "This sponsor cannot be safely displayed or verified. No new reward is confirmed.";
inline constexpr std::string_view networkUnavailable =
    "The network is unavailable. No reward is confirmed; Nimbrella will retry later.";

// Interrupt reasons.
inline constexpr std::string_view displaySlept = "The display went to sleep.";
inline constexpr std::string_view sessionInactive = "The session became inactive.";
inline constexpr std::string_view desktopChanged = "The desktop changed.";
inline constexpr std::string_view displayLayoutChanged = "The display layout changed.";
inline constexpr std::string_view updating = "Nimbrella is updating.";
inline constexpr std::string_view quitting = "Nimbrella was quit.";
inline constexpr std::string_view outsideHours = "Outside your chosen hours.";
inline constexpr std::string_view inactiveTooLong = platformText::inactiveTooLong.english;
inline constexpr std::string_view leaseExpired = "The exposure lease expired.";
inline constexpr std::string_view controlsOpen = "Controls are open; sponsored exposure is paused.";
inline constexpr std::string_view paused = "Sponsorship is paused.";
inline constexpr std::string_view turnedOff = "Sponsorship was turned off.";
inline constexpr std::string_view preferencesChanged = "Sponsor preferences changed.";
inline constexpr std::string_view notAuthorized = platformText::notAuthorized.english;

// Exposure cycle.
inline constexpr std::string_view previewDisplayed =
    "Admin preview. No budget is spent and no earnings or ad statistics are generated.";
inline constexpr std::string_view sponsorDisplayed =
    "Sponsored name displayed. Earnings require uninterrupted local and server checks.";
inline constexpr std::string_view confirming = "Confirming the menu-bar exposure\xE2\x80\xA6";
inline constexpr std::string_view rejected = "This exposure was rejected. No new reward was confirmed.";
inline constexpr std::string_view confirmationUnavailable =
    "Exposure confirmation is unavailable. Nimbrella will retry the same receipt; no additional reward is "
    "confirmed.";
inline constexpr std::string_view inTestCredits = "in test credits";
inline constexpr std::string_view inRewards = "in rewards";
inline constexpr std::string_view recordedSuffix = " recorded for the menu-bar exposure.";

// Connection.
inline constexpr std::string_view approveInBrowser = platformText::approveInBrowser.english;
inline constexpr std::string_view pollUnavailable =
    "Connection confirmation is unavailable. Nimbrella will retry; your browser approval is not repeated.";
inline constexpr std::string_view connectionExpired = "The connection request expired. Connect again.";
inline constexpr std::string_view connectedEnabled = platformText::connectedEnabled.english;

// Account.
inline constexpr std::string_view balanceFailed = "Balance could not be updated. Try again.";
inline constexpr std::string_view outsideHoursStatusEn = "Outside your chosen hours";
inline constexpr std::string_view outsideHoursStatusIt = "Fuori dagli orari scelti";
inline constexpr std::string_view filteredStatusEn = "No sponsors match your choices";
inline constexpr std::string_view filteredStatusIt = "Nessuno sponsor corrisponde alle tue scelte";

}  // namespace nimbrella::text
