// The request frame's cost per call, transport excluded: building the request, then
// classifying and decoding the answer. Typical answers and the worst answers a server
// can send within the 256000-byte limit.
#include "SponsorApp/network/ApiClient.hpp"

#include <benchmark/benchmark.h>

#include <deque>
#include <memory>
#include <string>

namespace {

using namespace nimbrella;

class ImmediateTransport final : public HttpTransport {
 public:
  HttpResponse answer;
  std::deque<std::function<void()>> queue;

  void send(HttpRequest request, Completion done) override {
    benchmark::DoNotOptimize(request);
    queue.push_back([this, done = std::move(done)] { done(TransportResult(answer)); });
  }
  void post(std::function<void()> task) override { queue.push_back(std::move(task)); }
  void run() {
    while (!queue.empty()) {
      auto task = std::move(queue.front());
      queue.pop_front();
      task();
    }
  }
};

const char* const kLease =
    R"({"leaseId":"0b0b5a4e-1c7d-4a35-9a59-0d6b3d0e9f11","nonce":"q7Xh2vN0c8yJmZ4tRkLpW1sFgB9aDeUo3iTnVbQx5Yc",)"
    R"("durationMs":10000,"expiresAt":"2026-01-02T03:04:05.678Z","creative":{"sponsor":"Acme","headline":"Builds)"
    R"( that finish before your coffee cools","body":"Acme compiles your project.","cta":"Try it free",)"
    R"("url":"https://acme.example/try"},"rewardMicros":1500,"currency":"EUR","mode":"live",)"
    R"("termsVersion":"brand-v1","measurementVersion":"menubar-qualified-10s-v1"})";

void runStart(benchmark::State& state, HttpResponse answer) {
  auto transport = std::make_shared<ImmediateTransport>();
  transport->answer = std::move(answer);
  const ApiClient client(SafeEndpoint("https://api.example.com"), transport);
  const SponsorFilters filters{{"a-1", "a-2"}, {"tech"}};
  for (auto _ : state) {
    bool ok = false;
    client.start("q7Xh2vN0c8yJmZ4tRkLpW1sFgB9aDeUo3iTnVbQx5Yc", std::nullopt, filters,
                 [&](ApiResult<ExposureLease> result) { ok = result.ok(); });
    transport->run();
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(transport->answer.body.size()));
}

void BM_StartWithLease(benchmark::State& state) { runStart(state, HttpResponse{200, {}, kLease}); }
BENCHMARK(BM_StartWithLease);

void BM_StartNoFill(benchmark::State& state) {
  runStart(state, HttpResponse{204, {{"X-Nimbrella-Reason", "cooldown"}}, ""});
}
BENCHMARK(BM_StartNoFill);

// A server error whose body is the largest accepted text: one JSON parse for the
// payments code.
void BM_ErrorWithLargestBody(benchmark::State& state) {
  std::string body = R"({"code":"other","detail":")" + std::string(255000, 'x') + "\"}";
  runStart(state, HttpResponse{500, {}, body});
}
BENCHMARK(BM_ErrorWithLargestBody);

// The most deeply nested JSON that fits the limit, as a success and as an error.
void BM_DeepestNestingSuccess(benchmark::State& state) {
  runStart(state, HttpResponse{200, {}, std::string(128000, '[') + std::string(128000, ']')});
}
BENCHMARK(BM_DeepestNestingSuccess);

void BM_DeepestNestingError(benchmark::State& state) {
  runStart(state, HttpResponse{500, {}, std::string(128000, '[') + std::string(128000, ']')});
}
BENCHMARK(BM_DeepestNestingError);

// An oversized answer is refused before any parsing.
void BM_OversizedAnswer(benchmark::State& state) {
  runStart(state, HttpResponse{200, {}, std::string(256001, ' ')});
}
BENCHMARK(BM_OversizedAnswer);

}  // namespace
