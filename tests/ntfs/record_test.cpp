// The NTFS file-record routines on hand-made records, on damaged ones, and
// on raw MFT copies made by Windows.
#include <gtest/gtest.h>

#include <random>

#include "support/fixtures.h"
#include "ntfs/record.h"
#include "volume/ntfs_synth.h"

namespace osprin {
namespace {

using test::encodeRuns;
using test::Record;
using test::RecordBuilder;
using test::RunPiece;

// ---- fixup --------------------------------------------------------------

TEST(NtfsFixup, RestoresSectorEnds) {
  RecordBuilder b;
  b.fileName(u"x", 1, 5);
  Record plain = b.plain();
  plain[510] = 0x12;
  plain[511] = 0x34;
  plain[1022] = 0x56;
  plain[1023] = 0x78;
  b.bytes()[510] = 0x12;
  b.bytes()[511] = 0x34;
  b.bytes()[1022] = 0x56;
  b.bytes()[1023] = 0x78;
  Record disk = b.finish(0x0202);
  EXPECT_EQ(disk[510], 0x02);
  EXPECT_EQ(disk[1023], 0x02);
  applyFixup(disk);
  EXPECT_EQ(disk[510], 0x12);
  EXPECT_EQ(disk[511], 0x34);
  EXPECT_EQ(disk[1022], 0x56);
  EXPECT_EQ(disk[1023], 0x78);
}

TEST(NtfsFixup, StaysInsideTheBufferAndTheArea) {
  // A huge entry count on a one-sector buffer touches only that sector.
  std::vector<std::uint8_t> one(512, 0xAA);
  test::put16(&one[4], 48);
  test::put16(&one[6], 0xFFFF);
  test::put16(&one[50], 0x1111);
  applyFixup(one);
  EXPECT_EQ(one[510], 0x11);
  EXPECT_EQ(one[511], 0x11);

  // Array entries at or beyond byte 84 are not used.
  Record r{};
  test::put16(&r[4], 80);
  test::put16(&r[6], 3);
  r[82] = r[83] = 0x55;  // entry for sector 0
  r[84] = r[85] = 0x66;  // entry for sector 1: at byte 84, not used
  r[510] = r[511] = r[1022] = r[1023] = 0x01;
  applyFixup(r);
  EXPECT_EQ(r[510], 0x55);
  EXPECT_EQ(r[1022], 0x01);

  // An array offset past the buffer changes nothing.
  Record s{};
  test::put16(&s[4], 0xFFF0);
  test::put16(&s[6], 3);
  s[510] = 0x01;
  applyFixup(s);
  EXPECT_EQ(s[510], 0x01);
}

// ---- file names ---------------------------------------------------------

TEST(NtfsFileName, NamespacesAndPreference) {
  // DOS name first, Win32 second: Win32 wins.
  Record r = RecordBuilder().fileName(u"LONGFI~1.TXT", 2, 40).fileName(u"Long file.txt", 1, 40, 111, 222).plain();
  FileNameInfo fn;
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "Long file.txt");
  EXPECT_EQ(fn.parentRecord, 40u);
  EXPECT_EQ(fn.creationTime, 111u);
  EXPECT_EQ(fn.changeTime, 222u);
  ASSERT_TRUE(findFileName(r, 2, fn));
  EXPECT_EQ(fn.name, "LONGFI~1.TXT");
  EXPECT_FALSE(findFileName(r, 0, fn));
  EXPECT_FALSE(findFileName(r, 3, fn));

  // Win32 first, DOS second: still Win32.
  r = RecordBuilder().fileName(u"Long file.txt", 1, 41).fileName(u"LONGFI~1.TXT", 2, 41).plain();
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "Long file.txt");

  // Win32-and-DOS before DOS.
  r = RecordBuilder().fileName(u"SHORT", 2, 5).fileName(u"Short", 3, 5).plain();
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "Short");

  // Only a DOS name: taken.
  r = RecordBuilder().fileName(u"ONLYDOS.TXT", 2, 5).plain();
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "ONLYDOS.TXT");

  // Only a POSIX name (ntfs-3g, Windows without short names): taken last.
  r = RecordBuilder().fileName(u"posix name", 0, 77).plain();
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "posix name");
  EXPECT_EQ(fn.parentRecord, 77u);
  r = RecordBuilder().fileName(u"posix", 0, 5).fileName(u"POSIX~1", 2, 5).plain();
  ASSERT_TRUE(findPreferredFileName(r, fn));
  EXPECT_EQ(fn.name, "POSIX~1");

  // No name at all.
  r = RecordBuilder().data(10).plain();
  EXPECT_FALSE(findPreferredFileName(r, fn));
}

