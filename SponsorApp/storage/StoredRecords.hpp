#pragma once

#include "SponsorApp/storage/SecretStore.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbrella {

// The pairing of this computer with an account, kept under "device-credential-v1".
// All four keys are required. Decoding checks the shape only; whether the credential
// belongs to the current endpoint and environment is the reader's decision.
struct DeviceCredential {
  std::string endpoint;  // normalised text of the server origin the device belongs to
  std::string deviceId;
  std::string token;  // bearer token
  NetworkMode mode = NetworkMode::live;

  bool operator==(const DeviceCredential&) const = default;
  nlohmann::ordered_json toJson() const;
  static DeviceCredential fromJson(const nlohmann::ordered_json& json);
};

// A signed completion the server has not confirmed yet, kept under
// "pending-completion-v1" so that it is retried with the same signature after a restart.
struct PersistedCompletion {
  std::string endpoint;  // normalised origin text at the time of signing
  std::string deviceId;  // device of the credential that signed
  CompleteRequest request;  // exactly as sent
  std::optional<std::string> termsVersion;  // the lease's terms; left out when it had none

  bool operator==(const PersistedCompletion&) const = default;
  nlohmann::ordered_json toJson() const;
  static PersistedCompletion fromJson(const nlohmann::ordered_json& json);
};

// The compact JSON of a record as the bytes of a secret item.
template <class T>
SecretBytes encodeRecord(const T& record) {
  const std::string text = encodeJson(record);
  return SecretBytes(text.begin(), text.end());
}

// A record from the bytes of a secret item; DecodingError for anything that is not
// exactly a well-formed record.
template <class T>
T decodeRecord(std::span<const std::uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  return decodeJson<T>(text);
}

}  // namespace nimbrella
