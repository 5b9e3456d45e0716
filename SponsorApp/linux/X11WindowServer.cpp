#include "SponsorApp/linux/X11WindowServer.hpp"

#include "SponsorApp/linux/X11Stacking.hpp"
#include "SponsorApp/linux/XcbReply.hpp"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>

#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace nimbrella {

namespace {

constexpr std::uint32_t allDesktops = 0xFFFFFFFFu;

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
  const auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data());
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

// The 32-bit values of a property reply (nothing when absent or of another format),
// valid while the reply is.
std::span<const std::uint32_t> cardinals(const Owned<xcb_get_property_reply_t>& reply) {
  if (!reply || reply->format != 32 || reply->type == XCB_ATOM_NONE) return {};
  const int count = xcb_get_property_value_length(reply.reply) / 4;
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.reply));
  return {values, static_cast<std::size_t>(std::max(count, 0))};
}

xcb_get_property_cookie_t askCardinals(xcb_connection_t* c, std::uint32_t window, xcb_atom_t property, xcb_atom_t type,
                                       std::uint32_t longs = 64) {
  return xcb_get_property(c, 0, window, property, type, 0, longs);
}

// The requests about one window, sent together.
struct WindowQuestions {
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t origin;
};

struct WindowAnswers {
  std::optional<WindowState> state;
  bool overrideRedirect = false;
  QRect pixels;  // top-left origin, root coordinates
};

}  // namespace

// Questions of a measurement asked with its sample, and when. Each answer serves one
// call that comes within `fresh` of the asking; later ones ask the display again.
struct X11WindowServer::Prefetched {
  static constexpr std::chrono::milliseconds fresh{100};
  std::chrono::steady_clock::time_point askedAt;
  std::optional<xcb_screensaver_query_info_cookie_t> idle;
  std::optional<xcb_get_image_cookie_t> image;
  QRect imageArea;    // device pixels, top-left origin
  QRect panelPixels;  // where the panel was at the last sample

  // The cookie of an answer still fresh, taken out of `slot`; nothing (and the answer
  // dropped) when it is too old.
  template <typename Cookie>
  std::optional<Cookie> take(xcb_connection_t* connection, std::optional<Cookie>& slot) {
    std::optional<Cookie> cookie = std::exchange(slot, std::nullopt);
    if (cookie && std::chrono::steady_clock::now() - askedAt >= fresh) {
      xcb_discard_reply(connection, cookie->sequence);
      cookie.reset();
    }
    return cookie;
  }
};

struct X11WindowServer::Atoms {
  xcb_atom_t opacity = XCB_ATOM_NONE;
  xcb_atom_t wmDesktop = XCB_ATOM_NONE;
  xcb_atom_t currentDesktop = XCB_ATOM_NONE;
  xcb_atom_t workArea = XCB_ATOM_NONE;
  xcb_atom_t activeWindow = XCB_ATOM_NONE;
  xcb_atom_t wmState = XCB_ATOM_NONE;
  xcb_atom_t fullScreen = XCB_ATOM_NONE;
  xcb_atom_t compositor = XCB_ATOM_NONE;  // _NET_WM_CM_S<screen>
};

bool X11WindowServer::sessionIsX11() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
  const char* sessionType = std::getenv("XDG_SESSION_TYPE");
  if (sessionType != nullptr && std::string_view(sessionType) == "wayland") return false;
  const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
  if (waylandDisplay != nullptr && *waylandDisplay != '\0') return false;
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr && x11->connection() != nullptr && x11->display() != nullptr;
}

std::unique_ptr<WindowServer> X11WindowServer::forApplication() {
  if (!sessionIsX11()) return std::make_unique<UnverifiableWindowServer>();
  return std::make_unique<X11WindowServer>();
}