TEST(NtfsFileName, NamedAndNonResidentFileNamesAreIgnored) {
  FileNameInfo fn;
  RecordBuilder b;
  std::vector<std::uint8_t> v(66 + 2, 0);
  v[64] = 1;
  v[65] = 1;
  v[66] = 'n';
  b.resident(0x30, v, u"x");  // a file name attribute with an attribute name
  EXPECT_FALSE(findPreferredFileName(b.plain(), fn));
  RecordBuilder c;
  c.nonResident(0x30, 100, encodeRuns({{10, 1}}));
  EXPECT_FALSE(findPreferredFileName(c.plain(), fn));
}

TEST(NtfsFileName, DecodesUtf16) {
  FileNameInfo fn;
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"Привет.txt", "Привет.txt"},
      {u"東京タワー.jpg", "東京タワー.jpg"},
      {u"emoji \U0001F600.txt", "emoji \xF0\x9F\x98\x80.txt"},
      {std::u16string(u"bad") + char16_t(0xD800) + u"x", "bad\xEF\xBF\xBDx"},
      {std::u16string(u"lone") + char16_t(0xDC00), "lone\xEF\xBF\xBD"},
      {u"Ä", "\xC3\x84"},
  };
  for (auto& c : cases) {
    Record r = RecordBuilder().fileName(c.in, 1, 5).plain();
    ASSERT_TRUE(findFileName(r, 1, fn));
    EXPECT_EQ(fn.name, c.out);
  }
}

TEST(NtfsFileName, ANameReachingPastTheRecordIsNotTaken) {
  FileNameInfo fn;
  RecordBuilder b;
  b.fileName(u"abc", 1, 5);
  Record r = b.plain();
  // A name length of 255 characters (510 bytes) near the end of the record.
  RecordBuilder c;
  c.resident(0x10, std::vector<std::uint8_t>(832, 0));
  const std::size_t at = c.position();
  c.fileName(u"abcdef", 1, 5);  // value at 936, its name at 1002-1013
  Record d = c.plain();
  ASSERT_TRUE(findFileName(d, 1, fn));
  const std::size_t v = at + 24;
  ASSERT_EQ(d[v + 64], 6);
  d[v + 64] = 255;
  EXPECT_FALSE(findFileName(d, 1, fn));
  // A value offset beyond the record.
  Record e = r;
  test::put16(&e[56 + 20], 2000);
  EXPECT_FALSE(findFileName(e, 1, fn));
  // The same record cut short: the name is not taken from a short buffer.
  EXPECT_FALSE(findFileName(Bytes(r).first(56 + 24 + 66 + 2), 1, fn));
  EXPECT_TRUE(findFileName(Bytes(r).first(56 + 24 + 66 + 6), 1, fn));
}

TEST(NtfsAttributes, WalksAlwaysEnd) {
  FileNameInfo fn;
  std::uint64_t size = 0;
  std::vector<std::uint32_t> refs{7};
  // Length 0: the walk ends without a result.
  Record r = RecordBuilder().fileName(u"a", 1, 5).plain();
  test::put32(&r[56 + 4], 0);
  EXPECT_FALSE(findPreferredFileName(r, fn));
  // A huge length on an earlier attribute ends the walk.
  RecordBuilder b;
  b.resident(0x10, std::vector<std::uint8_t>(48, 0)).fileName(u"a", 1, 5);
  r = b.plain();
  test::put32(&r[56 + 4], 0xFFFFFFF0);
  EXPECT_FALSE(findPreferredFileName(r, fn));
  EXPECT_FALSE(findDataSize(r, size));
  collectAttributeList(r, refs);
  EXPECT_EQ(refs.size(), 1u);
  // First-attribute offset beyond the record.
  r = RecordBuilder().fileName(u"a", 1, 5).plain();
  test::put16(&r[20], 1020);
  EXPECT_FALSE(findPreferredFileName(r, fn));
  test::put16(&r[20], 0xFFFF);
  EXPECT_FALSE(findPreferredFileName(r, fn));
  // Length 1 steps through garbage byte by byte and still ends.
  Record g{};
  for (std::size_t i = 56; i < g.size(); i += 8) {
    test::put32(&g[i], 0x30);
    test::put32(&g[i + 4], 1);
  }
  test::put16(&g[20], 56);
  EXPECT_FALSE(findFileName(g, 1, fn));
  EXPECT_FALSE(findDataSize(g, size));
}

