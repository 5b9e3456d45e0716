// Painting of the sponsored item's view, on Qt's offscreen platform: that a paint draws
// the plan, and that only a completed paint of fitting content proves anything.

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/ui/MenuBarSurface.hpp"
#include "surface/FakeDesktop.hpp"

#include <QApplication>
#include <QImage>
#include <QPalette>

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

struct SurfacePaint : ::testing::Test {
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "surface-paint-test", *argv[] = {name, nullptr};
    static QApplication application(argc, argv);
  }

  // Paints the view at `width` x 24 and answers the picture.
  QImage paint(int width) {
    view.resize(width, 24);
    return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  // Whether any pixel of the columns x0 .. x1 - 1 differs from the background.
  bool inked(const QImage& picture, int x0, int x1) const {
    for (int x = x0; x < x1; ++x) {
      for (int y = 0; y < picture.height(); ++y) {
        if (picture.pixelColor(x, y) != background) return true;
      }
    }
    return false;
  }
  void expectColours(const QImage& picture, std::initializer_list<std::pair<QPoint, QColor>> expected) const {
    for (const auto& [p, colour] : expected) EXPECT_EQ(picture.pixelColor(p), colour) << p.x() << "," << p.y();
  }

  QtTextMeasurer measurer;
  MenuBarButton view;
  QColor background = view.palette().color(QPalette::Window);
};

TEST_F(SurfacePaint, StripeLogoOrGridAndTextAreDrawnOnlyWhereTheyFitAndOnlyThatPaintIsProof) {
  const MenuBarContent content{fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14})), measurer};
  ASSERT_TRUE(view.configure(content));
  // One point too narrow: only the background, and no proof.
  EXPECT_FALSE(inked(paint(279), 0, 277));
  EXPECT_FALSE(view.state().paintedContent());

  QImage picture = paint(280);
  ASSERT_EQ(view.state().paintedContent(), content);
  // The accent stripe at x 1 to 4 leaves 3 points above it. A 28 x 14 logo is drawn
  // 14 x 7, centred: rows 8.5 to 15.5 hold it, row 6 does not.
  expectColours(picture, {{QPoint(2, 12), QColor(0x1a, 0x2b, 0x3c)}, {QPoint(2, 1), background},
                          {QPoint(5, 12), background}, {QPoint(14, 6), background}});
  EXPECT_NE(picture.pixelColor(14, 12), background);
  EXPECT_TRUE(inked(picture, 27, 60)) << "title and tagline from x 27";
  EXPECT_TRUE(inked(picture, 257, 275)) << "the Ad badge from W - 23";
  EXPECT_FALSE(inked(picture, 22, 26)) << "a gap between the logo box and the text";

  // Without logo and accent: no stripe, and the grid's squares in the label colour with
  // the background between them.
  ASSERT_TRUE(view.configure(MenuBarContent{fakes::sponsoredCreative(std::nullopt, std::nullopt), measurer}));
  const QColor label = view.palette().color(QPalette::WindowText);
  expectColours(paint(280), {{QPoint(9, 7), label}, {QPoint(16, 7), label}, {QPoint(9, 14), label},
                             {QPoint(16, 14), label}, {QPoint(13, 11), background}, {QPoint(2, 12), background}});

  // New colours of the desktop's theme are painted at once, with nothing else changed.
  QPalette dark = view.palette();
  dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
  view.setPalette(dark);
  expectColours(paint(280), {{QPoint(9, 7), QColor(0xee, 0xee, 0xee)}, {QPoint(2, 12), QColor(0x20, 0x20, 0x20)}});
}

TEST_F(SurfacePaint, TextIsMeasuredInPointsOfTheScreen) {
  const Size small = measurer.measure("Nimbrella", {FontWeight::semibold, 11.5});
  EXPECT_TRUE(small.width > 20 && small.width < 120 && small.height > 11 && small.height < 20)
      << small.width << " x " << small.height;
  EXPECT_NEAR(measurer.measure("Nimbrella", {FontWeight::semibold, 23}).width / small.width, 2.0, 0.25);
  EXPECT_EQ(measurer.measure("", {FontWeight::medium, 8}).width, 0);
}

}  // namespace
}  // namespace nimbrella