X11WindowServer::X11WindowServer() : atoms_(std::make_unique<Atoms>()), prefetched_(std::make_unique<Prefetched>()) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  connection_ = x11->connection();
  display_ = x11->display();
  root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  if (QScreen* screen = QGuiApplication::primaryScreen()) pixelRatio_ = screen->devicePixelRatio();

  atoms_->opacity = internAtom(connection_, "_NET_WM_WINDOW_OPACITY");
  atoms_->wmDesktop = internAtom(connection_, "_NET_WM_DESKTOP");
  atoms_->currentDesktop = internAtom(connection_, "_NET_CURRENT_DESKTOP");
  atoms_->workArea = internAtom(connection_, "_NET_WORKAREA");
  atoms_->activeWindow = internAtom(connection_, "_NET_ACTIVE_WINDOW");
  atoms_->wmState = internAtom(connection_, "_NET_WM_STATE");
  atoms_->fullScreen = internAtom(connection_, "_NET_WM_STATE_FULLSCREEN");
  atoms_->compositor = internAtom(connection_, "_NET_WM_CM_S" + std::to_string(screenNumber()));

  // The window manager names itself on its _NET_SUPPORTING_WM_CHECK window.
  {
    const xcb_atom_t check = internAtom(connection_, "_NET_SUPPORTING_WM_CHECK");
    const xcb_atom_t name = internAtom(connection_, "_NET_WM_NAME");
    const xcb_atom_t utf8 = internAtom(connection_, "UTF8_STRING");
    Owned supporting{xcb_get_property_reply(connection_, askCardinals(connection_, root_, check, XCB_ATOM_WINDOW, 1),
                                            DroppedError())};
    const auto windows = cardinals(supporting);
    if (!windows.empty()) {
      Owned wmName{xcb_get_property_reply(connection_, xcb_get_property(connection_, 0, windows[0], name, utf8, 0, 64),
                                          DroppedError())};
      if (wmName && wmName->format == 8) {
        const std::string_view text(static_cast<const char*>(xcb_get_property_value(wmName.reply)),
                                    static_cast<std::size_t>(xcb_get_property_value_length(wmName.reply)));
        shellOwnsTopBar_ = text == "GNOME Shell";
      }
    }
  }

  int eventBase = 0, errorBase = 0;
  screenSaverExtension_ = XScreenSaverQueryExtension(display_, &eventBase, &errorBase) != 0;
  dpmsExtension_ = DPMSQueryExtension(display_, &eventBase, &errorBase) != 0 && DPMSCapable(display_) != 0;

  QCoreApplication::instance()->installNativeEventFilter(this);
}

X11WindowServer::~X11WindowServer() {
  discardPrefetched();
  if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
}

X11Stacking& X11WindowServer::stacking() {
  if (!stacking_) stacking_ = std::make_unique<X11Stacking>(connection_, DisplayString(display_), root_);
  return *stacking_;
}

void X11WindowServer::discardPrefetched(bool keepStacking) {
  if (!keepStacking && stacking_) stacking_->discard();
  Prefetched& p = *prefetched_;
  if (p.idle) xcb_discard_reply(connection_, p.idle->sequence);
  if (p.image) xcb_discard_reply(connection_, p.image->sequence);
  p.idle.reset();
  p.image.reset();
}

void X11WindowServer::askMeasurementQuestions(bool measuring, bool askPanel, bool askIdle, bool askStacking) {
  Prefetched& p = *prefetched_;
  p.askedAt = std::chrono::steady_clock::now();
  if (screenSaverExtension_ && askIdle) p.idle = xcb_screensaver_query_info_unchecked(connection_, root_);
  const QRect& area = p.panelPixels;
  if (measuring && askPanel && area.width() > 0 && area.height() > 0 && area.x() >= 0 && area.y() >= 0 &&
      area.right() < 32767 && area.bottom() < 32767) {
    p.imageArea = area;
    p.image = xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(area.x()),
                            static_cast<std::int16_t>(area.y()), static_cast<std::uint16_t>(area.width()),
                            static_cast<std::uint16_t>(area.height()), 0xFFFFFFFFu);
  }
  // What this application last did to its windows (a raise, a move) goes out before the
  // stacking question on the other connection.
  xcb_flush(connection_);
  if (askStacking) stacking().ask();
}

