// The signature pass: what is recorded, what is passed over, the read loop's
// batches and reports, and the bounds of the NTFS record routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "deep_builders.h"
#include "deepscan/signature_scan.h"
#include "disk/faulty_source.h"
#include "support/selections.h"

namespace osprin {
namespace {

using test::scanRange;

using test::FileRecordBuilder;
using test::IndexBlockBuilder;
using test::MemDisk;
using test::RecordingObserver;

TEST(FatSignatures, BootSectorsOfBothKindsAndHeadsAreRecordedInSectorOrder) {
  MemDisk d(70000);
  d.fat16Boot(10, 4, 1, 1000, 20);
  d.fat32Boot(20, 8, 32, 1000, 100);
  d.signature(30);  // the signature alone is no FAT boot sector
  d.dirHead(100, 50, 0, 0x1234, 0x4321);
  d.dirHead(69000, 0x10005, 0x10007);  // high halves count for FAT16 as well
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanFatSignatures(*reader, scanRange(FsType::Fat16, 0, 70000), 7, r, stop, obs);

  EXPECT_EQ(r.bootSectorHits, (std::vector<SectorNo>{10, 20}));
  EXPECT_EQ(r.bootSectorCount, 2u);
  ASSERT_EQ(r.dirHeadHits.size(), 2u);
  EXPECT_EQ(r.folderHitCount, 2u);
  const DirHeadHit& h = r.dirHeadHits[0];
  EXPECT_EQ(h.sector, 100u);
  EXPECT_EQ(h.firstCluster, 50u);
  EXPECT_EQ(h.parentCluster, 0u);
  EXPECT_EQ(h.writeDate, 0x1234);
  EXPECT_EQ(h.accessDate, 0x4321);
  EXPECT_EQ(h.fsIndex, 0);
  EXPECT_EQ(r.dirHeadHits[1].firstCluster, 0x10005u);
  EXPECT_EQ(r.dirHeadHits[1].parentCluster, 0x10007u);
  EXPECT_EQ(obs.lastCounter[Counter::BootSectorsFound], 2u);
  EXPECT_EQ(obs.lastCounter[Counter::FoldersFound], 2u);
  EXPECT_EQ(stop.load(), 0);
}

TEST(FatSignatures, HeadsNamingAClusterNotBelowTheirSectorAreNotRecordedButCounted) {
  MemDisk d(200);
  d.dirHead(50, 1, 0);      // cluster 1 holds no data
  d.dirHead(60, 60, 0);     // cluster not below its sector
  d.dirHead(70, 0xFFFFFFFFu, 0);
  d.dirHead(80, 5, 0xFFFFFFFFu);
  d.dirHead(90, 2, 0);      // the first cluster of the data area: a FAT16 folder can start there
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanFatSignatures(*reader, scanRange(FsType::Fat32, 0, 200), 60, r, stop, obs);
  ASSERT_EQ(r.dirHeadHits.size(), 1u);
  EXPECT_EQ(r.dirHeadHits[0].sector, 90u);
  EXPECT_EQ(obs.lastCounter[Counter::FoldersFound], 1u);
}

TEST(FatSignatures, ABootSectorIsNeverTakenForAHead) {
  MemDisk d(64);
  d.dirHead(20, 7, 0);
  d.signature(20);  // a head that ends in 55 AA is a (failed) boot sector test
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanFatSignatures(*reader, scanRange(FsType::Fat32, 0, 64), 8, r, stop, nullObserver());
  EXPECT_TRUE(r.dirHeadHits.empty());
  EXPECT_TRUE(r.bootSectorHits.empty());
}

TEST(FatSignatures, TheLastBatchIsWholeAndItsSectorsPastTheRangeAreExamined) {
  MemDisk d(200);
  d.dirHead(104, 9, 0);  // range 0..100, batches of 60: the second reads 60..119
  d.dirHead(125, 9, 0);  // past the last batch
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanFatSignatures(*reader, scanRange(FsType::Fat32, 0, 100), 60, r, stop, nullObserver());
  ASSERT_EQ(r.dirHeadHits.size(), 1u);
  EXPECT_EQ(r.dirHeadHits[0].sector, 104u);
}

TEST(FatSignatures, ProgressAndStatusMoveEvery88BatchesAndCurrentSectorIsRelative) {
  MemDisk d(1000);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanFatSignatures(*reader, scanRange(FsType::Fat16, 100, 900), 4, r, stop, obs);  // 200 batches
  // Batches 88 and 176 report what was done before them.
  ASSERT_EQ(obs.phases.size(), 2u);
  EXPECT_EQ(obs.phases[0], (PhaseInfo{Phase::ReadingSector, 348, 800}));
  EXPECT_EQ(obs.phases[1], (PhaseInfo{Phase::ReadingSector, 700, 800}));
  EXPECT_EQ(obs.progressCalls, (std::vector<int>{0, 43, 87}));
  EXPECT_EQ(obs.lastCounter[Counter::CurrentSector], 796u);
}

TEST(NtfsSignatures, CurrentSectorIsAbsolute) {
  MemDisk d(300);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 100, 300), 50, r, stop, obs);
  EXPECT_EQ(obs.lastCounter[Counter::CurrentSector], 250u);
}

