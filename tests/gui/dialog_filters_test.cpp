// "File Filters".
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "dialog_support.h"

using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

const QString kFull = "      You cannot add more Filters     ";
const QString kTooLong = "      Filter too long     ";
const QString kBlank = "      You can not add a blank entry.     ";
const QString kExists = "      Filter already exists in the list     ";

QStringList listTexts(QListWidget* l) {
  QStringList out;
  for (int i = 0; i < l->count(); ++i) out << l->item(i)->text();
  return out;
}

class FileFilters : public DialogTest {
 protected:
  void addText(FileFiltersDialog& d, const QString& t) {
    d.edit->setText(t);
    d.add();
  }
  Session s;
};

}  // namespace

TEST_F(FileFilters, LayoutAndOpeningFromTheTable) {
  ASSERT_EQ(s.filters.insertFront("*.TXT"), FilterAddResult::Added);
  ASSERT_EQ(s.filters.insertFront("*.DOC"), FilterAddResult::Added);
  FileFiltersDialog d(nullptr, s);
  EXPECT_EQ(d.windowTitle(), "File Filters");
  EXPECT_EQ(listTexts(d.list), QStringList({"*.DOC", "*.TXT"}));
  EXPECT_EQ(d.addButton->text(), "&Add");
  EXPECT_EQ(d.removeButton->text(), "&Remove");
  EXPECT_EQ(d.closeButton->text(), "&Close");
  EXPECT_TRUE(d.addButton->isDefault());
  QStringList labels;
  for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
  EXPECT_TRUE(labels.contains("Enter Filter"));
}

TEST_F(FileFilters, NewestOnTopAndCloseStoresTopToBottom) {
  FileFiltersDialog d(nullptr, s);
  d.show();
  addText(d, "*.TXT");
  addText(d, "*.DOC");
  // Enter adds as well.
  d.edit->setFocus();
  QTest::keyClicks(d.edit, "REPORT");
  QTest::keyClick(d.edit, Qt::Key_Return);
  EXPECT_TRUE(boxes.empty()) << boxTexts().join('|').toStdString();
  EXPECT_EQ(listTexts(d.list), QStringList({"REPORT", "*.DOC", "*.TXT"}));
  EXPECT_TRUE(d.edit->text().isEmpty());
  EXPECT_TRUE(d.isVisible());
  EXPECT_TRUE(s.filters.empty());  // nothing is stored before Close
  QTest::mouseClick(d.closeButton, Qt::LeftButton);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(s.filters.filters(), (std::vector<std::string>{"REPORT", "*.DOC", "*.TXT"}));
}

TEST_F(FileFilters, TheHundredthFilterIsRefused) {
  FileFiltersDialog d(nullptr, s);
  for (int i = 0; i < 99; ++i) addText(d, QString("F%1").arg(i));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(d.list->count(), 99);
  addText(d, "ONE.MORE");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kFull);
  EXPECT_EQ(d.list->count(), 99);
  // The table being full is checked first, before blank or too long.
  addText(d, "");
  addText(d, QString(25, 'X'));
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].text, kFull);
  EXPECT_EQ(boxes[2].text, kFull);
  // After a removal there is room again.
  d.list->setCurrentRow(0);
  d.remove();
  addText(d, "ONE.MORE");
  EXPECT_EQ(d.list->item(0)->text(), "ONE.MORE");
  EXPECT_EQ(d.list->count(), 99);
  d.accept();
  EXPECT_EQ(s.filters.filterCount(), 99u);
  EXPECT_EQ(s.filters.filters().front(), "ONE.MORE");
}

