#include "SponsorApp/linux/X11Stacking.hpp"

#include "SponsorApp/linux/XcbReply.hpp"

#include <QSocketNotifier>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace nimbrella {

namespace {
constexpr std::chrono::milliseconds fresh{100};
}

X11Stacking::X11Stacking(xcb_connection_t* fallback, const char* displayName, std::uint32_t root)
    : fallback_(fallback), root_(root) {
  xcb_connection_t* own = xcb_connect(displayName, nullptr);
  if (xcb_connection_has_error(own) == 0) {
    own_ = own;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(own_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(own_);
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(own_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readNotices(true); });
  } else {
    xcb_disconnect(own);
  }
  const xcb_query_extension_reply_t* shape = xcb_get_extension_data(connection(), &xcb_shape_id);
  shapeExtension_ = shape != nullptr && shape->present != 0;
  if (shapeExtension_) shapeNotify_ = static_cast<std::uint8_t>(shape->first_event + XCB_SHAPE_NOTIFY);
}

X11Stacking::~X11Stacking() {
  discard();
  notifier_.reset();
  if (own_ != nullptr) xcb_disconnect(own_);
}

xcb_connection_t* X11Stacking::connection() const { return own_ != nullptr ? own_ : fallback_; }

void X11Stacking::dropBrokenConnection() {
  if (own_ == nullptr || xcb_connection_has_error(own_) == 0) return;
  // Its questions died with it; from now on every walk asks everything on Qt's connection.
  pendingTree_.reset();
  std::free(std::exchange(heldTree_, nullptr));
  notifier_.reset();
  xcb_disconnect(own_);
  own_ = nullptr;
  windows_.clear();
  // Kept as they are (answers of this sample may still point into them), but asked again.
  for (Property& p : properties_) p.current = false;
  propertyWindows_.clear();
  const xcb_query_extension_reply_t* shape = xcb_get_extension_data(fallback_, &xcb_shape_id);
  shapeExtension_ = shape != nullptr && shape->present != 0;
}

void X11Stacking::ask() {
  discard();
  dropBrokenConnection();
  pendingTree_ = xcb_query_tree_unchecked(connection(), root_).sequence;
  askedAt_ = std::chrono::steady_clock::now();
  xcb_flush(connection());
}

void X11Stacking::await() {
  std::optional<unsigned int> pending = std::exchange(pendingTree_, std::nullopt);
  std::free(std::exchange(heldTree_, nullptr));
  if (!pending) return;
  heldTree_ = xcb_query_tree_reply(connection(), xcb_query_tree_cookie_t{*pending}, DroppedError());
  readNotices(false);
  // A new generation of properties: those that no read of the last one asked for are
  // dropped, and windows none of the rest belongs to are no longer followed.
  std::erase_if(properties_, [&](const Property& p) { return p.use != propertyGeneration_; });
  ++propertyGeneration_;
  std::erase_if(propertyWindows_, [&](std::uint32_t window) {
    if (std::ranges::any_of(properties_, [&](const Property& p) { return p.question.window == window; })) return false;
    if (own_ != nullptr) {
      const std::uint32_t none = 0;
      xcb_change_window_attributes(own_, window, XCB_CW_EVENT_MASK, &none);
    }
    return true;
  });
}

bool X11Stacking::askedRecently() const {
  return std::chrono::steady_clock::now() - askedAt_ < fresh;
}

bool X11Stacking::asked() const {
  return (pendingTree_ || heldTree_ != nullptr) && askedRecently();
}

void X11Stacking::discard() {
  if (pendingTree_) xcb_discard_reply(connection(), *std::exchange(pendingTree_, std::nullopt));
  std::free(std::exchange(heldTree_, nullptr));
}

void X11Stacking::propertyChanged(std::uint32_t window, std::uint32_t atom) {
  for (Property& p : properties_) {
    if (p.question.window == window && p.question.atom == atom) p.current = false;
  }
}

void X11Stacking::forgetProperties(std::uint32_t window) {
  for (Property& p : properties_) {
    if (p.question.window == window) p.current = false;
  }
  // Its successor under the same id is followed again when it is asked about.
  if (window != root_) std::erase(propertyWindows_, window);
}

