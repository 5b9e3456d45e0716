#include "SponsorServer/Campaigns.hpp"

#include "SponsorCore/MenuBarContent.hpp"
#include "SponsorCore/TextMeasurer.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

namespace nimbrella::server {
namespace {

constexpr std::array<std::string_view, 6> categories = {
    "software", "creativity", "education", "business", "lifestyle", "other"};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Measures every text as taking no room: the server cannot know the fonts of the
// computer that will paint the item, so it checks every rule of the content except the
// width, which the application decides for itself.
class NoWidthMeasurer final : public TextMeasurer {
 public:
  Size measure(std::string_view, const FontSpec&) const override { return Size{0, 0}; }
};

void checkCreative(const Campaign& campaign, const std::string& where) {
  const SponsorCreative& creative = campaign.creative;
  const auto fail = [&](const std::string& why) { throw CampaignError(where + ": " + why); };

  if (creative.advertiserId && !isUuidText(*creative.advertiserId)) {
    fail("advertiserId is not a UUID");
  }
  if (creative.category && !isSponsorCategory(*creative.category)) {
    fail("unknown category \"" + *creative.category + "\"");
  }
  try {
    const NoWidthMeasurer measurer;
    (void)MenuBarContent(creative, measurer);
  } catch (const ContentError&) {
    fail("the menu-bar content is refused (menuText must be \"Ad \xC2\xB7 \" and the sponsor, "
         "tagline at most 34 characters without control characters or line breaks, accent "
         "# and six hexadecimal digits, logo a PNG data URL of at most 48000 bytes and 1024 "
         "pixels a side)");
  }
  for (const std::string* text : {&creative.sponsor, &creative.headline, &creative.body,
                                  &creative.cta, &creative.url}) {
    if (!isValidUtf8(*text)) fail("a text is not UTF-8");
  }

  // The lease the server would hand out must be one the application accepts.
  ExposureLease lease;
  lease.leaseId = "check";
  lease.nonce = "check";
  lease.durationMs = campaign.durationMs();
  const Date now = std::chrono::system_clock::now();
  lease.expiresAt = formatInternetDate(now + std::chrono::hours(1));
  lease.creative = creative;
  lease.rewardMicros = campaign.rewardMicros;
  lease.currency = "EUR";
  lease.mode = NetworkMode::live;
  lease.termsVersion = campaign.termsVersion;
  lease.measurementVersion = campaign.measurementVersion();
  if (campaign.isPreview()) lease.preview = true;
  lease.campaignId = campaign.id;
  if (!lease.isValid(now)) {
    fail("its leases would be invalid (texts empty or too long, link not a public HTTPS "
         "address, or reward not allowed by its terms)");
  }
}

}  // namespace

std::string Campaign::measurementVersion() const {
  if (isPreview()) return "admin-preview-v1";
  if (termsVersion == "minute-v2") return "menubar-qualified-60s-v2";
  return "menubar-qualified-10s-v1";
}

bool isSponsorCategory(std::string_view category) {
  return std::find(categories.begin(), categories.end(), category) != categories.end();
}

std::vector<Campaign> parseCampaigns(std::string_view text, bool enablePreviews) {
  json::Json root;
  try {
    root = json::parse(text);
  } catch (const DecodingError& error) {
    throw CampaignError(std::string("the campaign file is not JSON: ") + error.what());
  }
  std::vector<Campaign> campaigns;
  std::set<std::string> ids;
  try {
    json::requireObject(root, "campaign file");
    const auto& list = json::requiredArray(root, "campaigns");
    if (list.empty()) throw CampaignError("the campaign file lists no campaigns");
    if (list.size() > 1000) throw CampaignError("the campaign file lists over 1000 campaigns");
    std::size_t index = 0;
    for (const auto& item : list) {
      const std::string where = "campaign " + std::to_string(index++);
      try {
        json::requireObject(item, where);
        Campaign campaign;
        campaign.id = json::requiredString(item, "id");
        if (!isUuidText(campaign.id)) throw CampaignError(where + ": id is not a UUID");
        campaign.id = lowered(campaign.id);
        if (!ids.insert(campaign.id).second) throw CampaignError(where + ": duplicate id");
        campaign.active = json::requiredBool(item, "active");
        campaign.termsVersion = json::optionalString(item, "termsVersion");
        if (campaign.termsVersion && *campaign.termsVersion != "brand-v1" &&
            *campaign.termsVersion != "minute-v2" && *campaign.termsVersion != "admin-preview-v1") {
          throw CampaignError(where + ": unknown termsVersion");
        }
        campaign.rewardMicros = json::requiredInt(item, "rewardMicros");
        if (campaign.rewardMicros < 0 || campaign.rewardMicros > 1'000'000'000) {
          throw CampaignError(where + ": rewardMicros must be 0 to 1000000000");
        }
        if (campaign.isPreview() && campaign.rewardMicros != 0) {
          throw CampaignError(where + ": an admin preview pays nothing");
        }
        campaign.cooldownSeconds = json::optionalInt(item, "cooldownSeconds").value_or(0);
        if (campaign.cooldownSeconds < 0 || campaign.cooldownSeconds > 86400) {
          throw CampaignError(where + ": cooldownSeconds must be 0 to 86400");
        }
        campaign.dailyLimit = json::optionalInt(item, "dailyLimit");
        if (campaign.dailyLimit && *campaign.dailyLimit < 1) {
          throw CampaignError(where + ": dailyLimit must be at least 1");
        }
        campaign.creative = SponsorCreative::fromJson(json::requiredObject(item, "creative"));
        if (enablePreviews && campaign.isPreview()) campaign.active = true;
        checkCreative(campaign, where);
        campaigns.push_back(std::move(campaign));
      } catch (const DecodingError& error) {
        throw CampaignError(where + ": " + error.what());
      }
    }
  } catch (const DecodingError& error) {
    throw CampaignError(std::string("the campaign file is malformed: ") + error.what());
  } catch (const nlohmann::json::exception& error) {
    throw CampaignError(std::string("the campaign file is malformed: ") + error.what());
  }
  return campaigns;
}

std::vector<Campaign> loadCampaignFile(const std::string& path, bool enablePreviews) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw CampaignError("cannot read the campaign file " + path);
  std::ostringstream text;
  text << file.rdbuf();
  if (text.str().size() > 16 * 1024 * 1024) {
    throw CampaignError("the campaign file " + path + " is larger than 16 MB");
  }
  try {
    return parseCampaigns(text.str(), enablePreviews);
  } catch (const CampaignError& error) {
    throw CampaignError(path + ": " + error.what());
  }
}

}  // namespace nimbrella::server
