// "Drive Information" and "File/Folder Properties".
#include <QLabel>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/list_order.h"
#include <limits>
#include "dialog_support.h"

using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

TEST(PropertiesTexts, SizesAndContents) {
  EXPECT_EQ(sizeWithBytes(0), "0 bytes");
  EXPECT_EQ(sizeWithBytes(1), "1 byte");
  EXPECT_EQ(sizeWithBytes(1023), "1023 bytes");
  EXPECT_EQ(sizeWithBytes(1024), "1.0 KB (1,024 bytes)");
  EXPECT_EQ(sizeWithBytes(20000), "20 KB (20,000 bytes)");
  EXPECT_EQ(sizeWithBytes(1234567), "1.2 MB (1,234,567 bytes)");
  EXPECT_EQ(sizeWithBytes(2000398934016ull), "1.8 TB (2,000,398,934,016 bytes)");
  EXPECT_EQ(humanSize(5ull << 40), "5.0 TB");  // 64-bit sizes
  EXPECT_EQ(humanSize(std::numeric_limits<std::uint64_t>::max()), "16 EB");

  EXPECT_EQ(folderSizeMbText(0), "Less than 1 MB");
  EXPECT_EQ(folderSizeMbText(1024 * 1024 - 1), "Less than 1 MB");
  EXPECT_EQ(folderSizeMbText(1024 * 1024), "1 MB");
  EXPECT_EQ(folderSizeMbText(3 * 1024 * 1024 + 5), "3 MB");
  EXPECT_EQ(folderSizeMbText(6ull << 40), "6291456 MB");

  // An empty folder counts only itself.
  EXPECT_EQ(folderContainsText({0, 1, 0}), "0 File(s) and 0 Folder(s)");
  EXPECT_EQ(folderContainsText({7, 3, 100}), "7 File(s) and 2 Folder(s)");
  // A folder the tree does not know gives no figures, not a wrapped count.
  EXPECT_EQ(folderContainsText({0, 0, 0}), "0 File(s) and 0 Folder(s)");
}

namespace {

QStringList labelTexts(const std::vector<QLabel*>& v) {
  QStringList out;
  for (auto* l : v) out << l->text();
  return out;
}

}  // namespace

TEST(DriveInformationDialog, FatVolume) {
  auto s = sampleSession(0);
  DriveInformationDialog d(nullptr, *s);
  EXPECT_EQ(d.windowTitle(), "Drive Information");
  EXPECT_EQ(labelTexts(d.labels),
            QStringList({"File System          :", "Start Sector         :", "Directories           :",
                         "Files                     :", "SPC                     :", "First FAT              :",
                         "Second FAT        :", "MFT Start            :"}));
  const QStringList v = labelTexts(d.values);
  ASSERT_EQ(v.size(), 8);
  EXPECT_EQ(v[0], "FAT32");
  EXPECT_EQ(v[1], QString::number(s->vp.clusterBase));
  EXPECT_EQ(v[2], QString::number(s->tree.folderCount));
  EXPECT_EQ(v[3], QString::number(s->tree.fileCount));
  EXPECT_EQ(v[4], QString::number(s->vp.sectorsPerCluster));
  EXPECT_EQ(v[5], QString::number(s->vp.fat1Start));
  EXPECT_EQ(v[6], QString::number(s->vp.fat2Start));
  EXPECT_EQ(v[7], "N/A");
  EXPECT_GT(s->vp.fat1Start, 2048u);
  EXPECT_GT(s->vp.fat2Start, s->vp.fat1Start);
}

TEST(DriveInformationDialog, NtfsVolumeHasNoFats) {
  auto s = sampleSession(1);
  DriveInformationDialog d(nullptr, *s);
  const QStringList v = labelTexts(d.values);
  ASSERT_EQ(v.size(), 8);
  EXPECT_EQ(v[0], "NTFS");
  EXPECT_EQ(v[1], "71680");
  EXPECT_EQ(v[5], "N/A");
  EXPECT_EQ(v[6], "N/A");
  EXPECT_EQ(v[7], QString::number(s->vp.mftStart));
  EXPECT_NE(v[7], "0");
}