void X11Stacking::properties(std::span<const PropertyQuestion> questions, std::span<PropertyAnswer> answers) {
  // What is kept holds only as of an answer awaited just now; otherwise everything is
  // asked, on Qt's connection once the own one has broken (also during this read).
  for (bool retry = false;; retry = true) {
    if (heldTree_ == nullptr || retry) dropBrokenConnection();
    if (readProperties(questions)) break;
    if (own_ == nullptr) break;  // Qt's connection is broken too: nothing could be read
  }
  for (std::size_t i = 0; i < questions.size() && i < answers.size(); ++i) {
    if (questions[i].window == 0) {
      answers[i] = PropertyAnswer{};
      continue;
    }
    const Property& p = *findProperty(questions[i]);
    answers[i] = PropertyAnswer{p.read, p.windowGone, p.values};
  }
}

std::vector<X11Stacking::Property>::iterator X11Stacking::findProperty(const PropertyQuestion& q) {
  return std::ranges::find_if(properties_, [&](const Property& p) {
    return p.question.window == q.window && p.question.atom == q.atom && p.question.type == q.type &&
           p.question.longs == q.longs;
  });
}

bool X11Stacking::readProperties(std::span<const PropertyQuestion> questions) {
  const bool synced = own_ != nullptr && heldTree_ != nullptr && askedRecently();
  xcb_connection_t* c = connection();
  askedProperties_.clear();
  propertyCookies_.clear();
  for (const PropertyQuestion& q : questions) {
    if (q.window == 0) continue;
    auto it = findProperty(q);
    if (it == properties_.end()) {
      it = properties_.insert(properties_.end(), Property{});
      it->question = q;
    }
    it->use = propertyGeneration_;
    if (synced && it->current) continue;
    // Following its property changes first: a change after the answer is then reported,
    // and so is the window's destruction. (A window gone meanwhile refuses; its error
    // makes readNotices forget it, to be followed again when it is next asked about.)
    if (own_ != nullptr && q.window != root_ && std::ranges::find(propertyWindows_, q.window) == propertyWindows_.end()) {
      const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(own_, q.window, XCB_CW_EVENT_MASK, &mask);
      propertyWindows_.push_back(q.window);
    }
    askedProperties_.push_back(static_cast<std::size_t>(it - properties_.begin()));
    propertyCookies_.push_back(xcb_get_property(c, 0, q.window, q.atom, q.type, 0, q.longs).sequence);
  }
  for (std::size_t k = 0; k < askedProperties_.size(); ++k) {
    Property& p = properties_[askedProperties_[k]];
    DroppedError error;
    Owned reply{xcb_get_property_reply(c, xcb_get_property_cookie_t{propertyCookies_[k]}, error)};
    p.read = static_cast<bool>(reply);
    p.windowGone = error.error != nullptr && error.error->error_code == XCB_WINDOW;
    p.values.clear();
    if (reply && reply->format == 32 && reply->type != XCB_ATOM_NONE) {
      const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.reply));
      p.values.assign(values, values + std::max(xcb_get_property_value_length(reply.reply), 0) / 4);
    }
    // Kept only when read on the own connection; the notices read next may still mark it.
    p.current = own_ != nullptr && p.read;
  }
  if (!askedProperties_.empty()) readNotices(false);
  if (xcb_connection_has_error(c) == 0) return true;
  for (Property& p : properties_) p.current = false;
  return false;
}

std::vector<X11Stacking::Window>::iterator X11Stacking::place(std::uint32_t id) {
  return std::lower_bound(windows_.begin(), windows_.end(), id,
                          [](const Window& w, std::uint32_t value) { return w.id < value; });
}

X11Stacking::Window* X11Stacking::find(std::uint32_t id) {
  const auto it = place(id);
  return it != windows_.end() && it->id == id ? &*it : nullptr;
}

void X11Stacking::changed(std::uint32_t window, bool created) {
  Window* w = find(window);
  if (w == nullptr) return;
  w->current = false;
  // A window created or destroyed under this id is another window: its shape changes are
  // not reported until it is followed itself.
  if (created) w->followed = false;
}

