// The wizard from the disk step to the browse step and back, with the
// standard and the advanced scan, on the sample disk (FAT32, NTFS and two
// logical FAT16 partitions).
#include <QFile>

#include "app/list_order.h"
#include "recovery/verdict.h"
#include "wizard_support.h"

namespace osprin::gui::test {
namespace {

const QString kHint = "If you don't find your file(s) or folder(s) here, you can use \"Advance scan\"";

TEST_F(WizardTest, StartsAtTheDiskStepWithTheImageListed) {
  EXPECT_EQ(w->step(), 0);
  QTreeWidget* t = w->driveTree();
  ASSERT_EQ(t->topLevelItemCount(), 1);
  EXPECT_EQ(t->topLevelItem(0)->text(0), "My Computer");
  EXPECT_TRUE(t->topLevelItem(0)->isExpanded());
  // The name, the model and the size.
  const DriveInfo& d0 = w->session().drives[0];
  EXPECT_EQ(childLabels(t), QStringList{"Storage Device0 \u2014 Disk image sample.img (" +
                                        humanSize(d0.totalSectors * 512) + ")"});
  EXPECT_EQ(w->currentTree(), t);
  EXPECT_TRUE(find<QRadioButton>("standardRadio")->isChecked());
  EXPECT_EQ(w->scanType(), ScanType::Standard);
  EXPECT_TRUE(find<QWidget>("scanTypeGroup")->isVisible());
  EXPECT_TRUE(find<QWidget>("scanTypeHelp")->isVisible());
  EXPECT_FALSE(find<QWidget>("rangeGroup")->isVisible());
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_FALSE(shown("backButton"));
  EXPECT_FALSE(find<QWidget>("searchButton")->isVisible());
  EXPECT_FALSE(shown("stopButton"));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpDisk));
  EXPECT_EQ(w->infoPanel()->labels(),
            (QStringList{"Model", "Capacity", "Cylinders", "Head", "Sectors Per Track", "Sector Size"}));
  // Before the first scan the list has no columns.
  EXPECT_EQ(w->listModel()->columnCount(), 0);
  EXPECT_EQ(menuState(), expectedState("disk", true));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(WizardTest, StandardScanOfTheFat32PartitionReachesTheBrowseStep) {
  // A real click on the drive item shows its geometry and Next.
  chooseDrive();
  EXPECT_TRUE(shown("nextButton"));
  const DriveInfo& d = w->session().drives.at(0);
  EXPECT_EQ(w->infoPanel()->value("Cylinders"), QString::number(d.cylinders));
  EXPECT_EQ(w->infoPanel()->value("Capacity"), QString::number(d.totalSectors / 2048) + " MB ( Approx )");

  w->next();
  ASSERT_EQ(w->step(), 1);
  EXPECT_NE(w->session().reader, nullptr);
  EXPECT_EQ(w->currentTree(), w->partitionTree());
  EXPECT_EQ(w->partitionTree()->topLevelItem(0)->text(0), "Storage Device 0");
  EXPECT_EQ(childLabels(w->partitionTree()), (QStringList{"Partition 1 - FAT32", "Partition 2 - NTFS",
                                                           "Partition 3 - FAT16", "Partition 4 - FAT16"}));
  EXPECT_FALSE(find<QWidget>("scanTypeGroup")->isVisible());
  EXPECT_TRUE(shown("searchButton"));
  EXPECT_TRUE(shown("backButton"));
  EXPECT_FALSE(shown("nextButton"));  // until a partition is chosen
  EXPECT_FALSE(find<QWidget>("rangeGroup")->isVisible());  // standard scan
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpPartition));
  EXPECT_EQ(menuState(), expectedState("selection", true));
  EXPECT_EQ(w->infoPanel()->labels(),
            (QStringList{"Partition Type", "Partition Start", "Partition End", "Partition Size"}));

  clickItem(w->partitionTree(), child(w->partitionTree(), 0));
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(w->infoPanel()->value("Partition Type"), "FAT32");
  EXPECT_EQ(w->infoPanel()->value("Partition Start"), "2048");
  EXPECT_EQ(w->infoPanel()->value("Partition End"), "71679");
  EXPECT_EQ(w->infoPanel()->value("Partition Size"), "34 MB ( Aprox )");

  w->next();
  w->waitForJob();
  ASSERT_EQ(w->step(), 3);
  EXPECT_TRUE(sawBox(us(kHint), BoxKind::Info));
  EXPECT_FALSE(w->busy());
  EXPECT_EQ(w->currentTree(), w->folderTree());
  EXPECT_EQ(w->folderTree()->topLevelItem(0)->text(0), "Root");
  EXPECT_EQ(childLabels(w->folderTree()).size(), 3);
  EXPECT_TRUE(w->listShown());
  EXPECT_TRUE(shown("backButton"));
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_FALSE(shown("stopButton"));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpBrowse));
  EXPECT_EQ(menuState(), expectedState("browse", true));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::StandardScan);
  EXPECT_EQ(w->infoPanel()->value("Folder(s) Found"), "4");
  EXPECT_EQ(w->infoPanel()->value("File(s) Found"), "6");

  // The seven columns, "Size" right-aligned after a standard scan.
  FileListModel* m = w->listModel();
  ASSERT_EQ(m->columnCount(), 7);
  QStringList titles;
  for (int c = 0; c < 7; ++c) titles << m->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  EXPECT_EQ(titles, (QStringList{"Name", "Type", "Size", "Created", "Modified", "ID", "Recoverable"}));
  // The scan judged the deleted rows: each shows the verdict the session
  // holds for its record; live rows show none.
  int judged = 0;
  for (int r = 0; r < m->count(); ++r) {
    const QString v = m->data(m->index(r, FileListModel::RecoverableCol), Qt::DisplayRole).toString();
    EXPECT_EQ(v.isEmpty(), !m->row(r).deleted) << m->row(r).name;
    EXPECT_EQ(v, qs(verdictText(m->row(r).recoverable)));
    if (!v.isEmpty()) ++judged;
  }
  EXPECT_GE(judged, 1);
  auto* view = find<QTableView>("fileList");
  // Every column fits its title and its widest value.
  for (int c = 0; c < 6; ++c) {
    EXPECT_GE(view->columnWidth(c), static_cast<QAbstractItemView*>(view)->sizeHintForColumn(c)) << c;
    EXPECT_GE(view->columnWidth(c), view->horizontalHeader()->sectionSizeHint(c)) << c;
  }
  EXPECT_EQ(m->data(m->index(0, 2), Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignRight));

  // Folders first, then files; deleted rows red, others black.
  auto types = listTypes();
  ASSERT_EQ(types.size(), 5u) << boxTexts().join("|").toStdString();
  EXPECT_EQ(types["documents"], "Folder");
  EXPECT_EQ(types["old"], "Deleted Folder");
  EXPECT_TRUE(types["deleted file.txt"].startsWith("Deleted ")) << types["deleted file.txt"].toStdString();
  EXPECT_FALSE(types["readme.txt"].startsWith("Deleted"));
  for (int i = 0; i < m->count(); ++i) {
    if (m->row(i).folder) {
      EXPECT_LT(i, 3) << "folders come first";
    }
    QColor fg = m->data(m->index(i, 0), Qt::ForegroundRole).value<QBrush>().color();
    const QColor want = m->typeText(i).startsWith("Deleted") ? QColor(255, 0, 0) : QColor(0, 0, 0);
    EXPECT_EQ(fg, want) << m->row(i).name;
  }
  const int old = rowOf("Old");
  EXPECT_EQ(m->data(m->index(old, 2), Qt::DisplayRole).toString(), "");
  EXPECT_EQ(m->data(m->index(rowOf("deleted file.txt"), 2), Qt::DisplayRole).toString(), "900 bytes");

  // A double click on a folder row moves into it.
  const int docs = rowOf("Documents");
  doubleClick(view, m->index(docs, 0));
  auto inDocs = listTypes();
  EXPECT_EQ(inDocs.size(), 2u);
  EXPECT_EQ(inDocs["letters"], "Folder");
  EXPECT_EQ(inDocs.count("report.bin"), 1u);
  QTreeWidgetItem* cur = w->folderTree()->currentItem();
  ASSERT_NE(cur, nullptr);
  EXPECT_EQ(cur->text(0).toLower(), "documents");
  EXPECT_EQ(w->openFromTree(), 1);

  // And once more, into a folder two levels down: its parents are expanded.
  w->folderTree()->collapseAll();
  selectRow(rowOf("Letters"));
  find<QTableView>("fileList")->setFocus();
  QTest::keyClick(find<QTableView>("fileList"), Qt::Key_Tab);  // to the tree
  QTest::keyClick(w->folderTree(), Qt::Key_Tab);               // back to the list
  EXPECT_EQ(w->openFromTree(), 0);
  QTest::keyClick(find<QTableView>("fileList"), Qt::Key_Return);
  cur = w->folderTree()->currentItem();
  ASSERT_NE(cur, nullptr);
  EXPECT_EQ(cur->text(0).toLower(), "letters");
  for (QTreeWidgetItem* p = cur->parent(); p; p = p->parent()) EXPECT_TRUE(p->isExpanded()) << p->text(0).toStdString();
  EXPECT_EQ(listTypes().count("letter one.txt"), 1u);

  // A double click on a file row opens it with its program.
  const int letter = rowOf("letter one.txt");
  doubleClick(view, m->index(letter, 0));
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(QString::fromStdString(opened[0].first).toLower(), "letter one.txt");
  EXPECT_FALSE(opened[0].second);

  // A click on the tree's root lists the root again.
  clickItem(w->folderTree(), w->folderTree()->topLevelItem(0));
  EXPECT_EQ(listTypes().size(), 5u);
  EXPECT_EQ(w->openFromTree(), 1);
}