TEST(FatSignatures, StopIsTestedBeforeEachBatchAndClearedAtTheEnd) {
  MemDisk d(100);
  d.dirHead(30, 9, 0);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{1};  // cleared when the scan starts
  scanFatSignatures(*reader, scanRange(FsType::Fat32, 0, 100), 10, r, stop, nullObserver());
  EXPECT_EQ(r.dirHeadHits.size(), 1u);
  EXPECT_EQ(stop.load(), 0);

  // An observer that presses Stop when the first batch has been examined:
  // the loop ends before the next one.
  struct Stopper : Observer {
    StopFlag* s;
    void counter(Counter which, std::uint64_t) override {
      if (which == Counter::CurrentSector) s->store(1);
    }
  } stopper;
  stopper.s = &stop;
  MemDisk e(100);
  e.dirHead(5, 3, 0);
  e.dirHead(15, 3, 0);
  e.dirHead(25, 3, 0);
  auto er = e.reader();
  DeepScanResults r2;
  scanFatSignatures(*er, scanRange(FsType::Fat32, 0, 100), 10, r2, stop, stopper);
  ASSERT_EQ(r2.dirHeadHits.size(), 1u);
  EXPECT_EQ(r2.dirHeadHits[0].sector, 5u);
  EXPECT_EQ(stop.load(), 0);
}

TEST(FatSignatures, The60001stBootSectorStopsTheScan) {
  const std::uint32_t n = kMaxFatBootSectors + 3;
  MemDisk d(n + 20);
  for (std::uint32_t s = 1; s <= n; ++s) d.fat16Boot(s, 4, 1, 100, 10);
  d.dirHead(n + 10, 5, 0);  // never reached
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanFatSignatures(*reader, scanRange(FsType::Fat16, 0, n + 20), 60, r, stop, obs);
  EXPECT_EQ(r.bootSectorHits.size(), kMaxFatBootSectors + 1);
  EXPECT_EQ(r.bootSectorCount, kMaxFatBootSectors + 1);
  EXPECT_EQ(r.bootSectorHits.back(), kMaxFatBootSectors + 1);
  EXPECT_TRUE(r.dirHeadHits.empty());
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].first, MsgKind::Error);
  EXPECT_EQ(obs.messages[0].second, "Too many data structures found");
  // The counter shown is the last one below the limit.
  EXPECT_EQ(obs.lastCounter[Counter::BootSectorsFound], kMaxFatBootSectors);
  EXPECT_EQ(stop.load(), 0);
}

