#pragma once

// A desktop simulated in memory: a window server with one screen and a reserved top
// band, the status item and the panel. The panel's moves and ordering change the
// server's view of it, and the topmost window at a point follows the stacking of the
// panel and any covering windows, as a real window server would.

#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "SponsorApp/surface/WindowServer.hpp"
#include "core/FixedMeasurer.hpp"
#include "core/PngFixtures.hpp"

#include <string>
#include <utility>
#include <vector>

namespace nimbrella::fakes {

inline constexpr WindowNumber panelWindowNumber = 42;

struct FakeWindowServer : WindowServer {
  bool verifiable = true;
  // What every sample shows: one screen with a 24-point top band and the status window in it.
  DesktopSample desktop{.statusWindow = WindowState{true, 1.0, {900, 776, 280, 24}},
                        .panel = WindowState{false, 1.0, {0, 0, 0, 0}},
                        .screen = ScreenGeometry{{0, 0, 1280, 800}, {0, 0, 1280, 776}, 0, std::nullopt, std::nullopt},
                        .panelOcclusionVisible = true, .panelOnActiveDesktop = true, .fullScreenActive = false};
  std::optional<WindowState>& statusWindow = desktop.statusWindow;
  WindowState& panel = *desktop.panel;
  double idleSeconds = 2;
  std::vector<std::pair<WindowNumber, Rect>> covering;  // stacked above the panel, topmost last
  std::vector<std::array<Point, 9>> askedPoints;

  bool canVerify() const override { return verifiable; }
  DesktopSample sample(WindowNumber, WindowNumber) override { return desktop; }
  std::array<WindowNumber, 9> topmostWindows(const std::array<Point, 9>& points, WindowNumber) override {
    askedPoints.push_back(points);
    std::array<WindowNumber, 9> owners{};
    for (std::size_t i = 0; i < points.size(); ++i) owners[i] = topmostAt(points[i]);
    return owners;
  }
  double secondsSinceLastInput() override { return idleSeconds; }

  static bool inside(const Rect& r, Point p) {
    return p.x >= r.minX() && p.x < r.maxX() && p.y >= r.minY() && p.y < r.maxY();
  }
  WindowNumber topmostAt(Point p) const {
    for (auto it = covering.rbegin(); it != covering.rend(); ++it) {
      if (inside(it->second, p)) return it->first;
    }
    return panel.visible && inside(panel.frame, p) ? panelWindowNumber : 0;
  }
};

struct FakeStatusItem : StatusItemPort {
  bool visible = true;
  std::optional<ViewState> statusButton = ViewState{"", {0, 0, 280, 24}, {280, 24}, 1.0, false, true};
  WindowNumber number = 7;  // the status window

  bool isVisible() const override { return visible; }
  std::optional<ViewState> button() const override { return statusButton; }
  WindowNumber windowNumber() const override { return number; }
  void redraw() override {}
};

struct FakePanel : SurfacePanel {
  explicit FakePanel(FakeWindowServer& s) : server(s) {}

  FakeWindowServer& server;
  ViewState painted{"", {0, 0, 0, 0}, {0, 0}, 1.0, false, true};
  MenuBarButtonState state;
  int titles = 0, frames = 0, fronts = 0, outs = 0;
  std::string shownTitle, accessibility, tip;

  WindowNumber windowNumber() const override { return panelWindowNumber; }
  bool isVisible() const override { return server.panel.visible; }
  ViewState view() const override { return painted; }
  const MenuBarButtonState& button() const override { return state; }
  bool configure(const MenuBarContent& content) override {
    return state.configure(content, &decodeLogo) != MenuBarButtonState::Configuration::refused;
  }
  void setTitle(const std::string& title, const std::string& label, const std::string& toolTip) override {
    ++titles;
    shownTitle = title;
    painted.title = shownTitle;
    accessibility = label;
    tip = toolTip;
  }
  void setFrame(const Rect& frame) override {
    ++frames;
    server.panel.frame = frame;
    painted.boundsSize = frame.size();
    painted.frameInWindow = {0, 0, frame.width, frame.height};
  }
  void orderFront() override { ++fronts; server.panel.visible = true; }
  void orderOut() override { ++outs; server.panel.visible = false; }

  // A paint that runs to its end at the view's current size.
  void paint() {
    state.beginPaint();
    (void)state.plan(painted.boundsSize);
    state.finishPaint(painted.boundsSize);
  }

  // Reads the size from the PNG header; refuses bytes whose colour type is 0 (grey), so
  // that tests can present a valid PNG the "platform" decoder will not open.
  static std::optional<Size> decodeLogo(const std::vector<std::uint8_t>& png) {
    if (png.size() < 26 || png[25] == 0) return std::nullopt;
    auto be32 = [&](std::size_t at) { return double(png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]); };
    return Size{be32(16), be32(20)};
  }
};

inline std::string pngDataUrl(const fixtures::PngOptions& options) {
  return fixtures::pngDataUrl(fixtures::makePng(options));
}

// A sponsored creative with tagline, accent and an optional logo.
inline SponsorCreative sponsoredCreative(std::optional<std::string> logo = std::nullopt,
                                         std::optional<std::string> accent = "#1a2B3c") {
  return {.advertiserId = {}, .category = {}, .sponsor = "Sample", .headline = "Sample headline", .body = "Body",
          .cta = "Open", .url = "https://sample.example/", .menuText = {}, .menuTagline = "Fast notes for busy people",
          .accentColor = std::move(accent), .logoData = std::move(logo)};
}

}  // namespace nimbrella::fakes
