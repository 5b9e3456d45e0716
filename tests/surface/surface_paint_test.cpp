// Painting of the sponsored item's view, on Qt's offscreen platform: that a paint draws
// the plan, and that only a completed paint of fitting content proves anything.

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/ui/MenuBarSurface.hpp"
#include "surface/FakeDesktop.hpp"

#include <QApplication>
#include <QImage>

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

struct OffscreenApplication : ::testing::Environment {
  int argc = 1;
  char name[19] = "surface-paint-test";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<QApplication> app;
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app.reset(); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new OffscreenApplication);

// Paints the view at `size` and answers the picture.
QImage paint(MenuBarButton& view, int width, int height) {
  view.resize(width, height);
  return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Whether any pixel of the columns x0 .. x1 - 1 differs from `background`.
bool inked(const QImage& picture, int x0, int x1, const QColor& background) {
  for (int x = x0; x < x1; ++x) {
    for (int y = 0; y < picture.height(); ++y) {
      if (picture.pixelColor(x, y) != background) return true;
    }
  }
  return false;
}

TEST(SurfacePaint, SponsoredItemShowsStripeLogoAndTextOnlyWhereItFitsAndProvesThePaint) {
  QtTextMeasurer measurer;
  const MenuBarContent content{
      fakes::sponsoredCreative(fakes::pngDataUrl({.width = 28, .height = 14, .color = fixtures::PngColor::rgb})),
      measurer};
  MenuBarButton view;
  ASSERT_TRUE(view.configure(content));
  const QColor background = view.palette().color(QPalette::Window);
  // One point too narrow: only the background, and no proof.
  QImage picture = paint(view, 279, 24);
  EXPECT_FALSE(view.state().paintedContent());
  EXPECT_FALSE(inked(picture, 0, 279, background));

  picture = paint(view, 280, 24);
  ASSERT_EQ(view.state().paintedContent(), content);
  EXPECT_EQ(view.state().paintedSize(), (Size{280, 24}));
  EXPECT_EQ(picture.pixelColor(2, 12), QColor(0x1a, 0x2b, 0x3c)) << "accent stripe at x 1 to 4";
  EXPECT_EQ(picture.pixelColor(2, 1), background) << "the stripe leaves 3 points above";
  EXPECT_EQ(picture.pixelColor(5, 12), background);
  // A 28 x 14 logo is drawn 14 x 7, centred: rows 8.5 to 15.5 hold it, row 6 does not.
  EXPECT_NE(picture.pixelColor(14, 12), background);
  EXPECT_EQ(picture.pixelColor(14, 6), background);
  EXPECT_TRUE(inked(picture, 27, 60, background)) << "title and tagline from x 27";
  EXPECT_TRUE(inked(picture, 257, 275, background)) << "the Ad badge from W - 23";
  EXPECT_FALSE(inked(picture, 22, 26, background)) << "a gap between the logo box and the text";

  // A change of content clears the proof until the next paint.
  ASSERT_TRUE(view.configure(MenuBarContent{std::string("Nimbrella"), measurer}));
  EXPECT_FALSE(view.state().paintedContent());
}

TEST(SurfacePaint, WithoutLogoTheGridIsPaintedInTheLabelColour) {
  QtTextMeasurer measurer;
  MenuBarButton view;
  ASSERT_TRUE(view.configure(MenuBarContent{fakes::sponsoredCreative(std::nullopt, std::nullopt), measurer}));
  const QImage picture = paint(view, 280, 24);
  const QColor background = view.palette().color(QPalette::Window);
  EXPECT_EQ(picture.pixelColor(2, 12), background) << "no accent, no stripe";
  // The four squares of the 14-point box at x 7, y 5: (7..12, 5..10), (14..19, 12..17) ...
  for (const QPoint p : {QPoint(9, 7), QPoint(16, 7), QPoint(9, 14), QPoint(16, 14)}) {
    EXPECT_EQ(picture.pixelColor(p), view.palette().color(QPalette::WindowText)) << p.x() << "," << p.y();
  }
  EXPECT_EQ(picture.pixelColor(13, 11), background) << "the gap between the squares";
}

TEST(SurfacePaint, MeasuresInPointsOfTheScreen) {
  QtTextMeasurer measurer;
  const Size small = measurer.measure("Nimbrella", {FontWeight::semibold, 11.5});
  EXPECT_TRUE(small.width > 20 && small.width < 120 && small.height > 11 && small.height < 20)
      << small.width << " x " << small.height;
  EXPECT_NEAR(measurer.measure("Nimbrella", {FontWeight::semibold, 23}).width / small.width, 2.0, 0.25);
  EXPECT_EQ(measurer.measure("", {FontWeight::medium, 8}).width, 0);
}

}  // namespace
}  // namespace nimbrella