TEST(FatSignatures, UnreadableSectorsAreSeenAsEmptyNotAsAnEarlierRead) {
  // A head at 10, and sector 70 (same place in the next batch of 60) never
  // reads: the head must not come back as a second head at 70.
  MemDisk d(200);
  d.dirHead(10, 4, 0);
  auto src = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.data()));
  src->failSector(70);
  auto* faulty = src.get();
  SectorReader reader(std::move(src));
  DeepScanResults r;
  StopFlag stop{0};
  scanFatSignatures(reader, scanRange(FsType::Fat32, 0, 180), 60, r, stop, nullObserver());
  ASSERT_EQ(r.dirHeadHits.size(), 1u);
  EXPECT_EQ(r.dirHeadHits[0].sector, 10u);
  // The bad sector is found by halving the failed request (a few requests
  // that hold it), then gets its attempts on its own.
  EXPECT_GE(faulty->attemptsOn(70), 1 + reader.badSectorRetries());
  EXPECT_LE(faulty->attemptsOn(70), 12);
}

TEST(FatSignatures, ReadsAreLargeWhateverTheBatchSize) {
  MemDisk d(20000);
  d.dirHead(19990, 7, 0);
  auto src = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.data()));
  auto* faulty = src.get();
  SectorReader reader(std::move(src));
  DeepScanResults r;
  StopFlag stop{0};
  scanFatSignatures(reader, scanRange(FsType::Fat32, 0, 20000), 1, r, stop, nullObserver());
  EXPECT_EQ(r.dirHeadHits.size(), 1u);
  EXPECT_LE(faulty->requests(), 10u);
}

// --- NTFS ------------------------------------------------------------------

TEST(NtfsSignatures, BootSectorsFileRecordsAndIndexBlocks) {
  MemDisk d(400);
  d.ntfsBoot(0, 8, 399, 4, 100);
  d.bytes(20, FileRecordBuilder(1).fileName(u"a.txt", 5, 1, 111, 222).residentData(77).build());
  d.bytes(22, FileRecordBuilder(0).fileName(u"gone.bin", 40, 3).nonResidentData(5000000000ull).build());
  d.bytes(24, FileRecordBuilder(3).fileName(u"Folder", 5, 1, 333, 444).indexRoot(41).indexAt(74565).build());
  d.bytes(26, FileRecordBuilder(2).fileName(u".", 5, 3).build());
  d.bytes(28, FileRecordBuilder(3).fileName(u"$EXTEND", 5, 3).indexRoot(99).build());
  d.bytes(100, IndexBlockBuilder(0).entry(41, u"x", 41, 0).build());
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 400), 60, r, stop, obs);

  EXPECT_EQ(r.bootSectorHits, std::vector<SectorNo>{0});
  ASSERT_EQ(r.ntfsFileRecords.size(), 2u);
  const auto& f = r.ntfsFileRecords[0];
  EXPECT_EQ(f.name, "a.txt");
  EXPECT_EQ(f.dataRecordSector, 20u);
  EXPECT_EQ(f.recordNumber, 0u);
  EXPECT_EQ(f.parentRecord, 5u);
  EXPECT_EQ(f.creationTime, 111u);
  EXPECT_EQ(f.changeTime, 222u);
  EXPECT_EQ(f.size, 77u);
  EXPECT_FALSE(f.deleted);
  EXPECT_TRUE(r.ntfsFileRecords[1].deleted);
  EXPECT_EQ(r.ntfsFileRecords[1].size, 5000000000ull);
  EXPECT_EQ(r.fileHitCount, 2u);

  ASSERT_EQ(r.ntfsDirRecords.size(), 3u);
  const auto& dir = r.ntfsDirRecords[0];
  EXPECT_EQ(dir.name, "Folder");
  EXPECT_EQ(dir.sector, 24u);
  EXPECT_EQ(dir.recordNumber, 41u);
  EXPECT_EQ(dir.indexLcn, 74565u);
  EXPECT_EQ(dir.creationTime, 333u);
  EXPECT_EQ(dir.changeTime, 444u);
  EXPECT_FALSE(dir.deleted);
  EXPECT_EQ(r.ntfsDirRecords[1].recordNumber, 5u);  // "." without an index root
  EXPECT_TRUE(r.ntfsDirRecords[1].deleted);
  EXPECT_EQ(r.ntfsDirRecords[2].recordNumber, 11u);  // "$Extend" in any case
  EXPECT_EQ(r.folderHitCount, 3u);

  ASSERT_EQ(r.indexBlockHits.size(), 1u);
  EXPECT_EQ(r.indexBlockHits[0].sector, 100u);
  EXPECT_EQ(r.indexBlockHits[0].ownerRecord, 41u);
  EXPECT_EQ(r.indexBlockHits[0].mark, -1);
  EXPECT_EQ(r.indexBlockHits[0].sectorCount, 8);
  EXPECT_EQ(obs.lastCounter[Counter::IndexEntriesFound], 1u);
  EXPECT_EQ(obs.lastCounter[Counter::FilesFound], 2u);
  EXPECT_EQ(obs.lastCounter[Counter::FoldersFound], 3u);
  EXPECT_EQ(obs.lastCounter[Counter::BootSectorsFound], 1u);
}

