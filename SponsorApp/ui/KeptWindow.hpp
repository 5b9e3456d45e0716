#pragma once

#include <QWidget>

namespace nimbrella {

// A top-level window that is kept while hidden, to be shown again. Closing a window
// takes its native window, but Qt keeps the widget's backing store: the shared-memory
// image it paints into (half a megabyte and more). One event-loop turn after a hide (the
// window may be hidden from within one of its own events), if the window is still
// hidden, destroy() gives that image back too; the next show makes one anew.
class KeptWindow : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void hideEvent(QHideEvent* event) override;
};

}  // namespace nimbrella
