#pragma once

#include "SponsorCore/Date.hpp"
#include "SponsorCore/Json.hpp"
#include "SponsorCore/SponsorFilters.hpp"

#include "SponsorCore/PlatformText.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The JSON records exchanged with the server. Every record encodes with its keys in
// declaration order (absent optionals are left out, never written as null) and decodes
// strictly: a missing, null or mistyped required field fails the whole record with a
// DecodingError; a missing or null optional field is absent; unknown keys are ignored.
// Decoding applies no range checks; those are separate operations such as
// ExposureLease::isValid.
namespace nimbrella {

class ReceiptSigner;

// Network mode of an account, carried as "sandbox" or "live".
enum class NetworkMode { sandbox, live };

std::optional<NetworkMode> networkModeFromRaw(std::string_view raw);
std::string_view rawValue(NetworkMode mode);

// Answer of the browser authorization start; also kept while an authorization is pending.
struct DeviceAuthorizationStart {
  std::string deviceCode;
  std::string userCode;
  std::string verificationUrl;
  std::string expiresAt;
  std::int64_t interval = 0;
  NetworkMode mode = NetworkMode::live;

  // The parsed expiresAt; nothing when it does not parse.
  std::optional<Date> expiration() const;

  bool operator==(const DeviceAuthorizationStart&) const = default;
  nlohmann::ordered_json toJson() const;
  static DeviceAuthorizationStart fromJson(const nlohmann::ordered_json& json);
};

// Answer of one authorization poll.
struct DeviceAuthorizationPoll {
  std::string status;
  std::optional<std::string> deviceId;
  std::optional<std::int64_t> interval;
  std::optional<std::string> expiresAt;
  NetworkMode mode = NetworkMode::live;

  bool operator==(const DeviceAuthorizationPoll&) const = default;
  nlohmann::ordered_json toJson() const;
  static DeviceAuthorizationPoll fromJson(const nlohmann::ordered_json& json);
};

// Pairing with a dashboard code.
struct PairRequest {
  std::string code;
  std::string publicKey;
  std::string name = std::string(platformText::deviceName);

  PairRequest() = default;
  PairRequest(std::string code, std::string publicKey);

  bool operator==(const PairRequest&) const = default;
  nlohmann::ordered_json toJson() const;
  static PairRequest fromJson(const nlohmann::ordered_json& json);
};

struct PairResponse {
  std::string deviceId;
  std::string token;
  NetworkMode mode = NetworkMode::live;

  bool operator==(const PairResponse&) const = default;
  nlohmann::ordered_json toJson() const;
  static PairResponse fromJson(const nlohmann::ordered_json& json);
};

struct ReferralSummary {
  std::int64_t referredCount = 0;
  std::int64_t earnedMicros = 0;

  bool operator==(const ReferralSummary&) const = default;
  nlohmann::ordered_json toJson() const;
  static ReferralSummary fromJson(const nlohmann::ordered_json& json);
};

struct EarningsSummary {
  std::int64_t totalMicros = 0;
  std::int64_t pendingMicros = 0;
  std::int64_t availableMicros = 0;
  bool held = false;
  bool payoutReady = false;

  bool operator==(const EarningsSummary&) const = default;
  nlohmann::ordered_json toJson() const;
  static EarningsSummary fromJson(const nlohmann::ordered_json& json);
};

// One day of earnings; `day` is a UTC calendar date "yyyy-MM-dd" and identifies it.
struct EarningsDay {
  std::string day;
  std::int64_t earnedMicros = 0;

  EarningsDay() = default;
  EarningsDay(std::string day, std::int64_t earnedMicros);

  bool operator==(const EarningsDay&) const = default;
  nlohmann::ordered_json toJson() const;
  static EarningsDay fromJson(const nlohmann::ordered_json& json);
};

struct EarningsReport {
  std::vector<EarningsDay> daily;

  bool operator==(const EarningsReport&) const = default;
  nlohmann::ordered_json toJson() const;
  static EarningsReport fromJson(const nlohmann::ordered_json& json);
};

// The device's account summary.
struct DeviceResponse {
  std::optional<ReferralSummary> referral;
  std::string deviceId;
  std::int64_t balanceMicros = 0;
  NetworkMode mode = NetworkMode::live;
  std::optional<EarningsSummary> earnings;
  std::optional<EarningsReport> reports;

  bool operator==(const DeviceResponse&) const = default;
  nlohmann::ordered_json toJson() const;
  static DeviceResponse fromJson(const nlohmann::ordered_json& json);
};

// The sponsor's item, compared field by field.
struct SponsorCreative {
  std::optional<std::string> advertiserId;
  std::optional<std::string> category;
  std::string sponsor;
  std::string headline;
  std::string body;
  std::string cta;
  std::string url;
  std::optional<std::string> menuText;
  std::optional<std::string> menuTagline;
  std::optional<std::string> accentColor;
  std::optional<std::string> logoData;