TEST(NtfsSignatures, RecordsThatArePassedOver) {
  MemDisk d(100);
  auto withSig = FileRecordBuilder(1).fileName(u"sig.txt", 5, 1).build();
  withSig[510] = 0x55;
  withSig[511] = 0xAA;
  d.bytes(10, withSig);  // ends in 55 AA: a (non-NTFS) boot sector test
  auto big = FileRecordBuilder(1).fileName(u"big.txt", 5, 1).build();
  big[28] = 0x00;
  big[29] = 0x08;  // allocated size 2048
  d.bytes(12, big);
  d.bytes(14, FileRecordBuilder(5).fileName(u"five.txt", 5, 1).build());
  d.bytes(16, FileRecordBuilder(1).build());  // no name at all
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 100), 8, r, stop, obs);
  EXPECT_TRUE(r.ntfsFileRecords.empty());
  EXPECT_TRUE(r.ntfsDirRecords.empty());
  EXPECT_TRUE(r.bootSectorHits.empty());
  EXPECT_EQ(obs.lastCounter.count(Counter::FilesFound), 1u);  // shown for the records of 1024 bytes
}

TEST(NtfsSignatures, NamesAreDecodedAndNamespacesPreferredWin32ThenDosAndPosixLast) {
  MemDisk d(40);
  d.bytes(2, FileRecordBuilder(1).fileName(u"SHORT~1.TXT", 5, 2).fileName(u"Long name.txt", 5, 1).build());
  d.bytes(4, FileRecordBuilder(1).fileName(u"only dos", 5, 2).build());
  d.bytes(6, FileRecordBuilder(1).fileName(u"posix \u00e9t\u00e9.txt", 5, 0).build());
  d.bytes(8, FileRecordBuilder(1).fileName(u"\u041e\u0442\u0447\u0451\u0442", 5, 3).build());
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 40), 60, r, stop, nullObserver());
  ASSERT_EQ(r.ntfsFileRecords.size(), 4u);
  EXPECT_EQ(r.ntfsFileRecords[0].name, "Long name.txt");
  EXPECT_EQ(r.ntfsFileRecords[1].name, "only dos");
  EXPECT_EQ(r.ntfsFileRecords[2].name, "posix \xC3\xA9t\xC3\xA9.txt");
  EXPECT_EQ(r.ntfsFileRecords[3].name, "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82");
}

