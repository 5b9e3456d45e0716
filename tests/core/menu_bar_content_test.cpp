#include "SponsorCore/Base64.hpp"
#include "SponsorCore/CreativeAsset.hpp"
#include "SponsorCore/MenuBarContent.hpp"
#include "SponsorCore/MenuBarGeometry.hpp"

#include "core/FixedMeasurer.hpp"
#include "core/PngFixtures.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace nimbrella {
namespace {

using fixtures::assemblePng;
using fixtures::chunksOf;
using fixtures::makePng;
using fixtures::pngDataUrl;

const fixtures::FixedMeasurer measurer;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

SponsorCreative creativeFor(std::string sponsor, std::optional<std::string> tagline = std::nullopt) {
  SponsorCreative creative;
  creative.sponsor = std::move(sponsor);
  creative.headline = "Headline";
  creative.url = "https://example.com/";
  creative.menuTagline = std::move(tagline);
  return creative;
}

bool accepted(const SponsorCreative& creative, const TextMeasurer& with = measurer) {
  try {
    MenuBarContent content(creative, with);
    return true;
  } catch (const ContentError& error) {
    EXPECT_EQ(error, ContentError::unsupported());
    return false;
  }
}

bool logoAccepted(const std::vector<std::uint8_t>& png) {
  const auto result = CreativeAsset::safePNGData(pngDataUrl(png));
  EXPECT_TRUE(!result || *result == png);  // never re-encoded
  return result.has_value();
}

// `base` with extra chunks right after its header.
std::vector<std::uint8_t> withChunks(const std::vector<fixtures::Chunk>& extra,
                                     const std::vector<std::uint8_t>& base = makePng()) {
  auto chunks = chunksOf(base);
  chunks.insert(chunks.begin() + 1, extra.begin(), extra.end());
  return assemblePng(chunks);
}

// A valid PNG grown with a private ancillary chunk until its data URL has `urlBytes` bytes.
std::vector<std::uint8_t> pngWithDataUrlSize(std::size_t urlBytes) {
  const std::size_t bytes = (urlBytes - CreativeAsset::pngDataUrlPrefix.size()) / 4 * 3;
  return withChunks({{"paDd", std::vector<std::uint8_t>(bytes - makePng().size() - 12, 'x')}});
}

// acTL announcing `frames` frames played forever, and fcTL of a first frame of 16 x 16 pixels.
fixtures::Chunk animation(std::uint8_t frames) { return {"acTL", {0, 0, 0, frames, 0, 0, 0, 0}}; }
const fixtures::Chunk frameControl{"fcTL", {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 10,
                                            0, 0}};

TEST(MenuBarContent, BuildsTheSponsorLineAndRefusesAnyOtherWording) {
  const MenuBarContent content(creativeFor("Sample"), measurer);
  EXPECT_EQ(content.text(), "Ad \xC2\xB7 Sample");
  EXPECT_EQ(content.minimumWidth(), 280);
  auto same = creativeFor("Sample");
  same.menuText = "Ad \xC2\xB7 Sample";
  EXPECT_EQ(MenuBarContent(same, measurer), content);
  for (const char* wording : {"ad \xC2\xB7 Sample", "Ad \xC2\xB7 Sample "}) {
    same.menuText = wording;
    EXPECT_FALSE(accepted(same)) << wording;
  }
}

TEST(MenuBarContent, CountsUserPerceivedCharactersAndRefusesInvisibleOrIllFormedText) {
  fixtures::FixedMeasurer narrow;
  narrow.semiboldAdvance = 0.05;
  std::string flags;  // 120 flags of two scalars each are 120 characters
  for (int i = 0; i < 120; ++i) flags += "\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9";
  for (const auto& [sponsor, ok] : {std::pair{std::string(120, 'a'), true}, {std::string(121, 'a'), false},
                                    {flags, true}, {std::string(), false}, {std::string("Sam\xFFple"), false}}) {
    EXPECT_EQ(accepted(creativeFor(sponsor), narrow), ok) << sponsor;
  }
  for (const auto& [tagline, ok] : {std::pair{std::string(34, 't'), true}, {std::string(35, 't'), false},
                                    {std::string(), true}, {std::string("caf\xC3"), false}}) {
    EXPECT_EQ(accepted(creativeFor("Sample", tagline)), ok) << tagline;
  }
  // Control, format and line-break scalars, wherever they appear.
  for (const char* text : {"a\tb", "a\xE2\x80\x8B" "b", "a\xE2\x80\xA8" "b", "a\xE2\x80\xA9" "b"}) {
    EXPECT_FALSE(accepted(creativeFor("Sample", text))) << text;
    EXPECT_FALSE(accepted(creativeFor(text))) << text;
  }
}

TEST(MenuBarContent, AccentIsSixHexDigitsKeptAsWrittenAndAnInvalidLogoRefusesTheCreative) {
  auto creative = creativeFor("Sample");
  creative.accentColor = "#1a2B3c";
  EXPECT_EQ(MenuBarContent(creative, measurer).accentHex(), "#1a2B3c");
  for (const char* accent : {"#1a2B3", "1a2B3c", "#1a2B3G"}) {
    creative.accentColor = accent;
    EXPECT_FALSE(accepted(creative)) << accent;
  }
  creative = creativeFor("Sample");
  creative.logoData = "";
  EXPECT_EQ(MenuBarContent(creative, measurer).logoPNG(), std::nullopt);
  creative.logoData = pngDataUrl(makePng());
  EXPECT_EQ(MenuBarContent(creative, measurer).logoPNG(), makePng());
  creative.logoData = pngDataUrl(makePng({.width = 1025, .height = 1}));
  EXPECT_FALSE(accepted(creative));
}

TEST(CreativeAsset, AcceptsOnlyStrictDataUrlsOfPngImagesOfOneToTenTwentyFourPixelsByteForByte) {
  using fixtures::PngColor;
  EXPECT_TRUE(logoAccepted(makePng({.width = 1, .height = 1, .color = PngColor::gray})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 33, .height = 17, .color = PngColor::rgb, .sixteenBit = true,
                                    .interlaced = true})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 1024, .height = 2, .sixteenBit = true})));  // the widest row
  EXPECT_TRUE(logoAccepted(makePng({.width = 2, .height = 1024})));
  EXPECT_TRUE(logoAccepted(withChunks({animation(1), frameControl})));  // an animation of one frame is one image
  // A header that claims a huge or empty image is refused before any decoding.
  for (const auto& [side, at] : {std::pair{0u, 16}, {1025u, 16}, {0u, 20}, {1025u, 20}}) {  // width, height
    auto png = makePng();
    const auto bytes = fixtures::bigEndian32(side);
    std::copy(bytes.begin(), bytes.end(), png.begin() + at);
    EXPECT_FALSE(logoAccepted(assemblePng(chunksOf(png)))) << side << " at " << at;  // with a correct CRC
  }
  // Only strict PNG data URLs of at most 48000 bytes.
  const auto png = makePng();
  EXPECT_EQ(CreativeAsset::safePNGData(std::nullopt), std::nullopt);
  for (const std::string& url : {std::string("data:image/png;base64,"), "DATA:image/png;base64," + base64::encode(png),
                                 pngDataUrl(png).insert(40, "\n"),  // base64 is strict: no whitespace
                                 pngDataUrl({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00})}) {
    EXPECT_EQ(CreativeAsset::safePNGData(url), std::nullopt) << url.substr(0, 60);
  }
  // 47998 bytes is the longest valid base64 within the limit.
  EXPECT_TRUE(CreativeAsset::safePNGData(pngDataUrl(pngWithDataUrlSize(47998))).has_value());
  EXPECT_EQ(CreativeAsset::safePNGData(pngDataUrl(pngWithDataUrlSize(48002))), std::nullopt);
}

