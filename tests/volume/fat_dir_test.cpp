// Directory-entry parsing, long names, name checks and directory chains, on
// crafted sectors and volumes.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "fat/fat_table.h"
#include "volume/fat_dir.h"
#include "volume/fat_synth.h"

namespace osprin {
namespace {

using test::SynthFat;

struct Sector {
  std::array<std::uint8_t, 512> b{};
  std::uint8_t* e(int i) { return b.data() + i * 32; }
  Bytes bytes() const { return Bytes(b.data(), b.size()); }
};

class PanelRecorder : public Observer {
 public:
  std::map<Counter, std::uint64_t> counters;
  std::map<TextField, std::string> texts;
  std::vector<int> progressValues;
  void counter(Counter c, std::uint64_t v) override { counters[c] = v; }
  void text(TextField f, std::string_view v) override { texts[f] = std::string(v); }
  void progress(int p) override { progressValues.push_back(p); }
};

std::u16string u16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Writes the long-name parts of units (disk order) from entry i, without the
// 8.3 entry; returns the next index.
int longParts(Sector& s, int i, const std::u16string& units) {
  const std::size_t n = (units.size() + 12) / 13;
  for (std::size_t k = n; k-- > 0;) SynthFat::writeLongPart(s.e(i++), units, k, k + 1 == n);
  return i;
}

// ---- names -----------------------------------------------------------------

TEST(FatNames, RejectsControlAndReservedCharactersEverywhere) {
  for (bool fromLong : {false, true}) {
    EXPECT_TRUE(isValidName("REPORT.DOC", fromLong));
    for (const char* bad : {"A\x01.TXT", "TAB\t", "Q\"", "BACK\\", "SL/ASH", "WHAT?", "ST*R", "L<T", "G>T", "P|PE"})
      EXPECT_FALSE(isValidName(bad, fromLong)) << bad;
    // Names that would address the folder itself or its parent.
    EXPECT_FALSE(isValidName("", fromLong));
    EXPECT_FALSE(isValidName(".", fromLong));
    EXPECT_FALSE(isValidName("..", fromLong));
  }
  EXPECT_TRUE(isValidName("...", false));
}

TEST(FatNames, HighBytesOnlyFromDecodedLongNames) {
  EXPECT_FALSE(isValidName("CAF\x90.TXT", false));
  EXPECT_TRUE(isValidName("Caf\xC3\xA9 menu.txt", true));
  EXPECT_TRUE(isValidName("\xEF\xBF\xBD", true));  // U+FFFD from a lone surrogate
}

TEST(FatLongNames, TwoPartNameWithLastMark) {
  Sector s;
  int i = longParts(s, 3, u16("Report 2004.doc"));
  SynthFat::shortEntry(s.e(i), "REPORT~1DOC", 0x20, 9, 100);
  std::string name;
  ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
  EXPECT_EQ(name, "Report 2004.doc");
  // The entry before the long name has no long name of its own.
  EXPECT_FALSE(assembleLongName(s.bytes(), {}, 3, name));
}

TEST(FatLongNames, ExactMultiplesOfThirteenWithoutTerminator) {
  for (std::string text : {"Thirteen1.txt", "Twenty-six characters.text"}) {
    ASSERT_EQ(text.size() % 13, 0u);
    Sector s;
    SynthFat::shortEntry(s.e(0), "OTHER   TXT", 0x20, 5, 1);
    int i = longParts(s, 1, u16(text));
    SynthFat::shortEntry(s.e(i), "THIRTE~1TXT", 0x20, 9, 1);
    std::string name;
    ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
    EXPECT_EQ(name, text);
    // Without the last-part mark (a deleted name), the 8.3 entry before ends it.
    for (int k = 1; k < i; ++k) s.e(k)[0] = 0xE5;
    ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
    EXPECT_EQ(name, text);
  }
}

TEST(FatLongNames, DecodesUtf16ToUtf8) {
  Sector s;
  std::u16string units = u"Caf\u00E9 \U0001F600.txt";  // é and a surrogate pair
  int i = longParts(s, 0, units);
  SynthFat::shortEntry(s.e(i), "CAFE~1  TXT", 0x20, 9, 1);
  std::string name;
  ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
  EXPECT_EQ(name, "Caf\xC3\xA9 \xF0\x9F\x98\x80.txt");
}

TEST(FatLongNames, LoneSurrogateBecomesReplacementCharacter) {
  Sector s;
  std::u16string units = u"ab";
  units.push_back(static_cast<char16_t>(0xD800));
  units += u"cd";
  int i = longParts(s, 0, units);
  SynthFat::shortEntry(s.e(i), "AB~1       ", 0x20, 9, 1);
  std::string name;
  ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
  EXPECT_EQ(name, "ab\xEF\xBF\xBD" "cd");
}

TEST(FatLongNames, CharacterZeroEndsTheName) {
  Sector s;
  std::u16string units = u"abc";
  units.push_back(0);
  units += u"def";
  int i = longParts(s, 0, units);
  SynthFat::shortEntry(s.e(i), "ABC        ", 0x20, 9, 1);
  std::string name;
  ASSERT_TRUE(assembleLongName(s.bytes(), {}, i, name));
  EXPECT_EQ(name, "abc");
}

TEST(FatLongNames, EmptyLongNameKeepsTheShortName) {
  Sector s;
  SynthFat::writeLongPart(s.e(0), u"", 0, true);  // first unit is 0
  SynthFat::shortEntry(s.e(1), "KEEP    TXT", 0x20, 9, 1);
  std::string name;
  EXPECT_FALSE(assembleLongName(s.bytes(), {}, 1, name));
}

TEST(FatLongNames, StopsAfterTwoHundredFiftyFiveCharacters) {
  // 21 unmarked parts of 13 letters: the walk stops after the 20th.
  Sector prev, cur;
  std::u16string units(21 * 13, u'a');
  for (int k = 0; k < 21; ++k) units[static_cast<std::size_t>(k) * 13] = static_cast<char16_t>(u'A' + k);
  // Parts 0..3 just before the 8.3 entry in cur, parts 4..19 fill prev, part 20 lies before prev.
  for (int k = 0; k < 4; ++k) SynthFat::writeLongPart(cur.e(3 - k), units, static_cast<std::size_t>(k), false);
  for (int k = 4; k < 20; ++k) SynthFat::writeLongPart(prev.e(15 - (k - 4)), units, static_cast<std::size_t>(k), false);
  SynthFat::shortEntry(cur.e(4), "LONG~1  TXT", 0x20, 9, 1);
  std::string name;
  ASSERT_TRUE(assembleLongName(cur.bytes(), prev.bytes(), 4, name));
  EXPECT_EQ(name.size(), 260u);
  EXPECT_EQ(name.substr(0, 1), "A");
  EXPECT_EQ(name.substr(19 * 13, 1), "T");
}

TEST(FatLongNames, NameThatBeginsInThePreviousSector) {
  Sector prev, cur;
  std::u16string units = u"A name that straddles two sectors.txt";  // 37 units: 3 parts
  SynthFat::shortEntry(prev.e(0), "FIRST   TXT", 0x20, 5, 1);
  // Parts 3 and 2 (disk order) at the end of prev, part 1 at entry 0 of cur.
  SynthFat::writeLongPart(prev.e(14), units, 2, true);
  SynthFat::writeLongPart(prev.e(15), units, 1, false);
  SynthFat::writeLongPart(cur.e(0), units, 0, false);
  SynthFat::shortEntry(cur.e(1), "ANAMET~1TXT", 0x20, 9, 1);
  std::string name;
  ASSERT_TRUE(assembleLongName(cur.bytes(), prev.bytes(), 1, name));
  EXPECT_EQ(name, "A name that straddles two sectors.txt");
  // At a directory's first sector there is nothing before: only what this
  // sector holds, and never a byte outside it.
  ASSERT_TRUE(assembleLongName(cur.bytes(), {}, 1, name));
  EXPECT_EQ(name, "A name that s");
}

// ---- parseDirectorySector ----------------------------------------------------

TEST(FatParseSector, TurnsEntriesIntoRecords) {
  Sector s;
  SynthFat::shortEntry(s.e(0), "VOLLABEL   ", 0x08, 0, 0);      // label: cluster 0
  SynthFat::shortEntry(s.e(1), "DOCS       ", 0x10, 7, 0);      // folder
  SynthFat::shortEntry(s.e(2), "README  TXT", 0x20, 8, 1234);   // file
  SynthFat::shortEntry(s.e(3), "EMPTY   TXT", 0x20, 0, 0);      // empty file: no cluster, listed
  SynthFat::shortEntry(s.e(4), "FILE    TXT", 0x20, 9, 55);
  s.e(4)[0] = 0xE5;                                              // deleted, no long name
  SynthFat::shortEntry(s.e(5), "BAD?    TXT", 0x20, 10, 5);     // invalid name
  SynthFat::shortEntry(s.e(6), "HIGH    TXT", 0x20, 11, 6);
  s.e(6)[1] = 0x90;                                              // byte >= 128 in an 8.3 name
  int i = longParts(s, 7, u"Report 2004.doc");
  SynthFat::shortEntry(s.e(i), "REPORT~1DOC", 0x20, 12, 300);
  // entry i + 1 is zero: the end of the directory
  SynthFat::shortEntry(s.e(i + 2), "AFTER   TXT", 0x20, 13, 1);

  FileTree tree;
  PanelRecorder obs;
  bool end = false;
  parseDirectorySector(s.bytes(), DirContext{FsType::Fat16, {}}, 0, end, 4242, false, 0, tree, 1000, obs);
  EXPECT_TRUE(end);
  ASSERT_EQ(tree.fatFolders.size(), 1u);
  EXPECT_EQ(tree.fatFolders[0].name, "DOCS");
  EXPECT_EQ(tree.fatFolders[0].firstCluster, 7u);
  EXPECT_EQ(tree.fatFolders[0].writeDate, 0x3C21);
  ASSERT_EQ(tree.fatFiles.size(), 4u);
  EXPECT_EQ(tree.fatFiles[0].name, "README.TXT");
  EXPECT_EQ(tree.fatFiles[0].size, 1234u);
  EXPECT_FALSE(tree.fatFiles[0].deleted);
  EXPECT_EQ(tree.fatFiles[0].fileIndex, 0u);
  EXPECT_EQ(tree.fatFiles[1].name, "EMPTY.TXT");
  EXPECT_EQ(tree.fatFiles[1].firstCluster, 0u);
  EXPECT_EQ(tree.fatFiles[1].size, 0u);
  EXPECT_EQ(tree.fatFiles[2].name, "xILE.TXT");
  EXPECT_TRUE(tree.fatFiles[2].deleted);
  EXPECT_EQ(tree.fatFiles[2].fileIndex, 2u);
  EXPECT_EQ(tree.fatFiles[3].name, "Report 2004.doc");
  EXPECT_EQ(tree.fatFiles[3].firstCluster, 12u);
  EXPECT_EQ(tree.fileCount, 4u);
  EXPECT_EQ(tree.entriesSeen, 5u);
  EXPECT_EQ(obs.counters[Counter::CurrentSector], 4242u);
  EXPECT_EQ(obs.counters[Counter::FoldersFound], 1u);
  EXPECT_EQ(obs.counters[Counter::FilesFound], 4u);
  EXPECT_EQ(obs.texts[TextField::LastFileFolder], "Report 2004.doc");
  ASSERT_FALSE(obs.progressValues.empty());
  EXPECT_EQ(obs.progressValues.back(), 0);  // 5 * 100 / 1000
}

TEST(FatParseSector, ClusterHighHalfOnlyForFat32) {
  Sector s;
  SynthFat::shortEntry(s.e(0), "BIG     BIN", 0x20, 0x00030005, 10);
  for (FsType fs : {FsType::Fat16, FsType::Fat32}) {
    FileTree tree;
    bool end = false;
    parseDirectorySector(s.bytes(), DirContext{fs, {}}, 0, end, 0, false, 0, tree, 1, nullObserver());
    ASSERT_EQ(tree.fatFiles.size(), 1u);
    EXPECT_EQ(tree.fatFiles[0].firstCluster, fs == FsType::Fat16 ? 5u : 0x00030005u);
    EXPECT_TRUE(end);
  }
}

TEST(FatParseSector, FirstEntryParentAndDeletedParent) {
  Sector s;
  SynthFat::shortEntry(s.e(0), ".          ", 0x10, 20, 0);
  SynthFat::shortEntry(s.e(1), "..         ", 0x10, 0, 0);
  SynthFat::shortEntry(s.e(2), "INNER      ", 0x10, 21, 0);
  SynthFat::shortEntry(s.e(3), "A       TXT", 0x20, 22, 3);
  FileTree tree;
  bool end = false;
  parseDirectorySector(s.bytes(), DirContext{FsType::Fat32, {}}, 20, end, 0, true, 2, tree, 0, nullObserver());
  ASSERT_EQ(tree.fatFolders.size(), 1u);
  EXPECT_EQ(tree.fatFolders[0].parentCluster, 20u);
  EXPECT_TRUE(tree.fatFolders[0].deleted);
  ASSERT_EQ(tree.fatFiles.size(), 1u);
  EXPECT_TRUE(tree.fatFiles[0].deleted);
  EXPECT_EQ(tree.fatFiles[0].parentCluster, 20u);
}

TEST(FatParseSector, DuplicateFolderClusterKeepsTheFirst) {
  Sector s;
  SynthFat::shortEntry(s.e(0), "ONE        ", 0x10, 30, 0);
  SynthFat::shortEntry(s.e(1), "TWO        ", 0x10, 30, 0);
  FileTree tree;
  bool end = false;
  parseDirectorySector(s.bytes(), DirContext{FsType::Fat32, {}}, 0, end, 0, false, 0, tree, 1, nullObserver());
  ASSERT_EQ(tree.fatFolders.size(), 1u);
  EXPECT_EQ(tree.fatFolders[0].name, "ONE");
}

TEST(FatParseSector, LongNameFromThePreviousSector) {
  Sector prev, cur;
  std::u16string units = u"Name across the boundary.txt";  // 28 units: 3 parts
  SynthFat::writeLongPart(prev.e(14), units, 2, true);
  SynthFat::writeLongPart(prev.e(15), units, 1, false);
  SynthFat::writeLongPart(cur.e(0), units, 0, false);
  SynthFat::shortEntry(cur.e(1), "NAMEAC~1TXT", 0x20, 40, 28);
  FileTree tree;
  bool end = false;
  parseDirectorySector(cur.bytes(), DirContext{FsType::Fat32, prev.bytes()}, 0, end, 0, false, 0, tree, 1,
                       nullObserver());
  ASSERT_EQ(tree.fatFiles.size(), 1u);
  EXPECT_EQ(tree.fatFiles[0].name, "Name across the boundary.txt");
}

// ---- parseDirectoryCluster ---------------------------------------------------

TEST(FatParseCluster, RenamesKnownFoldersAndAddsFiles) {
  std::vector<std::uint8_t> buf(3 * 512, 0);
  auto e = [&](int i) { return buf.data() + i * 32; };
  // Sector 0: "." and ".." then a folder entry; sector 1: a long name that
  // begins in sector 0; sector 2: a folder entry with a size, then the end.
  SynthFat::shortEntry(e(0), ".          ", 0x10, 50, 0);
  SynthFat::shortEntry(e(1), "..         ", 0x10, 0, 0);
  SynthFat::shortEntry(e(2), "SUB        ", 0x10, 51, 0);
  for (int i = 3; i < 15; ++i) SynthFat::shortEntry(e(i), "NOCLUS  TXT", 0x20, 0, 0);
  std::u16string units = u"Straddling long name.txt";  // 24 units: 2 parts
  SynthFat::writeLongPart(e(15), units, 1, true);
  SynthFat::writeLongPart(e(16), units, 0, false);
  SynthFat::shortEntry(e(17), "STRADD~1TXT", 0x20, 52, 99);
  for (int i = 18; i < 32; ++i) SynthFat::shortEntry(e(i), "NOCLUS  TXT", 0x20, 0, 0);
  SynthFat::shortEntry(e(32), "ODD        ", 0x10, 53, 7);
  // e(33) is zero: the end; e(34) is never read
  SynthFat::shortEntry(e(34), "LATE    TXT", 0x20, 54, 1);

  FileTree tree;
  tree.addFatFolder("old name", 51, 50, 0, 0, false);
  bool end = false;
  parseDirectoryCluster(Bytes(buf.data(), buf.size()), DirContext{FsType::Fat32, {}}, 50, end, 1000, 3, true, 2,
                        tree);
  EXPECT_TRUE(end);
  ASSERT_EQ(tree.fatFolders.size(), 1u);
  EXPECT_EQ(tree.fatFolders[0].name, "SUB");
  EXPECT_TRUE(tree.fatFolders[0].deleted);
  // The entries without a cluster are empty files, listed too.
  std::vector<const FatFileNode*> named;
  for (const auto& f : tree.fatFiles)
    if (f.name != "NOCLUS.TXT") named.push_back(&f);
  EXPECT_EQ(tree.fatFiles.size() - named.size(), 26u);
  ASSERT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0]->name, "Straddling long name.txt");
  EXPECT_EQ(named[1]->name, "ODD");
  EXPECT_EQ(named[1]->size, 7u);
  EXPECT_EQ(tree.fileCount, 28u);
}

