#pragma once

// The popover that opens from the status item: what the sponsors are doing and why,
// the current sponsor, and every everyday action. A top-level popup window below the
// item, kept inside the screen's available area; a click elsewhere or Escape closes it.
// It holds no state of its own: it is rebuilt from the controller whenever what it
// shows changes, and every action is a controller operation.

#include "SponsorApp/AppModel.hpp"
#include "SponsorApp/linux/LoginItem.hpp"
#include "SponsorApp/ui/KeptWindow.hpp"
#include "SponsorApp/ui/PopoverPresentation.hpp"
#include "SponsorApp/ui/SettingsPresentation.hpp"

#include <QMenu>
#include <QRect>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

namespace nimbrella {

// What the popover needs from the application besides the controller.
struct PopoverHooks {
  std::string version;  // the shown version, "—" when unknown
  std::function<void()> quit;
  std::shared_ptr<const LoginItem> loginItem;  // none: the login switch is off and disabled
  // Shows an alert; by default an application-modal message box.
  std::function<void(const AlertText&)> alert;
};


class StatusPopover final : public KeptWindow {
 public:
  StatusPopover(AppModel& model, PopoverHooks hooks);
  ~StatusPopover() override;
  StatusPopover(const StatusPopover&) = delete;
  StatusPopover& operator=(const StatusPopover&) = delete;

  // Shows the popover below `anchor` (the status item's frame, global coordinates),
  // sized for the pairing state and the anchor screen's available area.
  void showBelow(const QRect& anchor);
  void raiseAndActivate();
  bool isShown() const { return isVisible(); }

  // Runs whenever the popover closes, by any road.
  std::function<void()> onClosed;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct Shown;
  void rebuild(bool force);
  QWidget* buildContent(const Shown& shown);
  QWidget* buildEarnings(const Shown& shown, QWidget* parent);
  // Refills the settings menu as it opens, so that the login switch shows the real state.
  void fillSettingsMenu(QMenu* menu);
  void choose(SettingsEntry entry, bool checked);
  void retryBalance();

  AppModel& model_;
  PopoverHooks hooks_;
  AppModel::ObserverId observer_ = 0;
  std::unique_ptr<Shown> shown_;
  QWidget* content_ = nullptr;
  bool retrying_ = false;
};

}  // namespace nimbrella
