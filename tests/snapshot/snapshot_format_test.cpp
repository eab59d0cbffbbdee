// The snapshot layout, checked against byte images written out by hand.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "common/bytes.h"
#include "snapshot/snapshot.h"
#include "snapshot_trees.h"
#include "support/fixtures.h"

namespace osprin::test {
namespace {

TEST(SnapshotFileName, UpperCasesTheLastComponentAndAddsTheExtensionOnce) {
  EXPECT_EQ(snapshotFileName("case1"), "CASE1.ZQRT");
  EXPECT_EQ(snapshotFileName("case1.zqrt"), "CASE1.ZQRT");
  EXPECT_EQ(snapshotFileName("CASE1.ZQRT"), "CASE1.ZQRT");
  EXPECT_EQ(snapshotFileName("/tmp/dir/case1"), "/tmp/dir/CASE1.ZQRT");
  // Folders keep their case: a case-sensitive file system has no /HOME/ME.
  EXPECT_EQ(snapshotFileName("/home/Me/Scans/disk2.Zqrt"), "/home/Me/Scans/DISK2.ZQRT");
  EXPECT_EQ(snapshotFileName("old.v2/scan"), "old.v2/SCAN.ZQRT");
  EXPECT_EQ(snapshotFileName("scan.zqr"), "SCAN.ZQR.ZQRT");
  EXPECT_EQ(snapshotFileName("zqrt"), "ZQRT.ZQRT");
  // Bytes of UTF-8 characters are left as they are.
  EXPECT_EQ(snapshotFileName("/d/r\xC3\xA9sum\xC3\xA9"), "/d/R\xC3\xA9SUM\xC3\xA9.ZQRT");
}

// FAT32: one deleted folder, two files.
struct TinyFat {
  FileTree tree;
  SnapshotSource src;
  TinyFat() {
    tree.addFatFolder("DIR", 3, 0, FatTimes{0x5020, 0x6000, 0x95, 0x5021, 0x7001, 0x5022}, true);
    tree.addFatFile("a.txt", 5, 3, FatTimes{0x1233, 0x0102, 0x07, 0x1234, 0xABCD, 0x5678}, 0x01020304, false);
    ++tree.fileCount;
    tree.addFatFile("B", 0, 0, 0, 0, 0, true);
    ++tree.fileCount;
    src.selection = Selection{FsType::Fat32, 63, 0x20000, 0x2003E, 1};
    VolumeParams& p = src.params;
    p.fsType = FsType::Fat32;
    p.sectorsPerFat = 0x3F1;
    p.sectorsPerCluster = 8;
    p.rootDirSectors = 0;
    p.rootDirStart = 2;
    p.reservedSectors = 32;
    p.clusterBase = 0x831;
    p.fat1Start = 0x5F;
    p.fat2Start = 0x450;
    src.chosenFsIndex = 2;
    src.tree = &tree;
  }
};

const char kTinyFatImage[] =
    // magic, version
    "7a 71 72 34 2e 30 33 | 31 2e 31"
    // selection: fsType 200, start 63, length 0x20000, end 0x2003E, tag 1
    "c8 00 | 3f 00 00 00 | 00 00 02 00 | 3e 00 02 00 | 01 00"
    // volume: fsType 200, sectorsPerFat, sectorsPerCluster, rootDirSectors,
    // reservedSectors, clusterBase, fat1Start, fat2Start
    "c8 00 | f1 03 00 00 | 08 00 00 00 | 00 00 00 00 | 20 00 00 00 | 31 08 00 00 | 5f 00 00 00 | 50 04 00 00"
    // mftStart, mftMirrorStart, sectorsPerMftRecord, sectorsPerIndexRecord, volumeEnd
    "00 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00 00 00"
    // chosenFsIndex, header extension of 0 bytes
    "02 00 | 00 00 00 00"
    // one folder: L 25, "DIR", cluster 3, parent 0, write and access dates,
    // deleted, reserved, write time, creation date, time, hundredths
    "01 00 00 00"
    "19 00 | 44 49 52 | 03 00 00 00 | 00 00 00 00 | 21 50 | 22 50 | 01 | 00 00 | 01 70 | 20 50 | 00 60 | 95"
    // two files: L 33, "a.txt", cluster 5, parent 3, dates, size, not
    // deleted, index 0, write time, creation date, time, hundredths
    "02 00 00 00"
    "21 00 | 61 2e 74 78 74 | 05 00 00 00 | 03 00 00 00 | 34 12 | 78 56 | 04 03 02 01 | 00 | 00 00 00 00"
    "cd ab | 33 12 | 02 01 | 07"
    // L 29, "B", everything 0, deleted, index 1
    "1d 00 | 42 | 00 00 00 00 | 00 00 00 00 | 00 00 | 00 00 | 00 00 00 00 | 01 | 01 00 00 00 | 00 00 | 00 00 | 00 00 | 00";

// The same tree as version 1.0 wrote it: no header extension, FAT records
// without write time and creation times.
const char kTinyFatImage10[] =
    // magic, version
    "7a 71 72 34 2e 30 33 | 31 2e 30"
    // selection: fsType 200, start 63, length 0x20000, end 0x2003E, tag 1
    "c8 00 | 3f 00 00 00 | 00 00 02 00 | 3e 00 02 00 | 01 00"
    // volume: fsType 200, sectorsPerFat, sectorsPerCluster, rootDirSectors,
    // reservedSectors, clusterBase, fat1Start, fat2Start
    "c8 00 | f1 03 00 00 | 08 00 00 00 | 00 00 00 00 | 20 00 00 00 | 31 08 00 00 | 5f 00 00 00 | 50 04 00 00"
    // mftStart, mftMirrorStart, sectorsPerMftRecord, sectorsPerIndexRecord, volumeEnd
    "00 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00 00 00"
    // chosenFsIndex
    "02 00"
    // one folder: L 18, "DIR", cluster 3, parent 0, dates, deleted, reserved
    "01 00 00 00"
    "12 00 | 44 49 52 | 03 00 00 00 | 00 00 00 00 | 21 50 | 22 50 | 01 | 00 00"
    // two files: L 26, "a.txt", cluster 5, parent 3, dates, size, not deleted, index 0
    "02 00 00 00"
    "1a 00 | 61 2e 74 78 74 | 05 00 00 00 | 03 00 00 00 | 34 12 | 78 56 | 04 03 02 01 | 00 | 00 00 00 00"
    // L 22, "B", everything 0, deleted, index 1
    "16 00 | 42 | 00 00 00 00 | 00 00 00 00 | 00 00 | 00 00 | 00 00 00 00 | 01 | 01 00 00 00";

// NTFS: one folder, one file.
struct TinyNtfs {
  FileTree tree;
  SnapshotSource src;
  TinyNtfs() {
    tree.addNtfsFolder("Docs", 64, 5, 0x0102030405060708ull, 0x1112131415161718ull, false, ScanType::Standard);
    tree.addNtfsFile(0x8AC, "x.bin", 70, 64, 0x01D0000000000000ull, 0x01D0000000000001ull, true, 0x100000000ull);
    ++tree.fileCount;
    src.selection = Selection{FsType::Ntfs, 2048, 0x1000, 0x17FF, 0};
    VolumeParams& p = src.params;
    p.fsType = FsType::Ntfs;
    p.sectorsPerCluster = 8;
    p.clusterBase = 2048;
    p.mftStart = 0x820;
    p.mftMirrorStart = 0x810;
    p.sectorsPerMftRecord = 2;
    p.sectorsPerIndexRecord = 8;
    p.volumeEnd = 0x17FF;
    src.chosenFsIndex = 1;
    src.tree = &tree;
  }
};

const char kTinyNtfsImage[] =
    "7a 71 72 34 2e 30 33 | 31 2e 31"
    // selection: fsType 300, start 2048, length 0x1000, end 0x17FF, tag 0
    "2c 01 | 00 08 00 00 | 00 10 00 00 | ff 17 00 00 | 00 00"
    // volume: fsType 300, sectorsPerFat 0, sectorsPerCluster 8, rootDirSectors 0,
    // reservedSectors 0, clusterBase 2048, fat1Start 0, fat2Start 0
    "2c 01 | 00 00 00 00 | 08 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 08 00 00 | 00 00 00 00 | 00 00 00 00"
    // mftStart, mftMirrorStart, sectorsPerMftRecord 2, sectorsPerIndexRecord 8, volumeEnd
    "20 08 00 00 | 10 08 00 00 | 02 00 00 00 | 08 00 00 00 | ff 17 00 00"
    // chosenFsIndex, header extension of 0 bytes
    "01 00 | 00 00 00 00"
    // one folder: L 31, "Docs", record 64, parent 5, times, not deleted, reserved
    "01 00 00 00"
    "1f 00 | 44 6f 63 73 | 40 00 00 00 | 05 00 00 00 | 08 07 06 05 04 03 02 01 | 18 17 16 15 14 13 12 11 | 00 | 00 00"
    // one file: L 42, data record sector, "x.bin", record 70, parent 64, times, deleted, size
    "01 00 00 00"
    "2a 00 | ac 08 00 00 | 78 2e 62 69 6e | 46 00 00 00 | 40 00 00 00"
    "00 00 00 00 00 00 d0 01 | 01 00 00 00 00 00 d0 01 | 01 | 00 00 00 00 01 00 00 00";

TEST(SnapshotLayout, TinyFatTreeMatchesTheByteImage) {
  TinyFat t;
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(t.src, bytes, error)) << error;
  std::vector<std::uint8_t> expected = hexBytes(kTinyFatImage);
  ASSERT_EQ(kSnapshotHeaderSize, 78u);
  EXPECT_EQ(bytes, expected);