TEST_F(WizardTest, BackWalksToEachEarlierStepAndFreesWhatItShould) {
  toBrowseStep(0);
  ASSERT_GT(w->session().tree.fatFolders.size(), 0u);

  w->back();
  EXPECT_EQ(w->step(), 1);
  EXPECT_TRUE(w->backPressed());
  EXPECT_FALSE(w->listShown());
  EXPECT_EQ(w->listModel()->count(), 0);
  // One column "Details" with 44 blanks in front, 500 wide.
  ASSERT_EQ(w->listModel()->columnCount(), 1);
  EXPECT_EQ(w->listModel()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
            QString(44, ' ') + "Details");
  EXPECT_EQ(find<QTableView>("fileList")->columnWidth(0), 500);
  EXPECT_TRUE(w->session().tree.fatFolders.empty());
  EXPECT_TRUE(w->session().tree.fatFiles.empty());
  EXPECT_EQ(w->folderTree()->topLevelItem(0)->childCount(), 0);
  EXPECT_EQ(w->currentTree(), w->partitionTree());
  EXPECT_TRUE(w->partitionTree()->isEnabled());
  EXPECT_TRUE(shown("nextButton"));  // the partition scanned stays chosen
  EXPECT_EQ(w->partitionTree()->currentItem(), child(w->partitionTree(), 0));
  EXPECT_TRUE(shown("searchButton"));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpPartition));
  EXPECT_EQ(menuState(), expectedState("selection", true));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::Partition);
  EXPECT_EQ(w->infoPanel()->value("Partition Start"), "2048");

  // Another partition can be scanned from here (NTFS).
  w->chooseTreeItem(child(w->partitionTree(), 1));
  w->next();
  w->waitForJob();
  ASSERT_EQ(w->step(), 3);
  auto types = listTypes();
  EXPECT_EQ(types["documents"], "Folder");
  EXPECT_EQ(types["old"], "Deleted Folder");
  EXPECT_TRUE(types["deleted file.txt"].startsWith("Deleted "));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::StandardScan);
  EXPECT_TRUE(w->statusText().isEmpty());

  w->back();
  ASSERT_EQ(w->step(), 1);
  EXPECT_TRUE(w->session().tree.ntfsFolders.empty());
  w->back();
  EXPECT_EQ(w->step(), 0);
  EXPECT_EQ(w->session().reader, nullptr);  // the disk is closed
  EXPECT_EQ(w->currentTree(), w->driveTree());
  EXPECT_TRUE(find<QWidget>("scanTypeGroup")->isVisible());
  EXPECT_FALSE(shown("backButton"));
  EXPECT_FALSE(find<QWidget>("searchButton")->isVisible());
  EXPECT_TRUE(shown("nextButton"));  // the drive stays chosen
  EXPECT_TRUE(button("nextButton")->isVisible() && button("backButton")->isVisible());  // disabled, not hidden
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpDisk));
  EXPECT_EQ(menuState(), expectedState("disk", true));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::Drive);

  // And forward again.
  toPartitionStep();
  EXPECT_EQ(childLabels(w->partitionTree()).size(), 4);
}

