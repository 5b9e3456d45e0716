// The surface monitor and the decision that shows the panel over the status item, on a
// desktop simulated in memory.

#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "SponsorApp/surface/SurfaceSynchronizer.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

// The desk with the monitor wired to it and the sponsored item shown, painted and verified.
struct Scene : fakes::Desk {
  SurfaceMonitor monitor{server, measurer};

  Scene() {
    monitor.statusItem = item;
    monitor.surface = panel;
    monitor.setExpectation(content.text(), content);
    monitor.setContentReady(true);
    monitor.synchronizeSurface(content.text(), true);
    EXPECT_TRUE(server.panel.visible);
    panel->paint();
  }
};

struct MonitorTest : ::testing::Test, Scene {};

TEST_F(MonitorTest, PassingSampleReportsEveryCheckAndTheFixedSuccessText) {
  SurfaceMonitor fresh{server, measurer};
  EXPECT_EQ(fresh.lastDiagnostic(), "No sponsored item to measure.");
  EXPECT_EQ(fresh.debugSummary(), "No sample yet.");
  server.idleSeconds = 300.0;  // exactly five minutes still counts
  EXPECT_EQ(monitor.snapshot(), S());
  EXPECT_EQ(monitor.debugSummary(),
            "Content painted: true. Item: true. Button: true. Window: true. Space: true. Bar: true. Safe area: true. "
            "Creative fit: true. Occlusion: true. Recent input: true. Nine hit tests: true.");
  EXPECT_EQ(monitor.lastDiagnostic(),
            "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.");
  const std::array<Point, 9> expected{Point{903, 779},  Point{903, 788},  Point{903, 797},
                                      Point{1040, 779}, Point{1040, 788}, Point{1040, 797},
                                      Point{1177, 779}, Point{1177, 788}, Point{1177, 797}};
  EXPECT_EQ(server.askedPoints, std::vector{expected});
}

TEST_F(MonitorTest, MissingObjectsGiveTheEarlyResultAndKeepTheSummary) {
  // The interface objects are held weakly: their owners dropping them is enough.
  const std::vector<std::function<void(Scene&)>> breakers{
      [](Scene& t) { t.item.reset(); }, [](Scene& t) { t.item->statusButton.reset(); },
      [](Scene& t) { t.item->number = 0; }, [](Scene& t) { t.server.statusWindow.reset(); },
      [](Scene& t) { t.panel.reset(); }, [](Scene& t) { t.server.screenKnown = false; }};
  for (std::size_t i = 0; i < breakers.size(); ++i) {
    SCOPED_TRACE(i);
    Scene t;
    t.server.fullScreen = true;
    (void)t.monitor.snapshot();
    const std::string summary = t.monitor.debugSummary();
    breakers[i](t);
    S expected;
    expected.contentReady = false;
    EXPECT_EQ(t.monitor.snapshot(), expected);
    EXPECT_EQ(t.monitor.lastDiagnostic(), "Status-item window is unavailable; no earnings.");
    EXPECT_EQ(t.monitor.debugSummary(), summary);
    t.monitor.synchronizeSurface("text", true);  // nothing to crash on
    t.monitor.hideSurface();
    t.monitor.redrawStatusButton();
  }
}

