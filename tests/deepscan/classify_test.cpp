// Classification of found structures into FAT, NTFS and exFAT file systems.
#include <gtest/gtest.h>

#include "deep_builders.h"
#include "deepscan/classify_fat.h"
#include "deepscan/classify_ntfs.h"
#include "deepscan/deep_scan.h"
#include "deepscan/signature_scan.h"
#include "support/selections.h"

namespace osprin {
namespace {

using test::scanRange;

using test::FileRecordBuilder;
using test::IndexBlockBuilder;
using test::MemDisk;
using test::RecordingObserver;

DeepScanResults scan(const MemDisk& d, const Selection& sel, Observer& obs = nullObserver()) {
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  runDeepScan(*reader, sel, 60, r, stop, obs);
  EXPECT_EQ(stop.load(), 0);
  return r;
}

// --- FAT ---------------------------------------------------------------

TEST(FatClassification, BootSectorConfirmedByAHeadWhereItPredictsOne) {
  MemDisk d(4000);
  d.fat32Boot(63, 8, 32, 100000, 1000, 2);
  d.dirHead(2079 + 8 * 100, 100, 0);  // cluster 100 at 2079 + 800
  d.dirHead(3500, 7, 0);               // fits nothing
  RecordingObserver obs;
  DeepScanResults r = scan(d, scanRange(FsType::Fat32, 0, 4000), obs);
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "FAT32 @2079");
  EXPECT_EQ(fs.fsType, FsType::Fat32);
  EXPECT_EQ(fs.sectorsPerFat, 1000u);
  EXPECT_EQ(fs.sectorsPerCluster, 8u);
  EXPECT_EQ(fs.rootDirSectors, 0u);
  EXPECT_EQ(fs.rootDirStart, 2u);
  EXPECT_EQ(fs.reservedSectors, 32u);
  EXPECT_EQ(fs.clusterBase, 2079u);
  EXPECT_EQ(fs.fat1Start, 95u);
  EXPECT_EQ(fs.fat2Start, 1095u);
  EXPECT_EQ(fs.mftStart, 0u);
  EXPECT_EQ(fs.volumeEnd, 100063u);
  EXPECT_EQ(r.dirHeadHits[0].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[1].fsIndex, -1);
  EXPECT_EQ(r.classifiedCount, 2u);
  EXPECT_NE(std::find(obs.phases.begin(), obs.phases.end(), PhaseInfo{Phase::AnalysingFatData}), obs.phases.end());

  VolumeParams vp;
  auto panel = selectFoundFileSystem(r, 1, vp);
  ASSERT_EQ(panel.size(), 3u);
  EXPECT_EQ(panel[0].label, "File System Start");
  EXPECT_EQ(panel[0].value, "2079");
  EXPECT_EQ(panel[1].label, "Sectors Per Cluster");
  EXPECT_EQ(panel[1].value, "8");
  EXPECT_EQ(panel[2].label, "File System Size");
  EXPECT_EQ(panel[2].value, "47 MB");  // (100063 - 2079) / 2048
  EXPECT_EQ(vp.clusterBase, 2079u);
  EXPECT_EQ(vp.fat2Start, 1095u);
  EXPECT_EQ(vp.volumeEnd, 100063u);
}

TEST(FatClassification, AHeadBeyondTheBootSectorsVolumeIsNotClaimed) {
  MemDisk d(4000);
  d.fat32Boot(63, 8, 32, 500, 1000, 2);  // ends at 563
  d.dirHead(2879, 100, 0);
  DeepScanResults r = scan(d, scanRange(FsType::Fat32, 0, 4000));
  EXPECT_TRUE(r.foundFileSystems.empty());
  EXPECT_EQ(r.dirHeadHits[0].fsIndex, -1);
}

TEST(FatClassification, BootSectorsThatFailATestArePassedOverAndTheNextIsExamined) {
  MemDisk d(6000);
  d.fat16Boot(100, 3, 1, 5000, 20);  // 3 sectors per cluster
  d.fat16Boot(200, 4, 1, 0, 20);     // 32-bit total 0: its end is its own sector
  d.fat16Boot(300, 4, 1, 5000, 20);  // the one that confirms
  // FAT16 at 300: reserved 1, 2 FATs of 20, 512 root entries (32 sectors):
  // root at 341, cluster base 341 + 32 - 8 = 365.
  d.dirHead(365 + 4 * 50, 50, 0);
  d.dirHead(365 + 4 * 60, 60, 50);
  DeepScanResults r = scan(d, scanRange(FsType::Fat16, 0, 6000));
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "FAT16 @365");
  EXPECT_EQ(fs.rootDirSectors, 32u);
  EXPECT_EQ(fs.rootDirStart, 341u);
  EXPECT_EQ(fs.fat1Start, 301u);
  EXPECT_EQ(fs.fat2Start, 321u);
  EXPECT_EQ(fs.volumeEnd, 5300u);
  EXPECT_EQ(r.dirHeadHits[0].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[1].fsIndex, 1);
}

