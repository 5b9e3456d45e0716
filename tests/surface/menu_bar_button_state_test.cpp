#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

using Configuration = MenuBarButtonState::Configuration;

MenuBarContent withLogo(const fixtures::PngOptions& png) {
  static const fixtures::FixedMeasurer measurer;
  return MenuBarContent{fakes::sponsoredCreative(fakes::pngDataUrl(png)), measurer};
}

TEST(MenuBarButtonState, ALogoIsDecodedOnceAndThePlanPlacesStripeBadgeLogoOrGridAndTwoCentredLines) {
  MenuBarButtonState state;
  int decodes = 0;
  auto decoder = [&](const std::vector<std::uint8_t>& png) {
    ++decodes;
    return fakes::FakePanel::decodeLogo(png);
  };
  const MenuBarContent content = withLogo({.width = 28, .height = 14});
  ASSERT_EQ(state.configure(content, decoder), Configuration::changed);
  EXPECT_EQ(state.configure(content, decoder), Configuration::unchanged);
  EXPECT_EQ(decodes, 1);
  // A logo the decoder refuses leaves the content and logo before it in place.
  EXPECT_EQ(state.configure(withLogo({.width = 4, .height = 4, .color = fixtures::PngColor::gray}), decoder),
            Configuration::refused);
  EXPECT_EQ(state.logoSize(), (Size{28, 14}));
  MenuBarPaintPlan plan = state.plan({280, 24});
  ASSERT_TRUE(plan.paintsContent);
  EXPECT_EQ(plan.background, (Rect{0, 0, 280, 24}));
  EXPECT_EQ(plan.accentStripe, (Rect{1, 3, 3, 18}));
  EXPECT_EQ(plan.accent, (RgbColor{0x1a / 255.0, 0x2b / 255.0, 0x3c / 255.0}));
  EXPECT_EQ(plan.badgeOrigin, (Point{257, 6}));
  EXPECT_EQ(plan.logoBox, (Rect{7, 5, 14, 14}));
  EXPECT_EQ(plan.logoRect, (Rect{7, 8.5, 14, 7}));
  // Title 9 pt (11.25 high) above the 8 pt tagline (10 high), together centred in 24.
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 9.0}));
  EXPECT_EQ(plan.titleOrigin, (Point{27, (24 - 21.25) * 0.5}));
  EXPECT_EQ(plan.taglineOrigin, (Point{27, (24 - 21.25) * 0.5 + 11.25}));
  EXPECT_FALSE(state.plan({279, 24}).paintsContent) << "content that does not fit is not painted";

  // A small logo grows to fill the box.
  (void)state.configure(withLogo({.width = 1, .height = 1}), &fakes::FakePanel::decodeLogo);
  EXPECT_EQ(state.plan({280, 24}).logoRect, (Rect{7, 5, 14, 14}));

  // Without logo, accent or tagline: the grid and one larger line.
  ASSERT_EQ(state.configure(MenuBarContent{std::string("Nimbrella"), fixtures::FixedMeasurer()}, {}),
            Configuration::changed);
  plan = state.plan({140, 22});
  ASSERT_TRUE(plan.paintsContent);
  EXPECT_FALSE(plan.accentStripe || plan.logoRect || plan.taglineOrigin);
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 11.5}));
  EXPECT_EQ(plan.gridSquares, (std::array{Rect{7, 4, 5, 5}, Rect{7, 11, 5, 5}, Rect{14, 4, 5, 5}, Rect{14, 11, 5, 5}}));
  EXPECT_FALSE(MenuBarButtonState().plan({280, 24}).paintsContent) << "nothing configured, nothing painted";
}

TEST(MenuBarButtonState, AccentTextsThatAreNotA32BitNumberHaveNoColour) {
  EXPECT_EQ(accentColor("#FF8000"), (RgbColor{1.0, 128 / 255.0, 0}));
  EXPECT_EQ(accentColor("#ffffffff"), (RgbColor{1.0, 1.0, 1.0}));
  for (const char* text : {"", "#", "#12G456", "#100000000", "# 12345"}) EXPECT_FALSE(accentColor(text)) << text;
}

}  // namespace
}  // namespace nimbrella
