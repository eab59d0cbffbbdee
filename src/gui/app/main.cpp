#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"

int main(int argc, char** argv) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if ((!platform || !*platform) && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "osprin-gui: no display is available (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                 "Use the command line instead, for example:\n"
                 "  osprin drives --image DISK.img\n"
                 "  osprin partitions DISK.img\n"
                 "  osprin list DISK.img --partition 1\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("osprin-gui");
  QCommandLineParser parser;
  parser.setApplicationDescription("Recovers files from FAT16, FAT32 and NTFS disks and disk images");
  parser.addHelpOption();
  QCommandLineOption image("image", "Adds a disk image file as a drive (repeatable).", "FILE");
  parser.addOption(image);
  parser.process(app);
  osprin::gui::MainWindow w(parser.values(image));
  w.show();
  return app.exec();
}