TEST(FatClassification, ABootSectorWhoseTotalIsOnlyIn16BitsConfirmsItsHeads) {
  MemDisk d(3000);
  d.fat16Boot(0, 4, 1, 0, 20);
  d.put16(0, 19, 2900);  // a small FAT16 keeps its size in the 16-bit total
  d.dirHead(65 + 4 * 50, 50, 0);
  d.dirHead(65 + 4 * 90, 90, 50);
  DeepScanResults r = scan(d, scanRange(FsType::Fat16, 0, 3000));
  // Found from the boot sector: its size and its FATs.
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  EXPECT_EQ(r.foundFileSystems[0].label, "FAT16 @65");
  EXPECT_EQ(r.foundFileSystems[0].volumeEnd, 2900u);
  EXPECT_EQ(r.foundFileSystems[0].fat1Start, 1u);
  VolumeParams vp;
  EXPECT_EQ(selectFoundFileSystem(r, 1, vp)[2].value, "1 MB");
}

TEST(FatClassification, TwoHeadsFitOneGeometryAndTheKindFollowsTheChoice) {
  MemDisk d(12000);
  d.dirHead(10000, 100, 0);
  d.dirHead(10800, 200, 100);
  for (FsType chosen : {FsType::Fat16, FsType::Fat32}) {
    DeepScanResults r = scan(d, scanRange(chosen, 0, 12000));
    ASSERT_EQ(r.foundFileSystems.size(), 1u);
    const FoundFileSystem& fs = r.foundFileSystems[0];
    const bool fat32 = chosen == FsType::Fat32;
    EXPECT_EQ(fs.label, fat32 ? "FAT32 @9200" : "FAT16 @9200");
    EXPECT_EQ(fs.fsType, chosen);
    EXPECT_EQ(fs.sectorsPerCluster, 8u);
    EXPECT_EQ(fs.clusterBase, 9200u);
    EXPECT_EQ(fs.rootDirStart, fat32 ? 2u : 0u);
    EXPECT_EQ(fs.sectorsPerFat, 0u);
    EXPECT_EQ(fs.fat1Start, 0u);
    EXPECT_EQ(fs.volumeEnd, 0u);
    EXPECT_EQ(r.dirHeadHits[0].fsIndex, 1);
    EXPECT_EQ(r.dirHeadHits[1].fsIndex, 1);
  }
}

TEST(FatClassification, AClusterAbove0xFFFFMakesItFat32WhateverTheChoice) {
  MemDisk d(90000);
  d.dirHead(80000, 70000, 0);
  d.dirHead(80010, 70010, 70000);
  DeepScanResults r = scan(d, scanRange(FsType::Fat16, 0, 90000));
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  EXPECT_EQ(r.foundFileSystems[0].label, "FAT32 @10000");
  EXPECT_EQ(r.foundFileSystems[0].sectorsPerCluster, 1u);
}

TEST(FatClassification, HeadsWhoseDistancesFitNoClusterSizeArePassedOverAndALaterPairStillCounts) {
  MemDisk d(30000);
  d.dirHead(1000, 10, 0);   // with 1300/20 the quotient is 30: no cluster size
  d.dirHead(1300, 20, 0);
  d.dirHead(5000, 100, 0);  // 5000 and 5400: 4 sectors per cluster, base 4600
  d.dirHead(5400, 200, 100);
  d.dirHead(5801, 300, 0);  // 5801 - 4600 is not 4 * 300
  DeepScanResults r = scan(d, scanRange(FsType::Fat16, 0, 30000));
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  EXPECT_EQ(r.foundFileSystems[0].label, "FAT16 @4600");
  EXPECT_EQ(r.dirHeadHits[0].fsIndex, -1);
  EXPECT_EQ(r.dirHeadHits[1].fsIndex, -1);
  EXPECT_EQ(r.dirHeadHits[2].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[3].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[4].fsIndex, -1);
}

