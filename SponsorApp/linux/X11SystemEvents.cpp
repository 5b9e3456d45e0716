#include "SponsorApp/linux/X11SystemEvents.hpp"

#include "SponsorApp/linux/X11WindowServer.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QScreen>

#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace nimbrella {

namespace {

constexpr const char* login1 = "org.freedesktop.login1";
constexpr const char* login1Path = "/org/freedesktop/login1";
constexpr const char* login1Manager = "org.freedesktop.login1.Manager";
constexpr const char* login1Session = "org.freedesktop.login1.Session";

}  // namespace

struct X11SystemEvents::Registry {
  std::map<std::uint64_t, std::function<void(SystemEvent)>> handlers;
  std::uint64_t next = 1;
};

namespace {

class Subscription final : public SystemEventSubscription {
 public:
  Subscription(std::weak_ptr<void> registry, std::function<void()> cancel)
      : registry_(std::move(registry)), cancel_(std::move(cancel)) {}
  ~Subscription() override {
    if (!registry_.expired()) cancel_();
  }

 private:
  std::weak_ptr<void> registry_;
  std::function<void()> cancel_;
};

}  // namespace

X11SystemEvents::X11SystemEvents(X11WindowServer* server, QObject* parent)
    : QObject(parent), registry_(std::make_shared<Registry>()), server_(server) {
  if (auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
      x11 != nullptr && x11->connection() != nullptr) {
    xcb_connection_t* connection = x11->connection();
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const char name[] = "_NET_CURRENT_DESKTOP";
    if (auto* reply =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr)) {
      currentDesktopAtom_ = reply->atom;
      std::free(reply);
    }
    // Follow the root window's properties (added to whatever Qt already selected).
    if (auto* attributes =
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root_), nullptr)) {
      const std::uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_PROPERTY_CHANGE;
      xcb_change_window_attributes(connection, root_, XCB_CW_EVENT_MASK, &mask);
      xcb_flush(connection);
      std::free(attributes);
    }
    // Hear the screen saver turn on and off, instead of asking the server.
    if (const xcb_query_extension_reply_t* saver = xcb_get_extension_data(connection, &xcb_screensaver_id);
        server_ != nullptr && saver != nullptr && saver->present != 0) {
      screenSaverNotify_ = static_cast<std::uint8_t>(saver->first_event + XCB_SCREENSAVER_NOTIFY);
      xcb_screensaver_select_input(connection, root_, XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
      xcb_flush(connection);
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
  }

  for (QScreen* screen : QGuiApplication::screens()) followScreen(screen);
  connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
    followScreen(screen);
    post(SystemEvent::screenParametersDidChange);
  });
  connect(qGuiApp, &QGuiApplication::screenRemoved, this,
          [this](QScreen*) { post(SystemEvent::screenParametersDidChange); });

  if (server_ != nullptr) {
    displayAwake_ = server_->displayAwake();
    // Already blanked: told once the event loop runs, when the subscribers are there.
    if (!displayAwake_) QTimer::singleShot(0, this, [this] { post(SystemEvent::screensDidSleep); });
    // Display power management changes nothing the application hears of, nor does the
    // screen saver where its events are not available: those are asked once a second.
    if (server_->powersDisplaysDown() || screenSaverNotify_ == 0) {
      powerTimer_.setInterval(1000);
      connect(&powerTimer_, &QTimer::timeout, this, &X11SystemEvents::pollDisplay);
      powerTimer_.start();
    }
  }
  connectLogind();
}

X11SystemEvents::~X11SystemEvents() {
  if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
}

std::unique_ptr<SystemEventSubscription> X11SystemEvents::subscribe(std::function<void(SystemEvent)> handler) {
  const std::uint64_t id = registry_->next++;
  registry_->handlers.emplace(id, std::move(handler));
  std::weak_ptr<Registry> registry = registry_;
  return std::make_unique<Subscription>(registry_, [registry, id] {
    if (auto alive = registry.lock()) alive->handlers.erase(id);
  });
}