  bool operator==(const SponsorCreative&) const = default;
  nlohmann::ordered_json toJson() const;
  static SponsorCreative fromJson(const nlohmann::ordered_json& json);
};

// The server's grant of one exposure.
struct ExposureLease {
  std::string leaseId;
  std::string nonce;
  std::int64_t durationMs = 0;
  std::string expiresAt;
  SponsorCreative creative;
  std::int64_t rewardMicros = 0;
  std::string currency;
  NetworkMode mode = NetworkMode::live;
  std::optional<std::string> termsVersion;
  std::optional<std::string> measurementVersion;
  std::optional<bool> preview;
  std::optional<std::string> campaignId;

  // An admin preview: `preview` is true and the terms are "admin-preview-v1".
  bool isPreview() const;
  // Every lease except a preview is confirmed with a signed receipt.
  bool requiresReceipt() const;
  // A one-minute lease ("minute-v2" terms).
  bool isMinute() const;
  // The parsed expiresAt; nothing when it does not parse.
  std::optional<Date> expiration() const;
  // True only when the lease may be shown at `now`: identifiers, duration, reward,
  // currency, expiry, creative texts and link, terms and measurement version all hold.
  bool isValid(Date now) const;

  bool operator==(const ExposureLease&) const = default;
  nlohmann::ordered_json toJson() const;
  static ExposureLease fromJson(const nlohmann::ordered_json& json);
};

// The signed receipt of one completed exposure.
struct CompleteRequest {
  std::string leaseId;
  std::string nonce;
  std::int64_t elapsedMs = 0;
  std::int64_t sequence = 0;
  std::string signature;

  // The first (and only) receipt of a lease: sequence 1, signed by `signer`.
  // Throws what the signer throws.
  static CompleteRequest make(std::string leaseId, std::string nonce, std::int64_t elapsedMs,
                              const ReceiptSigner& signer);

  bool operator==(const CompleteRequest&) const = default;
  nlohmann::ordered_json toJson() const;
  static CompleteRequest fromJson(const nlohmann::ordered_json& json);
};

struct CompleteResponse {
  std::string status;
  std::optional<std::string> reason;
  std::optional<std::string> receiptId;
  std::optional<std::int64_t> rewardMicros;
  std::optional<std::int64_t> balanceMicros;

  bool operator==(const CompleteResponse&) const = default;
  nlohmann::ordered_json toJson() const;
  static CompleteResponse fromJson(const nlohmann::ordered_json& json);
};

// An answer whose body carries nothing: any well-formed JSON text decodes.
struct EmptyResponse {
  bool operator==(const EmptyResponse&) const = default;
  nlohmann::ordered_json toJson() const;  // {}
  static EmptyResponse fromJson(const nlohmann::ordered_json& json);
};

// Answer of the browser hand-off: a one-time ticket for the dashboard.
struct BrowserHandoffResponse {
  std::string ticket;
  std::string expiresAt;
  NetworkMode mode = NetworkMode::live;

  bool operator==(const BrowserHandoffResponse&) const = default;
  nlohmann::ordered_json toJson() const;
  static BrowserHandoffResponse fromJson(const nlohmann::ordered_json& json);
};

// Bodies sent by the server client.
namespace requests {

// Body of the browser authorization start.
struct AuthorizationStart {
  std::string name;
  std::string publicKey;

  bool operator==(const AuthorizationStart&) const = default;
  nlohmann::ordered_json toJson() const;
  static AuthorizationStart fromJson(const nlohmann::ordered_json& json);
};

// Body of a sponsor request; afterPreviewCampaignId is left out when absent.
struct ExposureStart {
  std::string placement;
  std::optional<std::string> afterPreviewCampaignId;
  SponsorFilters preferences;

  bool operator==(const ExposureStart&) const = default;
  nlohmann::ordered_json toJson() const;
  static ExposureStart fromJson(const nlohmann::ordered_json& json);
};

// Body of a lease cancellation.
struct Cancel {
  std::string leaseId;

  bool operator==(const Cancel&) const = default;
  nlohmann::ordered_json toJson() const;
  static Cancel fromJson(const nlohmann::ordered_json& json);
};

// Body of a click report.
struct Click {
  std::string leaseId;

  bool operator==(const Click&) const = default;
  nlohmann::ordered_json toJson() const;
  static Click fromJson(const nlohmann::ordered_json& json);
};

// Body of the browser hand-off request.
struct Proof {
  std::string nonce;
  std::int64_t timestamp = 0;
  std::string locale;
  std::string signature;

  bool operator==(const Proof&) const = default;
  nlohmann::ordered_json toJson() const;
  static Proof fromJson(const nlohmann::ordered_json& json);
};

// The body of operations that send none; it encodes as {}.
struct EmptyBody {
  bool operator==(const EmptyBody&) const = default;
  nlohmann::ordered_json toJson() const;
  // Accepts any JSON object.
  static EmptyBody fromJson(const nlohmann::ordered_json& json);
};

}  // namespace requests

}  // namespace nimbrella
