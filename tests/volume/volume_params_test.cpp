// Volume parameters from boot sectors (and their backups), and worked out
// from the partition's contents when the boot sector is gone.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "volume/fat_listing.h"
#include "volume/fat_synth.h"
#include "volume/volume_params.h"
#include "support/selections.h"

namespace osprin {
namespace {

using test::selection;

using test::Disk;
using test::ScanRecorder;
using test::SynthFat;

// The geometry of the committed fixtures (mkfs.fat's choices, as fsstat shows them).
VolumeParams fat32Geometry(SectorNo start) {
  VolumeParams v;
  v.fsType = FsType::Fat32;
  v.sectorsPerFat = 630;
  v.sectorsPerCluster = 1;
  v.rootDirSectors = 0;
  v.rootDirStart = 2;
  v.reservedSectors = 32;
  v.clusterBase = start + 32 + 2 * 630 - 2;
  v.fat1Start = start + 32;
  v.fat2Start = start + 32 + 630;
  return v;
}

VolumeParams fat16Geometry(SectorNo start) {
  VolumeParams v;
  v.fsType = FsType::Fat16;
  v.sectorsPerFat = 64;
  v.sectorsPerCluster = 2;
  v.rootDirSectors = 32;
  v.rootDirStart = start + 2 + 2 * 64;
  v.reservedSectors = 2;
  v.clusterBase = start + 2 + 2 * 64 + 32 - 2 * 2;
  v.fat1Start = start + 2;
  v.fat2Start = start + 2 + 64;
  return v;
}

void expectFatGeometry(const VolumeParams& got, const VolumeParams& want) {
  EXPECT_EQ(got.fsType, want.fsType);
  EXPECT_EQ(got.sectorsPerFat, want.sectorsPerFat);
  EXPECT_EQ(got.sectorsPerCluster, want.sectorsPerCluster);
  EXPECT_EQ(got.rootDirSectors, want.rootDirSectors);
  EXPECT_EQ(got.rootDirStart, want.rootDirStart);
  EXPECT_EQ(got.reservedSectors, want.reservedSectors);
  EXPECT_EQ(got.clusterBase, want.clusterBase);
  EXPECT_EQ(got.fat1Start, want.fat1Start);
  EXPECT_EQ(got.fat2Start, want.fat2Start);
}

void put32(char* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// ---- FAT32 ------------------------------------------------------------------

TEST(VolumeParamsFat32, ReadsTheBootSector) {
  Disk d(test::fixtureImage("fat32vol"), 100);
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Fat32, 100, 100 + 81919), vp));
  expectFatGeometry(vp, fat32Geometry(100));
}

TEST(VolumeParamsFat32, MountsFromTheBackupWhenTheSignatureIsGone) {
  Disk d(test::fixtureImage("fat32vol"), 100);
  d.at(0)[510] = 0;
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Fat32, 100, 100 + 81919), vp));
  expectFatGeometry(vp, fat32Geometry(100));
}

TEST(VolumeParamsFat32, MountsFromTheBackupWhenTheFatSizeIsWrong) {
  Disk d(test::fixtureImage("fat32vol"), 100);
  put32(d.at(0) + 36, 700);  // the sector after 32 + 700 does not start with F8
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Fat32, 100, 100 + 81919), vp));
  expectFatGeometry(vp, fat32Geometry(100));
}