  // The file written by a save holds exactly those bytes.
  std::string path = makeTempDir("layout") + "/FAT.ZQRT";
  ASSERT_TRUE(saveSnapshot(path, t.src, error)) << error;
  EXPECT_EQ(readBytes(path), expected);
}

TEST(SnapshotLayout, TinyNtfsTreeMatchesTheByteImage) {
  TinyNtfs t;
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(t.src, bytes, error)) << error;
  EXPECT_EQ(bytes, hexBytes(kTinyNtfsImage));

  std::string path = makeTempDir("layout") + "/NTFS.ZQRT";
  ASSERT_TRUE(saveSnapshot(path, t.src, error)) << error;
  EXPECT_EQ(readBytes(path), hexBytes(kTinyNtfsImage));
}

TEST(SnapshotLayout, HandBuiltImagesLoad) {
  // The images are read as they were written out, not only as the writer
  // produces them.
  LoadedSnapshot got;
  std::string error;
  ASSERT_EQ(loadSnapshotBytes(hexBytes(kTinyFatImage), got, error), SnapshotLoadStatus::Ok) << error;
  TinyFat fat;
  expectSameHeader(got, fat.src.selection, fat.src.params, 2);
  expectSameFat(got.tree, fat.tree);

  ASSERT_EQ(loadSnapshotBytes(hexBytes(kTinyNtfsImage), got, error), SnapshotLoadStatus::Ok) << error;
  TinyNtfs ntfs;
  expectSameHeader(got, ntfs.src.selection, ntfs.src.params, 1);
  expectSameNtfsFolders(got.tree.ntfsFolders, ntfs.tree.ntfsFolders);
  expectSameNtfsFiles(got.tree.ntfsFiles, ntfs.tree.ntfsFiles);
  EXPECT_TRUE(got.tree.fatFolders.empty());
}