TEST(NtfsAttributes, DamagedRecordsNeverReadOutside) {
  // Random damage to records made by Windows: every routine ends, and
  // whatever name it finds lies inside the record.
  auto mft = test::corpusFile("unicode.mft");
  if (!mft) GTEST_SKIP() << "corpus absent";
  std::string raw = test::readFile(*mft);
  std::mt19937 rng(12345);
  FileNameInfo fn;
  std::uint64_t size;
  for (int round = 0; round < 20000; ++round) {
    const std::size_t n = rng() % (raw.size() / kMftRecordSize);
    Record r;
    std::memcpy(r.data(), raw.data() + n * kMftRecordSize, kMftRecordSize);
    applyFixup(r);
    const int hits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < hits; ++i) r[56 + rng() % 300] = static_cast<std::uint8_t>(rng());
    // Cut the buffer too, as a deep scan near the end of a read would.
    const std::size_t len = (round % 3 == 0) ? 200 + rng() % 824 : kMftRecordSize;
    Bytes b(r.data(), len);
    if (findPreferredFileName(b, fn)) {
      EXPECT_LE(fn.name.size(), 255u * 3);
    }
    findDataSize(b, size);
    std::vector<std::uint32_t> refs{static_cast<std::uint32_t>(n)};
    collectAttributeList(b, refs);
    EXPECT_LE(refs.size(), kMaxRecordRefs);
  }
}

// ---- data size ------------------------------------------------------------

TEST(NtfsDataSize, ResidentNonResidentAndStreams) {
  std::uint64_t size = 1;
  EXPECT_TRUE(findDataSize(RecordBuilder().fileName(u"a", 1, 5).data(300).plain(), size));
  EXPECT_EQ(size, 300u);

  const std::uint64_t big = 5'000'000'123ull;  // above 4 GB
  EXPECT_TRUE(findDataSize(RecordBuilder().nonResident(0x80, big, encodeRuns({{100, 1220704}})).plain(), size));
  EXPECT_EQ(size, big);

  // A named stream before the unnamed one is stepped over.
  Record r = RecordBuilder().data(50, u"Zone.Identifier").data(7).plain();
  EXPECT_TRUE(findDataSize(r, size));
  EXPECT_EQ(size, 7u);

  // Only named streams: nothing.
  EXPECT_FALSE(findDataSize(RecordBuilder().data(50, u"s1").data(60, u"s2").plain(), size));
  // No data attribute at all.
  EXPECT_FALSE(findDataSize(RecordBuilder().fileName(u"dir", 1, 5).plain(), size));

  // A later piece of a stream (starting past cluster 0) carries no size; the
  // first piece in a later record does.
  Record later = RecordBuilder().nonResident(0x80, 0, encodeRuns({{300, 4}}), u"", 16).plain();
  EXPECT_FALSE(findDataSize(later, size));
}

// ---- attribute lists ---------------------------------------------------------

TEST(NtfsAttributeList, ResidentListGivesDistinctRecords) {
  Record r = RecordBuilder()
                 .attributeList({{0x10, 30}, {0x30, 30}, {0x30, 31}, {0x80, 32}, {0x80, 31}, {0x80, 33}})
                 .plain();
  std::vector<std::uint32_t> refs{30};
  collectAttributeList(r, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{30, 31, 32, 33}));
}