TEST_F(FileFilters, LengthBlankAndDuplicates) {
  FileFiltersDialog d(nullptr, s);
  d.show();
  // 19 characters are accepted, 20 are refused with the first 19 selected.
  const QString nineteen = "ABCDEFGHIJKLMNOPQRS";
  addText(d, nineteen);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(d.list->item(0)->text(), nineteen);
  addText(d, "12345678901234567890");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes.back().text, kTooLong);
  EXPECT_EQ(d.edit->text(), "12345678901234567890");
  EXPECT_EQ(d.edit->selectedText(), "1234567890123456789");
  EXPECT_EQ(d.focusWidget(), d.edit);

  addText(d, "");
  EXPECT_EQ(boxes.back().text, kBlank);

  // The duplicate test is case-sensitive: "A" is accepted when "a" is listed.
  addText(d, "a");
  addText(d, "A");
  EXPECT_EQ(boxes.size(), 2u);
  addText(d, "a");
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes.back().text, kExists);
  EXPECT_EQ(d.edit->selectedText(), "a");
  EXPECT_EQ(listTexts(d.list), QStringList({"A", "a", nineteen}));
  for (const Box& b : boxes) EXPECT_TRUE(b.kind == BoxKind::Error || b.kind == BoxKind::Info);
}

TEST_F(FileFilters, RemoveTakesTheSelectedEntryOnly) {
  FileFiltersDialog d(nullptr, s);
  addText(d, "ONE");
  addText(d, "TWO");
  addText(d, "THREE");
  d.list->clearSelection();
  d.list->setCurrentRow(-1);
  d.remove();  // nothing selected: nothing removed
  EXPECT_EQ(d.list->count(), 3);
  d.list->setCurrentRow(1);
  QTest::mouseClick(d.removeButton, Qt::LeftButton);
  EXPECT_EQ(listTexts(d.list), QStringList({"THREE", "ONE"}));
  // The removed text can be added again.
  addText(d, "TWO");
  EXPECT_TRUE(boxes.empty());
  d.accept();
  EXPECT_EQ(s.filters.filters(), (std::vector<std::string>{"TWO", "THREE", "ONE"}));
}

TEST_F(FileFilters, EscapeStoresTheListLikeClose) {
  ASSERT_EQ(s.filters.insertFront("*.OLD"), FilterAddResult::Added);
  FileFiltersDialog d(nullptr, s);
  d.show();
  d.list->setCurrentRow(0);
  d.remove();
  addText(d, "*.NEW");
  QTest::keyClick(d.list, Qt::Key_Escape);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(s.filters.filters(), (std::vector<std::string>{"*.NEW"}));
}

TEST_F(FileFilters, TheEntryPointFiltersTheListing) {
  auto sp = sampleSession(0);
  Session& ss = *sp;
  const auto before = ss.listFolder(ss.rootIdentity());
  ASSERT_NE(findRow(before, "readme.txt"), nullptr);
  ASSERT_NE(findRow(before, "Documents"), nullptr);

  onModal<FileFiltersDialog>([](FileFiltersDialog* d) {
    d->edit->setText("read*");
    QTest::mouseClick(d->addButton, Qt::LeftButton);
    QTest::mouseClick(d->closeButton, Qt::LeftButton);
  });
  showFileFilters(nullptr, ss);
  EXPECT_EQ(ss.filters.filters(), (std::vector<std::string>{"read*"}));
  // The caller's refresh: files must match (in upper case), folders stay.
  const auto after = ss.listFolder(ss.rootIdentity());
  EXPECT_NE(findRow(after, "readme.txt"), nullptr);
  EXPECT_NE(findRow(after, "Documents"), nullptr);
  for (const auto& r : after)
    if (!r.folder) {
      EXPECT_EQ(lower(r.name).rfind("read", 0), 0u) << r.name;
    }

  // Emptying the list shows everything again.
  onModal<FileFiltersDialog>([](FileFiltersDialog* d) {
    d->list->setCurrentRow(0);
    d->remove();
    d->accept();
  });
  showFileFilters(nullptr, ss);
  EXPECT_TRUE(ss.filters.empty());
  EXPECT_EQ(ss.listFolder(ss.rootIdentity()).size(), before.size());
}
