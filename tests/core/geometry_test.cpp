#include "SponsorCore/MenuBarGeometry.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace nimbrella {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
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
    Rect slot, screen;
    double barHeight, notch;
    std::vector<Rect> safeAreas;
    bool qualifies;
  } cases[] = {
      {{1000, 1056, 280, 24}, screen, 24, 0, none, true},
      // Width 24..280, height at least 12, bar height at least 12.
      {{1000, 1068, 24, 12}, screen, 24, 0, none, true}, {{1000, 1056, 281, 24}, screen, 24, 0, none, false},
      {{1000, 1056, 23.9, 24}, screen, 24, 0, none, false}, {{1000, 1068.1, 100, 11.9}, screen, 24, 0, none, false},
      {{1000, 1068, 100, 12}, screen, 12, 32, wholeTop, true},
      {{1000, 1068, 100, 12}, screen, 11.9, 32, wholeTop, false},
      // Outside the screen, or out of the band.
      {{1700, 1056, 280, 24}, screen, 24, 0, none, false}, {{1000, 1057, 280, 24}, screen, 24, 0, none, false},
      {{1000, 1055, 280, 24}, screen, 24, 0, none, false},
      // A notch inset widens the band, but then the slot needs a containing, non-empty safe area.
      {{1000, 1048, 280, 24}, screen, 24, 0, none, false},
      {{1000, 1048, 280, 24}, screen, 24, 32, {{900, 1048, 600, 32}}, true},
      {{1000, 1048, 280, 32}, screen, 24, 32, none, false},
      {{1000, 1048, 280, 32}, screen, 24, 32, {{0, 1048, 800, 32}, {1000, 1048, 920, 32}}, true},
      {{1000, 1048, 280, 32}, screen, 24, 32, {{0, 1048, 800, 32}, {1100, 1048, 820, 32}}, false},
      {{1000, 1048, 280, 32}, screen, 24, 32, {{1000, 1048, 0, 32}}, false},
      // Non-finite inputs.
      {{nan, 1056, 280, 24}, screen, 24, 0, none, false}, {{1000, 1056, 280, 24}, screen, 24, inf, none, false},
      {{1000, 1048, 280, 24}, screen, 24, 32, {{nan, 0, 1, 1}, {0, 1048, 1920, 32}}, false},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    const auto& c = cases[row];
    EXPECT_EQ(MenuBarGeometry::qualifies(c.slot, c.screen, c.barHeight, c.notch, c.safeAreas), c.qualifies) << row;
  }
}

}  // namespace
}  // namespace nimbrella