TEST(NtfsAttributeList, AtMostFiftyRecords) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
  for (std::uint32_t i = 0; i < 28; ++i) entries.push_back({0x80, 100 + i});
  Record r = RecordBuilder().attributeList(entries).plain();
  std::vector<std::uint32_t> refs{1};
  collectAttributeList(r, refs);
  EXPECT_EQ(refs.size(), 29u);
  // A second list on top fills to 50 and no further.
  Record r2 = RecordBuilder().attributeList([] {
                std::vector<std::pair<std::uint32_t, std::uint32_t>> e;
                for (std::uint32_t i = 0; i < 28; ++i) e.push_back({0x80, 200 + i});
                return e;
              }())
                  .plain();
  collectAttributeList(r2, refs);
  EXPECT_EQ(refs.size(), kMaxRecordRefs);
  EXPECT_EQ(refs.back(), 200u + 20);
}

TEST(NtfsAttributeList, EntriesEndWithTheValue) {
  // The list's value holds one entry; the bytes after it (the next
  // attribute) are not read as entries.
  RecordBuilder b;
  b.attributeList({{0x80, 44}}).fileName(u"after", 1, 5);
  Record r = b.plain();
  std::vector<std::uint32_t> refs{9};
  collectAttributeList(r, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{9, 44}));

  // An entry of length 0 ends the list; so does an end-marker type.
  auto v = RecordBuilder::listValue({{0x10, 50}, {0x80, 51}, {0x80, 52}});
  test::put16(&v[32 + 4], 0);
  Record z = RecordBuilder().resident(0x20, v).plain();
  refs = {9};
  collectAttributeList(z, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{9, 50, 51}));
  v = RecordBuilder::listValue({{0x10, 50}, {0xFFFFFFFF, 51}, {0x80, 52}});
  z = RecordBuilder().resident(0x20, v).plain();
  refs = {9};
  collectAttributeList(z, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{9, 50}));
}

TEST(NtfsAttributeList, NonResidentListIsReadThroughItsRuns) {
  // The list's value lies in clusters 10 and 20 (2 sectors each).
  auto value = RecordBuilder::listValue({{0x10, 70}, {0x30, 71}, {0x80, 72}});
  auto more = RecordBuilder::listValue({{0x80, 73}});
  std::vector<std::uint8_t> list;
  for (int i = 0; i < 15; ++i) list.insert(list.end(), value.begin(), value.end());  // 15 * 96 = 1440 bytes
  list.insert(list.end(), more.begin(), more.end());
  ASSERT_GT(list.size(), 1024u);
  test::SynthDisk disk(64);
  disk.put(20, list.data(), 1024);
  disk.put(40, list.data() + 1024, list.size() - 1024);
  auto reader = disk.reader();
  Record r = RecordBuilder().nonResident(0x20, list.size(), encodeRuns({{10, 1}, {10, 1}})).plain();

  std::vector<std::uint32_t> refs{70};
  collectAttributeList(*reader, 0, 2, r, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{70, 71, 72, 73}));
  // Without a reader only a resident list counts.
  refs = {70};
  collectAttributeList(r, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{70}));
  // The real size bounds what is read: entries beyond it are not taken.
  Record shortList = RecordBuilder().nonResident(0x20, 96, encodeRuns({{10, 1}, {10, 1}})).plain();
  refs = {70};
  collectAttributeList(*reader, 0, 2, shortList, refs);
  EXPECT_EQ(refs, (std::vector<std::uint32_t>{70, 71, 72}));
}

// ---- MFT runs -------------------------------------------------------------

TEST(NtfsMftRuns, RecordSectorWalksTheRuns) {
  MftRuns runs;
  runs.runStart = {1000, 0, 5000};
  runs.runLength = {8, 4, 6};
  EXPECT_EQ(runs.totalSectors(), 18u);
  EXPECT_EQ(runs.recordSector(0), 1000u);
  EXPECT_EQ(runs.recordSector(3), 1006u);
  EXPECT_EQ(runs.recordSector(4), 0u);  // sparse
  EXPECT_EQ(runs.recordSector(5), 0u);
  EXPECT_EQ(runs.recordSector(6), 5000u);
  EXPECT_EQ(runs.recordSector(8), 5004u);
  EXPECT_EQ(runs.recordSector(9), 0u);  // beyond the last run
  EXPECT_EQ(runs.recordSector(0xFFFFFFFF), 0u);
  EXPECT_EQ(runs.sectorAt(7), 1007u);
  EXPECT_EQ(runs.sectorAt(13), 5001u);
}

