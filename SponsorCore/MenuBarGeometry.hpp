#pragma once

#include <optional>
#include <vector>

namespace nimbrella {

// A width and height in points.
struct Size {
  double width = 0;
  double height = 0;

  friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle in screen coordinates: origin at the bottom left, y growing upwards,
// units of points. A negative width or height extends the rectangle to the left or
// downwards; the edge accessors always give the standardized edges.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return width < 0 ? x + width : x; }
  double maxX() const { return width < 0 ? x : x + width; }
  double minY() const { return height < 0 ? y + height : y; }
  double maxY() const { return height < 0 ? y : y + height; }
  Size size() const { return {width < 0 ? -width : width, height < 0 ? -height : height}; }

  // True when every coordinate and every edge is a finite number.
  bool isFinite() const;
  // True when the rectangle covers no area (zero or not-a-number width or height).
  bool isEmpty() const;
  // True when `other` lies wholly inside this rectangle (shared edges count as inside).
  // Nothing is contained in an empty rectangle, and an empty rectangle is contained nowhere.
  bool contains(const Rect& other) const;

  friend bool operator==(const Rect&, const Rect&) = default;
};

// Pure rules for where in the top bar an item may be placed and measured.
namespace MenuBarGeometry {

// Height reserved at the top of a screen (the menu bar), from the screen's frame and
// its visible frame; nothing when the frames are inconsistent or the height is
// outside 12 to 80 points.
std::optional<double> topReservedHeight(const Rect& screen, const Rect& visibleFrame);

// The whole-point rectangle inside `rect` in which painting may happen; nothing when
// `rect` is not finite or the snapped rectangle is smaller than 24 x 12 points.
std::optional<Rect> rendererFrame(const Rect& inside);

// Whether an item at `slot` sits in a valid menu-bar place of `screen`.
bool qualifies(const Rect& slot, const Rect& screen, double menuBarHeight, double notchInset,
               const std::vector<Rect>& safeTopAreas);

}  // namespace MenuBarGeometry
}  // namespace nimbrella
