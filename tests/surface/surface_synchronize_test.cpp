#include "SponsorApp/surface/SurfaceSynchronizer.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace nimbrella {
namespace {

using fakes::FakePanel;
using fakes::FakeStatusItem;
using fakes::FakeWindowServer;

struct Desk {
  fixtures::FixedMeasurer measurer;
  FakeWindowServer server;
  FakeStatusItem item;
  FakePanel panel{server};
  MenuBarContent content{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14})), measurer};
  MenuBarContent* shown = &content;
  bool allowed = true;
  bool withItem = true;

  Desk() { item.statusButton->title = content.text(); }
  bool sync() { return MenuBarSurfaceLogic::synchronize(panel, withItem ? &item : nullptr, server, *shown, allowed); }
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
  EXPECT_EQ(d.panel.titles, 1);
  EXPECT_EQ(d.panel.frames, 1);
  EXPECT_EQ(d.panel.fronts, 1);
  d.panel.paint();
  ASSERT_TRUE(d.panel.state.paintedContent());

  for (int i = 0; i < 3; ++i) EXPECT_TRUE(d.sync());
  EXPECT_EQ(d.panel.titles, 1);
  EXPECT_EQ(d.panel.frames, 1);
  EXPECT_EQ(d.panel.fronts, 1);
  EXPECT_EQ(d.panel.outs, 0);
  EXPECT_TRUE(d.panel.state.paintedContent()) << "equal content must not invalidate the paint";
}

TEST(SurfaceSynchronize, FollowsAStatusItemThatMovesAndSnapsToWholePoints) {
  Desk d;
  ASSERT_TRUE(d.sync());
  d.server.statusWindow->frame = {600.4, 776, 280, 24};
  d.item.statusButton->frameInWindow = {0, 0, 280, 24};
  // 600.4 .. 880.4 snaps inwards to 601 .. 880: 279 wide, too narrow for sponsored content.
  EXPECT_FALSE(d.sync());
  EXPECT_FALSE(d.server.panel.visible);

  MenuBarContent house{std::string("Nimbrella"), d.measurer};
  d.shown = &house;
  d.item.statusButton->title = "Nimbrella";
  ASSERT_TRUE(d.sync());
  EXPECT_EQ(d.server.panel.frame, (Rect{601, 776, 279, 24}));
  EXPECT_EQ(d.panel.accessibility, "Ad. Nimbrella. Nimbrella");
  EXPECT_EQ(d.panel.tip, "Nimbrella \xC2\xB7 Nimbrella");
  EXPECT_FALSE(d.panel.state.logoSize());
}

struct HidingStep {
  const char* name;
  std::function<void(Desk&)> spoil;
  bool configures;  // whether the step comes after the view was configured
};

TEST(SurfaceSynchronize, EveryFailingStepHidesAVisiblePanel) {
  MenuBarContent empty{std::string(), fixtures::FixedMeasurer()};
  const std::vector<HidingStep> steps{
      {"not allowed", [](Desk& d) { d.allowed = false; }, false},
      {"no status item", [](Desk& d) { d.withItem = false; }, false},
      {"empty text",
       [&empty](Desk& d) {
         d.shown = &empty;
         d.item.statusButton->title = "";
       },
       false},
      {"no button", [](Desk& d) { d.item.statusButton.reset(); }, false},
      {"no status window", [](Desk& d) { d.item.number = 0; }, false},
      {"status window gone", [](Desk& d) { d.server.statusWindow.reset(); }, false},
      {"status window on no screen", [](Desk& d) { d.server.screenKnown = false; }, false},
      {"item reports itself hidden", [](Desk& d) { d.item.visible = false; }, false},
      {"status window unmapped", [](Desk& d) { d.server.statusWindow->visible = false; }, false},
      {"status button hidden", [](Desk& d) { d.item.statusButton->hiddenOrHasHiddenAncestor = true; }, false},
      {"full-screen window", [](Desk& d) { d.server.fullScreen = true; }, false},
      {"no reserved band", [](Desk& d) { d.server.screen.visibleFrame = d.server.screen.frame; }, false},
      {"band of 11 points", [](Desk& d) { d.server.screen.visibleFrame.height = 789; }, false},
      {"slot narrower than 24",
       [](Desk& d) {
         d.item.statusButton->frameInWindow.width = 20;
         d.server.statusWindow->frame.width = 20;
       },
       false},
      {"status item dragged below the band", [](Desk& d) { d.server.statusWindow->frame.y = 700; }, false},
      {"sponsored item in a 279 slot",
       [](Desk& d) {
         d.item.statusButton->frameInWindow.width = 279;
         d.server.statusWindow->frame.width = 279;
       },
       false},
      {"status button still shows the previous sponsor",
       [](Desk& d) { d.item.statusButton->title = "Ad \xC2\xB7 Previous"; }, false},
      {"logo the decoder refuses",
       [](Desk& d) {
         static const MenuBarContent grey{
             fakes::sponsoredCreative(fakes::pngDataUrl({.width = 8, .height = 8, .color = fixtures::PngColor::gray})),
             fixtures::FixedMeasurer()};
         d.shown = const_cast<MenuBarContent*>(&grey);
       },
       true},
  };
  for (const HidingStep& step : steps) {
    SCOPED_TRACE(step.name);
    Desk d;
    ASSERT_TRUE(d.sync());
    d.panel.paint();
    step.spoil(d);
    EXPECT_FALSE(d.sync());
    EXPECT_FALSE(d.server.panel.visible);
    EXPECT_EQ(d.panel.outs, 1);
    EXPECT_EQ(d.panel.configures, step.configures ? 2 : 1);
    EXPECT_EQ(d.panel.titles, 1);
    EXPECT_EQ(d.panel.frames, 1);
    // What was prepared before survives: the old content stays rendered and painted.
    EXPECT_EQ(d.panel.state.renderedContent(), d.content);
    EXPECT_TRUE(d.panel.state.paintedContent());
    // Hiding a hidden panel orders nothing.
    EXPECT_FALSE(d.sync());
    EXPECT_EQ(d.panel.outs, 1);
  }
}

}  // namespace
}  // namespace nimbrella