TEST(VolumeParamsFat32, FailsWhenNeitherCopyPassesAndChangesOnlyTypeAndRoot) {
  Disk d(test::fixtureImage("fat32vol"), 0);
  put32(d.at(0) + 36, 700);
  put32(d.at(6) + 36, 701);
  put32(d.at(6) + 44, 9);
  VolumeParams vp;
  vp.sectorsPerCluster = 77;
  vp.clusterBase = 1234;
  vp.mftStart = 55;
  ASSERT_FALSE(readVolumeParams(*d.reader(), selection(FsType::Fat32, 0, 81919), vp));
  EXPECT_EQ(vp.fsType, FsType::Fat32);
  EXPECT_EQ(vp.rootDirStart, 9u);
  EXPECT_EQ(vp.sectorsPerCluster, 77u);
  EXPECT_EQ(vp.clusterBase, 1234u);
  EXPECT_EQ(vp.mftStart, 55u);

  Disk e(test::fixtureImage("fat32vol"), 0);
  e.at(0)[511] = 0;
  e.at(6)[511] = 0;
  EXPECT_FALSE(readVolumeParams(*e.reader(), selection(FsType::Fat32, 0, 81919), vp));
}

TEST(VolumeParamsFat32, CalculatedFromTheFolderHeads) {
  Disk d(test::fixtureImage("fat32vol"), 100);
  std::memset(d.at(0), 0, 512);
  std::memset(d.at(6), 0, 512);
  auto r = d.reader();
  Selection sel = selection(FsType::Fat32, 100, 100 + 81919);
  VolumeParams vp;
  ASSERT_FALSE(readVolumeParams(*r, sel, vp));
  StopFlag stop{0};
  ScanRecorder obs;
  ASSERT_TRUE(calculateVolumeParams(*r, sel, vp, stop, obs));
  expectFatGeometry(vp, fat32Geometry(100));
  // Shown while it runs; the progress bar hidden at the end, the Stop button left to the caller.
  EXPECT_EQ(obs.visibility, (std::vector<std::string>{"stop+", "progress+", "progress-"}));
}

// ---- FAT16 ------------------------------------------------------------------

TEST(VolumeParamsFat16, ReadsTheBootSector) {
  Disk d(test::fixtureImage("fat16vol"), 63);
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Fat16, 63, 63 + 32767), vp));
  expectFatGeometry(vp, fat16Geometry(63));
}

TEST(VolumeParamsFat16, NoBackupAndTheMediaByteCheck) {
  Disk d(test::fixtureImage("fat16vol"), 0);
  d.at(0)[510] = 0;
  VolumeParams vp;
  EXPECT_FALSE(readVolumeParams(*d.reader(), selection(FsType::Fat16, 0, 32767), vp));
  Disk e(test::fixtureImage("fat16vol"), 0);
  e.at(2 + 64)[0] = static_cast<char>(0xF0);  // the second FAT copy does not start with F8
  EXPECT_FALSE(readVolumeParams(*e.reader(), selection(FsType::Fat16, 0, 32767), vp));
}

TEST(VolumeParamsFat16, CalculatedGeometryEqualsTheBootSectors) {
  Disk d(test::fixtureImage("fat16vol"), 63);
  std::memset(d.at(0), 0, 512);
  auto r = d.reader();
  Selection sel = selection(FsType::Fat16, 63, 63 + 32767);
  VolumeParams vp;
  ASSERT_FALSE(readVolumeParams(*r, sel, vp));
  StopFlag stop{0};
  ASSERT_TRUE(calculateVolumeParams(*r, sel, vp, stop, nullObserver()));
  expectFatGeometry(vp, fat16Geometry(63));
}

// A FAT16 volume of 4 KiB clusters (8 sectors) with the boot sector gone:
// reserved 1, FAT 8 sectors, 32 root sectors, data from sector 49.
SynthFat headsVolume() {
  SynthFat v(FsType::Fat16, 2000, 8, 1, 8);
  std::memset(v.sector(0), 0, 512);
  return v;
}