TEST(NtfsMftRuns, FragmentedWithNegativeOffsetAndSparseRun) {
  test::SynthVolume v;
  v.sectorsPerCluster = 4;
  // Clusters 100-103, then a sparse gap of 2, then 40-42 (offset -60),
  // then 200-201 (offset +160 from 40).
  v.mftRuns = {{100, 4}, {0, 2, true}, {-60, 3}, {160, 2}};
  v.records.push_back({0, v.mftRecord()});
  VolumeParams vp;
  auto reader = v.build(2048, vp);
  vp.clusterBase = 0;
  MftRuns runs = readMftRuns(*reader, 0, vp.mftStart, 4);
  EXPECT_EQ(runs.runStart, (std::vector<SectorNo>{400, 0, 160, 800}));
  EXPECT_EQ(runs.runLength, (std::vector<std::uint32_t>{16, 8, 12, 8}));

  // The same volume behind a cluster base: every start moves with it.
  test::SynthDisk disk(4096);
  const Record rec0 = v.mftRecord();
  disk.putRecord(1000 + 400, rec0);
  auto r2 = disk.reader();
  runs = readMftRuns(*r2, 1000, 1400, 4);
  EXPECT_EQ(runs.runStart, (std::vector<SectorNo>{1400, 0, 1160, 1800}));
}

TEST(NtfsMftRuns, WideFieldsReachPastTwoTebibytes) {
  // The second run's offset field has 5 bytes: a cluster past 2^32 sectors.
  std::vector<std::uint8_t> runs = {0x11, 0x08, 0x10, 0x51, 0x04, 1, 2, 3, 4, 5, 0x11, 0x02, 0x20, 0x00};
  Record rec0 = RecordBuilder().nonResident(0x80, 14 * 4096, runs).finish();
  test::SynthDisk disk(512);
  disk.putRecord(32, rec0);
  auto reader = disk.reader();
  MftRuns got = readMftRuns(*reader, 0, 32, 2);
  const SectorNo far = 32 + 2 * SectorNo{0x0504030201};
  EXPECT_EQ(got.runStart, (std::vector<SectorNo>{32, far, far + 0x40}));
  EXPECT_EQ(got.runLength, (std::vector<std::uint32_t>{16, 8, 4}));
  // A length field of 9 bytes ends the list, and so does a run past any
  // disk (2^48 sectors).
  runs = {0x11, 0x08, 0x10, 0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00};
  disk.putRecord(32, RecordBuilder().nonResident(0x80, 4096, runs).finish());
  reader = disk.reader();
  EXPECT_EQ(readMftRuns(*reader, 0, 32, 2).size(), 1u);
  runs = {0x11, 0x08, 0x10, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00};
  disk.putRecord(32, RecordBuilder().nonResident(0x80, 4096, runs).finish());
  reader = disk.reader();
  EXPECT_EQ(readMftRuns(*reader, 0, 32, 2).size(), 1u);
  // A run list without an end stops with its attribute.
  RecordBuilder b;
  std::vector<std::uint8_t> endless;
  for (int i = 0; i < 300; ++i) endless.insert(endless.end(), {0x11, 0x01, 0x02});
  endless.resize(1024 - 56 - 64 - 16);
  b.nonResident(0x80, 4096, endless);
  disk.putRecord(32, b.finish());
  reader = disk.reader();
  MftRuns many = readMftRuns(*reader, 0, 32, 2);
  EXPECT_GT(many.size(), 200u);
  EXPECT_LT(many.size(), 340u);
}

TEST(NtfsMftRuns, NotAFileRecordGivesNoRuns) {
  test::SynthDisk disk(64);
  auto reader = disk.reader();
  EXPECT_EQ(readMftRuns(*reader, 0, 16, 8).size(), 0u);
}