TEST(FatParseCluster, FirstEntryAppliesUntilAnEntryWithAClusterWasHandled) {
  std::vector<std::uint8_t> buf(2 * 512, 0);
  auto e = [&](int i) { return buf.data() + i * 32; };
  // Sector 0 holds only empty files (cluster 0) from entry 2: they are
  // listed, but handle no cluster, so sector 1 still starts at entry 2.
  SynthFat::shortEntry(e(0), "SKIP0   TXT", 0x20, 60, 1);
  SynthFat::shortEntry(e(2), "EMPTY   TXT", 0x20, 0, 0);
  for (int i = 3; i < 16; ++i) SynthFat::shortEntry(e(i), "NOCLUS  TXT", 0x20, 0, 0);
  SynthFat::shortEntry(e(16), "SKIP1   TXT", 0x20, 61, 1);
  SynthFat::shortEntry(e(17), "SKIP2   TXT", 0x20, 62, 1);
  SynthFat::shortEntry(e(18), "TAKEN   TXT", 0x20, 63, 1);
  FileTree tree;
  bool end = false;
  parseDirectoryCluster(Bytes(buf.data(), buf.size()), DirContext{FsType::Fat32, {}}, 0, end, 0, 2, false, 2, tree);
  ASSERT_EQ(tree.fatFiles.size(), 15u);
  EXPECT_EQ(tree.fatFiles[0].name, "EMPTY.TXT");
  EXPECT_EQ(tree.fatFiles[14].name, "TAKEN.TXT");
  EXPECT_TRUE(end);
}

