#pragma once

// The application's own icons: its mark, and small monochrome symbols drawn in the
// colour of the text they stand beside. All are SVG files built into the program.

#include <QColor>
#include <QIcon>
#include <QString>

namespace nimbrella {

// The application's mark in its own colours; a theme icon when it cannot be read.
QIcon applicationIcon();

// A monochrome symbol ("ellipsis", "play", "pause", "clock", "arrow-up-right",
// "top-strip") tinted with `color`, sharp at every device pixel ratio.
QIcon symbolIcon(const QString& name, const QColor& color);

}  // namespace nimbrella