void X11Stacking::readNotices(bool fromSocket) {
  if (own_ == nullptr) return;
  while (xcb_generic_event_t* event = fromSocket ? xcb_poll_for_event(own_) : xcb_poll_for_queued_event(own_)) {
    const std::uint8_t type = event->response_type & 0x7F;
    switch (type) {
      case XCB_MAP_NOTIFY: changed(reinterpret_cast<xcb_map_notify_event_t*>(event)->window); break;
      case XCB_UNMAP_NOTIFY: changed(reinterpret_cast<xcb_unmap_notify_event_t*>(event)->window); break;
      case XCB_CONFIGURE_NOTIFY: changed(reinterpret_cast<xcb_configure_notify_event_t*>(event)->window); break;
      case XCB_REPARENT_NOTIFY: changed(reinterpret_cast<xcb_reparent_notify_event_t*>(event)->window); break;
      case XCB_GRAVITY_NOTIFY: changed(reinterpret_cast<xcb_gravity_notify_event_t*>(event)->window); break;
      case XCB_DESTROY_NOTIFY: {
        const std::uint32_t window = reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window;
        changed(window, true);
        forgetProperties(window);
        break;
      }
      case XCB_PROPERTY_NOTIFY: {
        const auto* notice = reinterpret_cast<xcb_property_notify_event_t*>(event);
        propertyChanged(notice->window, notice->atom);
        break;
      }
      case XCB_CREATE_NOTIFY: changed(reinterpret_cast<xcb_create_notify_event_t*>(event)->window, true); break;
      case 0: {  // the error of a request sent unchecked
        const auto* error = reinterpret_cast<xcb_generic_error_t*>(event);
        // A property subscription to a window gone meanwhile: it is not followed.
        if (error->error_code == XCB_WINDOW && error->major_code == XCB_CHANGE_WINDOW_ATTRIBUTES) {
          forgetProperties(reinterpret_cast<xcb_window_error_t*>(event)->bad_value);
        }
        break;
      }
      default:
        if (shapeExtension_ && type == shapeNotify_) {
          changed(reinterpret_cast<xcb_shape_notify_event_t*>(event)->affected_window);
        }
        break;  // errors of a shape subscription to a window gone meanwhile, among others
    }
    std::free(event);
  }
  // A broken connection is let go before the next question, not in the middle of a walk.
  if (fromSocket && xcb_connection_has_error(own_) != 0) notifier_->setEnabled(false);
}

