#include "SponsorApp/ui/KeptWindow.hpp"

#include <QTimer>

namespace nimbrella {

void KeptWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  QTimer::singleShot(0, this, [this] {
    if (!isVisible()) destroy();
  });
}

}  // namespace nimbrella
