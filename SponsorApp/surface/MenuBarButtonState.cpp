#include "SponsorApp/surface/MenuBarButtonState.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrella {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<RgbColor> accentColor(std::string_view accentHex) {
  if (accentHex.empty()) return std::nullopt;
  const std::string_view digits = accentHex.substr(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    const int digit = hexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return RgbColor{static_cast<double>((value >> 16) & 0xFF) / 255.0, static_cast<double>((value >> 8) & 0xFF) / 255.0,
                  static_cast<double>(value & 0xFF) / 255.0};
}

MenuBarButtonState::Configuration MenuBarButtonState::configure(const MenuBarContent& content,
                                                                const LogoDecoder& decode) {
  if (renderedContent_ && *renderedContent_ == content) return Configuration::unchanged;
  std::optional<Size> newLogo;
  if (content.logoPNG()) {
    newLogo = decode ? decode(*content.logoPNG()) : std::nullopt;
    if (!newLogo || !(newLogo->width > 0) || !(newLogo->height > 0)) return Configuration::refused;
  }
  logoSize_ = newLogo;
  renderedContent_ = content;
  paintedContent_.reset();
  return Configuration::changed;
}

MenuBarPaintPlan MenuBarButtonState::plan(Size bounds) const {
  MenuBarPaintPlan plan;
  const double width = bounds.width;
  const double height = bounds.height;
  plan.background = {0, 0, width, height};
  if (!renderedContent_ || !renderedContent_->fits(bounds)) return plan;
  const MenuBarContent& content = *renderedContent_;
  plan.paintsContent = true;
  plan.roundedFill = {0, 0, width, height};

  if (content.accentHex()) {
    if (const auto color = accentColor(*content.accentHex())) {
      plan.accentStripe = Rect{1, 3, 3, height - 6};
      plan.accent = *color;
    }
  }

  plan.badgeOrigin = {width - 23, (height - 12) * 0.5};

  plan.logoBox = {7, (height - 14) * 0.5, 14, 14};
  const Rect& box = plan.logoBox;
  if (logoSize_) {
    const double scale = std::min(14.0 / logoSize_->width, 14.0 / logoSize_->height);
    const double drawnWidth = logoSize_->width * scale;
    const double drawnHeight = logoSize_->height * scale;
    plan.logoRect =
        Rect{box.x + (box.width - drawnWidth) * 0.5, box.y + (box.height - drawnHeight) * 0.5, drawnWidth, drawnHeight};
  } else {
    plan.gridSquares = {Rect{box.x, box.y, 5, 5}, Rect{box.x, box.y + 7, 5, 5}, Rect{box.x + 7, box.y, 5, 5},
                        Rect{box.x + 7, box.y + 7, 5, 5}};
  }

  // Two lines are centred together, the title above the tagline.
  const double titleHeight = content.titleSize().height;
  const double taglineHeight = content.tagline().empty() ? 0 : content.taglineSize().height;
  const double top = (height - (titleHeight + taglineHeight)) * 0.5;
  plan.titleOrigin = {27, top};
  plan.titleFont = content.titleFont();
  plan.taglineFont = MenuBarContent::taglineFont;
  if (!content.tagline().empty()) plan.taglineOrigin = Point{27, top + titleHeight};
  return plan;
}

void MenuBarButtonState::finishPaint(Size bounds) {
  if (!renderedContent_ || !renderedContent_->fits(bounds)) return;
  paintedContent_ = renderedContent_;
  paintedSize_ = bounds;
}

}  // namespace nimbrella
