// Renders an SVG file as a square PNG of the given side: the application icon in the
// hicolor sizes of the package. Usage: render_icon INPUT.svg OUTPUT.png SIDE

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: render_icon INPUT.svg OUTPUT.png SIDE\n");
    return 2;
  }
  const int side = std::atoi(argv[3]);
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid() || side <= 0) {
    std::fprintf(stderr, "render_icon: cannot render %s at %s\n", argv[1], argv[3]);
    return 1;
  }
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(0, 0, side, side));
  painter.end();
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "render_icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
