#include "SponsorCore/CreativeAsset.hpp"
#include "SponsorCore/MenuBarContent.hpp"

#include "core/FixedMeasurer.hpp"
#include "core/PngFixtures.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace nimbrella {
namespace {

using fixtures::assemblePng;
using fixtures::chunksOf;
using fixtures::makePng;
using fixtures::pngDataUrl;

const fixtures::FixedMeasurer measurer;

SponsorCreative creativeFor(std::string sponsor) {
  SponsorCreative creative;
  creative.sponsor = std::move(sponsor);
  creative.headline = "Headline";
  creative.body = "Body";
  creative.cta = "Open";
  creative.url = "https://example.com/";
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

SponsorCreative withTagline(std::string tagline) {
  auto creative = creativeFor("Sample");
  creative.menuTagline = std::move(tagline);
  return creative;
}

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

bool logoAccepted(const std::vector<std::uint8_t>& png) {
  const auto result = CreativeAsset::safePNGData(pngDataUrl(png));
  if (result) {
    EXPECT_EQ(*result, png);  // never re-encoded
  }
  return result.has_value();
}

// A valid PNG grown with a private ancillary chunk until its data URL has `urlBytes` bytes.
std::vector<std::uint8_t> pngWithDataUrlSize(std::size_t urlBytes) {
  auto chunks = chunksOf(makePng());
  const std::size_t base = makePng().size() + 12;  // plus the padding chunk's frame
  const std::size_t targetBytes = (urlBytes - CreativeAsset::pngDataUrlPrefix.size()) / 4 * 3;
  chunks.insert(chunks.begin() + 1, {"paDd", std::vector<std::uint8_t>(targetBytes - base, 'x')});
  return assemblePng(chunks);
}

TEST(MenuBarContent, BuildsTheSponsorLineAndRefusesAnyOtherWording) {
  const MenuBarContent content(creativeFor("Sample"), measurer);
  EXPECT_EQ(content.text(), "Ad \xC2\xB7 Sample");
  EXPECT_EQ(content.tagline(), "");
  EXPECT_EQ(content.accentHex(), std::nullopt);
  EXPECT_EQ(content.logoPNG(), std::nullopt);
  EXPECT_EQ(content.minimumWidth(), 280);

  auto same = creativeFor("Sample");
  same.menuText = "Ad \xC2\xB7 Sample";
  EXPECT_EQ(MenuBarContent(same, measurer), content);

  for (const char* wording : {"Ad : Sample", "ad \xC2\xB7 Sample", "Ad \xC2\xB7 Sample ", "Ad \xC2\xB7 sample",
                              "Ad - Sample", "Ad \xC2\xB7  Sample", ""}) {
    auto creative = creativeFor("Sample");
    creative.menuText = wording;
    EXPECT_FALSE(accepted(creative)) << wording;
  }
}

TEST(MenuBarContent, CountsUserPerceivedCharacters) {
  fixtures::FixedMeasurer narrow;
  narrow.semiboldAdvance = 0.05;
  EXPECT_FALSE(accepted(creativeFor("")));
  EXPECT_TRUE(accepted(creativeFor(std::string(120, 'a')), narrow));
  EXPECT_FALSE(accepted(creativeFor(std::string(121, 'a')), narrow));
  // 120 flags of two scalars each, and 120 letters with a combining accent, are 120 characters.
  EXPECT_TRUE(accepted(creativeFor(repeated("\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9", 120)), narrow));
  EXPECT_TRUE(accepted(creativeFor(repeated("e\xCC\x81", 120)), narrow));
  EXPECT_FALSE(accepted(creativeFor(repeated("e\xCC\x81", 121)), narrow));

  EXPECT_TRUE(accepted(withTagline(std::string(34, 't'))));
  EXPECT_FALSE(accepted(withTagline(std::string(35, 't'))));
  EXPECT_TRUE(accepted(withTagline("")));
  // Ill-formed UTF-8 is refused wherever it appears.
  EXPECT_FALSE(accepted(creativeFor("Sam\xFFple")));
  EXPECT_FALSE(accepted(withTagline("caf\xC3")));
  EXPECT_FALSE(accepted(withTagline("\xED\xA0\x80")));
}

TEST(MenuBarContent, RefusesControlFormatAndLineBreakScalars) {
  for (const char* tagline : {"a\tb", "a\xE2\x80\x8B" "b", "a\xE2\x80\x8E" "b", "a\xE2\x80\xA8" "b",
                              "a\xE2\x80\xA9" "b", "a\xC2\x85" "b", "a\rb", "a\nb", "a\x0B" "b", "a\x0C" "b",
                              "a\x7F" "b", "a\xC2\xAD" "b", "a\xE2\x80\xAE" "b", "\xEF\xBB\xBF" "ab"}) {
    EXPECT_FALSE(accepted(withTagline(tagline))) << tagline;
    EXPECT_FALSE(accepted(creativeFor(tagline))) << tagline;
  }
  EXPECT_FALSE(accepted(creativeFor(std::string("Sam\0ple", 7))));
  EXPECT_TRUE(accepted(withTagline("\xF0\x9F\x9A\x80")));  // a single emoji
  EXPECT_TRUE(accepted(creativeFor("Caff\xC3\xA8 Sant\xE2\x80\x99" "Anna")));
}

TEST(MenuBarContent, AccentIsSixHexDigitsKeptAsWritten) {
  auto creative = creativeFor("Sample");
  creative.accentColor = "#1a2B3c";
  EXPECT_EQ(MenuBarContent(creative, measurer).accentHex(), "#1a2B3c");
  for (const char* accent : {"#1a2B3", "1a2B3c", "#1a2B3G", "#\xEF\xBC\x91" "a2B3c", "#1a2B3c ", "#1a2B3c4", "",
                             "##1a2B3", "#1a 2B3"}) {
    creative.accentColor = accent;
    EXPECT_FALSE(accepted(creative)) << accent;
  }
}

TEST(MenuBarContent, LogoIsOptionalButRefusesTheCreativeWhenInvalid) {
  auto creative = creativeFor("Sample");
  creative.logoData = "";
  EXPECT_EQ(MenuBarContent(creative, measurer).logoPNG(), std::nullopt);

  const auto png = makePng();
  creative.logoData = pngDataUrl(png);
  const MenuBarContent withLogo(creative, measurer);
  EXPECT_EQ(withLogo.logoPNG(), png);
  EXPECT_NE(withLogo, MenuBarContent(creativeFor("Sample"), measurer));

  creative.logoData = pngDataUrl(makePng({.width = 1025, .height = 1}));
  EXPECT_FALSE(accepted(creative));
}

TEST(CreativeAsset, AcceptsCompletePngImagesByteForByte) {
  EXPECT_TRUE(logoAccepted(makePng()));
  EXPECT_TRUE(logoAccepted(makePng({.width = 1, .height = 1, .color = fixtures::PngColor::gray})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 33, .height = 17, .color = fixtures::PngColor::rgb, .sixteenBit = true,
                                    .interlaced = true})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 20, .height = 9, .color = fixtures::PngColor::palette})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 1024, .height = 2, .sixteenBit = true})));
  EXPECT_TRUE(logoAccepted(makePng({.width = 2, .height = 1024})));
  EXPECT_TRUE(logoAccepted(fixtures::makeAnimatedPng(1)));  // an animation of one frame is one image
}

