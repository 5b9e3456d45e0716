#pragma once

#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella::server {

// A campaign file that cannot be used; the text says which campaign and why.
class CampaignError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One sponsor campaign the server can lease exposures of.
struct Campaign {
  std::string id;  // lower-case UUID text
  bool active = false;
  std::optional<std::string> termsVersion;  // "brand-v1", "minute-v2", "admin-preview-v1"
  std::int64_t rewardMicros = 0;
  std::int64_t cooldownSeconds = 0;         // per device, after each completion
  std::optional<std::int64_t> dailyLimit;   // completions per device and UTC day
  SponsorCreative creative;

  bool isPreview() const { return termsVersion == "admin-preview-v1"; }
  // The qualified duration its terms demand.
  std::int64_t durationMs() const { return termsVersion == "minute-v2" ? 60000 : 10000; }
  std::string measurementVersion() const;
};

// Reads a campaign file:
//   {"campaigns": [{"id": UUID, "active": bool, "termsVersion": text (optional),
//                   "rewardMicros": int, "cooldownSeconds": int (optional),
//                   "dailyLimit": int (optional), "creative": SponsorCreative}, ...]}
// Every campaign must be one the application would show: identifiers, terms, reward,
// texts, link, menu-bar line, tagline, accent and logo are checked, and any deviation
// refuses the whole file. With `enablePreviews` admin previews are active whatever the
// file says.
std::vector<Campaign> parseCampaigns(std::string_view text, bool enablePreviews = false);
std::vector<Campaign> loadCampaignFile(const std::string& path, bool enablePreviews = false);

// The category identifiers a creative may carry.
bool isSponsorCategory(std::string_view category);

}  // namespace nimbrella::server
