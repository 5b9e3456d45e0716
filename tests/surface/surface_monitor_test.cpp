// The surface monitor and the decision that shows the panel over the status item, on a
// desktop simulated in memory. The reasons behind each check are core's
// (tests/core/exposure_clock_test).

#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

// The desk with the monitor wired to it and the sponsored item shown, painted and verified.
struct Scene : fakes::Desk {
  SurfaceMonitor monitor{server, measurer};
  bool allowed = true;

  Scene() {
    monitor.statusItem = item;
    monitor.surface = panel;
    monitor.setExpectation(content.text(), content);
    monitor.setContentReady(true);
    sync();
    EXPECT_TRUE(server.panel.visible);
    panel->paint();
  }
  void sync() { monitor.synchronizeSurface(monitor.expectedText(), allowed); }
  // How often the panel was titled, moved, ordered front and ordered out.
  std::array<int, 4> calls() const { return {panel->titles, panel->frames, panel->fronts, panel->outs}; }
};

struct MonitorTest : ::testing::Test, Scene {};

TEST_F(MonitorTest, ThePanelLiesExactlyOverTheStatusItemAndNineHitTestsInsideItPass) {
  EXPECT_EQ(server.panel.frame, (Rect{900, 776, 280, 24}));
  EXPECT_EQ(panel->painted.title, "Ad \xC2\xB7 Sample");
  EXPECT_EQ(panel->accessibility, "Ad. Ad \xC2\xB7 Sample. Fast notes for busy people. Nimbrella");
  EXPECT_EQ(panel->tip, "Ad \xC2\xB7 Sample \xC2\xB7 Fast notes for busy people \xC2\xB7 Nimbrella");
  EXPECT_EQ(panel->state.logoSize(), (Size{28, 14}));
  for (int i = 0; i < 3; ++i) sync();
  EXPECT_EQ(calls(), (std::array{1, 1, 1, 0})) << "an unchanged panel is left alone";
  EXPECT_TRUE(panel->state.paintedContent()) << "equal content must not invalidate the paint";

  EXPECT_EQ(monitor.snapshot(), S());
  EXPECT_EQ(monitor.lastDiagnostic(),
            "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.");
  ASSERT_EQ(server.askedPoints.size(), 1u);
  // Three points in from every edge, row by row in x: the first, the centre, the last.
  EXPECT_EQ(server.askedPoints[0][0], (Point{903, 779}));
  EXPECT_EQ(server.askedPoints[0][4], (Point{1040, 788}));
  EXPECT_EQ(server.askedPoints[0][8], (Point{1177, 797}));
  const Rect slot{900, 776, 280, 24};
  server.covering.push_back({99, {0, 0, 904, 900}});  // covers the left column only
  EXPECT_EQ(monitor.sampledPoints(slot, fakes::panelWindowNumber).owned, 6);
  // A frame too small or too large for nine points, or no window, asks nothing.
  const std::size_t asked = server.askedPoints.size();
  EXPECT_EQ(monitor.sampledPoints({900, 776, 6, 24}, fakes::panelWindowNumber).owned, 0);
  EXPECT_EQ(monitor.sampledPoints({0, 0, std::numeric_limits<double>::infinity(), 24}, 42).owned, 0);
  EXPECT_EQ(monitor.sampledPoints(slot, 0).owned, 0);
  EXPECT_EQ(server.askedPoints.size(), asked);
}

