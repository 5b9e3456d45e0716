#include "SponsorApp/ui/MenuBarSurface.hpp"

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/surface/SurfaceSynchronizer.hpp"
#include "SponsorApp/ui/PngImage.hpp"
#include "SponsorApp/ui/QtGeometry.hpp"

#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <cmath>

namespace nimbrella {

namespace {

// The panel's window: it keeps its single view covering all of it.
class PanelWindow final : public QWidget {
 public:
  PanelWindow()
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowDoesNotAcceptFocus | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_TranslucentBackground, false);
    setAttribute(Qt::WA_NoSystemBackground, false);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Nimbrella sponsored item"));
  }
  QWidget* content = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    if (content != nullptr) content->setGeometry(rect());
  }
};

QRectF toQRectF(const Rect& r) { return QRectF(r.x, r.y, r.width, r.height); }

}  // namespace

MenuBarButton::MenuBarButton(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
  setFont(QtTextMeasurer::font(MenuBarContent::singleLineTitleFont));
}

bool MenuBarButton::configure(const MenuBarContent& content) {
  QImage decoded;
  const auto result =
      state_.configure(content, [&decoded](const std::vector<std::uint8_t>& png) -> std::optional<Size> {
        QImage image = imageOfPng(png);
        if (image.isNull()) return std::nullopt;
        decoded = std::move(image);
        return Size{double(decoded.width()), double(decoded.height())};
      });
  if (result == MenuBarButtonState::Configuration::refused) return false;
  if (result == MenuBarButtonState::Configuration::changed) {
    logo_ = std::move(decoded);
    renderedWith_.reset();
    update();
  }
  return true;
}

QRect MenuBarButton::markerRect() const {
  return QRect(frame_.width() - markerSide, frame_.height() - markerSide, markerSide, markerSide);
}

void MenuBarButton::advanceMarker() {
  markerPhase_ = !markerPhase_;
  update();
}

void MenuBarButton::paintEvent(QPaintEvent*) {
  state_.beginPaint();
  const Size bounds{double(width()), double(height())};
  const MenuBarPaintPlan plan = state_.plan(bounds);
  const QColor background = palette().color(QPalette::Window);
  const QColor label = palette().color(QPalette::WindowText);

  // Everything is painted into the frame first; the frame is what goes on screen and
  // what the pixels on screen are compared with. The content is rendered into it again
  // only when it changed, or what it is drawn at or with: most paints, four times a
  // second, only set the marker, which covers its corner whatever lies under it.
  const qreal ratio = devicePixelRatioF();
  const Rendering wanted{size() * ratio, ratio, background.rgba(), label.rgba()};
  if (renderedWith_ != wanted) {
    frame_ = QImage(wanted.pixels, QImage::Format_RGB32);
    frame_.setDevicePixelRatio(ratio);
    frame_.fill(background);
    paintContent(frame_, plan, background, label);
    renderedWith_ = wanted;
  }
  if (frame_.width() >= markerSide && frame_.height() >= markerSide) {
    const QColor marker = markerPhase_ ? QColor(background.rgb() ^ 0x404040u) : background;
    for (int y = 0; y < markerSide; ++y) {
      for (int x = 0; x < markerSide; ++x) frame_.setPixelColor(frame_.width() - 1 - x, frame_.height() - 1 - y, marker);
    }
  }
  QPainter(this).drawImage(QPointF(0, 0), frame_);
  if (plan.paintsContent) state_.finishPaint(bounds);
}

void MenuBarButton::paintContent(QImage& target, const MenuBarPaintPlan& plan, const QColor& background,
                                 const QColor& label) {
  const Size bounds{double(width()), double(height())};
  QPainter painter(&target);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.fillRect(toQRectF(plan.background), background);
  if (!plan.paintsContent) return;
  const MenuBarContent& content = *state_.renderedContent();

  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setPen(Qt::NoPen);
  auto fillRounded = [&painter](const Rect& r, double radius, const QColor& color) {
    QPainterPath path;
    path.addRoundedRect(toQRectF(r), radius, radius);
    painter.fillPath(path, color);
  };
  fillRounded(plan.roundedFill, MenuBarPaintPlan::roundedFillRadius, background);
  if (plan.accentStripe) {
    fillRounded(*plan.accentStripe, MenuBarPaintPlan::accentRadius,
                QColor::fromRgbF(float(plan.accent.red), float(plan.accent.green), float(plan.accent.blue), 1.0f));
  }

  auto drawLine = [&](Point origin, const FontSpec& font, std::string_view text) {
    const QFont qfont = QtTextMeasurer::font(font);
    painter.setFont(qfont);
    painter.setPen(label);
    const QRectF box(origin.x, origin.y, std::max(0.0, bounds.width - origin.x), bounds.height);
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, QtTextMeasurer::toQString(text));
  };
  drawLine(plan.badgeOrigin, MenuBarPaintPlan::badgeFont, MenuBarPaintPlan::badgeText);

  if (plan.logoRect) {
    painter.drawImage(toQRectF(*plan.logoRect), logo_);
  } else {
    for (const Rect& square : plan.gridSquares) fillRounded(square, MenuBarPaintPlan::gridRadius, label);
  }

  drawLine(plan.titleOrigin, plan.titleFont, content.text());
  if (plan.taglineOrigin) drawLine(*plan.taglineOrigin, plan.taglineFont, content.tagline());
  painter.end();
}

void MenuBarButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::AltModifier) && onAltPress) {
    onAltPress(event->globalPosition().toPoint());
    event->accept();
    return;
  }
  QWidget::mousePressEvent(event);
}

void MenuBarButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick) onClick();
  QWidget::mouseReleaseEvent(event);
}

MenuBarSurface::MenuBarSurface(WindowServer& server) : server_(server) {
  auto window = std::make_unique<PanelWindow>();
  button_ = new MenuBarButton(window.get());
  window->content = button_;
  button_->onClick = [this] {
    if (onClick) onClick();
  };
  button_->onAltPress = [this](const QPoint& position) {
    if (onAltPress) onAltPress(position);
  };
  window->resize(0, 0);
  window_ = std::move(window);
  // The native window exists from the start, so that the window server can follow it
  // before it is first shown.
  (void)window_->winId();
}

MenuBarSurface::~MenuBarSurface() = default;

bool MenuBarSurface::synchronize(StatusItemPort* item, const MenuBarContent& content, bool allowed) {
  return MenuBarSurfaceLogic::synchronize(*this, item, server_, content, allowed);
}

WindowNumber MenuBarSurface::windowNumber() const { return static_cast<WindowNumber>(window_->winId()); }

bool MenuBarSurface::isVisible() const { return window_->isVisible(); }

ViewState MenuBarSurface::view() const { return viewStateOf(*button_, button_->title()); }

void MenuBarSurface::setTitle(const std::string& title, const std::string& accessibilityLabel,
                              const std::string& toolTip) {
  button_->setTitle(QString::fromStdString(title).toStdString());  // as shown: invalid UTF-8 would not match
  button_->setAccessibleName(QString::fromStdString(accessibilityLabel));
  button_->setToolTip(QString::fromStdString(toolTip));
}

void MenuBarSurface::setFrame(const Rect& frame) {
  window_->setGeometry(ScreenSpace::toQt(frame));
  button_->update();
}

void MenuBarSurface::orderFront() {
  window_->show();
  window_->raise();
}

void MenuBarSurface::orderOut() { window_->hide(); }

std::optional<bool> MenuBarSurface::pixelsOnScreen() {
  const QImage& painted = button_->frame();
  if (painted.isNull() || !window_->isVisible()) return false;
  const QPoint origin = button_->mapToGlobal(QPoint(0, 0)) * painted.devicePixelRatio();
  if (!server_.readPixels(origin.x(), origin.y(), painted.width(), painted.height(), screenPixels_)) {
    return server_.canVerify() ? std::optional<bool>(false) : std::nullopt;
  }
  const auto close = [](QRgb a, std::uint32_t b) {
    return std::abs(qRed(a) - int((b >> 16) & 0xFF)) <= channelTolerance &&
           std::abs(qGreen(a) - int((b >> 8) & 0xFF)) <= channelTolerance &&
           std::abs(qBlue(a) - int(b & 0xFF)) <= channelTolerance;
  };
  const QRect marker = button_->markerRect();
  std::size_t mismatches = 0;
  bool markerShown = true;
  for (int y = 0; y < painted.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(painted.constScanLine(y));
    for (int x = 0; x < painted.width(); ++x) {
      if (close(row[x], screenPixels_[static_cast<std::size_t>(y) * painted.width() + x])) continue;
      ++mismatches;
      if (marker.contains(x, y)) markerShown = false;
    }
  }
  button_->advanceMarker();
  const auto total = static_cast<double>(painted.width()) * painted.height();
  return markerShown && static_cast<double>(mismatches) <= mismatchAllowance * total;
}

}  // namespace nimbrella
