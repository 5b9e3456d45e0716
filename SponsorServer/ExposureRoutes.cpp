// Exposures: start, completion, cancel and click.

#include "SponsorServer/DevServer.hpp"

#include "SponsorServer/Completion.hpp"
#include "SponsorServer/Crypto.hpp"
#include "SponsorServer/RouteSupport.hpp"

#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/Uuid.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace nimbrella::server {

using namespace routes;

namespace {

CompleteResponse rejected(std::string reason) {
  CompleteResponse response;
  response.status = "rejected";
  response.reason = std::move(reason);
  return response;
}

bool allowedByFilters(const Campaign& campaign, const SponsorFilters& filters) {
  const auto& creative = campaign.creative;
  if (!filters.blockedAdvertiserIds.empty()) {
    if (!creative.advertiserId) return false;
    const std::string advertiser = lowered(*creative.advertiserId);
    for (const auto& blocked : filters.blockedAdvertiserIds) {
      if (lowered(blocked) == advertiser) return false;
    }
  }
  const std::string category = creative.category.value_or("other");
  return std::find(filters.allowedCategories.begin(), filters.allowedCategories.end(), category) !=
         filters.allowedCategories.end();
}

CompleteResponse acceptedAnswer(const LeaseRow& lease) {
  CompleteResponse answer;
  answer.status = "accepted";
  answer.receiptId = lease.receiptId;
  answer.rewardMicros = lease.rewardMicros;
  answer.balanceMicros = lease.balanceAfter;
  return answer;
}

}  // namespace

HttpResponse DevServer::startExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::ExposureStart>(request);
  if (body.placement != "menubar-v1") return errorResponse(400, "unsupported_placement");
  if (body.afterPreviewCampaignId && !isUuidText(*body.afterPreviewCampaignId)) {
    return errorResponse(400, "invalid_campaign_id");
  }
  if (body.preferences.blockedAdvertiserIds.size() > 256 ||
      body.preferences.allowedCategories.size() > 64) {
    return errorResponse(400, "invalid_preferences");
  }
  const std::string afterPreview = lowered(body.afterPreviewCampaignId.value_or(""));

  const Date now = clock_.now();
  const std::int64_t nowMs = millis(now);

  struct Outcome {
    int status = 200;
    std::string reason;
    ExposureLease lease;
  };
  const Outcome outcome = store_.transaction([&](StoreSession& session) {
    Outcome result;
    if (const auto open = session.openLease(device->deviceId, nowMs)) {
      if (!open->preview) {
        result.status = 409;
        return result;
      }
      // A shown preview is never confirmed; asking for the next item ends it.
      LeaseRow finished = *open;
      finished.state = LeaseState::finished;
      finished.closedMs = nowMs;
      session.closeLease(finished);
    }

    std::vector<const Campaign*> candidates;
    for (const auto& campaign : campaigns_) {
      if (!campaign.active) continue;
      if (campaign.isPreview() && campaign.id == afterPreview) continue;
      candidates.push_back(&campaign);
    }
    if (candidates.empty()) {
      result.status = 204;
      result.reason = "no_eligible_campaign";
      return result;
    }
    std::vector<const Campaign*> allowed;
    for (const Campaign* campaign : candidates) {
      if (allowedByFilters(*campaign, body.preferences)) allowed.push_back(campaign);
    }
    if (allowed.empty()) {
      result.status = 204;
      result.reason = "preferences_filtered";
      return result;
    }

    const Campaign* chosen = nullptr;
    for (const Campaign* campaign : allowed) {
      if (campaign->isPreview()) {
        chosen = campaign;
        break;
      }
    }
    if (!chosen) {
      // One indexed look-up per campaign and rule: the work does not grow with the
      // device's history.
      bool coolingDown = false;
      std::int64_t chosenIssued = std::numeric_limits<std::int64_t>::max();
      for (const Campaign* campaign : allowed) {
        if (campaign->dailyLimit &&
            session.completionsOn(device->deviceId, campaign->id, utcDayStart(nowMs)) >= *campaign->dailyLimit) {
          continue;
        }
        if (campaign->cooldownSeconds > 0) {
          const auto completed = session.lastCompleted(device->deviceId, campaign->id);
          if (completed && nowMs < *completed + campaign->cooldownSeconds * 1000) {
            coolingDown = true;
            continue;
          }
        }
        // The campaign this device saw longest ago goes first.
        const std::int64_t at = session.lastIssued(device->deviceId, campaign->id)
                                    .value_or(std::numeric_limits<std::int64_t>::min());
        if (!chosen || at < chosenIssued) {
          chosen = campaign;
          chosenIssued = at;
        }
      }
      if (!chosen) {
        result.status = 204;
        result.reason = coolingDown ? "cooldown" : "daily_limit";
        return result;
      }
    }

    LeaseRow row;
    row.leaseId = "lease_" + randomToken();
    row.deviceId = device->deviceId;
    row.campaignId = chosen->id;
    row.nonce = randomToken();
    row.durationMs = chosen->durationMs();
    row.rewardMicros = chosen->rewardMicros;
    row.termsVersion = chosen->termsVersion;
    row.preview = chosen->isPreview();
    row.issuedMs = nowMs;
    row.expiresMs = nowMs + row.durationMs + options_.leaseGraceMs;

    ExposureLease& lease = result.lease;
    lease.leaseId = row.leaseId;
    lease.nonce = row.nonce;
    lease.durationMs = row.durationMs;
    lease.expiresAt = formatInternetDate(fromMillis(row.expiresMs));
    lease.creative = chosen->creative;
    lease.rewardMicros = row.rewardMicros;
    lease.currency = "EUR";
    lease.mode = NetworkMode::live;
    lease.termsVersion = chosen->termsVersion;
    lease.measurementVersion = chosen->measurementVersion();
    if (row.preview) lease.preview = true;
    lease.campaignId = chosen->id;
    // Never hand out a lease the application would refuse.
    if (!lease.isValid(now)) throw Refusal{500, "invalid_campaign"};
    session.insertLease(row);
    return result;
  });

  if (outcome.status == 409) return errorResponse(409, "lease_open");
  if (outcome.status == 204) {
    HttpResponse response = noContent();
    response.headers.emplace_back("X-Nimbrella-Reason", outcome.reason);
    return response;
  }
  return jsonResponse(200, outcome.lease.toJson());
}