void X11WindowServer::beginMeasurement(WindowNumber panel) {
  // The stacking answer and the idle time read with that sample still serve (see
  // secondsSinceLastInput).
  discardPrefetched(true);
  const bool idleFresh = idleReadAt_ && std::chrono::steady_clock::now() - *idleReadAt_ < std::chrono::milliseconds(50);
  askMeasurementQuestions(true, panel > 0 && panel <= std::numeric_limits<std::uint32_t>::max(), !idleFresh,
                          !stacking().asked());
}

bool X11WindowServer::readPixels(int x, int y, int width, int height, std::vector<std::uint32_t>& out) {
  if (width <= 0 || height <= 0 || x < 0 || y < 0 || x + width > 32767 || y + height > 32767) return false;
  const bool asked = prefetched_->image && prefetched_->imageArea == QRect(x, y, width, height);
  std::optional<xcb_get_image_cookie_t> pending = prefetched_->take(connection_, prefetched_->image);
  if (pending && !asked) {
    xcb_discard_reply(connection_, pending->sequence);
    pending.reset();
  }
  Owned image{xcb_get_image_reply(connection_,
                                  pending ? *pending
                                          : xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                                                          static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                                          static_cast<std::uint16_t>(width),
                                                          static_cast<std::uint16_t>(height), 0xFFFFFFFFu),
                                  DroppedError())};
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // A 24- or 32-bit visual: four bytes a pixel, blue first.
  if (!image || (image->depth != 24 && image->depth != 32) ||
      static_cast<std::size_t>(xcb_get_image_data_length(image.reply)) != count * 4) {
    return false;
  }
  const std::uint8_t* data = xcb_get_image_data(image.reply);
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = std::uint32_t{data[4 * i + 2]} << 16 | std::uint32_t{data[4 * i + 1]} << 8 | data[4 * i];
  }
  return true;
}

DesktopRefusal X11WindowServer::refusal() const {
  if (shellOwnsTopBar_) return DesktopRefusal::shellOwnsTopBar;
  return noTopBand_ ? DesktopRefusal::noTopPanel : DesktopRefusal::none;
}

int X11WindowServer::screenNumber() const { return DefaultScreen(display_); }

double X11WindowServer::rootHeightPoints() const {
  return xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->height_in_pixels / pixelRatio_;
}

void X11WindowServer::watch(WindowNumber window) {
  if (window <= 0 || window > std::numeric_limits<std::uint32_t>::max()) return;
  const auto id = static_cast<std::uint32_t>(window);
  if (visibility_.contains(id)) return;
  Owned attributes{
      xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, id), DroppedError())};
  if (!attributes) return;
  const std::uint32_t mask =
      attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(connection_, id, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(connection_);
  visibility_[id] = -1;
}

bool X11WindowServer::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || message == nullptr) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  switch (event->response_type & 0x7F) {
    case XCB_VISIBILITY_NOTIFY: {
      const auto* visibility = static_cast<const xcb_visibility_notify_event_t*>(message);
      if (auto it = visibility_.find(visibility->window); it != visibility_.end()) it->second = visibility->state;
      break;
    }
    case XCB_UNMAP_NOTIFY: {
      const auto* unmap = static_cast<const xcb_unmap_notify_event_t*>(message);
      if (auto it = visibility_.find(unmap->window); it != visibility_.end()) it->second = -1;
      break;
    }
    case XCB_DESTROY_NOTIFY: {
      const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
      visibility_.erase(destroyed->window);
      break;
    }
    default:
      break;
  }
  return false;  // Qt handles every event as usual
}

DesktopSample X11WindowServer::sample(WindowNumber statusWindow, WindowNumber panel) {
  return sampleWith(statusWindow, panel, false);
}

