// The window's commands that run the browse step's dialogs: what the window
// itself does around them (the listing after File Filters, the browse step
// after a snapshot load, the row handed to Properties).
#include <QDialog>
#include <QFileDialog>
#include <QMenu>

#include "app/dialog_classes.h"
#include "wizard_support.h"

namespace osprin::gui::test {
namespace {

TEST_F(WizardTest, FileFiltersTakeEffectAtOnceAndNextEmptiesThem) {
  toBrowseStep(0);
  // Into a folder, so that the refresh visibly goes back to the root.
  w->chooseTreeItem(child(w->folderTree(), 0));
  ASSERT_EQ(listTypes().count("report.bin"), 1u);
  onNextModal([](QWidget* m) {
    auto* d = qobject_cast<FileFiltersDialog*>(m);
    ASSERT_NE(d, nullptr);
    d->edit->setText("*.BIN");
    EXPECT_TRUE(d->add());
    d->done(QDialog::Accepted);
  });
  action("actFileFilters")->trigger();
  EXPECT_EQ(w->session().filters.filterCount(), 1u);
  // The mark says the list is filtered and how much shows.
  ASSERT_TRUE(w->filterMark()->isVisible());
  std::size_t bins = 0;
  for (const FatFileNode& f : w->session().tree.fatFiles)
    if (QString::fromStdString(f.name).endsWith(".bin", Qt::CaseInsensitive)) ++bins;
  EXPECT_EQ(w->filterMark()->text(), QString("Filter: *.BIN \u2014 %1 of %2 files shown")
                                         .arg(bins)
                                         .arg(w->session().tree.fatFiles.size()));
  EXPECT_GT(bins, 0u);
  // The root again, with its folders only: no file of the root ends in .BIN.
  auto types = listTypes();
  EXPECT_EQ(types.size(), 3u);
  for (const auto& [name, type] : types) EXPECT_TRUE(type.endsWith("Folder")) << name.toStdString();
  EXPECT_EQ(w->folderTree()->currentItem(), w->folderTree()->topLevelItem(0));
  EXPECT_EQ(w->openFromTree(), 1);
  // Folders are never filtered; their files are.
  w->chooseTreeItem(child(w->folderTree(), 0));
  types = listTypes();
  EXPECT_EQ(types.count("report.bin"), 1u);
  EXPECT_EQ(types.count("letters"), 1u);

  // Next empties the filter table.
  w->back();
  EXPECT_FALSE(w->filterMark()->isVisible());
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  w->waitForJob();
  EXPECT_EQ(w->session().filters.filterCount(), 0u);
  EXPECT_EQ(listTypes().size(), 5u);
}

TEST_F(WizardTest, ASavedSnapshotLoadsStraightIntoTheBrowseStep) {
  toBrowseStep(1);  // NTFS
  const QStringList folders = childLabels(w->folderTree());
  const auto rootTypes = listTypes();
  const std::string dir = osprin::test::makeTempDir("snap");
  const QString file = QString::fromStdString(dir + "/ntfs");
  onNextModal([file](QWidget* m) {
    auto* d = qobject_cast<QFileDialog*>(m);
    ASSERT_NE(d, nullptr);
    d->selectFile(file);
    static_cast<QDialog*>(d)->accept();
  });
  action("actSaveSnapshot")->trigger();
  const QString written = QString::fromStdString(dir + "/NTFS.ZQRT");
  ASSERT_TRUE(QFileInfo::exists(written)) << boxTexts().join("|").toStdString();

  // Back to the partition step, where loading is offered.
  w->back();
  ASSERT_EQ(w->step(), 1);
  EXPECT_TRUE(action("actLoadSnapshot")->isEnabled());
  onNextModal([written](QWidget* m) {
    auto* d = qobject_cast<QFileDialog*>(m);
    ASSERT_NE(d, nullptr);
    d->selectFile(written);
    static_cast<QDialog*>(d)->accept();
  });
  action("actLoadSnapshot")->trigger();
  ASSERT_EQ(w->step(), 3) << boxTexts().join("|").toStdString();
  EXPECT_EQ(w->currentTree(), w->folderTree());
  EXPECT_TRUE(w->listShown());
  EXPECT_EQ(menuState(), expectedState("browse", true));
  EXPECT_EQ(w->quickHelpText(), helpShown(texts::kHelpBrowse));
  EXPECT_EQ(w->infoPanel()->mode(), InfoPanel::Mode::StandardScan);
  // The same tree as the scan's.
  auto types = listTypes();
  EXPECT_EQ(types, rootTypes);
  EXPECT_EQ(types["documents"], "Folder");
  EXPECT_EQ(types["old"], "Deleted Folder");
  EXPECT_EQ(types.count("readme.txt"), 1u);
  EXPECT_EQ(childLabels(w->folderTree()), folders);
  // Back behaves as after a standard scan.
  w->back();
  EXPECT_EQ(w->step(), 1);
  EXPECT_EQ(w->currentTree(), w->partitionTree());
  EXPECT_TRUE(w->partitionTree()->isEnabled());
}

TEST_F(WizardTest, PropertiesAndDriveInformationShowTheRowAndTheVolume) {
  toBrowseStep(0);
  selectRow(rowOf("deleted file.txt"));
  QString name, size;
  onNextModal([&](QWidget* m) {
    auto* d = qobject_cast<PropertiesDialog*>(m);
    ASSERT_NE(d, nullptr);
    name = d->nameValue->text();
    size = d->sizeValue->text();
    d->reject();
  });
  w->propertiesCommand();
  EXPECT_EQ(name.toLower(), "deleted file.txt");
  EXPECT_EQ(size, "900 bytes");

  QStringList values;
  onNextModal([&](QWidget* m) {
    auto* d = qobject_cast<DriveInformationDialog*>(m);
    ASSERT_NE(d, nullptr);
    for (QLabel* v : d->values) values << v->text();
    d->reject();
  });
  action("actDriveInfo")->trigger();
  ASSERT_FALSE(values.isEmpty());
  EXPECT_EQ(values[0], "FAT32");
}


TEST_F(WizardTest, FindHitsLeadToTheirFileAndOfferRecoverAndOpen) {
  toBrowseStep(0);
  // Find "report.bin" below Documents.
  FindFilesDialog d(w.get(), w->session());
  std::vector<FindHit> went;
  std::vector<std::pair<std::string, bool>> openedHits;
  std::vector<std::string> recovered;
  d.actions.goTo = [&](const FindHit& h) { went.push_back(h); EXPECT_TRUE(w->goToHit(h)); };
  d.actions.open = [&](const ListRow& r, bool with) { openedHits.push_back({r.name, with}); };
  d.actions.recover = [&](const std::vector<ListRow>& rows) { for (const auto& r : rows) recovered.push_back(r.name); };
  d.patternEdit->setText("*");
  d.show();
  d.startSearch();
  d.waitForSearch();
  settle();
  QTreeWidgetItem* report = nullptr;
  int red = 0;
  for (int i = 0; i < d.results->topLevelItemCount(); ++i) {
    QTreeWidgetItem* it = d.results->topLevelItem(i);
    if (it->text(0).compare("report.bin", Qt::CaseInsensitive) == 0) report = it;
    // Deleted hits are red, as in the list.
    const bool deleted = it->data(0, Qt::UserRole + 2).toBool();
    EXPECT_EQ(it->foreground(0).color() == QColor(255, 0, 0), deleted) << it->text(0).toStdString();
    red += deleted;
  }
  EXPECT_GT(red, 0);
  ASSERT_NE(report, nullptr);
  std::unique_ptr<QMenu> m(d.buildHitMenu(report));
  ASSERT_NE(m, nullptr);
  QStringList texts;
  for (QAction* a : m->actions())
    if (!a->isSeparator()) texts << a->text();
  EXPECT_EQ(texts, (QStringList{"&Go to File", "&Recover...", "&Open", "Open &With..."}));
  m->findChild<QAction*>("hitOpenWith")->trigger();
  m->findChild<QAction*>("hitRecover")->trigger();
  ASSERT_EQ(openedHits.size(), 1u);
  EXPECT_TRUE(openedHits[0].second);
  EXPECT_EQ(QString::fromStdString(recovered.at(0)).toLower(), "report.bin");
  // Double-click: the dialog closes, the list shows Documents with the file selected.
  d.goToItem(report);
  EXPECT_FALSE(d.isVisible());
  ASSERT_EQ(went.size(), 1u);
  EXPECT_EQ(w->folderTree()->currentItem()->text(0).toLower(), "documents");
  const int r = rowOf("report.bin");
  ASSERT_GE(r, 0);
  EXPECT_TRUE(find<QTableView>("fileList")->selectionModel()->isRowSelected(r, {}));
}


}  // namespace
}  // namespace osprin::gui::test