TEST(VolumeParamsCalculate, PassesOverHeadsThatDoNotFitAndUsesALaterPair) {
  SynthFat v = headsVolume();
  v.dotEntries(5, 0);  // the first head: cluster 5 at 49 + 24
  // A head 3 sectors later claiming cluster 6 (quotient 3), one whose
  // cluster difference does not divide the sector difference, one with
  // quotient 256: all passed over.
  const std::uint32_t s1 = v.clusterSector(5);
  SynthFat::shortEntry(v.sector(s1 + 3), ".", 0x10, 6, 0);
  SynthFat::shortEntry(v.sector(s1 + 3) + 32, "..", 0x10, 0, 0);
  SynthFat::shortEntry(v.sector(s1 + 5), ".", 0x10, 7, 0);
  SynthFat::shortEntry(v.sector(s1 + 5) + 32, "..", 0x10, 0, 0);
  SynthFat::shortEntry(v.sector(s1 + 256), ".", 0x10, 6, 0);
  SynthFat::shortEntry(v.sector(s1 + 256) + 32, "..", 0x10, 0, 0);
  v.dotEntries(40, 5);  // the real second head
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  ASSERT_TRUE(calculateVolumeParams(*r, selection(FsType::Fat16, 0, 1999), vp, stop, nullObserver()));
  EXPECT_EQ(vp.sectorsPerCluster, 8u);
  EXPECT_EQ(vp.clusterBase, 49u - 16u);
  EXPECT_EQ(vp.reservedSectors, 1u);
  EXPECT_EQ(vp.sectorsPerFat, 8u);
  EXPECT_EQ(vp.rootDirSectors, 32u);
  EXPECT_EQ(vp.rootDirStart, 17u);
  EXPECT_EQ(vp.fat1Start, 1u);
  EXPECT_EQ(vp.fat2Start, 9u);
}

TEST(VolumeParamsCalculate, RootOnlyVolumeRunsToTheEndAndFails) {
  SynthFat v = headsVolume();
  SynthFat::shortEntry(v.sector(v.rootStart()), "A       TXT", 0x20, 3, 1);
  v.dotEntries(5, 0);  // a single head never makes a pair
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  ScanRecorder obs;
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Fat16, 0, 1999), vp, stop, obs));
  EXPECT_EQ(obs.visibility, (std::vector<std::string>{"stop+", "progress+", "stop-", "progress-"}));
  EXPECT_EQ(obs.lastProgress, 75);  // 1500 of 2000 sectors at the last report
}

// A partition entry that claims four billion sectors of a disk of 2000: the
// search for folder heads ends at the disk's end (it would otherwise read
// nothing for hours).
TEST(VolumeParamsCalculate, RangePastTheEndOfTheDiskEndsThere) {
  SynthFat v = headsVolume();
  v.dotEntries(5, 0);
  auto r = v.reader();
  ASSERT_LT(r->totalSectors(), 4000000000u);
  VolumeParams vp;
  StopFlag stop{0};
  ScanRecorder obs;
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Fat16, 0, 3999999999u), vp, stop, obs));
  EXPECT_EQ(obs.visibility.back(), "progress-");
  v.dotEntries(40, 5);  // with a second head the geometry is found as on any partition
  EXPECT_TRUE(calculateVolumeParams(*v.reader(), selection(FsType::Fat16, 0, 3999999999u), vp, stop, obs));
  EXPECT_EQ(vp.sectorsPerCluster, 8u);
}

TEST(VolumeParamsCalculate, StopEndsTheScanBeforeTheNextSector) {
  class StopAtFirstReport : public ScanRecorder {
   public:
    StopFlag* stop = nullptr;
    int reports = 0;
    void progress(int p) override {
      ScanRecorder::progress(p);
      if (p > 0 && ++reports == 1) stop->store(1);
    }
  };
  SynthFat v = headsVolume();
  v.dotEntries(5, 0);
  v.dotEntries(200, 5);  // a pair that would pass, far behind the first report
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  StopAtFirstReport obs;
  obs.stop = &stop;
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Fat16, 0, 1999), vp, stop, obs));
  EXPECT_EQ(obs.lastProgress, 25);  // stopped at sector 500
  EXPECT_EQ(obs.visibility.back(), "progress-");

  stop.store(1);
  ScanRecorder quiet;
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Fat16, 0, 1999), vp, stop, quiet));
}

