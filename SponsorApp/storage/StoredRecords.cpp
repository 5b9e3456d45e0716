#include "SponsorApp/storage/StoredRecords.hpp"

namespace nimbrella {

using nlohmann::ordered_json;

namespace {

NetworkMode requiredMode(const ordered_json& object, std::string_view key) {
  const std::string raw = json::requiredString(object, key);
  const std::optional<NetworkMode> mode = networkModeFromRaw(raw);
  if (!mode) throw DecodingError("key \"" + std::string(key) + "\": unknown network mode");
  return *mode;
}

}  // namespace

ordered_json DeviceCredential::toJson() const {
  ordered_json json = ordered_json::object();
  json["endpoint"] = endpoint;
  json["deviceId"] = deviceId;
  json["token"] = token;
  json["mode"] = rawValue(mode);
  return json;
}

DeviceCredential DeviceCredential::fromJson(const ordered_json& json) {
  json::requireObject(json, "DeviceCredential");
  DeviceCredential record;
  record.endpoint = json::requiredString(json, "endpoint");
  record.deviceId = json::requiredString(json, "deviceId");
  record.token = json::requiredString(json, "token");
  record.mode = requiredMode(json, "mode");
  return record;
}

ordered_json PersistedCompletion::toJson() const {
  ordered_json json = ordered_json::object();
  json["endpoint"] = endpoint;
  json["deviceId"] = deviceId;
  json["request"] = request.toJson();
  if (termsVersion) json["termsVersion"] = *termsVersion;
  return json;
}

PersistedCompletion PersistedCompletion::fromJson(const ordered_json& json) {
  json::requireObject(json, "PersistedCompletion");
  PersistedCompletion record;
  record.endpoint = json::requiredString(json, "endpoint");
  record.deviceId = json::requiredString(json, "deviceId");
  record.request = CompleteRequest::fromJson(json::requiredObject(json, "request"));
  record.termsVersion = json::optionalString(json, "termsVersion");
  return record;
}

}  // namespace nimbrella