std::array<std::uint32_t, 9> X11Stacking::topmost(const std::array<std::optional<QPoint>, 9>& points,
                                                 std::uint32_t lowest) {
  std::array<std::uint32_t, 9> owners{};
  std::optional<unsigned int> pending = std::exchange(pendingTree_, std::nullopt);
  xcb_query_tree_reply_t* held = std::exchange(heldTree_, nullptr);
  if (!askedRecently()) {
    if (pending) xcb_discard_reply(connection(), *pending);
    pending.reset();
    std::free(std::exchange(held, nullptr));
  }
  if (!pending && held == nullptr) dropBrokenConnection();
  xcb_connection_t* c = connection();
  Owned tree{held != nullptr ? held
                             : xcb_query_tree_reply(c, pending ? xcb_query_tree_cookie_t{*pending}
                                                               : xcb_query_tree_unchecked(c, root_),
                                                    DroppedError())};
  if (!tree) return owners;
  // Every notice the server sent before this answer has arrived with it: once they are
  // read, a window still current is as the answer found it.
  readNotices(false);

  // The children from the bottom of the stacking order up; from `lowest` up when it is one.
  const xcb_window_t* all = xcb_query_tree_children(tree.reply);
  const xcb_window_t* end = all + xcb_query_tree_children_length(tree.reply);
  const xcb_window_t* found = std::find(all, end, lowest);
  order_.assign(lowest != 0 && found != end ? found : all, end);
  for (std::uint32_t id : order_) {
    const auto at = place(id);
    if (at != windows_.end() && at->id == id) continue;
    Window w;
    w.id = id;
    windows_.insert(at, std::move(w));
  }

  // What the windows not current can hide, asked together: a click-through window (an
  // empty input shape) still covers whatever its bounding shape covers.
  ++walks_;
  const bool checked = own_ == nullptr;
  asked_.clear();
  attributes_.clear();
  geometries_.clear();
  shapes_.clear();
  for (std::uint32_t id : order_) {
    Window& w = *find(id);
    w.walk = walks_;
    if (w.current) continue;
    asked_.push_back(static_cast<std::size_t>(&w - windows_.data()));
    // On the own connection the error of a window gone meanwhile comes as a notice, which
    // is dropped, and libxcb keeps no record of each question for it; on Qt's it must not
    // reach Qt.
    attributes_.push_back(checked ? xcb_get_window_attributes(c, id).sequence
                                  : xcb_get_window_attributes_unchecked(c, id).sequence);
    geometries_.push_back(checked ? xcb_get_geometry(c, id).sequence : xcb_get_geometry_unchecked(c, id).sequence);
    if (!shapeExtension_) continue;
    // Following its shape first: a change after the answer is then reported.
    if (own_ != nullptr && !w.followed) xcb_shape_select_input(c, id, 1);
    w.followed = own_ != nullptr;
    shapes_.push_back(checked ? xcb_shape_get_rectangles(c, id, XCB_SHAPE_SK_BOUNDING).sequence
                              : xcb_shape_get_rectangles_unchecked(c, id, XCB_SHAPE_SK_BOUNDING).sequence);
  }
  for (std::size_t k = 0; k < asked_.size(); ++k) {
    Window& w = windows_[asked_[k]];
    Owned attributes{xcb_get_window_attributes_reply(c, xcb_get_window_attributes_cookie_t{attributes_[k]},
                                                     DroppedError())};
    Owned geometry{xcb_get_geometry_reply(c, xcb_get_geometry_cookie_t{geometries_[k]}, DroppedError())};
    w.shape.clear();
    w.current = false;
    w.paints = false;
    if (!attributes || !geometry) {  // gone meanwhile: it is not in the next answer
      if (shapeExtension_) xcb_discard_reply(c, shapes_[k]);
      w.followed = false;
      continue;
    }
    w.current = own_ != nullptr;
    // Only a mapped window that draws can hide anything: an input-only window never does.
    w.paints = attributes->map_state == XCB_MAP_STATE_VIEWABLE && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
    const int border = geometry->border_width;
    w.outer = QRect(geometry->x, geometry->y, geometry->width + 2 * border, geometry->height + 2 * border);
    const QPoint origin(geometry->x + border, geometry->y + border);  // the origin of its shape
    if (!shapeExtension_) continue;
    Owned shape{xcb_shape_get_rectangles_reply(c, xcb_shape_get_rectangles_cookie_t{shapes_[k]}, DroppedError())};
    if (!shape || !w.paints) continue;  // gone meanwhile: its extent stands
    const xcb_rectangle_t* rectangles = xcb_shape_get_rectangles_rectangles(shape.reply);
    const int length = xcb_shape_get_rectangles_rectangles_length(shape.reply);
    for (int r = 0; r < length; ++r) {
      w.shape.emplace_back(origin.x() + rectangles[r].x, origin.y() + rectangles[r].y, rectangles[r].width,
                           rectangles[r].height);
    }
    if (length == 0) w.paints = false;  // an empty bounding shape shows nothing
  }
  // Windows this walk did not meet are gone, or below `lowest`, where no walk looks.
  std::erase_if(windows_, [&](const Window& w) { return w.walk != walks_; });
  // A connection that broke during the walk answered nothing for the windows asked, and
  // a covering window among them would read as gone: the walk proves nothing.
  if (xcb_connection_has_error(c) != 0) {
    for (Window& w : windows_) w.current = false;
    return owners;
  }

  // From the top of the stacking order down: the first window that draws at the point.
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!points[i]) continue;
    const QPoint p = *points[i];
    for (auto id = order_.rbegin(); id != order_.rend(); ++id) {
      const Window& w = *find(*id);
      if (!w.paints || !w.outer.contains(p)) continue;
      if (!w.shape.empty() && std::none_of(w.shape.begin(), w.shape.end(), [&](const QRect& r) { return r.contains(p); })) {
        continue;
      }
      owners[i] = w.id;
      break;
    }
  }
  return owners;
}

}  // namespace nimbrella
