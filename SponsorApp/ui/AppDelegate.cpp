#include "SponsorApp/ui/AppDelegate.hpp"

#include "SponsorApp/linux/X11WindowServer.hpp"
#include "SponsorApp/ui/AppLog.hpp"
#include "SponsorApp/ui/Icons.hpp"
#include "SponsorApp/ui/MenuBarSurface.hpp"
#include "SponsorApp/ui/StatusItem.hpp"
#include "SponsorApp/ui/StatusPopover.hpp"

#include <QApplication>
#include <QCursor>
#include <QSystemTrayIcon>
#include <QTimer>

#include <string>
#include <string_view>
#include <utility>

namespace nimbrella {

namespace {

constexpr std::string_view quitReason = "Nimbrella was quit.";

}  // namespace

AppDelegate::AppDelegate(std::unique_ptr<Platform> platform, std::string shownVersion)
    : platform_(std::move(platform)),
      model_(std::make_unique<AppModel>(platform_->ports())),
      sponsoredSurface_(std::make_shared<MenuBarSurface>(platform_->windowServer())),
      shownVersion_(std::move(shownVersion)) {}

AppDelegate::~AppDelegate() {
  if (observer_ != 0) model_->removeObserver(observer_);
  // The popover observes the controller: it goes first.
  popover_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
  if (didLaunch_) return;

  // 2. The status item, where the user left it.
  X11WindowServer* x11 = platform_->x11();
  statusItem_ = StatusItem::makeStatusItem(true, nullptr, [x11](WindowNumber window) {
    if (x11 != nullptr) x11->markAsTopBarItem(window);
  });
  statusItem_->controlsIcon = applicationIcon();
  statusItem_->onClick = [this] { togglePopover(); };
  statusItem_->onEmptyText = [this] { platform_->monitor().hideSurface(); };
  statusItem_->afterLookChange = [this] { followStatusItem(); };

  // 3. The monitor verifies the item and the panel; a click on the panel is a click on
  // the item, and Alt on the panel moves the item below it.
  SurfaceMonitor& monitor = platform_->monitor();
  monitor.statusItem = statusItem_;
  monitor.surface = sponsoredSurface_;
  sponsoredSurface_->onClick = [this] { togglePopover(); };
  sponsoredSurface_->onAltPress = [this](const QPoint& position) { statusItem_->beginDrag(position); };

  // 4. The popover.
  PopoverHooks hooks{shownVersion_, [] { QApplication::quit(); }, {}, {}};
  hooks.loginItem = std::make_shared<LoginItem>(
      LoginItem::fromEnvironment(QCoreApplication::applicationFilePath().toStdString()));
  popover_ = std::make_unique<StatusPopover>(*model_, std::move(hooks));
  popover_->onClosed = [this] { popoverDidClose(); };

  // 5 to 7. The item's look follows the menu text and width; the popover's size follows
  // the pairing state while it is shown.
  observer_ = model_->addObserver([this](AppModelField field) {
    switch (field) {
      case AppModelField::menuText:
      case AppModelField::menuWidth:
        setStatusText(model_->menuText(), model_->menuWidth());
        break;
      case AppModelField::message:
        appLog("status", model_->message());
        updateTrayIcon();
        break;
      case AppModelField::visibilityStatus:
        appLog("visibility", model_->visibilityStatus());
        break;
      case AppModelField::balanceMicros:
        appLog("balance", model_->money(model_->balanceMicros()));
        break;
      case AppModelField::isPaired:
      case AppModelField::connectionPending:
      case AppModelField::connectionError:
        if (popover_->isShown()) QTimer::singleShot(0, statusItem_->window(), [this] { followStatusItem(); });
        break;
      default:
        break;
    }
  });
  setStatusText(model_->menuText(), 0);
  appLog("status", model_->message());

  // 8 to 10.
  model_->start();
  if (!model_->isPaired()) showPopover();
  didLaunch_ = true;
}

void AppDelegate::setStatusText(const std::string& text, double width) {
  if (statusItem_) statusItem_->setStatusText(text, width);
}

void AppDelegate::togglePopover() {
  if (popover_ && popover_->isShown()) {
    popover_->close();
  } else {
    showPopover();
  }
}

void AppDelegate::showPopover() {
  if (!statusItem_ || !popover_) return;
  if (popover_->isShown()) {
    popover_->raiseAndActivate();
    return;
  }
  model_->setControlsOpen(true);
  popover_->showBelow(anchor());
  appLog("controls", "open");
}

QRect AppDelegate::anchor() const {
  // On a desktop that refuses sponsors the status item may sit nowhere the user sees:
  // the tray icon, or the pointer that clicked it, is the way in.
  if (tray_ && tray_->isVisible()) {
    const QRect icon = tray_->geometry();
    return icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1));
  }
  return statusItem_->window()->frameGeometry();
}

void AppDelegate::updateTrayIcon() {
  const bool needed = model_->desktopRefusal() != DesktopRefusal::none;
  if (!needed) {
    tray_.reset();
    return;
  }
  if (tray_ || !QSystemTrayIcon::isSystemTrayAvailable()) return;
  // The standard tray (or StatusNotifierItem): the controls only, never sponsored content.
  tray_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
  tray_->setToolTip(QStringLiteral("Nimbrella"));
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(), [this](QSystemTrayIcon::ActivationReason) {
    togglePopover();
  });
  tray_->show();
}

// The popover follows a resized or moved item and the size of the pairing state.
void AppDelegate::followStatusItem() {
  if (popover_ && popover_->isShown() && statusItem_) popover_->showBelow(anchor());
}

void AppDelegate::popoverDidClose() {
  appLog("controls", "closed");
  model_->setControlsOpen(false);
}

void AppDelegate::showControls() {
  if (didLaunch_) showPopover();
}

void AppDelegate::applicationWillTerminate() {
  if (popover_) popover_->onClosed = nullptr;
  model_->interrupt(quitReason, AppModel::Hide::nothing, AppModel::Surface::drop);
}

}  // namespace nimbrella
