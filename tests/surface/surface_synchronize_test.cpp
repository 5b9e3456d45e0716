#include "SponsorApp/surface/SurfaceSynchronizer.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace nimbrella {
namespace {

struct Desk {
  fixtures::FixedMeasurer measurer;
  fakes::FakeWindowServer server;
  fakes::FakeStatusItem item;
  fakes::FakePanel panel{server};
  MenuBarContent content{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14})), measurer};
  MenuBarContent shown = content;
  bool allowed = true;
  bool withItem = true;

  Desk() { item.statusButton->title = content.text(); }
  bool sync() { return MenuBarSurfaceLogic::synchronize(panel, withItem ? &item : nullptr, server, shown, allowed); }
  // How often the panel was titled, moved, ordered front and ordered out.
  std::array<int, 4> calls() const { return {panel.titles, panel.frames, panel.fronts, panel.outs}; }
};

TEST(SurfaceSynchronize, ShowsTheContentExactlyOverTheStatusItemAndThenChangesNothing) {
  Desk d;
  ASSERT_TRUE(d.sync());
  EXPECT_TRUE(d.server.panel.visible);
  EXPECT_EQ(d.server.panel.frame, (Rect{900, 776, 280, 24}));
  EXPECT_EQ(d.panel.painted.title, "Ad \xC2\xB7 Sample");
  EXPECT_EQ(d.panel.accessibility, "Ad. Ad \xC2\xB7 Sample. Fast notes for busy people. Nimbrella");
  EXPECT_EQ(d.panel.tip, "Ad \xC2\xB7 Sample \xC2\xB7 Fast notes for busy people \xC2\xB7 Nimbrella");
  EXPECT_EQ(d.panel.state.logoSize(), (Size{28, 14}));
  EXPECT_EQ(d.panel.configures, 1);
  EXPECT_EQ(d.calls(), (std::array{1, 1, 1, 0}));
  d.panel.paint();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(d.sync());
  EXPECT_EQ(d.calls(), (std::array{1, 1, 1, 0}));
  EXPECT_TRUE(d.panel.state.paintedContent()) << "equal content must not invalidate the paint";
}

TEST(SurfaceSynchronize, FollowsAStatusItemThatMovesAndSnapsToWholePoints) {
  Desk d;
  ASSERT_TRUE(d.sync());
  // 600.4 .. 880.4 snaps inwards to 601 .. 880: 279 wide, too narrow for sponsored content.
  d.server.statusWindow->frame = {600.4, 776, 280, 24};
  EXPECT_FALSE(d.sync());
  EXPECT_FALSE(d.server.panel.visible);

  d.shown = MenuBarContent{std::string("Nimbrella"), d.measurer};
  d.item.statusButton->title = "Nimbrella";
  ASSERT_TRUE(d.sync());
  EXPECT_EQ(d.server.panel.frame, (Rect{601, 776, 279, 24}));
  EXPECT_EQ(d.panel.accessibility, "Ad. Nimbrella. Nimbrella");
  EXPECT_EQ(d.panel.tip, "Nimbrella \xC2\xB7 Nimbrella");
  EXPECT_FALSE(d.panel.state.logoSize());
}

TEST(SurfaceSynchronize, EveryFailingStepHidesAVisiblePanel) {
  const MenuBarContent empty{std::string(), fixtures::FixedMeasurer()};
  const MenuBarContent greyLogo{
      fakes::sponsoredCreative(fakes::pngDataUrl({.width = 8, .height = 8, .color = fixtures::PngColor::gray})),
      fixtures::FixedMeasurer()};
  auto slotWidth = [](double width) {
    return [width](Desk& d) { d.item.statusButton->frameInWindow.width = d.server.statusWindow->frame.width = width; };
  };
  const std::vector<std::pair<const char*, std::function<void(Desk&)>>> steps{
      {"not allowed", [](Desk& d) { d.allowed = false; }},
      {"no status item", [](Desk& d) { d.withItem = false; }},
      {"empty text", [&](Desk& d) { d.shown = empty; d.item.statusButton->title = ""; }},
      {"no button", [](Desk& d) { d.item.statusButton.reset(); }},
      {"no status window", [](Desk& d) { d.item.number = 0; }},
      {"status window gone", [](Desk& d) { d.server.statusWindow.reset(); }},
      {"status window on no screen", [](Desk& d) { d.server.screenKnown = false; }},
      {"item reports itself hidden", [](Desk& d) { d.item.visible = false; }},
      {"status window unmapped", [](Desk& d) { d.server.statusWindow->visible = false; }},
      {"status button hidden", [](Desk& d) { d.item.statusButton->hiddenOrHasHiddenAncestor = true; }},
      {"full-screen window", [](Desk& d) { d.server.fullScreen = true; }},
      {"no reserved band", [](Desk& d) { d.server.screen.visibleFrame = d.server.screen.frame; }},
      {"band of 11 points", [](Desk& d) { d.server.screen.visibleFrame.height = 789; }},
      {"slot narrower than 24", slotWidth(20)},
      {"status item dragged below the band", [](Desk& d) { d.server.statusWindow->frame.y = 700; }},
      {"sponsored item in a 279 slot", slotWidth(279)},
      {"status button shows the previous sponsor", [](Desk& d) { d.item.statusButton->title = "Ad \xC2\xB7 Old"; }},
      {"logo the decoder refuses", [&](Desk& d) { d.shown = greyLogo; }},
  };
  for (const auto& [name, spoil] : steps) {
    SCOPED_TRACE(name);
    Desk d;
    ASSERT_TRUE(d.sync());
    d.panel.paint();
    spoil(d);
    EXPECT_FALSE(d.sync());
    EXPECT_FALSE(d.server.panel.visible);
    // Only the refused logo comes after the view was configured again.
    EXPECT_EQ(d.panel.configures, std::string_view(name) == "logo the decoder refuses" ? 2 : 1);
    EXPECT_EQ(d.calls(), (std::array{1, 1, 1, 1}));
    // What was prepared before survives: the old content stays rendered and painted.
    EXPECT_EQ(d.panel.state.renderedContent(), d.content);
    EXPECT_TRUE(d.panel.state.paintedContent());
    EXPECT_FALSE(d.sync());
    EXPECT_EQ(d.panel.outs, 1) << "hiding a hidden panel orders nothing";
  }
}

}  // namespace
}  // namespace nimbrella
