// Snapshots of trees that the standard scan rebuilt from real volumes.
#include <gtest/gtest.h>

#include <filesystem>

#include "snapshot/snapshot.h"
#include "snapshot_trees.h"
#include "support/fixtures.h"
#include "volume/walkers.h"

namespace osprin::test {
namespace {

struct Volume {
  const char* fixture;
  FsType fsType;
  SectorNo end;
};

class ScannedFixture : public ::testing::TestWithParam<Volume> {};

TEST_P(ScannedFixture, RoundTripsThroughASnapshotFile) {
  const Volume& v = GetParam();
  std::string gz = std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + v.fixture + ".img.gz";
  if (!std::filesystem::exists(gz)) GTEST_SKIP() << v.fixture << " is not built";

  auto reader = openReader(fixtureImage(v.fixture));
  Selection sel{v.fsType, 0, v.end + 1, v.end, 0};
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  StopFlag stop{0};
  ASSERT_EQ(runStandardScan(*reader, sel, vp, runs, tree, stop, nullObserver()), ScanOutcome::Done);
  ASSERT_FALSE(tree.fatFiles.empty() && tree.ntfsFiles.empty());

  ParentIndex index;
  SnapshotSource src{sel, vp, 0, &tree, {}, {}};
  if (v.fsType == FsType::Ntfs) src.ntfsFiles = NtfsFileSet(tree.ntfsFiles, index);
  std::string path = snapshotFileName(makeTempDir("fixture") + "/" + v.fixture);
  std::string error;
  ASSERT_TRUE(saveSnapshot(path, src, error)) << error;

  LoadedSnapshot got;
  ASSERT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
  expectSameHeader(got, sel, vp, 0);
  if (v.fsType == FsType::Ntfs) {
    expectSameNtfsFolders(got.tree.ntfsFolders, tree.ntfsFolders);
    expectSameNtfsFiles(got.tree.ntfsFiles, tree.ntfsFiles);
    EXPECT_EQ(got.tree.fileCount, tree.fileCount);  // streams are not counted as files
    // The MFT runs that the loader's caller reads again fit the loaded volume.
    MftRuns again = readMftRuns(*reader, got.params.clusterBase, got.params.mftStart, got.params.sectorsPerCluster);
    EXPECT_EQ(again.runStart, runs.runStart);
    EXPECT_EQ(again.runLength, runs.runLength);
    EXPECT_EQ(again.sectorsPerRecord, runs.sectorsPerRecord);
    EXPECT_GT(again.size(), 0u);
  } else {
    expectSameFat(got.tree, tree);
  }

  // The folder tree built from the loaded lists is the scanned one.
  if (v.fsType == FsType::Ntfs)
    got.tree.buildNtfsFolderTree();
  else
    got.tree.buildFatFolderTree();
  const FolderTree &a = tree.folderTree(), &b = got.tree.folderTree();
  ASSERT_EQ(a.size(), b.size());
  for (std::uint32_t i = 1; i < a.size(); ++i) EXPECT_EQ(a.path(i), b.path(i));
}

INSTANTIATE_TEST_SUITE_P(Snapshot, ScannedFixture,
                         ::testing::Values(Volume{"fat16vol", FsType::Fat16, 32767},
                                           Volume{"fat32vol", FsType::Fat32, 81919},
                                           Volume{"ntfs", FsType::Ntfs, 65535},
                                           // named streams (a flag bit of the deleted byte), deleted streams
                                           Volume{"ntfs_windows", FsType::Ntfs, 12287},
                                           // 4,096-byte sectors (and MFT records); ends in 512-byte units
                                           Volume{"fat4k", FsType::Fat16, 65535},
                                           Volume{"ntfs4k", FsType::Ntfs, 32767},
                                           // exFAT: 64-bit sizes, valid data length, NoFatChain, UTC offsets
                                           Volume{"exfatvol", FsType::Exfat, 65535}),
                         [](const auto& info) { return std::string(info.param.fixture); });

}  // namespace
}  // namespace osprin::test