TEST_F(WizardTest, AdvancedScanMountsAFoundNtfsFileSystem) {
  toPartitionStep(/*advanced=*/true);
  // The range controls, filled from the first partition; Next at once.
  EXPECT_TRUE(find<QWidget>("rangeGroup")->isVisible());
  EXPECT_TRUE(find<QWidget>("rangeHelp")->isVisible());
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(find<QComboBox>("fsCombo")->currentText(), "FAT32");
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "2048");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), "71680");

  // The NTFS partition as the range.
  w->chooseTreeItem(child(w->partitionTree(), 1));
  EXPECT_EQ(find<QComboBox>("fsCombo")->currentText(), "NTFS");
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "71680");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), "104447");

  w->next();
  EXPECT_TRUE(w->busy());
  EXPECT_EQ(menuState(), expectedState("disk", false));
  EXPECT_FALSE(w->partitionTree()->isEnabled());
  EXPECT_FALSE(find<QWidget>("rangeGroup")->isVisible());
  EXPECT_FALSE(shown("backButton"));
  EXPECT_EQ(w->infoPanel()->labels(), (QStringList{"Boot Sector(s) Found", "Index Entries Found", "File(s) Found",
                                                   "Folder(s) Found", "Current Sector"}));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpDeepScan));
  w->waitForJob();
  ASSERT_EQ(w->step(), 2);
  settle();  // late reports of the scan change nothing now
  EXPECT_TRUE(w->statusText().isEmpty()) << w->statusText().toStdString();
  EXPECT_FALSE(find<QWidget>("progressBar")->isVisible());
  EXPECT_EQ(w->currentTree(), w->foundTree());
  EXPECT_EQ(w->foundTree()->topLevelItem(0)->text(0), "File Systems");
  QStringList found = childLabels(w->foundTree());
  ASSERT_FALSE(found.isEmpty()) << "the deep scan found nothing on the NTFS partition";
  for (const QString& f : found) EXPECT_TRUE(f.startsWith("NTFS @")) << f.toStdString();
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_TRUE(shown("backButton"));
  EXPECT_EQ(menuState(), expectedState("selection", true));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpFoundFs));

  // "File Systems" selects nothing.
  clickItem(w->foundTree(), w->foundTree()->topLevelItem(0));
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_EQ(w->session().chosenFsIndex, 0);

  // The found file system whose start is the partition's.
  int pick = 0;
  for (int i = 0; i < found.size(); ++i)
    if (found[i] == "NTFS @71680") pick = i;
  clickItem(w->foundTree(), child(w->foundTree(), pick));
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(w->infoPanel()->labels(), (QStringList{"File System Start", "Sectors Per Cluster", "File System Size",
                                                   "MFT Start", "MFT Mirror Start"}));
  EXPECT_FALSE(w->infoPanel()->value("File System Start").isEmpty());
  EXPECT_TRUE(w->infoPanel()->value("File System Size").endsWith(" MB"));

  w->next();
  w->waitForJob();
  ASSERT_EQ(w->step(), 3);
  EXPECT_EQ(w->currentTree(), w->folderTree());
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpBrowse));
  EXPECT_EQ(menuState(), expectedState("browse", true));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::None);
  FileListModel* m = w->listModel();
  ASSERT_EQ(m->columnCount(), 7);
  // "Size" left-aligned after an advanced scan.
  EXPECT_EQ(m->data(m->index(0, 2), Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignLeft));
  auto types = listTypes();
  EXPECT_EQ(types["documents"], "Folder");
  EXPECT_EQ(types.count("readme.txt"), 1u);
  EXPECT_TRUE(shown("backButton"));

  // Back to the found file systems: the deep scan's results stay.
  w->back();
  ASSERT_EQ(w->step(), 2);
  EXPECT_EQ(w->currentTree(), w->foundTree());
  EXPECT_TRUE(w->foundTree()->isEnabled());
  EXPECT_EQ(childLabels(w->foundTree()), found);
  EXPECT_TRUE(shown("nextButton"));  // the mounted file system stays chosen
  EXPECT_EQ(w->foundTree()->currentItem(), child(w->foundTree(), 0));
  EXPECT_EQ(w->listModel()->columnCount(), 1);
  EXPECT_TRUE(w->session().tree.ntfsFolders.empty());
  EXPECT_FALSE(w->session().deep.foundFileSystems.empty());
  EXPECT_EQ(menuState(), expectedState("selection", true));

  // Back to the range: the deep scan's results are gone.
  w->back();
  ASSERT_EQ(w->step(), 1);
  EXPECT_TRUE(w->session().deep.foundFileSystems.empty());
  EXPECT_EQ(w->foundTree()->topLevelItem(0)->childCount(), 0);
  EXPECT_EQ(w->currentTree(), w->partitionTree());
  EXPECT_TRUE(find<QWidget>("rangeGroup")->isVisible());
  EXPECT_TRUE(shown("nextButton"));
}

