#pragma once

// The root's children in stacking order and, for each, what it can hide: its class,
// map state, extent and bounding shape. The order is asked at every walk; what each
// window can hide is kept between walks and asked again only after the X server has
// said that it changed (a create, map, unmap, configure, gravity move, reparent or
// destroy of a root child, or a change of its shape), so a walk over an unchanged desktop is one exchange.
// Window properties are kept the same way: a property is asked again only once a
// PropertyNotify has named it, or the window it belongs to was destroyed.
//
// Those notices come on a connection of its own: the answer to the stacking question
// arrives after every notice the server sent before it, so once the notices queued on
// that connection are read, what is kept is as current as that answer. On Qt's
// connection they would come through Qt's event queue, later than the answers. Without
// its own connection (the display refuses a second one) every walk and every property
// read asks everything again on Qt's.

#include <QPoint>
#include <QRect>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct xcb_connection_t;
struct xcb_query_tree_reply_t;
class QSocketNotifier;

namespace nimbrella {

class X11Stacking {
 public:
  // Walks the children of `root`, on a connection of its own to `displayName` or, when
  // that fails, on `fallback` (Qt's connection) with nothing kept.
  X11Stacking(xcb_connection_t* fallback, const char* displayName, std::uint32_t root);
  ~X11Stacking();
  X11Stacking(const X11Stacking&) = delete;
  X11Stacking& operator=(const X11Stacking&) = delete;

  // Sends the stacking question now; the next walk within 100 ms takes its answer.
  void ask();
  // Waits for the answer to the question ask() sent and reads the notices that came
  // before it, so that properties() answers as of that answer; the walk then takes it.
  void await();
  // Whether a stacking question asked less than 100 ms ago waits for a walk.
  bool asked() const;
  // Drops an answer that no walk took.
  void discard();

  struct PropertyQuestion {
    std::uint32_t window = 0;
    std::uint32_t atom = 0;
    std::uint32_t type = 0;  // the type asked for; an answer of another type has no values
    std::uint32_t longs = 1;
  };
  struct PropertyAnswer {
    bool read = false;        // false: it could not be read (the window is gone, a broken connection)
    bool windowGone = false;  // the X server answered that the window does not exist
    // Its 32-bit values; empty when the property is absent or of another format or
    // type. Valid until the same property is read again or await() is called.
    std::span<const std::uint32_t> values;
  };
  // Answers each question as of the last answer await() took (or now, when none was
  // taken), from what is kept where nothing has changed since, asking the rest in one
  // exchange. `answers` holds one answer for each question; one about window 0 (no
  // window) is answered unread without asking.
  void properties(std::span<const PropertyQuestion> questions, std::span<PropertyAnswer> answers);

  // For each point (root pixels; nothing for a point not asked), the topmost child of
  // the root that draws there, counting from `lowest` up when it is one of them (from
  // the bottom otherwise); 0 where none does or the walk failed.
  std::array<std::uint32_t, 9> topmost(const std::array<std::optional<QPoint>, 9>& points, std::uint32_t lowest);

 private:
  struct Window {
    std::uint32_t id = 0;
    bool current = false;    // false: to be asked at the next walk
    bool followed = false;   // its shape changes are reported
    bool paints = false;     // mapped InputOutput with a nonempty bounding shape
    QRect outer;             // with its border, root coordinates
    std::vector<QRect> shape;  // bounding shape in root coordinates; empty when unshaped
    std::uint64_t walk = 0;  // the last walk that met it
  };
  struct Property {
    PropertyQuestion question;
    bool current = false;  // false: to be asked at the next read
    bool read = false, windowGone = false;
    std::vector<std::uint32_t> values;
    std::uint64_t use = 0;  // the last generation (one per await()) that asked for it
  };
  // Whether the last stacking question went out less than 100 ms ago.
  bool askedRecently() const;
  std::vector<Property>::iterator findProperty(const PropertyQuestion& question);
  // One exchange for the questions whose answer is not kept; false when the connection
  // broke meanwhile, and nothing is kept.
  bool readProperties(std::span<const PropertyQuestion> questions);
  void propertyChanged(std::uint32_t window, std::uint32_t atom);
  // A window destroyed: nothing kept of it holds for a later window of the same id.
  void forgetProperties(std::uint32_t window);
  // Reads the notices already queued on the own connection (and, with `fromSocket`,
  // those waiting on its socket), marking the windows they name to be asked again.
  void readNotices(bool fromSocket);
  void changed(std::uint32_t window, bool created = false);
  // Lets go of the own connection once it is broken, for `fallback` from then on.
  void dropBrokenConnection();
  // Where a window of `id` is, or would go, in windows_.
  std::vector<Window>::iterator place(std::uint32_t id);
  Window* find(std::uint32_t id);
  xcb_connection_t* connection() const;

  xcb_connection_t* own_ = nullptr;
  xcb_connection_t* fallback_ = nullptr;
  std::uint32_t root_ = 0;
  bool shapeExtension_ = false;
  std::uint8_t shapeNotify_ = 0;  // the event code of ShapeNotify on the own connection
  std::unique_ptr<QSocketNotifier> notifier_;

  std::optional<unsigned int> pendingTree_;
  xcb_query_tree_reply_t* heldTree_ = nullptr;  // the answer await() took, for the walk
  std::chrono::steady_clock::time_point askedAt_;

  std::vector<Property> properties_;
  std::vector<std::uint32_t> propertyWindows_;  // whose property changes are reported, besides the root
  std::uint64_t propertyGeneration_ = 0;
  // Room reused by every read: indexes into properties_ of those asked, their cookies' sequences.
  std::vector<std::size_t> askedProperties_;
  std::vector<unsigned int> propertyCookies_;

  std::vector<Window> windows_;  // sorted by id
  std::uint64_t walks_ = 0;
  // Room reused by every walk.
  std::vector<std::uint32_t> order_;      // the walk's windows, from the bottom up
  std::vector<std::size_t> asked_;        // indexes into windows_ of those asked this walk
  std::vector<unsigned int> attributes_, geometries_, shapes_;  // their cookies' sequences
};

}  // namespace nimbrella
