// The pieces of the window on their own: the file list's model, the
// information panel and the rich tooltips.
#include <gtest/gtest.h>
#include <QSet>

#include <QBrush>
#include <QBuffer>
#include <QImage>

#include "app/file_list_model.h"
#include "app/help_tips.h"
#include "app/info_panel.h"
#include "app/list_order.h"
#include "app/preview_pane.h"
#include "widgets/message_box.h"

namespace osprin::gui {
namespace {

ListRow fileRow(std::string name, bool deleted, std::uint64_t size, std::uint64_t id) {
  ListRow r;
  r.name = std::move(name);
  r.deleted = deleted;
  r.size = size;
  r.created = "01-01-2009 ";
  r.modified = "5-3-2004 7:8:9";
  r.id = id;
  return r;
}

ListRow folderRow(std::string name, bool deleted, std::uint64_t item) {
  ListRow r;
  r.name = std::move(name);
  r.folder = true;
  r.deleted = deleted;
  r.id = item;
  return r;
}

TEST(FileListModelTest, ColumnsBeforeAScanAfterBackAndInTheBrowseStep) {
  FileListModel m;
  EXPECT_EQ(m.columnCount(), 0);
  m.setDetailsColumn();
  ASSERT_EQ(m.columnCount(), 1);
  EXPECT_EQ(m.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString(44, ' ') + "Details");
  m.setFileColumns(false);
  EXPECT_EQ(m.columnCount(), 7);
  EXPECT_EQ(m.headerData(5, Qt::Horizontal, Qt::DisplayRole).toString(), "ID");
  EXPECT_EQ(m.headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(), "Recoverable");
  EXPECT_EQ(m.headerData(2, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask,
            int(Qt::AlignLeft));
  m.setFileColumns(true);
  EXPECT_EQ(m.headerData(2, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask,
            int(Qt::AlignRight));
}

TEST(FileListModelTest, RowsShowTypesSizesDatesAndDeletedRowsInRed) {
  FileListModel m;
  m.setFileColumns(true);
  m.setRows({folderRow("Docs", false, 2), folderRow("Old", true, 3), fileRow("REPORT.DOC", true, 1024, 7),
             fileRow("notes.txt", false, 12, 8), fileRow("data.qqzz", false, 0, 9), fileRow("QQZZNOEXT", false, 1, 10)});
  ASSERT_EQ(m.rowCount(), 6);
  EXPECT_EQ(m.typeText(0), "Folder");
  EXPECT_EQ(m.typeText(1), "Deleted Folder");
  // Deleted files: "Deleted " and the type name of their extension.
  EXPECT_TRUE(m.typeText(2).startsWith("Deleted "));
  EXPECT_EQ(m.typeText(2).mid(8), m.shell().typeName("REPORT.DOC"));
  EXPECT_FALSE(m.typeText(3).startsWith("Deleted"));
  // Names the type database does not know.
  EXPECT_EQ(m.typeText(4), "QQZZ File");
  EXPECT_EQ(m.typeText(5), "File");

  auto text = [&](int r, int c) { return m.data(m.index(r, c), Qt::DisplayRole).toString(); };
  EXPECT_EQ(text(0, 2), "");  // folders have no size
  EXPECT_EQ(text(2, 2), "1.0 KB");
  EXPECT_EQ(m.data(m.index(2, 2), Qt::ToolTipRole).toString(), "1,024 bytes");
  EXPECT_EQ(text(2, 3), "01-01-2009 ");
  EXPECT_EQ(text(2, 4), "5-3-2004 7:8:9");
  EXPECT_EQ(text(2, 5), "7");
  EXPECT_EQ(text(1, 5), "3");

  auto fg = [&](int r) { return m.data(m.index(r, 3), Qt::ForegroundRole).value<QBrush>().color(); };
  EXPECT_EQ(fg(0), QColor(0, 0, 0));
  EXPECT_EQ(fg(1), QColor(255, 0, 0));
  EXPECT_EQ(fg(2), QColor(255, 0, 0));
  EXPECT_EQ(fg(3), QColor(0, 0, 0));
  EXPECT_EQ(m.data(m.index(0, 0), Qt::BackgroundRole).value<QBrush>().color(), QColor(255, 255, 255));
  EXPECT_FALSE(m.data(m.index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_FALSE(m.data(m.index(3, 0), Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_FALSE(m.data(m.index(4, 0), Qt::DecorationRole).value<QIcon>().isNull());
}

TEST(FileListModelTest, RenameGoesThroughTheHandlerAndEmptyKeepsTheOldName) {
  FileListModel m;
  m.setFileColumns(true);
  m.setRows({fileRow("a.txt", false, 1, 1)});
  std::vector<QString> asked;
  m.renameHandler = [&](int, const QString& n) {
    asked.push_back(n);
    return n != "refused.txt";
  };
  EXPECT_FALSE(m.flags(m.index(0, 0)) & Qt::ItemIsEditable);
  m.setRenameEnabled(true);
  EXPECT_TRUE(m.flags(m.index(0, 0)) & Qt::ItemIsEditable);
  EXPECT_FALSE(m.setData(m.index(0, 0), "", Qt::EditRole));
  EXPECT_FALSE(m.setData(m.index(0, 0), "refused.txt", Qt::EditRole));
  EXPECT_EQ(m.row(0).name, "a.txt");
  EXPECT_TRUE(m.setData(m.index(0, 0), "b.txt", Qt::EditRole));
  EXPECT_EQ(m.row(0).name, "b.txt");
  EXPECT_EQ(asked, (std::vector<QString>{"refused.txt", "b.txt"}));
  EXPECT_FALSE(m.setData(m.index(0, 1), "x", Qt::EditRole));
}

TEST(InfoPanelTest, LabelsOfEachMode) {
  InfoPanel p;
  p.setMode(InfoPanel::Mode::Drive);
  EXPECT_EQ(p.labels(), (QStringList{"Model", "Capacity", "Cylinders", "Head", "Sectors Per Track", "Sector Size"}));
  p.setRows({{"Capacity", "8063 MB ( Approx )"}, {"Unknown", "x"}});
  EXPECT_EQ(p.value("Capacity"), "8063 MB ( Approx )");
  EXPECT_FALSE(p.setValue("Partition Start", "1"));
  p.setMode(InfoPanel::Mode::StandardScan);
  EXPECT_EQ(p.labels(), (QStringList{"Folder(s) Found", "File(s) Found", "Current Sector", "Last File/Folder"}));
  EXPECT_EQ(p.value("Folder(s) Found"), "");
  p.setMode(InfoPanel::Mode::DeepScanFat);
  EXPECT_EQ(p.labels(), (QStringList{"Boot Sector(s) Found", "Folder(s) Found", "Current Sector"}));
  EXPECT_EQ(p.value("Current Sector"), "0");
  // A worker's values go to their rows by kind; kinds the mode does not show are left out.
  EXPECT_TRUE(p.setCounter(Counter::CurrentSector, 4242));
  EXPECT_EQ(p.value("Current Sector"), "4242");
  EXPECT_FALSE(p.setCounter(Counter::FilesFound, 1));
  EXPECT_FALSE(p.setText(TextField::LastFileFolder, "a.txt"));
  EXPECT_EQ(InfoPanel::rowOf(InfoPanel::Mode::DeepScanNtfs, Counter::FoldersFound), 3);
  EXPECT_EQ(InfoPanel::rowOf(InfoPanel::Mode::StandardScan, TextField::LastFileFolder), 3);
  EXPECT_EQ(InfoPanel::rowOf(InfoPanel::Mode::Drive, Counter::FoldersFound), -1);
  p.setMode(InfoPanel::Mode::StandardScan);
  EXPECT_TRUE(p.setText(TextField::LastFileFolder, "a.txt"));
  EXPECT_EQ(p.value("Last File/Folder"), "a.txt");
  p.setMode(InfoPanel::Mode::FoundFsFat);
  EXPECT_EQ(p.labels(), (QStringList{"File System Start", "Sectors Per Cluster", "File System Size"}));
  p.setMode(InfoPanel::Mode::None);
  EXPECT_TRUE(p.labels().isEmpty());
  EXPECT_EQ(p.findChild<QLabel*>("panelLabel0")->isVisibleTo(&p), false);
}

TEST(InfoPanelTest, ImageDetailsBelowTheDriveRows) {
  InfoPanel p;
  p.setMode(InfoPanel::Mode::Drive);
  auto* details = p.findChild<QLabel*>("panelImageDetails");
  ASSERT_NE(details, nullptr);
  EXPECT_FALSE(details->isVisibleTo(&p));
  p.setImageRows({{"Image Format", "EnCase (EWF), 2 files"}, {"Case Number", "CASE-19"}});
  EXPECT_EQ(p.imageText(), "Image Format: EnCase (EWF), 2 files\nCase Number: CASE-19");
  EXPECT_TRUE(details->isVisibleTo(&p));
  EXPECT_EQ(p.labels(), (QStringList{"Model", "Capacity", "Cylinders", "Head", "Sectors Per Track", "Sector Size"}));
  p.setMode(InfoPanel::Mode::Partition);
  EXPECT_EQ(p.imageText(), "");
  EXPECT_FALSE(details->isVisibleTo(&p));
}

TEST(RichTipTest, TheKitsMarkupBecomesQtRichText) {
  QString t = richTipToQt(kScanTypeTip);
  EXPECT_TRUE(t.startsWith("<qt>"));
  EXPECT_TRUE(t.contains("SCAN TYPE"));
  EXPECT_TRUE(t.contains("Standard Scan"));
  EXPECT_TRUE(t.contains("Advence Mode"));  // the heading as the program spells it
  EXPECT_TRUE(t.contains("or where Standard Scan fails to recover the data."));
  EXPECT_FALSE(t.contains("ilst"));
  EXPECT_FALSE(t.contains("<t>"));
  EXPECT_FALSE(t.contains("<font"));
  EXPECT_FALSE(t.contains("\r\n"));
  EXPECT_TRUE(t.contains("font-size:10pt"));
  QString c = richTipToQt(kScanControlTip);
  EXPECT_TRUE(c.contains("Scan Control"));
  EXPECT_TRUE(c.contains("the range of the disk area to scan."));
  EXPECT_FALSE(c.contains("idres"));
}

TEST(ListOrderTest, NaturalNamesAndDates) {
  EXPECT_LT(naturalCompare("folder_3", "folder_10"), 0);
  EXPECT_GT(naturalCompare("folder_10", "folder_3"), 0);
  EXPECT_LT(naturalCompare("File2.txt", "file10.txt"), 0);  // case aside
  EXPECT_LT(naturalCompare("a007", "a8"), 0);                // leading zeros aside
  EXPECT_LT(naturalCompare("a", "a1"), 0);
  EXPECT_EQ(naturalCompare("same", "same"), 0);
  EXPECT_LT(naturalCompare("99999999999999999999998", "99999999999999999999999"), 0);  // past 64 bits
  EXPECT_LT(dateKey("31-12-2008 "), dateKey("01-01-2009 "));
  EXPECT_LT(dateKey("5-3-2004 7:8:9"), dateKey("5-3-2004 7:8:10"));
  EXPECT_LT(dateKey("28-2-2004 23:59:59"), dateKey("5-3-2004 0:0:0"));
  EXPECT_EQ(dateKey(""), 0u);
}

// The Recoverable column: each verdict in words and colours of its own
// (the name stays red for every deleted row), nothing for live rows, and
// sorting puts the best chances first.
TEST(FileListModelTest, RecoverableColumnShowsTheVerdictsInTheirColours) {
  FileListModel m;
  m.setFileColumns(true);
  auto judged = [](std::string n, Verdict v, std::uint32_t claimed, std::uint64_t id) {
    ListRow r = fileRow(std::move(n), v != Verdict::None, 4096, id);
    r.recoverable.verdict = v;
    r.recoverable.clusters = 4;
    r.recoverable.claimed = claimed;
    return r;
  };
  m.setRows({judged("gone.doc", Verdict::Overwritten, 4, 1), judged("half.doc", Verdict::Partial, 2, 2),
             judged("live.doc", Verdict::None, 0, 3), judged("whole.doc", Verdict::Intact, 0, 4),
             judged("dunno.doc", Verdict::Unknown, 0, 5), judged("chain.doc", Verdict::Guessed, 0, 6),
             judged("most.doc", Verdict::Partial, 3, 7)});
  const int col = FileListModel::RecoverableCol;
  auto text = [&](int r) { return m.data(m.index(r, col), Qt::DisplayRole).toString(); };
  EXPECT_EQ(text(0), "Overwritten");
  EXPECT_EQ(text(1), "Partly overwritten 50%");
  EXPECT_EQ(text(2), "");
  EXPECT_EQ(text(3), "Intact");
  EXPECT_EQ(text(4), "Unknown");
  EXPECT_EQ(text(5), "Guessed");
  EXPECT_NE(m.data(m.index(1, col), Qt::ToolTipRole).toString().indexOf("2 of 4 clusters"), -1);
  QSet<QRgb> backgrounds;
  for (int r = 0; r < m.count(); ++r) {
    const auto fg = m.data(m.index(r, FileListModel::NameCol), Qt::ForegroundRole).value<QBrush>().color();
    EXPECT_EQ(fg == QColor(255, 0, 0), m.row(r).deleted) << r;
    const auto bg = m.data(m.index(r, col), Qt::BackgroundRole).value<QBrush>().color();
    if (m.row(r).recoverable.verdict != Verdict::None) {
      EXPECT_NE(bg, QColor(255, 255, 255)) << r;
      EXPECT_EQ(m.data(m.index(r, col), Qt::ForegroundRole).value<QBrush>().color(),
                verdictTextColour(m.row(r).recoverable.verdict));
    }
    backgrounds.insert(bg.rgb());
  }
  EXPECT_EQ(backgrounds.size(), 6);  // five verdicts and the live row's white
  m.sort(col, Qt::AscendingOrder);
  std::vector<std::string> shown;
  for (int r = 0; r < m.count(); ++r) shown.push_back(m.row(r).name);
  EXPECT_EQ(shown, (std::vector<std::string>{"whole.doc", "chain.doc", "half.doc", "most.doc", "dunno.doc", "gone.doc",
                                             "live.doc"}));
}

// ---- the preview's text and hex dump ---------------------------------------------

struct TextCase {
  const char* name;
  QByteArray bytes;
  bool text;      // shown as text
  QString shown;  // the text, when shown
};

class PreviewTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(PreviewTextTest, GuessesTheEncoding) {
  const std::optional<QString> t = previewText(GetParam().bytes);
  ASSERT_EQ(t.has_value(), GetParam().text);
  if (t) {
    EXPECT_EQ(*t, GetParam().shown);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, PreviewTextTest,
    ::testing::Values(TextCase{"ascii", "Hello\r\nworld\n", true, "Hello\r\nworld\n"},
                      TextCase{"utf8", "caf\xc3\xa9 \xe6\x9d\xb1", true, QString::fromUtf8("caf\xc3\xa9 \xe6\x9d\xb1")},
                      // The first 64 KiB may end inside a character: it is left out.
                      TextCase{"utf8_cut_at_the_end", "abc \xe6\x9d", true, "abc "},
                      TextCase{"utf8_with_bom", "\xef\xbb\xbfname", true, "name"},
                      TextCase{"latin1", "na\xefve r\xe9sum\xe9", true, QString::fromLatin1("na\xefve r\xe9sum\xe9")},
                      TextCase{"utf16le_bom", QByteArray("\xff\xfeh\0i\0", 6), true, "hi"},
                      TextCase{"utf16be_bom", QByteArray("\xfe\xff\0o\0k", 6), true, "ok"},
                      TextCase{"nul_bytes", QByteArray("ab\0cd", 5), false, ""},
                      TextCase{"control_bytes", "\x01\x02\x03\x04 binary \x05\x06", false, ""}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(PreviewTextTest, HexDumpOfSixteenBytesALine) {
  const QByteArray b("Hello, world!\n\x00\x7f\xffZ", 18);
  EXPECT_EQ(hexDump(b),
            "00000000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 7f  |Hello, world!...|\n"
            "00000010  ff 5a                                             |.Z|\n");
  EXPECT_TRUE(isImageName("Photo.JPG"));
  EXPECT_TRUE(isImageName("a.png"));
  EXPECT_FALSE(isImageName("notes.txt"));
}

// The pane draws what Qt's image readers read, whatever the name; text as
// text; anything else as the hex dump of its first 4 KiB.
TEST(PreviewPaneTest, ImagesTextAndHex) {
  PreviewPane pane;
  ListRow row = fileRow("picture.dat", false, 0, 1);
  QImage img(7, 5, QImage::Format_RGB32);
  img.fill(Qt::red);
  QByteArray png;
  QBuffer buf(&png);
  buf.open(QIODevice::WriteOnly);
  ASSERT_TRUE(img.save(&buf, "PNG"));
  Session::Preview p;
  p.ok = true;
  p.bytes.assign(png.begin(), png.end());
  p.size = p.bytes.size();
  pane.display(row, p);
  EXPECT_EQ(pane.kind(), PreviewKind::Image);
  EXPECT_EQ(pane.image().size(), QSize(7, 5));
  EXPECT_EQ(pane.image().pixelColor(3, 2), QColor(Qt::red));

  const std::string text = "line one\nline two\n";
  p.bytes.assign(text.begin(), text.end());
  p.size = text.size();
  pane.display(row, p);
  EXPECT_EQ(pane.kind(), PreviewKind::Text);
  EXPECT_EQ(pane.shownText(), QString::fromStdString(text));

  p.bytes.assign(10000, 0);
  p.bytes[1] = 0xAB;
  p.size = 1 << 20;
  pane.display(row, p);
  EXPECT_EQ(pane.kind(), PreviewKind::Hex);
  EXPECT_EQ(pane.shownText().count('\n'), 4096 / 16);  // the first 4 KiB
  EXPECT_TRUE(pane.shownText().startsWith("00000000  00 ab 00"));

  p.ok = false;
  p.error = "the file's data cannot be read";
  pane.display(row, p);
  EXPECT_EQ(pane.kind(), PreviewKind::Message);
  EXPECT_EQ(pane.shownText(), "No preview: the file's data cannot be read");
}

struct SortCase {
  int column;
  Qt::SortOrder order;
  std::vector<std::string> names;  // the order shown
};

class FileListSortTest : public ::testing::TestWithParam<SortCase> {};

TEST_P(FileListSortTest, ClickingATitleSortsByValueFoldersFirst) {
  FileListModel m;
  m.setFileColumns(true);
  auto file = [](std::string n, std::uint64_t size, std::string modified, std::uint64_t id) {
    ListRow r = fileRow(std::move(n), false, size, id);
    r.modified = std::move(modified);
    return r;
  };
  m.setRows({folderRow("folder_10", false, 2), folderRow("folder_3", false, 3),
             file("img_10.jpg", 9000, "1-2-2010 0:0:0", 4), file("img_9.jpg", 200000, "31-1-2010 23:0:0", 5),
             file("a.txt", 15, "1-1-2011 10:0:0", 6)});
  m.sort(GetParam().column, GetParam().order);
  std::vector<std::string> shown;
  for (int r = 0; r < m.count(); ++r) shown.push_back(m.row(r).name);
  EXPECT_EQ(shown, GetParam().names);
  // The type text and icon follow their row.
  for (int r = 0; r < m.count(); ++r) EXPECT_EQ(m.typeText(r) == "Folder", m.row(r).folder) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, FileListSortTest,
    ::testing::Values(
        SortCase{FileListModel::NameCol, Qt::AscendingOrder, {"folder_3", "folder_10", "a.txt", "img_9.jpg", "img_10.jpg"}},
        SortCase{FileListModel::NameCol, Qt::DescendingOrder, {"folder_10", "folder_3", "img_10.jpg", "img_9.jpg", "a.txt"}},
        SortCase{FileListModel::SizeCol, Qt::AscendingOrder, {"folder_10", "folder_3", "a.txt", "img_10.jpg", "img_9.jpg"}},
        SortCase{FileListModel::SizeCol, Qt::DescendingOrder, {"folder_10", "folder_3", "img_9.jpg", "img_10.jpg", "a.txt"}},
        SortCase{FileListModel::ModifiedCol, Qt::AscendingOrder, {"folder_10", "folder_3", "img_9.jpg", "img_10.jpg", "a.txt"}},
        SortCase{FileListModel::IdCol, Qt::DescendingOrder, {"folder_3", "folder_10", "a.txt", "img_9.jpg", "img_10.jpg"}},
        SortCase{-1, Qt::AscendingOrder, {"folder_10", "folder_3", "img_10.jpg", "img_9.jpg", "a.txt"}}));

TEST(FileListModelTest, SortKeepsTheSelectionOnItsRowAndLastsForTheNextFolder) {
  FileListModel m;
  m.setFileColumns(true);
  m.setRows({fileRow("b10", false, 1, 1), fileRow("b9", false, 2, 2)});
  QPersistentModelIndex sel = m.index(0, 0);  // b10
  m.sort(FileListModel::NameCol, Qt::AscendingOrder);
  EXPECT_EQ(sel.row(), 1);
  EXPECT_EQ(m.row(sel.row()).name, "b10");
  m.setRows({fileRow("x2", false, 1, 1), fileRow("x1", false, 2, 2)});
  EXPECT_EQ(m.row(0).name, "x1");
  EXPECT_EQ(m.sortColumn(), int(FileListModel::NameCol));
}

}  // namespace
}  // namespace osprin::gui