TEST(SnapshotLayout, Version10FilesLoadWithTheFieldsTheyHave) {
  // A FAT snapshot of version 1.0: everything but the times it lacks.
  LoadedSnapshot got;
  std::string error;
  ASSERT_EQ(loadSnapshotBytes(hexBytes(kTinyFatImage10), got, error), SnapshotLoadStatus::Ok) << error;
  TinyFat fat;
  for (auto& f : fat.tree.fatFolders) f.setTimes(FatTimes{0, 0, 0, f.writeDate, 0, f.accessDate});
  for (auto& f : fat.tree.fatFiles) f.setTimes(FatTimes{0, 0, 0, f.writeDate, 0, f.accessDate});
  expectSameHeader(got, fat.src.selection, fat.src.params, 2);
  expectSameFat(got.tree, fat.tree);

  // An NTFS one: the same body in both versions.
  std::string ntfs10 = kTinyNtfsImage;
  ntfs10.replace(ntfs10.find("31 2e 31"), 8, "31 2e 30");
  ntfs10.replace(ntfs10.find("01 00 | 00 00 00 00"), 19, "01 00");
  ASSERT_EQ(loadSnapshotBytes(hexBytes(ntfs10.c_str()), got, error), SnapshotLoadStatus::Ok) << error;
  TinyNtfs ntfs;
  expectSameNtfsFolders(got.tree.ntfsFolders, ntfs.tree.ntfsFolders);
  expectSameNtfsFiles(got.tree.ntfsFiles, ntfs.tree.ntfsFiles);
}

struct ExtensionCase {
  const char* what;
  const char* extension;  // the bytes after chosenFsIndex, up to the folder count
  bool loads;
  bool disk = false;  // holds the disk field (tag 1)
};

class SnapshotHeaderExtension : public ::testing::TestWithParam<ExtensionCase> {};

// Fields a later version adds to the header are skipped by tag; an
// extension that does not hold together is refused.
TEST_P(SnapshotHeaderExtension, UnknownTagsAreSkipped) {
  std::string image = kTinyFatImage;
  image.replace(image.find("02 00 | 00 00 00 00"), 19, std::string("02 00 | ") + GetParam().extension);
  LoadedSnapshot got;
  std::string error;
  const auto st = loadSnapshotBytes(hexBytes(image.c_str()), got, error);
  if (!GetParam().loads) {
    EXPECT_EQ(st, SnapshotLoadStatus::Damaged);
    EXPECT_NE(error.find("header extension"), std::string::npos) << error;
    return;
  }
  ASSERT_EQ(st, SnapshotLoadStatus::Ok) << error;
  TinyFat fat;
  expectSameFat(got.tree, fat.tree);
  EXPECT_EQ(got.disk.has_value(), GetParam().disk);
  if (got.disk) {
    EXPECT_EQ(got.disk->diskBytes, 0x10000u);
    EXPECT_EQ(got.disk->sectorSize, 512u);
    EXPECT_EQ(got.disk->bootSha256[0], 0xaa);
    EXPECT_EQ(got.disk->bootSha256[31], 0xbb);
  }
}

