// Damaged structures that fuzzing met (or that the fuzz targets' checks
// were written for), each kept as a test of its own; the inputs are also in
// fuzz/corpus/<target>/, replayed by the fuzz_<target> tests of a clang build. Every case ends with the whole flow the program would run on
// such a volume: the scan, the snapshot that must save and load again, and
// recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/session.h"
#include "support/fixtures.h"
#include "volume/fat_dir.h"
#include "volume/fat_synth.h"
#include "volume/ntfs_synth.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

using test::SynthFat;

// A FAT16 volume of 4096 sectors, 1 sector per cluster, whose root
// directory the test fills.
SynthFat smallFat16() { return SynthFat(FsType::Fat16, 4096, 1, 1, 16); }

// The standard scan of a synthetic volume through a Session, a snapshot of
// its tree saved and loaded back, and Recover All. Returns the root's rows.
std::vector<ListRow> scanSaveLoadRecover(SynthFat& v, FsType fs) {
  Session s;
  s.reader = v.reader();
  std::string err = s.setScanRange(fs, "0", std::to_string(v.totalSectors()));
  EXPECT_EQ(err, "");
  s.sel.rangeEnd = v.totalSectors() - 1;
  StopFlag stop{0};
  EXPECT_EQ(s.standardScan(stop, nullObserver()), ScanOutcome::Done);
  const std::vector<ListRow> rows = s.listFolder(s.rootIdentity());
  const std::string dir = test::makeTempDir("regress");
  std::string written;
  EXPECT_TRUE(s.saveSnapshot(dir + "/snap", err, &written)) << err;
  EXPECT_EQ(s.loadSnapshot(written, err), SnapshotLoadStatus::Ok) << err;
  EXPECT_EQ(s.listFolder(s.rootIdentity()).size(), rows.size());
  RecoveryFlags flags;
  const RecoveryResult r = s.recoverRows(s.listFolder(s.rootIdentity()), test::makeTempDir("regress-out"), flags, nullObserver());
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  return rows;
}

// fat_dir fuzzing: an 8.3 entry with a NUL byte inside its name put the NUL
// into the tree, and a tree holding such a name could not be saved as a
// snapshot ("contains a NUL byte"). The name ends at the NUL, as text does.
TEST(FuzzRegressions, ShortNameEndsAtANulByte) {
  std::array<std::uint8_t, kSectorSize> sector{};
  SynthFat::shortEntry(&sector[0], std::string_view("AB\0C    TXT", 11), 0x20, 5, 10);
  SynthFat::shortEntry(&sector[32], std::string_view("\0\0\0\0\0\0\0\0TXT", 11), 0x20, 6, 10);  // ends at once
  SynthFat::shortEntry(&sector[64], std::string_view("        \0XY", 11), 0x20, 7, 10);       // "." alone
  SynthFat::shortEntry(&sector[96], std::string_view("GOOD    TXT", 11), 0x20, 8, 10);
  sector[32] = 'Z';  // not an end marker: "Z" then NULs
  FileTree tree;
  bool end = false;
  parseDirectorySector(sector, DirContext{FsType::Fat16, {}}, 0, end, 0, false, 0, tree, 1, nullObserver());
  std::vector<std::string> names;
  for (const auto& f : tree.fatFiles) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"AB", "Z", "GOOD.TXT"}));
  EXPECT_FALSE(isValidName(std::string("A\0B", 3), true));
  EXPECT_FALSE(isValidName(std::string("A\0B", 3), false));

  SynthFat v = smallFat16();
  std::memcpy(v.sector(v.rootStart()), sector.data(), sector.size());
  const auto rows = scanSaveLoadRecover(v, FsType::Fat16);
  EXPECT_EQ(rows.size(), 3u);
}