TEST(VolumeParamsCalculate, ReservedWindowAndItsDefault) {
  // FAT16: the first sector of 0..9 that starts with F8 FF.
  SynthFat v(FsType::Fat16, 300, 1, 3, 4);
  std::memset(v.sector(0), 0, 512);
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  calculateVolumeParams(*r, selection(FsType::Fat16, 0, 299), vp, stop, nullObserver());
  EXPECT_EQ(vp.reservedSectors, 3u);
  EXPECT_EQ(vp.rootDirSectors, 32u);
  // FAT32: the window is 30..59, and 32 when nothing there starts a FAT.
  SynthFat w(FsType::Fat32, 300, 1, 70, 2);
  std::memset(w.sector(0), 0, 512);
  std::memset(w.sector(6), 0, 512);
  auto rw = w.reader();
  calculateVolumeParams(*rw, selection(FsType::Fat32, 0, 299), vp, stop, nullObserver());
  EXPECT_EQ(vp.reservedSectors, 32u);
  EXPECT_EQ(vp.rootDirStart, 2u);
  EXPECT_EQ(vp.rootDirSectors, 0u);
}

TEST(VolumeParamsCalculate, NotForNtfsOrNothing) {
  SynthFat v = headsVolume();
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  ScanRecorder obs;
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Ntfs, 0, 1999), vp, stop, obs));
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::None, 0, 1999), vp, stop, obs));
  EXPECT_TRUE(obs.visibility.empty());
}

TEST(VolumeParamsCalculate, RangeShorterThanAClusterAndEmptyRange) {
  SynthFat v = headsVolume();
  auto r = v.reader();
  VolumeParams vp;
  StopFlag stop{0};
  Selection sel = selection(FsType::Fat16, 0, 0);
  EXPECT_FALSE(calculateVolumeParams(*r, sel, vp, stop, nullObserver()));
  sel.rangeLength = 0;
  EXPECT_FALSE(calculateVolumeParams(*r, sel, vp, stop, nullObserver()));
}

// ---- NTFS -------------------------------------------------------------------

// A crafted NTFS volume of 400 sectors: boot sectors at 0 and 399, MFT at
// cluster 4, mirror at cluster 40.
std::string ntfsVolume(std::uint8_t spc, std::uint32_t indexCode) {
  std::string d(400 * 512, '\0');
  auto boot = [&](std::size_t s) {
    char* b = d.data() + s * 512;
    std::memcpy(b + 3, "NTFS    ", 8);
    b[13] = static_cast<char>(spc);
    put32(b + 48, 4);
    put32(b + 56, 40);
    put32(b + 68, indexCode);
    b[510] = 0x55;
    b[511] = static_cast<char>(0xAA);
  };
  boot(0);
  boot(399);
  std::memcpy(d.data() + std::size_t{4} * spc * 512, "FILE", 4);
  std::memcpy(d.data() + std::size_t{40} * spc * 512, "FILE", 4);
  return d;
}

std::unique_ptr<SectorReader> memReader(std::string bytes) {
  return std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(std::move(bytes)));
}

TEST(VolumeParamsNtfs, SectorsPerIndexRecord) {
  struct Case {
    std::uint8_t spc;
    std::uint32_t code;
    std::uint32_t want;
  } cases[] = {{1, 0xF4, 8}, {2, 0xF4, 8}, {8, 0xF4, 8}, {8, 1, 8}, {4, 2, 8}, {1, 0xF5, 4}, {2, 0xF3, 16}};
  for (const auto& c : cases) {
    VolumeParams vp;
    ASSERT_TRUE(readVolumeParams(*memReader(ntfsVolume(c.spc, c.code)), selection(FsType::Ntfs, 0, 399), vp));
    EXPECT_EQ(vp.sectorsPerIndexRecord, c.want) << "spc " << int(c.spc) << " code " << c.code;
    EXPECT_EQ(vp.mftStart, 4u * c.spc);
    EXPECT_EQ(vp.mftMirrorStart, 40u * c.spc);
    EXPECT_EQ(vp.sectorsPerMftRecord, 2u);
    EXPECT_EQ(vp.clusterBase, 0u);
  }
}

