#pragma once

// The running copy on the session bus: it owns the name app.nimbrella.Nimbrella and
// exports the standard org.freedesktop.Application interface at
// /app/nimbrella/Nimbrella, through which a second launch (or the desktop) asks it to
// show its controls or to run one of its actions.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

namespace nimbrella {

class ApplicationService final : public QObject {
 public:
  static constexpr const char* busName = "app.nimbrella.Nimbrella";
  static constexpr const char* objectPath = "/app/nimbrella/Nimbrella";
  static constexpr const char* interfaceName = "org.freedesktop.Application";

  ApplicationService();
  ~ApplicationService() override;
  ApplicationService(const ApplicationService&) = delete;
  ApplicationService& operator=(const ApplicationService&) = delete;

  // Exports the interface and takes the name; false (with the reason) when the session
  // bus is not reachable or another process owns the name.
  bool registerOnSessionBus(QString* error);

  // Activate and Open: show the controls.
  std::function<void()> onActivate;
  // ActivateAction(name): true when the action is known and ran; an unknown action is
  // answered with a D-Bus error.
  std::function<bool(const QString& name)> onAction;

  // Called by the exported interface.
  void activate();
  bool activateAction(const QString& name);

 private:
  bool registered_ = false;
};

// Asks the copy that owns the bus name to show its controls (Activate), passing on this
// launch's DESKTOP_STARTUP_ID and XDG_ACTIVATION_TOKEN (as the process found them at its
// start) as platform data. A copy that holds the lock takes the name a moment later, so
// this waits for the name to get an owner, all within `timeoutMs`. False (with the
// reason) when no copy answered in time.
bool activateRunningCopy(QString* error, int timeoutMs = 5000);

}  // namespace nimbrella
