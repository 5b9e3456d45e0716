#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PopoverCopy.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

namespace {

using nimbrella::AppLanguage;

void nativeCopyText(benchmark::State& state, std::string_view message, AppLanguage language) {
  for (auto _ : state) {
    auto shown = nimbrella::NativeCopy::text(message, language);
    benchmark::DoNotOptimize(shown);
  }
}

// A table key, a key with a suffix, each pattern rule and the generic fallback.
BENCHMARK_CAPTURE(nativeCopyText, key_it,
                  "Sponsored name displayed. Earnings require uninterrupted local and server checks.",
                  AppLanguage::it);
BENCHMARK_CAPTURE(nativeCopyText, key_suffix_it, "The display went to sleep. No reward was submitted.",
                  AppLanguage::it);
BENCHMARK_CAPTURE(nativeCopyText, recorded_reward_it, "€0.05 in rewards recorded for the menu-bar exposure.",
                  AppLanguage::it);
BENCHMARK_CAPTURE(nativeCopyText, server_failure_it, "The server could not complete this request (HTTP 503).",
                  AppLanguage::it);
BENCHMARK_CAPTURE(nativeCopyText, unknown_it, "Something that is not in the catalogue at all.", AppLanguage::it);
BENCHMARK_CAPTURE(nativeCopyText, key_en,
                  "Sponsored name displayed. Earnings require uninterrupted local and server checks.",
                  AppLanguage::en);

void nativeCopyAppendReusingBuffer(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    nimbrella::NativeCopy::appendText(out, "The display went to sleep. No reward was submitted.", AppLanguage::it);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(nativeCopyAppendReusingBuffer);

void popoverCopyText(benchmark::State& state) {
  for (auto _ : state) {
    auto shown = nimbrella::PopoverCopy::text("Sign in to connect this computer and start using Nimbrella.", AppLanguage::it);
    benchmark::DoNotOptimize(shown);
  }
}
BENCHMARK(popoverCopyText);

}  // namespace
