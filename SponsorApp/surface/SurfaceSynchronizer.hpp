#pragma once

// The decision that shows the sponsored panel exactly over the status item or hides it.

#include "SponsorApp/surface/WindowServer.hpp"
#include "SponsorCore/MenuBarContent.hpp"

#include <optional>
#include <string>

namespace nimbrella::MenuBarSurfaceLogic {

// The status button's bounds in screen coordinates: its frame in its window moved by
// the window's origin.
Rect statusRectangle(const ViewState& button, const WindowState& window);

// The top bar is shown on this screen: a band is reserved at its top and no window is
// in full-screen mode.
bool menuBarVisible(const DesktopSample& sample);

// Whether `slot` is a valid place in the top bar of `screen` (the band's height, the
// housing inset and the safe areas beside it).
bool qualifiesOnScreen(const Rect& slot, const ScreenGeometry& screen);

// The accessibility label and the tooltip of the painted view for `content`.
std::string accessibilityLabel(const MenuBarContent& content);
std::string toolTip(const MenuBarContent& content);

// Shows `content` over the status item when every placement condition holds and the
// computer has had recent input, and answers true; otherwise hides the panel (when it
// is shown) and answers false. The idle time is asked after the desktop's sample, with
// which a window server may already have answered it. The panel is changed only where
// it differs from what is wanted; when it shows the panel and changes none of its
// window (frame, order, title), `unchanged` receives the sample, which then still
// describes the desktop as far as this application is concerned.
bool synchronize(SurfacePanel& panel, StatusItemPort* item, WindowServer& server, const MenuBarContent& content,
                 bool allowed, std::optional<DesktopSample>* unchanged = nullptr);

}  // namespace nimbrella::MenuBarSurfaceLogic