TEST(FatClassification, SeveralVolumesAreNumberedInTheOrderFound) {
  MemDisk d(40000);
  d.fat32Boot(63, 8, 32, 20000, 1000, 2);   // base 2079
  d.dirHead(2079 + 8 * 10, 10, 0);
  d.dirHead(2079 + 8 * 20, 20, 10);
  d.dirHead(30000, 1000, 0);                // heads only: spc 2, base 28000
  d.dirHead(30200, 1100, 1000);
  DeepScanResults r = scan(d, scanRange(FsType::Fat32, 0, 40000));
  ASSERT_EQ(r.foundFileSystems.size(), 2u);
  EXPECT_EQ(r.foundFileSystems[0].label, "FAT32 @2079");
  EXPECT_EQ(r.foundFileSystems[1].label, "FAT32 @28000");
  EXPECT_EQ(r.dirHeadHits[0].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[1].fsIndex, 1);
  EXPECT_EQ(r.dirHeadHits[2].fsIndex, 2);
  EXPECT_EQ(r.dirHeadHits[3].fsIndex, 2);
}

// --- NTFS ------------------------------------------------------------------

NtfsDirRecord dirRecord(std::string name, SectorNo sector, std::uint32_t number, std::uint32_t parent = 5,
                        std::uint32_t indexLcn = 0, std::uint64_t created = 0) {
  NtfsDirRecord d;
  d.name = std::move(name);
  d.sector = sector;
  d.recordNumber = number;
  d.parentRecord = parent;
  d.indexLcn = indexLcn;
  d.creationTime = created;
  return d;
}

TEST(NtfsClassification, RecordNumbersFromTheDistanceToTheRecordBefore) {
  MemDisk d(10);
  auto reader = d.reader();
  DeepScanResults r;
  r.ntfsDirRecords = {dirRecord("a", 1000, 40), dirRecord("b", 1004, 0), dirRecord("c", 1007, 0)};
  r.folderHitCount = 3;
  assignRecordNumbers(*reader, r, nullObserver());
  EXPECT_EQ(r.ntfsDirRecords[1].recordNumber, 42u);  // 40 + 4 / 2
  EXPECT_EQ(r.ntfsDirRecords[2].recordNumber, 43u);  // odd distance: + 1

  DeepScanResults s;
  s.ntfsDirRecords = {dirRecord("x", 900, 0), dirRecord("a", 1000, 40), dirRecord("b", 1003, 0)};
  assignRecordNumbers(*reader, s, nullObserver());
  EXPECT_EQ(s.ntfsDirRecords[0].recordNumber, 2u);   // no record before: 1 + 1
  EXPECT_EQ(s.ntfsDirRecords[2].recordNumber, 41u);
}

TEST(NtfsClassification, RecordNumbersFromDirectoryEntriesOfIndexBlocks) {
  MemDisk d(100);
  d.bytes(10, IndexBlockBuilder(0)
                  .entry(77, u"Sub", 41, 555)
                  .entry(78, u"file.txt", 41, 556, false)  // a file: no directory record
                  .entry(79, u"Twin", 41, 600)
                  .entry(80, u"Twin", 41, 600)
                  .entry(81, u"sub", 41, 555)  // names compare exactly
                  .entry(82, u"\u00c9t\u00e9", 41, 700)
                  .build());
  auto reader = d.reader();
  DeepScanResults r;
  r.ntfsDirRecords = {dirRecord("Sub", 2000, 0, 41, 0, 555), dirRecord("Twin", 2010, 0, 41, 0, 600),
                      dirRecord("Twin", 2020, 0, 41, 0, 600), dirRecord("file.txt", 2030, 0, 41, 0, 556),
                      dirRecord("\xC3\x89t\xC3\xA9", 2040, 0, 41, 0, 700)};
  r.indexBlockHits = {IndexBlockHit{10, 41, 0, -1, 8}};
  r.indexBlockCount = 1;
  r.folderHitCount = 5;
  RecordingObserver obs;
  assignRecordNumbers(*reader, r, obs);
  EXPECT_EQ(r.ntfsDirRecords[0].recordNumber, 77u);
  EXPECT_EQ(r.ntfsDirRecords[1].recordNumber, 79u);
  EXPECT_EQ(r.ntfsDirRecords[2].recordNumber, 80u);
  EXPECT_EQ(r.ntfsDirRecords[3].recordNumber, 85u);  // from the distance: 80 + 10 / 2
  EXPECT_EQ(r.ntfsDirRecords[4].recordNumber, 82u);
  EXPECT_EQ(obs.phases.front(), PhaseInfo{Phase::AssigningMftNumbers});
  EXPECT_EQ(obs.phases.back(), (PhaseInfo{Phase::AssigningMftNumbers, 1, 1}));
}