TEST_F(MonitorTest, EachCheckFailsAloneWithItsReason) {
  const char* notReady = "The sponsored text is not ready.";
  const char* hidden = "The menu-bar item is hidden.";
  const char* noBar = "The menu bar is not visible on this desktop.";
  const char* unproven = "Menu-bar visibility could not be verified.";
  const char* inactive = "The display or session is inactive.";
  const char* idle = "The computer has been inactive for more than five minutes.";
  struct Case {
    const char* name;
    bool S::*field;
    const char* reason;
    std::function<void(Scene&)> spoil;
  };
  const std::vector<Case> cases{
      {"content not handed", &S::contentReady, notReady, [](Scene& t) { t.monitor.setContentReady(false); }},
      {"older title painted", &S::contentReady, notReady, [](Scene& t) { t.panel->painted.title = "Ad \xC2\xB7 Old"; }},
      {"new content not painted yet", &S::contentReady, notReady,
       [](Scene& t) {
         MenuBarContent changed{fakes::sponsoredCreative(std::nullopt, "#000000"), t.measurer};
         t.panel->configure(changed);
         t.monitor.setExpectation(t.content.text(), changed);
       }},
      {"painted at another size", &S::contentReady, notReady, [](Scene& t) { t.panel->painted.boundsSize.height = 22; }},
      {"status item hidden", &S::statusItemVisible, hidden, [](Scene& t) { t.item->visible = false; }},
      {"view hidden", &S::buttonVisible, hidden, [](Scene& t) { t.panel->painted.hiddenOrHasHiddenAncestor = true; }},
      {"view clipped", &S::buttonVisible, hidden, [](Scene& t) { t.panel->painted.visibleRectContainsBounds = false; }},
      {"button alpha 0.99", &S::buttonVisible, hidden, [](Scene& t) { t.item->statusButton->alpha = 0.99; }},
      {"panel alpha 0.99", &S::windowVisible, hidden, [](Scene& t) { t.server.panel.alpha = 0.99; }},
      {"status window unmapped", &S::windowVisible, hidden, [](Scene& t) { t.server.statusWindow->visible = false; }},
      {"other desktop", &S::onActiveSpace, noBar, [](Scene& t) { t.server.onActiveDesktop = false; }},
      {"full screen", &S::menuBarVisible, noBar, [](Scene& t) { t.server.fullScreen = true; }},
      {"panel half a point off", &S::geometryValid, "The full sponsored item is outside the safe menu-bar area.",
       [](Scene& t) { t.server.panel.frame.x += 0.5; }},
      {"occluded", &S::occlusionVisible, unproven, [](Scene& t) { t.server.occlusionVisible = false; }},
      {"menu over a corner", &S::topmostSamplesPass, unproven,
       [](Scene& t) { t.server.covering.push_back({99, {1150, 700, 200, 85}}); }},
      {"display asleep", &S::displayAwake, inactive, [](Scene& t) { t.monitor.setDisplayAwake(false); }},
      {"session inactive", &S::sessionActive, inactive, [](Scene& t) { t.monitor.setSessionActive(false); }},
      {"idle 300.5 s", &S::recentInput, idle, [](Scene& t) { t.server.idleSeconds = 300.5; }},
      {"idle unknown", &S::recentInput, idle,
       [](Scene& t) { t.server.idleSeconds = std::numeric_limits<double>::quiet_NaN(); }},
      {"controls open", &S::controlsClosed, "Controls are open; exposure is paused.",
       [](Scene& t) { t.monitor.setControlsClosed(false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene t;
    c.spoil(t);
    S expected;
    expected.*c.field = false;
    EXPECT_EQ(t.monitor.snapshot(), expected);
    EXPECT_EQ(t.monitor.lastDiagnostic(), std::string(c.reason) + " No earnings while this is unverified.");
  }
}

TEST_F(MonitorTest, CoupledFailuresAndTheSummaryOrder) {
  // A slot one point too narrow for a sponsored item: the view cannot paint it, so the
  // content is not ready and does not fit.
  server.statusWindow->frame.width = item->statusButton->frameInWindow.width = 279;
  server.panel.frame.width = panel->painted.boundsSize.width = 279;
  panel->paint();
  server.fullScreen = true;
  monitor.setDisplayAwake(false);
  monitor.setControlsClosed(false);
  (void)monitor.snapshot();
  // Display, session and controls are never part of the summary.
  EXPECT_EQ(monitor.debugSummary(),
            "Content painted: false. Item: true. Button: true. Window: true. Space: true. Bar: false. Safe area: "
            "true. Creative fit: false. Occlusion: true. Recent input: true. Nine hit tests: true.");
  EXPECT_EQ(monitor.lastDiagnostic(), "The sponsored text is not ready. No earnings while this is unverified.");
}

TEST_F(MonitorTest, HitTestsCountOnlyThePanelAndAskNothingForADegenerateFrame) {
  const Rect slot{900, 776, 280, 24};
  EXPECT_EQ(monitor.sampledPoints(slot, fakes::panelWindowNumber).owned, 9);
  server.covering.push_back({99, {0, 0, 904, 900}});  // covers the left column only
  const auto counts = monitor.sampledPoints(slot, fakes::panelWindowNumber);
  EXPECT_EQ(std::pair(counts.owned, counts.unknown), std::pair(6, 0));
  server.covering.clear();
  server.panel.visible = server.statusWindow->visible = false;  // nothing at all under the points
  EXPECT_EQ(monitor.sampledPoints(slot, fakes::panelWindowNumber).unknown, 9);

  const std::size_t asked = server.askedPoints.size();
  const auto none = monitor.sampledPoints({900, 776, 6, 24}, fakes::panelWindowNumber);
  EXPECT_EQ(std::pair(none.owned, none.unknown), std::pair(0, 9));
  EXPECT_EQ(monitor.sampledPoints(slot, 0).unknown, 9);
  EXPECT_EQ(monitor.sampledPoints({0, 0, std::numeric_limits<double>::infinity(), 24}, 42).owned, 0);
  EXPECT_EQ(server.askedPoints.size(), asked);
}

TEST_F(MonitorTest, HouseTextIsMeasuredFromTheExpectedTextAndAnUnprovableSessionNeverPasses) {
  monitor.setExpectation(item->statusButton->title = "Nimbrella", std::nullopt);
  server.statusWindow->frame.width = item->statusButton->frameInWindow.width = 200;
  monitor.synchronizeSurface("Nimbrella", true);
  panel->paint();
  EXPECT_EQ(monitor.snapshot(), S());
  EXPECT_EQ(server.panel.frame, (Rect{900, 776, 200, 24}));

  server.verifiable = false;
  const int samples = server.sampleCalls;
  const S snapshot = monitor.snapshot();
  EXPECT_TRUE(snapshot.contentReady);
  EXPECT_FALSE(snapshot.occlusionVisible || snapshot.topmostSamplesPass || snapshot.geometryValid ||
               snapshot.recentInput)
      << monitor.debugSummary();
  EXPECT_EQ(monitor.lastDiagnostic(), "Menu-bar visibility could not be verified. No earnings while this is unverified.");
  EXPECT_EQ(server.sampleCalls, samples) << "an unprovable desktop is not even asked";
}

TEST_F(MonitorTest, SynchronisationHonoursTheMonitorsOwnConditions) {
  // A condition of the monitor hides the panel without asking for the idle time.
  for (void (SurfaceMonitorPort::*flag)(bool) :
       {&SurfaceMonitorPort::setDisplayAwake, &SurfaceMonitorPort::setSessionActive,
        &SurfaceMonitorPort::setControlsClosed}) {
    Scene t;
    const int idleCalls = t.server.idleCalls;
    (t.monitor.*flag)(false);
    t.monitor.synchronizeSurface(t.content.text(), true);
    EXPECT_FALSE(t.server.panel.visible);
    EXPECT_EQ(t.server.idleCalls, idleCalls);
  }
  using Step = std::tuple<double, bool, bool>;  // idle seconds, allowed, shown
  for (auto [idle, allowed, shown] : {Step{301, true, false}, Step{0, true, true}, Step{0, false, false}}) {
    server.idleSeconds = idle;
    monitor.synchronizeSurface(content.text(), allowed);
    EXPECT_EQ(server.panel.visible, shown) << idle << " " << allowed;
  }
  monitor.synchronizeSurface(content.text(), true);
  const int outs = panel->outs;
  monitor.hideSurface();
  monitor.hideSurface();
  EXPECT_FALSE(server.panel.visible);
  EXPECT_EQ(panel->outs, outs + 1) << "hiding a hidden panel orders nothing";
  monitor.redrawStatusButton();
  EXPECT_EQ(item->redraws, 1);
}

// The placement decision itself, called as the monitor calls it.
struct Placement : fakes::Desk {
  MenuBarContent shown = content;
  bool allowed = true;
  bool withItem = true;

  bool sync() {
    return MenuBarSurfaceLogic::synchronize(*panel, withItem ? item.get() : nullptr, server, shown, allowed);
  }
  // How often the panel was titled, moved, ordered front and ordered out.
  std::array<int, 4> calls() const { return {panel->titles, panel->frames, panel->fronts, panel->outs}; }
};

TEST(SurfacePlacement, ShowsTheContentExactlyOverTheStatusItemOnceAndFollowsItOnWholePoints) {
  Placement d;
  ASSERT_TRUE(d.sync());
  EXPECT_EQ(d.server.panel.frame, (Rect{900, 776, 280, 24}));
  EXPECT_EQ(d.panel->painted.title, "Ad \xC2\xB7 Sample");
  EXPECT_EQ(d.panel->accessibility, "Ad. Ad \xC2\xB7 Sample. Fast notes for busy people. Nimbrella");
  EXPECT_EQ(d.panel->tip, "Ad \xC2\xB7 Sample \xC2\xB7 Fast notes for busy people \xC2\xB7 Nimbrella");
  EXPECT_EQ(d.panel->state.logoSize(), (Size{28, 14}));
  EXPECT_EQ(d.panel->configures, 1);
  d.panel->paint();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(d.sync());
  EXPECT_EQ(d.calls(), (std::array{1, 1, 1, 0})) << "an unchanged panel is left alone";
  EXPECT_TRUE(d.panel->state.paintedContent()) << "equal content must not invalidate the paint";

  // 600.4 .. 880.4 snaps inwards to 601 .. 880: 279 wide, too narrow for sponsored content.
  d.server.statusWindow->frame = {600.4, 776, 280, 24};
  EXPECT_FALSE(d.sync());
  d.shown = MenuBarContent{std::string("Nimbrella"), d.measurer};
  d.item->statusButton->title = "Nimbrella";
  ASSERT_TRUE(d.sync());
  EXPECT_EQ(d.server.panel.frame, (Rect{601, 776, 279, 24}));
  EXPECT_EQ(d.panel->accessibility, "Ad. Nimbrella. Nimbrella");
  EXPECT_EQ(d.panel->tip, "Nimbrella \xC2\xB7 Nimbrella");
  EXPECT_FALSE(d.panel->state.logoSize());
}

TEST(SurfacePlacement, EveryFailingConditionHidesAVisiblePanelAndKeepsWhatWasPrepared) {
  const MenuBarContent greyLogo{
      fakes::sponsoredCreative(fakes::pngDataUrl({.width = 8, .height = 8, .color = fixtures::PngColor::gray})),
      fixtures::FixedMeasurer()};
  auto slotWidth = [](double width) {
    return [width](Placement& d) {
      d.item->statusButton->frameInWindow.width = d.server.statusWindow->frame.width = width;
    };
  };
  const std::vector<std::pair<const char*, std::function<void(Placement&)>>> steps{
      {"not allowed", [](Placement& d) { d.allowed = false; }},
      {"no status item", [](Placement& d) { d.withItem = false; }},
      {"empty text",
       [](Placement& d) {
         d.shown = MenuBarContent{std::string(), d.measurer};
         d.item->statusButton->title = "";
       }},
      {"no button", [](Placement& d) { d.item->statusButton.reset(); }},
      {"no status window", [](Placement& d) { d.item->number = 0; }},
      {"status window gone", [](Placement& d) { d.server.statusWindow.reset(); }},
      {"status window on no screen", [](Placement& d) { d.server.screenKnown = false; }},
      {"item reports itself hidden", [](Placement& d) { d.item->visible = false; }},
      {"status window unmapped", [](Placement& d) { d.server.statusWindow->visible = false; }},
      {"status button hidden", [](Placement& d) { d.item->statusButton->hiddenOrHasHiddenAncestor = true; }},
      {"full-screen window", [](Placement& d) { d.server.fullScreen = true; }},
      {"no reserved band", [](Placement& d) { d.server.screen.visibleFrame = d.server.screen.frame; }},
      {"band of 11 points", [](Placement& d) { d.server.screen.visibleFrame.height = 789; }},
      {"slot narrower than 24", slotWidth(20)},
      {"status item dragged below the band", [](Placement& d) { d.server.statusWindow->frame.y = 700; }},
      {"sponsored item in a 279 slot", slotWidth(279)},
      {"status button shows the previous sponsor",
       [](Placement& d) { d.item->statusButton->title = "Ad \xC2\xB7 Old"; }},
      {"logo the decoder refuses", [&](Placement& d) { d.shown = greyLogo; }},
  };
  for (const auto& [name, spoil] : steps) {
    SCOPED_TRACE(name);
    Placement d;
    ASSERT_TRUE(d.sync());
    d.panel->paint();
    spoil(d);
    EXPECT_FALSE(d.sync());
    EXPECT_FALSE(d.server.panel.visible);
    // Only the refused logo comes after the view was configured again.
    EXPECT_EQ(d.panel->configures, std::string_view(name) == "logo the decoder refuses" ? 2 : 1);
    EXPECT_EQ(d.calls(), (std::array{1, 1, 1, 1}));
    // What was prepared before survives: the old content stays rendered and painted.
    EXPECT_EQ(d.panel->state.renderedContent(), d.content);
    EXPECT_TRUE(d.panel->state.paintedContent());
    EXPECT_FALSE(d.sync());
    EXPECT_EQ(d.panel->outs, 1) << "hiding a hidden panel orders nothing";
  }
}

}  // namespace
}  // namespace nimbrella
