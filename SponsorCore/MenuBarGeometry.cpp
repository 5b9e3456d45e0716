#include "SponsorCore/MenuBarGeometry.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrella {

namespace {

constexpr double minimumReservedHeight = 12;
constexpr double maximumReservedHeight = 80;
constexpr double minimumItemWidth = 24;
constexpr double maximumItemWidth = 280;
constexpr double minimumItemHeight = 12;

}  // namespace

bool Rect::isFinite() const {
  return std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height) &&
         std::isfinite(x + width) && std::isfinite(y + height);
}

bool Rect::isEmpty() const {
  return width == 0 || height == 0 || std::isnan(width) || std::isnan(height);
}

bool Rect::contains(const Rect& other) const {
  if (isEmpty() || other.isEmpty()) return false;
  return minX() <= other.minX() && other.maxX() <= maxX() && minY() <= other.minY() &&
         other.maxY() <= maxY();
}

namespace MenuBarGeometry {

std::optional<double> topReservedHeight(const Rect& screen, const Rect& visibleFrame) {
  if (!screen.contains(visibleFrame)) return std::nullopt;
  const Size visible = visibleFrame.size();
  if (!(visible.width > 0 && visible.height > 0)) return std::nullopt;
  const double reserved = screen.maxY() - visibleFrame.maxY();
  if (!std::isfinite(reserved) || reserved < minimumReservedHeight || reserved > maximumReservedHeight) {
    return std::nullopt;
  }
  return reserved;
}

std::optional<Rect> rendererFrame(const Rect& inside) {
  if (!inside.isFinite()) return std::nullopt;
  const double left = std::ceil(inside.minX());
  const double bottom = std::ceil(inside.minY());
  const double right = std::floor(inside.maxX());
  const double top = std::floor(inside.maxY());
  const Rect snapped{left, bottom, right - left, top - bottom};
  if (!(snapped.width >= minimumItemWidth && snapped.height >= minimumItemHeight)) return std::nullopt;
  if (!inside.contains(snapped)) return std::nullopt;
  return snapped;
}

bool qualifies(const Rect& slot, const Rect& screen, double menuBarHeight, double notchInset,
               const std::vector<Rect>& safeTopAreas) {
  if (!slot.isFinite() || !screen.isFinite() || !std::isfinite(menuBarHeight) || !std::isfinite(notchInset)) {
    return false;
  }
  if (!std::all_of(safeTopAreas.begin(), safeTopAreas.end(), [](const Rect& area) { return area.isFinite(); })) {
    return false;
  }
  const Size slotSize = slot.size();
  if (slotSize.width < minimumItemWidth || slotSize.width > maximumItemWidth || slotSize.height < minimumItemHeight) {
    return false;
  }
  if (menuBarHeight < minimumReservedHeight) return false;
  if (!screen.contains(slot)) return false;
  const double bandHeight = std::max(menuBarHeight, notchInset);
  const Rect topBand{screen.minX(), screen.maxY() - bandHeight, screen.size().width, bandHeight};
  if (!topBand.contains(slot)) return false;
  if (notchInset > 0) {
    return std::any_of(safeTopAreas.begin(), safeTopAreas.end(),
                       [&](const Rect& area) { return !area.isEmpty() && area.contains(slot); });
  }
  return true;
}

}  // namespace MenuBarGeometry
}  // namespace nimbrella
