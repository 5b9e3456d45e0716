#include "SponsorApp/ui/PopoverPresentation.hpp"

#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PlatformText.hpp"
#include "SponsorCore/PopoverCopy.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace nimbrella {

PopoverPresentation PopoverPresentation::from(const AppModel& model) {
  PopoverPresentation p;
  p.isPaired = model.isPaired();
  p.consent = model.consent();
  p.paused = model.paused();
  p.snoozedUntil = model.snoozedUntil();
  p.isPreview = model.isShowingPreview();
  p.creative = model.displayCreative();
  p.connectionPending = model.connectionPending();
  p.connectionCode = model.connectionCode();
  if (model.connectionError()) p.connectionError = NativeCopy::text(*model.connectionError(), model.language());
  p.confirmationPending = model.confirmationPending();
  p.isBusy = model.isBusy();
  p.preferenceStatus = model.preferenceStatus();
  p.desktopRefusal = model.desktopRefusal();
  return p;
}

SponsorState PopoverPresentation::state() const {
  if (!isPaired) return SponsorState::signInRequired;
  if (!consent) return SponsorState::sponsorsDisabled;
  if (paused) return SponsorState::sponsorsPaused;
  if (!creative) return SponsorState::waitingForSponsor;
  return isPreview ? SponsorState::sponsorPreview : SponsorState::sponsorsEnabled;
}

PopoverSize popoverSize(bool isPaired, bool connectionPending, bool hasConnectionError,
                        std::optional<PopoverSize> availableArea) {
  int desired = 520;
  if (!isPaired) desired = (connectionPending ? 316 : 280) + (hasConnectionError ? 56 : 0);
  if (!availableArea) return {400, std::min(560, desired)};
  return {std::min(400, availableArea->width - 24), std::min(desired, availableArea->height - 32)};
}

std::string PopoverText::copy(std::string_view english) const {
  return std::string(PopoverCopy::text(english, language_));
}

std::string PopoverText::pausedUntil(Date end) const {
  std::string text = copy("Paused until %@");
  const std::string when = calendar_().shortDateTime(end, language_ == AppLanguage::it ? "it_IT" : "en_GB");
  if (const auto at = text.find("%@"); at != std::string::npos) text.replace(at, 2, when);
  return text;
}

std::string PopoverText::title(const PopoverPresentation& p) const {
  switch (p.state()) {
    case SponsorState::signInRequired:
      return copy("Sign in required");
    case SponsorState::sponsorsDisabled:
      return copy("Sponsors disabled");
    case SponsorState::sponsorsPaused:
      return p.snoozedUntil ? pausedUntil(*p.snoozedUntil) : copy("Sponsors paused");
    case SponsorState::waitingForSponsor:
      if (p.desktopRefusal != DesktopRefusal::none) return std::string(platformText::sponsorsOffOnThisDesktop.in(language_));
      return p.preferenceStatus ? *p.preferenceStatus : copy("Waiting for a sponsor");
    case SponsorState::sponsorPreview:
      return copy("Sponsor preview");
    case SponsorState::sponsorsEnabled:
      return copy("Counting is suspended here");
  }
  return {};
}

std::string PopoverText::detail(const PopoverPresentation& p) const {
  const bool italian = language_ == AppLanguage::it;
  switch (p.state()) {
    case SponsorState::signInRequired:
      return {};
    case SponsorState::sponsorsDisabled:
      return copy("Enable sponsors when you want to offer this space again.");
    case SponsorState::sponsorsPaused:
      return p.snoozedUntil ? copy("Sponsors will resume automatically. You can also resume now.")
                            : copy("Sponsors stay paused until you choose to resume.");
    case SponsorState::waitingForSponsor:
      if (const CopyEntry* refused = refusalText(p.desktopRefusal)) return std::string(refused->in(language_));
      if (p.preferenceStatus) {
        return italian ? "Puoi modificare le tue scelte in Sponsor e orari. La pausa manuale resta sempre valida."
                       : "You can change your choices in Sponsors and hours. A manual pause always stays in effect.";
      }
      return copy("No sponsor is assigned right now. Close this popup to let Nimbrella check again.");
    case SponsorState::sponsorPreview:
      return copy("This is a preview and earns no rewards. Counting is also suspended while this popup is open.");
    case SponsorState::sponsorsEnabled:
      return copy(
          "The popup is open, so this exposure is not being counted. Close it to allow counting when eligible. "
          "Website visits earn nothing extra.");
  }
  return {};
}

std::string PopoverText::connectionTitle(bool pending) const {
  return copy(pending ? "Waiting for browser approval" : "Sign in required");
}

std::string PopoverText::connectionText(bool pending) const {
  return copy(pending ? platformText::approveThisComputer.english : platformText::signInToConnect.english);
}

std::string PopoverText::connectButton(bool pending) const {
  return copy(pending ? "Continue in browser" : "Sign in or create an account");
}

namespace {

bool isHexColor(const std::string& text) {
  return text.size() == 7 && text[0] == '#' &&
         std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// WCAG relative luminance of one sRGB channel.
double linear(int channel) {
  const double c = channel / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

}  // namespace

CardColors cardColors(const std::optional<std::string>& accentColor) {
  const std::string background = accentColor && isHexColor(*accentColor) ? *accentColor : "#202923";
  const auto channel = [&background](int at) { return std::stoi(background.substr(at, 2), nullptr, 16); };
  const double luminance = 0.2126 * linear(channel(1)) + 0.7152 * linear(channel(3)) + 0.0722 * linear(channel(5));
  // Contrast against white is (1.05) / (L + 0.05), against black (L + 0.05) / 0.05.
  const bool whiteText = 1.05 / (luminance + 0.05) >= (luminance + 0.05) / 0.05;
  return {background, whiteText ? "#FFFFFF" : "#000000"};
}

}  // namespace nimbrella