// ---- readDirectoryChain --------------------------------------------------------

VolumeParams paramsOf(FsType fs, std::uint32_t reserved, std::uint32_t spf, std::uint32_t spc) {
  VolumeParams vp;
  vp.fsType = fs;
  vp.reservedSectors = reserved;
  vp.sectorsPerFat = spf;
  vp.sectorsPerCluster = spc;
  vp.fat1Start = reserved;
  vp.fat2Start = reserved + spf;
  return vp;
}

TEST(FatChain, FollowsChainsPastOneHundredClusters) {
  SynthFat v(FsType::Fat32, 4000, 1, 32, 16);
  std::vector<std::uint32_t> clusters;
  for (std::uint32_t c = 10; c < 10 + 300; c += 2) clusters.push_back(c);  // 150 clusters, every other one
  v.chain(clusters);
  auto r = v.reader();
  EXPECT_EQ(readDirectoryChain(*r, paramsOf(FsType::Fat32, 32, 16, 1), 10), clusters);
}

TEST(FatChain, EndsAtEndMarksFreeEntriesAndLoops) {
  SynthFat v(FsType::Fat32, 4000, 1, 32, 16);
  v.chain({5, 6, 7});
  v.setFat(20, 21);  // 21 is free: the chain ends after 21
  v.setFat(30, 31);
  v.setFat(31, 32);
  v.setFat(32, 30);  // a loop
  v.setFat(40, 0x0FFFFFF0);  // beyond the clusters that the FAT holds
  auto r = v.reader();
  auto vp = paramsOf(FsType::Fat32, 32, 16, 1);
  EXPECT_EQ(readDirectoryChain(*r, vp, 5), (ClusterChain{5, 6, 7}));
  EXPECT_EQ(readDirectoryChain(*r, vp, 20), (ClusterChain{20, 21}));
  EXPECT_EQ(readDirectoryChain(*r, vp, 30), (ClusterChain{30, 31, 32}));
  EXPECT_EQ(readDirectoryChain(*r, vp, 40), (ClusterChain{40}));
  // A deleted folder (free entry) yields its first cluster only.
  EXPECT_EQ(readDirectoryChain(*r, vp, 100), (ClusterChain{100}));
  // A first cluster beyond the FAT is not looked up.
  EXPECT_EQ(readDirectoryChain(*r, vp, 5000), (ClusterChain{5000}));
  vp.fat1Start = 0;
  EXPECT_EQ(readDirectoryChain(*r, vp, 5), (ClusterChain{5}));
}