// The disk a snapshot was taken from, written and read back.
TEST(SnapshotLayout, TheDiskFieldRoundTrips) {
  TinyFat fat;
  SnapshotSource src = fat.src;
  SnapshotDisk d;
  d.diskBytes = 3ull << 40;
  d.sectorSize = 4096;
  d.bootSha256.fill(0x42);
  src.disk = d;
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(src, bytes, error)) << error;
  LoadedSnapshot got;
  ASSERT_EQ(loadSnapshotBytes(bytes, got, error), SnapshotLoadStatus::Ok) << error;
  ASSERT_TRUE(got.disk.has_value());
  EXPECT_EQ(*got.disk, d);
  expectSameFat(got.tree, fat.tree);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotHeaderExtension,
    ::testing::Values(ExtensionCase{"empty", "00 00 00 00", true},
                      ExtensionCase{"one field", "07 00 00 00 | 34 12 03 00 | aa bb cc", true},
                      ExtensionCase{"two fields, one empty", "0a 00 00 00 | 01 00 00 00 | 02 00 02 00 | ff ff", true},
                      ExtensionCase{"the disk field",
                                    "30 00 00 00 | 01 00 2c 00 | 00 00 01 00 00 00 00 00 | 00 02 00 00 | "
                                    "aa 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                                    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 bb",
                                    true, true},
                      ExtensionCase{"a field longer than the extension", "06 00 00 00 | 01 00 05 00 | aa bb", false},
                      ExtensionCase{"a tag cut short", "02 00 00 00 | 01 00", false},
                      ExtensionCase{"longer than the file", "00 00 01 00", false}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(SnapshotLayout, FatTreeWithoutSubFoldersHasFolderCountZeroThenTheFileCount) {
  FileTree tree;
  tree.addFatFile("ONLY.TXT", 2, 0, 0, 0, 10, false);
  ++tree.fileCount;
  tree.addFatFile("TWO.TXT", 3, 0, 0, 0, 11, false);
  ++tree.fileCount;
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Fat16);
  src.params = sampleParams(FsType::Fat16);
  src.tree = &tree;
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(src, bytes, error)) << error;
  ASSERT_GE(bytes.size(), 90u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 78, bytes.begin() + 90),
            hexBytes("00000000 00000000 02000000"));
  EXPECT_EQ(rd16(Bytes(bytes), 90), 8 + 28);  // the first file record follows
  EXPECT_EQ(bytes.size(), 90u + (2 + 8 + 28) + (2 + 7 + 28));

  LoadedSnapshot got;
  ASSERT_EQ(loadSnapshotBytes(bytes, got, error), SnapshotLoadStatus::Ok) << error;
  EXPECT_TRUE(got.tree.fatFolders.empty());
  EXPECT_EQ(got.tree.fatFiles.size(), 2u);
}

TEST(SnapshotLayout, AdvancedNtfsWritesOnlyTheRecordsOfTheChosenFileSystem) {
  FileTree tree;
  fillDeepNtfsFolders(tree);
  std::vector<NtfsFileRecord> records = deepScanRecords();
  ParentIndex index;
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Ntfs);
  src.params = sampleParams(FsType::Ntfs);
  src.tree = &tree;
  src.ntfsFiles = NtfsFileSet(records, index, src.params.clusterBase, src.params.volumeEnd);
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(src, bytes, error)) << error;

  // Walk the body by hand: two folders, then the count of the files inside
  // 4000 < sector <= 9000 and their record sectors in list order.
  Bytes b(bytes);
  std::size_t at = 82;  // after the header and its empty extension
  ASSERT_EQ(rd32(b, at), 2u);
  at += 4;
  for (int i = 0; i < 2; ++i) at += 2 + rd16(b, at);
  ASSERT_EQ(rd32(b, at), 4u);
  at += 4;
  std::vector<std::uint32_t> sectors;
  for (int i = 0; i < 4; ++i) {
    sectors.push_back(rd32(b, at + 2));
    at += 2 + rd16(b, at);
  }
  EXPECT_EQ(at, bytes.size());
  EXPECT_EQ(sectors, (std::vector<std::uint32_t>{4001, 5000, 7000, 9000}));
}

}  // namespace
}  // namespace osprin::test