TEST_F(MonitorTest, HouseTextFollowsTheItemOnWholePointsAndAnUnprovableDesktopProvesNothing) {
  // 600.4 .. 880.4 snaps inwards to 601 .. 880: 279 wide, too narrow for sponsored content.
  server.statusWindow->frame = {600.4, 776, 280, 24};
  sync();
  EXPECT_FALSE(server.panel.visible);
  monitor.setExpectation(item->statusButton->title = "Nimbrella", std::nullopt);
  sync();
  panel->paint();
  EXPECT_EQ(server.panel.frame, (Rect{601, 776, 279, 24}));
  EXPECT_EQ(panel->accessibility, "Ad. Nimbrella. Nimbrella");
  EXPECT_EQ(panel->tip, "Nimbrella \xC2\xB7 Nimbrella");
  EXPECT_FALSE(panel->state.logoSize());
  EXPECT_EQ(monitor.snapshot(), S());

  server.verifiable = false;
  const S snapshot = monitor.snapshot();
  EXPECT_TRUE(snapshot.contentReady);
  EXPECT_FALSE(snapshot.occlusionVisible || snapshot.topmostSamplesPass || snapshot.geometryValid ||
               snapshot.recentInput);
  EXPECT_EQ(monitor.lastDiagnostic(), "Menu-bar visibility could not be verified. No earnings while this is unverified.");
}

