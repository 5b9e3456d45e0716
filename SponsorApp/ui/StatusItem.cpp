#include "SponsorApp/ui/StatusItem.hpp"

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/ui/QtGeometry.hpp"
#include "SponsorCore/MenuBarContent.hpp"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace nimbrella {

namespace {

constexpr const char* rightOffsetKey = "NimbrellaMenuBar/rightOffset";

// The window manager does not manage the item's window: it would keep its own
// bindings (such as its Alt-drag, which it refuses for bar items) and could move the
// item out of the band. Unmanaged, the window shows on every desktop and only the
// application moves it.
class StatusWindow final : public QWidget {
 public:
  StatusWindow()
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                             Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Nimbrella"));
  }
  QWidget* content = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    if (content != nullptr) content->setGeometry(rect());
  }
};

QScreen* screenFor(const QWidget& window) {
  if (QScreen* screen = QGuiApplication::screenAt(window.geometry().center())) return screen;
  return QGuiApplication::primaryScreen();
}

}  // namespace

StatusButton::StatusButton(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
  setFont(QtTextMeasurer::font(MenuBarContent::singleLineTitleFont));
}

void StatusButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor background = palette().color(QPalette::Window);
  const QColor label = palette().color(QPalette::WindowText);
  painter.fillRect(rect(), background);
  painter.setRenderHint(QPainter::Antialiasing);
  if (imageOnly) {
    if (!image.isNull()) {
      const int side = std::min({18, width(), height()});
      image.paint(&painter, QRect((width() - side) / 2, (height() - side) / 2, side, side), Qt::AlignCenter);
    }
    return;
  }
  // The two-by-two grid glyph, 14 points, then the title.
  const double top = (height() - 14) * 0.5;
  for (const QPointF origin : {QPointF(7, top), QPointF(7, top + 7), QPointF(14, top), QPointF(14, top + 7)}) {
    QPainterPath square;
    square.addRoundedRect(QRectF(origin, QSizeF(5, 5)), 1.5, 1.5);
    painter.fillPath(square, label);
  }
  painter.setPen(label);
  painter.setFont(font());
  painter.drawText(QRectF(27, 0, std::max(0, width() - 27), height()),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title);
}

void StatusButton::beginDrag(const QPoint& globalPosition) {
  dragOffset_ = globalPosition - window()->pos();
  // The press may have started on another window (the panel over the item): the
  // rest of the drag comes here.
  grabMouse();
}

void StatusButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::AltModifier)) {
    beginDrag(event->globalPosition().toPoint());
    event->accept();
    return;
  }
  QWidget::mousePressEvent(event);
}

void StatusButton::mouseMoveEvent(QMouseEvent* event) {
  if (dragOffset_ && onDrag) {
    onDrag(event->globalPosition().toPoint() - *dragOffset_);
    event->accept();
    return;
  }
  QWidget::mouseMoveEvent(event);
}

void StatusButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
  if (dragOffset_) {
    dragOffset_.reset();
    releaseMouse();
    if (onDrag) onDrag(std::nullopt);
  } else if (rect().contains(event->position().toPoint()) && onClick) {
    onClick();
  }
  event->accept();
}

std::shared_ptr<StatusItem> StatusItem::makeStatusItem(bool restoringPosition, QSettings* settings,
                                                       const std::function<void(WindowNumber)>& prepareNativeWindow) {
  std::shared_ptr<StatusItem> item(new StatusItem(restoringPosition, settings));
  if (prepareNativeWindow) prepareNativeWindow(item->windowNumber());
  item->window_->show();
  return item;
}