TEST_F(WizardTest, AdvancedScanOfTheFat32PartitionMountsItsTree) {
  toPartitionStep(/*advanced=*/true);
  w->next();  // the first partition's range, as filled in
  w->waitForJob();
  ASSERT_EQ(w->step(), 2);
  QStringList found = childLabels(w->foundTree());
  ASSERT_FALSE(found.isEmpty());
  EXPECT_EQ(w->infoPanel()->labels(), (QStringList{"File System Start", "Sectors Per Cluster", "File System Size"}));
  int pick = -1;
  for (int i = 0; i < found.size() && pick < 0; ++i)
    if (found[i].startsWith("FAT32 @")) pick = i;
  ASSERT_GE(pick, 0) << found.join(", ").toStdString();
  w->chooseTreeItem(child(w->foundTree(), pick));
  w->next();
  w->waitForJob();
  ASSERT_EQ(w->step(), 3);
  auto types = listTypes();
  EXPECT_EQ(types["documents"], "Folder");
  EXPECT_EQ(types["pictures"], "Folder");
}

TEST_F(WizardTest, AdvancedScanThatFindsNothingLeavesNextHidden) {
  toPartitionStep(/*advanced=*/true);
  // A FAT scan of the NTFS partition's range finds no FAT structure.
  find<QComboBox>("fsCombo")->setCurrentText("FAT16");
  find<QLineEdit>("startEdit")->setText("71700");
  find<QLineEdit>("endEdit")->setText("71900");
  w->next();
  w->waitForJob();
  ASSERT_EQ(w->step(), 2);
  EXPECT_EQ(w->foundTree()->topLevelItem(0)->childCount(), 0);
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_TRUE(shown("backButton"));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpFoundFs));
  w->back();
  EXPECT_EQ(w->step(), 1);
}

