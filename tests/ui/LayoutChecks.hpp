#pragma once

// Checks, screenshots and the desktop set-up shared by the desktop tests of the popover
// and the windows.

#include "surface/DesktopSession.hpp"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QDir>
#include <QLabel>
#include <QRect>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace nimbrella::layout {

// The status item's frame that the popover is shown below: near the top bar's right end.
inline const QRect itemFrame(900, 0, 120, 24);

// For a fixture's SetUp: fails the test when the real test desktop is missing.
inline void openDesktop() {
  if (const std::string missing = desktop::missingDesktop(); !missing.empty()) GTEST_FAIL() << missing;
  desktop::application();
}

// Every visible label and button lies inside the window (or scrolls inside its own
// area), and none is squeezed shorter than its text needs.
inline void expectInside(QWidget& window) {
  const auto areas = window.findChildren<QAbstractScrollArea*>();
  for (QWidget* child : window.findChildren<QWidget*>()) {
    if (!child->isVisible() || (!qobject_cast<QLabel*>(child) && !qobject_cast<QAbstractButton*>(child))) continue;
    const QRect inWindow(child->mapTo(&window, QPoint(0, 0)), child->size());
    const bool scrolls = std::ranges::any_of(areas, [child](QWidget* area) { return area->isAncestorOf(child); });
    EXPECT_TRUE(scrolls || window.rect().contains(inWindow)) << child->objectName().toStdString();
    const int needed = child->hasHeightForWidth() ? child->heightForWidth(child->width()) : child->minimumSizeHint().height();
    EXPECT_GE(child->height(), needed - 1) << child->objectName().toStdString();
  }
}

// The shown child of that name (a replaced one may linger hidden until it is deleted).
template <class T>
T* shown(QWidget& window, const char* name) {
  for (T* child : window.findChildren<T*>(QString::fromLatin1(name))) {
    if (child->isVisible()) return child;
  }
  return nullptr;
}

// Writes the widget as popover-screenshots/NAME.png of the build directory (NAME@2x.png
// at a scale factor of 2).
inline bool saveScreenshot(QWidget& widget, const std::string& name) {
  const QString folder = QStringLiteral(NIMBRELLA_POPOVER_SCREENSHOTS);
  QDir().mkpath(folder);
  const QString scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? QStringLiteral("@2x") : QString();
  return widget.grab().save(QStringLiteral("%1/%2%3.png").arg(folder, QString::fromStdString(name), scale));
}

}  // namespace nimbrella::layout