TEST(NtfsSignatures, ARecordStraddlingTwoReadsIsReadWhole) {
  // 4096 read-ahead sectors per request: put a record across the boundary.
  MemDisk d(9000);
  d.bytes(4095, FileRecordBuilder(1).fileName(u"straddle.txt", 5, 1).residentData(9).build());
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 9000), 1, r, stop, nullObserver());
  ASSERT_EQ(r.ntfsFileRecords.size(), 1u);
  EXPECT_EQ(r.ntfsFileRecords[0].name, "straddle.txt");
  EXPECT_EQ(r.ntfsFileRecords[0].size, 9u);
}

// A range of several read-ahead chunks, scanned from a source read on a
// thread of the reader's own (memory) and from one that is not (the same
// bytes behind a FaultySource): the same records in the same order, records
// and index blocks across chunk boundaries included, whatever the batch.
class NtfsReadAhead : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(NtfsReadAhead, AThreadReadingAheadFindsWhatOrderedReadsFind) {
  MemDisk d(30000);
  std::vector<SectorNo> at;
  for (SectorNo s = 7; s + 16 < 30000; s += 997) at.push_back(s);
  for (SectorNo s : {4095u, 4079u, 8159u, 12239u, 24480u}) at.push_back(s);  // across likely chunk ends
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end(), [](SectorNo a, SectorNo b) { return b < a + 8; }), at.end());
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (i % 3 == 2)
      d.bytes(at[i], IndexBlockBuilder(0).entry(41, u"x", 41, 0).build());
    else
      d.bytes(at[i], FileRecordBuilder(1).fileName(u"f" + std::u16string(1, u'a' + i % 26), 5, 1).residentData(i).build());
  }
  auto scan = [&](SectorReader& reader) {
    DeepScanResults r;
    StopFlag stop{0};
    scanNtfsSignatures(reader, scanRange(FsType::Ntfs, 0, 30000), GetParam(), r, stop, nullObserver());
    return r;
  };
  auto memory = d.reader();
  ASSERT_TRUE(memory->source()->concurrentReads());
  SectorReader ordered(std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.data())));
  ASSERT_FALSE(ordered.source()->concurrentReads());
  const DeepScanResults a = scan(*memory), b = scan(ordered);
  ASSERT_EQ(a.ntfsFileRecords.size(), b.ntfsFileRecords.size());
  EXPECT_EQ(a.ntfsFileRecords.size(), at.size() - at.size() / 3);
  for (std::size_t i = 0; i < a.ntfsFileRecords.size(); ++i) {
    EXPECT_EQ(a.ntfsFileRecords[i].dataRecordSector, b.ntfsFileRecords[i].dataRecordSector);
    EXPECT_EQ(a.ntfsFileRecords[i].name, b.ntfsFileRecords[i].name);
    EXPECT_EQ(a.ntfsFileRecords[i].size, b.ntfsFileRecords[i].size);
  }
  ASSERT_EQ(a.indexBlockHits.size(), at.size() / 3);
  ASSERT_EQ(b.indexBlockHits.size(), a.indexBlockHits.size());
  for (std::size_t i = 0; i < a.indexBlockHits.size(); ++i) EXPECT_EQ(a.indexBlockHits[i].sector, b.indexBlockHits[i].sector);
}