HttpResponse DevServer::completeExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<CompleteRequest>(request);
  if (body.leaseId.empty() || body.leaseId.size() > 512 || body.nonce.size() > 2048 ||
      body.signature.size() > 512) {
    return errorResponse(400, "invalid_body");
  }
  // Everything that takes time is done before the store is locked: the signature depends
  // on nothing stored but the device's key.
  CompletionClaim claim;
  claim.signatureValid = verifier_.verify(
      device->publicKey,
      ReceiptSigner::message(body.leaseId, body.nonce, body.elapsedMs, body.sequence),
      body.signature);
  claim.received = encodeJson(body);
  claim.nonce = body.nonce;
  claim.elapsedMs = body.elapsedMs;
  claim.sequence = body.sequence;
  const std::int64_t nowMs = millis(clock_.now());
  const std::string today = utcDay(nowMs);
  const std::string receiptId = "receipt_" + randomToken();

  const CompleteResponse answer = store_.transaction([&](StoreSession& session) {
    auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return rejected("unknown_lease");
    const CompletionDecision decision = decideCompletion(*lease, claim, nowMs);
    switch (decision.kind) {
      case CompletionDecision::Kind::refuse: return rejected(decision.reason);
      case CompletionDecision::Kind::repeat: return acceptedAnswer(*lease);
      case CompletionDecision::Kind::credit: break;
    }
    LeaseRow closed = *lease;
    closed.state = LeaseState::completed;
    closed.closedMs = nowMs;
    closed.completion = claim.received;
    closed.receiptId = receiptId;
    closed.balanceAfter = session.credit(device->deviceId, lease->rewardMicros);
    if (!session.closeLease(closed)) throw std::logic_error("lease changed under its lock");
    session.insertReceipt(receiptId, *lease, today, nowMs);
    return acceptedAnswer(closed);
  });
  return jsonResponse(200, answer.toJson());
}

// Cancelling is idempotent: a lease that is already closed answers its final state.
HttpResponse DevServer::cancelExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::Cancel>(request);
  const std::int64_t nowMs = millis(clock_.now());
  const auto state = store_.transaction([&](StoreSession& session) -> std::optional<LeaseState> {
    auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return std::nullopt;
    if (lease->state == LeaseState::open) {
      lease->state = LeaseState::cancelled;
      lease->closedMs = nowMs;
      session.closeLease(*lease);
    }
    return lease->state;
  });
  if (!state) return errorResponse(404, "unknown_lease");
  Json answer = Json::object();
  answer["leaseId"] = body.leaseId;
  answer["state"] = leaseStateText(*state);
  return jsonResponse(200, answer);
}

HttpResponse DevServer::clickExposure(const HttpRequest& request) const {
  const auto device = authenticate(store_, request);
  if (!device) return errorResponse(401, "unauthorized");
  const auto body = decodeBody<requests::Click>(request);
  const bool known = store_.transaction([&](StoreSession& session) {
    const auto lease = session.lease(body.leaseId);
    if (!lease || lease->deviceId != device->deviceId) return false;
    session.markClicked(lease->leaseId);
    return true;
  });
  if (!known) return errorResponse(404, "unknown_lease");
  return noContent();
}

}  // namespace nimbrella::server