TEST(NtfsClassification, EntryNamesReachingPastTheBlockEndItsWalk) {
  MemDisk d(100);
  IndexBlockBuilder b(0, 1);
  b.entry(77, u"A", 41, 1);
  // A second entry whose name length runs past the 512-byte block.
  b.entry(78, u"B", 41, 2);
  auto blk = b.build();
  const std::size_t second = 64 + 88;
  blk[second + 80] = 250;
  d.bytes(10, blk);
  auto reader = d.reader();
  DeepScanResults r;
  r.ntfsDirRecords = {dirRecord("A", 2000, 0, 41, 0, 1), dirRecord("B", 2001, 0, 41, 0, 2)};
  r.indexBlockHits = {IndexBlockHit{10, 41, 0, -1, 1}};
  r.indexBlockCount = 1;
  assignRecordNumbers(*reader, r, nullObserver());
  EXPECT_EQ(r.ntfsDirRecords[0].recordNumber, 77u);
  EXPECT_EQ(r.ntfsDirRecords[1].recordNumber, 78u);  // odd distance from 2000: 77 + 1
}

TEST(NtfsClassification, LaterIndexBlocksAreDropped) {
  DeepScanResults r;
  r.indexBlockHits = {IndexBlockHit{10, 41, 0, -1, 8}, IndexBlockHit{18, 41, 1, -1, 8},
                      IndexBlockHit{26, 42, 0, -1, 8}, IndexBlockHit{34, 42, 7, -1, 8}};
  r.indexBlockCount = 4;
  RecordingObserver obs;
  dropLaterIndexBlocks(r, obs);
  ASSERT_EQ(r.indexBlockHits.size(), 2u);
  EXPECT_EQ(r.indexBlockHits[0].sector, 10u);
  EXPECT_EQ(r.indexBlockHits[1].sector, 26u);
  EXPECT_EQ(r.indexBlockCount, 2u);
  EXPECT_EQ(obs.phases, std::vector<PhaseInfo>{{Phase::DeletingUnusedItems}});
}

// An NTFS volume at `start` with 8 sectors per cluster: directories A
// (record 64, index at cluster 100) and B (record 65, index at cluster 164),
// a file in each, and the index blocks where the clusters put them.
MemDisk ntfsWithoutBootSector(SectorNo start, SectorNo sectors) {
  MemDisk d(sectors);
  d.bytes(start + 100, FileRecordBuilder(3).fileName(u"A", 5, 1, 11).indexRoot(64).indexAt(100).build());
  d.bytes(start + 102, FileRecordBuilder(3).fileName(u"B", 64, 1, 12).indexRoot(65).indexAt(164).build());
  d.bytes(start + 104, FileRecordBuilder(1).fileName(u"in a.txt", 64, 1).residentData(5).build());
  d.bytes(start + 106, FileRecordBuilder(1).fileName(u"in b.txt", 65, 1).residentData(6).build());
  d.bytes(start + 8 * 100, IndexBlockBuilder(0).entry(65, u"B", 64, 12).build());
  d.bytes(start + 8 * 164, IndexBlockBuilder(0).entry(900, u"in b.txt", 65, 0, false).build());
  return d;
}