TEST(VolumeParamsNtfs, BadClusterSizeMakesTheBackupTheCopyInHand) {
  for (std::uint8_t bad : {0, 3, 255}) {
    std::string d = ntfsVolume(2, 0xF4);
    d[13] = static_cast<char>(bad);
    VolumeParams vp;
    ASSERT_TRUE(readVolumeParams(*memReader(d), selection(FsType::Ntfs, 0, 399), vp));
    EXPECT_EQ(vp.sectorsPerCluster, 2u);
    EXPECT_EQ(vp.mftStart, 8u);
    d[399 * 512 + 13] = static_cast<char>(bad);
    EXPECT_FALSE(readVolumeParams(*memReader(d), selection(FsType::Ntfs, 0, 399), vp));
  }
}

TEST(VolumeParamsNtfs, OnlyTheMirrorFound) {
  std::string d = ntfsVolume(1, 0xF4);
  std::memcpy(d.data() + 4 * 512, "BAAD", 4);
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*memReader(d), selection(FsType::Ntfs, 0, 399), vp));
  EXPECT_EQ(vp.mftStart, 0u);
  EXPECT_EQ(vp.mftMirrorStart, 40u);
  std::memcpy(d.data() + 40 * 512, "BAAD", 4);
  EXPECT_FALSE(readVolumeParams(*memReader(d), selection(FsType::Ntfs, 0, 399), vp));
}

TEST(VolumeParamsNtfs, MftFromTheBackupWhenThePrimaryPointsElsewhere) {
  std::string d = ntfsVolume(1, 0xF4);
  put32(d.data() + 48, 7);  // the primary's MFT cluster holds no record
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*memReader(d), selection(FsType::Ntfs, 0, 399), vp));
  EXPECT_EQ(vp.mftStart, 4u);
}

TEST(VolumeParamsNtfs, CorpusVolumeAndDestroyedBootSectors) {
  auto img = test::corpusImage("ntfs3.raw");
  if (!img) GTEST_SKIP() << "ntfs3.raw is not in the corpus";
  Disk d(*img, 0);
  const SectorNo last = d.lastSector();
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Ntfs, 0, last), vp));
  EXPECT_EQ(vp.sectorsPerCluster, 8u);
  EXPECT_EQ(vp.mftStart, 32u);
  EXPECT_EQ(vp.mftMirrorStart, 8u * 8191u);
  EXPECT_EQ(vp.sectorsPerIndexRecord, 8u);
  // Without the first boot sector, the backup at the range's end.
  std::memset(d.at(0), 0, 512);
  VolumeParams fromBackup;
  ASSERT_TRUE(readVolumeParams(*d.reader(), selection(FsType::Ntfs, 0, last), fromBackup));
  EXPECT_EQ(fromBackup.mftStart, 32u);
  // Without both.
  std::memset(d.at(last), 0, 512);
  auto r = d.reader();
  VolumeParams none;
  EXPECT_FALSE(readVolumeParams(*r, selection(FsType::Ntfs, 0, last), none));
  StopFlag stop{0};
  EXPECT_FALSE(calculateVolumeParams(*r, selection(FsType::Ntfs, 0, last), none, stop, nullObserver()));
}

TEST(VolumeParams, UnknownTypeChangesOnlyTheType) {
  SynthFat v = headsVolume();
  VolumeParams vp;
  vp.fsType = FsType::Fat32;
  vp.sectorsPerCluster = 9;
  EXPECT_TRUE(readVolumeParams(*v.reader(), selection(FsType::None, 0, 1999), vp));
  EXPECT_EQ(vp.fsType, FsType::None);
  EXPECT_EQ(vp.sectorsPerCluster, 9u);
}

}  // namespace
}  // namespace osprin