TEST_F(WizardTest, RangeFieldsAreCheckedBeforeADeepScanStarts) {
  toPartitionStep(/*advanced=*/true);
  auto* start = find<QLineEdit>("startEdit");
  auto* end = find<QLineEdit>("endEdit");
  struct Case {
    const char* start;
    const char* end;
    std::string_view message;
  } cases[] = {{"abc", "200", texts::kStartInvalid},
               {"", "200", texts::kStartInvalid},
               {"-5", "200", texts::kStartInvalid},
               {"100", "x1", texts::kEndInvalid},
               {"100", "", texts::kEndInvalid},
               {"100", "100", texts::kEndNotBigger},
               {"300", "200", texts::kEndNotBigger}};
  for (const Case& c : cases) {
    boxes.clear();
    start->setText(c.start);
    end->setText(c.end);
    w->next();
    EXPECT_FALSE(w->busy()) << c.start << " " << c.end;
    EXPECT_EQ(w->step(), 1);
    ASSERT_EQ(boxes.size(), 1u) << c.start << " " << c.end;
    EXPECT_EQ(boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes[0].text, qs(c.message));
    EXPECT_TRUE(shown("nextButton"));  // the user can correct and try again
  }
}

TEST_F(WizardTest, ScanFullDiskFillsAndLocksTheRange) {
  toPartitionStep(/*advanced=*/true);
  auto* check = find<QCheckBox>("fullDiskCheck");
  check->setChecked(true);
  EXPECT_FALSE(w->partitionTree()->isEnabled());
  EXPECT_FALSE(find<QWidget>("searchButton")->isEnabled());
  EXPECT_FALSE(find<QWidget>("startEdit")->isEnabled());
  EXPECT_FALSE(find<QWidget>("endEdit")->isEnabled());
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "0");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), QString::number(w->session().drives[0].totalSectors));
  EXPECT_EQ(find<QComboBox>("fsCombo")->currentText(), "FAT32");

  check->setChecked(false);
  EXPECT_TRUE(w->partitionTree()->isEnabled());
  EXPECT_TRUE(find<QWidget>("searchButton")->isEnabled());
  EXPECT_TRUE(find<QWidget>("startEdit")->isEnabled());
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "2048");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), "71680");

  // The drive item gives the whole disk as the range.
  w->chooseTreeItem(w->partitionTree()->topLevelItem(0));
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "0");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), QString::number(w->session().drives[0].totalSectors));
  EXPECT_EQ(find<QComboBox>("fsCombo")->currentText(), "FAT32");
  EXPECT_TRUE(shown("nextButton"));
}

