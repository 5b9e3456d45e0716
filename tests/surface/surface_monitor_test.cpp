// The surface monitor and the decision that shows the panel over the status item, on a
// desktop simulated in memory, and the plan each paint of the panel follows. The reasons
// behind each check are core's (tests/core/exposure_clock_test).

#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "SponsorApp/surface/SurfaceMonitor.hpp"
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

// A desktop on which a sponsored item with tagline, accent and a 28 x 14 logo has been
// handed to the status item and the monitor wired to it, the panel shown and painted over
// it: the starting point that each case spoils in one way.
struct Scene {
  fixtures::FixedMeasurer measurer;
  fakes::FakeWindowServer server;
  std::shared_ptr<fakes::FakeStatusItem> item = std::make_shared<fakes::FakeStatusItem>();
  std::shared_ptr<fakes::FakePanel> panel = std::make_shared<fakes::FakePanel>(server);
  MenuBarContent content{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14})), measurer};
  SurfaceMonitor monitor{server, measurer};
  bool allowed = true;

  Scene() {
    item->statusButton->title = content.text();
    monitor.statusItem = item;
    monitor.surface = panel;
    monitor.setExpectation(content.text(), content);
    monitor.setContentReady(true);
    sync();
    panel->paint();
  }
  void sync() { monitor.synchronizeSurface(monitor.expectedText(), allowed); }
  // How often the panel was titled, moved, ordered front and ordered out.
  std::array<int, 4> calls() const { return {panel->titles, panel->frames, panel->fronts, panel->outs}; }
};

struct MonitorTest : ::testing::Test, Scene {};

TEST_F(MonitorTest, ThePanelLiesExactlyOverTheStatusItemAndNineHitTestsInsideItPass) {
  EXPECT_EQ(panel->accessibility, "Ad. Ad \xC2\xB7 Sample. Fast notes for busy people. Nimbrella");
  EXPECT_EQ(panel->tip, "Ad \xC2\xB7 Sample \xC2\xB7 Fast notes for busy people \xC2\xB7 Nimbrella");
  for (int i = 0; i < 3; ++i) sync();
  EXPECT_EQ(calls(), (std::array{1, 1, 1, 0})) << "an unchanged panel is left alone";
  // In place and painted (the same content again keeps the paint).
  EXPECT_EQ(monitor.snapshot(), S());
  EXPECT_EQ(monitor.lastDiagnostic(), SurfaceMonitor::verifiedText);
  ASSERT_EQ(server.askedPoints.size(), 1u);
  // Three points in from every edge, row by row in x: the first, the centre, the last.
  const auto& p = server.askedPoints[0];
  EXPECT_EQ((std::array{p[0], p[4], p[8]}), (std::array{Point{903, 779}, Point{1040, 788}, Point{1177, 797}}));
  const Rect slot{900, 776, 280, 24};
  server.covering.push_back({99, {0, 0, 904, 900}});  // covers the left column only
  EXPECT_EQ(monitor.sampledPoints(slot, fakes::panelWindowNumber).owned, 6);
  // A frame too small or too large for nine points, or no window, asks nothing.
  const std::size_t asked = server.askedPoints.size();
  monitor.sampledPoints({900, 776, 6, 24}, fakes::panelWindowNumber);
  monitor.sampledPoints({0, 0, std::numeric_limits<double>::infinity(), 24}, fakes::panelWindowNumber);
  monitor.sampledPoints(slot, 0);
  EXPECT_EQ(server.askedPoints.size(), asked);
}

TEST_F(MonitorTest, HouseTextFollowsTheItemOnWholePointsAndAnUnprovableDesktopProvesNothing) {
  // 600.4 .. 880.4 snaps inwards to 601 .. 880 (279 wide, too narrow for sponsored
  // content), where the snapshot finds the panel.
  server.statusWindow->frame = {600.4, 776, 280, 24};
  item->statusButton->title = "Nimbrella";
  monitor.setExpectation("Nimbrella", std::nullopt);
  sync();
  panel->paint();
  EXPECT_EQ(panel->accessibility, "Ad. Nimbrella. Nimbrella");
  EXPECT_EQ(panel->tip, "Nimbrella \xC2\xB7 Nimbrella");
  EXPECT_EQ(monitor.snapshot(), S());

  // Without proof of the desktop only what the application knows of itself holds.
  server.verifiable = false;
  EXPECT_EQ(monitor.snapshot(), (S{.statusItemVisible = false, .buttonVisible = false, .windowVisible = false,
                                   .onActiveSpace = false, .menuBarVisible = false, .geometryValid = false,
                                   .textFits = false, .occlusionVisible = false, .topmostSamplesPass = false,
                                   .recentInput = false}));
  EXPECT_EQ(monitor.lastDiagnostic(), "Menu-bar visibility could not be verified. No earnings while this is unverified.");
}