// The MFT described by an attribute list in record 0: its data runs are in
// records 0, 17 and 18 (record 18 lies in the second piece).
TEST(NtfsMftRuns, AttributeListInRecordZero) {
  const std::uint32_t spc = 2;
  // Pieces: clusters 50-69 (records 0-19), 200-209 (records 20-29),
  // 120-124 (records 30-34).
  RecordBuilder r0(1);
  r0.fileName(u"$MFT", 3, 5);
  r0.attributeList({{0x10, 0}, {0x30, 0}, {0x80, 0}, {0x80, 17}, {0x80, 29}, {0x80, 40}});
  r0.nonResident(0x80, 20 * 1024, encodeRuns({{50, 20}}));
  RecordBuilder r17(1, 0);
  r17.nonResident(0x80, 0, encodeRuns({{200, 10}}), u"", 20);
  RecordBuilder r29(1, 0);
  r29.nonResident(0x80, 0, encodeRuns({{120, 5}}), u"", 30);
  test::SynthDisk disk(1024);
  disk.putRecord(100, r0.finish());
  disk.putRecord(100 + 2 * 17, r17.finish());
  disk.putRecord(400 + 2 * 9, r29.finish());  // record 29 = 10th of the second piece
  auto reader = disk.reader();
  MftRuns runs = readMftRuns(*reader, 0, 100, spc);
  EXPECT_EQ(runs.runStart, (std::vector<SectorNo>{100, 400, 240}));
  EXPECT_EQ(runs.runLength, (std::vector<std::uint32_t>{40, 20, 10}));
  // Record 40 lay beyond the runs when it was reached: skipped.

  // The same list kept outside the record (non-resident, cluster 300).
  auto value = RecordBuilder::listValue({{0x10, 0}, {0x80, 0}, {0x80, 17}, {0x80, 29}});
  disk.put(600, value.data(), value.size());
  RecordBuilder r0n(1);
  r0n.fileName(u"$MFT", 3, 5);
  r0n.nonResident(0x20, value.size(), encodeRuns({{300, 1}}));
  r0n.nonResident(0x80, 20 * 1024, encodeRuns({{50, 20}}));
  disk.putRecord(100, r0n.finish());
  reader = disk.reader();
  runs = readMftRuns(*reader, 0, 100, spc);
  EXPECT_EQ(runs.runStart, (std::vector<SectorNo>{100, 400, 240}));
}

TEST(NtfsMftRuns, AtMostHundredRecordsFromTheList) {
  // Records 0-199 at cluster 50; records 1-119 each add one run; the list
  // (non-resident, 120 entries) names them all, only the first 100 count.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
  for (std::uint32_t i = 0; i < 120; ++i) entries.push_back({0x80, i});
  auto value = RecordBuilder::listValue(entries);
  test::SynthDisk disk(2048);
  disk.put(1200, value.data(), value.size());
  RecordBuilder r0(1);
  r0.nonResident(0x20, value.size(), encodeRuns({{600, 4}}));
  r0.nonResident(0x80, 200 * 1024, encodeRuns({{50, 200}}));
  disk.putRecord(100, r0.finish());
  for (std::uint32_t i = 1; i < 120; ++i)
    disk.putRecord(100 + 2 * i, RecordBuilder(1).nonResident(0x80, 0, encodeRuns({{1000 + i, 1}}), u"", i).finish());
  auto reader = disk.reader();
  MftRuns runs = readMftRuns(*reader, 0, 100, 2);
  ASSERT_EQ(runs.size(), 100u);
  EXPECT_EQ(runs.runStart[0], 100u);
  EXPECT_EQ(runs.runStart[1], 2u * 1001);
  EXPECT_EQ(runs.runStart[99], 2u * 1099);
}

TEST(NtfsMftRecord, ReadsBothHalvesWhereTheRunsPutThem) {
  // One-sector clusters and a run of odd length: record 1 starts at the end
  // of the first run and ends at the start of the second.
  MftRuns runs;
  runs.runStart = {100, 300};
  runs.runLength = {3, 5};
  Record rec = RecordBuilder().fileName(u"split", 1, 5).finish();
  test::SynthDisk disk(512);
  disk.put(102, rec.data(), 512);
  disk.put(300, rec.data() + 512, 512);
  auto reader = disk.reader();
  Record out;
  ASSERT_TRUE(readMftRecord(*reader, runs, 1, out));
  FileNameInfo fn;
  ASSERT_TRUE(findFileName(out, 1, fn));
  EXPECT_EQ(fn.name, "split");
  EXPECT_FALSE(readMftRecord(*reader, runs, 4, out));  // beyond the runs
  EXPECT_FALSE(readMftRecord(*reader, runs, 2, out));  // no file record there
}

