// What covers the strip is read from the stacking order and the windows' bounding
// shapes: another client's click-through overlay hides it, an input-only window does not.

#include "SponsorApp/linux/X11WindowServer.hpp"
#include "surface/DesktopSession.hpp"

#include <QGuiApplication>
#include <QScreen>
#include "surface/FakeDesktop.hpp"

#include <gtest/gtest.h>

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

namespace nimbrella {
namespace {

using S = EligibilitySnapshot;

// An unmanaged window of another client over `area` (X coordinates, top-left origin).
class Overlay {
 public:
  Overlay(const QRect& area, bool inputOnly, bool clickThrough) : display_(XOpenDisplay(nullptr)) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x202020;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), area.x(), area.y(),
                            static_cast<unsigned>(area.width()), static_cast<unsigned>(area.height()), 0,
                            inputOnly ? 0 : CopyFromParent, inputOnly ? InputOnly : InputOutput, CopyFromParent,
                            inputOnly ? CWOverrideRedirect : CWOverrideRedirect | CWBackPixel, &attributes);
    if (clickThrough) XShapeCombineRectangles(display_, window_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    XMapRaised(display_, window_);
    XSync(display_, False);
  }
  ~Overlay() {
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  WindowNumber id() const { return static_cast<WindowNumber>(window_); }

 private:
  Display* display_;
  Window window_;
};

class StackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = desktop::missingDesktop(); !missing.empty()) FAIL() << missing;
    ASSERT_NE(desktop::application(), nullptr);
    scene = std::make_unique<desktop::Scene>();
    scene->show(MenuBarContent(fakes::sponsoredCreative(), scene->measurer), true);
    ASSERT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();
    strip = scene->surface->window()->geometry();
  }
  WindowNumber ownerAtCentre() {
    const Rect frame = scene->item->frame();
    return scene->server->topmostWindows({Point{frame.x + frame.width / 2, frame.y + frame.height / 2}})[0];
  }

  std::unique_ptr<desktop::Scene> scene;
  QRect strip;
};

TEST_F(StackingTest, AClickThroughOverlayHidesTheStripAndAnInputOnlyWindowDoesNot) {
  {
    const Overlay dimmer(strip.adjusted(-10, 0, 10, 0), false, true);
    EXPECT_EQ(ownerAtCentre(), dimmer.id());
    EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.topmostSamplesPass; }).topmostSamplesPass);
  }
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();
  const Overlay hotCorner(strip.adjusted(-10, 0, 10, 0), true, false);
  EXPECT_EQ(ownerAtCentre(), scene->surface->windowNumber());
  desktop::pump(100);
  EXPECT_FALSE(scene->monitor->snapshot().failure()) << scene->monitor->debugSummary();
}

TEST_F(StackingTest, AfterAFailedCheckTheItemIsRaisedAboveWhatCoveredIt) {
  const Overlay cover(strip, false, false);
  EXPECT_EQ(ownerAtCentre(), cover.id());
  // The next synchronisation raises the panel over the window that is still there.
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();
  EXPECT_EQ(ownerAtCentre(), scene->surface->windowNumber());
}

TEST_F(StackingTest, UnderACompositingManagerOnlyThePaintedPixelsOnScreenProveTheStrip) {
  Display* other = XOpenDisplay(nullptr);
  const Window owner = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(other, XInternAtom(other, ("_NET_WM_CM_S" + std::to_string(DefaultScreen(other))).c_str(), False),
                     owner, CurrentTime);
  XSync(other, False);
  EXPECT_FALSE(scene->tickUntil([](const S& s) { return !s.failure(); }).failure()) << scene->monitor->debugSummary();

  // The marker changes between checks, on screen too.
  const QRect marker = scene->surface->buttonView()->markerRect().translated(strip.topLeft());
  const auto markerPixel = [&] {
    std::vector<std::uint32_t> pixel;
    EXPECT_TRUE(scene->server->readPixels(marker.x(), marker.y(), 1, 1, pixel));
    return pixel.empty() ? 0u : pixel[0];
  };
  desktop::pump(100);  // the repaint that the last check asked for
  const std::uint32_t before = markerPixel();
  scene->monitor->snapshot();
  desktop::pump(100);
  EXPECT_NE(markerPixel(), before);

  // Another client paints over the panel itself: the stacking and the X state do not
  // change, the pixels do.
  GC gc = XCreateGC(other, static_cast<Window>(scene->surface->windowNumber()), 0, nullptr);
  XSetForeground(other, gc, 0xFF00FF);
  XFillRectangle(other, static_cast<Window>(scene->surface->windowNumber()), gc, 0, 0,
                 static_cast<unsigned>(strip.width()), static_cast<unsigned>(strip.height()));
  XSync(other, False);
  EXPECT_FALSE(scene->monitor->snapshot().occlusionVisible);
  XFreeGC(other, gc);
  XDestroyWindow(other, owner);  // the selection goes with its owner
  XCloseDisplay(other);
}

// Sets a root window property of 32-bit values for the life of the object.
class RootProperty {
 public:
  RootProperty(const char* name, Atom type, std::vector<long> values) : display_(XOpenDisplay(nullptr)) {
    atom_ = XInternAtom(display_, name, False);
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, DefaultRootWindow(display_), atom_, 0, 256, False, AnyPropertyType, &type_, &format,
                       &count, &after, &data);
    if (data != nullptr && format == 32) old_.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
    if (data != nullptr) XFree(data);
    set(type, values);
  }
  ~RootProperty() {
    if (!old_.empty()) set(type_, old_);
    XCloseDisplay(display_);
  }

 private:
  void set(Atom type, const std::vector<long>& values) {
    XChangeProperty(display_, DefaultRootWindow(display_), atom_, type, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    XSync(display_, False);
  }
  Display* display_;
  Atom atom_, type_ = None;
  std::vector<long> old_;
};

TEST_F(StackingTest, DesktopsThatCannotShowASponsorAreRefusedWithTheirReason) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  {
    const RootProperty noBand("_NET_WORKAREA", XA_CARDINAL, {0, 0, screen.width(), screen.height() - 30});
    scene->tickUntil([this](const S&) { return scene->server->refusal() == DesktopRefusal::noTopPanel; });
    EXPECT_EQ(scene->monitor->desktopRefusal(), DesktopRefusal::noTopPanel);
    EXPECT_EQ(scene->monitor->lastDiagnostic(), platformText::topPanelNeeded.english);
  }
  scene->tickUntil([this](const S&) { return scene->server->refusal() == DesktopRefusal::none; });
  EXPECT_EQ(scene->monitor->desktopRefusal(), DesktopRefusal::none);

  // A window manager that calls itself GNOME Shell draws the top bar in its compositor.
  Display* other = XOpenDisplay(nullptr);
  const Window shell = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  const std::string name = "GNOME Shell";
  XChangeProperty(other, shell, XInternAtom(other, "_NET_WM_NAME", False), XInternAtom(other, "UTF8_STRING", False), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(name.data()), static_cast<int>(name.size()));
  XSync(other, False);
  {
    const RootProperty check("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(shell)});
    const X11WindowServer gnome;
    EXPECT_EQ(gnome.refusal(), DesktopRefusal::shellOwnsTopBar);
  }
  XDestroyWindow(other, shell);
  XCloseDisplay(other);
}

}  // namespace
}  // namespace nimbrella
