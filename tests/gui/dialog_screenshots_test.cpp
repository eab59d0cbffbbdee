// Pictures of the browse-step dialogs for the documentation, written when
// OSPRIN_SCREENSHOT_DIR names a folder (scripts/screenshots.sh sets it);
// skipped otherwise. Each dialog is shown at its own preferred size, so a
// picture also shows whether its labels fit.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTreeWidget>

#include "app/dialog_classes.h"
#include "dialog_support.h"

using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

QString shotDir() { return qEnvironmentVariable("OSPRIN_SCREENSHOT_DIR"); }

void settle() {
  for (int i = 0; i < 10; ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
}

void shoot(QDialog& d, const char* name) {
  d.adjustSize();
  d.show();
  settle();
  const QString file = shotDir() + "/dialog-" + name + ".png";
  EXPECT_TRUE(d.grab().save(file)) << file.toStdString();
  // Nothing may be squeezed below what it asks for.
  for (QWidget* w : d.findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    const QSize hint = w->minimumSizeHint();
    if (hint.isValid()) {
      EXPECT_GE(w->width() + 1, hint.width())
          << name << ": " << w->metaObject()->className() << " " << w->objectName().toStdString();
    }
  }
  d.hide();
}

class DialogScreenshots : public DialogTest {
 protected:
  void SetUp() override {
    if (shotDir().isEmpty()) GTEST_SKIP() << "OSPRIN_SCREENSHOT_DIR is not set";
    DialogTest::SetUp();
  }
};

}  // namespace

TEST_F(DialogScreenshots, EveryDialog) {
  auto s = sampleSession(0);
  const auto root = s->listFolder(s->rootIdentity());

  {
    RecoveryFlags flags;
    SavingDialog d(nullptr, flags);
    d.pathValue->setText("/home/user/recovered/Documents/Letters");
    d.nameValue->setText("letter one.txt");
    d.totalValue->setText("12");
    d.setPlanned(340, 734003200);
    d.overallValue->setText("12 of 340 files (700 MB in all), about 3 min left");
    d.bar->setValue(42);
    shoot(d, "saving");
  }
  {
    RecoveryResult r;
    r.filesSaved = 1289;
    r.errors.push_back("cannot create /media/backup/recovered/Documents/report.bin: No space left on device");
    r.incomplete.push_back("/media/backup/recovered/Pictures/holiday 014.jpg");
    RecoverySummaryDialog d(nullptr, r, "/media/backup/recovered", {});
    shoot(d, "summary");
  }
  {
    RecoverySettingsDialog d(nullptr, s->settings);
    shoot(d, "settings");
  }
  {
    FindFilesDialog d(nullptr, *s);
    d.patternEdit->setText("*");
    d.show();
    d.startSearch();
    d.waitForSearch();
    settle();
    shoot(d, "find");
  }
  {
    Session f;
    f.filters.insertFront("*.TXT");
    f.filters.insertFront("*.DOC");
    f.filters.insertFront("REPORT*");
    FileFiltersDialog d(nullptr, f);
    d.edit->setText("*.JPG");
    shoot(d, "filters");
  }
  {
    DriveInformationDialog d(nullptr, *s);
    shoot(d, "drive-information");
  }
  {
    PropertiesDialog d(nullptr, *s, *findRow(root, "Documents"));
    shoot(d, "properties");
  }
  {
    std::vector<DesktopApp> apps(3);
    apps[0].name = "Text Editor";
    apps[0].exec = "gedit %U";
    apps[0].icon = "accessories-text-editor";
    apps[1].name = "Vim";
    apps[1].exec = "vim %F";
    apps[2].name = "LibreOffice Writer";
    apps[2].exec = "libreoffice --writer %U";
    OpenWithDialog d(nullptr, "/tmp/README.TXT", apps);
    shoot(d, "open-with");
  }
}
