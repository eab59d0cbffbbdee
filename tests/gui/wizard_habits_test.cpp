// What the window remembers between runs, the marks of the folder tree, the
// panes that make room for the list, and what Recover All leaves out.
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QSplitter>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/preview_pane.h"
#include "wizard_support.h"

namespace osprin::gui::test {
namespace {

bool waitUntil(const std::function<bool()>& pred) {
  QDeadlineTimer deadline(20000);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

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
    EXPECT_FALSE(d->onlyIntactCheck->isChecked());  // off unless asked
    d->onlyIntactCheck->setChecked(true);
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
  EXPECT_TRUE(w->session().settings.onlyIntact);
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

// Selecting a file shows it beside the list as recovery would write it,
// read on a worker; a newer selection replaces an older one; the View menu
// hides the pane, and the window remembers it.
TEST_F(WizardTest, ThePreviewShowsTheSelectedFileAsRecoveryWritesIt) {
  QSettings().clear();
  open({QString::fromStdString(osprin::test::fixtureImage("sample"))});
  toBrowseStep(1);  // NTFS
  PreviewPane* pane = w->previewPane();
  ASSERT_NE(pane, nullptr);
  EXPECT_TRUE(pane->isVisible());
  EXPECT_TRUE(action("actPreview")->isChecked());
  const int text = rowOf("readme.txt");
  const int folder = rowOf("Documents");
  ASSERT_GE(text, 0);
  ASSERT_GE(folder, 0);
  const ListRow readme = w->listModel()->row(text);
  std::atomic<int> noCancel{0};
  const Session::Preview want = w->session().previewRow(readme, 1 << 16, noCancel);
  ASSERT_TRUE(want.ok);
  ASSERT_EQ(want.bytes.size(), readme.size);

  // The folder, then the file at once: only the file is shown.
  int shown = 0;
  QObject::connect(pane, &PreviewPane::shown, pane, [&] { ++shown; });
  selectRow(folder);
  selectRow(text);
  ASSERT_TRUE(waitUntil([&] { return shown > 0 && !pane->reading(); }));
  settle();
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(pane->name(), "readme.txt");
  EXPECT_EQ(pane->kind(), PreviewKind::Text);
  EXPECT_EQ(pane->shownText(), QString::fromUtf8(reinterpret_cast<const char*>(want.bytes.data()),
                                                 static_cast<qsizetype>(want.bytes.size())));

  // A folder clears it.
  selectRow(folder);
  EXPECT_EQ(pane->kind(), PreviewKind::None);

  // Hidden from the View menu, and so in the next run.
  action("actPreview")->trigger();
  EXPECT_FALSE(pane->isVisible());
  answer = [](BoxKind, const QString& t) {
    return t == qs(texts::kExitQuestion) ? int(QMessageBox::Yes) : int(QMessageBox::Ok);
  };
  ASSERT_TRUE(w->close());
  open({QString::fromStdString(osprin::test::fixtureImage("sample"))});
  EXPECT_FALSE(action("actPreview")->isChecked());
  EXPECT_FALSE(w->previewPane()->isVisible());
  QSettings().clear();
}

}  // namespace
}  // namespace osprin::gui::test