TEST(CreativeAsset, RefusesAnythingButStrictPngDataUrls) {
  const auto png = makePng();
  const auto url = pngDataUrl(png);
  EXPECT_EQ(CreativeAsset::safePNGData(std::nullopt), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData(""), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData("data:image/png;base64,"), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData("data:image/jpeg;base64," + fixtures::base64(png)), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData("DATA:image/png;base64," + fixtures::base64(png)), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData("data:image/png;charset=utf-8;base64," + fixtures::base64(png)), std::nullopt);
  // A JPEG behind the PNG prefix.
  EXPECT_EQ(CreativeAsset::safePNGData(pngDataUrl({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00})),
            std::nullopt);

  // Base64 is decoded strictly: no whitespace, no other alphabet, correct padding.
  auto spaced = url;
  spaced.insert(40, "\n");
  EXPECT_EQ(CreativeAsset::safePNGData(spaced), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData(url + " "), std::nullopt);
}

TEST(CreativeAsset, RefusesImagesOutsideOneToTenTwentyFourPixels) {
  EXPECT_FALSE(logoAccepted(makePng({.width = 1025, .height = 1})));
  EXPECT_FALSE(logoAccepted(makePng({.width = 1, .height = 1025})));

  // A header that claims a huge or empty image is refused before any decoding.
  for (std::uint32_t side : {0u, 1025u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    auto chunks = chunksOf(makePng());
    const auto bytes = fixtures::bigEndian32(side);
    std::copy(bytes.begin(), bytes.end(), chunks[0].data.begin());
    EXPECT_FALSE(logoAccepted(assemblePng(chunks))) << side;
    chunks = chunksOf(makePng());
    std::copy(bytes.begin(), bytes.end(), chunks[0].data.begin() + 4);
    EXPECT_FALSE(logoAccepted(assemblePng(chunks))) << side;
  }
}

TEST(CreativeAsset, LimitsTheDataUrlTo48000Bytes) {
  const auto largest = pngDataUrl(pngWithDataUrlSize(47998));  // the longest valid base64 within the limit
  ASSERT_EQ(largest.size(), 47998u);
  EXPECT_TRUE(CreativeAsset::safePNGData(largest).has_value());
  const auto tooLong = pngDataUrl(pngWithDataUrlSize(48002));
  ASSERT_EQ(tooLong.size(), 48002u);
  EXPECT_EQ(CreativeAsset::safePNGData(tooLong), std::nullopt);
  EXPECT_EQ(CreativeAsset::safePNGData(largest + "==="), std::nullopt);  // 48001 bytes

  auto creative = creativeFor("Sample");
  creative.logoData = largest;
  EXPECT_TRUE(accepted(creative));
  creative.logoData = tooLong;
  EXPECT_FALSE(accepted(creative));
}

TEST(CreativeAsset, RefusesAnimationsOfMoreThanOneFrame) {
  EXPECT_FALSE(logoAccepted(fixtures::makeAnimatedPng(2)));
  EXPECT_FALSE(logoAccepted(fixtures::makeAnimatedPng(3)));
  // A control chunk claiming no frames, or frame data without a control chunk, is not one image either.
  EXPECT_FALSE(logoAccepted(fixtures::makeAnimatedPng(0)));
  auto chunks = chunksOf(fixtures::makeAnimatedPng(2));
  std::erase_if(chunks, [](const fixtures::Chunk& c) { return c.type == "acTL"; });
  EXPECT_FALSE(logoAccepted(assemblePng(chunks)));
}

TEST(CreativeAsset, RefusesDamagedFiles) {
  const auto png = makePng({.width = 32, .height = 32, .noise = true});
  const auto chunks = chunksOf(png);

  // Truncated anywhere: inside the image data, before the end chunk, inside its CRC.
  for (std::size_t cut : {std::size_t{8}, std::size_t{40}, png.size() / 2, png.size() - 12, png.size() - 1}) {
    EXPECT_FALSE(logoAccepted({png.begin(), png.begin() + static_cast<std::ptrdiff_t>(cut)})) << cut;
  }
  // Wrong CRC of the image data, and of an ancillary chunk.
  auto badCrc = png;
  badCrc[png.size() - 16] ^= 0x01;  // last byte of the IDAT CRC
  EXPECT_FALSE(logoAccepted(badCrc));
  auto withText = chunks;
  withText.insert(withText.begin() + 1, {"tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'}});
  auto badAncillary = assemblePng(withText);
  ASSERT_TRUE(logoAccepted(badAncillary));
  badAncillary[8 + 25 + 8 + 10] ^= 0x80;  // first CRC byte of the tEXt chunk
  EXPECT_FALSE(logoAccepted(badAncillary));

  // Correct CRCs around broken image data: a corrupt zlib stream, and too few rows.
  auto corrupt = chunks;
  for (auto& chunk : corrupt) {
    if (chunk.type == "IDAT") {
      for (std::size_t i = 2; i < chunk.data.size(); i += 7) chunk.data[i] ^= 0x5A;
    }
  }
  EXPECT_FALSE(logoAccepted(assemblePng(corrupt)));
  std::vector<fixtures::Chunk> shortImage{chunksOf(makePng({.width = 8, .height = 8}))[0],
                                          {"IDAT", fixtures::compressedRgbaRows(8, 4)},
                                          {"IEND", {}}};
  EXPECT_FALSE(logoAccepted(assemblePng(shortImage)));
  shortImage[1].data = fixtures::compressedRgbaRows(8, 8);
  EXPECT_TRUE(logoAccepted(assemblePng(shortImage)));  // the same file with all rows is fine

  // Structure: header first and once, nothing after the end chunk, a complete signature.
  auto headerLater = chunks;
  std::swap(headerLater[0], headerLater[1]);
  EXPECT_FALSE(logoAccepted(assemblePng(headerLater)));
  auto twoHeaders = chunks;
  twoHeaders.insert(twoHeaders.begin() + 1, chunks[0]);
  EXPECT_FALSE(logoAccepted(assemblePng(twoHeaders)));
  auto trailing = png;
  trailing.push_back(0);
  EXPECT_FALSE(logoAccepted(trailing));
  auto badSignature = png;
  badSignature[1] = 'p';
  EXPECT_FALSE(logoAccepted(badSignature));
}

TEST(MenuBarContent, MeasuresAndFitsExactly280PointsForSponsoredContent) {
  // Fixed measurer: 0.6 em per scalar semibold, 0.55 em medium, lines 1.25 em high.
  const MenuBarContent single(creativeFor("Sample"), measurer);  // "Ad · Sample": 11 scalars
  EXPECT_EQ(single.titleFont(), (FontSpec{FontWeight::semibold, 11.5}));
  EXPECT_DOUBLE_EQ(single.titleSize().width, 11 * 0.6 * 11.5);
  EXPECT_EQ(single.requiredWidth(), 136);  // ceil(75.9 + 60)
  EXPECT_EQ(single.preferredWidth(), 280);
  EXPECT_DOUBLE_EQ(single.textHeight(), 14.375);
  EXPECT_TRUE(single.fits({280, 16}));
  EXPECT_FALSE(single.fits({280, 15}));
  EXPECT_FALSE(single.fits({279, 22}));
  EXPECT_FALSE(single.fits({281, 22}));

  const MenuBarContent twoLines(withTagline("Fast builds"), measurer);
  EXPECT_EQ(twoLines.titleFont(), (FontSpec{FontWeight::semibold, 9.0}));
  EXPECT_EQ(MenuBarContent::taglineFont, (FontSpec{FontWeight::medium, 8.0}));
  EXPECT_DOUBLE_EQ(twoLines.textHeight(), 11.25 + 10);
  EXPECT_EQ(twoLines.requiredWidth(), 120);  // ceil(11 * 0.6 * 9 + 60) beats 75.9 + 36
  EXPECT_TRUE(twoLines.fits({280, 22}));
  EXPECT_TRUE(twoLines.fits({280, 21.25}));
  EXPECT_FALSE(twoLines.fits({280, 21}));
  EXPECT_FALSE(twoLines.fits({279, 22}));
  EXPECT_FALSE(twoLines.fits({281, 22}));
  EXPECT_FALSE(twoLines.fits({280, 15}));

  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(single.fits({280, inf}));
  EXPECT_FALSE(single.fits({nan, 22}));
  EXPECT_FALSE(single.fits({280, nan}));
}

TEST(MenuBarContent, RefusesCreativesWiderThan280Points) {
  // Single line: ceil((5 + n) * 6.9 + 60).
  EXPECT_EQ(MenuBarContent(creativeFor(std::string(26, 'a')), measurer).requiredWidth(), 274);
  EXPECT_FALSE(accepted(creativeFor(std::string(27, 'a'))));  // 281
  // With a tagline the title is smaller, but the single-line reference width + 36 still counts.
  auto creative = creativeFor(std::string(30, 'a'));
  creative.menuTagline = "t";
  EXPECT_EQ(MenuBarContent(creative, measurer).requiredWidth(), 278);  // ceil(35 * 6.9 + 36)
  creative.sponsor = std::string(31, 'a');
  EXPECT_FALSE(accepted(creative));  // 284.4 + 36
  // A tagline wider than the title sets the width.
  creative = withTagline(std::string(34, 'W'));
  fixtures::FixedMeasurer wideTagline;
  wideTagline.mediumAdvance = 0.85;
  EXPECT_TRUE(accepted(creative));
  EXPECT_FALSE(accepted(creative, wideTagline));  // 34 * 6.8 + 60

  struct Broken : TextMeasurer {
    double value;
    explicit Broken(double v) : value(v) {}
    Size measure(std::string_view, const FontSpec&) const override { return {value, 10}; }
  };
  EXPECT_FALSE(accepted(creativeFor("Sample"), Broken(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(accepted(withTagline("x"), Broken(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(accepted(creativeFor("Sample"), Broken(std::numeric_limits<double>::infinity())));
}

TEST(MenuBarContent, HouseTextIsUnvalidatedAndFitsFromItsRequiredWidth) {
  const MenuBarContent house(std::string("Nimbrella"), measurer);
  EXPECT_EQ(house.text(), "Nimbrella");
  EXPECT_EQ(house.tagline(), "");
  EXPECT_EQ(house.accentHex(), std::nullopt);
  EXPECT_EQ(house.logoPNG(), std::nullopt);
  EXPECT_EQ(house.minimumWidth(), 0);
  EXPECT_EQ(house.requiredWidth(), 123);  // ceil(9 * 6.9 + 60)
  EXPECT_EQ(house.preferredWidth(), 123);
  EXPECT_TRUE(house.fits({123, 16}));
  EXPECT_TRUE(house.fits({280, 30}));
  EXPECT_FALSE(house.fits({122.9, 16}));
  EXPECT_FALSE(house.fits({280.5, 16}));

  EXPECT_EQ(MenuBarContent(std::string("a\tb"), measurer).text(), "a\tb");
  EXPECT_EQ(MenuBarContent(std::string("Nimbrella"), measurer), house);
  const MenuBarContent sponsoredLookalike(creativeFor("Sample"), measurer);
  EXPECT_NE(MenuBarContent(sponsoredLookalike.text(), measurer), sponsoredLookalike);  // minimum width differs
}

}  // namespace
}  // namespace nimbrella
