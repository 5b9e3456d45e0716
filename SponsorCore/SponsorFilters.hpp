#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace nimbrella {

// The filters a sponsor request carries to the server. Encoded only, never decoded;
// both keys are always written, also for empty lists.
struct SponsorFilters {
  std::vector<std::string> blockedAdvertiserIds;
  std::vector<std::string> allowedCategories;

  bool operator==(const SponsorFilters&) const = default;

  nlohmann::ordered_json toJson() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["blockedAdvertiserIds"] = blockedAdvertiserIds;
    json["allowedCategories"] = allowedCategories;
    return json;
  }
};

}  // namespace nimbrella
