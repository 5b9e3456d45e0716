#pragma once

#include "SponsorServer/Store.hpp"

#include <cstdint>
#include <string>

namespace nimbrella::server {

// How long after its issue a lease's completion is still credited: a receipt that the
// application signed and kept while the server, the network or the computer was away is
// honoured when it finally arrives, also after the lease's announced expiry.
inline constexpr std::int64_t lateReceiptWindowMs = 7LL * 24 * 3600 * 1000;

// A completion request as the decision needs it; the signature already verified against
// the device's key.
struct CompletionClaim {
  std::string received;  // the request as compact JSON
  std::string nonce;
  std::int64_t elapsedMs = 0;
  std::int64_t sequence = 0;
  bool signatureValid = false;
};

struct CompletionDecision {
  enum class Kind {
    credit,  // credit the lease and close it as completed
    repeat,  // the request that completed the lease again: answer as the first time
    refuse,  // refuse with `reason`; the lease stays as it is
  };
  Kind kind = Kind::refuse;
  std::string reason;
};

// Decides a completion of the device's own lease at `nowMs`. Only a credit changes the
// lease: a refused claim (bad signature, wrong nonce, too early, ...) leaves it open for
// the genuine receipt.
CompletionDecision decideCompletion(const LeaseRow& lease, const CompletionClaim& claim,
                                    std::int64_t nowMs);

}  // namespace nimbrella::server
