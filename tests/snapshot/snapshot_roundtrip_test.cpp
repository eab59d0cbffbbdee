// Trees saved to a snapshot file and loaded again come back the same.
#include <gtest/gtest.h>

#include "snapshot/snapshot.h"
#include "snapshot_trees.h"
#include "support/fixtures.h"

namespace osprin::test {
namespace {

LoadedSnapshot saveAndLoad(const SnapshotSource& src) {
  std::string path = snapshotFileName(makeTempDir("rt") + "/scan");
  std::string error;
  EXPECT_TRUE(saveSnapshot(path, src, error)) << error;
  LoadedSnapshot got;
  EXPECT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
  return got;
}

class FatRoundTrip : public ::testing::TestWithParam<FsType> {};

TEST_P(FatRoundTrip, GivesTheSameListsWithFilesNumberedAfresh) {
  FileTree tree;
  fillFatTree(tree);
  tree.buildFatFolderTree();  // tree items are not part of a snapshot
  SnapshotSource src;
  src.selection = sampleSelection(GetParam());
  src.params = sampleParams(GetParam());
  src.chosenFsIndex = 4;
  src.tree = &tree;

  LoadedSnapshot got = saveAndLoad(src);
  expectSameHeader(got, src.selection, src.params, 4);
  expectSameFat(got.tree, tree);
  for (std::size_t i = 0; i < got.tree.fatFiles.size(); ++i) {
    EXPECT_EQ(got.tree.fatFiles[i].fileIndex, i);
    EXPECT_EQ(got.tree.findFatFileByIndex(static_cast<std::uint32_t>(i)), static_cast<std::int64_t>(i));
  }
  for (const auto& f : got.tree.fatFolders) EXPECT_EQ(f.treeItem, 0u);
  EXPECT_EQ(got.tree.folderCount, tree.fatFolders.size());
  EXPECT_EQ(got.tree.fileCount, tree.fatFiles.size());
  EXPECT_TRUE(got.tree.ntfsFolders.empty());
  EXPECT_TRUE(got.tree.ntfsFiles.empty());

  // The loaded tree is usable as a scanned one: lookups and the folder tree.
  EXPECT_EQ(got.tree.findFatFolder(7), 1);
  EXPECT_EQ(got.tree.fatFileChildren(3).size(), 1u);
  got.tree.buildFatFolderTree();
  EXPECT_NE(got.tree.fatFolders[1].treeItem, 0u);
  EXPECT_EQ(got.tree.fatFolders[3].treeItem, 0u);  // the orphan stays out of the tree
}

INSTANTIATE_TEST_SUITE_P(Snapshot, FatRoundTrip, ::testing::Values(FsType::Fat16, FsType::Fat32),
                         [](const auto& info) { return std::string(fsTypeText(info.param)); });

TEST(NtfsRoundTrip, StandardTreeComesBackTheSame) {
  FileTree tree;
  fillNtfsTree(tree);
  ParentIndex index;
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Ntfs);
  src.params = sampleParams(FsType::Ntfs);
  src.chosenFsIndex = 0xFFFF;
  src.tree = &tree;
  src.ntfsFiles = NtfsFileSet(tree.ntfsFiles, index);

  LoadedSnapshot got = saveAndLoad(src);
  expectSameHeader(got, src.selection, src.params, 0xFFFF);
  expectSameNtfsFolders(got.tree.ntfsFolders, tree.ntfsFolders);
  expectSameNtfsFiles(got.tree.ntfsFiles, tree.ntfsFiles);
  EXPECT_EQ(got.tree.folderCount, 4u);
  EXPECT_EQ(got.tree.fileCount, 4u);
  EXPECT_TRUE(got.tree.fatFiles.empty());
  EXPECT_EQ(got.tree.findNtfsFileBySector(4096 + 202), 1);

  // Without a file set the tree's own list is written: the same file.
  SnapshotSource plain = src;
  plain.ntfsFiles = NtfsFileSet();
  std::vector<std::uint8_t> a, b;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(src, a, error));
  ASSERT_TRUE(encodeSnapshot(plain, b, error));
  EXPECT_EQ(a, b);
}

TEST(NtfsRoundTrip, AdvancedTreeLoadsAsAStandardTreeOfTheChosenRecords) {
  FileTree tree;
  fillDeepNtfsFolders(tree);
  std::vector<NtfsFileRecord> records = deepScanRecords();
  ParentIndex index;
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Ntfs);
  src.params = sampleParams(FsType::Ntfs);
  src.chosenFsIndex = 3;
  src.tree = &tree;
  src.ntfsFiles = NtfsFileSet(records, index, src.params.clusterBase, src.params.volumeEnd);

  LoadedSnapshot got = saveAndLoad(src);
  expectSameHeader(got, src.selection, src.params, 3);
  expectSameNtfsFolders(got.tree.ntfsFolders, tree.ntfsFolders);
  std::vector<NtfsFileNode> inside;
  for (const auto& r : records)
    if (r.dataRecordSector > 4000 && r.dataRecordSector <= 9000) inside.push_back(r);
  ASSERT_EQ(inside.size(), 4u);
  expectSameNtfsFiles(got.tree.ntfsFiles, inside);
  EXPECT_EQ(got.tree.fileCount, 4u);

  // The files are in ntfsFiles, where a standard tree keeps them.
  EXPECT_EQ(got.tree.ntfsFileChildren(40).size(), 2u);
  EXPECT_EQ(got.tree.ntfsFileChildren(12345).size(), 1u);
}

