#include "app/main_window.h"

namespace osprin::gui {

MainWindow::MainWindow(const QStringList& /*images*/, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Vantrel Osprin FAT and NTFS");
  resize(900, 600);
}

}  // namespace osprin::gui
