// exFAT: entry sets and their checksum, the boot sector and its backup, the
// times' UTC offsets, and the walker on the fixture volumes (made with
// mkfs.exfat and exfat-fuse) and on damaged copies of them.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "exfat/boot_sector.h"
#include "exfat/dir_entry.h"
#include "disk/faulty_source.h"
#include "exfat/volume.h"
#include "fat/fat_table.h"
#include "tree/file_list.h"
#include "volume/fat_listing.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

// A file entry set of `names` name entries for name, at the start of a
// folder's bytes (followed by an end entry).
std::vector<std::uint8_t> entrySet(const std::u16string& name, bool deleted, std::uint16_t attributes = 0x20,
                                   std::uint8_t flags = exfat::kFlagAllocationPossible | exfat::kFlagNoFatChain) {
  const std::size_t names = (name.size() + 14) / 15;
  std::vector<std::uint8_t> b((2 + names + 1) * 32, 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto put64 = [&](std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  b[0] = exfat::kTypeFile;
  b[1] = static_cast<std::uint8_t>(1 + names);
  put16(4, attributes);
  put32(8, 0x3C210000);   // created 2010-01-01 00:00:00
  put32(12, 0x3C21A000);  // written 2010-01-01 20:00:00
  b[21] = 150;            // 1.5 s
  b[23] = 0x80 | 4;       // UTC+1
  b[32] = exfat::kTypeStream;
  b[33] = flags;
  b[35] = static_cast<std::uint8_t>(name.size());
  put64(32 + 8, 3000);  // valid data length
  put32(32 + 20, 5);    // first cluster
  put64(32 + 24, 5000);
  for (std::size_t i = 0; i < names; ++i) {
    b[64 + 32 * i] = exfat::kTypeName;
    for (std::size_t k = 0; k < 15 && i * 15 + k < name.size(); ++k) put16(64 + 32 * i + 2 + 2 * k, name[i * 15 + k]);
  }
  put16(2, exfatSetChecksum(Bytes(b), 0, 2 + names));
  if (deleted)
    for (std::size_t i = 0; i < 2 + names; ++i) b[32 * i] &= static_cast<std::uint8_t>(~exfat::kInUse);
  return b;
}

struct SetCase {
  const char* what;
  bool deleted;
  void (*damage)(std::vector<std::uint8_t>&);
  ExfatEntryKind kind;
  bool checksumOk;
};

class ExfatEntrySets : public ::testing::TestWithParam<SetCase> {};

// A set is one file only when all of it lies in the folder, its entries
// agree on being live or deleted, a stream extension comes first and the
// name is usable; a deleted set must also pass its checksum (which a live
// one may fail and still be listed).
TEST_P(ExfatEntrySets, AreCheckedBeforeTheyAreListed) {
  const SetCase& c = GetParam();
  std::vector<std::uint8_t> b = entrySet(u"Fotos 2024 – Ünïcødé name.jpg", c.deleted);
  if (c.damage) c.damage(b);
  ExfatEntrySet set;
  EXPECT_EQ(readExfatEntry(Bytes(b), 0, set), c.kind);
  if (c.kind != ExfatEntryKind::FileSet) {
    EXPECT_EQ(set.entries, 1u);
    return;
  }
  EXPECT_EQ(set.checksumOk, c.checksumOk);
  EXPECT_EQ(set.deleted, c.deleted);
  EXPECT_EQ(set.entries, 4u);
  EXPECT_EQ(set.name, "Fotos 2024 – Ünïcødé name.jpg");
  EXPECT_EQ(set.firstCluster, 5u);
  EXPECT_EQ(set.dataLength, 5000u);
  EXPECT_EQ(set.validLength, std::string(c.what) == "valid length past the size" ? 5000u : 3000u);
  EXPECT_TRUE(set.noFatChain);
  EXPECT_EQ(set.times.writeHundredths, 150);
  EXPECT_EQ(set.times.writeUtc, 0x84);
}

void flipNameUnit(std::vector<std::uint8_t>& b) { b[64 + 2] ^= 1; }
void flipReserved(std::vector<std::uint8_t>& b) { b[6] ^= 1; }
void secondaryCountOne(std::vector<std::uint8_t>& b) { b[1] = 1; }
void setPastTheEnd(std::vector<std::uint8_t>& b) { b.resize(3 * 32); }
void mixedStates(std::vector<std::uint8_t>& b) { b[64] ^= exfat::kInUse; }
void nameFirst(std::vector<std::uint8_t>& b) { std::swap_ranges(b.begin() + 32, b.begin() + 64, b.begin() + 64); }
void noNameLength(std::vector<std::uint8_t>& b) { b[35] = 0; }
void slashInName(std::vector<std::uint8_t>& b) { b[64 + 2] = '/'; }
void validPastSize(std::vector<std::uint8_t>& b) { b[32 + 8 + 2] = 0x10; }  // 1 MiB + 3000

INSTANTIATE_TEST_SUITE_P(
    Cases, ExfatEntrySets,
    ::testing::Values(SetCase{"live", false, nullptr, ExfatEntryKind::FileSet, true},
                      SetCase{"deleted", true, nullptr, ExfatEntryKind::FileSet, true},
                      SetCase{"live with a bad checksum", false, flipReserved, ExfatEntryKind::FileSet, false},
                      SetCase{"deleted with a bad checksum", true, flipNameUnit, ExfatEntryKind::Other, false},
                      SetCase{"one secondary entry", false, secondaryCountOne, ExfatEntryKind::Other, false},
                      SetCase{"set past the folder's end", false, setPastTheEnd, ExfatEntryKind::Other, false},
                      SetCase{"live and deleted entries", false, mixedStates, ExfatEntryKind::Other, false},
                      SetCase{"name before the stream", false, nameFirst, ExfatEntryKind::Other, false},
                      SetCase{"no name", false, noNameLength, ExfatEntryKind::Other, false},
                      SetCase{"slash in the name", false, slashInName, ExfatEntryKind::Other, false},
                      SetCase{"valid length past the size", false, validPastSize, ExfatEntryKind::FileSet, false}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(ExfatEntrySets, AFolderOfSetsListsEachOnceAndEndsAtTheEndEntry) {
  std::vector<std::uint8_t> dir = entrySet(u"live.txt", false);
  dir.resize(dir.size() - 32);  // no end entry between the sets
  const auto gone = entrySet(u"A folder that was deleted", true, exfat::kAttrDirectory);
  dir.insert(dir.end(), gone.begin(), gone.end());  // ends with an end entry
  const auto after = entrySet(u"after the end.txt", false);
  dir.insert(dir.end(), after.begin(), after.end());
  FileTree tree;
  ExfatListing listing;
  addExfatEntries(Bytes(dir), 9, false, tree, listing);
  ASSERT_EQ(tree.fatFiles.size(), 1u);
  EXPECT_EQ(tree.fatFiles[0].name, "live.txt");
  EXPECT_EQ(tree.fatFiles[0].validLength, 3000u);
  EXPECT_TRUE(tree.fatFiles[0].contiguous);
  ASSERT_EQ(tree.fatFolders.size(), 1u);
  EXPECT_TRUE(tree.fatFolders[0].deleted);
  EXPECT_EQ(tree.fatFolders[0].parentCluster, 9u);
  EXPECT_EQ(tree.fatFolders[0].dataLength, 5000u);
  EXPECT_EQ(listing.badChecksums, 0u);
}

// exFAT times with a UTC offset are moments: ISO 8601 in UTC; without one
// they are local times, as on FAT.
struct UtcCase {
  std::uint16_t date, time;
  std::uint8_t hundredths, utc;
  const char* iso;
};

class ExfatUtcTimes : public ::testing::TestWithParam<UtcCase> {};

TEST_P(ExfatUtcTimes, GiveTheMomentInUtc) {
  const UtcCase& c = GetParam();
  EXPECT_EQ(isoTime(fatStoredDateTime(c.date, c.time, c.hundredths, c.utc)), c.iso);
}

constexpr std::uint16_t kJan1st2010 = (30 << 9) | (1 << 5) | 1;
constexpr std::uint16_t kMar1st2024 = (44 << 9) | (3 << 5) | 1;
INSTANTIATE_TEST_SUITE_P(
    Cases, ExfatUtcTimes,
    ::testing::Values(UtcCase{kJan1st2010, 0, 0, 0x80, "2010-01-01T00:00:00Z"},
                      UtcCase{kJan1st2010, (1 << 11) | (30 << 5), 0, 0x80 | 4, "2010-01-01T00:30:00Z"},  // UTC+1
                      UtcCase{kJan1st2010, 0, 0, 0x80 | 0x6C, "2010-01-01T05:00:00Z"},  // UTC-5: -20 quarters
                      UtcCase{kMar1st2024, 0, 199, 0x80 | 8, "2024-02-29T22:00:01Z"},   // UTC+2, leap day
                      UtcCase{kJan1st2010, 0, 0, 0x00, "2010-01-01T00:00:00"},           // no offset: local
                      UtcCase{(30 << 9) | (2 << 5) | 30, 0, 0, 0x80, ""}));              // 30 February

// The fixture's boot sector, damaged one field at a time, is no longer
// read as exFAT; the whole volume reads from the backup boot region when the
// main one is gone.
struct BootCase {
  const char* what;
  std::size_t offset;
  std::uint8_t value;
};

class ExfatBootSectors : public ::testing::TestWithParam<BootCase> {};

TEST_P(ExfatBootSectors, DamagedFieldsAreRefused) {
  const std::string image = test::readFile(test::fixtureImage("exfatvol"));
  std::vector<std::uint8_t> boot(image.begin(), image.begin() + 512);
  ASSERT_TRUE(readExfatBootSector(Bytes(boot)));
  std::vector<std::uint8_t> region(image.begin(), image.begin() + 12 * 512);
  EXPECT_TRUE(exfatBootRegionValid(Bytes(region), 512));
  const BootCase& c = GetParam();
  boot[c.offset] = c.value;
  EXPECT_FALSE(readExfatBootSector(Bytes(boot))) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Fields, ExfatBootSectors,
                         ::testing::Values(BootCase{"name", 3, 'N'}, BootCase{"must-be-zero bytes", 40, 1},
                                           BootCase{"sector shift 8", 108, 8}, BootCase{"sector shift 13", 108, 13},
                                           BootCase{"cluster of 64 MiB", 109, 17}, BootCase{"three FATs", 110, 3},
                                           BootCase{"root cluster past the heap", 99, 0x40},
                                           BootCase{"volume shorter than its heap", 74, 0},
                                           BootCase{"signature", 510, 0}),
                         [](const auto& info) {
                           std::string n;
                           for (char ch : std::string(info.param.what))
                             n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return n;
                         });

// Records warnings too.
struct Recorder : test::ScanRecorder {
  std::vector<std::string> warnings;
  void warning(std::string_view t) override { warnings.emplace_back(t); }
};

struct Walked {
  std::unique_ptr<SectorReader> reader;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  Recorder obs;
  ScanOutcome outcome = ScanOutcome::Failed;
};

std::unique_ptr<Walked> walk(std::string image, SectorNo end) {
  auto w = std::make_unique<Walked>();
  w->reader = std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(std::move(image)));
  Selection sel{FsType::Exfat, 0, end + 1, end, 0};
  StopFlag stop{0};
  w->outcome = runStandardScan(*w->reader, sel, w->vp, w->runs, w->tree, stop, w->obs);
  return w;
}

std::vector<test::Line> manifestLines(const std::string& fixture, const std::string& volume) {
  std::vector<test::Line> want;  // exFAT keeps deleted names whole
  for (const auto& e : test::readManifestEntries(fixture, volume))
    want.push_back({e.kind, e.path, e.kind == "file" ? e.size : 0, e.deleted});
  return want;
}

TEST(ExfatWalker, TheBackupBootRegionStandsInForAWipedMainOne) {
  std::string image = test::readFile(test::fixtureImage("exfatvol"));
  std::fill(image.begin(), image.begin() + 12 * 512, '\0');
  auto w = walk(image, 65535);
  ASSERT_EQ(w->outcome, ScanOutcome::Done);
  test::expectSameListing(test::fatListing(w->tree), manifestLines("exfatvol", "v"));
  EXPECT_NE(w->vp.bitmapCluster, 0u);
}

// The fixture's folder of 1,100 files (26 clusters with its files' data
// between them), or null.
const FatFolderNode* manyFiles(const Walked& w) {
  if (w.outcome != ScanOutcome::Done) return nullptr;
  for (const auto& f : w.tree.fatFolders)
    if (f.name == "Many files") return &f;
  return nullptr;
}

// A deleted folder whose FAT chain was freed with it: its clusters are found
// after its first one among its files' data (they read as a folder's), so
// its files are listed, the sets that cross from one of its clusters to the
// next included.
TEST(ExfatWalker, ADeletedFolderWithoutItsChainIsFoundAmongItsFilesData) {
  const std::string path = test::fixtureImage("exfatvol");
  auto clean = walk(test::readFile(path), 65535);
  const FatFolderNode* it = manyFiles(*clean);
  ASSERT_NE(it, nullptr);
  ASSERT_FALSE(it->contiguous);
  const std::size_t files = clean->tree.fatFileChildren(it->firstCluster).size();
  ASSERT_EQ(files, 1100u);

  std::string image = test::readFile(path);
  auto* b = reinterpret_cast<std::uint8_t*>(image.data());
  // Its chain, freed in the FAT.
  FatTable fat(*clean->reader, clean->vp.fat1Start, clean->vp.sectorsPerFat, FsType::Exfat);
  const auto chain = fat.follow(it->firstCluster, 1000).clusters;
  ASSERT_GT(chain.size(), 20u);
  for (std::uint32_t c : chain) std::memset(b + clean->vp.fat1Start * 512 + std::uint64_t{c} * 4, 0, 4);
  // Its entry set, deleted (the checksum stands: it is taken with the
  // in-use bits set).
  bool found = false;
  for (std::size_t off = 0; off + 32 <= image.size() && !found; off += 32) {
    ExfatEntrySet set;
    if (b[off] != exfat::kTypeFile) continue;
    if (readExfatEntry(Bytes(b, image.size()), off, set) != ExfatEntryKind::FileSet || set.name != "Many files") continue;
    for (std::size_t e = 0; e < set.entries; ++e) b[off + 32 * e] &= static_cast<std::uint8_t>(~exfat::kInUse);
    found = true;
  }
  ASSERT_TRUE(found);
  auto w = walk(image, 65535);
  ASSERT_EQ(w->outcome, ScanOutcome::Done);
  const auto gone = std::find_if(w->tree.fatFolders.begin(), w->tree.fatFolders.end(),
                                 [](const FatFolderNode& f) { return f.name == "Many files"; });
  ASSERT_NE(gone, w->tree.fatFolders.end());
  EXPECT_TRUE(gone->deleted);
  std::set<std::string> names;
  for (std::uint32_t i : w->tree.fatFileChildren(gone->firstCluster)) {
    EXPECT_TRUE(w->tree.fatFiles[i].deleted);
    names.insert(w->tree.fatFiles[i].name);
  }
  EXPECT_EQ(names.size(), 1100u);
}

// A folder's cluster that does not read: its entries are missing and a
// warning names the folder; everything else is listed.
TEST(ExfatWalker, AnUnreadableFolderIsNamedInAWarning) {
  const std::string path = test::fixtureImage("exfatvol");
  auto clean = walk(test::readFile(path), 65535);
  const FatFolderNode* it = manyFiles(*clean);
  ASSERT_NE(it, nullptr);
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(test::readFile(path)));
  faulty->failRange(clean->vp.clusterSector(it->firstCluster), clean->vp.sectorsPerCluster);
  Walked w;
  w.reader = std::make_unique<SectorReader>(std::move(faulty));
  Selection sel{FsType::Exfat, 0, 65536, 65535, 0};
  StopFlag stop{0};
  ASSERT_EQ(runStandardScan(*w.reader, sel, w.vp, w.runs, w.tree, stop, w.obs), ScanOutcome::Done);
  // The cluster held the folder's first sets; the other 25 clusters' files
  // and the rest of the volume are listed.
  const std::size_t lost = clean->tree.fatFiles.size() - w.tree.fatFiles.size();
  EXPECT_GT(lost, 0u);
  EXPECT_LT(lost, 200u);
  ASSERT_EQ(w.obs.warnings.size(), 1u);
  EXPECT_NE(w.obs.warnings[0].find("8 sector(s) of the folder Many files"), std::string::npos) << w.obs.warnings[0];
}

}  // namespace
}  // namespace osprin