// Each way the item can be unseen fails its check (and those it implies); where the
// placement can see it too, the panel is hidden once, keeping what was prepared for it.
TEST(SurfaceMonitor, EachSpoiledConditionFailsItsCheckAndHidesThePanelWhereThePlacementSeesIt) {
  using Spoil = std::function<void(Scene&)>;
  auto slot = [](double width, bool panelToo) {
    return [=](Scene& t) {
      t.server.statusWindow->frame.width = t.item->statusButton->frameInWindow.width = width;
      if (!panelToo) return;
      t.server.panel.frame.width = t.panel->painted.boundsSize.width = width;
      t.panel->paint();
    };
  };
  const MenuBarContent greyLogo{
      fakes::sponsoredCreative(fakes::pngDataUrl({.width = 8, .height = 8, .color = fixtures::PngColor::gray})),
      fixtures::FixedMeasurer()};
  struct Row {
    const char* name;
    Spoil spoil;
    std::vector<bool S::*> failing;
    bool hides;
    bool early = false;  // the result of missing objects
  };
  const std::vector<Row> rows{
      // The interface objects are held weakly: their owners dropping them is enough.
      {"no status item", [](Scene& t) { t.item.reset(); }, {&S::contentReady}, true, true},
      {"no button", [](Scene& t) { t.item->statusButton.reset(); }, {&S::contentReady}, true, true},
      {"no status window", [](Scene& t) { t.item->number = 0; }, {&S::contentReady}, true, true},
      {"status window gone", [](Scene& t) { t.server.statusWindow.reset(); }, {&S::contentReady}, true, true},
      {"status window on no screen", [](Scene& t) { t.server.desktop.screen.reset(); }, {&S::contentReady}, true, true},
      {"no panel", [](Scene& t) { t.panel.reset(); }, {&S::contentReady}, true, true},
      {"content not handed", [](Scene& t) { t.monitor.setContentReady(false); }, {&S::contentReady}, false},
      {"older title painted", [](Scene& t) { t.panel->painted.title = "Ad \xC2\xB7 Old"; }, {&S::contentReady}, false},
      {"new content not painted yet",
       [](Scene& t) {
         const MenuBarContent changed{fakes::sponsoredCreative(std::nullopt, "#000000"), t.measurer};
         t.panel->configure(changed);
         t.monitor.setExpectation(t.content.text(), changed);
       },
       {&S::contentReady}, false},
      {"painted at another size", [](Scene& t) { t.panel->painted.boundsSize.height = 22; }, {&S::contentReady}, false},
      {"empty text",
       [](Scene& t) { t.monitor.setExpectation(t.item->statusButton->title = "", std::nullopt); },
       {&S::contentReady}, true},
      {"logo the decoder refuses", [&](Scene& t) { t.monitor.setExpectation(t.content.text(), greyLogo); },
       {&S::contentReady}, true},
      {"panel and slot one point too narrow to paint in", slot(279, true), {&S::contentReady, &S::textFits}, true},
      {"status item hidden", [](Scene& t) { t.item->visible = false; }, {&S::statusItemVisible}, true},
      {"status button hidden", [](Scene& t) { t.item->statusButton->hiddenOrHasHiddenAncestor = true; },
       {&S::buttonVisible}, true},
      {"view hidden", [](Scene& t) { t.panel->painted.hiddenOrHasHiddenAncestor = true; }, {&S::buttonVisible}, false},
      {"view clipped", [](Scene& t) { t.panel->painted.visibleRectContainsBounds = false; }, {&S::buttonVisible}, false},
      {"button alpha 0.99", [](Scene& t) { t.item->statusButton->alpha = 0.99; }, {&S::buttonVisible}, false},
      {"panel alpha 0.99", [](Scene& t) { t.server.panel.alpha = 0.99; }, {&S::windowVisible}, false},
      {"status window unmapped", [](Scene& t) { t.server.statusWindow->visible = false; }, {&S::windowVisible}, true},
      {"other desktop", [](Scene& t) { t.server.desktop.panelOnActiveDesktop = false; }, {&S::onActiveSpace}, false},
      {"full screen", [](Scene& t) { t.server.desktop.fullScreenActive = true; }, {&S::menuBarVisible}, true},
      {"no reserved band", [](Scene& t) { t.server.desktop.screen->visibleFrame = t.server.desktop.screen->frame; },
       {&S::menuBarVisible, &S::geometryValid}, true},
      {"band of 11 points", [](Scene& t) { t.server.desktop.screen->visibleFrame.height = 789; },
       {&S::menuBarVisible, &S::geometryValid}, true},
      {"panel half a point off", [](Scene& t) { t.server.panel.frame.x += 0.5; }, {&S::geometryValid}, false},
      {"status item dragged below the band", [](Scene& t) { t.server.statusWindow->frame.y = 700; },
       {&S::geometryValid}, true},
      {"slot narrower than 24", slot(20, false), {&S::geometryValid}, true},
      {"sponsored item in a 279 slot", slot(279, false), {&S::geometryValid}, true},
      {"occluded", [](Scene& t) { t.server.desktop.panelOcclusionVisible = false; }, {&S::occlusionVisible}, false},
      {"menu over a corner", [](Scene& t) { t.server.covering.push_back({99, {1150, 700, 200, 85}}); },
       {&S::topmostSamplesPass}, false},
      {"display asleep", [](Scene& t) { t.monitor.setDisplayAwake(false); }, {&S::displayAwake}, true},
      {"session inactive", [](Scene& t) { t.monitor.setSessionActive(false); }, {&S::sessionActive}, true},
      {"idle 300.5 s", [](Scene& t) { t.server.idleSeconds = 300.5; }, {&S::recentInput}, true},
      {"controls open", [](Scene& t) { t.monitor.setControlsClosed(false); }, {&S::controlsClosed}, true},
      {"not allowed by the controller", [](Scene& t) { t.allowed = false; }, {}, true},
      {"status button shows the previous sponsor", [](Scene& t) { t.item->statusButton->title = "Ad \xC2\xB7 Old"; },
       {}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Scene t;
    r.spoil(t);
    S expected;
    for (bool S::*check : r.failing) expected.*check = false;
    EXPECT_EQ(t.monitor.snapshot(), expected);
    if (r.early) {
      EXPECT_EQ(t.monitor.lastDiagnostic(), "Status-item window is unavailable; no earnings.");
    } else if (expected.failure()) {
      EXPECT_EQ(t.monitor.lastDiagnostic(), *expected.failure() + " No earnings while this is unverified.");
    }
    if (!t.panel || !r.hides) continue;
    const auto painted = t.panel->state.paintedContent();
    t.sync();
    t.sync();
    EXPECT_FALSE(t.server.panel.visible);
    EXPECT_EQ(t.calls(), (std::array{1, 1, 1, 1})) << "hidden once, and a hidden panel is not ordered again";
    // What was prepared before survives: the old content stays rendered and painted.
    EXPECT_EQ(t.panel->state.renderedContent(), t.content);
    EXPECT_EQ(t.panel->state.paintedContent(), painted);
  }
}

}  // namespace
}  // namespace nimbrella