TEST_P(NtfsReadAhead, AStopEndsTheScanAndItsThread) {
  MemDisk d(40000);
  for (SectorNo s = 10; s + 2 < 40000; s += 500) d.bytes(s, FileRecordBuilder(1).fileName(u"f", 5, 1).build());
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  // The observer stops the scan at its first record.
  struct Stopper : RecordingObserver {
    StopFlag* flag = nullptr;
    void counter(Counter which, std::uint64_t value) override {
      RecordingObserver::counter(which, value);
      if (which == Counter::FilesFound && value > 0) flag->store(1);
    }
  } obs;
  obs.flag = &stop;
  scanNtfsSignatures(*reader, scanRange(FsType::Ntfs, 0, 40000), GetParam(), r, stop, obs);
  EXPECT_GE(r.ntfsFileRecords.size(), 1u);
  EXPECT_LT(r.ntfsFileRecords.size(), 79u);
  EXPECT_EQ(stop.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, NtfsReadAhead, ::testing::Values(1u, 7u, 60u, 100u));

TEST(NtfsRecords, IndexAllocationRunOffsets) {
  auto rec = [](std::vector<std::uint8_t> runs) { return FileRecordBuilder(3).fileName(u"d", 5, 1).indexAllocation(runs).build(); };
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x41, 1, 0x45, 0x23, 0x01, 0x00})), 74565u);
  // A first offset whose sign would put it before cluster 0 reads unsigned,
  // as every run list does.
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x11, 1, 0xFF})), 255u);
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x21, 1, 0x00, 0x80})), 0x8000u);
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x31, 1, 0x10, 0x00, 0x00})), 16u);
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x51, 1, 1, 2, 3, 4, 5})), 0u);  // 5-byte offsets
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x01, 1})), 0u);                // sparse
  EXPECT_EQ(indexAllocationFirstCluster(rec({0x00})), 0u);
  // A run-list offset pointing outside the record.
  auto bad = rec({0x41, 1, 1, 0, 0, 0});
  std::size_t a = 56;
  while (bad[a] != 0xA0) a += bad[a + 4] | (bad[a + 5] << 8);
  bad[a + 32] = 0xF0;
  bad[a + 33] = 0x03;  // 1008 + a: past the record
  EXPECT_EQ(indexAllocationFirstCluster(bad), 0u);
  bad[a + 33] = 0x80;  // negative
  EXPECT_EQ(indexAllocationFirstCluster(bad), 0u);
}

TEST(NtfsRecords, OwnRecordNumberFromTheIndexRoot) {
  EXPECT_EQ(ownRecordNumberFromIndexRoot(FileRecordBuilder(3).fileName(u"d", 5, 1).indexRoot(77).build()), 77u);
  EXPECT_EQ(ownRecordNumberFromIndexRoot(FileRecordBuilder(3).fileName(u"d", 5, 1).indexRoot(77, 0).build()), 0u);
  EXPECT_EQ(ownRecordNumberFromIndexRoot(FileRecordBuilder(3).fileName(u"d", 5, 1).indexRoot(0xFFFFFFFFu).build()), 0u);
  EXPECT_EQ(ownRecordNumberFromIndexRoot(FileRecordBuilder(3).fileName(u"d", 5, 1).build()), 0u);
  // First-attribute offset negative or past the record.
  auto rec = FileRecordBuilder(3).indexRoot(77).build();
  rec[20] = 0xF0;
  rec[21] = 0xFF;
  EXPECT_EQ(ownRecordNumberFromIndexRoot(rec), 0u);
  rec[21] = 0x03;
  EXPECT_EQ(ownRecordNumberFromIndexRoot(rec), 0u);
}

