#pragma once

// The borderless panel laid exactly over the status item, and its only view, which
// paints the validated sponsored content: background, accent stripe, logo or a small
// grid, the sponsor line with its tagline, and an "Ad" badge. The panel never takes
// focus, is opaque, casts no shadow and stays above the status item; the window
// manager does not manage it, so it shows on every desktop.

#include "SponsorApp/surface/MenuBarButtonState.hpp"
#include "SponsorApp/surface/WindowServer.hpp"
#include "SponsorCore/MenuBarContent.hpp"

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbrella {

// The painting view. Its proof of painting is set only by a paint that ran to its end.
class MenuBarButton final : public QWidget {
  Q_OBJECT

 public:
  explicit MenuBarButton(QWidget* parent = nullptr);

  // False only when the content's logo cannot be decoded; then nothing changes.
  bool configure(const MenuBarContent& content);

  const MenuBarButtonState& state() const { return state_; }
  const QImage& logo() const { return logo_; }
  const std::string& title() const { return title_; }
  void setTitle(const std::string& title) { title_ = title; }

  // What the last paint put on screen, in device pixels, marker included.
  const QImage& frame() const { return frame_; }
  // The marker: a small square in the bottom-right corner whose colour changes at every
  // check, so that a frame that stopped updating cannot pass.
  static constexpr int markerSide = 2;
  QRect markerRect() const;
  void advanceMarker();

  // Runs when the view is clicked.
  std::function<void()> onClick;
  // Runs when the view is pressed with Alt held, with the global pointer position.
  std::function<void(const QPoint&)> onAltPress;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void paintContent(QImage& target, const MenuBarPaintPlan& plan, const QColor& background, const QColor& label);
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // What the frame's content was rendered at and with; none once the content changed.
  struct Rendering {
    QSize pixels;
    qreal ratio = 0;
    QRgb background = 0;
    QRgb label = 0;
    bool operator==(const Rendering&) const = default;
  };

  MenuBarButtonState state_;
  QImage logo_;
  std::string title_;
  std::optional<Rendering> renderedWith_;
  QImage frame_;
  bool markerPhase_ = false;
};

class MenuBarSurface final : public SurfacePanel {
 public:
  // Builds the panel (hidden) and its view. `server` must outlive the surface.
  explicit MenuBarSurface(WindowServer& server);
  ~MenuBarSurface() override;

  // Shows `content` over `item` when every placement condition holds (true) or hides
  // the panel (false).
  bool synchronize(StatusItemPort* item, const MenuBarContent& content, bool allowed);

  // Runs when the panel is clicked; set by the application.
  std::function<void()> onClick;
  // Runs when the panel is pressed with Alt held (the start of a move of the status
  // item below it), with the global pointer position.
  std::function<void(const QPoint&)> onAltPress;

  QWidget* window() const { return window_.get(); }
  MenuBarButton* buttonView() const { return button_; }

  // SurfacePanel
  WindowNumber windowNumber() const override;
  bool isVisible() const override;
  ViewState view() const override;
  const MenuBarButtonState& button() const override { return button_->state(); }
  bool configure(const MenuBarContent& content) override { return button_->configure(content); }
  void setTitle(const std::string& title, const std::string& accessibilityLabel, const std::string& toolTip) override;
  void setFrame(const Rect& frame) override;
  void orderFront() override;
  void orderOut() override;
  std::optional<bool> pixelsOnScreen() override;

  // A pixel matches when no colour channel differs by more than this (a compositor's
  // colour rounding and dithering); the screen matches when at most matchTolerance of
  // the pixels differ (antialiased edges blended by a compositor's shadow) and every
  // marker pixel matches.
  static constexpr int channelTolerance = 24;
  static constexpr double mismatchAllowance = 0.03;

 private:
  WindowServer& server_;
  std::vector<std::uint32_t> screenPixels_;  // reused by every check
  std::unique_ptr<QWidget> window_;
  MenuBarButton* button_ = nullptr;  // owned by window_
};

}  // namespace nimbrella
