#pragma once

// Text measurement with the desktop's user-interface font through Qt. Sizes are in
// points of the screen coordinate space (one point is one device-independent pixel),
// so that 11.5 points of text are 11.5 units high on the top bar as everywhere else.

#include "SponsorCore/TextMeasurer.hpp"

#include <QFont>
#include <QString>

namespace nimbrella {

class QtTextMeasurer final : public TextMeasurer {
 public:
  // Needs a QGuiApplication.
  Size measure(std::string_view text, const FontSpec& font) const override;

  // The system font in the given weight, sized so that its em is `font.pointSize`
  // device-independent pixels.
  static QFont font(const FontSpec& font);
  static QString toQString(std::string_view utf8);
};

}  // namespace nimbrella
