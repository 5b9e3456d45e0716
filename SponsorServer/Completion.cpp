#include "SponsorServer/Completion.hpp"

namespace nimbrella::server {
namespace {

CompletionDecision refuse(std::string reason) {
  return {CompletionDecision::Kind::refuse, std::move(reason)};
}

}  // namespace

CompletionDecision decideCompletion(const LeaseRow& lease, const CompletionClaim& claim,
                                    std::int64_t nowMs) {
  switch (lease.state) {
    case LeaseState::completed:
      if (lease.completion && *lease.completion == claim.received) {
        return {CompletionDecision::Kind::repeat, {}};
      }
      return refuse("already_completed");
    case LeaseState::cancelled: return refuse("lease_cancelled");
    case LeaseState::rejected:
      return refuse(lease.reason.value_or("lease_closed"));
    case LeaseState::finished: return refuse("lease_closed");
    case LeaseState::open: break;
  }
  if (lease.preview) return refuse("preview_lease");
  if (nowMs - lease.issuedMs > lateReceiptWindowMs) return refuse("lease_expired");
  if (claim.nonce != lease.nonce) return refuse("nonce_mismatch");
  if (!claim.signatureValid) return refuse("invalid_signature");
  if (claim.sequence != 1) return refuse("invalid_sequence");
  if (claim.elapsedMs < lease.durationMs) return refuse("insufficient_elapsed");
  if (nowMs - lease.issuedMs < lease.durationMs) return refuse("too_early");
  return {CompletionDecision::Kind::credit, {}};
}

}  // namespace nimbrella::server
