// Mounting a found file system: FAT folders from heads and their names from
// parent directories, the FAT search, NTFS folders and lost parents, and the
// NTFS files of the chosen volume; the exFAT live tree and loose sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "deep_builders.h"
#include "deepscan/deep_scan.h"
#include "deepscan/mount.h"
#include "disk/faulty_source.h"
#include "support/selections.h"
#include "tree/file_list.h"

namespace osprin {
namespace {

using test::MemDisk;
using test::RecordingObserver;

// Every path of the folder tree and of the files listed under it.
std::set<std::string> fatPaths(FileTree& tree) {
  std::set<std::string> out;
  const FolderTree& ft = tree.folderTree();
  for (std::uint32_t item = 2; item < ft.size(); ++item) out.insert(ft.path(item) + "/");
  for (const auto& f : tree.fatFiles) {
    std::string dir;
    if (f.parentCluster != 0) {
      auto idx = tree.findFatFolder(f.parentCluster);
      if (idx < 0 || tree.fatFolders[static_cast<std::size_t>(idx)].treeItem == 0) continue;
      dir = ft.path(tree.fatFolders[static_cast<std::size_t>(idx)].treeItem);
    }
    out.insert(dir + "/" + f.name + (f.deleted ? " (deleted)" : ""));
  }
  return out;
}

TEST(FatMount, FoldersFromHeadsNamedFromTheirParentsEntries) {
  // FAT16 geometry: 4 sectors per cluster, cluster base 1000. No boot sector,
  // no FAT: the chains are one cluster long and the root is never read.
  MemDisk d(6000);
  auto cl = [](std::uint32_t c) { return 1000 + 4 * c; };
  d.dirHead(cl(10), 10, 0);
  d.dirEntry(cl(10), 2, "REPORT  TXT", 0x20, 30, 1234);
  d.dirEntry(cl(10), 3, "SUB        ", 0x10, 12, 0);
  d.dirEntry(cl(10), 4, "\xE5OLD    TXT", 0x20, 31, 10);
  d.dirEntry(cl(10), 5, "NEW     TXT", 0x20, 32, 20);
  d.dirEntry(cl(10), 6, "ODD        ", 0x10, 33, 99);  // a folder entry with a size: listed as a file
  d.dirHead(cl(12), 12, 10);
  d.dirEntry(cl(12), 2, "INNER   BIN", 0x20, 40, 5);
  d.dirHead(cl(1234), 1234, 20);  // parent 20 was never found
  d.dirEntry(cl(1234), 2, "LOST    DAT", 0x20, 41, 6);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  Selection sel;
  sel.fsType = FsType::Fat16;
  sel.rangeStart = 0;
  sel.rangeEnd = 6000;
  sel.rangeLength = 6000;
  runDeepScan(*reader, sel, 60, r, stop, nullObserver());
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  EXPECT_EQ(r.foundFileSystems[0].label, "FAT16 @1000");

  VolumeParams vp;
  selectFoundFileSystem(r, 1, vp);
  FileTree tree;
  RecordingObserver obs;
  runMount(*reader, r, 1, vp, tree, stop, obs);
  EXPECT_EQ(fatPaths(tree), (std::set<std::string>{"/Dir10/", "/Dir10/SUB/", "/Dir20/", "/Dir20/Dir1234/",
                                                    "/Dir10/REPORT.TXT", "/Dir10/xOLD.TXT (deleted)",
                                                    "/Dir10/NEW.TXT", "/Dir10/ODD", "/Dir10/SUB/INNER.BIN",
                                                    "/Dir20/Dir1234/LOST.DAT"}));
  EXPECT_EQ(tree.fileCount, 6u);
  std::vector<PhaseInfo> steps;
  for (const auto& p : obs.phases)
    if (p.phase == Phase::MountStep) steps.push_back(p);
  EXPECT_EQ(steps, (std::vector<PhaseInfo>{{Phase::MountStep, 1, 5}, {Phase::MountStep, 2, 5}, {Phase::MountStep, 3, 5},
                                           {Phase::MountStep, 4, 5}, {Phase::MountStep, 5, 5}}));
  EXPECT_EQ(obs.phases.back(), PhaseInfo{Phase::None});
  // The folder list of the root: the found folders and the lost parent.
  auto rows = listFatFolder(tree, 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "Dir10");
  EXPECT_EQ(rows[0].modified, fatDateTimeText(0x3A21, 0));
  EXPECT_EQ(rows[1].name, "Dir20");
}

TEST(FatMount, AFolderWhoseClusterWasReusedHasNoContent) {
  MemDisk d(3000);
  d.dirHead(1040, 10, 0);
  d.dirHead(1048, 12, 10);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  Selection sel;
  sel.fsType = FsType::Fat16;
  sel.rangeEnd = sel.rangeLength = 3000;
  runDeepScan(*reader, sel, 60, r, stop, nullObserver());
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  // After the scan, cluster 12 is overwritten by a file.
  std::memset(d.at(1048), 'x', 512);
  d.dirEntry(1048, 5, "SHOULDNT   ", 0x20, 50, 1);
  auto reader2 = d.reader();
  VolumeParams vp;
  selectFoundFileSystem(r, 1, vp);
  FileTree tree;
  runMount(*reader2, r, 1, vp, tree, stop, nullObserver());
  EXPECT_EQ(tree.fatFolders.size(), 2u);
  EXPECT_TRUE(tree.fatFiles.empty());
}

TEST(FatMount, FatCopiesFoundBeforeTheClusterBase) {
  MemDisk d(2000);
  for (SectorNo s : {200u, 450u}) {
    d.put8(s, 0, 0xF8);
    d.put8(s, 1, 0xFF);
    d.put8(s, 2, 0xFF);
  }
  d.put8(300, 0, 0xF8);  // F8 alone is not a FAT start
  auto reader = d.reader();
  VolumeParams vp;
  vp.fsType = FsType::Fat16;
  vp.clusterBase = 700;
  vp.sectorsPerCluster = 4;
  EXPECT_TRUE(findFatCopies(*reader, vp, nullObserver()));
  EXPECT_EQ(vp.fat1Start, 200u);
  EXPECT_EQ(vp.fat2Start, 450u);
  EXPECT_EQ(vp.sectorsPerFat, 250u);
  EXPECT_EQ(vp.rootDirStart, 700u);

  // One copy only: fat1Start is that copy, and its extent what lies
  // between it and the 32 root sectors before the data area (700 + 2 * 4).
  d.put8(450, 0, 0);
  auto reader2 = d.reader();
  VolumeParams one;
  one.fsType = FsType::Fat16;
  one.clusterBase = 700;
  one.sectorsPerCluster = 4;
  EXPECT_FALSE(findFatCopies(*reader2, one, nullObserver()));
  EXPECT_EQ(one.fat1Start, 200u);
  EXPECT_EQ(one.fat2Start, 0u);
  // The 2000-sector disk holds (2000 - 708) / 4 = 323 clusters: 325 entries, 2 sectors.
  EXPECT_EQ(one.sectorsPerFat, 2u);
  EXPECT_EQ(one.rootDirStart, 676u);

  // The search window: 550 sectors for FAT16, from sector 1 at the least.
  VolumeParams narrow;
  narrow.fsType = FsType::Fat16;
  narrow.clusterBase = 1200;  // window 650..1199: both copies lie before it
  auto reader3 = d.reader();
  EXPECT_FALSE(findFatCopies(*reader3, narrow, nullObserver()));
  EXPECT_EQ(narrow.fat1Start, 0u);
  VolumeParams near;
  near.fsType = FsType::Fat32;
  near.clusterBase = 250;  // window 1..249: the copy at 200 is found
  EXPECT_FALSE(findFatCopies(*reader3, near, nullObserver()));
  EXPECT_EQ(near.fat1Start, 200u);
}

// The extent of a lone FAT copy: bounded by the root directory or the data
// area, and by the entries the clusters up to the volume's (or disk's) end need.
struct ExtentCase {
  const char* what;
  FsType fs;
  SectorNo fat1Start, clusterBase, volumeEnd;
  std::uint32_t spc, rootDirSectors;
  std::uint64_t disk;
  std::uint32_t sectorsPerFat;
  SectorNo rootDirStart;
};

class OneFatCopy : public ::testing::TestWithParam<ExtentCase> {};

TEST_P(OneFatCopy, ItsExtentIsBounded) {
  const auto& c = GetParam();
  VolumeParams vp;
  vp.fsType = c.fs;
  vp.fat1Start = c.fat1Start;
  vp.clusterBase = c.clusterBase;
  vp.volumeEnd = c.volumeEnd;
  vp.sectorsPerCluster = c.spc;
  vp.rootDirSectors = c.rootDirSectors;
  oneFatCopyExtent(vp, c.disk);
  EXPECT_EQ(vp.sectorsPerFat, c.sectorsPerFat);
  EXPECT_EQ(vp.rootDirStart, c.rootDirStart);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneFatCopy,
    ::testing::Values(
        // FAT 2 of an 8 GiB FAT32 (4 KiB clusters): the copy reaches the data area.
        // (the 2,093,054 clusters of the disk need 16,352 sectors of entries).
        ExtentCase{"Fat32SecondCopy", FsType::Fat32, 16416, 32784 - 16, 0, 8, 0, 16777216, 16352, 0},
        // FAT 1 with FAT 2 damaged: two copies' room, the clusters need one.
        ExtentCase{"Fat32FirstCopy", FsType::Fat32, 32, 32784 - 16, 0, 8, 0, 16777216, 16352, 0},
        // FAT16 of the fixture: FAT 2 at 34, root at 66 (32 sectors), data at 98.
        ExtentCase{"Fat16SecondCopy", FsType::Fat16, 34, 94, 0, 2, 0, 16384, 32, 66},
        ExtentCase{"Fat16FirstCopyUpToTheVolumeEnd", FsType::Fat16, 2, 94, 16384, 2, 32, 1 << 20, 32, 66},
        // A copy found after the root directory's place fits nothing.
        ExtentCase{"CopyPastTheRoot", FsType::Fat16, 80, 94, 0, 2, 0, 16384, 0, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(FatMount, UnreadableFatSectorsAreNotTakenForTheCopyBefore) {
  MemDisk d(1000);
  d.put8(200, 0, 0xF8);
  d.put8(200, 1, 0xFF);
  d.put8(200, 2, 0xFF);
  auto src = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.data()));
  src->failSector(201);
  SectorReader reader(std::move(src));
  VolumeParams vp;
  vp.fsType = FsType::Fat16;
  vp.clusterBase = 700;
  EXPECT_FALSE(findFatCopies(reader, vp, nullObserver()));
  EXPECT_EQ(vp.fat1Start, 200u);
  EXPECT_EQ(vp.fat2Start, 0u);
}

// --- NTFS ----------------------------------------------------------------

NtfsDirRecord dir(std::string name, SectorNo sector, std::uint32_t number, std::uint32_t parent, std::int16_t fs,
                  bool deleted = false) {
  NtfsDirRecord d;
  d.name = std::move(name);
  d.sector = sector;
  d.recordNumber = number;
  d.parentRecord = parent;
  d.fsIndex = fs;
  d.deleted = deleted;
  return d;
}

NtfsFileRecord file(std::string name, SectorNo sector, std::uint32_t parent, std::uint64_t size) {
  NtfsFileRecord f;
  f.name = std::move(name);
  f.dataRecordSector = sector;
  f.parentRecord = parent;
  f.size = size;
  return f;
}

TEST(NtfsMount, FoldersOfTheChosenFileSystemAndPlaceholdersForLostParents) {
  DeepScanResults r;
  r.ntfsDirRecords = {dir(".", 1010, 5, 5, 1),         dir("Docs", 1020, 40, 5, 1),
                      dir("Orphan1", 1030, 50, 37, 1), dir("Orphan2", 1040, 51, 37, 1),
                      dir("Orphan3", 1050, 52, 41, 1), dir("Docs", 1060, 40, 5, 1),  // same record: dropped
                      dir("Other", 5000, 60, 5, 2),    dir("Old", 1070, 53, 40, 1, true)};
  r.ntfsFileRecords = {file("a.txt", 1100, 40, 10), file("b.txt", 1200, 50, 20), file("c.txt", 2500, 40, 30),
                       file("d.txt", 5100, 60, 40)};
  VolumeParams fs1;
  fs1.fsType = FsType::Ntfs;
  fs1.clusterBase = 1000;
  fs1.volumeEnd = 2000;
  r.foundFileSystems.push_back(FoundFileSystem{fs1, "NTFS @1000"});

  FileTree tree;
  StopFlag stop{0};
  RecordingObserver obs;
  mountFoundNtfs(r, 1, tree, stop, obs);
  std::vector<std::string> names;
  for (const auto& f : tree.ntfsFolders) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Docs", "Orphan1", "Orphan2", "Orphan3", "Old", "Dir0", "Dir1"}));
  EXPECT_EQ(tree.ntfsFolders[5].recordNumber, 37u);
  EXPECT_EQ(tree.ntfsFolders[5].parentRecord, 5u);
  EXPECT_EQ(tree.ntfsFolders[6].recordNumber, 41u);
  EXPECT_TRUE(tree.ntfsFolders[4].deleted);
  EXPECT_TRUE(tree.ntfsFiles.empty());
  const FolderTree& ft = tree.folderTree();
  EXPECT_EQ(ft.path(tree.ntfsFolders[1].treeItem), "/Dir0/Orphan1");
  EXPECT_EQ(ft.path(tree.ntfsFolders[2].treeItem), "/Dir0/Orphan2");
  EXPECT_EQ(ft.path(tree.ntfsFolders[3].treeItem), "/Dir1/Orphan3");
  EXPECT_EQ(ft.path(tree.ntfsFolders[4].treeItem), "/Docs/Old");
  EXPECT_EQ(obs.phases, (std::vector<PhaseInfo>{{Phase::ExtractingEntries}, {Phase::SearchingLostData},
                                                {Phase::CreatingTreeStructure}, {Phase::None}}));

  // Files: those of the chosen volume's sectors only.
  NtfsFileSet files = r.fileSetOf(1);
  auto rows = listNtfsFolder(tree, files, 40);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "Old");
  EXPECT_TRUE(rows[0].folder);
  EXPECT_EQ(rows[1].name, "a.txt");
  EXPECT_EQ(rows[1].id, 1100u);
  EXPECT_EQ(listNtfsFolder(tree, files, 50).size(), 1u);
  EXPECT_EQ(listNtfsFolder(tree, files, 60).size(), 0u);
  EXPECT_EQ(r.fileSetOf(0).findBySector(1100), -1);
  EXPECT_EQ(r.fileSetOf(7).findBySector(1100), -1);
}

TEST(DeepResults, FreeingEmptiesEverything) {
  DeepScanResults r;
  r.bootSectorHits = {1, 2};
  r.dirHeadHits.resize(3);
  r.ntfsDirRecords.resize(4);
  r.ntfsFileRecords.resize(5);
  r.indexBlockHits.resize(6);
  r.foundFileSystems.resize(2);
  r.bootSectorCount = r.folderHitCount = r.fileHitCount = r.indexBlockCount = r.classifiedCount = 9;
  r.freeDeepScanLists();
  EXPECT_TRUE(r.bootSectorHits.empty() && r.dirHeadHits.empty() && r.ntfsDirRecords.empty() &&
              r.ntfsFileRecords.empty() && r.indexBlockHits.empty() && r.foundFileSystems.empty());
  EXPECT_EQ(r.bootSectorCount + r.folderHitCount + r.fileHitCount + r.indexBlockCount + r.classifiedCount, 0u);
  EXPECT_EQ(r.foundFsCount(), 0);
}

TEST(DeepResults, FileRecordsStaySmall) {
  // Tens of millions of file records on a large disk: the record itself
  // (names of up to 15 bytes live inside it) must stay small. The hits hold
  // a 64-bit sector number and their fields after it without holes.
  EXPECT_LE(sizeof(NtfsFileRecord), 96u);
  EXPECT_LE(sizeof(DirHeadHit), 24u);
  EXPECT_LE(sizeof(IndexBlockHit), 24u);
}


// --- exFAT ---------------------------------------------------------------

// A volume at sector 0 with one sector per cluster (cluster c at sector
// 62 + c), its FAT at 24 and root folder at cluster 4; a live folder, a
// deleted file, a deleted folder without its FAT chain, a stale set past the
// root's end mark, and folders of an earlier format lying loose in clusters
// 20 to 24.
struct ExfatMountCase {
  const char* what;
  bool withRoot;  // the FAT and the root folder are used
  std::set<std::string> paths;
};

class ExfatMount : public ::testing::TestWithParam<ExfatMountCase> {};

TEST_P(ExfatMount, LiveTreeThenLooseSetsUnderTheFoldersOfTheirClusters) {
  MemDisk d(200);
  auto cl = [](std::uint32_t c) { return 62 + c; };
  d.exfatBoot(0, 164, 24, 8, 64, 100, 0);
  d.exfatFatHead(24);
  d.put32(24, 16, 0xFFFFFFFFu);  // the root folder: one cluster
  d.exfatSet(cl(4), 0, u"Live", true, 6, 512);
  d.exfatSet(cl(4), 96, u"kept.txt", false, 7, 100);
  d.exfatSet(cl(4), 192, u"old.txt", false, 8, 100, true, true);
  // A deleted folder whose FAT chain is gone: its three clusters lie apart.
  d.exfatSet(cl(4), 288, u"Frag", true, 40, 1536, false, true);
  d.exfatSet(cl(4), 416, u"stale.txt", false, 9, 100);  // past the end mark at 384
  d.exfatSet(cl(40), 0, u"x1.txt", false, 41, 100, true, true);
  d.exfatSet(cl(45), 0, u"x2.txt", false, 46, 100, true, true);
  d.exfatSet(cl(50), 0, u"x3.txt", false, 51, 100, true, true);
  d.exfatSet(cl(6), 0, u"inner.txt", false, 10, 100);
  d.exfatSet(cl(20), 0, u"lost1.txt", false, 30, 100);
  d.exfatSet(cl(20), 96, u"Sub", true, 21, 1024);  // clusters 21 and 22
  d.exfatSet(cl(21), 0, u"s1.txt", false, 31, 100);
  d.exfatSet(cl(22), 0, u"s2.txt", false, 32, 100);
  d.exfatSet(cl(23), 0, u"lost2.txt", false, 33, 100);
  d.exfatSet(cl(24), 0, u"lost3.txt", false, 34, 100);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  runDeepScan(*reader, test::scanRange(FsType::Exfat, 0, 200), 60, r, stop, nullObserver());
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  VolumeParams vp;
  selectFoundFileSystem(r, 1, vp);
  if (!GetParam().withRoot) vp.fat1Start = 0;
  FileTree tree;
  RecordingObserver obs;
  runMount(*reader, r, 1, vp, tree, stop, obs);
  EXPECT_EQ(fatPaths(tree), GetParam().paths);
  EXPECT_EQ(tree.fileCount, 12u);
  std::vector<PhaseInfo> steps;
  for (const auto& p : obs.phases)
    if (p.phase == Phase::MountStep) steps.push_back(p);
  EXPECT_EQ(steps, (std::vector<PhaseInfo>{{Phase::MountStep, 1, 3}, {Phase::MountStep, 2, 3}, {Phase::MountStep, 3, 3}}));
  EXPECT_EQ(stop.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Roots, ExfatMount,
    ::testing::Values(
        ExfatMountCase{"with its root: what is not in the live tree is deleted",
                       true,
                       {"/Live/", "/Dir20/", "/Dir20/Sub/", "/Dir23/", "/kept.txt", "/old.txt (deleted)",
                        "/stale.txt (deleted)", "/Live/inner.txt", "/Dir20/lost1.txt (deleted)",
                        "/Dir20/Sub/s1.txt (deleted)", "/Dir20/Sub/s2.txt (deleted)", "/Dir23/lost2.txt (deleted)",
                        "/Dir23/lost3.txt (deleted)", "/Frag/", "/Frag/x1.txt (deleted)", "/Frag/x2.txt (deleted)",
                        "/Frag/x3.txt (deleted)"}},
        ExfatMountCase{"without: the sets keep their own state",
                       false,
                       {"/Dir4/", "/Dir4/Live/", "/Dir20/", "/Dir20/Sub/", "/Dir23/", "/Dir4/kept.txt",
                        "/Dir4/old.txt (deleted)", "/Dir4/stale.txt", "/Dir4/Live/inner.txt", "/Dir20/lost1.txt",
                        "/Dir20/Sub/s1.txt", "/Dir20/Sub/s2.txt", "/Dir23/lost2.txt", "/Dir23/lost3.txt",
                        "/Dir4/Frag/", "/Dir4/Frag/x1.txt (deleted)", "/Dir4/Frag/x2.txt (deleted)",
                        "/Dir4/Frag/x3.txt (deleted)"}}));


TEST(ExfatMountFormattedAgain, OldSetsOfAnotherGeometryMakeAFileSystemOfTheirOwn) {
  // The new volume at 100: 8 sectors per cluster, cluster base 148, heap up
  // to 500. The old sets fit 4 sectors per cluster from base 160: folders
  // A, B and C in cluster 10, their files in clusters 20, 30 and 40.
  MemDisk d(700);
  d.exfatBoot(100, 400, 24, 8, 64, 42, 3);
  d.exfatFatHead(124);
  auto cl = [](std::uint32_t c) { return 160 + 4 * c; };
  d.exfatSet(cl(10), 0, u"A", true, 20, 2048);
  d.exfatSet(cl(10), 96, u"B", true, 30, 2048);
  d.exfatSet(cl(10), 192, u"C", true, 40, 2048);
  d.exfatSet(cl(20), 0, u"a.txt", false, 50, 100);
  d.exfatSet(cl(30), 0, u"b.txt", false, 51, 100);
  d.exfatSet(cl(40), 0, u"c.txt", false, 52, 100);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  runDeepScan(*reader, test::scanRange(FsType::Exfat, 0, 700), 60, r, stop, nullObserver());
  ASSERT_EQ(r.foundFileSystems.size(), 2u);
  EXPECT_EQ(r.foundFileSystems[0].label, "exFAT @148");
  EXPECT_EQ(r.foundFileSystems[1].label, "exFAT @160");
  EXPECT_EQ(r.foundFileSystems[1].sectorsPerCluster, 4u);
  EXPECT_EQ(r.foundFileSystems[1].fat1Start, 0u);
  for (const ExfatSetHit& h : r.exfatSetHits) EXPECT_EQ(h.fsIndex, 1);  // the boot sector's heap holds them
  VolumeParams vp;
  selectFoundFileSystem(r, 2, vp);
  FileTree tree;
  runMount(*reader, r, 2, vp, tree, stop, nullObserver());
  EXPECT_EQ(fatPaths(tree), (std::set<std::string>{"/Dir10/", "/Dir10/A/", "/Dir10/B/", "/Dir10/C/", "/Dir10/A/a.txt",
                                                    "/Dir10/B/b.txt", "/Dir10/C/c.txt"}));
}

TEST(ExfatMountFormattedAgain, SetsThatFitTheBootSectorMakeNoSecondFileSystem) {
  MemDisk d(700);
  d.exfatBoot(100, 400, 24, 8, 64, 42, 3);
  d.exfatFatHead(124);
  auto cl = [](std::uint32_t c) { return 148 + 8 * c; };
  d.exfatSet(cl(10), 0, u"A", true, 20, 2048);
  d.exfatSet(cl(10), 96, u"B", true, 30, 2048);
  d.exfatSet(cl(20), 0, u"a.txt", false, 40, 100);
  d.exfatSet(cl(30), 0, u"b.txt", false, 41, 100);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  runDeepScan(*reader, test::scanRange(FsType::Exfat, 0, 700), 60, r, stop, nullObserver());
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
}

}  // namespace
}  // namespace osprin