TEST(NtfsRecords, IndexBlockBounds) {
  DeepScanResults r;
  MemDisk d(300);
  auto reader = d.reader();
  auto put = [&](SectorNo s, const std::vector<std::uint8_t>& b) { d.bytes(s, b); };

  put(0, IndexBlockBuilder(0).owner(4).build());  // owner below 5
  auto r0 = d.reader();
  EXPECT_FALSE(recordIndexBlock(*r0, 0, Bytes(d.at(0), 512), r));

  auto huge = IndexBlockBuilder(0).owner(40).build();
  huge[32] = 0xE9;  // 65513 + 24 = 65537
  huge[33] = 0xFF;
  huge[34] = 0;
  put(20, huge);
  auto r1 = d.reader();
  EXPECT_FALSE(recordIndexBlock(*r1, 20, Bytes(d.at(20), 512), r));
  huge[32] = 0xE8;  // 65512 + 24 = 65536: allowed, 128 sectors
  put(20, huge);
  auto r2 = d.reader();
  EXPECT_TRUE(recordIndexBlock(*r2, 20, Bytes(d.at(20), 512), r));
  EXPECT_EQ(r.indexBlockHits.back().sectorCount, 128);

  auto wrap = IndexBlockBuilder(0).owner(40).build();
  wrap[32] = wrap[33] = wrap[34] = wrap[35] = 0xFF;  // + 24 wraps in 32 bits
  put(200, wrap);
  auto r3 = d.reader();
  EXPECT_FALSE(recordIndexBlock(*r3, 200, Bytes(d.at(200), 512), r));

  auto far = IndexBlockBuilder(0).owner(40).build();
  far[24] = 0xF0;
  far[25] = 0x0F;  // first entry at 4080 + 24: past an 8-sector block
  put(220, far);
  auto r4 = d.reader();
  EXPECT_FALSE(recordIndexBlock(*r4, 220, Bytes(d.at(220), 512), r));
  EXPECT_EQ(r.indexBlockCount, 1u);
}

TEST(NtfsRecords, HostileBytesNeverCrash) {
  std::mt19937 rng(7);
  DeepScanResults r;
  MemDisk d(64);
  for (int round = 0; round < 1500; ++round) {
    for (std::size_t i = 0; i < d.data().size(); ++i) d.data()[i] = static_cast<char>(rng());
    // Keep the magic words and make offsets small often enough to get deep.
    d.text(0, 0, "FILE");
    d.put16(0, 20, static_cast<std::uint16_t>(rng() % 1100));
    d.put16(0, 4, static_cast<std::uint16_t>(rng() % 100));
    d.put16(0, 6, static_cast<std::uint16_t>(rng() % 5));
    d.put8(0, 22, static_cast<std::uint8_t>(rng() % 4));
    d.text(8, 0, "INDX");
    d.put32(8, 32, static_cast<std::uint32_t>(rng() % 70000));
    d.put32(8, 24, static_cast<std::uint32_t>(rng() % 5000));
    auto reader = d.reader();
    recordNtfsFileRecord(*reader, 0, rng() % 2 == 0 ? 2 : 8, r);
    recordIndexBlock(*reader, 8, Bytes(d.at(8), 512), r);
    ownRecordNumberFromIndexRoot(Bytes(d.at(0), 1024));
    indexAllocationFirstCluster(Bytes(d.at(0), 1024));
  }
  SUCCEED();
}


// --- exFAT ---------------------------------------------------------------------

// Where an entry set lies: inside a sector, across sectors, across the end of
// the chunk the scan holds in memory (then read from the disk).
struct ExfatSetCase {
  const char* what;
  std::uint64_t sector;
  std::size_t offset;
  std::size_t nameLength;
  std::uint32_t sectorsPerRead;
  bool deleted;
  bool folder;
};

class ExfatSetPlacement : public ::testing::TestWithParam<ExfatSetCase> {};

