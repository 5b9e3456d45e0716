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

TEST(MenuBarButtonState, ALogoIsDecodedOnceAndThePlanCentresOneOrTwoLinesBesideTheLogoOrGrid) {
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
  // Where the stripe, the logo, the badge and the grid land is checked in pixels by
  // surface_paint_test. Title 9 pt (11.25 high) above the 8 pt tagline (10 high),
  // together centred in 24.
  MenuBarPaintPlan plan = state.plan({280, 24});
  ASSERT_TRUE(plan.paintsContent);
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 9.0}));
  EXPECT_EQ(plan.titleOrigin, (Point{27, (24 - 21.25) * 0.5}));
  EXPECT_EQ(plan.taglineOrigin, (Point{27, (24 - 21.25) * 0.5 + 11.25}));

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
  EXPECT_FALSE(MenuBarButtonState().plan({280, 24}).paintsContent) << "nothing configured, nothing painted";
}

TEST(MenuBarButtonState, AccentTextsThatAreNotA32BitNumberHaveNoColour) {
  EXPECT_EQ(accentColor("#FF8000"), (RgbColor{1.0, 128 / 255.0, 0}));
  EXPECT_EQ(accentColor("#ffffffff"), (RgbColor{1.0, 1.0, 1.0}));
  for (const char* text : {"", "#", "#12G456", "#100000000", "# 12345"}) EXPECT_FALSE(accentColor(text)) << text;
}

}  // namespace
}  // namespace nimbrella
