#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace nimbrella {
namespace {

using fakes::FakePanel;
using fakes::FakeStatusItem;
using fakes::FakeWindowServer;

const std::string allTrue =
    "Content painted: true. Item: true. Button: true. Window: true. Space: true. Bar: true. Safe area: true. "
    "Creative fit: true. Occlusion: true. Recent input: true. Nine hit tests: true.";

// A desktop on which a sponsored item with tagline and accent is shown, painted and
// verified: the starting point that each test then spoils in one way.
struct Scene {
  fixtures::FixedMeasurer measurer;
  FakeWindowServer server;
  std::shared_ptr<FakeStatusItem> item = std::make_shared<FakeStatusItem>();
  std::shared_ptr<FakePanel> panel = std::make_shared<FakePanel>(server);
  SurfaceMonitor monitor{server, measurer};
  MenuBarContent content{fakes::sponsoredCreative(), measurer};

  Scene() {
    monitor.statusItem = item;
    monitor.surface = panel;
    item->statusButton->title = content.text();
    monitor.expectedText = content.text();
    monitor.expectedContent = content;
    monitor.contentReady = true;
    monitor.synchronizeSurface(content.text(), true);
    EXPECT_TRUE(server.panel.visible);
    panel->paint();
  }
};

struct MonitorTest : ::testing::Test, Scene {};

TEST_F(MonitorTest, PassingSampleReportsEveryCheckAndTheFixedSuccessText) {
  EXPECT_EQ(monitor.lastDiagnostic(), "No sponsored item to measure.");
  EXPECT_EQ(monitor.debugSummary(), "No sample yet.");
  const EligibilitySnapshot snapshot = monitor.snapshot();
  EXPECT_EQ(snapshot, EligibilitySnapshot());
  EXPECT_EQ(monitor.debugSummary(), allTrue);
  EXPECT_EQ(monitor.lastDiagnostic(),
            "Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.");
  ASSERT_EQ(server.askedPoints.size(), 1u);
  const std::array<Point, 9> expected{Point{903, 779},  Point{903, 788},  Point{903, 797},
                                      Point{1040, 779}, Point{1040, 788}, Point{1040, 797},
                                      Point{1177, 779}, Point{1177, 788}, Point{1177, 797}};
  EXPECT_EQ(server.askedPoints[0], expected);
}

TEST_F(MonitorTest, MissingObjectsGiveTheEarlyResultAndKeepTheSummary) {
  const std::vector<std::function<void(Scene&)>> breakers{
      [](Scene& t) { t.monitor.statusItem.reset(); }, [](Scene& t) { t.item->statusButton.reset(); },
      [](Scene& t) { t.item->number = 0; },           [](Scene& t) { t.server.statusWindow.reset(); },
      [](Scene& t) { t.monitor.surface.reset(); },    [](Scene& t) { t.server.screenKnown = false; },
  };
  for (std::size_t i = 0; i < breakers.size(); ++i) {
    SCOPED_TRACE(i);
    Scene t;
    t.server.fullScreen = true;
    (void)t.monitor.snapshot();
    const std::string summary = t.monitor.debugSummary();
    breakers[i](t);
    EligibilitySnapshot expected;
    expected.contentReady = false;
    const EligibilitySnapshot snapshot = t.monitor.snapshot();
    EXPECT_EQ(snapshot, expected);
    EXPECT_EQ(snapshot.failure(), "The sponsored text is not ready.");
    EXPECT_EQ(t.monitor.lastDiagnostic(), "Status-item window is unavailable; no earnings.");
    EXPECT_EQ(t.monitor.debugSummary(), summary);
  }
}

TEST_F(MonitorTest, WeakReferencesDoNotKeepTheInterfaceAlive) {
  item.reset();
  panel.reset();
  EXPECT_TRUE(monitor.statusItem.expired());
  EXPECT_TRUE(monitor.surface.expired());
  EXPECT_FALSE(monitor.snapshot().contentReady);
  monitor.synchronizeSurface("text", true);  // nothing to do, nothing to crash
  monitor.hideSurface();
  monitor.redrawStatusButton();
}

struct SingleFailure {
  const char* name;
  std::function<void(Scene&)> spoil;
  bool EligibilitySnapshot::*field;
  const char* reason;
};

TEST_F(MonitorTest, EachCheckFailsAloneWithItsReason) {
  const std::vector<SingleFailure> cases{
      {"controller has not handed content", [](Scene& t) { t.monitor.contentReady = false; },
       &EligibilitySnapshot::contentReady, "The sponsored text is not ready."},
      {"painted view shows an older title", [](Scene& t) { t.panel->painted.title = "Ad \xC2\xB7 Older"; },
       &EligibilitySnapshot::contentReady, "The sponsored text is not ready."},
      {"expected text differs", [](Scene& t) { t.monitor.expectedText = "Ad \xC2\xB7 Other"; },
       &EligibilitySnapshot::contentReady, "The sponsored text is not ready."},
      {"new content not painted yet",
       [](Scene& t) {
         auto creative = fakes::sponsoredCreative();
         creative.accentColor = "#000000";
         MenuBarContent changed{creative, t.measurer};
         t.panel->configure(changed);
         t.monitor.expectedContent = changed;
       },
       &EligibilitySnapshot::contentReady, "The sponsored text is not ready."},
      {"painted at another size", [](Scene& t) { t.panel->painted.boundsSize.height = 22; },
       &EligibilitySnapshot::contentReady, "The sponsored text is not ready."},
      {"status item hidden", [](Scene& t) { t.item->visible = false; }, &EligibilitySnapshot::statusItemVisible,
       "The menu-bar item is hidden."},
      {"painted view hidden", [](Scene& t) { t.panel->painted.hiddenOrHasHiddenAncestor = true; },
       &EligibilitySnapshot::buttonVisible, "The menu-bar item is hidden."},
      {"painted view clipped", [](Scene& t) { t.panel->painted.visibleRectContainsBounds = false; },
       &EligibilitySnapshot::buttonVisible, "The menu-bar item is hidden."},
      {"status button translucent", [](Scene& t) { t.item->statusButton->alpha = 0.99; },
       &EligibilitySnapshot::buttonVisible, "The menu-bar item is hidden."},
      {"panel alpha 0.99", [](Scene& t) { t.server.panel.alpha = 0.99; }, &EligibilitySnapshot::windowVisible,
       "The menu-bar item is hidden."},
      {"status window unmapped", [](Scene& t) { t.server.statusWindow->visible = false; },
       &EligibilitySnapshot::windowVisible, "The menu-bar item is hidden."},
      {"panel on another desktop", [](Scene& t) { t.server.onActiveDesktop = false; },
       &EligibilitySnapshot::onActiveSpace, "The menu bar is not visible on this desktop."},
      {"full-screen window", [](Scene& t) { t.server.fullScreen = true; }, &EligibilitySnapshot::menuBarVisible,
       "The menu bar is not visible on this desktop."},
      {"panel half a point off", [](Scene& t) { t.server.panel.frame.x += 0.5; }, &EligibilitySnapshot::geometryValid,
       "The full sponsored item is outside the safe menu-bar area."},
      {"panel one point high", [](Scene& t) { t.server.panel.frame.height -= 1; }, &EligibilitySnapshot::geometryValid,
       "The full sponsored item is outside the safe menu-bar area."},
      {"panel occluded", [](Scene& t) { t.server.occlusionVisible = false; }, &EligibilitySnapshot::occlusionVisible,
       "Menu-bar visibility could not be verified."},
      {"a menu covers one corner",
       [](Scene& t) {
         t.server.covering.push_back({99, {1150, 700, 200, 85}});
       },
       &EligibilitySnapshot::topmostSamplesPass, "Menu-bar visibility could not be verified."},
      {"display asleep", [](Scene& t) { t.monitor.displayAwake = false; }, &EligibilitySnapshot::displayAwake,
       "The display or session is inactive."},
      {"session inactive", [](Scene& t) { t.monitor.sessionActive = false; }, &EligibilitySnapshot::sessionActive,
       "The display or session is inactive."},
      {"idle 300.5 s", [](Scene& t) { t.server.idleSeconds = 300.5; }, &EligibilitySnapshot::recentInput,
       "The Mac has been inactive for more than five minutes."},
      {"idle not known", [](Scene& t) { t.server.idleSeconds = std::numeric_limits<double>::quiet_NaN(); },
       &EligibilitySnapshot::recentInput, "The Mac has been inactive for more than five minutes."},
      {"controls open", [](Scene& t) { t.monitor.controlsClosed = false; }, &EligibilitySnapshot::controlsClosed,
       "Controls are open; exposure is paused."},
  };
  for (const SingleFailure& c : cases) {
    SCOPED_TRACE(c.name);
    Scene t;
    c.spoil(t);
    EligibilitySnapshot expected;
    expected.*c.field = false;
    EXPECT_EQ(t.monitor.snapshot(), expected);
    EXPECT_EQ(t.monitor.lastDiagnostic(), std::string(c.reason) + " No earnings while this is unverified.");
  }
}

TEST_F(MonitorTest, IdleOfExactlyFiveMinutesStillCounts) {
  server.idleSeconds = 300.0;
  EXPECT_TRUE(monitor.snapshot().recentInput);
}

TEST_F(MonitorTest, CoupledFailuresAndTheSummaryOrder) {
  // A slot one point too narrow for a sponsored item: the view cannot paint it, so the
  // content is not ready and does not fit.
  server.statusWindow->frame.width = 279;
  item->statusButton->frameInWindow.width = 279;
  server.panel.frame.width = 279;
  panel->painted.boundsSize.width = 279;
  panel->paint();
  server.fullScreen = true;
  monitor.displayAwake = false;
  monitor.controlsClosed = false;
  const EligibilitySnapshot snapshot = monitor.snapshot();
  EXPECT_FALSE(snapshot.contentReady);
  EXPECT_FALSE(snapshot.textFits);
  EXPECT_FALSE(snapshot.menuBarVisible);
  EXPECT_TRUE(snapshot.geometryValid);
  // Display, session and controls are never part of the summary.
  EXPECT_EQ(monitor.debugSummary(),
            "Content painted: false. Item: true. Button: true. Window: true. Space: true. Bar: false. Safe area: "
            "true. Creative fit: false. Occlusion: true. Recent input: true. Nine hit tests: true.");
  EXPECT_EQ(monitor.lastDiagnostic(), "The sponsored text is not ready. No earnings while this is unverified.");
}

TEST_F(MonitorTest, HitTestsCountOnlyThePanelAndAskNothingForADegenerateFrame) {
  EXPECT_EQ(monitor.sampledPoints({900, 776, 280, 24}, fakes::panelWindowNumber).owned, 9);
  server.covering.push_back({99, {0, 0, 904, 900}});  // covers the left column only
  const auto counts = monitor.sampledPoints({900, 776, 280, 24}, fakes::panelWindowNumber);
  EXPECT_EQ(counts.owned, 6);
  EXPECT_EQ(counts.unknown, 0);
  server.covering.clear();
  server.panel.visible = false;  // nothing at all under the points
  server.statusWindow->visible = false;
  EXPECT_EQ(monitor.sampledPoints({900, 776, 280, 24}, fakes::panelWindowNumber).unknown, 9);

  const std::size_t asked = server.askedPoints.size();
  const auto none = monitor.sampledPoints({900, 776, 6, 24}, fakes::panelWindowNumber);
  EXPECT_EQ(none.owned, 0);
  EXPECT_EQ(none.unknown, 9);
  EXPECT_EQ(monitor.sampledPoints({900, 776, 280, 24}, 0).unknown, 9);
  EXPECT_EQ(monitor.sampledPoints({0, 0, std::numeric_limits<double>::infinity(), 24}, 42).owned, 0);
  EXPECT_EQ(server.askedPoints.size(), asked);
}

TEST_F(MonitorTest, HouseTextIsMeasuredFromTheExpectedText) {
  monitor.expectedContent.reset();
  monitor.expectedText = "Nimbrella";
  item->statusButton->title = "Nimbrella";
  item->statusButton->frameInWindow.width = 200;
  server.statusWindow->frame.width = 200;
  monitor.synchronizeSurface("Nimbrella", true);
  panel->paint();
  EXPECT_EQ(monitor.snapshot(), EligibilitySnapshot());
  EXPECT_EQ(server.panel.frame, (Rect{900, 776, 200, 24}));
}

TEST_F(MonitorTest, AnUnprovableSessionNeverReportsSuccess) {
  server.verifiable = false;
  const EligibilitySnapshot snapshot = monitor.snapshot();
  EXPECT_TRUE(snapshot.contentReady);
  EXPECT_FALSE(snapshot.occlusionVisible);
  EXPECT_FALSE(snapshot.topmostSamplesPass);
  EXPECT_FALSE(snapshot.geometryValid);
  EXPECT_FALSE(snapshot.recentInput);
  EXPECT_TRUE(snapshot.failure().has_value());
  EXPECT_EQ(monitor.lastDiagnostic(),
            "Menu-bar visibility could not be verified. No earnings while this is unverified.");
  EXPECT_EQ(server.sampleCalls, 1);  // only the synchronisation of SetUp asked

  UnverifiableWindowServer unverifiable;
  SurfaceMonitor other{unverifiable, measurer};
  other.statusItem = item;
  other.surface = panel;
  EXPECT_TRUE(other.snapshot().failure().has_value());
  EXPECT_EQ(other.lastDiagnostic(), monitor.lastDiagnostic());
}

TEST_F(MonitorTest, SynchronisationHonoursTheMonitorsOwnConditions) {
  // A condition of the monitor hides the panel without asking for the idle time.
  for (bool SurfaceMonitorPort::*flag :
       {&SurfaceMonitorPort::displayAwake, &SurfaceMonitorPort::sessionActive, &SurfaceMonitorPort::controlsClosed}) {
    Scene t;
    const int idleCalls = t.server.idleCalls;
    t.monitor.*flag = false;
    t.monitor.synchronizeSurface(t.content.text(), true);
    EXPECT_FALSE(t.server.panel.visible);
    EXPECT_EQ(t.server.idleCalls, idleCalls);
  }
  server.idleSeconds = 301;
  monitor.synchronizeSurface(content.text(), true);
  EXPECT_FALSE(server.panel.visible);
  server.idleSeconds = 0;
  monitor.synchronizeSurface(content.text(), true);
  EXPECT_TRUE(server.panel.visible);
  monitor.synchronizeSurface(content.text(), false);
  EXPECT_FALSE(server.panel.visible);

  monitor.synchronizeSurface(content.text(), true);
  monitor.hideSurface();
  EXPECT_FALSE(server.panel.visible);
  const int outs = panel->outs;
  monitor.hideSurface();
  EXPECT_EQ(panel->outs, outs);
  monitor.redrawStatusButton();
  EXPECT_EQ(item->redraws, 1);
}

}  // namespace
}  // namespace nimbrella
