// What the window remembers between runs, the marks of the folder tree, the
// panes that make room for the list, and what Recover All leaves out.
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QSplitter>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "wizard_support.h"

namespace osprin::gui::test {
namespace {

TEST_F(WizardTest, DeletedFoldersAreRedInTheFolderTreeToo) {
  toBrowseStep(1);  // NTFS: "Old" is a deleted folder
  QTreeWidgetItem* root = w->folderTree()->topLevelItem(0);
  ASSERT_NE(root, nullptr);
  int red = 0, black = 0;
  for (int i = 0; i < root->childCount(); ++i) {
    QTreeWidgetItem* it = root->child(i);
    const bool deleted = listTypes()[it->text(0).toLower()] == "Deleted Folder";
    const QColor c = it->foreground(0).color();
    if (deleted) {
      EXPECT_EQ(c, QColor(255, 0, 0)) << it->text(0).toStdString();
      ++red;
    } else {
      EXPECT_NE(c, QColor(255, 0, 0)) << it->text(0).toStdString();
      ++black;
    }
  }
  EXPECT_GE(red, 1);
  EXPECT_GE(black, 1);
}

TEST_F(WizardTest, SettingsAndLayoutAreRememberedBetweenRuns) {
  QSettings().clear();
  // Settings changed in the dialog and a layout changed by hand...
  onNextModal([](QWidget* m) {
    auto* d = qobject_cast<RecoverySettingsDialog*>(m);
    ASSERT_NE(d, nullptr);
    d->retriesCombo->setCurrentIndex(6);  // 7 retries
    d->systemFilesCheck->setChecked(true);
    d->accept();
  });
  action("actSettings")->trigger();
  EXPECT_EQ(w->session().settings.badSectorRetries, 7u);
  action("actQuickHelp")->trigger();  // hidden
  EXPECT_FALSE(find<QLabel>("quickHelp")->isVisible());
  toBrowseStep(0);
  action("actList")->trigger();
  w->listModel()->sort(FileListModel::SizeCol, Qt::DescendingOrder);
  answer = [](BoxKind, const QString& t) {
    return t == qs(texts::kExitQuestion) ? int(QMessageBox::Yes) : int(QMessageBox::Ok);
  };
  ASSERT_TRUE(w->close());

  // ...come back in the next run.
  open({QString::fromStdString(osprin::test::fixtureImage("sample"))});
  EXPECT_EQ(w->session().settings.badSectorRetries, 7u);
  EXPECT_TRUE(w->session().settings.includeSystemFiles);
  EXPECT_FALSE(action("actQuickHelp")->isChecked());
  EXPECT_FALSE(find<QLabel>("quickHelp")->isVisible());
  EXPECT_TRUE(action("actList")->isChecked());
  EXPECT_EQ(w->listModel()->sortColumn(), int(FileListModel::SizeCol));
  EXPECT_EQ(w->listModel()->sortOrder(), Qt::DescendingOrder);
  QSettings().clear();
}

TEST_F(WizardTest, TheInformationAreaAndQuickHelpGiveTheirRoomToTheList) {
  toBrowseStep(0);
  w->resize(640, 480);
  settle();
  QWidget* list = find<QTableView>("fileList");
  const int before = list->height();
  action("actInfoPanel")->trigger();
  action("actQuickHelp")->trigger();
  settle();
  EXPECT_FALSE(find<QWidget>("infoArea")->isVisible());
  EXPECT_GT(list->height(), before);
  // The window fits 640x480 with every pane shown.
  action("actInfoPanel")->trigger();
  action("actQuickHelp")->trigger();
  EXPECT_LE(w->minimumSizeHint().width(), 640);
  EXPECT_LE(w->minimumSizeHint().height(), 480);
  QSettings().clear();
}

TEST_F(WizardTest, RecoverAllLeavesTheNtfsSystemFilesOutUnlessAsked) {
  toBrowseStep(1);
  if (rowOf("$MFT") < 0) GTEST_SKIP() << "the sample's NTFS root lists no system files";
  QTemporaryDir out;
  ASSERT_TRUE(out.isValid());
  // The temporary folder is on the image's file system: recover there anyway.
  answer = [](BoxKind k, const QString&) {
    return k == BoxKind::Question || k == BoxKind::ErrorQuestion ? int(QMessageBox::Yes) : int(QMessageBox::Ok);
  };
  for (bool include : {false, true}) {
    w->session().settings.includeSystemFiles = include;
    const QString dest = out.filePath(include ? "with" : "without");
    QDir().mkpath(dest);
    // The destination is given to the dialog the way the tests of the
    // recovery dialog do: through recoverRows with the rows Recover All takes.
    std::vector<ListRow> rows = w->recoverAllRows();
    recoverRows(w.get(), w->session(), rows, dest);
    EXPECT_EQ(QFileInfo::exists(dest + "/$MFT"), include);
    EXPECT_EQ(QFileInfo::exists(dest + "/$LogFile"), include);
    EXPECT_TRUE(QFileInfo::exists(dest + "/readme.txt") || QFileInfo::exists(dest + "/README.TXT"));
  }
  QSettings().clear();
}

}  // namespace
}  // namespace osprin::gui::test