void X11SystemEvents::post(SystemEvent event) {
  // Handlers may subscribe or unsubscribe while being told; tell a copy.
  const auto handlers = registry_->handlers;
  for (const auto& [id, handler] : handlers) {
    if (registry_->handlers.contains(id)) handler(event);
  }
}

void X11SystemEvents::followScreen(QScreen* screen) {
  connect(screen, &QScreen::geometryChanged, this, [this] { post(SystemEvent::screenParametersDidChange); });
  connect(screen, &QScreen::availableGeometryChanged, this, [this] { post(SystemEvent::screenParametersDidChange); });
}

bool X11SystemEvents::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || message == nullptr) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if (screenSaverNotify_ != 0 && (event->response_type & 0x7F) == screenSaverNotify_) {
    pollDisplay();
    return false;
  }
  if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
    const auto* property = static_cast<const xcb_property_notify_event_t*>(message);
    if (property->window == root_ && currentDesktopAtom_ != 0 && property->atom == currentDesktopAtom_) {
      post(SystemEvent::activeSpaceDidChange);
    }
  }
  return false;
}

void X11SystemEvents::pollDisplay() {
  const bool awake = server_->displayAwake();
  if (awake == displayAwake_) return;
  displayAwake_ = awake;
  post(awake ? SystemEvent::screensDidWake : SystemEvent::screensDidSleep);
}

void X11SystemEvents::connectLogind() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return;
  if (!bus.interface()->isServiceRegistered(QString::fromLatin1(login1)).value()) return;
  logind_ =
      bus.connect(QString::fromLatin1(login1), QString::fromLatin1(login1Path), QString::fromLatin1(login1Manager),
                  QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));

  // This process's session: by its id when the session manager told us, else by our pid.
  QDBusMessage call;
  const char* sessionId = std::getenv("XDG_SESSION_ID");
  if (sessionId != nullptr && *sessionId != '\0') {
    call = QDBusMessage::createMethodCall(QString::fromLatin1(login1), QString::fromLatin1(login1Path),
                                          QString::fromLatin1(login1Manager), QStringLiteral("GetSession"));
    call << QString::fromLocal8Bit(sessionId);
  } else {
    call = QDBusMessage::createMethodCall(QString::fromLatin1(login1), QString::fromLatin1(login1Path),
                                          QString::fromLatin1(login1Manager), QStringLiteral("GetSessionByPID"));
    call << static_cast<quint32>(::getpid());
  }
  // Asked without waiting: the answer arrives on the event loop.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
    const QDBusPendingReply<QDBusObjectPath> reply = *finished;
    finished->deleteLater();
    if (reply.isError()) return;
    followSession(reply.value().path());
  });
}

void X11SystemEvents::followSession(const QString& path) {
  QDBusConnection bus = QDBusConnection::systemBus();
  const bool properties = bus.connect(
      QString::fromLatin1(login1), path, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("PropertiesChanged"), this, SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
  const bool lock = bus.connect(QString::fromLatin1(login1), path, QString::fromLatin1(login1Session),
                                QStringLiteral("Lock"), this, SLOT(sessionLocked()));
  const bool unlock = bus.connect(QString::fromLatin1(login1), path, QString::fromLatin1(login1Session),
                                  QStringLiteral("Unlock"), this, SLOT(sessionUnlocked()));
  session_ = properties && lock && unlock;
}

void X11SystemEvents::prepareForSleep(bool start) { post(start ? SystemEvent::willSleep : SystemEvent::didWake); }

void X11SystemEvents::sessionPropertiesChanged(const QString& interfaceName, const QVariantMap& changed,
                                               const QStringList&) {
  if (interfaceName != QLatin1String(login1Session)) return;
  const auto active = changed.find(QStringLiteral("Active"));
  if (active == changed.end()) return;
  post(active->toBool() ? SystemEvent::sessionDidBecomeActive : SystemEvent::sessionDidResignActive);
}

void X11SystemEvents::sessionLocked() { post(SystemEvent::sessionDidResignActive); }

void X11SystemEvents::sessionUnlocked() { post(SystemEvent::sessionDidBecomeActive); }

}  // namespace nimbrella
