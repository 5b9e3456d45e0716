#pragma once

// Qt's geometry in the surface's terms, for the status item and the panel.

#include "SponsorApp/surface/WindowServer.hpp"
#include "SponsorCore/MenuBarGeometry.hpp"

#include <QRect>
#include <QString>
#include <QWidget>

namespace nimbrella {

// The state of `view` inside its top-level window, for the surface logic.
ViewState viewStateOf(const QWidget& view, std::string_view title);

// Conversions between Qt's global coordinates (origin top left, y down) and the
// surface's screen coordinates (origin bottom left, y up), across the whole desktop.
namespace ScreenSpace {

// The height of the whole desktop in Qt's coordinates; 0 without a screen.
double height();
QRect toQt(const Rect& rect);
Rect fromQt(const QRect& rect);

}  // namespace ScreenSpace

}  // namespace nimbrella
