// Menus, toolbar, keyboard, context menu, rename and the commands that hand
// things to the desktop.
#include <QCloseEvent>
#include <QFile>
#include <QToolButton>

#include "app/help_tips.h"

#include "wizard_support.h"

namespace osprin::gui::test {
namespace {

QStringList menuTexts(QMenu* m) {
  QStringList out;
  for (QAction* a : m->actions()) out << (a->isSeparator() ? QString("-") : a->text());
  return out;
}

TEST_F(WizardTest, MenusHaveTheirItemsInOrder) {
  QList<QAction*> top = w->menuBar()->actions();
  QStringList titles;
  for (QAction* a : top) titles << a->text();
  EXPECT_EQ(titles, (QStringList{"&Recovery", "&View", "&Tools", "&Help"}));
  EXPECT_EQ(menuTexts(top[0]->menu()),
            (QStringList{"&Recover Selected...", "Recover &All...", "-", "&Save Recovery Snapshot...",
                         "&Load Recovery Snapshot...", "-", "Open Disk Image...", "Sca&n Again", "-", "E&xit..."}));
  EXPECT_EQ(menuTexts(top[1]->menu()),
            (QStringList{"Ico&ns", "&List", "&Details", "-", "&Information Panel", "&Quick Help", "&Preview"}));
  EXPECT_EQ(menuTexts(top[2]->menu()), (QStringList{"&Find Files...", "File Fi&lters...", "Se&ttings...", "-",
                                                    "&Drive Information", "-", "Live &Update"}));
  EXPECT_EQ(menuTexts(top[3]->menu()),
            (QStringList{"&Contents", "Buy &Online", "&Home Page", "&About Vantrel Osprin..."}));
  EXPECT_EQ(action("actContents")->shortcut(), QKeySequence(Qt::Key_F1));
  // The usual keys.
  EXPECT_EQ(action("actFindFiles")->shortcut(), QKeySequence("Ctrl+F"));
  EXPECT_EQ(action("actExit")->shortcut(), QKeySequence("Ctrl+Q"));
  EXPECT_EQ(action("actRecoverSelected")->shortcut(), QKeySequence("Ctrl+R"));
  EXPECT_EQ(action("actRescan")->shortcut(), QKeySequence(Qt::Key_F5));
}

TEST_F(WizardTest, ToolbarAndButtonsCarryTheirTooltips) {
  QStringList tips;
  for (QAction* a : find<QToolBar>("toolbar")->actions())
    if (!a->isSeparator()) tips << a->toolTip();
  EXPECT_EQ(tips, (QStringList{"Copy the selected file(s) and folder(s) to your computer",
                               "Copy all the file(s) and folder(s) to your computer",
                               "Saves the snapshot of scan information, so that later on you need not to scan the disk "
                               "again",
                               "Loads the data from previously saved scan information",
                               "Search the file(s) in the recovered data", "Configures the software",
                               "Updates the software with latest changes from internet"}));
  EXPECT_EQ(button("nextButton")->toolTip(), "Go to next step");
  EXPECT_EQ(button("backButton")->toolTip(), "Go to previous step");
  EXPECT_EQ(button("stopButton")->toolTip(), "Stops the current process");
  EXPECT_EQ(button("searchButton")->toolTip(), "Click here to make a quick search of lost partitions");
  EXPECT_EQ(button("searchButton")->text(), "Search Partitions");
  EXPECT_EQ(button("homePageButton")->toolTip(), "Click here to visit software home page");
  EXPECT_EQ(button("buyButton")->toolTip(), "Click here to buy the software");
  EXPECT_EQ(find<QRadioButton>("standardRadio")->text(), "Standard Scan");
  EXPECT_EQ(find<QRadioButton>("advanceRadio")->text(), "Advance Scan");
  EXPECT_EQ(find<QLabel>("scanTypeLabel")->text(), "Scan Type");
  QStringList fs;
  for (int i = 0; i < find<QComboBox>("fsCombo")->count(); ++i) fs << find<QComboBox>("fsCombo")->itemText(i);
  EXPECT_EQ(fs, (QStringList{"FAT16", "FAT32", "NTFS", "exFAT"}));
  EXPECT_EQ(find<QCheckBox>("fullDiskCheck")->text(), "Scan full disk");
  EXPECT_EQ(find<QToolButton>("scanTypeHelp")->toolTip(), richTipToQt(kScanTypeTip));
  EXPECT_EQ(find<QToolButton>("rangeHelp")->toolTip(), richTipToQt(kScanControlTip));
}

TEST_F(WizardTest, ToolbarFollowsTheMenuState) {
  auto tb = [this](const char* n) { return action(n)->isEnabled(); };
  EXPECT_FALSE(tb("tbRecoverSelected"));
  EXPECT_FALSE(tb("tbLoadSnapshot"));
  EXPECT_TRUE(tb("tbSettings"));
  EXPECT_TRUE(tb("tbLiveUpdate"));
  toPartitionStep();
  EXPECT_TRUE(tb("tbLoadSnapshot"));
  EXPECT_FALSE(tb("tbSaveSnapshot"));
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  w->waitForJob();
  EXPECT_TRUE(tb("tbRecoverSelected"));
  EXPECT_TRUE(tb("tbRecoverAll"));
  EXPECT_TRUE(tb("tbSaveSnapshot"));
  EXPECT_TRUE(tb("tbFindFiles"));
  EXPECT_FALSE(tb("tbLoadSnapshot"));
}

TEST_F(WizardTest, EscapeNeverClosesTheWindow) {
  for (int step = 0; step < 2; ++step) {
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QTest::keyClick(w->currentTree(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(boxes.empty());
    if (step == 0) toPartitionStep();
  }
  EXPECT_EQ(w->step(), 1);
  w->back();
  toBrowseStep(0);
  boxes.clear();
  QTest::keyClick(find<QTableView>("fileList"), Qt::Key_Escape);
  QTest::keyClick(w->folderTree(), Qt::Key_Escape);
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(WizardTest, ClosingAsksFirst) {
  EXPECT_FALSE(w->close());  // answered No
  EXPECT_TRUE(w->isVisible());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, qs(texts::kExitQuestion));
  EXPECT_EQ(boxes[0].kind, BoxKind::Question);

  w->exitCommand();  // No again
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(boxes.size(), 2u);

  toBrowseStep(0);
  answer = [](BoxKind, const QString& t) {
    return t == qs(texts::kExitQuestion) ? int(QMessageBox::Yes) : int(QMessageBox::Ok);
  };
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(w->session().tree.fatFolders.empty());
  EXPECT_EQ(w->session().reader, nullptr);
}

TEST_F(WizardTest, HelpOpensTheManualAndNoCommandLeadsNowhere) {
  // The manual built from the project's docs, handed to the desktop.
  QTest::keyClick(w.get(), Qt::Key_F1);
  EXPECT_TRUE(boxes.empty()) << boxTexts().join("|").toStdString();
  ASSERT_EQ(urls.size(), 1u);
  ASSERT_TRUE(urls[0].isLocalFile());
  EXPECT_TRUE(urls[0].toLocalFile().endsWith("osprin-manual.html"));
  QFile manual(urls[0].toLocalFile());
  ASSERT_TRUE(manual.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(manual.readAll());
  EXPECT_TRUE(html.contains("Choose a disk"));
  EXPECT_TRUE(html.contains(QString::fromLatin1(OSPRIN_TEST_VERSION)));

  // Live Update says where updates come from and which version runs; the
  // window stays.
  action("tbLiveUpdate")->trigger();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, BoxKind::Info);
  EXPECT_TRUE(boxes[0].text.contains("package manager"));
  EXPECT_TRUE(boxes[0].text.contains(QString::fromLatin1(OSPRIN_TEST_VERSION)));
  EXPECT_TRUE(w->isVisible());

  boxes.clear();
  action("actAbout")->trigger();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.contains("Version " + QString::fromLatin1(OSPRIN_TEST_VERSION)));

  // Home Page and Buy Now: the project's page.
  boxes.clear();
  urls.clear();
  action("actBuyOnline")->trigger();
  QTest::mouseClick(button("homePageButton"), Qt::LeftButton);
  QTest::mouseClick(button("buyButton"), Qt::LeftButton);
  ASSERT_EQ(urls.size(), 3u);
  for (const QUrl& u : urls) EXPECT_EQ(u.scheme(), "https");
  EXPECT_TRUE(boxes.empty());

  // Without a browser each says so, with the address.
  urlOpens = false;
  QTest::mouseClick(button("homePageButton"), Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, BoxKind::Info);
  EXPECT_TRUE(boxes[0].text.contains(urls.back().toString())) << boxes[0].text.toStdString();
  QTest::keyClick(w.get(), Qt::Key_F1);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(boxes[1].text.contains("osprin-manual.html"));
}

TEST_F(WizardTest, MenuStatesFollowTheSteps) {
  EXPECT_EQ(menuState(), expectedState("disk", true));
  EXPECT_TRUE(action("actOpenImage")->isEnabled());
  toPartitionStep();
  EXPECT_EQ(menuState(), expectedState("selection", true));
  EXPECT_FALSE(action("actOpenImage")->isEnabled());
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  // While the scan runs nothing that starts other work is available.
  EXPECT_FALSE(action("actLoadSnapshot")->isEnabled());
  EXPECT_FALSE(action("actSettings")->isEnabled());
  w->waitForJob();
  EXPECT_EQ(menuState(), expectedState("browse", true));
  w->back();
  EXPECT_EQ(menuState(), expectedState("selection", true));
  w->back();
  EXPECT_EQ(menuState(), expectedState("disk", true));
  EXPECT_TRUE(action("actOpenImage")->isEnabled());
}

TEST_F(WizardTest, KeyboardAtTheBrowseStep) {
  toBrowseStep(0);
  auto* list = find<QTableView>("fileList");
  selectRow(rowOf("Pictures"));
  list->setFocus();
  // Tab moves between the list and the tree.
  QTest::keyClick(list, Qt::Key_Tab);
  EXPECT_EQ(w->openFromTree(), 1);
  QTest::keyClick(w->folderTree(), Qt::Key_Tab);
  EXPECT_EQ(w->openFromTree(), 0);
  // Enter opens the selected folder row, as a double click does.
  QTest::keyClick(list, Qt::Key_Return);
  EXPECT_EQ(listTypes().count("photo.jpg"), 1u);
  EXPECT_EQ(w->folderTree()->currentItem()->text(0).toLower(), "pictures");
  EXPECT_EQ(w->openFromTree(), 1);
  // Enter with the tree as the target lists the tree's folder.
  w->folderTree()->setCurrentItem(w->folderTree()->topLevelItem(0));
  QTest::keyClick(w->folderTree(), Qt::Key_Return);
  EXPECT_EQ(listTypes().size(), 5u);
  // F2 renames only while the list is the target.
  selectRow(rowOf("readme.txt"));
  QTest::keyClick(w->folderTree(), Qt::Key_F2);
  EXPECT_FALSE(w->renaming());
  QTest::keyClick(list, Qt::Key_Tab);  // the list was not the target: this moves to it
  QTest::keyClick(w->folderTree(), Qt::Key_Tab);
  EXPECT_EQ(w->openFromTree(), 0);
  QTest::keyClick(list, Qt::Key_F2);
  EXPECT_TRUE(w->renaming());
  // Tab does nothing while a rename is in progress.
  auto* editor = list->findChild<QLineEdit*>("renameEditor");
  ASSERT_NE(editor, nullptr);
  QTest::keyClick(editor, Qt::Key_Tab);
  EXPECT_TRUE(w->renaming());
  EXPECT_EQ(w->openFromTree(), 0);
  editor->setText("first.txt");
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_FALSE(w->renaming());
  int r = rowOf("first.txt");
  ASSERT_GE(r, 0);
  // The record takes the new name: the next listing shows it too.
  std::uint64_t id = w->listModel()->row(r).id;
  EXPECT_EQ(w->session().tree.fatFiles.at(w->session().tree.findFatFileByIndex(static_cast<std::uint32_t>(id))).name,
            "first.txt");
  EXPECT_TRUE(opened.empty());
}

TEST_F(WizardTest, RenamingAFolderRenamesItsTreeItemAndAnEmptyNameKeepsTheOld) {
  toBrowseStep(1);  // NTFS
  FileListModel* m = w->listModel();
  int r = rowOf("Pictures");
  ASSERT_GE(r, 0);
  const std::uint32_t item = static_cast<std::uint32_t>(m->row(r).id);
  ASSERT_NE(w->folderItem(item), nullptr);
  EXPECT_TRUE(m->setData(m->index(r, 0), "Photos", Qt::EditRole));
  EXPECT_EQ(m->row(r).name, "Photos");
  EXPECT_EQ(w->folderItem(item)->text(0), "Photos");
  EXPECT_FALSE(m->setData(m->index(r, 0), "", Qt::EditRole));
  EXPECT_EQ(m->row(r).name, "Photos");
  // Listing the root again shows the record's new name.
  w->chooseTreeItem(w->folderTree()->topLevelItem(0));
  EXPECT_GE(rowOf("Photos"), 0);
  EXPECT_LT(rowOf("Pictures"), 0);
  // Only the name column is editable.
  EXPECT_TRUE(m->flags(m->index(r, 0)) & Qt::ItemIsEditable);
  EXPECT_FALSE(m->flags(m->index(r, 1)) & Qt::ItemIsEditable);
}

TEST_F(WizardTest, ContextMenuOfTheList) {
  toPartitionStep();
  EXPECT_EQ(w->buildListContextMenu(), nullptr);  // not before the browse step
  w->chooseTreeItem(child(w->partitionTree(), 0));
  w->next();
  w->waitForJob();
  // No selected row: no menu.
  find<QTableView>("fileList")->selectionModel()->clear();
  EXPECT_EQ(w->buildListContextMenu(), nullptr);

  selectRow(rowOf("Old"));  // a deleted folder
  std::unique_ptr<QMenu> m(w->buildListContextMenu());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(menuTexts(m.get()),
            (QStringList{"&Open", "Open &With...", "-", "&Recover Selected...", "Recover &All...", "-", "Ico&ns",
                         "&List", "&Details", "-", "&Find Files...", "&Settings...", "-", "Re&name",
                         "&Properties..."}));
  EXPECT_EQ(m->defaultAction()->text(), "&Open");
  EXPECT_FALSE(m->actions()[1]->isEnabled());  // "Open With" is grayed on folders
  selectRow(rowOf("Documents"));
  m.reset(w->buildListContextMenu());
  EXPECT_FALSE(m->actions()[1]->isEnabled());

  selectRow(rowOf("readme.txt"));
  m.reset(w->buildListContextMenu());
  ASSERT_TRUE(m->actions()[1]->isEnabled());
  m->actions()[1]->trigger();  // Open With...
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(opened[0].second);
  m.reset(w->buildListContextMenu());
  m->actions()[0]->trigger();  // Open
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_FALSE(opened[1].second);

  // "Open" on a folder row shows the folder and gives the tree the focus.
  selectRow(rowOf("Pictures"));
  m.reset(w->buildListContextMenu());
  m->actions()[0]->trigger();
  EXPECT_EQ(listTypes().count("photo.jpg"), 1u);
  EXPECT_EQ(w->openFromTree(), 1);
  // With the tree as the target there is no list menu.
  EXPECT_EQ(w->buildListContextMenu(), nullptr);

  // The context-menu key shows the menu over the selected row of the list.
  QTest::keyClick(w->folderTree(), Qt::Key_Tab);
  EXPECT_EQ(w->openFromTree(), 0);
  selectRow(rowOf("photo.jpg"));
  QString shownDefault;
  onNextPopup([&](QWidget* p) {
    auto* menu = qobject_cast<QMenu*>(p);
    ASSERT_NE(menu, nullptr);
    shownDefault = menu->defaultAction() ? menu->defaultAction()->text() : QString();
    menu->close();
  });
  QTest::keyClick(find<QTableView>("fileList"), Qt::Key_Menu);
  EXPECT_EQ(shownDefault, "&Open");

  // The view modes.
  m.reset();
  action("actIcons")->trigger();
  EXPECT_EQ(w->listView()->objectName(), "fileIcons");
  action("actList")->trigger();
  EXPECT_EQ(w->listView()->objectName(), "fileIcons");
  action("actDetails")->trigger();
  EXPECT_EQ(w->listView()->objectName(), "fileList");

  // After Back, no menu.
  w->back();
  EXPECT_EQ(w->buildListContextMenu(), nullptr);
}

TEST_F(WizardTest, IconAndListViewsShareTheSelection) {
  toBrowseStep(0);
  action("actIcons")->trigger();
  auto* icons = find<QListView>("fileIcons");
  EXPECT_TRUE(icons->isVisible());
  settle();  // the icon view lays its items out later
  const int docs = rowOf("Documents");
  icons->selectionModel()->setCurrentIndex(w->listModel()->index(docs, 0), QItemSelectionModel::ClearAndSelect);
  // A double click in the icon view moves into the folder too.
  doubleClick(icons, w->listModel()->index(docs, 0));
  EXPECT_EQ(listTypes().count("report.bin"), 1u);
  // The icon view selects the name only; the row still counts as selected.
  icons->setFocus();
  QTest::keyClick(icons, Qt::Key_Tab);
  QTest::keyClick(w->folderTree(), Qt::Key_Tab);
  const int report = rowOf("report.bin");
  icons->selectionModel()->setCurrentIndex(w->listModel()->index(report, 0), QItemSelectionModel::ClearAndSelect);
  std::unique_ptr<QMenu> m(w->buildListContextMenu());
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(m->actions()[1]->isEnabled());
  m->actions()[0]->trigger();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(QString::fromStdString(opened[0].first).toLower(), "report.bin");
  action("actDetails")->trigger();
  EXPECT_TRUE(find<QTableView>("fileList")->isVisible());
}

TEST_F(WizardTest, EnterInTheSelectionTreesGoesOnAndBackAndNextHaveAltKeys) {
  EXPECT_EQ(button("backButton")->shortcut(), QKeySequence("Alt+B"));
  EXPECT_EQ(button("nextButton")->shortcut(), QKeySequence("Alt+N"));
  // Before a drive is chosen both are there, disabled.
  EXPECT_TRUE(button("nextButton")->isVisible());
  EXPECT_FALSE(button("nextButton")->isEnabled());
  QTreeWidget* drives = w->driveTree();
  drives->setFocus();
  drives->setCurrentItem(child(drives, 0));
  QTest::keyClick(drives, Qt::Key_Return);
  w->waitForJob();
  ASSERT_EQ(w->step(), 1);
  QTreeWidget* parts = w->partitionTree();
  parts->setFocus();
  parts->setCurrentItem(child(parts, 0));
  QTest::keyClick(parts, Qt::Key_Enter);
  w->waitForJob();
  settle();
  EXPECT_EQ(w->step(), 3);
}

}  // namespace
}  // namespace osprin::gui::test