TEST(NtfsRoundTrip, LoadedFoldersWithTheSameRecordNumberAreKeptOnce) {
  // A scan never writes two folders of one record number; a snapshot that
  // holds them keeps the first (the others would show its content again).
  FileTree tree;
  tree.addNtfsFolder("a", 40, 5, 0, 0, false, ScanType::Standard);
  tree.addNtfsFolder("b", 40, 5, 0, 0, true, ScanType::Standard);
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Ntfs);
  src.params = sampleParams(FsType::Ntfs);
  src.tree = &tree;
  LoadedSnapshot got = saveAndLoad(src);
  tree.ntfsFolders.pop_back();
  expectSameNtfsFolders(got.tree.ntfsFolders, tree.ntfsFolders);
}

TEST(SnapshotRoundTrip, EmptyTreesAndExtremeValues) {
  for (FsType t : {FsType::Fat16, FsType::Fat32, FsType::Ntfs}) {
    SCOPED_TRACE(std::string(fsTypeText(t)));
    FileTree tree;
    SnapshotSource src;
    src.selection = Selection{t, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF};
    src.params.fsType = t;
    src.params.sectorsPerFat = src.params.clusterBase = src.params.volumeEnd = 0xFFFFFFFF;
    src.chosenFsIndex = 0xFFFF;
    src.tree = &tree;
    std::vector<std::uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(encodeSnapshot(src, bytes, error)) << error;
    EXPECT_EQ(bytes.size(), 78u + 4u + 8u);  // header, empty header extension, two counts
    LoadedSnapshot got;
    ASSERT_EQ(loadSnapshotBytes(bytes, got, error), SnapshotLoadStatus::Ok) << error;
    expectSameHeader(got, src.selection, src.params, 0xFFFF);
    EXPECT_EQ(got.tree.folderCount, 0u);
    EXPECT_EQ(got.tree.fileCount, 0u);
  }
}

TEST(SnapshotRoundTrip, SelectionAndVolumeMayDifferInKind) {
  // An advanced scan of a range chosen as FAT32 can mount a FAT16 file system.
  FileTree tree;
  fillFatTree(tree);
  SnapshotSource src;
  src.selection = sampleSelection(FsType::Fat32);
  src.params = sampleParams(FsType::Fat16);
  src.tree = &tree;
  LoadedSnapshot got = saveAndLoad(src);
  EXPECT_EQ(got.selection.fsType, FsType::Fat32);
  EXPECT_EQ(got.params.fsType, FsType::Fat16);
  expectSameFat(got.tree, tree);
}

TEST(SnapshotRoundTrip, ASecondSaveReplacesTheFirst) {
  std::string path = makeTempDir("replace") + "/S.ZQRT";
  FileTree fat;
  fillFatTree(fat);
  FileTree ntfs;
  fillNtfsTree(ntfs);
  SnapshotSource a{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &fat, {}, {}};
  SnapshotSource b{sampleSelection(FsType::Ntfs), sampleParams(FsType::Ntfs), 0, &ntfs, {}, {}};
  std::string error;
  ASSERT_TRUE(saveSnapshot(path, a, error)) << error;
  ASSERT_TRUE(saveSnapshot(path, b, error)) << error;
  LoadedSnapshot got;
  ASSERT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
  EXPECT_EQ(got.params.fsType, FsType::Ntfs);
  expectSameNtfsFiles(got.tree.ntfsFiles, ntfs.ntfsFiles);
  // No temporary file is left beside it.
  std::string listing = runCommand("ls -A " + path.substr(0, path.rfind('/')));
  EXPECT_EQ(listing, "S.ZQRT\n");
}

TEST(SnapshotRoundTrip, ManyRecords) {
  FileTree tree;
  for (std::uint32_t i = 0; i < 20000; ++i) tree.addNtfsFolder("d" + std::to_string(i), 100 + i, 5, i, i, false,
                                                                ScanType::Standard);
  for (std::uint32_t i = 0; i < 100000; ++i) {
    tree.addNtfsFile(50000 + 2 * i, "f" + std::to_string(i), 0, 100 + i % 20000, i, i, i % 3 == 0, i);
    ++tree.fileCount;
  }
  SnapshotSource src{sampleSelection(FsType::Ntfs), sampleParams(FsType::Ntfs), 0, &tree, {}, {}};
  LoadedSnapshot got = saveAndLoad(src);
  expectSameNtfsFolders(got.tree.ntfsFolders, tree.ntfsFolders);
  expectSameNtfsFiles(got.tree.ntfsFiles, tree.ntfsFiles);
}

}  // namespace
}  // namespace osprin::test
