#pragma once

// The toolkit-free half of the view that paints a sponsored item: which content it
// was given, the proof of its last completed paint, and the plan of what a paint of a
// given size draws where.

#include "SponsorApp/surface/WindowServer.hpp"
#include "SponsorCore/MenuBarContent.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace nimbrella {

// A colour with components from 0 to 1, fully opaque.
struct RgbColor {
  double red = 0;
  double green = 0;
  double blue = 0;

  friend bool operator==(const RgbColor&, const RgbColor&) = default;
};

// The accent colour of "#rrggbb": the text after the first character read as a
// hexadecimal number of at most 32 bits. Nothing when that rest is empty or is not
// such a number.
std::optional<RgbColor> accentColor(std::string_view accentHex);

// What one paint of a view of a given size draws. Coordinates are the view's own with
// y growing downwards (the origin at the top left of its bounds); every text origin is
// the top left of the text's line box.
struct MenuBarPaintPlan {
  Rect background;  // filled with the window background colour in every paint
  // False when there is nothing to paint but the background (no content, or content
  // that does not fit); then nothing below applies.
  bool paintsContent = false;

  Rect roundedFill;  // radius 5, window background colour
  static constexpr double roundedFillRadius = 5;

  std::optional<Rect> accentStripe;  // radius 1.5
  RgbColor accent;
  static constexpr double accentRadius = 1.5;

  Point badgeOrigin;  // "Ad", 9 pt medium, label colour
  static constexpr std::string_view badgeText = "Ad";
  static constexpr FontSpec badgeFont{FontWeight::medium, 9.0};

  Rect logoBox;
  std::optional<Rect> logoRect;     // the scaled logo, centred in the box, when there is a logo
  std::array<Rect, 4> gridSquares;  // radius 1.5, label colour, when there is no logo
  static constexpr double gridRadius = 1.5;

  Point titleOrigin;
  FontSpec titleFont;
  std::optional<Point> taglineOrigin;
  FontSpec taglineFont;
};

// The content, logo size and proof of painting of the sponsored item's view.
class MenuBarButtonState {
 public:
  enum class Configuration { unchanged, changed, refused };

  // Decodes logo bytes; nothing when the platform's decoder refuses them, else the
  // logo's size in pixels (which is its size in points).
  using LogoDecoder = std::function<std::optional<Size>(const std::vector<std::uint8_t>&)>;

  // Takes new content. Equal content changes nothing. A logo that `decode` refuses
  // changes nothing either; otherwise the content and logo size are taken and the
  // proof of painting is cleared (the view then needs a paint).
  Configuration configure(const MenuBarContent& content, const LogoDecoder& decode);

  // A paint starts: the previous proof no longer holds.
  void beginPaint() { paintedContent_.reset(); }
  // What a paint of `bounds` draws.
  MenuBarPaintPlan plan(Size bounds) const;
  // A paint of `bounds` that followed `plan` ran to its end. Only a plan that painted
  // the content proves anything.
  void finishPaint(Size bounds);

  const std::optional<MenuBarContent>& renderedContent() const { return renderedContent_; }
  const std::optional<MenuBarContent>& paintedContent() const { return paintedContent_; }
  Size paintedSize() const { return paintedSize_; }
  const std::optional<Size>& logoSize() const { return logoSize_; }

 private:
  std::optional<MenuBarContent> renderedContent_;
  std::optional<MenuBarContent> paintedContent_;
  Size paintedSize_;
  std::optional<Size> logoSize_;
};

}  // namespace nimbrella
