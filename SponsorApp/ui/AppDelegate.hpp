#pragma once

// The application delegate: it owns the controller and everything the user sees of
// it (the status item, the popover with the controls and the panel that paints the
// sponsored text over the item), turns the controller's state into the item's look,
// opens and closes the popover and tells the controller while the controls are open,
// since no exposure may be counted then.

#include "SponsorApp/AppModel.hpp"
#include "SponsorApp/ui/Platform.hpp"

#include <QRect>
#include <QSystemTrayIcon>

#include <memory>
#include <string>

namespace nimbrella {

class MenuBarSurface;
class StatusItem;
class StatusPopover;

class AppDelegate {
 public:
  // Builds the controller on `platform` (which restores what a restart keeps); nothing
  // is shown before applicationDidFinishLaunching.
  AppDelegate(std::unique_ptr<Platform> platform, std::string shownVersion);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Makes the status item, wires the panel and the popover, starts the controller and,
  // on a computer that is not connected yet, opens the controls.
  void applicationDidFinishLaunching();
  // The running copy was asked again for its controls (a second launch, the desktop's
  // activation).
  void showControls();
  // Ends the running exposure before the process ends; a signed completion that the
  // server has not confirmed stays in the keyring.
  void applicationWillTerminate();

  void togglePopover();
  void showPopover();

  AppModel& model() { return *model_; }
  StatusItem* statusItem() const { return statusItem_.get(); }
  StatusPopover* popover() const { return popover_.get(); }
  MenuBarSurface* sponsoredSurface() const { return sponsoredSurface_.get(); }
  bool didLaunch() const { return didLaunch_; }

 private:
  void setStatusText(const std::string& text, double width);
  // Where the popover opens: below the status item, or the tray icon when there is one.
  QRect anchor() const;
  void updateTrayIcon();
  void followStatusItem();
  void popoverDidClose();

  std::unique_ptr<Platform> platform_;
  std::unique_ptr<AppModel> model_;
  std::shared_ptr<StatusItem> statusItem_;
  std::unique_ptr<StatusPopover> popover_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::shared_ptr<MenuBarSurface> sponsoredSurface_;
  std::string shownVersion_;
  AppModel::ObserverId observer_ = 0;
  bool didLaunch_ = false;
};

}  // namespace nimbrella