// A disk without any partition: the table is read, then the quick search.
class BlankDiskTest : public WizardTest {
 protected:
  void SetUp() override {
    dir = osprin::test::makeTempDir("blank");
    path = QString::fromStdString(dir + "/blank.img");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(sizeBytes()));
    f.close();
    open({path});
  }
  virtual qint64 sizeBytes() const { return 40LL * 16065 * 512; }  // 40 cylinders of zeros
  std::string dir;
  QString path;
};

TEST_F(BlankDiskTest, NoPartitionStartsTheQuickSearchThenSaysSo) {
  chooseDrive();
  w->next();
  // The announcement comes first, then the search runs on the worker.
  ASSERT_GE(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, qs(texts::kNoPartitionsSearching));
  EXPECT_EQ(boxes[0].kind, BoxKind::Info);  // not an error: the information icon
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpLostSearch));
  w->waitForJob();
  EXPECT_EQ(w->step(), 1);
  ASSERT_EQ(boxes.size(), 2u) << boxTexts().join("|").toStdString();
  EXPECT_EQ(boxes[1].text, qs(texts::kNoPartitionStandard));
  EXPECT_TRUE(shown("backButton"));
  EXPECT_TRUE(shown("searchButton"));
  EXPECT_FALSE(shown("stopButton"));
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_TRUE(w->partitionTree()->isEnabled());
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpPartition));
  EXPECT_EQ(menuState(), expectedState("selection", true));
}

TEST_F(BlankDiskTest, InTheAdvancedScanTheSearchEndsWithNextShown) {
  toPartitionStep(/*advanced=*/true);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, qs(texts::kNoPartitionAdvanced));
  EXPECT_TRUE(shown("nextButton"));
  // With no partition the range is the whole disk.
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "0");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), QString::number(w->session().drives[0].totalSectors));
}

// A GPT disk whose primary header is gone: the partitions come from the
// backup header (said in a box), named; the Linux partition is listed as
// Unknown and refused for a standard scan, but gives its range to the
// advanced scan.
class GptDiskTest : public WizardTest {
 protected:
  void SetUp() override { open({QString::fromStdString(osprin::test::fixtureImage("gpt_backup"))}); }
};

