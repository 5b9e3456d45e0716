#include "SponsorApp/ui/Icons.hpp"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <memory>

// Resources of a static library are registered by hand, once, before first use.
static void registerIconResources() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(icons);
    return true;
  }();
  (void)registered;
}

namespace nimbrella {

namespace {

QString resource(const QString& name) {
  registerIconResources();
  return QStringLiteral(":/icons/%1.svg").arg(name);
}

// Renders the SVG at the requested size and paints it in one colour through its alpha.
class TintedSvgEngine final : public QIconEngine {
 public:
  TintedSvgEngine(const QString& path, const QColor& color)
      : renderer_(std::make_shared<QSvgRenderer>(path)), color_(color) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    QColor color = color_;
    if (mode == QIcon::Disabled) color.setAlphaF(color.alphaF() * 0.45);
    painter->save();
    QPixmap layer(rect.size() * painter->device()->devicePixelRatioF());
    layer.setDevicePixelRatio(painter->device()->devicePixelRatioF());
    layer.fill(Qt::transparent);
    {
      QPainter inner(&layer);
      inner.setRenderHint(QPainter::Antialiasing);
      renderer_->render(&inner, QRectF(QPointF(0, 0), QSizeF(rect.size())));
      inner.setCompositionMode(QPainter::CompositionMode_SourceIn);
      inner.fillRect(QRectF(QPointF(0, 0), QSizeF(rect.size())), color);
    }
    painter->drawPixmap(rect.topLeft(), layer);
    painter->restore();
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap result(size);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return result;
  }

  QIconEngine* clone() const override { return new TintedSvgEngine(*this); }

 private:
  std::shared_ptr<QSvgRenderer> renderer_;
  QColor color_;
};

}  // namespace

QIcon applicationIcon() {
  if (QFile::exists(resource(QStringLiteral("nimbrella")))) return QIcon(resource(QStringLiteral("nimbrella")));
  return QIcon::fromTheme(QStringLiteral("applications-internet"));
}

QIcon symbolIcon(const QString& name, const QColor& color) {
  return QIcon(new TintedSvgEngine(resource(name), color));
}

}  // namespace nimbrella
