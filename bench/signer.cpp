#include "SponsorCore/ReceiptSigner.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace nimbrella {
namespace {

// One receipt signature: message, ECDSA P-256/SHA-256, DER and base64.
void BM_ReceiptSignature(benchmark::State& state) {
  const ReceiptSigner signer;
  const std::string leaseId = "6f1d0c1e-3a52-4a77-9a55-0c9f5b1e7d21";
  const std::string nonce = "Qk5pYk1ZbkZ3dUxtR2hVZ0tQc0N4cUJ2";
  std::int64_t elapsedMs = 30000;
  for (auto _ : state) {
    auto signature = signer.signature(leaseId, nonce, elapsedMs, 1);
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_ReceiptSignature);

void BM_VerifyReceiptSignature(benchmark::State& state) {
  const ReceiptSigner signer;
  const std::string publicKey = signer.publicKey();
  const std::string message = ReceiptSigner::message("lease", "nonce", 30000, 1);
  const std::string signature = signer.signature("lease", "nonce", 30000, 1);
  for (auto _ : state) benchmark::DoNotOptimize(verifyReceiptSignature(publicKey, message, signature));
}
BENCHMARK(BM_VerifyReceiptSignature);

void BM_RestoreFromRawRepresentation(benchmark::State& state) {
  const auto raw = ReceiptSigner().rawRepresentation();
  for (auto _ : state) {
    ReceiptSigner restored(raw);
    benchmark::DoNotOptimize(restored);
  }
}
BENCHMARK(BM_RestoreFromRawRepresentation);

}  // namespace
}  // namespace nimbrella
