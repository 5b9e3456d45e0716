#include "SponsorApp/linux/ApplicationService.hpp"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

namespace nimbrella {

namespace {

// This launch's startup identifiers, read when the program is loaded: the X11 platform
// plugin takes DESKTOP_STARTUP_ID out of the environment when the application object
// is created, before the entry could pass it on.
struct LaunchIdentifiers {
  QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
  QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
};
const LaunchIdentifiers launchIdentifiers;

bool hasOwner(QDBusConnection& bus, const QString& name) {
  const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(name);
  return registered.isValid() && registered.value();
}

// Waits (running a local event loop) until `name` has an owner or the deadline passes.
bool waitForOwner(QDBusConnection& bus, const QString& name, const QDeadlineTimer& deadline) {
  QDBusServiceWatcher watcher(name, bus, QDBusServiceWatcher::WatchForRegistration);
  if (hasOwner(bus, name)) return true;
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(static_cast<int>(deadline.remainingTime()));
  loop.exec();
  return hasOwner(bus, name);
}

}  // namespace

// The exported org.freedesktop.Application interface.
class ApplicationAdaptor final : public QDBusAbstractAdaptor, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  ApplicationAdaptor(QObject* parent, ApplicationService& service) : QDBusAbstractAdaptor(parent), service_(service) {}

 public slots:
  void Activate(const QVariantMap&) { service_.activate(); }
  void Open(const QStringList&, const QVariantMap&) { service_.activate(); }
  void ActivateAction(const QString& name, const QVariantList&, const QVariantMap&) {
    if (!service_.activateAction(name) && calledFromDBus()) {
      sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("Unknown action: %1").arg(name));
    }
  }

 private:
  ApplicationService& service_;
};

ApplicationService::ApplicationService() { new ApplicationAdaptor(this, *this); }

ApplicationService::~ApplicationService() {
  if (!registered_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterService(QString::fromLatin1(busName));
  bus.unregisterObject(QString::fromLatin1(objectPath));
}

bool ApplicationService::registerOnSessionBus(QString* error) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const auto fail = [error](const QString& reason) {
    if (error) *error = reason;
    return false;
  };
  if (!bus.isConnected()) return fail(QStringLiteral("the session bus is not reachable: %1").arg(bus.lastError().message()));
  // The object first, so that a caller who sees the name already finds the interface.
  if (!bus.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAdaptors)) {
    return fail(QStringLiteral("the object path %1 is taken").arg(QString::fromLatin1(objectPath)));
  }
  if (!bus.registerService(QString::fromLatin1(busName))) {
    bus.unregisterObject(QString::fromLatin1(objectPath));
    return fail(QStringLiteral("the name %1 is owned by another process").arg(QString::fromLatin1(busName)));
  }
  registered_ = true;
  return true;
}

void ApplicationService::activate() {
  if (onActivate) onActivate();
}

bool ApplicationService::activateAction(const QString& name) { return onAction && onAction(name); }

bool activateRunningCopy(QString* error, int timeoutMs) {
  const auto fail = [error](const QString& reason) {
    if (error) *error = reason;
    return false;
  };
  const QDeadlineTimer deadline(timeoutMs);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return fail(QStringLiteral("the session bus is not reachable"));
  const QString name = QString::fromLatin1(ApplicationService::busName);
  if (!waitForOwner(bus, name, deadline)) {
    return fail(QStringLiteral("no process took the name %1 within %2 ms").arg(name).arg(timeoutMs));
  }

  QVariantMap platformData;
  if (!launchIdentifiers.startupId.isEmpty()) {
    platformData.insert(QStringLiteral("desktop-startup-id"), QString::fromUtf8(launchIdentifiers.startupId));
  }
  if (!launchIdentifiers.activationToken.isEmpty()) {
    platformData.insert(QStringLiteral("activation-token"), QString::fromUtf8(launchIdentifiers.activationToken));
  }
  QDBusMessage call = QDBusMessage::createMethodCall(name, QString::fromLatin1(ApplicationService::objectPath),
                                                     QString::fromLatin1(ApplicationService::interfaceName),
                                                     QStringLiteral("Activate"));
  call << platformData;
  const auto remaining = static_cast<int>(deadline.remainingTime());
  const QDBusMessage reply = bus.call(call, QDBus::Block, remaining > 0 ? remaining : 1);
  if (reply.type() == QDBusMessage::ErrorMessage) return fail(reply.errorName() + QStringLiteral(": ") + reply.errorMessage());
  return true;
}

}  // namespace nimbrella

#include "ApplicationService.moc"
