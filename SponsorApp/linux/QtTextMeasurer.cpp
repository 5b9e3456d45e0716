#include "SponsorApp/linux/QtTextMeasurer.hpp"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScreen>

namespace nimbrella {

namespace {

// Qt sizes fonts in typographic points of 1/72 inch at the screen's logical resolution;
// the surface measures in device-independent pixels.
double logicalDpi() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
  return dpi > 0 ? dpi : 96.0;
}

}  // namespace

QFont QtTextMeasurer::font(const FontSpec& spec) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setWeight(spec.weight == FontWeight::semibold ? QFont::DemiBold : QFont::Medium);
  font.setPointSizeF(spec.pointSize * 72.0 / logicalDpi());
  font.setKerning(true);
  return font;
}

QString QtTextMeasurer::toQString(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

Size QtTextMeasurer::measure(std::string_view text, const FontSpec& spec) const {
  const QFontMetricsF metrics(font(spec));
  return {metrics.horizontalAdvance(toQString(text)), metrics.height()};
}

}  // namespace nimbrella
