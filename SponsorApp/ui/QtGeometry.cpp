#include "SponsorApp/ui/QtGeometry.hpp"

#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace nimbrella {

ViewState viewStateOf(const QWidget& view, std::string_view title) {
  ViewState state;
  state.title = title;
  const QWidget* window = view.window();
  const QPoint inWindow = view.mapTo(window, QPoint(0, 0));
  const QRect frame(inWindow, view.size());
  // Window coordinates with the origin at the bottom left.
  state.frameInWindow = {double(frame.x()), double(window->height() - frame.y() - frame.height()),
                         double(frame.width()), double(frame.height())};
  state.boundsSize = {double(view.width()), double(view.height())};
  double alpha = 1.0;
  for (const QWidget* w = &view; w != nullptr && w != window; w = w->parentWidget()) {
    if (const auto* effect = qobject_cast<const QGraphicsOpacityEffect*>(w->graphicsEffect());
        effect != nullptr && effect->isEnabled()) {
      alpha *= effect->opacity();
    }
  }
  state.alpha = alpha;
  // Hidden itself or below a hidden widget of its window; the window's own state is
  // the window check's business.
  state.hiddenOrHasHiddenAncestor = view.isHidden() || (&view != window && !view.isVisibleTo(window));
  state.visibleRectContainsBounds = !frame.isEmpty() && window->rect().contains(frame);
  return state;
}

namespace ScreenSpace {

double height() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 0;
  const QRect all = screen->virtualGeometry();
  return static_cast<double>(all.y() + all.height());
}

QRect toQt(const Rect& rect) {
  const double top = height() - rect.maxY();
  return QRect(static_cast<int>(std::lround(rect.minX())), static_cast<int>(std::lround(top)),
               static_cast<int>(std::lround(rect.size().width)), static_cast<int>(std::lround(rect.size().height)));
}

Rect fromQt(const QRect& rect) {
  return {double(rect.x()), height() - (double(rect.y()) + rect.height()), double(rect.width()), double(rect.height())};
}

}  // namespace ScreenSpace

}  // namespace nimbrella
