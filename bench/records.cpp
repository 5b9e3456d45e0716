// Lease validation and decoding of a maximum-size account summary.
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace {

using nimbrella::ExposureLease;

ExposureLease typicalLease() {
  ExposureLease lease;
  lease.leaseId = "0b0b5a4e-1c7d-4a35-9a59-0d6b3d0e9f11";
  lease.nonce = "q7Xh2vN0c8yJmZ4tRkLpW1sFgB9aDeUo3iTnVbQx5Yc";
  lease.durationMs = 10000;
  lease.expiresAt = "2026-01-02T03:04:05.678Z";
  lease.creative.sponsor = "Acme Caf\xC3\xA9";
  lease.creative.headline = "Builds that finish before your coffee cools";
  lease.creative.body = "Acme compiles your project on a fleet of warm machines and streams the results back.";
  lease.creative.cta = "Try it free";
  lease.creative.url = "https://acme.example/try?utm_source=menubar#start";
  lease.rewardMicros = 1500;
  lease.currency = "EUR";
  lease.termsVersion = "brand-v1";
  lease.measurementVersion = "menubar-qualified-10s-v1";
  return lease;
}

void leaseIsValid(benchmark::State& state, ExposureLease lease) {
  const auto now = *nimbrella::parseInternetDate("2026-01-02T03:00:00Z");
  for (auto _ : state) {
    benchmark::DoNotOptimize(lease.isValid(now));
  }
}

ExposureLease longestLease() {
  // Every text at its limit and non-ASCII, so each one goes through grapheme segmentation.
  auto repeated = [](std::string_view unit, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += unit;
    return text;
  };
  ExposureLease lease = typicalLease();
  lease.leaseId = repeated("\xC3\xA8", 128);
  lease.nonce = repeated("\xC3\xA8", 512);
  lease.creative.sponsor = repeated("\xC3\xA8", 120);
  lease.creative.headline = repeated("\xC3\xA8", 200);
  lease.creative.body = repeated("\xC3\xA8", 1000);
  lease.creative.cta = repeated("\xC3\xA8", 80);
  return lease;
}

BENCHMARK_CAPTURE(leaseIsValid, typical, typicalLease());
BENCHMARK_CAPTURE(leaseIsValid, every_text_at_its_limit, longestLease());

// An account summary of just under 256,000 bytes, the largest answer the client reads.
std::string largestDeviceResponse() {
  std::string body = R"({"referral":{"referredCount":12,"earnedMicros":345000},"deviceId":"0b0b5a4e-1c7d-4a35-9a59-0d6b3d0e9f11",)"
                     R"("balanceMicros":1234567,"mode":"live","earnings":{"totalMicros":9876543,"pendingMicros":1500,)"
                     R"("availableMicros":9875043,"held":false,"payoutReady":true},"reports":{"daily":[)";
  const std::string tail = "]}}";
  for (int i = 0;; ++i) {
    std::string day = R"({"day":"2026-01-)" + std::to_string(10 + i % 19) + R"(","earnedMicros":)" +
                      std::to_string(1000000 + i * 7) + "}";
    if (body.size() + day.size() + 1 + tail.size() > 256000) break;
    if (i > 0) body += ',';
    body += day;
  }
  body += tail;
  // Pad with white space before the closing brackets up to exactly the limit.
  body.insert(body.size() - tail.size(), std::string(256000 - body.size(), ' '));
  return body;
}

void decodeLargestDeviceResponse(benchmark::State& state) {
  const std::string body = largestDeviceResponse();
  for (auto _ : state) {
    benchmark::DoNotOptimize(nimbrella::decodeJson<nimbrella::DeviceResponse>(body));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
  state.counters["bytes"] = static_cast<double>(body.size());
}

BENCHMARK(decodeLargestDeviceResponse)->Unit(benchmark::kMillisecond);

// The JSON parse alone, to tell parsing from record decoding.
void parseLargestDeviceResponse(benchmark::State& state) {
  const std::string body = largestDeviceResponse();
  for (auto _ : state) {
    benchmark::DoNotOptimize(nimbrella::json::parse(body));
  }
}

BENCHMARK(parseLargestDeviceResponse)->Unit(benchmark::kMillisecond);

// One object of as many distinct keys as fit in the given size: a hostile body's worst
// case, since every key is checked against those before it.
void parseWidestObject(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string body = "{";
  for (int i = 0;; ++i) {
    const std::string member = "\"k" + std::to_string(i) + "\":0";
    if (body.size() + member.size() + 2 > size) break;
    if (i > 0) body += ',';
    body += member;
  }
  body += '}';
  for (auto _ : state) {
    benchmark::DoNotOptimize(nimbrella::json::parse(body));
  }
  state.counters["keys"] = static_cast<double>(std::count(body.begin(), body.end(), ':'));
}

// The server's largest request body and the largest server answer the application reads.
BENCHMARK(parseWidestObject)->Arg(64 * 1024)->Arg(256000)->Unit(benchmark::kMillisecond);

}  // namespace
