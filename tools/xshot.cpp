// xshot FILE.png: writes a PNG of the whole X display ($DISPLAY), for `make run`'s pictures of
// the switcher on its embedded desktop.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: xshot FILE.png\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  int qt_argc = 1;
  QGuiApplication app(qt_argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) {
    std::fprintf(stderr, "xshot: no screen\n");
    return 1;
  }
  if (!screen->grabWindow(0).toImage().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "xshot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