TEST(CreativeAsset, RefusesAnimationsAndDamagedFiles) {
  const auto png = makePng({.width = 32, .height = 32, .noise = true});
  const auto chunks = chunksOf(png);
  ASSERT_EQ(chunks[1].type, "IDAT");
  const auto withText = withChunks({{"tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'}}}, png);
  ASSERT_TRUE(logoAccepted(withText));
  std::vector<std::vector<std::uint8_t>> damaged{withText, png, png, png, png};
  damaged[0][8 + 25 + 8 + 10] ^= 0x80;  // the CRC of an ancillary chunk
  damaged[1][1] ^= 0x20;                // the signature
  damaged[2].push_back(0);              // a byte after the end chunk
  damaged[3].resize(png.size() / 2);    // cut inside the image data
  damaged[4].resize(png.size() - 12);   // no end chunk
  // More than one frame, a second frame control chunk, frame data without an animation.
  damaged.push_back(withChunks({animation(2), frameControl}));
  damaged.push_back(withChunks({animation(1), frameControl, frameControl}));
  damaged.push_back(withChunks({{"fdAT", {0, 0, 0, 1, 0}}}));
  // Correct CRCs around broken image data, too few rows, or a broken structure.
  auto corrupt = chunks;
  for (std::size_t i = 2; i < corrupt[1].data.size(); i += 7) corrupt[1].data[i] ^= 0x5A;
  damaged.push_back(assemblePng(corrupt));
  auto fewRows = chunksOf(makePng({.width = 8, .height = 8}));
  fewRows[1] = chunksOf(makePng({.width = 8, .height = 4}))[1];
  damaged.push_back(assemblePng(fewRows));
  auto headerLater = chunks;
  std::swap(headerLater[0], headerLater[1]);
  damaged.push_back(assemblePng(headerLater));
  damaged.push_back(withChunks({chunks[0]}, png));  // two headers
  for (std::size_t i = 0; i < damaged.size(); ++i) EXPECT_FALSE(logoAccepted(damaged[i])) << i;
}

TEST(CreativeAsset, DecodesPalettesTransparencyAndSixteenBitsToStraightSrgbRgba) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> png;
    std::vector<std::uint8_t> rgba;
  };
  using fixtures::PngColor;
  const std::vector<Case> cases{
      {"palette with transparency",
       makePng({.width = 2, .height = 1, .color = PngColor::palette, .samples = {0, 1},
                .palette = {255, 0, 0, 0, 0, 255}, .transparency = {128}}),
       {255, 0, 0, 128, 0, 0, 255, 255}},
      {"rgb, sixteen bits, no gamma named",
       makePng({.width = 1, .height = 1, .color = PngColor::rgb, .sixteenBit = true,
                .samples = {0xFF, 0xFF, 0x80, 0x80, 0x00, 0x00}}),
       {255, 128, 0, 255}},
      {"rgba, not premultiplied", makePng({.width = 1, .height = 1, .samples = {10, 20, 30, 40}}), {10, 20, 30, 40}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(CreativeAsset::safePNGData(pngDataUrl(c.png))) << c.name;
    const auto decoded = CreativeAsset::decodePNG(c.png);
    ASSERT_TRUE(decoded) << c.name;
    EXPECT_EQ(decoded->width, c.rgba.size() / 4) << c.name;
    EXPECT_EQ(decoded->height, 1u) << c.name;
    EXPECT_EQ(decoded->rgba, c.rgba) << c.name;
  }
  // Given any file, it allocates no more than a 1024 x 1024 image.
  EXPECT_FALSE(CreativeAsset::decodePNG(makePng({.width = 1025, .height = 1})));
}

TEST(MenuBarContent, SponsoredContentIsMeasuredToFitExactly280PointsOrRefused) {
  // Fixed measurer: 0.6 em per scalar semibold, 0.55 em medium, lines 1.25 em high.
  const MenuBarContent single(creativeFor("Sample"), measurer);  // "Ad · Sample": 11 scalars, 11.5 pt
  EXPECT_EQ(single.requiredWidth(), 136);                        // ceil(75.9 + 60)
  const MenuBarContent twoLines(creativeFor("Sample", "Fast builds"), measurer);  // 9 pt title, 8 pt tagline
  EXPECT_EQ(twoLines.requiredWidth(), 120);  // ceil(11 * 0.6 * 9 + 60) beats 75.9 + 36
  for (const auto& [size, singleFits, twoLinesFit] :
       {std::tuple{Size{280, 16}, true, false}, {Size{280, 15}, false, false}, {Size{280, 21.25}, true, true},
        {Size{280, 21}, true, false}, {Size{279, 22}, false, false}, {Size{281, 22}, false, false},
        {Size{280, inf}, false, false}}) {
    EXPECT_EQ(single.fits(size), singleFits) << size.width << "x" << size.height;
    EXPECT_EQ(twoLines.fits(size), twoLinesFit) << size.width << "x" << size.height;
  }
  // Creatives wider than 280 points are refused. Single line: ceil((5 + n) * 6.9 + 60).
  EXPECT_EQ(MenuBarContent(creativeFor(std::string(26, 'a')), measurer).requiredWidth(), 274);
  EXPECT_FALSE(accepted(creativeFor(std::string(27, 'a'))));  // 281
  // With a tagline the title is smaller, but the single-line reference width + 36 still counts.
  EXPECT_EQ(MenuBarContent(creativeFor(std::string(30, 'a'), "t"), measurer).requiredWidth(), 278);
  EXPECT_FALSE(accepted(creativeFor(std::string(31, 'a'), "t")));  // 284.4 + 36
  // A tagline wider than the title sets the width.
  fixtures::FixedMeasurer wideTagline;
  wideTagline.mediumAdvance = 0.85;
  EXPECT_TRUE(accepted(creativeFor("Sample", std::string(34, 'W'))));
  EXPECT_FALSE(accepted(creativeFor("Sample", std::string(34, 'W')), wideTagline));  // 34 * 6.8 + 60
  struct NotANumber : TextMeasurer {
    Size measure(std::string_view, const FontSpec&) const override { return {nan, 10}; }
  };
  EXPECT_FALSE(accepted(creativeFor("Sample"), NotANumber()));
  EXPECT_FALSE(accepted(creativeFor("Sample", "x"), NotANumber()));
}

TEST(MenuBarContent, HouseTextIsUnvalidatedAndFitsFromItsRequiredWidth) {
  const MenuBarContent house(std::string("Nimbrella"), measurer);
  EXPECT_EQ(house.requiredWidth(), 123);  // ceil(9 * 6.9 + 60)
  EXPECT_TRUE(house.fits({123, 16}));
  EXPECT_FALSE(house.fits({122.9, 16}));
  EXPECT_FALSE(house.fits({280.5, 16}));
  EXPECT_EQ(MenuBarContent(std::string("a\tb"), measurer).text(), "a\tb");
}

const Rect screen{0, 0, 1920, 1080};

TEST(MenuBarGeometry, TopReservedHeightIsTwelveToEightyFromAConsistentFrame) {
  const struct {
    Rect screen, visible;
    std::optional<double> height;
  } cases[] = {
      {screen, {0, 0, 1920, 1056}, 24}, {screen, {0, 0, 1920, 1068}, 12}, {screen, {0, 0, 1920, 1000}, 80},
      {screen, {0, 0, 1920, 1068.1}, {}}, {screen, {0, 0, 1920, 999.9}, {}},
      {{1920, 200, 1280, 1024}, {1920, 200, 1280, 1000}, 24},  // a second screen, measured from its own top
      {screen, {0, 1056, 1920, -1056}, 24},                    // the same frame, standardized
      {screen, {0, 0, 1921, 1050}, {}}, {screen, {0, 0, 0, 1050}, {}}, {screen, {nan, 0, 1920, 1050}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MenuBarGeometry::topReservedHeight(c.screen, c.visible), c.height) << c.visible.height;
  }
}

TEST(MenuBarGeometry, RendererFrameSnapsInwardsToWholePoints) {
  EXPECT_EQ(MenuBarGeometry::rendererFrame({10.4, 5.2, 100.3, 16.9}), Rect({11, 6, 99, 16}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({-10.5, -3.5, 30, 16}), Rect({-10, -3, 29, 15}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({0, 0, 24, 12}), Rect({0, 0, 24, 12}));
  for (const Rect& refused : {Rect{0.5, 0, 24, 12} /* 23 wide after snapping */, Rect{0, 0.5, 24, 12},
                              Rect{nan, 0, 100, 20}, Rect{0, 0, inf, 20}, Rect{1e308, 0, 1e308, 20}}) {
    EXPECT_EQ(MenuBarGeometry::rendererFrame(refused), std::nullopt) << refused.x << "," << refused.width;
  }
}

TEST(MenuBarGeometry, QualifiesOnlyInsideTheTopBandAndASafeArea) {
  const std::vector<Rect> none, wholeTop{{0, 1048, 1920, 32}};
  const struct {
    Rect slot;
    double barHeight, notch;
    std::vector<Rect> safeAreas;
    bool qualifies;
  } cases[] = {
      // Width 24..280, height at least 12, bar height at least 12.
      {{1000, 1056, 280, 24}, 24, 0, none, true}, {{1000, 1068, 24, 12}, 24, 0, none, true},
      {{1000, 1056, 281, 24}, 24, 0, none, false}, {{1000, 1056, 23.9, 24}, 24, 0, none, false},
      {{1000, 1068.1, 100, 11.9}, 24, 0, none, false}, {{1000, 1068, 100, 12}, 12, 32, wholeTop, true},
      {{1000, 1068, 100, 12}, 11.9, 32, wholeTop, false},
      // Outside the screen, or out of the band.
      {{1700, 1056, 280, 24}, 24, 0, none, false}, {{1000, 1057, 280, 24}, 24, 0, none, false},
      {{1000, 1055, 280, 24}, 24, 0, none, false}, {{1000, 1048, 280, 24}, 24, 0, none, false},
      // A notch inset widens the band, but then the slot needs a containing, non-empty safe area.
      {{1000, 1048, 280, 24}, 24, 32, {{900, 1048, 600, 32}}, true}, {{1000, 1048, 280, 32}, 24, 32, none, false},
      {{1000, 1048, 280, 32}, 24, 32, {{0, 1048, 800, 32}, {1000, 1048, 920, 32}}, true},
      {{1000, 1048, 280, 32}, 24, 32, {{0, 1048, 800, 32}, {1100, 1048, 820, 32}}, false},
      {{1000, 1048, 280, 32}, 24, 32, {{1000, 1048, 0, 32}}, false},
      // Non-finite inputs.
      {{nan, 1056, 280, 24}, 24, 0, none, false}, {{1000, 1056, 280, 24}, 24, inf, none, false},
      {{1000, 1048, 280, 24}, 24, 32, {{nan, 0, 1, 1}, {0, 1048, 1920, 32}}, false},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    const auto& c = cases[row];
    EXPECT_EQ(MenuBarGeometry::qualifies(c.slot, screen, c.barHeight, c.notch, c.safeAreas), c.qualifies) << row;
  }
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1056, 280, 24}, {0, 0, 1920, inf}, 24, 0, none));
}

}  // namespace
}  // namespace nimbrella