TEST(NtfsClassification, FoundFromTwoDirectoriesWhoseIndexBlocksFitOneGeometry) {
  MemDisk d = ntfsWithoutBootSector(1000, 3000);
  RecordingObserver obs;
  DeepScanResults r = scan(d, scanRange(FsType::Ntfs, 0, 3000), obs);
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "NTFS @1000");
  EXPECT_EQ(fs.fsType, FsType::Ntfs);
  EXPECT_EQ(fs.sectorsPerCluster, 8u);
  EXPECT_EQ(fs.clusterBase, 1000u);
  EXPECT_EQ(fs.mftStart, 0u);
  EXPECT_EQ(fs.mftMirrorStart, 0u);
  EXPECT_EQ(fs.sectorsPerIndexRecord, 8u);
  EXPECT_EQ(fs.volumeEnd, 3000u);
  ASSERT_EQ(r.ntfsDirRecords.size(), 2u);
  EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 1);
  EXPECT_EQ(r.ntfsDirRecords[1].fsIndex, 1);
  EXPECT_EQ(r.classifiedCount, 2u);
  EXPECT_EQ(obs.phases.back(), (PhaseInfo{Phase::AnalyzingClassification, 2, 2}));

  VolumeParams vp;
  auto panel = selectFoundFileSystem(r, 1, vp);
  ASSERT_EQ(panel.size(), 5u);
  EXPECT_EQ(panel[2].label, "File System Size");
  EXPECT_EQ(panel[2].value, "0 MB");  // (3000 - 1000) / 2048
  EXPECT_EQ(panel[3].label, "MFT Start");
  EXPECT_EQ(panel[3].value, "0");
  EXPECT_EQ(panel[4].label, "MFT Mirror Start");
  EXPECT_EQ(vp.sectorsPerIndexRecord, 8u);
}

TEST(NtfsClassification, ConfirmedByABootSectorWithSoundFields) {
  for (int variant = 0; variant < 4; ++variant) {
    MemDisk d = ntfsWithoutBootSector(1000, 3000);
    const std::uint8_t spc = variant == 1 ? 3 : 8;
    const std::uint32_t total = variant == 2 ? 0 : 1999;
    const std::uint32_t perIndex = variant == 3 ? 0 : 1;
    d.ntfsBoot(1000, spc, total, 4, 100, perIndex);
    // Keep the pair apart so that only the boot sector could confirm them.
    d.bytes(1000 + 8 * 164, std::vector<std::uint8_t>(512, 0));
    DeepScanResults r = scan(d, scanRange(FsType::Ntfs, 0, 3000));
    if (variant == 0) {
      ASSERT_EQ(r.foundFileSystems.size(), 1u);
      const FoundFileSystem& fs = r.foundFileSystems[0];
      EXPECT_EQ(fs.label, "NTFS @1000");
      EXPECT_EQ(fs.mftStart, 1032u);
      EXPECT_EQ(fs.mftMirrorStart, 1800u);
      EXPECT_EQ(fs.sectorsPerIndexRecord, 8u);
      EXPECT_EQ(fs.volumeEnd, 2999u);
      EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 1);
      // B's index block is gone: unconfirmed, it joins the record before it.
      EXPECT_EQ(r.ntfsDirRecords[1].fsIndex, 1);
    } else {
      EXPECT_TRUE(r.foundFileSystems.empty()) << variant;
    }
  }
}

TEST(NtfsClassification, DirectoriesWithEqualIndexClustersAreNeverPaired) {
  MemDisk d(3000);
  d.bytes(1100, FileRecordBuilder(3).fileName(u"A", 5, 1).indexRoot(64).indexAt(100).build());
  d.bytes(1102, FileRecordBuilder(3).fileName(u"B", 5, 1).indexRoot(65).indexAt(100).build());
  d.bytes(1800, IndexBlockBuilder(0).owner(64).build());
  d.bytes(1900, IndexBlockBuilder(0).owner(65).build());
  DeepScanResults r = scan(d, scanRange(FsType::Ntfs, 0, 3000));
  EXPECT_TRUE(r.foundFileSystems.empty());
  EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 0);  // examined as P, nothing confirmed: stays 0
}