DesktopSample X11WindowServer::sampleForMeasurement(WindowNumber statusWindow, WindowNumber panel) {
  return sampleWith(statusWindow, panel, true);
}

DesktopSample X11WindowServer::sampleWith(WindowNumber statusWindow, WindowNumber panel, bool measuring) {
  discardPrefetched();
  DesktopSample result;
  auto valid = [](WindowNumber n) { return n > 0 && n <= std::numeric_limits<std::uint32_t>::max(); };
  const bool askStatus = valid(statusWindow);
  const bool askPanel = valid(panel);
  if (askPanel) watch(panel);
  const auto statusId = static_cast<std::uint32_t>(askStatus ? statusWindow : 0);
  const auto panelId = static_cast<std::uint32_t>(askPanel ? panel : 0);

  // Both windows are this application's own, destroyed only on this thread and never
  // while they are sampled: the questions about them cannot fail, and go unchecked
  // (libxcb then keeps no record of each for a possible error).
  auto ask = [&](std::uint32_t id) {
    return WindowQuestions{xcb_get_window_attributes_unchecked(connection_, id),
                           xcb_get_geometry_unchecked(connection_, id),
                           xcb_translate_coordinates_unchecked(connection_, id, root_, 0, 0)};
  };
  WindowQuestions statusQuestions{}, panelQuestions{};
  if (askStatus) statusQuestions = ask(statusId);
  if (askPanel) panelQuestions = ask(panelId);
  const auto compositorOwner = xcb_get_selection_owner_unchecked(connection_, atoms_->compositor);
  askMeasurementQuestions(measuring, askPanel, true, true);

  const double pointsHigh = rootHeightPoints();
  auto answer = [&](const WindowQuestions& q) {
    WindowAnswers answers;
    Owned attributes{xcb_get_window_attributes_reply(connection_, q.attributes, DroppedError())};
    Owned geometry{xcb_get_geometry_reply(connection_, q.geometry, DroppedError())};
    Owned origin{xcb_translate_coordinates_reply(connection_, q.origin, DroppedError())};
    if (!attributes || !geometry || !origin) return answers;
    answers.pixels = QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
    answers.overrideRedirect = attributes->override_redirect != 0;
    const Rect frame{answers.pixels.x() / pixelRatio_,
                     pointsHigh - (answers.pixels.y() + answers.pixels.height()) / pixelRatio_,
                     answers.pixels.width() / pixelRatio_, answers.pixels.height() / pixelRatio_};
    answers.state = WindowState{attributes->map_state == XCB_MAP_STATE_VIEWABLE, 1.0, frame};
    return answers;
  };
  WindowAnswers status, panelAnswers;
  if (askStatus) status = answer(statusQuestions);
  if (askPanel) panelAnswers = answer(panelQuestions);
  Owned compositorReply{xcb_get_selection_owner_reply(connection_, compositorOwner, DroppedError())};
  // A compositing manager draws the screen itself: what the X server computes of
  // visibility then says nothing about what reaches the screen.
  const bool composited = !compositorReply || compositorReply->owner != XCB_WINDOW_NONE;

  // The properties, as of the stacking answer: kept from earlier samples where no
  // notice has named them since, asked where one has.
  stacking().await();
  using Question = X11Stacking::PropertyQuestion;
  using Answer = X11Stacking::PropertyAnswer;
  enum Property : std::size_t { currentDesktop, workArea, activeWindow, statusOpacity, panelOpacity, panelDesktop, count };
  // A window not asked about is 0 here, and its properties are not read.
  const std::array<Question, count> questions{{{root_, atoms_->currentDesktop, XCB_ATOM_CARDINAL, 1},
                                               {root_, atoms_->workArea, XCB_ATOM_CARDINAL, 256},
                                               {root_, atoms_->activeWindow, XCB_ATOM_WINDOW, 1},
                                               {statusId, atoms_->opacity, XCB_ATOM_CARDINAL, 1},
                                               {panelId, atoms_->opacity, XCB_ATOM_CARDINAL, 1},
                                               {panelId, atoms_->wmDesktop, XCB_ATOM_CARDINAL, 1}}};
  std::array<Answer, count> answers{};
  stacking().properties(questions, answers);
  // No opacity property is full opacity; one that could not be read counts as none.
  auto opacity = [](const Answer& a) {
    if (!a.read) return 0.0;
    return a.values.empty() ? 1.0 : static_cast<double>(a.values[0]) / 4294967295.0;
  };
  if (status.state) status.state->alpha = opacity(answers[statusOpacity]);
  if (panelAnswers.state) panelAnswers.state->alpha = opacity(answers[panelOpacity]);

  // The active window's state. A state that cannot be read counts as full screen; an
  // active window that is gone (the window manager has not named the next one yet)
  // covers nothing.
  const auto active = answers[activeWindow].values;
  const std::uint32_t activeId = active.empty() ? 0 : active[0];
  bool fullScreen = !answers[activeWindow].read;
  if (activeId != 0) {
    std::array<Answer, 1> state{};
    stacking().properties(std::array{Question{activeId, atoms_->wmState, XCB_ATOM_ATOM, 64}}, state);
    fullScreen = !state[0].read && !state[0].windowGone;
    for (std::uint32_t atom : state[0].values) fullScreen = fullScreen || atom == atoms_->fullScreen;
  }
  result.fullScreenActive = fullScreen;

  result.statusWindow = status.state;
  result.panel = panelAnswers.state;
  if (panelAnswers.state) prefetched_->panelPixels = panelAnswers.pixels;

  if (status.state) {
    const QPoint centre = status.pixels.center() / pixelRatio_;
    // Iterated as const: a non-const begin() would detach (copy) the shared list.
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (QScreen* screen : screens) {
      const QRect geometry = screen->geometry();
      if (!geometry.contains(centre)) continue;
      QRect available = geometry;
      const auto desktops = answers[currentDesktop].values;
      const auto areas = answers[workArea].values;
      const std::size_t index = desktops.empty() ? 0 : desktops[0];
      if (areas.size() >= 4 * (index + 1)) {
        const QRect area(static_cast<int>(areas[4 * index]), static_cast<int>(areas[4 * index + 1]),
                         static_cast<int>(areas[4 * index + 2]), static_cast<int>(areas[4 * index + 3]));
        available = geometry.intersected(QRect(area.topLeft() / pixelRatio_, area.size() / pixelRatio_));
      }
      auto bottomLeft = [&](const QRect& r) {
        return Rect{double(r.x()), pointsHigh - (double(r.y()) + r.height()), double(r.width()), double(r.height())};
      };
      result.screen = ScreenGeometry{bottomLeft(geometry), bottomLeft(available), 0, std::nullopt, std::nullopt};
      noTopBand_ = available.top() <= geometry.top();
      break;
    }
  }

  if (panelAnswers.state) {
    const auto it = visibility_.find(panelId);
    const int state = it == visibility_.end() ? -1 : it->second;
    result.occlusionStateKnown = !composited;
    result.panelOcclusionVisible = panelAnswers.state->visible && !composited &&
                                   (state == XCB_VISIBILITY_UNOBSCURED || state == XCB_VISIBILITY_PARTIALLY_OBSCURED);
    // A window the window manager does not manage is on no particular desktop: it is
    // shown on whichever is active. A managed one must be on the active desktop or on all.
    const auto desktop = answers[panelDesktop].values;
    const auto current = answers[currentDesktop].values;
    if (panelAnswers.overrideRedirect) {
      result.panelOnActiveDesktop = panelAnswers.state->visible;
    } else if (!desktop.empty() && !current.empty()) {
      result.panelOnActiveDesktop = desktop[0] == allDesktops || desktop[0] == current[0];
    }
  }
  return result;
}

