#include "SponsorCore/WireRecords.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/SafeEndpoint.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"


namespace nimbrella {

using nlohmann::ordered_json;
using namespace json;

namespace {

template <class T>
void putOptional(ordered_json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

void putOptionalRecord(ordered_json& object, const char* key, const auto& value) {
  if (value) object[key] = value->toJson();
}

NetworkMode requiredMode(const ordered_json& object, std::string_view key) {
  const std::string raw = requiredString(object, key);
  const auto mode = networkModeFromRaw(raw);
  if (!mode) throw DecodingError("key \"" + std::string(key) + "\": unknown network mode");
  return *mode;
}

template <class T>
std::optional<T> optionalRecord(const ordered_json& object, std::string_view key) {
  const ordered_json* nested = optionalObject(object, key);
  if (nested == nullptr) return std::nullopt;
  return T::fromJson(*nested);
}

}  // namespace

std::optional<NetworkMode> networkModeFromRaw(std::string_view raw) {
  if (raw == "sandbox") return NetworkMode::sandbox;
  if (raw == "live") return NetworkMode::live;
  return std::nullopt;
}

std::string_view rawValue(NetworkMode mode) {
  switch (mode) {
    case NetworkMode::sandbox:
      return "sandbox";
    case NetworkMode::live:
      return "live";
  }
  return "live";
}

// DeviceAuthorizationStart

std::optional<Date> DeviceAuthorizationStart::expiration() const { return parseInternetDate(expiresAt); }

ordered_json DeviceAuthorizationStart::toJson() const {
  ordered_json json = ordered_json::object();
  json["deviceCode"] = deviceCode;
  json["userCode"] = userCode;
  json["verificationUrl"] = verificationUrl;
  json["expiresAt"] = expiresAt;
  json["interval"] = interval;
  json["mode"] = rawValue(mode);
  return json;
}

DeviceAuthorizationStart DeviceAuthorizationStart::fromJson(const ordered_json& json) {
  requireObject(json, "DeviceAuthorizationStart");
  DeviceAuthorizationStart record;
  record.deviceCode = requiredString(json, "deviceCode");
  record.userCode = requiredString(json, "userCode");
  record.verificationUrl = requiredString(json, "verificationUrl");
  record.expiresAt = requiredString(json, "expiresAt");
  record.interval = requiredInt(json, "interval");
  record.mode = requiredMode(json, "mode");
  return record;
}

// DeviceAuthorizationPoll

ordered_json DeviceAuthorizationPoll::toJson() const {
  ordered_json json = ordered_json::object();
  json["status"] = status;
  putOptional(json, "deviceId", deviceId);
  putOptional(json, "interval", interval);
  putOptional(json, "expiresAt", expiresAt);
  json["mode"] = rawValue(mode);
  return json;
}

DeviceAuthorizationPoll DeviceAuthorizationPoll::fromJson(const ordered_json& json) {
  requireObject(json, "DeviceAuthorizationPoll");
  DeviceAuthorizationPoll record;
  record.status = requiredString(json, "status");
  record.deviceId = optionalString(json, "deviceId");
  record.interval = optionalInt(json, "interval");
  record.expiresAt = optionalString(json, "expiresAt");
  record.mode = requiredMode(json, "mode");
  return record;
}

// PairRequest / PairResponse

PairRequest::PairRequest(std::string code_, std::string publicKey_)
    : code(std::move(code_)), publicKey(std::move(publicKey_)) {}

ordered_json PairRequest::toJson() const {
  ordered_json json = ordered_json::object();
  json["code"] = code;
  json["publicKey"] = publicKey;
  json["name"] = name;
  return json;
}

PairRequest PairRequest::fromJson(const ordered_json& json) {
  requireObject(json, "PairRequest");
  PairRequest record;
  record.code = requiredString(json, "code");
  record.publicKey = requiredString(json, "publicKey");
  record.name = requiredString(json, "name");
  return record;
}

ordered_json PairResponse::toJson() const {
  ordered_json json = ordered_json::object();
  json["deviceId"] = deviceId;
  json["token"] = token;
  json["mode"] = rawValue(mode);
  return json;
}

PairResponse PairResponse::fromJson(const ordered_json& json) {
  requireObject(json, "PairResponse");
  PairResponse record;
  record.deviceId = requiredString(json, "deviceId");
  record.token = requiredString(json, "token");
  record.mode = requiredMode(json, "mode");
  return record;
}

// Account records

ordered_json ReferralSummary::toJson() const {
  ordered_json json = ordered_json::object();
  json["referredCount"] = referredCount;
  json["earnedMicros"] = earnedMicros;
  return json;
}

ReferralSummary ReferralSummary::fromJson(const ordered_json& json) {
  requireObject(json, "ReferralSummary");
  ReferralSummary record;
  record.referredCount = requiredInt(json, "referredCount");
  record.earnedMicros = requiredInt(json, "earnedMicros");
  return record;
}

ordered_json EarningsSummary::toJson() const {
  ordered_json json = ordered_json::object();
  json["totalMicros"] = totalMicros;
  json["pendingMicros"] = pendingMicros;
  json["availableMicros"] = availableMicros;
  json["held"] = held;
  json["payoutReady"] = payoutReady;
  return json;
}

EarningsSummary EarningsSummary::fromJson(const ordered_json& json) {
  requireObject(json, "EarningsSummary");
  EarningsSummary record;
  record.totalMicros = requiredInt(json, "totalMicros");
  record.pendingMicros = requiredInt(json, "pendingMicros");
  record.availableMicros = requiredInt(json, "availableMicros");
  record.held = requiredBool(json, "held");
  record.payoutReady = requiredBool(json, "payoutReady");
  return record;
}

EarningsDay::EarningsDay(std::string day_, std::int64_t earnedMicros_)
    : day(std::move(day_)), earnedMicros(earnedMicros_) {}

ordered_json EarningsDay::toJson() const {
  ordered_json json = ordered_json::object();
  json["day"] = day;
  json["earnedMicros"] = earnedMicros;
  return json;
}

EarningsDay EarningsDay::fromJson(const ordered_json& json) {
  requireObject(json, "EarningsDay");
  EarningsDay record;
  record.day = requiredString(json, "day");
  record.earnedMicros = requiredInt(json, "earnedMicros");
  return record;
}

ordered_json EarningsReport::toJson() const {
  ordered_json days = ordered_json::array();
  for (const EarningsDay& day : daily) days.push_back(day.toJson());
  ordered_json json = ordered_json::object();
  json["daily"] = std::move(days);
  return json;
}

EarningsReport EarningsReport::fromJson(const ordered_json& json) {
  requireObject(json, "EarningsReport");
  const ordered_json& days = requiredArray(json, "daily");
  EarningsReport record;
  record.daily.reserve(days.size());
  for (const ordered_json& day : days) record.daily.push_back(EarningsDay::fromJson(day));
  return record;
}

ordered_json DeviceResponse::toJson() const {
  ordered_json json = ordered_json::object();
  putOptionalRecord(json, "referral", referral);
  json["deviceId"] = deviceId;
  json["balanceMicros"] = balanceMicros;
  json["mode"] = rawValue(mode);
  putOptionalRecord(json, "earnings", earnings);
  putOptionalRecord(json, "reports", reports);
  return json;
}

DeviceResponse DeviceResponse::fromJson(const ordered_json& json) {
  requireObject(json, "DeviceResponse");
  DeviceResponse record;
  record.referral = optionalRecord<ReferralSummary>(json, "referral");
  record.deviceId = requiredString(json, "deviceId");
  record.balanceMicros = requiredInt(json, "balanceMicros");
  record.mode = requiredMode(json, "mode");
  record.earnings = optionalRecord<EarningsSummary>(json, "earnings");
  record.reports = optionalRecord<EarningsReport>(json, "reports");
  return record;
}

// SponsorCreative

ordered_json SponsorCreative::toJson() const {
  ordered_json json = ordered_json::object();
  putOptional(json, "advertiserId", advertiserId);
  putOptional(json, "category", category);
  json["sponsor"] = sponsor;
  json["headline"] = headline;
  json["body"] = body;
  json["cta"] = cta;
  json["url"] = url;
  putOptional(json, "menuText", menuText);
  putOptional(json, "menuTagline", menuTagline);
  putOptional(json, "accentColor", accentColor);
  putOptional(json, "logoData", logoData);
  return json;
}

SponsorCreative SponsorCreative::fromJson(const ordered_json& json) {
  requireObject(json, "SponsorCreative");
  SponsorCreative record;
  record.advertiserId = optionalString(json, "advertiserId");
  record.category = optionalString(json, "category");
  record.sponsor = requiredString(json, "sponsor");
  record.headline = requiredString(json, "headline");
  record.body = requiredString(json, "body");
  record.cta = requiredString(json, "cta");
  record.url = requiredString(json, "url");
  record.menuText = optionalString(json, "menuText");
  record.menuTagline = optionalString(json, "menuTagline");
  record.accentColor = optionalString(json, "accentColor");
  record.logoData = optionalString(json, "logoData");
  return record;
}

// ExposureLease

namespace {

constexpr std::string_view brandTerms = "brand-v1";
constexpr std::string_view minuteTerms = "minute-v2";
constexpr std::string_view previewTerms = "admin-preview-v1";
constexpr std::string_view previewMeasurement = "admin-preview-v1";
constexpr std::string_view minuteMeasurement = "menubar-qualified-60s-v2";
constexpr std::string_view standardMeasurement = "menubar-qualified-10s-v1";

bool containsLineFeed(std::string_view text) { return text.find('\n') != std::string_view::npos; }

// True when the well-formed UTF-8 text has at least `minimum` and at most `maximum`
// user-perceived characters. Ill-formed text never fits. A text that is no longer in
// bytes than the limit cannot exceed it in characters, so only longer texts are counted.
bool fitsCharacters(std::string_view text, std::size_t minimum, std::size_t maximum) {
  if (text.size() < minimum) return false;  // every character takes at least one byte
  if (!isValidUtf8(text)) return false;
  if (text.size() <= maximum) return minimum == 0 || !text.empty();
  const auto count = graphemeCount(text);
  return count && *count >= minimum && *count <= maximum;
}

}  // namespace

bool ExposureLease::isPreview() const { return preview == true && termsVersion == previewTerms; }

bool ExposureLease::requiresReceipt() const { return !isPreview(); }

bool ExposureLease::isMinute() const { return termsVersion == minuteTerms; }

std::optional<Date> ExposureLease::expiration() const { return parseInternetDate(expiresAt); }

bool ExposureLease::isValid(Date now) const {
  // 1. Unknown terms are admitted only for an admin preview (checked at step 15).
  const bool termsAdmitted =
      !termsVersion || *termsVersion == brandTerms || *termsVersion == minuteTerms || isPreview();

  // 2. The measurement version these terms call for.
  const std::string_view expectedMeasurement = isPreview()  ? previewMeasurement
                                               : isMinute() ? minuteMeasurement
                                                            : standardMeasurement;

  // 3. Previews carry no reward, name their measurement and their campaign.
  if (preview == true) {
    if (!isPreview()) return false;
    if (rewardMicros != 0) return false;
    if (measurementVersion != previewMeasurement) return false;
    if (!campaignId || !isUuidText(*campaignId)) return false;
  }

  // 4, 5. Identifiers.
  if (!fitsCharacters(leaseId, 1, 128) || containsLineFeed(leaseId)) return false;
  if (!fitsCharacters(nonce, 1, 512) || containsLineFeed(nonce)) return false;

  // 6 to 8. Duration, currency, reward.
  if (durationMs < 1 || durationMs > 60000) return false;
  if (currency != "EUR") return false;
  if (rewardMicros < 0) return false;

  // 9, 10. Expiry strictly after now.
  const auto expiry = expiration();
  if (!expiry) return false;
  if (!(*expiry > now)) return false;

  // 11 to 14. Creative texts.
  if (!fitsCharacters(creative.sponsor, 1, 120)) return false;
  if (!fitsCharacters(creative.headline, 1, 200)) return false;
  if (!fitsCharacters(creative.body, 0, 1000)) return false;
  if (!fitsCharacters(creative.cta, 0, 80)) return false;

  // 15. Terms admission.
  if (!termsAdmitted) return false;

  // 16. Duration fixed by the terms.
  if (durationMs != (isMinute() ? 60000 : 10000)) return false;

  // 17. Measurement version, when given.
  if (measurementVersion && *measurementVersion != expectedMeasurement) return false;

  // 18. The advertiser link must be one the browser may open.
  return SafeEndpoint::advertiserURL(creative.url).has_value();
}

ordered_json ExposureLease::toJson() const {
  ordered_json json = ordered_json::object();
  json["leaseId"] = leaseId;
  json["nonce"] = nonce;
  json["durationMs"] = durationMs;
  json["expiresAt"] = expiresAt;
  json["creative"] = creative.toJson();
  json["rewardMicros"] = rewardMicros;
  json["currency"] = currency;
  json["mode"] = rawValue(mode);
  putOptional(json, "termsVersion", termsVersion);
  putOptional(json, "measurementVersion", measurementVersion);
  putOptional(json, "preview", preview);
  putOptional(json, "campaignId", campaignId);
  return json;
}

ExposureLease ExposureLease::fromJson(const ordered_json& json) {
  requireObject(json, "ExposureLease");
  ExposureLease record;
  record.leaseId = requiredString(json, "leaseId");
  record.nonce = requiredString(json, "nonce");
  record.durationMs = requiredInt(json, "durationMs");
  record.expiresAt = requiredString(json, "expiresAt");
  record.creative = SponsorCreative::fromJson(requiredObject(json, "creative"));
  record.rewardMicros = requiredInt(json, "rewardMicros");
  record.currency = requiredString(json, "currency");
  record.mode = requiredMode(json, "mode");
  record.termsVersion = optionalString(json, "termsVersion");
  record.measurementVersion = optionalString(json, "measurementVersion");
  record.preview = optionalBool(json, "preview");
  record.campaignId = optionalString(json, "campaignId");
  return record;
}

// Completion

ordered_json CompleteRequest::toJson() const {
  ordered_json json = ordered_json::object();
  json["leaseId"] = leaseId;
  json["nonce"] = nonce;
  json["elapsedMs"] = elapsedMs;
  json["sequence"] = sequence;
  json["signature"] = signature;
  return json;
}

CompleteRequest CompleteRequest::fromJson(const ordered_json& json) {
  requireObject(json, "CompleteRequest");
  CompleteRequest record;
  record.leaseId = requiredString(json, "leaseId");
  record.nonce = requiredString(json, "nonce");
  record.elapsedMs = requiredInt(json, "elapsedMs");
  record.sequence = requiredInt(json, "sequence");
  record.signature = requiredString(json, "signature");
  return record;
}

ordered_json CompleteResponse::toJson() const {
  ordered_json json = ordered_json::object();
  json["status"] = status;
  putOptional(json, "reason", reason);
  putOptional(json, "receiptId", receiptId);
  putOptional(json, "rewardMicros", rewardMicros);
  putOptional(json, "balanceMicros", balanceMicros);
  return json;
}

CompleteResponse CompleteResponse::fromJson(const ordered_json& json) {
  requireObject(json, "CompleteResponse");
  CompleteResponse record;
  record.status = requiredString(json, "status");
  record.reason = optionalString(json, "reason");
  record.receiptId = optionalString(json, "receiptId");
  record.rewardMicros = optionalInt(json, "rewardMicros");
  record.balanceMicros = optionalInt(json, "balanceMicros");
  return record;
}

ordered_json EmptyResponse::toJson() const { return ordered_json::object(); }

EmptyResponse EmptyResponse::fromJson(const ordered_json&) { return {}; }

ordered_json BrowserHandoffResponse::toJson() const {
  ordered_json json = ordered_json::object();
  json["ticket"] = ticket;
  json["expiresAt"] = expiresAt;
  json["mode"] = rawValue(mode);
  return json;
}

BrowserHandoffResponse BrowserHandoffResponse::fromJson(const ordered_json& json) {
  requireObject(json, "BrowserHandoffResponse");
  BrowserHandoffResponse record;
  record.ticket = requiredString(json, "ticket");
  record.expiresAt = requiredString(json, "expiresAt");
  record.mode = requiredMode(json, "mode");
  return record;
}

// Request bodies

namespace requests {

ordered_json AuthorizationStart::toJson() const {
  ordered_json json = ordered_json::object();
  json["name"] = name;
  json["publicKey"] = publicKey;
  return json;
}

AuthorizationStart AuthorizationStart::fromJson(const ordered_json& json) {
  requireObject(json, "AuthorizationStart");
  AuthorizationStart record;
  record.name = requiredString(json, "name");
  record.publicKey = requiredString(json, "publicKey");
  return record;
}

ordered_json ExposureStart::toJson() const {
  ordered_json json = ordered_json::object();
  json["placement"] = placement;
  putOptional(json, "afterPreviewCampaignId", afterPreviewCampaignId);
  json["preferences"] = preferences.toJson();
  return json;
}

ExposureStart ExposureStart::fromJson(const ordered_json& json) {
  requireObject(json, "ExposureStart");
  ExposureStart record;
  record.placement = requiredString(json, "placement");
  record.afterPreviewCampaignId = optionalString(json, "afterPreviewCampaignId");
  const ordered_json& preferences = requiredObject(json, "preferences");
  record.preferences.blockedAdvertiserIds = requiredStringArray(preferences, "blockedAdvertiserIds");
  record.preferences.allowedCategories = requiredStringArray(preferences, "allowedCategories");
  return record;
}

ordered_json Cancel::toJson() const {
  ordered_json json = ordered_json::object();
  json["leaseId"] = leaseId;
  return json;
}

Cancel Cancel::fromJson(const ordered_json& json) {
  requireObject(json, "Cancel");
  return Cancel{requiredString(json, "leaseId")};
}

ordered_json Click::toJson() const {
  ordered_json json = ordered_json::object();
  json["leaseId"] = leaseId;
  return json;
}

Click Click::fromJson(const ordered_json& json) {
  requireObject(json, "Click");
  return Click{requiredString(json, "leaseId")};
}

ordered_json Proof::toJson() const {
  ordered_json json = ordered_json::object();
  json["nonce"] = nonce;
  json["timestamp"] = timestamp;
  json["locale"] = locale;
  json["signature"] = signature;
  return json;
}

Proof Proof::fromJson(const ordered_json& json) {
  requireObject(json, "Proof");
  Proof record;
  record.nonce = requiredString(json, "nonce");
  record.timestamp = requiredInt(json, "timestamp");
  record.locale = requiredString(json, "locale");
  record.signature = requiredString(json, "signature");
  return record;
}

ordered_json EmptyBody::toJson() const { return ordered_json::object(); }

EmptyBody EmptyBody::fromJson(const ordered_json& json) {
  requireObject(json, "EmptyBody");
  return {};
}

}  // namespace requests

}  // namespace nimbrella