StatusItem::StatusItem(bool restoringPosition, QSettings* settings) : restoring_(restoringPosition) {
  if (restoring_) {
    if (settings == nullptr) {
      ownSettings_ = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                 QStringLiteral(NIMBRELLA_BUNDLE_IDENTIFIER));
      settings = ownSettings_.get();
    }
    settings_ = settings;
    bool ok = false;
    const int saved = settings_->value(rightOffsetKey).toInt(&ok);
    if (ok && saved >= 0) rightOffset_ = saved;
  }
  auto window = std::make_unique<StatusWindow>();
  button_ = new StatusButton(window.get());
  window->content = button_;
  window_ = std::move(window);
  button_->onClick = [this] {
    if (onClick) onClick();
  };
  button_->onDrag = [this](std::optional<QPoint> topLeft) {
    if (topLeft) {
      window_->move(*topLeft);
    } else {
      moveTo(window_->pos());
    }
  };
  const double square = bandHeight();
  window_->resize(static_cast<int>(square), static_cast<int>(square));
  placeInBand();
  (void)window_->winId();
}

StatusItem::~StatusItem() = default;

double StatusItem::bandHeight() const {
  const QScreen* screen = screenFor(*window_);
  if (screen == nullptr) return 24;
  const int band = screen->availableGeometry().top() - screen->geometry().top();
  return band >= 12 && band <= 80 ? band : 24;
}

void StatusItem::placeInBand() {
  const QScreen* screen = screenFor(*window_);
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const int height = static_cast<int>(bandHeight());
  const int width = window_->width();
  const int x = std::max(area.left(), area.right() + 1 - rightOffset_ - width);
  window_->setGeometry(x, area.top(), width, height);
}

void StatusItem::moveTo(const QPoint& topLeft) {
  window_->move(topLeft);
  keepPosition();
}

void StatusItem::keepPosition() {
  const QScreen* screen = screenFor(*window_);
  if (screen == nullptr) return;
  rightOffset_ = std::max(0, screen->geometry().right() + 1 - (window_->x() + window_->width()));
  if (restoring_ && settings_ != nullptr) {
    settings_->setValue(rightOffsetKey, rightOffset_);
    settings_->sync();
  }
}

void StatusItem::setLength(double length) {
  const int width = static_cast<int>(length);
  if (width == window_->width()) return;
  // The item grows and shrinks to the left, like the other items of the bar.
  const int right = window_->x() + window_->width();
  window_->setGeometry(right - width, window_->y(), width, window_->height());
}

double StatusItem::length() const { return window_->width(); }

Rect StatusItem::frame() const { return ScreenSpace::fromQt(window_->geometry()); }

void StatusItem::setStatusText(const std::string& text, double width) {
  if (!text.empty()) {
    const double measured = QtTextMeasurer().measure(text, MenuBarContent::singleLineReferenceFont).width + textPadding;
    const double wanted = std::isfinite(width) ? std::max(measured, width) : measured;
    setLength(std::clamp(std::ceil(wanted), minimumLength, maximumLength));
    const QString title = QtTextMeasurer::toQString(text);
    button_->title = title;
    button_->titleText = title.toStdString();  // as shown: invalid UTF-8 would not match
    button_->image = QIcon();
    button_->imageOnly = false;
    button_->setToolTip(title + QStringLiteral(" \u00B7 Nimbrella"));
    button_->setAccessibleName(title);
  } else {
    if (onEmptyText) onEmptyText();
    setLength(bandHeight());
    button_->title.clear();
    button_->titleText.clear();
    button_->image = controlsIcon;
    button_->imageOnly = true;
    button_->setToolTip(QStringLiteral("Nimbrella \u00B7 click for balance, pause, and settings"));
    button_->setAccessibleName(QStringLiteral("Nimbrella settings"));
  }
  redraw();
  if (afterLookChange) {
    QTimer::singleShot(0, window_.get(), [this] {
      if (afterLookChange) afterLookChange();
    });
  }
}

void StatusItem::beginDrag(const QPoint& globalPosition) { button_->beginDrag(globalPosition); }

bool StatusItem::isVisible() const { return window_->isVisible(); }

std::optional<ViewState> StatusItem::button() const { return viewStateOf(*button_, button_->titleText); }

WindowNumber StatusItem::windowNumber() const { return static_cast<WindowNumber>(window_->winId()); }

void StatusItem::redraw() { button_->repaint(); }

}  // namespace nimbrella
