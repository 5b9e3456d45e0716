// The least a Qt Widgets program with a 0.25 s timer costs on this desktop: one small
// window shown and a repeating timer that does nothing. scripts/bench-app measures it
// beside the application, as the floor under the application's idle figures.
#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.setWindowTitle("Qt floor");
  window.resize(120, 24);
  window.show();
  QTimer timer;
  timer.start(250);
  return QApplication::exec();
}