TEST_F(GptDiskTest, NamesUnknownPartitionsAndTheBackupHeader) {
  toPartitionStep();
  ASSERT_EQ(boxes.size(), 1u) << boxTexts().join("|").toStdString();
  EXPECT_EQ(boxes[0].text,
            "The primary GPT header is damaged (no \"EFI PART\" signature); the partitions come from the backup "
            "header at sector 108543.");
  EXPECT_EQ(childLabels(w->partitionTree()),
            (QStringList{QString::fromUtf8("Partition 1 - FAT32 (Données FAT32)"), "Partition 2 - NTFS (Windows data)",
                         "Partition 3 - Unknown (linux)"}));
  boxes.clear();
  clickItem(w->partitionTree(), child(w->partitionTree(), 2));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, BoxKind::Error);
  EXPECT_EQ(boxes[0].text, qs(texts::kPartitionUnknownFs));
  EXPECT_FALSE(shown("nextButton"));
  EXPECT_EQ(w->infoPanel()->value("Partition Type"), "Unknown");
  EXPECT_EQ(w->infoPanel()->value("Partition Start"), "104448");
  EXPECT_EQ(w->infoPanel()->imageText(), "Partition Name: linux");
  boxes.clear();
  clickItem(w->partitionTree(), child(w->partitionTree(), 1));
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(w->infoPanel()->value("Partition Type"), "NTFS");
  EXPECT_EQ(w->infoPanel()->imageText(), "Partition Name: Windows data");
  w->next();
  w->waitForJob();
  EXPECT_EQ(w->step(), 3);
}

TEST_F(GptDiskTest, AnUnknownPartitionIsARangeForTheAdvancedScan) {
  toPartitionStep(/*advanced=*/true);
  boxes.clear();
  clickItem(w->partitionTree(), child(w->partitionTree(), 2));
  EXPECT_TRUE(boxes.empty()) << boxTexts().join("|").toStdString();
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_EQ(find<QLineEdit>("startEdit")->text(), "104448");
  EXPECT_EQ(find<QLineEdit>("endEdit")->text(), "106495");
}

// A big, empty (sparse) disk: the quick search takes long enough to be stopped.
class BigBlankDiskTest : public BlankDiskTest {
 protected:
  qint64 sizeBytes() const override { return 1500LL * 1024 * 1024 * 1024; }
};

TEST_F(BigBlankDiskTest, StopEndsTheQuickSearchEarly) {
  int most = 0;
  bool asked = false;
  auto* bar = find<QProgressBar>("progressBar");
  QObject::connect(bar, &QProgressBar::valueChanged, w.get(), [&](int v) {
    most = std::max(most, v);
    if (v > 0 && !asked) {
      asked = true;
      EXPECT_TRUE(shown("stopButton"));
      QTest::mouseClick(button("stopButton"), Qt::LeftButton);
    }
  });
  answer = [](BoxKind k, const QString& t) {
    if (t == qs(texts::kStopQuestion)) return int(QMessageBox::Yes);
    return k == BoxKind::Question ? int(QMessageBox::No) : int(QMessageBox::Ok);
  };
  chooseDrive();
  w->next();
  EXPECT_TRUE(w->busy());
  // Only Stop is usable while the search runs.
  EXPECT_FALSE(shown("backButton"));
  EXPECT_FALSE(shown("searchButton"));
  EXPECT_FALSE(w->partitionTree()->isEnabled());
  EXPECT_EQ(menuState(), expectedState("disk", false));
  w->waitForJob();
  EXPECT_TRUE(asked);
  EXPECT_TRUE(sawBox(texts::kStopQuestion, BoxKind::Question));
  EXPECT_LT(most, 99) << "the search ran to its end";
  EXPECT_TRUE(sawBox(texts::kNoPartitionStandard, BoxKind::Info));
  EXPECT_EQ(w->step(), 1);
  EXPECT_FALSE(shown("stopButton"));
  EXPECT_TRUE(shown("backButton"));
  EXPECT_EQ(w->session().partitions.size(), 0u);
}