// Each way the item can be unseen fails its check (and those it implies); where the
// placement can see it too, the panel is hidden once, keeping what was prepared for it.
TEST(SurfaceMonitor, EachSpoiledConditionFailsItsCheckAndHidesThePanelWhereThePlacementSeesIt) {
  auto slot = [](double width, bool panelToo) {
    return [=](Scene& t) {
      t.server.statusWindow->frame.width = t.item->statusButton->frameInWindow.width = width;
      if (!panelToo) return;
      t.server.panel.frame.width = t.panel->painted.boundsSize.width = width;
      t.panel->paint();
    };
  };
  struct Row {
    const char* name;
    std::function<void(Scene&)> spoil;
    S expected;  // the named checks fail
    bool hides;
    bool early = false;  // the result of missing objects
  };
  const S unready{.contentReady = false}, unseen{.buttonVisible = false}, unshown{.windowVisible = false};
  const S misplaced{.geometryValid = false};
  const std::vector<Row> rows{
      // The interface objects are held weakly: their owners dropping them is enough.
      {"no status item", [](Scene& t) { t.item.reset(); }, unready, true, true},
      {"no button", [](Scene& t) { t.item->statusButton.reset(); }, unready, true, true},
      {"no status window", [](Scene& t) { t.item->number = 0; }, unready, true, true},
      {"status window gone", [](Scene& t) { t.server.statusWindow.reset(); }, unready, true, true},
      {"status window on no screen", [](Scene& t) { t.server.desktop.screen.reset(); }, unready, true, true},
      {"no panel", [](Scene& t) { t.panel.reset(); }, unready, true, true},
      {"content not handed", [](Scene& t) { t.monitor.setContentReady(false); }, unready, false},
      {"older title painted", [](Scene& t) { t.panel->painted.title = "Ad \xC2\xB7 Old"; }, unready, false},
      {"new content not painted yet", [](Scene& t) {
         const MenuBarContent changed{fakes::sponsoredCreative(std::nullopt, "#000000"), t.measurer};
         t.panel->configure(changed);
         t.monitor.setExpectation(t.content.text(), changed);
       }, unready, false},
      {"painted at another size", [](Scene& t) { t.panel->painted.boundsSize.height = 22; }, unready, false},
      {"empty text",
       [](Scene& t) {
         t.item->statusButton->title = "";
         t.monitor.setExpectation("", std::nullopt);
       },
       unready, true},
      {"logo the decoder refuses", [](Scene& t) {
         const auto grey = fakes::pngDataUrl({.width = 8, .height = 8, .color = fixtures::PngColor::gray});
         t.monitor.setExpectation(t.content.text(), MenuBarContent{fakes::sponsoredCreative(grey), t.measurer});
       }, unready, true},
      {"panel and slot one point too narrow to paint in", slot(279, true), {.contentReady = false, .textFits = false},
       true},
      {"status item hidden", [](Scene& t) { t.item->visible = false; }, {.statusItemVisible = false}, true},
      {"status button hidden", [](Scene& t) { t.item->statusButton->hiddenOrHasHiddenAncestor = true; }, unseen, true},
      {"view hidden", [](Scene& t) { t.panel->painted.hiddenOrHasHiddenAncestor = true; }, unseen, false},
      {"view clipped", [](Scene& t) { t.panel->painted.visibleRectContainsBounds = false; }, unseen, false},
      {"button alpha 0.99", [](Scene& t) { t.item->statusButton->alpha = 0.99; }, unseen, false},
      {"panel alpha 0.99", [](Scene& t) { t.server.panel.alpha = 0.99; }, unshown, false},
      {"status window unmapped", [](Scene& t) { t.server.statusWindow->visible = false; }, unshown, true},
      {"other space", [](Scene& t) { t.server.desktop.panelOnActiveDesktop = false; }, {.onActiveSpace = false}, false},
      {"full screen", [](Scene& t) { t.server.desktop.fullScreenActive = true; }, {.menuBarVisible = false}, true},
      {"no reserved band", [](Scene& t) { t.server.desktop.screen->visibleFrame = t.server.desktop.screen->frame; },
       {.menuBarVisible = false, .geometryValid = false}, true},
      {"panel half a point off", [](Scene& t) { t.server.panel.frame.x += 0.5; }, misplaced, false},
      {"status item dragged below the band", [](Scene& t) { t.server.statusWindow->frame.y = 700; }, misplaced, true},
      {"slot narrower than 24", slot(20, false), misplaced, true},
      {"sponsored item in a 279 slot", slot(279, false), misplaced, true},
      {"covered", [](Scene& t) { t.server.desktop.panelOcclusionVisible = false; }, {.occlusionVisible = false}, false},
      {"menu over a corner", [](Scene& t) { t.server.covering.push_back({99, {1150, 700, 200, 85}}); },
       {.topmostSamplesPass = false}, false},
      {"display asleep", [](Scene& t) { t.monitor.setDisplayAwake(false); }, {.displayAwake = false}, true},
      {"session inactive", [](Scene& t) { t.monitor.setSessionActive(false); }, {.sessionActive = false}, true},
      {"idle 300.5 s", [](Scene& t) { t.server.idleSeconds = 300.5; }, {.recentInput = false}, true},
      {"controls open", [](Scene& t) { t.monitor.setControlsClosed(false); }, {.controlsClosed = false}, true},
      {"not allowed by the controller", [](Scene& t) { t.allowed = false; }, {}, true},
      {"status button shows the previous sponsor", [](Scene& t) { t.item->statusButton->title = "Ad \xC2\xB7 Old"; },
       {}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Scene t;
    r.spoil(t);
    EXPECT_EQ(t.monitor.snapshot(), r.expected);
    if (r.early) {
      EXPECT_EQ(t.monitor.lastDiagnostic(), "Status-item window is unavailable; no earnings.");
    } else if (r.expected.failure()) {
      EXPECT_EQ(t.monitor.lastDiagnostic(), *r.expected.failure() + " No earnings while this is unverified.");
    }
    if (!t.panel || !r.hides) continue;
    const auto painted = t.panel->state.paintedContent();
    for (int i = 0; i < 2; ++i) t.sync();
    EXPECT_EQ(t.calls(), (std::array{1, 1, 1, 1})) << "hidden once, and a hidden panel is not ordered again";
    // What was prepared before survives: the old content stays rendered and painted.
    EXPECT_EQ(t.panel->state.renderedContent(), t.content);
    EXPECT_EQ(t.panel->state.paintedContent(), painted);
  }
}

using Configuration = MenuBarButtonState::Configuration;

MenuBarContent withLogo(const fixtures::PngOptions& png) {
  static const fixtures::FixedMeasurer measurer;
  return MenuBarContent{fakes::sponsoredCreative(fakes::pngDataUrl(png)), measurer};
}

TEST(MenuBarButtonState, ALogoIsDecodedOnceThePlanCentresOneOrTwoLinesBesideLogoOrGridAndOnlyA32BitAccentHasColour) {
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
  EXPECT_FALSE(plan.accentStripe || plan.logoRect || plan.taglineOrigin);
  EXPECT_EQ(plan.titleFont, (FontSpec{FontWeight::semibold, 11.5}));
  EXPECT_FALSE(MenuBarButtonState().plan({280, 24}).paintsContent) << "nothing configured, nothing painted";

  // An accent text that is not a 32-bit number has no colour.
  EXPECT_EQ(accentColor("#FF8000"), (RgbColor{1.0, 128 / 255.0, 0}));
  EXPECT_EQ(accentColor("#ffffffff"), (RgbColor{1.0, 1.0, 1.0}));
  for (const char* text : {"", "#", "#12G456", "#100000000", "# 12345"}) EXPECT_FALSE(accentColor(text)) << text;
}

}  // namespace
}  // namespace nimbrella
