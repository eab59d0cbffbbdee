#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QPixmap>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"
#include "app/preview_pane.h"
#include "app/file_list_model.h"
#include "app/wizard_driver.h"
#include "widgets/message_box.h"

namespace {

// The screenshot mode: drives the window to a step, saves a picture of it
// and ends. Boxes are answered at once (OK, and No to every question).
int screenshot(osprin::gui::MainWindow& w, int step, const QString& file) {
  osprin::gui::setMessageBoxHook([](osprin::gui::BoxKind kind, const QString&) {
    return kind == osprin::gui::BoxKind::Info || kind == osprin::gui::BoxKind::Error ? int(QMessageBox::Ok)
                                                                                       : int(QMessageBox::No);
  });
  w.resize(1000, 720);
  w.show();
  QApplication::processEvents();
  QString error;
  if (!osprin::gui::driveToStep(w, step, error)) {
    std::fprintf(stderr, "osprin-gui: cannot reach step %d: %s\n", step, qPrintable(error));
    return 1;
  }
  // The browse step's list sorted by name, as a click on its title does.
  // A live text file selected, so that the preview beside the list shows it.
  if (step == 3)
    if (auto* list = w.findChild<QTableView*>("fileList")) {
      list->sortByColumn(0, Qt::AscendingOrder);
      osprin::gui::FileListModel* m = w.listModel();
      for (int r = 0; r < m->count(); ++r)
        if (!m->row(r).folder && !m->row(r).deleted &&
            QString::fromStdString(m->row(r).name).endsWith(".txt", Qt::CaseInsensitive)) {
          list->selectRow(r);
          break;
        }
      for (int i = 0; i < 300 && w.previewPane()->reading(); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
      }
    }
  // Let the last reports of the workers and the layout settle.
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
  if (!w.grab().save(file)) {
    std::fprintf(stderr, "osprin-gui: cannot write %s\n", qPrintable(file));
    return 1;
  }
  return 0;
}

}  // namespace

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
  QApplication::setOrganizationName("osprin");
  QApplication::setApplicationVersion(OSPRIN_VERSION);
  QCommandLineParser parser;
  parser.setApplicationDescription("Recovers files from FAT16, FAT32, NTFS and exFAT disks and disk images");
  parser.addHelpOption();
  QCommandLineOption image("image", "Adds a disk image file as a drive (repeatable).", "FILE");
  parser.addOption(image);
  QCommandLineOption shotStep("screenshot-step", "Drives the window to wizard step N (0-3).", "N");
  shotStep.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(shotStep);
  QCommandLineOption shotFile("screenshot", "Saves a picture of the window to FILE and ends.", "FILE");
  shotFile.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(shotFile);
  QCommandLineOption noDisks("no-machine-disks", "Lists only the --image files.");
  noDisks.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(noDisks);
  parser.process(app);

  // An empty folder stands for a machine without disks.
  const QString sysRoot = parser.isSet(noDisks) ? QStringLiteral("/nonexistent/osprin") : QStringLiteral("/sys/block");
  osprin::gui::MainWindow w(parser.values(image), nullptr, sysRoot);
  for (const QString& e : w.startupErrors()) std::fprintf(stderr, "osprin-gui: cannot open %s\n", qPrintable(e));

  if (parser.isSet(shotFile)) {
    bool ok = false;
    int step = parser.value(shotStep).toInt(&ok);
    if (!ok || step < 0 || step > 3) {
      std::fprintf(stderr, "osprin-gui: --screenshot-step takes 0, 1, 2 or 3\n");
      return 2;
    }
    return screenshot(w, step, parser.value(shotFile));
  }

  w.show();
  if (!w.startupErrors().isEmpty())
    QTimer::singleShot(0, &w, [&w] {
      osprin::gui::okBox(&w, osprin::MsgKind::Error, "Unable to open the disk image(s):\n" + w.startupErrors().join("\n"));
    });
  return app.exec();
}