TEST(NtfsClassification, FinalNumberingJoinsUnclaimedRecordsToTheRecordBefore) {
  DeepScanResults r;
  r.ntfsDirRecords = {dirRecord("a", 10, 1), dirRecord("b", 20, 1), dirRecord("c", 30, 1), dirRecord("d", 40, 1),
                      dirRecord("e", 50, 1)};
  r.ntfsDirRecords[0].fsIndex = -1;
  r.ntfsDirRecords[1].fsIndex = 2;
  r.ntfsDirRecords[2].fsIndex = -1;
  r.ntfsDirRecords[3].fsIndex = 0;
  r.ntfsDirRecords[4].fsIndex = -1;
  finalNtfsNumbering(r);
  EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 1);
  EXPECT_EQ(r.ntfsDirRecords[2].fsIndex, 2);
  EXPECT_EQ(r.ntfsDirRecords[3].fsIndex, 0);
  EXPECT_EQ(r.ntfsDirRecords[4].fsIndex, 0);
}

TEST(NtfsClassification, ConfirmationMarksOnlyRecordsInsideTheVolume) {
  MemDisk d = ntfsWithoutBootSector(1000, 3000);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 3000), 60, r, stop, nullObserver());
  ASSERT_EQ(r.ntfsDirRecords.size(), 2u);
  // (1000, 1101] holds A (at 1100) but not B (at 1102).
  EXPECT_TRUE(confirmNtfsVolume(*reader, r, 8, 1000, 1101, stop, nullObserver()));
  EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 1);
  EXPECT_EQ(r.ntfsDirRecords[1].fsIndex, 0);
}

TEST(NtfsClassification, StopDuringPairingKeepsWhatWasFound) {
  MemDisk d = ntfsWithoutBootSector(1000, 3000);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 3000), 60, r, stop, nullObserver());
  assignRecordNumbers(*reader, r, nullObserver());
  dropLaterIndexBlocks(r, nullObserver());
  stop.store(1);
  classifyNtfsByIndexBlocks(*reader, 3000, r, stop, nullObserver());
  EXPECT_TRUE(r.foundFileSystems.empty());
  EXPECT_EQ(r.ntfsDirRecords[0].fsIndex, 0);
  EXPECT_EQ(r.ntfsDirRecords[1].fsIndex, 0);
}


// --- exFAT ---------------------------------------------------------------

// A volume at sector 100: FAT at +24 (8 sectors), heap at +64, 42 clusters
// of 8 sectors (cluster base 148, heap end 500), root folder at cluster 4.
enum class ExfatBoots { MainAndBackup, MainOnly, BackupOnly };

class ExfatBootClassification : public ::testing::TestWithParam<ExfatBoots> {};

TEST_P(ExfatBootClassification, OneVolumeWithItsGeometryClaimingTheSetsOfItsHeap) {
  MemDisk d(700);
  if (GetParam() != ExfatBoots::BackupOnly) d.exfatBoot(100, 400, 24, 8, 64, 42, 3);
  if (GetParam() != ExfatBoots::MainOnly) d.exfatBoot(112, 400, 24, 8, 64, 42, 3);
  d.exfatFatHead(124);
  // The root folder's bitmap entry.
  d.put8(180, 0, 0x81);
  d.put32(180, 20, 2);
  d.put64(180, 24, 6);
  d.exfatSet(130, 0, u"before the heap", false, 5, 10);
  d.exfatSet(200, 64, u"in the heap.txt", false, 9, 10);
  d.exfatSet(520, 0, u"after it", false, 5, 10);
  RecordingObserver obs;
  DeepScanResults r = scan(d, scanRange(FsType::Exfat, 0, 700), obs);
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "exFAT @148");
  EXPECT_EQ(fs.fsType, FsType::Exfat);
  EXPECT_EQ(fs.sectorsPerCluster, 8u);
  EXPECT_EQ(fs.clusterBase, 148u);
  EXPECT_EQ(fs.fat1Start, 124u);
  EXPECT_EQ(fs.fat2Start, 0u);
  EXPECT_EQ(fs.sectorsPerFat, 8u);
  EXPECT_EQ(fs.reservedSectors, 24u);
  EXPECT_EQ(fs.rootDirStart, 4u);
  EXPECT_EQ(fs.clusterCount, 42u);
  EXPECT_EQ(fs.volumeEnd, 500u);
  EXPECT_EQ(fs.bitmapCluster, 2u);
  EXPECT_EQ(fs.bitmapBytes, 6u);
  ASSERT_EQ(r.exfatSetHits.size(), 3u);
  EXPECT_EQ(r.exfatSetHits[0].fsIndex, -1);
  EXPECT_EQ(r.exfatSetHits[1].fsIndex, 1);
  EXPECT_EQ(r.exfatSetHits[2].fsIndex, -1);
  EXPECT_EQ(r.classifiedCount, 3u);
  EXPECT_NE(std::find(obs.phases.begin(), obs.phases.end(), PhaseInfo{Phase::AnalysingFatData}), obs.phases.end());

  VolumeParams vp;
  auto panel = selectFoundFileSystem(r, 1, vp);
  ASSERT_EQ(panel.size(), 3u);
  EXPECT_EQ(panel[0].value, "148");
  EXPECT_EQ(panel[1].value, "8");
  EXPECT_EQ(panel[2].value, "0 MB");
  EXPECT_EQ(vp.fsType, FsType::Exfat);
  EXPECT_EQ(vp.fat1Start, 124u);
  EXPECT_EQ(vp.rootDirStart, 4u);
  EXPECT_EQ(vp.clusterCount, 42u);
  EXPECT_EQ(vp.bitmapCluster, 2u);
}