// fat_dir fuzzing: a damaged directory can chain twenty long-name parts of
// thirteen units each, 260 units. Of characters that take three bytes of
// UTF-8 that made a name of 780 bytes, which no snapshot can hold (at most
// 765, the bytes of 255 units), so the scanned tree could not be saved. The
// name keeps the whole characters that fit 765 bytes; a name of 260 ASCII
// characters stays whole.
TEST(FuzzRegressions, LongNameOfTwentyFullPartsFitsASnapshot) {
  const std::u16string units(260, u'\u4E00');  // three bytes each in UTF-8
  SynthFat v = smallFat16();
  std::uint32_t i = 0;
  for (std::size_t k = 20; k-- > 0;) SynthFat::writeLongPart(v.entry(v.rootStart(), i++), units, k, k == 19);
  SynthFat::shortEntry(v.entry(v.rootStart(), i++), "LONGNA~1TXT", 0x20, 5, 10);
  std::string name;
  ASSERT_TRUE(assembleLongName(Bytes(v.sector(v.rootStart() + 1), kSectorSize), Bytes(v.sector(v.rootStart()), kSectorSize),
                               4, name));
  EXPECT_EQ(name.size(), 255u * 3);
  const auto rows = scanSaveLoadRecover(v, FsType::Fat16);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].name.size(), 255u * 3);

  const std::u16string ascii(260, u'a');
  SynthFat w = smallFat16();
  i = 0;
  for (std::size_t k = 20; k-- > 0;) SynthFat::writeLongPart(w.entry(w.rootStart(), i++), ascii, k, k == 19);
  SynthFat::shortEntry(w.entry(w.rootStart(), i++), "LONGNA~1TXT", 0x20, 5, 10);
  const auto asciiRows = scanSaveLoadRecover(w, FsType::Fat16);
  ASSERT_EQ(asciiRows.size(), 1u);
  EXPECT_EQ(asciiRows[0].name, std::string(260, 'a'));
}

// session fuzzing: the root's record of a damaged NTFS volume, named "ROOT"
// instead of ".", is a folder of the root that is its own parent. It is
// listed in the root (or below the placeholder of the parent it names), and its row shows the root's files again; the tree
// does not enter it, and recovering the root copies its files once more
// below it, without going round.
TEST(FuzzRegressions, NtfsRootRecordWithAnotherNameIsRecoveredOnceMore) {
  test::SynthVolume vol;
  vol.mftRuns = {{16, 64}};
  vol.records.push_back({0, vol.mftRecord()});
  vol.records.push_back({5, test::RecordBuilder(3).fileName(u"ROOT", 1, 5).finish()});
  vol.records.push_back({20, test::RecordBuilder(1).fileName(u"a.txt", 1, 5).data(100).finish()});
  vol.records.push_back({21, test::RecordBuilder(3).fileName(u"sub", 1, 5).finish()});
  vol.records.push_back({22, test::RecordBuilder(1).fileName(u"b.txt", 1, 21).data(50).finish()});
  Session s;
  s.reader = vol.build(4096, s.vp);
  s.sel.fsType = FsType::Ntfs;
  s.sel.rangeLength = s.sel.rangeEnd = 4096;
  StopFlag stop{0};
  walkNtfsVolume(*s.reader, s.vp, s.mftRuns, s.tree, stop, nullObserver());

  std::vector<std::string> names;
  for (const ListRow& row : s.listFolder(s.rootIdentity())) names.push_back(row.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"$MFT", "ROOT", "a.txt", "sub"}));

  RecoveryFlags flags;
  const std::string dest = test::makeTempDir("self-parent");
  const RecoveryResult r = s.recoverRows(s.listFolder(s.rootIdentity()), dest, flags, nullObserver());
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  EXPECT_EQ(test::readFile(dest + "/a.txt"), std::string(100, 'd'));
  EXPECT_EQ(test::readFile(dest + "/ROOT/a.txt"), std::string(100, 'd'));
  EXPECT_EQ(test::readFile(dest + "/sub/b.txt"), std::string(50, 'd'));
  EXPECT_FALSE(std::filesystem::exists(dest + "/ROOT/ROOT"));
  EXPECT_FALSE(std::filesystem::exists(dest + "/ROOT/sub"));

  // Named as a child of a record that is not a folder: it is placed below
  // that record's placeholder, and shows the root's files there.
  vol.records[1] = {5, test::RecordBuilder(3).fileName(u"R", 1, 40).finish()};
  Session t;
  t.reader = vol.build(4096, t.vp);
  t.sel = s.sel;
  walkNtfsVolume(*t.reader, t.vp, t.mftRuns, t.tree, stop, nullObserver());
  const std::string dest2 = test::makeTempDir("self-parent");
  const RecoveryResult r2 = t.recoverRows(t.listFolder(t.rootIdentity()), dest2, flags, nullObserver());
  EXPECT_TRUE(r2.errors.empty()) << r2.errors.front();
  EXPECT_EQ(test::readFile(dest2 + "/a.txt"), std::string(100, 'd'));
  EXPECT_EQ(test::readFile(dest2 + "/Dir0/R/a.txt"), std::string(100, 'd'));
  EXPECT_FALSE(std::filesystem::exists(dest2 + "/Dir0/R/Dir0"));
}

}  // namespace
}  // namespace osprin