// One entry's value after cluster 5 (cluster 6 ends its chain), for
// folders and for both FAT copies that recovery reads: FAT32's top four
// bits are taken with the rest; an entry past a table of 16 sectors ends
// the chain.
struct ChainEndCase {
  const char* name;
  FsType fs;
  std::uint32_t value;
  ClusterChain expected;
};

class FatChainEnd : public ::testing::TestWithParam<ChainEndCase> {};

TEST_P(FatChainEnd, OneRuleForFoldersAndFiles) {
  const auto& c = GetParam();
  SynthFat v(c.fs, 4000, 1, c.fs == FsType::Fat32 ? 32 : 1, 16);
  v.setFat(6, c.fs == FsType::Fat32 ? 0x0FFFFFFF : 0xFFFF);
  v.setFat(5, c.value);
  auto r = v.reader();
  auto vp = paramsOf(c.fs, c.fs == FsType::Fat32 ? 32 : 1, 16, 1);
  EXPECT_EQ(readDirectoryChain(*r, vp, 5), c.expected);
  FatTable copy(*r, vp.fat2Start, vp.sectorsPerFat, c.fs);
  EXPECT_EQ(copy.follow(5, 100).clusters, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Marks, FatChainEnd,
    ::testing::Values(ChainEndCase{"Fat16Link", FsType::Fat16, 6, {5, 6}},
                      ChainEndCase{"Fat16FFF8PastTheTable", FsType::Fat16, 0xFFF8, {5}},
                      ChainEndCase{"Fat16EndFFFF", FsType::Fat16, 0xFFFF, {5}},
                      ChainEndCase{"Fat16Reserved", FsType::Fat16, 1, {5}},
                      ChainEndCase{"Fat32Link", FsType::Fat32, 6, {5, 6}},
                      ChainEndCase{"Fat32TopBitsSet", FsType::Fat32, 0xF0000006, {5}},
                      ChainEndCase{"Fat32End", FsType::Fat32, 0x0FFFFFFF, {5}},
                      ChainEndCase{"Fat32PastTheTable", FsType::Fat32, 0x0FFFFFF8, {5}},
                      ChainEndCase{"Fat32Free", FsType::Fat32, 0, {5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatChain, LongLoopIsCaught) {
  SynthFat v(FsType::Fat32, 4000, 1, 32, 64);
  std::vector<std::uint32_t> clusters;
  for (std::uint32_t c = 2; c < 2002; ++c) clusters.push_back(c);
  v.chain(clusters);
  v.setFat(2001, 500);  // back into the middle, long after the first 64
  auto r = v.reader();
  EXPECT_EQ(readDirectoryChain(*r, paramsOf(FsType::Fat32, 32, 64, 1), 2), clusters);
}

TEST(FatChain, StopsAtTwoMebibytesOfDirectory) {
  SynthFat v(FsType::Fat32, 9000, 1, 32, 64);
  std::vector<std::uint32_t> clusters;
  for (std::uint32_t c = 2; c < 6002; ++c) clusters.push_back(c);
  v.chain(clusters);
  auto r = v.reader();
  // 512-byte clusters: 4096 of them make 2 MiB.
  EXPECT_EQ(readDirectoryChain(*r, paramsOf(FsType::Fat32, 32, 64, 1), 2).size(), 4096u);
  // 4 KiB clusters: 512.
  EXPECT_EQ(readDirectoryChain(*r, paramsOf(FsType::Fat32, 32, 64, 8), 2).size(), 512u);
}

TEST(FatChain, Fat16EndMarksAndTheFFF8Entry) {
  // A full-size FAT16 table (256 sectors) so that 65528 is a cluster of the volume.
  SynthFat v(FsType::Fat16, 1200, 1, 1, 256);
  v.setFat(5, 0xFFF8);
  v.setFat(0xFFF8, 0xFFFF);
  v.setFat(9, 0xFFF7);  // also just a cluster number
  v.setFat(0xFFF7, 0xFFFF);
  auto r = v.reader();
  auto vp = paramsOf(FsType::Fat16, 1, 256, 1);
  EXPECT_EQ(readDirectoryChain(*r, vp, 5), (ClusterChain{5, 65528}));
  EXPECT_EQ(readDirectoryChain(*r, vp, 9), (ClusterChain{9, 65527}));
  // A smaller FAT cannot hold cluster 65528: the chain ends there.
  vp.sectorsPerFat = 32;
  EXPECT_EQ(readDirectoryChain(*r, vp, 5), (ClusterChain{5}));
}

TEST(FatChain, UnreadableFatSectorEndsTheChain) {
  SynthFat v(FsType::Fat32, 40, 1, 32, 16);  // the FAT runs past the end of the image
  v.chain({2, 3});
  auto r = v.reader();
  auto vp = paramsOf(FsType::Fat32, 32, 16, 1);
  EXPECT_EQ(readDirectoryChain(*r, vp, 2), (ClusterChain{2, 3}));
  EXPECT_EQ(readDirectoryChain(*r, vp, 1100), (ClusterChain{1100}));  // its FAT sector 40 cannot be read
}

}  // namespace
}  // namespace osprin