void X11WindowServer::markAsTopBarItem(WindowNumber window) {
  if (window <= 0 || window > std::numeric_limits<std::uint32_t>::max()) return;
  const auto id = static_cast<std::uint32_t>(window);
  const xcb_atom_t type = internAtom(connection_, "_NET_WM_WINDOW_TYPE");
  const xcb_atom_t dock = internAtom(connection_, "_NET_WM_WINDOW_TYPE_DOCK");
  const std::uint32_t states[] = {
      internAtom(connection_, "_NET_WM_STATE_STICKY"), internAtom(connection_, "_NET_WM_STATE_ABOVE"),
      internAtom(connection_, "_NET_WM_STATE_SKIP_TASKBAR"), internAtom(connection_, "_NET_WM_STATE_SKIP_PAGER")};
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, type, XCB_ATOM_ATOM, 32, 1, &dock);
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, atoms_->wmState, XCB_ATOM_ATOM, 32, 4, states);
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, id, atoms_->wmDesktop, XCB_ATOM_CARDINAL, 32, 1,
                      &allDesktops);
  xcb_flush(connection_);
}

std::array<WindowNumber, 9> X11WindowServer::topmostWindows(const std::array<Point, 9>& points, WindowNumber lowest) {
  std::array<std::optional<QPoint>, 9> pixels{};
  const double pointsHigh = rootHeightPoints();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double x = std::floor(points[i].x * pixelRatio_);
    const double y = std::floor((pointsHigh - points[i].y) * pixelRatio_);
    if (!std::isfinite(x) || !std::isfinite(y) || x < -32768 || x > 32767 || y < -32768 || y > 32767) continue;
    pixels[i] = QPoint(static_cast<int>(x), static_cast<int>(y));
  }
  const auto lowestId = static_cast<std::uint32_t>(lowest > 0 && lowest <= std::numeric_limits<std::uint32_t>::max() ? lowest : 0);
  std::array<WindowNumber, 9> owners{};
  std::ranges::copy(stacking().topmost(pixels, lowestId), owners.begin());
  return owners;
}

