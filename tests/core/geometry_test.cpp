#include "SponsorCore/MenuBarGeometry.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace nimbrella {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const Rect screen{0, 0, 1920, 1080};

Rect visibleBelowBar(double barHeight) { return {0, 0, 1920, 1080 - barHeight}; }

TEST(Rect, EdgesContainmentAndEmptiness) {
  const Rect r{10, 20, 30, 40};
  EXPECT_EQ(r.minX(), 10);
  EXPECT_EQ(r.maxX(), 40);
  EXPECT_EQ(r.minY(), 20);
  EXPECT_EQ(r.maxY(), 60);
  const Rect flipped{40, 60, -30, -40};
  EXPECT_EQ(flipped.minX(), 10);
  EXPECT_EQ(flipped.maxY(), 60);
  EXPECT_TRUE(flipped.contains(r));

  EXPECT_TRUE(r.contains(r));  // shared edges count as inside
  EXPECT_TRUE(r.contains({15, 25, 5, 5}));
  EXPECT_FALSE(r.contains({15, 25, 30, 5}));
  EXPECT_FALSE(r.contains({9.9, 25, 5, 5}));
  EXPECT_FALSE(r.contains({15, 25, 0, 5}));  // empty
  EXPECT_FALSE(Rect({10, 20, 0, 40}).contains({10, 20, 0, 0}));
  EXPECT_TRUE(Rect({0, 0, nan, 1}).isEmpty());
  EXPECT_FALSE(r.contains({nan, 25, 5, 5}));
  EXPECT_TRUE(Rect({0, 0, 1e308, 1}).isFinite());
  EXPECT_FALSE(Rect({1e308, 0, 1e308, 1}).isFinite());
}

TEST(MenuBarGeometry, TopReservedHeightAcceptsTwelveToEighty) {
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(24)), 24);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(12)), 12);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(80)), 80);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(11.9)), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(80.1)), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, visibleBelowBar(0)), std::nullopt);

  // A second screen to the right and higher up: measured from its own top.
  const Rect right{1920, 200, 1280, 1024};
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(right, {1920, 200, 1280, 1000}), 24);
}

TEST(MenuBarGeometry, TopReservedHeightRefusesInconsistentFrames) {
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, {0, 0, 1921, 1050}), std::nullopt);  // wider than screen
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, {0, -1, 1920, 1050}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, {0, 0, 0, 1050}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, {0, 1056, 1920, -1056}), 24);  // same frame, standardized
  EXPECT_EQ(MenuBarGeometry::topReservedHeight(screen, {nan, 0, 1920, 1050}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight({0, 0, inf, inf}, {0, 0, 1920, 1050}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::topReservedHeight({0, 0, 1920, nan}, {0, 0, 1920, 1050}), std::nullopt);
}

TEST(MenuBarGeometry, RendererFrameSnapsInwardsToWholePoints) {
  EXPECT_EQ(MenuBarGeometry::rendererFrame({10.4, 5.2, 100.3, 16.9}), Rect({11, 6, 99, 16}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({10, 5, 280, 24}), Rect({10, 5, 280, 24}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({-10.5, -3.5, 30, 16}), Rect({-10, -3, 29, 15}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({0, 0, 24, 12}), Rect({0, 0, 24, 12}));
  EXPECT_EQ(MenuBarGeometry::rendererFrame({0.5, 0, 24, 12}), std::nullopt);  // 23 wide after snapping
  EXPECT_EQ(MenuBarGeometry::rendererFrame({0, 0.5, 24, 12}), std::nullopt);  // 11 high after snapping
  EXPECT_EQ(MenuBarGeometry::rendererFrame({nan, 0, 100, 20}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::rendererFrame({0, 0, inf, 20}), std::nullopt);
  EXPECT_EQ(MenuBarGeometry::rendererFrame({1e308, 0, 1e308, 20}), std::nullopt);  // right edge overflows
}

TEST(MenuBarGeometry, QualifiesOnlyInsideTheTopBand) {
  const Rect slot{1000, 1056, 280, 24};
  EXPECT_TRUE(MenuBarGeometry::qualifies(slot, screen, 24, 0, {}));
  // Width 24..280 inclusive, height at least 12, bar height at least 12.
  EXPECT_TRUE(MenuBarGeometry::qualifies({1000, 1068, 24, 12}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1056, 281, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1056, 23.9, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1068.1, 100, 11.9}, screen, 24, 0, {}));
  const std::vector<Rect> wholeTop{{0, 1048, 1920, 32}};
  EXPECT_TRUE(MenuBarGeometry::qualifies({1000, 1068, 100, 12}, screen, 12, 32, wholeTop));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1068, 100, 12}, screen, 11.9, 32, wholeTop));
  // Outside the screen, or below the band.
  EXPECT_FALSE(MenuBarGeometry::qualifies({1700, 1056, 280, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1057, 280, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1055, 280, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies({1000, 1000, 280, 24}, screen, 24, 0, {}));
  // A taller notch inset widens the band.
  const Rect lowSlot{1000, 1048, 280, 24};
  EXPECT_FALSE(MenuBarGeometry::qualifies(lowSlot, screen, 24, 0, {}));
  EXPECT_TRUE(MenuBarGeometry::qualifies(lowSlot, screen, 24, 32, {{900, 1048, 600, 32}}));
  // Non-finite inputs.
  EXPECT_FALSE(MenuBarGeometry::qualifies({nan, 1056, 280, 24}, screen, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, {0, 0, 1920, inf}, 24, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, nan, 0, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, 24, inf, {}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, 24, 32, {{nan, 0, 1, 1}, {0, 1048, 1920, 32}}));
}

TEST(MenuBarGeometry, QualifiesWithANotchNeedsAContainingSafeArea) {
  const Rect slot{1000, 1048, 280, 32};
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, 24, 32, {}));
  EXPECT_TRUE(MenuBarGeometry::qualifies(slot, screen, 24, 32, {{0, 1048, 800, 32}, {1000, 1048, 920, 32}}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, 24, 32, {{0, 1048, 800, 32}, {1100, 1048, 820, 32}}));
  EXPECT_FALSE(MenuBarGeometry::qualifies(slot, screen, 24, 32, {{1000, 1048, 0, 32}}));  // empty area
}

}  // namespace
}  // namespace nimbrella