TEST_P(ExfatSetPlacement, TheSetIsFiledOnceWithItsFields) {
  const ExfatSetCase& c = GetParam();
  MemDisk d(8300);
  std::u16string name;
  for (std::size_t i = 0; i < c.nameLength; ++i) name += static_cast<char16_t>(i == 0 ? u'\u00DC' : u'a' + i % 26);
  const std::size_t bytes = d.exfatSet(c.sector, c.offset, name, c.folder, 77, 123456, true, c.deleted);
  // A set of another file right after it is filed too, a stray name entry not.
  const std::uint64_t after = c.sector + (c.offset + bytes) / 512;
  const std::size_t afterOff = (c.offset + bytes) % 512;
  d.exfatSet(after, afterOff, u"next.txt", false, 90, 10);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanExfatSignatures(*reader, scanRange(FsType::Exfat, 0, 8300), c.sectorsPerRead, r, stop, obs);
  ASSERT_EQ(r.exfatSetHits.size(), 2u) << c.what;
  const ExfatSetHit& h = r.exfatSetHits[0];
  EXPECT_EQ(h.sector, c.sector);
  EXPECT_EQ(h.offset, c.offset);
  EXPECT_EQ(h.fsIndex, 0);
  EXPECT_EQ(h.set.name.size(), c.nameLength + 1);  // Ü is two bytes of UTF-8
  EXPECT_EQ(h.set.name.substr(0, 2), "\xC3\x9C");
  EXPECT_EQ(h.set.firstCluster, 77u);
  EXPECT_EQ(h.set.dataLength, 123456u);
  EXPECT_TRUE(h.set.noFatChain);
  EXPECT_EQ(h.set.deleted, c.deleted);
  EXPECT_EQ(h.set.folder(), c.folder);
  EXPECT_EQ(r.exfatSetHits[1].set.name, "next.txt");
  EXPECT_EQ(r.exfatSetHits[1].sector, after);
  EXPECT_EQ(r.folderHitCount, c.folder ? 1u : 0u);
  EXPECT_EQ(r.fileHitCount, c.folder ? 1u : 2u);
  EXPECT_EQ(obs.lastCounter[Counter::FilesFound], r.fileHitCount);
  EXPECT_EQ(obs.lastCounter[Counter::FoldersFound], r.folderHitCount);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ExfatSetPlacement,
    ::testing::Values(ExfatSetCase{"inside a sector", 100, 0, 10, 60, false, false},
                      ExfatSetCase{"deleted", 100, 64, 10, 60, true, false},
                      ExfatSetCase{"a folder", 100, 448, 3, 60, false, true},
                      ExfatSetCase{"across two sectors", 100, 480, 40, 60, false, false},
                      ExfatSetCase{"a name of 255 units over three sectors", 100, 480, 255, 7, true, false},
                      ExfatSetCase{"across the chunk in memory", 4095, 448, 30, 64, false, false},
                      ExfatSetCase{"across batches of one sector", 300, 480, 20, 1, false, true}),
    [](const ::testing::TestParamInfo<ExfatSetCase>& i) { return "case" + std::to_string(i.index); });

TEST(ExfatSignatures, SetsThatFailACheckAreNotFiledAndBootSectorsAreCounted) {
  MemDisk d(400);
  d.exfatBoot(0, 400, 24, 8, 64, 42, 3);
  d.exfatBoot(12, 400, 24, 8, 64, 42, 3);  // the backup
  d.exfatBoot(40, 400, 24, 8, 64, 42, 3);
  d.put8(40, 20, 1);                        // bytes 11-63 must be zero
  d.exfatSet(100, 0, u"bad checksum", false, 5, 10, true, false, true);
  d.exfatSet(101, 0, u"deleted, bad", false, 5, 10, true, true, true);
  d.exfatSet(102, 0, u"stream live", false, 5, 10, true, true);
  d.put8(102, 0, 0x85);                     // a live file entry over deleted secondaries
  d.exfatSet(103, 0, u"one secondary", false, 5, 10);
  d.put8(103, 1, 1);
  d.exfatSet(104, 0, u"good", false, 5, 10);
  auto reader = d.reader();
  DeepScanResults r;
  StopFlag stop{0};
  RecordingObserver obs;
  scanExfatSignatures(*reader, scanRange(FsType::Exfat, 0, 400), 60, r, stop, obs);
  EXPECT_EQ(r.bootSectorHits, (std::vector<SectorNo>{0, 12}));
  EXPECT_EQ(obs.lastCounter[Counter::BootSectorsFound], 2u);
  ASSERT_EQ(r.exfatSetHits.size(), 1u);
  EXPECT_EQ(r.exfatSetHits[0].set.name, "good");
  EXPECT_EQ(stop.load(), 0);
}

}  // namespace
}  // namespace osprin
