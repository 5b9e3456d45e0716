#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

using Configuration = MenuBarButtonState::Configuration;

TEST(MenuBarButtonState, ConfigureTakesNewContentOnceAndKeepsTheOldOnARefusedLogo) {
  fixtures::FixedMeasurer measurer;
  MenuBarButtonState state;
  int decodes = 0;
  auto decoder = [&](const std::vector<std::uint8_t>& png) {
    ++decodes;
    return fakes::FakePanel::decodeLogo(png);
  };
  const MenuBarContent withLogo{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 1, .height = 1})), measurer};
  EXPECT_EQ(state.configure(withLogo, decoder), Configuration::changed);
  state.beginPaint();
  state.finishPaint({280, 24});
  ASSERT_EQ(state.paintedContent(), withLogo);
  EXPECT_EQ(state.paintedSize(), (Size{280, 24}));

  EXPECT_EQ(state.configure(withLogo, decoder), Configuration::unchanged);
  EXPECT_EQ(decodes, 1) << "a logo is decoded once per content";
  EXPECT_TRUE(state.paintedContent());

  const MenuBarContent refused{
      fakes::sponsoredCreative(fakes::pngDataUrl({.width = 4, .height = 4, .color = fixtures::PngColor::gray})),
      measurer};
  EXPECT_EQ(state.configure(refused, decoder), Configuration::refused);
  EXPECT_EQ(state.renderedContent(), withLogo);
  EXPECT_EQ(state.logoSize(), (Size{1, 1}));
  EXPECT_TRUE(state.paintedContent());

  const MenuBarContent house{std::string("Nimbrella"), measurer};
  EXPECT_EQ(state.configure(house, decoder), Configuration::changed);
  EXPECT_FALSE(state.paintedContent());
  EXPECT_FALSE(state.logoSize());
  EXPECT_EQ(decodes, 2);
}

TEST(MenuBarButtonState, PlanPlacesStripeBadgeLogoAndTwoCentredLines) {
  fixtures::FixedMeasurer measurer;
  MenuBarButtonState state;
  const MenuBarContent content{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14})), measurer};
  ASSERT_EQ(state.configure(content, &fakes::FakePanel::decodeLogo), Configuration::changed);
  const MenuBarPaintPlan plan = state.plan({280, 24});
  ASSERT_TRUE(plan.paintsContent);
  EXPECT_EQ(plan.background, (Rect{0, 0, 280, 24}));
  ASSERT_TRUE(plan.accentStripe);
  EXPECT_EQ(*plan.accentStripe, (Rect{1, 3, 3, 18}));
  EXPECT_EQ(plan.accent, (RgbColor{0x1a / 255.0, 0x2b / 255.0, 0x3c / 255.0}));
  EXPECT_EQ(plan.badgeOrigin, (Point{257, 6}));
  EXPECT_EQ(plan.logoBox, (Rect{7, 5, 14, 14}));
  ASSERT_TRUE(plan.logoRect);
  EXPECT_EQ(*plan.logoRect, (Rect{7, 8.5, 14, 7}));
  // Title 9 pt (11.25 high) above the 8 pt tagline (10 high), together centred in 24.
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 9.0}));
  EXPECT_DOUBLE_EQ(plan.titleOrigin.y, (24 - 21.25) * 0.5);
  EXPECT_EQ(plan.titleOrigin.x, 27);
  ASSERT_TRUE(plan.taglineOrigin);
  EXPECT_DOUBLE_EQ(plan.taglineOrigin->y, (24 - 21.25) * 0.5 + 11.25);
}

TEST(MenuBarButtonState, SmallLogosGrowAndContentWithoutExtrasShowsTheGrid) {
  fixtures::FixedMeasurer measurer;
  MenuBarButtonState tiny;
  ASSERT_EQ(
      tiny.configure(MenuBarContent{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 1, .height = 1})), measurer},
                     &fakes::FakePanel::decodeLogo),
      Configuration::changed);
  EXPECT_EQ(tiny.plan({280, 24}).logoRect, (Rect{7, 5, 14, 14}));

  MenuBarButtonState plain;
  ASSERT_EQ(plain.configure(MenuBarContent{std::string("Nimbrella"), measurer}, {}), Configuration::changed);
  const MenuBarPaintPlan plan = plain.plan({140, 22});
  ASSERT_TRUE(plan.paintsContent);
  EXPECT_FALSE(plan.accentStripe);
  EXPECT_FALSE(plan.logoRect);
  EXPECT_FALSE(plan.taglineOrigin);
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 11.5}));
  const std::array<Rect, 4> grid{Rect{7, 4, 5, 5}, Rect{7, 11, 5, 5}, Rect{14, 4, 5, 5}, Rect{14, 11, 5, 5}};
  EXPECT_EQ(plan.gridSquares, grid);
}

TEST(MenuBarButtonState, ABoundsTooNarrowPaintsOnlyTheBackgroundAndProvesNothing) {
  fixtures::FixedMeasurer measurer;
  MenuBarButtonState state;
  const MenuBarContent content{fakes::sponsoredCreative(), measurer};
  ASSERT_EQ(state.configure(content, {}), Configuration::changed);
  state.beginPaint();
  EXPECT_FALSE(state.plan({279, 24}).paintsContent);
  state.finishPaint({279, 24});
  EXPECT_FALSE(state.paintedContent());
  EXPECT_EQ(state.paintedSize(), (Size{0, 0}));
  MenuBarButtonState empty;
  EXPECT_FALSE(empty.plan({280, 24}).paintsContent);
}

TEST(MenuBarButtonState, AccentTextsThatAreNotA32BitNumberHaveNoColour) {
  EXPECT_EQ(accentColor("#FF8000"), (RgbColor{1.0, 128 / 255.0, 0}));
  EXPECT_EQ(accentColor("#ffffffff"), (RgbColor{1.0, 1.0, 1.0}));
  EXPECT_FALSE(accentColor(""));
  EXPECT_FALSE(accentColor("#"));
  EXPECT_FALSE(accentColor("#12G456"));
  EXPECT_FALSE(accentColor("#100000000"));
  EXPECT_FALSE(accentColor("# 12345"));
}

}  // namespace
}  // namespace nimbrella