INSTANTIATE_TEST_SUITE_P(Boots, ExfatBootClassification,
                         ::testing::Values(ExfatBoots::MainAndBackup, ExfatBoots::MainOnly, ExfatBoots::BackupOnly));

TEST(ExfatClassification, ABackupWithoutFatOrMainIsTakenForAMainBootSector) {
  MemDisk d(700);
  d.exfatBoot(112, 400, 24, 8, 64, 42, 3);
  DeepScanResults r = scan(d, scanRange(FsType::Exfat, 0, 700));
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  EXPECT_EQ(r.foundFileSystems[0].fat1Start, 136u);
}

TEST(ExfatClassification, GeometryFromFolderSetsAndTheSetsTheirClustersBeginWith) {
  // 4 sectors per cluster, cluster base 1000; no boot sector, no FAT.
  MemDisk d(6000);
  auto cl = [](std::uint32_t c) { return 1000 + 4 * c; };
  d.exfatSet(cl(5), 0, u"A", true, 10, 2048);
  d.exfatSet(cl(5), 96, u"B", true, 20, 2048);
  d.exfatSet(cl(5), 192, u"C", true, 30, 2048);
  d.exfatSet(cl(10), 0, u"a.txt", false, 40, 4096);  // clusters 40 and 41
  d.exfatSet(cl(20), 0, u"b.txt", false, 42, 10);
  d.exfatSet(cl(30), 0, u"c.txt", false, 43, 10);
  d.exfatSet(cl(30) + 1, 0, u"c2.txt", false, 44, 10);
  d.exfatSet(5000, 0, u"far away", false, 7, 10);
  DeepScanResults r = scan(d, scanRange(FsType::Exfat, 0, 6000));
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "exFAT @1000");
  EXPECT_EQ(fs.sectorsPerCluster, 4u);
  EXPECT_EQ(fs.clusterBase, 1000u);
  EXPECT_EQ(fs.fat1Start, 0u);
  EXPECT_EQ(fs.rootDirStart, 0u);
  EXPECT_EQ(fs.volumeEnd, 0u);
  EXPECT_EQ(foundFileSystemSizeText(fs), "Unknown");
  ASSERT_EQ(r.exfatSetHits.size(), 8u);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(r.exfatSetHits[i].fsIndex, 1) << i;
  EXPECT_EQ(r.exfatSetHits[7].fsIndex, -1);
}

TEST(ExfatClassification, OneFolderSetIsNoGeometry) {
  MemDisk d(3000);
  d.exfatSet(1020, 0, u"A", true, 10, 2048);
  d.exfatSet(1040, 0, u"a.txt", false, 40, 10);
  DeepScanResults r = scan(d, scanRange(FsType::Exfat, 0, 3000));
  EXPECT_TRUE(r.foundFileSystems.empty());
  EXPECT_EQ(r.exfatSetHits.size(), 2u);
  for (const ExfatSetHit& h : r.exfatSetHits) EXPECT_EQ(h.fsIndex, -1);
}

}  // namespace
}  // namespace osprin