TEST_F(WizardTest, AnsweringNoToStopLetsTheWorkGoOn) {
  toPartitionStep();
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  ASSERT_TRUE(w->busy());
  EXPECT_TRUE(shown("stopButton"));
  w->stopCommand();  // answered No
  w->waitForJob();
  EXPECT_TRUE(sawBox(texts::kStopQuestion, BoxKind::Question));
  EXPECT_EQ(w->step(), 3);
  EXPECT_EQ(listTypes().size(), 5u);
}

TEST_F(WizardTest, SearchPartitionsReplacesTheList) {
  toPartitionStep();
  ASSERT_EQ(childLabels(w->partitionTree()).size(), 4);
  QTest::mouseClick(button("searchButton"), Qt::LeftButton);
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpLostSearch));
  w->waitForJob();
  // The sample's volumes start on 1 MiB boundaries, where the search looks
  // as well as at cylinder starts: it finds the four the table lists.
  EXPECT_EQ(childLabels(w->partitionTree()), (QStringList{"Partition 1 - FAT32", "Partition 2 - NTFS",
                                                           "Partition 3 - FAT16", "Partition 4 - FAT16"}));
  EXPECT_EQ(w->session().partitions.at(2).start, 106496u);
  EXPECT_EQ(w->step(), 1);
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpPartition));
}

TEST_F(WizardTest, AnImageThatCannotBeOpenedIsReported) {
  open({"/nonexistent/disk.img"});
  EXPECT_EQ(w->startupErrors().size(), 1);
  EXPECT_EQ(childLabels(w->driveTree()).size(), 0);
  EXPECT_FALSE(w->addImage("/nonexistent/other.img"));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, BoxKind::Error);
  EXPECT_TRUE(w->addImage(QString::fromStdString(osprin::test::fixtureImage("sample"))));
  ASSERT_EQ(childLabels(w->driveTree()).size(), 1);
  EXPECT_TRUE(childLabels(w->driveTree())[0].startsWith("Storage Device0 \u2014 Disk image sample.img ("));
  // The image added is chosen at once: Next takes it.
  EXPECT_EQ(w->driveTree()->currentItem(), child(w->driveTree(), 0));
  EXPECT_EQ(w->selectedDrive(), 0);
  EXPECT_TRUE(shown("nextButton"));
}

}  // namespace
}  // namespace osprin::gui::test

namespace osprin::gui::test {
namespace {

// The sample disk with both boot sectors of the NTFS partition wiped.
class DamagedNtfsTest : public WizardTest {
 protected:
  void SetUp() override {
    dir = osprin::test::makeTempDir("damaged");
    path = QString::fromStdString(dir + "/damaged.img");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(osprin::test::fixtureImage("sample")), path));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    const QByteArray zeros(512, '\0');
    for (qint64 sector : {71680LL, 104447LL}) {
      ASSERT_TRUE(f.seek(sector * 512));
      ASSERT_EQ(f.write(zeros), 512);
    }
    f.close();
    open({path});
  }
  std::string dir;
  QString path;
};

TEST_F(DamagedNtfsTest, AFailedStandardScanStaysAtThePartitionStep) {
  toPartitionStep();
  ASSERT_EQ(childLabels(w->partitionTree()).at(1), "Partition 2 - NTFS");
  w->chooseTreeItem(child(w->partitionTree(), 1));
  w->next();
  w->waitForJob();
  EXPECT_TRUE(sawBox("Recovery is not possible in Standard scan, use Sdvance scan", BoxKind::Error))
      << boxTexts().join("|").toStdString();
  EXPECT_EQ(w->step(), 1);
  EXPECT_EQ(w->currentTree(), w->partitionTree());
  EXPECT_TRUE(w->partitionTree()->isEnabled());
  EXPECT_TRUE(shown("backButton"));
  EXPECT_TRUE(shown("nextButton"));
  EXPECT_FALSE(shown("searchButton"));
  EXPECT_FALSE(shown("stopButton"));
  EXPECT_FALSE(w->listShown() && w->listModel()->count() > 0);
  EXPECT_EQ(menuState(), expectedState("selection", true));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::Partition);

  // Another partition can still be scanned.
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  w->waitForJob();
  EXPECT_EQ(w->step(), 3);
  EXPECT_EQ(listTypes().size(), 5u);
}

}  // namespace
}  // namespace osprin::gui::test