// ---- records written by Windows --------------------------------------------

struct MftRecordView {
  Record rec;
  bool isFile = false;
};

std::vector<MftRecordView> loadMft(const std::string& name) {
  std::vector<MftRecordView> out;
  auto path = test::corpusFile(name);
  if (!path) return out;
  std::string raw = test::readFile(*path);
  for (std::size_t off = 0; off + kMftRecordSize <= raw.size(); off += kMftRecordSize) {
    MftRecordView v;
    std::memcpy(v.rec.data(), raw.data() + off, kMftRecordSize);
    v.isFile = hasText(v.rec, 0, "FILE");
    if (v.isFile) applyFixup(v.rec);
    out.push_back(v);
  }
  return out;
}

TEST(NtfsWindowsRecords, UnicodeNamesAndSizes) {
  auto mft = loadMft("unicode.mft");
  if (mft.empty()) GTEST_SKIP() << "corpus absent";
  FileNameInfo fn;
  ASSERT_TRUE(findPreferredFileName(mft[42].rec, fn));
  EXPECT_EQ(fn.name, "Привет");
  EXPECT_EQ(fn.parentRecord, 5u);
  EXPECT_EQ(rd8(mft[42].rec, 22), 3);
  ASSERT_TRUE(findPreferredFileName(mft[43].rec, fn));
  EXPECT_EQ(fn.name, "привет.txt");
  EXPECT_EQ(fn.parentRecord, 42u);
  std::uint64_t size = 0;
  ASSERT_TRUE(findDataSize(mft[43].rec, size));
  // The size that fls gives for Привет/привет.txt.
  std::string fls = test::readFile(*test::corpusFile("unicode.fls"));
  auto at = fls.find("Привет/привет.txt");
  ASSERT_NE(at, std::string::npos);
  std::string line = fls.substr(at, fls.find('\n', at) - at);
  std::vector<std::string> cols;
  for (std::size_t p = 0, q; p <= line.size(); p = q + 1) {
    q = line.find('\t', p);
    if (q == std::string::npos) q = line.size();
    cols.push_back(line.substr(p, q - p));
  }
  ASSERT_GE(cols.size(), 6u);
  EXPECT_EQ(std::to_string(size), cols[5]);
  // The MFT's own record describes its runs.
  ASSERT_TRUE(findPreferredFileName(mft[0].rec, fn));
  EXPECT_EQ(fn.name, "$MFT");
  ASSERT_TRUE(findDataSize(mft[0].rec, size));
  EXPECT_EQ(size, 262144u);
}

TEST(NtfsWindowsRecords, DeletedChainKeepsNamesAndFlags) {
  auto mft = loadMft("deleted.mft");
  if (mft.empty()) GTEST_SKIP() << "corpus absent";
  // Folders 1/2/3/4 deleted (flags 2) with the file.txt inside deleted (0).
  struct Want {
    std::uint32_t rec;
    const char* name;
    std::uint32_t parent;
    int flags;
  } wants[] = {{39, "1", 5, 2}, {43, "2", 39, 2}, {44, "3", 43, 2}, {46, "4", 44, 2}, {47, "file.txt", 46, 0}};
  for (auto& w : wants) {
    FileNameInfo fn;
    ASSERT_TRUE(findPreferredFileName(mft[w.rec].rec, fn)) << w.rec;
    EXPECT_EQ(fn.name, w.name);
    EXPECT_EQ(fn.parentRecord, w.parent);
    EXPECT_EQ(rd8(mft[w.rec].rec, 22), w.flags);
  }
  // Every record of the copy: refs stay within bounds and start with the record.
  for (std::size_t n = 0; n < mft.size(); ++n) {
    if (!mft[n].isFile) continue;
    std::vector<std::uint32_t> refs{static_cast<std::uint32_t>(n)};
    collectAttributeList(mft[n].rec, refs);
    EXPECT_EQ(refs.front(), n);
    EXPECT_LE(refs.size(), kMaxRecordRefs);
  }
}

}  // namespace
}  // namespace osprin