double X11WindowServer::secondsSinceLastInput() {
  if (!screenSaverExtension_) return std::numeric_limits<double>::quiet_NaN();
  // The controller and the monitor ask several times in one tick: a reading of the last
  // 100 ms, aged by the time since, answers them with one exchange per tick.
  const auto now = std::chrono::steady_clock::now();
  if (const auto pending = prefetched_->take(connection_, prefetched_->idle)) {
    Owned info{xcb_screensaver_query_info_reply(connection_, *pending, DroppedError())};
    if (info) {
      idleSeconds_ = static_cast<double>(info->ms_since_user_input) / 1000.0;
      idleReadAt_ = prefetched_->askedAt;
      return idleSeconds_ + std::chrono::duration<double>(now - *idleReadAt_).count();
    }
  }
  if (idleReadAt_ && now - *idleReadAt_ < std::chrono::milliseconds(100)) {
    return idleSeconds_ + std::chrono::duration<double>(now - *idleReadAt_).count();
  }
  idleReadAt_.reset();
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  if (info == nullptr) return std::numeric_limits<double>::quiet_NaN();
  double seconds = std::numeric_limits<double>::quiet_NaN();
  if (XScreenSaverQueryInfo(display_, root_, info) != 0) {
    seconds = static_cast<double>(info->idle) / 1000.0;
    idleSeconds_ = seconds;
    idleReadAt_ = now;
  }
  XFree(info);
  return seconds;
}

bool X11WindowServer::displayAwake() {
  if (screenSaverExtension_) {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    if (info != nullptr) {
      const bool blanked = XScreenSaverQueryInfo(display_, root_, info) != 0 && info->state == ScreenSaverOn;
      XFree(info);
      if (blanked) return false;
    }
  }
  if (!dpmsExtension_) return true;
  CARD16 level = 0;
  BOOL enabled = False;
  if (DPMSInfo(display_, &level, &enabled) == 0) return true;
  return !enabled || level == DPMSModeOn;
}

}  // namespace nimbrella