// exFAT beside NTFS under the same partition type: the dialog names it and
// gives its FAT.
TEST(DriveInformationDialog, ExfatVolume) {
  auto s = scannedSession("exfat_mbr", 0);
  DriveInformationDialog d(nullptr, *s);
  const QStringList v = labelTexts(d.values);
  ASSERT_EQ(v.size(), 8);
  EXPECT_EQ(v[0], "exFAT");
  EXPECT_EQ(v[3], QString::number(s->tree.fileCount));
  EXPECT_GT(s->tree.fileCount, 2u);
  EXPECT_EQ(v[5], QString::number(s->vp.fat1Start));
  EXPECT_GT(s->vp.fat1Start, 2048u);
  EXPECT_EQ(v[7], "N/A");
}

TEST(PropertiesDialog, FileRow) {
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  const ListRow* readme = findRow(rows, "readme.txt");
  ASSERT_NE(readme, nullptr);
  PropertiesDialog d(nullptr, *s, *readme);
  EXPECT_EQ(d.windowTitle(), "File/Folder Properties");
  EXPECT_EQ(d.nameValue->text(), QString::fromStdString(readme->name));
  EXPECT_EQ(d.sizeValue->text(), "14 bytes");
  EXPECT_EQ(d.createdValue->text(), QString::fromStdString(readme->created));
  EXPECT_EQ(d.modifiedValue->text(), QString::fromStdString(readme->modified));
  EXPECT_FALSE(readme->created.empty());
  EXPECT_EQ(d.containsValue, nullptr);  // files have no "Contains"
  EXPECT_EQ(d.containsLabel, nullptr);

  // The exact count beside the rounded one.
  ListRow k = *readme;
  k.size = 1024;
  PropertiesDialog d2(nullptr, *s, k);
  EXPECT_EQ(d2.sizeValue->text(), "1.0 KB (1,024 bytes)");
}

TEST(PropertiesDialog, FolderRowCountsItsSubtree) {
  for (std::size_t part : {0u, 1u}) {  // FAT32 and NTFS
    auto s = sampleSession(part);
    const auto rows = s->listFolder(s->rootIdentity());
    const ListRow* docs = findRow(rows, "Documents");
    ASSERT_NE(docs, nullptr);
    ASSERT_TRUE(docs->folder);
    PropertiesDialog d(nullptr, *s, *docs);
    // report.bin and Letters/letter one.txt; the folder Letters.
    EXPECT_EQ(d.containsValue->text(), "2 File(s) and 1 Folder(s)") << part;
    ASSERT_NE(d.containsLabel, nullptr);
    EXPECT_EQ(d.containsLabel->text(), "Contains");
    EXPECT_EQ(d.sizeValue->text(), "Less than 1 MB");
    EXPECT_EQ(d.nameValue->text(), QString::fromStdString(docs->name));
    EXPECT_EQ(d.createdValue->text(), QString::fromStdString(docs->created));

    // The leaf folder Letters holds one file and no folder.
    const auto inDocs = s->listItem(static_cast<std::uint32_t>(docs->id));
    const ListRow* letters = findRow(inDocs, "Letters");
    ASSERT_NE(letters, nullptr);
    PropertiesDialog d2(nullptr, *s, *letters);
    EXPECT_EQ(d2.containsValue->text(), "1 File(s) and 0 Folder(s)");
  }
}

class InfoEntryPoints : public DialogTest {};

TEST_F(InfoEntryPoints, OpenAndCloseModally) {
  auto s = sampleSession(0);
  QString seen;
  onModal<DriveInformationDialog>([&](DriveInformationDialog* d) {
    seen = d->values.front()->text();
    QTest::keyClick(d, Qt::Key_Return);
  });
  showDriveInformation(nullptr, *s);
  EXPECT_EQ(seen, "FAT32");

  const auto rows = s->listFolder(s->rootIdentity());
  onModal<PropertiesDialog>([&](PropertiesDialog* d) {
    seen = d->containsValue ? d->containsValue->text() : QString();
    QTest::keyClick(d, Qt::Key_Escape);
  });
  showProperties(nullptr, *s, *findRow(rows, "Pictures"));
  EXPECT_EQ(seen, "1 File(s) and 0 Folder(s)");
}
