#pragma once

// The application's own item in the top bar: a borderless window that never takes
// focus, shows on every desktop, stays above ordinary windows and sits in the band the
// desktop's panel reserves at the top of the screen. It carries the sponsored text (or
// the controls icon when there is none) and opens the controls when clicked. The user
// moves it by dragging with Alt held; its place is kept under "NimbrellaMenuBar".

#include "SponsorApp/surface/WindowServer.hpp"

#include <QIcon>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSettings;

namespace nimbrella {

class StatusButton;

class StatusItem final : public StatusItemPort {
 public:
  static constexpr double minimumLength = 24;
  static constexpr double maximumLength = 280;
  static constexpr double textPadding = 36;
  static constexpr const char* autosaveName = "NimbrellaMenuBar";

  // A visible item at the right of the top band. With `restoringPosition` the place
  // the user chose last time (kept in `settings`, when given) is restored and every
  // move the user makes is kept there. `prepareNativeWindow` runs once on the item's
  // window before it is first shown (the window-server adapter marks it there as a
  // sticky dock of the top bar).
  static std::shared_ptr<StatusItem> makeStatusItem(bool restoringPosition, QSettings* settings = nullptr,
                                                    const std::function<void(WindowNumber)>& prepareNativeWindow = {});
  ~StatusItem() override;
  StatusItem(const StatusItem&) = delete;
  StatusItem& operator=(const StatusItem&) = delete;

  // The look for the controller's menu text and width: the text with the grid glyph at
  // a length fitted to the text (or `width` when larger), between 24 and 280; with an
  // empty text a square item with the controls icon (and `onEmptyText` runs first).
  void setStatusText(const std::string& text, double width);

  // The item's length (its width) in points.
  double length() const;
  // The item's frame in screen coordinates (origin bottom left).
  Rect frame() const;
  // Moves the item so that its top-left corner is at `topLeft` (Qt global coordinates)
  // and keeps the place when the position is being kept.
  void moveTo(const QPoint& topLeft);
  // Starts moving the item with the pointer, pressed at `globalPosition` (Qt global
  // coordinates) with Alt held, also when the press landed on the panel over it.
  void beginDrag(const QPoint& globalPosition);

  std::function<void()> onClick;      // the button's action
  std::function<void()> onEmptyText;  // hides the sponsored panel
  // Runs on the next turn of the event loop after each setStatusText (the popover
  // follows a resized item from there).
  std::function<void()> afterLookChange;
  // The controls icon shown when the text is empty; null gives an empty square.
  QIcon controlsIcon;

  QWidget* window() const { return window_.get(); }
  StatusButton* buttonView() const { return button_; }

  // StatusItemPort
  bool isVisible() const override;
  std::optional<ViewState> button() const override;
  WindowNumber windowNumber() const override;
  void redraw() override;

 private:
  StatusItem(bool restoringPosition, QSettings* settings);
  void setLength(double length);
  void placeInBand();
  void keepPosition();
  double bandHeight() const;

  std::unique_ptr<QWidget> window_;
  StatusButton* button_ = nullptr;  // owned by window_
  std::unique_ptr<QSettings> ownSettings_;
  QSettings* settings_ = nullptr;
  bool restoring_ = false;
  // Distance of the item's right edge from its screen's right edge.
  int rightOffset_ = 8;
};

// The status item's button: the grid glyph or the controls icon, and the title.
class StatusButton final : public QWidget {
  Q_OBJECT

 public:
  explicit StatusButton(QWidget* parent);

  QString title;
  std::string titleText;  // the title in UTF-8, as the surface logic compares it
  QIcon image;
  bool imageOnly = false;

  std::function<void()> onClick;
  void beginDrag(const QPoint& globalPosition);
  // Runs with the new top-left corner while the user drags the item with Alt held, and
  // with no value when the drag ends.
  std::function<void(std::optional<QPoint>)> onDrag;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  std::optional<QPoint> dragOffset_;
};

}  // namespace nimbrella
