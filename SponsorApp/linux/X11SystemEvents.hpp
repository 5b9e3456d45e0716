#pragma once

// The system notifications of an X11 desktop: the active desktop changed (the root
// window's _NET_CURRENT_DESKTOP), the screens changed (Qt's screen signals, fed by
// RandR), the display went to sleep or woke (the screen saver's notifications, and the
// DPMS power level asked once a second on servers that power displays down), and, when
// logind is reachable on the system bus, sleep and wake (PrepareForSleep) and the session
// becoming inactive or active again (its Active property, Lock, Unlock).

#include "SponsorApp/Ports.hpp"

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QScreen;

namespace nimbrella {

class X11WindowServer;

class X11SystemEvents final : public QObject, public SystemEvents, public QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  // `server` gives the display power level; without it (not on X11) only the screen
  // signals and logind are followed. Needs a QGuiApplication.
  explicit X11SystemEvents(X11WindowServer* server, QObject* parent = nullptr);
  ~X11SystemEvents() override;

  std::unique_ptr<SystemEventSubscription> subscribe(std::function<void(SystemEvent)> handler) override;

  // Whether logind is on the system bus and its sleep signal is followed; whether this
  // process's session was found there and its state is followed (that answer comes
  // later, through the event loop).
  bool followsLogind() const { return logind_; }
  bool followsSession() const { return session_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private slots:
  void prepareForSleep(bool start);
  void sessionPropertiesChanged(const QString& interfaceName, const QVariantMap& changed,
                                const QStringList& invalidated);
  void sessionLocked();
  void sessionUnlocked();

 private:
  struct Registry;
  void post(SystemEvent event);
  void followScreen(QScreen* screen);
  void connectLogind();
  void followSession(const QString& path);
  void pollDisplay();

  std::shared_ptr<Registry> registry_;
  X11WindowServer* server_ = nullptr;
  std::uint32_t root_ = 0;
  std::uint32_t currentDesktopAtom_ = 0;
  std::uint8_t screenSaverNotify_ = 0;  // the event's type, 0 without the extension
  bool logind_ = false;
  bool session_ = false;
  bool displayAwake_ = true;
  QTimer powerTimer_;
};

}  // namespace nimbrella
