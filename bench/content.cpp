// Cost of validating a creative, dominated by the logo: base64 decoding, the chunk walk
// and a full libpng decode.

#include "SponsorCore/CreativeAsset.hpp"
#include "SponsorCore/MenuBarContent.hpp"
#include "core/FixedMeasurer.hpp"
#include "core/PngFixtures.hpp"

#include <benchmark/benchmark.h>

#include <stdexcept>

namespace {

using namespace nimbrella;

// A noise image (incompressible, so the whole data URL is pixel data) just within the
// 48000-byte limit, grown with a private chunk to the longest valid data URL.
std::string largestNoiseLogo() {
  for (std::uint32_t side = 100; side > 0; --side) {
    auto png = fixtures::makePng({.width = side, .height = side, .noise = true});
    if (fixtures::pngDataUrl(png).size() > CreativeAsset::maximumDataUrlBytes) continue;
    auto chunks = fixtures::chunksOf(png);
    const std::size_t room = (CreativeAsset::maximumDataUrlBytes - CreativeAsset::pngDataUrlPrefix.size()) / 4 * 3;
    if (room > png.size() + 12) {
      chunks.insert(chunks.begin() + 1, {"paDd", std::vector<std::uint8_t>(room - png.size() - 12, 'x')});
    }
    return fixtures::pngDataUrl(fixtures::assemblePng(chunks));
  }
  throw std::runtime_error("no logo");
}

// The largest image allowed, 1024 x 1024 at 16 bits per RGBA sample: a small file that
// inflates to 8 MB, the most decoding work a logo can ask for.
std::string largestImageLogo() {
  return fixtures::pngDataUrl(fixtures::makePng({.width = 1024, .height = 1024, .sixteenBit = true}));
}

SponsorCreative creativeWithLogo(std::string logo) {
  SponsorCreative creative;
  creative.sponsor = "Sample Studio";
  creative.headline = "Headline";
  creative.body = "Body";
  creative.cta = "Open";
  creative.url = "https://example.com/";
  creative.menuTagline = "Design tools for small teams";
  creative.accentColor = "#1a2B3c";
  creative.logoData = std::move(logo);
  return creative;
}

void checkAccepted(benchmark::State& state, const SponsorCreative& creative) {
  try {
    MenuBarContent content(creative, fixtures::FixedMeasurer{});
  } catch (const ContentError&) {
    state.SkipWithError("the benchmark creative was refused");
  }
}

// Validates the same creative over and over; the logo's data-URL size is reported.
void measureCreativeWithLogo(benchmark::State& state, const std::string& logo) {
  const auto creative = creativeWithLogo(logo);
  state.counters["url_bytes"] = static_cast<double>(creative.logoData->size());
  checkAccepted(state, creative);
  const fixtures::FixedMeasurer measurer;
  for (auto _ : state) {
    MenuBarContent content(creative, measurer);
    benchmark::DoNotOptimize(content);
  }
}

void BM_CreativeWith48000ByteLogo(benchmark::State& state) { measureCreativeWithLogo(state, largestNoiseLogo()); }
BENCHMARK(BM_CreativeWith48000ByteLogo)->Unit(benchmark::kMillisecond);

void BM_CreativeWithLargestImageLogo(benchmark::State& state) { measureCreativeWithLogo(state, largestImageLogo()); }
BENCHMARK(BM_CreativeWithLargestImageLogo)->Unit(benchmark::kMillisecond);

void BM_CreativeWithoutLogo(benchmark::State& state) {
  auto creative = creativeWithLogo("");
  const fixtures::FixedMeasurer measurer;
  for (auto _ : state) {
    MenuBarContent content(creative, measurer);
    benchmark::DoNotOptimize(content);
  }
}
BENCHMARK(BM_CreativeWithoutLogo)->Unit(benchmark::kMicrosecond);

}  // namespace
