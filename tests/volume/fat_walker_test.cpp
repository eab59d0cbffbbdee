// The FAT walker on real volumes (the fixtures, the shared corpus with The
// Sleuth Kit as oracle) and on crafted ones for the damaged cases.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <map>
#include <optional>
#include <cstring>
#include <iostream>
#include <sstream>

#include "disk/faulty_source.h"
#include "tree/file_list.h"
#include "volume/fat_dir.h"
#include "volume/fat_listing.h"
#include "volume/fat_synth.h"
#include "volume/walkers.h"
#include "support/selections.h"

namespace osprin {
namespace {

// prefix and n, padded with blanks to width. Built by appending: GCC 12 at
// -O3 warns (-Wrestrict) inside the standard library on "literal" + string.
std::string padded(const char* prefix, std::uint32_t n, std::size_t width) {
  std::string s(prefix);
  s += std::to_string(n);
  s.resize(width, ' ');
  return s;
}

using test::selection;

using test::expectedListing;
using test::expectSameListing;
using test::fatListing;
using test::Line;
using test::ScanRecorder;
using test::SynthFat;

struct Mounted {
  std::unique_ptr<SectorReader> reader;
  Selection sel;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  ScanRecorder obs;
  StopFlag stop{0};
  ScanOutcome outcome = ScanOutcome::Failed;
};

std::unique_ptr<Mounted> mount(std::unique_ptr<SectorReader> reader, Selection sel) {
  auto m = std::make_unique<Mounted>();
  m->reader = std::move(reader);
  m->sel = sel;
  m->outcome = runStandardScan(*m->reader, m->sel, m->vp, m->runs, m->tree, m->stop, m->obs);
  return m;
}

std::unique_ptr<Mounted> mountImage(const std::string& path, FsType fs, SectorNo start, SectorNo end) {
  return mount(test::openReader(path), selection(fs, start, end));
}

std::unique_ptr<Mounted> mountFixture16() { return mountImage(test::fixtureImage("fat16vol"), FsType::Fat16, 0, 32767); }
std::unique_ptr<Mounted> mountFixture32() { return mountImage(test::fixtureImage("fat32vol"), FsType::Fat32, 0, 81919); }

const FatFolderNode* folderAt(Mounted& m, const std::string& path) {
  for (auto& f : m.tree.fatFolders)
    if (f.treeItem != 0 && m.tree.folderTree().path(f.treeItem) == path) return &f;
  return nullptr;
}

// Sectors after a directory's first one whose entry 0 is a long-name part:
// the long name began in the sector before.
int continuedNames(Mounted& m) {
  int n = 0;
  std::array<std::uint8_t, 512> buf{};
  auto look = [&](SectorNo s, bool first) {
    if (first || !m.reader->readSectors(s, 1, buf.data())) return;
    if (buf[11] == 0x0F && buf[0] != 0) ++n;
  };
  std::vector<std::uint32_t> dirs{};
  for (auto& f : m.tree.fatFolders) dirs.push_back(f.firstCluster);
  if (m.vp.fsType == FsType::Fat32) dirs.push_back(m.vp.rootDirStart);
  else
    for (std::uint32_t i = 0; i < m.vp.rootDirSectors; ++i) look(m.vp.rootDirStart + i, i == 0);
  for (std::uint32_t d : dirs) {
    bool first = true;
    for (std::uint32_t c : readDirectoryChain(*m.reader, m.vp, d))
      for (std::uint32_t i = 0; i < m.vp.sectorsPerCluster; ++i) {
        look(m.vp.clusterSector(c) + i, first);
        first = false;
      }
  }
  return n;
}

// ---- fixtures -------------------------------------------------------------------

TEST(FatWalker, Fat16FixtureShowsEveryEntryOfTheManifest) {
  auto m = mountFixture16();
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  expectSameListing(fatListing(m->tree), expectedListing("fat16vol", "fat16"));
  // Names written in UTF-16 that no 8-bit code page holds.
  auto lines = fatListing(m->tree);
  auto has = [&](const std::string& p) {
    return std::any_of(lines.begin(), lines.end(), [&](const Line& l) { return l.path == p; });
  };
  EXPECT_TRUE(has("/Caf\xC3\xA9 menu.txt"));
  EXPECT_TRUE(has("/Smile \xF0\x9F\x98\x80 face.txt"));
  // Deleted 8.3 names, and names of exactly 13 and 26 characters.
  EXPECT_TRUE(has("/xILE.TXT"));
  EXPECT_TRUE(has("/Thirteen1.txt"));
  EXPECT_TRUE(has("/Twenty-six characters.text"));
  EXPECT_GE(continuedNames(*m), 1) << "the fixture should hold a long name that crosses a sector boundary";
}

TEST(FatWalker, Fat32FixtureShowsEveryEntryOfTheManifest) {
  auto m = mountFixture32();
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  expectSameListing(fatListing(m->tree), expectedListing("fat32vol", "fat32"));
  EXPECT_GE(continuedNames(*m), 10);
}

TEST(FatWalker, FollowsADirectoryOfMoreThanOneHundredClusters) {
  auto m = mountFixture32();
  const FatFolderNode* big = folderAt(*m, "/Big Folder");
  ASSERT_NE(big, nullptr);
  EXPECT_GT(readDirectoryChain(*m->reader, m->vp, big->firstCluster).size(), 100u);
  EXPECT_EQ(m->tree.fatFileChildren(big->firstCluster).size(), 600u);
}

TEST(FatWalker, DeletedFolderAndEverythingBelowIsDeleted) {
  auto m = mountFixture16();
  const FatFolderNode* old = folderAt(*m, "/Old Stuff");
  ASSERT_NE(old, nullptr);
  EXPECT_TRUE(old->deleted);
  const FatFolderNode* inner = folderAt(*m, "/Old Stuff/Inner");
  ASSERT_NE(inner, nullptr);
  EXPECT_TRUE(inner->deleted);
  // A folder whose cluster went to a file after it was deleted: no content.
  const FatFolderNode* reused = folderAt(*m, "/Reused Dir");
  ASSERT_NE(reused, nullptr);
  EXPECT_TRUE(reused->deleted);
  EXPECT_TRUE(m->tree.fatFileChildren(reused->firstCluster).empty());
  EXPECT_TRUE(m->tree.fatFolderChildren(reused->firstCluster).empty());
}

TEST(FatWalker, FolderDeletedAloneMarksItsLiveContentDeleted) {
  // Delete only the entry of /Documents (as a file manager would, leaving its
  // FAT chain and its entries alone).
  test::Disk d(test::fixtureImage("fat32vol"), 0);
  auto probe = mount(d.reader(), selection(FsType::Fat32, 0, 81919));
  const FatFolderNode* docs = folderAt(*probe, "/Documents");
  ASSERT_NE(docs, nullptr);
  char* root = d.at(probe->vp.clusterSector(probe->vp.rootDirStart));
  bool patched = false;
  for (std::size_t i = 0; i < 16 && !patched; ++i) {
    Bytes e(reinterpret_cast<const std::uint8_t*>(root) + i * 32, 32);
    if (e[11] == 0x10 && (static_cast<std::uint32_t>(rd16(e, 20)) << 16 | rd16(e, 26)) == docs->firstCluster) {
      root[i * 32] = static_cast<char>(0xE5);
      patched = true;
    }
  }
  ASSERT_TRUE(patched);
  auto m = mount(d.reader(), selection(FsType::Fat32, 0, 81919));
  expectSameListing(fatListing(m->tree), expectedListing("fat32vol", "fat32", {"/Documents"}));
}

TEST(FatWalker, StopKeepsTheTreeFoundSoFar) {
  class StopAfter : public ScanRecorder {
   public:
    StopFlag* stop = nullptr;
    void counter(Counter c, std::uint64_t v) override {
      if (c == Counter::FilesFound && v == 50) stop->store(1);
    }
  };
  auto reader = test::openReader(test::fixtureImage("fat32vol"));
  Selection sel = selection(FsType::Fat32, 0, 81919);
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*reader, sel, vp));
  FileTree tree;
  StopFlag stop{0};
  StopAfter obs;
  obs.stop = &stop;
  walkFatVolume(*reader, sel, vp, tree, stop, obs);
  EXPECT_EQ(stop.load(), 0);
  EXPECT_GE(tree.fatFiles.size(), 50u);
  EXPECT_LT(tree.fatFiles.size(), 600u);
  EXPECT_GT(tree.folderTree().size(), 2u);  // the folders found so far are in the tree
  EXPECT_EQ(obs.visibility.back(), "progress-");
}

TEST(FatWalker, UnreadableDirectorySectorIsLeftOutNotRepeated) {
  std::string img = test::fixtureImage("fat32vol");
  auto probe = mountImage(img, FsType::Fat32, 0, 81919);
  const FatFolderNode* big = folderAt(*probe, "/Big Folder");
  ASSERT_NE(big, nullptr);
  auto chain = readDirectoryChain(*probe->reader, probe->vp, big->firstCluster);
  ASSERT_GT(chain.size(), 50u);
  std::string err;
  auto faulty = std::make_unique<FaultySource>(FileBlockSource::open(img, err));
  faulty->failSector(probe->vp.clusterSector(chain[40]));
  auto m = mount(std::make_unique<SectorReader>(std::move(faulty)), selection(FsType::Fat32, 0, 81919));
  const FatFolderNode* big2 = folderAt(*m, "/Big Folder");
  ASSERT_NE(big2, nullptr);
  const auto& kids = m->tree.fatFileChildren(big2->firstCluster);
  std::set<std::string> names;
  for (auto i : kids) EXPECT_TRUE(names.insert(m->tree.fatFiles[i].name).second) << m->tree.fatFiles[i].name;
  EXPECT_LT(kids.size(), 600u);
  EXPECT_GE(kids.size(), 600u - 5u);  // one sector holds parts of at most 5 names of 5 entries
}

// ---- a volume larger than its disk ------------------------------------------------

struct TruncatedCase {
  const char* what;
  std::uint64_t keepSectors;  // of the 16384-sector fixture
  SectorNo selectionEnd;
  bool warned;
  std::size_t atLeastFiles;
};

class VolumeBeyondDisk : public ::testing::TestWithParam<TruncatedCase> {};

// The scan says that the disk is shorter than the volume (and by how much),
// then lists what the disk holds.
TEST_P(VolumeBeyondDisk, IsSaidAndWhatIsThereIsListed) {
  const auto& c = GetParam();
  const std::string image = test::makeTempDir("trunc") + "/fatwin16.img";
  std::filesystem::copy_file(test::fixtureImage("fatwin16"), image);
  std::filesystem::resize_file(image, c.keepSectors * kSectorSize);
  auto m = mountImage(image, FsType::Fat16, 0, c.selectionEnd);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  std::vector<std::string> warnings;
  for (const auto& [kind, text] : m->obs.messages)
    if (kind == MsgKind::Warning) warnings.push_back(text);
  if (c.warned) {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("but the disk has only " + std::to_string(c.keepSectors) + " sectors"),
              std::string::npos)
        << warnings[0];
  } else {
    EXPECT_TRUE(warnings.empty());
  }
  EXPECT_GE(m->tree.fatFiles.size(), c.atLeastFiles);
}

INSTANTIATE_TEST_SUITE_P(Cases, VolumeBeyondDisk,
                         ::testing::Values(TruncatedCase{"Whole", 16384, 16383, false, 111},
                                           TruncatedCase{"HalfTheVolume", 8192, 16383, true, 111},
                                           TruncatedCase{"OnlyTheRootDirectory", 120, 16383, true, 9},
                                           TruncatedCase{"SelectionPastTheDisk", 16384, 20000, true, 111}),
                         [](const auto& info) { return std::string(info.param.what); });

// ---- The Sleuth Kit as oracle ------------------------------------------------------

struct FlsEntry {
  std::string path;
  std::uint64_t size;
  bool folder;
  bool deleted;
  std::string modified, created;  // as the list shows them ("15-06-2011 13:45:26"), "" when fls shows none
};

// "2011-06-15 13:45:26 (UTC)" -> "15-06-2011 13:45:26"; "" for 0000-00-00.
std::string listTime(const std::string& fls) {
  if (fls.size() < 19 || fls.rfind("0000-00-00", 0) == 0) return "";
  return fls.substr(8, 2) + "-" + fls.substr(5, 2) + "-" + fls.substr(0, 4) + " " + fls.substr(11, 8);
}

// "29-05-2023 21:41:38" -> "29-05-2023 21:41:39" (within the minute is enough here).
std::string oneSecondLater(const std::string& t) {
  if (t.size() != 19) return t;
  int sec = std::stoi(t.substr(17, 2)) + 1;
  if (sec > 59) return t;
  std::string out = t;
  out[17] = static_cast<char>('0' + sec / 10);
  out[18] = static_cast<char>('0' + sec % 10);
  return out;
}

// Regular files and folders that fls lists, with their sizes and times.
// TSK reads FAT times as local times of the zone it runs in and prints them
// in it, so they come out as stored whatever the zone.
std::vector<FlsEntry> flsEntries(const std::string& img) {
  std::vector<FlsEntry> out;
  std::istringstream in(test::runCommand("fls -r -p -l '" + img + "'"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ls(line);
    std::string part;
    while (std::getline(ls, part, '\t')) f.push_back(part);
    if (f.size() < 7) continue;
    const bool file = f[0].rfind("r/r", 0) == 0, folder = f[0].rfind("d/d", 0) == 0;
    if (!file && !folder) continue;
    if (f[1].find("(Volume Label Entry)") != std::string::npos) continue;
    if (f[1] == "$ALLOC_BITMAP" || f[1] == "$UPCASE_TABLE") continue;  // exFAT's system files
    out.push_back({"/" + f[1], std::stoull(f[6]), folder, f[0].find('*') != std::string::npos, listTime(f[2]),
                   listTime(f[5])});
  }
  return out;
}

// The list rows of every folder reachable from the root, by path.
std::map<std::string, ListRow> rowsByPath(FileTree& tree) {
  std::map<std::string, ListRow> out;
  const FolderTree& ft = tree.folderTree();
  for (std::uint32_t item = FolderTree::kRoot; item < ft.size(); ++item) {
    const TreeItem& ti = ft.item(item);
    const std::uint32_t identity =
        ti.folder >= 0 ? tree.fatFolders[static_cast<std::size_t>(ti.folder)].firstCluster : kFatRootCluster;
    const std::string path = ft.path(item);
    for (auto& row : listFatFolder(tree, identity)) out.emplace(path + "/" + row.name, row);
  }
  return out;
}

struct OracleCase {
  const char* image;    // a corpus volume, or a fixture when fixture is set
  bool fixture;
  FsType fs;
  bool deletedFolders;  // deleted folders named in full are compared too
  bool times;           // the Created and Modified columns are compared with fls's crtime and mtime
};

class FatWalkerOracle : public ::testing::TestWithParam<OracleCase> {};

// Every file that fls lists live is listed with the same path and size
// (empty files included) and, where asked, the same creation and write
// times; with deletedFolders, so is every deleted folder that fls names in
// full (fls shows a deleted 8.3 name's first letter as '_').
TEST_P(FatWalkerOracle, ListsWhatTheSleuthKitLists) {
  const auto& c = GetParam();
  int st = 0;
  test::runCommand("command -v fls", &st);
  if (st != 0) GTEST_SKIP() << "fls (The Sleuth Kit) is not installed";
  std::optional<std::string> img;
  if (c.fixture)
    img = test::fixtureImage(c.image);
  else
    img = test::corpusImage(c.image);
  if (!img) GTEST_SKIP() << c.image << " is not in the corpus";
  auto sectors = static_cast<SectorNo>(std::filesystem::file_size(*img) / 512);
  auto m = mountImage(*img, c.fs, 0, sectors - 1);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  std::map<std::string, Line> ours;
  for (auto& l : fatListing(m->tree)) ours.emplace(l.kind + l.path, l);
  const auto rows = rowsByPath(m->tree);
  int compared = 0, timed = 0;
  for (const auto& f : flsEntries(*img)) {
    if (!f.folder && f.deleted) continue;
    if (f.folder && f.deleted && (!c.deletedFolders || f.path.find('_') != std::string::npos)) continue;
    ++compared;
    const std::string key = (f.folder ? "folder" : "file") + f.path;
    auto it = ours.find(key);
    // fls cuts names of more than 234 characters short (the Windows volume
    // has names of 236): such a name is the start of ours.
    if (it == ours.end() && f.path.size() - f.path.rfind('/') > 234) {
      it = ours.lower_bound(key);
      if (it != ours.end() && (it->first.rfind(key, 0) != 0 || it->first.find('/', key.size()) != std::string::npos))
        it = ours.end();
    }
    if (it == ours.end()) {
      ADD_FAILURE() << c.image << ": missing " << f.path;
      continue;
    }
    if (!f.folder) {
      EXPECT_EQ(it->second.size, f.size) << f.path;
    }
    EXPECT_EQ(it->second.deleted, f.deleted) << f.path;
    auto row = rows.find(it->second.path);
    if (!c.times || f.deleted || row == rows.end()) continue;
    ++timed;
    if (!f.modified.empty()) {
      EXPECT_EQ(row->second.modified, f.modified) << f.path;
    }
    // fls adds the second that the creation hundredths make only above
    // 100, where 100 already is one second (Windows shows it): one second
    // more than fls is that case.
    if (!f.created.empty()) {
      EXPECT_TRUE(row->second.created == f.created || row->second.created == oneSecondLater(f.created))
          << f.path << ": " << row->second.created << " against fls " << f.created;
    }
  }
  EXPECT_GT(compared, 0);
  if (c.times) {
    EXPECT_GT(timed, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FatWalkerOracle,
    ::testing::Values(OracleCase{"fat16.raw", false, FsType::Fat16, true, false},
                      OracleCase{"fat_lfn_test.raw", false, FsType::Fat32, true, false},
                      OracleCase{"fat_deleted_dir.raw", false, FsType::Fat32, true, false},
                      OracleCase{"fat_dir.raw", false, FsType::Fat16, true, false},
                      // Written by Windows: long Japanese names, distinct
                      // creation and write times; empty files named in
                      // characters no code page holds.
                      OracleCase{"debugfatfs-2020-fat16.img", false, FsType::Fat16, true, true},
                      OracleCase{"debugfatfs-2023-fat32.img", false, FsType::Fat32, true, true},
                      OracleCase{"fatwin16", true, FsType::Fat16, false, true},
                      // exFAT: names in several scripts, a deleted folder
                      // with its files, a folder of 1,100 files.
                      OracleCase{"exfatvol", true, FsType::Exfat, true, true}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.image)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

// The names, case and empty files of the fixture written as Windows
// writes them, and its renamed folder: the live name with live content.
TEST(FatWalker, WindowsFixtureShowsEveryEntryOfTheManifest) {
  auto m = mountImage(test::fixtureImage("fatwin16"), FsType::Fat16, 0, 16383);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  expectSameListing(fatListing(m->tree), expectedListing("fatwin16", "fatwin16"));
  const auto rows = rowsByPath(m->tree);
  ASSERT_TRUE(rows.count("/Times.txt"));
  EXPECT_EQ(rows.at("/Times.txt").created, "05-03-2004 07:08:09");   // 07:08:08 and 199 hundredths
  EXPECT_EQ(rows.at("/Times.txt").modified, "15-06-2011 13:45:26");
  EXPECT_EQ(rows.at("/sing.dat").created, "24-12-2009 18:30:41");    // 18:30:40 and 155 hundredths
  for (const auto& f : m->tree.fatFolders) EXPECT_NE(f.name, "xLDNAME") << "the old entry took the folder's place";
}

// ---- crafted volumes ----------------------------------------------------------------

std::unique_ptr<Mounted> mountSynth(SynthFat& v, FsType fs) {
  return mount(v.reader(), selection(fs, 0, v.totalSectors() - 1));
}

std::u16string u16(std::string_view a) { return std::u16string(a.begin(), a.end()); }

TEST(FatWalkerCrafted, Fat16ChainEntryFFF8IsFollowed) {
  // 512-byte clusters and a full FAT of 256 sectors, so that cluster 65528 exists.
  SynthFat v(FsType::Fat16, 545 + 65530, 1, 1, 256);
  SynthFat::shortEntry(v.entry(v.rootStart(), 0), "DIR        ", 0x10, 5, 0);
  v.dotEntries(5, 0);
  for (std::uint32_t i = 2; i < 16; ++i) {
    std::string n = padded("A", i, 8);
    SynthFat::shortEntry(v.entry(v.clusterSector(5), i), n + "TXT", 0x20, 100 + i, i);
  }
  SynthFat::shortEntry(v.entry(v.clusterSector(0xFFF8), 0), "LAST    TXT", 0x20, 200, 7);
  v.setFat(5, 0xFFF8);
  v.setFat(0xFFF8, 0xFFFF);
  auto m = mountSynth(v, FsType::Fat16);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  auto lines = fatListing(m->tree);
  EXPECT_EQ(lines.size(), 16u);
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), Line{"file", "/DIR/LAST.TXT", 7, false}) != lines.end());
}

TEST(FatWalkerCrafted, LongNameAcrossAClusterBoundaryOfAFragmentedFolder) {
  SynthFat v(FsType::Fat32, 400, 1, 32, 2);
  v.chain({2});
  SynthFat::shortEntry(v.entry(v.clusterSector(2), 0), "FRAG       ", 0x10, 10, 0);
  v.chain({10, 20});
  v.dotEntries(10, 0);
  // Filler: volume-label entries, which are never listed.
  for (std::uint32_t i = 2; i < 14; ++i) SynthFat::shortEntry(v.entry(v.clusterSector(10), i), "PAD     TXT", 0x08, 0, 0);
  // Three long-name parts: two at the end of cluster 10, one at the start of cluster 20.
  std::u16string units = u16("A name across two clusters.txt");
  SynthFat::writeLongPart(v.entry(v.clusterSector(10), 14), units, 2, true);
  SynthFat::writeLongPart(v.entry(v.clusterSector(10), 15), units, 1, false);
  SynthFat::writeLongPart(v.entry(v.clusterSector(20), 0), units, 0, false);
  SynthFat::shortEntry(v.entry(v.clusterSector(20), 1), "ANAMEA~1TXT", 0x20, 30, 30);
  // Cluster 19, just before cluster 20 on disk but not in the chain, holds
  // other long-name parts that must not be taken.
  SynthFat::writeLongPart(v.entry(v.clusterSector(19), 14), u16("WRONG WRONG WRONG"), 1, true);
  SynthFat::writeLongPart(v.entry(v.clusterSector(19), 15), u16("WRONG WRONG WRONG"), 0, false);
  auto m = mountSynth(v, FsType::Fat32);
  expectSameListing(fatListing(m->tree), {{"file", "/FRAG/A name across two clusters.txt", 30, false},
                                          {"folder", "/FRAG", 0, false}});
}

TEST(FatWalkerCrafted, LoopsAndSelfReferencesEnd) {
  SynthFat v(FsType::Fat32, 400, 1, 32, 2);
  v.chain({2});
  SynthFat::shortEntry(v.entry(v.clusterSector(2), 0), "LOOP       ", 0x10, 10, 0);
  v.dotEntries(10, 0);
  SynthFat::shortEntry(v.entry(v.clusterSector(10), 2), "SELF       ", 0x10, 10, 0);  // its own cluster
  SynthFat::shortEntry(v.entry(v.clusterSector(10), 3), "UP         ", 0x10, 12, 0);
  SynthFat::shortEntry(v.entry(v.clusterSector(10), 4), "F       TXT", 0x20, 40, 4);
  for (std::uint32_t i = 5; i < 16; ++i) SynthFat::shortEntry(v.entry(v.clusterSector(10), i), "PAD     TXT", 0x08, 0, 0);
  SynthFat::shortEntry(v.entry(v.clusterSector(11), 0), "G       TXT", 0x20, 41, 5);
  v.setFat(10, 11);
  v.setFat(11, 10);  // the chain loops
  v.dotEntries(12, 10);
  SynthFat::shortEntry(v.entry(v.clusterSector(12), 2), "BACK       ", 0x10, 10, 0);  // a folder naming LOOP's cluster
  auto m = mountSynth(v, FsType::Fat32);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  EXPECT_EQ(m->tree.fatFiles.size(), 2u);
  EXPECT_EQ(m->tree.fatFolders.size(), 2u);  // SELF and BACK repeat a known first cluster
}

// A renamed folder: the old name's deleted entry and the live entry name
// the same first cluster, in either order in the directory.
class RenamedFolder : public ::testing::TestWithParam<bool> {};

TEST_P(RenamedFolder, TheLiveEntryNamesTheFolderAndItsFilesAreLive) {
  const bool deletedFirst = GetParam();
  SynthFat v(FsType::Fat16, 700, 1, 1, 4);
  std::uint8_t* oldEntry = v.entry(v.rootStart(), deletedFirst ? 0 : 1);
  SynthFat::shortEntry(v.entry(v.rootStart(), deletedFirst ? 1 : 0), "NEWNAME    ", 0x10, 5, 0);
  SynthFat::shortEntry(oldEntry, "OLDNAME    ", 0x10, 5, 0);
  oldEntry[0] = 0xE5;
  v.dotEntries(5, 0);
  SynthFat::shortEntry(v.entry(v.clusterSector(5), 2), "INSIDE  TXT", 0x20, 9, 10);
  auto m = mountSynth(v, FsType::Fat16);
  ASSERT_EQ(m->outcome, ScanOutcome::Done);
  expectSameListing(fatListing(m->tree),
                    {{"folder", "/NEWNAME", 0, false}, {"file", "/NEWNAME/INSIDE.TXT", 10, false}});
}

INSTANTIATE_TEST_SUITE_P(Orders, RenamedFolder, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "DeletedFirst" : "LiveFirst"; });

// The case flags of byte 12 on 8.3 names without a long name.
struct CaseFlagCase {
  const char* name11;
  std::uint8_t flags;
  const char* shown;
};

class ShortNameCase : public ::testing::TestWithParam<CaseFlagCase> {};

TEST_P(ShortNameCase, IsShownAsWindowsShowsIt) {
  const auto& c = GetParam();
  SynthFat v(FsType::Fat16, 700, 1, 1, 4);
  std::uint8_t* e = v.entry(v.rootStart(), 0);
  SynthFat::shortEntry(e, c.name11, 0x20, 9, 10);
  e[12] = c.flags;
  auto m = mountSynth(v, FsType::Fat16);
  ASSERT_EQ(m->tree.fatFiles.size(), 1u);
  EXPECT_EQ(m->tree.fatFiles[0].name, c.shown);
}

INSTANTIATE_TEST_SUITE_P(Flags, ShortNameCase,
                         ::testing::Values(CaseFlagCase{"SING    DAT", 0x00, "SING.DAT"},
                                           CaseFlagCase{"SING    DAT", 0x08, "sing.DAT"},
                                           CaseFlagCase{"SING    DAT", 0x10, "SING.dat"},
                                           CaseFlagCase{"SING    DAT", 0x18, "sing.dat"},
                                           CaseFlagCase{"A_1-B   TXT", 0x18, "a_1-b.txt"},
                                           CaseFlagCase{"NOEXT      ", 0x18, "noext"},
                                           CaseFlagCase{"SING    DAT", 0xE7, "SING.DAT"}));

TEST(FatWalkerCrafted, FolderWithoutDotEntriesHasNoChildren) {
  SynthFat v(FsType::Fat16, 700, 1, 1, 4);
  SynthFat::shortEntry(v.entry(v.rootStart(), 0), "REUSED     ", 0x10, 5, 0);
  SynthFat::shortEntry(v.entry(v.clusterSector(5), 2), "HIDDEN  TXT", 0x20, 9, 1);  // no "." / ".."
  auto m = mountSynth(v, FsType::Fat16);
  expectSameListing(fatListing(m->tree), {{"folder", "/REUSED", 0, false}});
}

TEST(FatWalkerCrafted, ZeroSectorsPerClusterNeitherDividesByZeroNorLoops) {
  SynthFat v(FsType::Fat32, 400, 1, 32, 2);
  v.chain({2});
  SynthFat::shortEntry(v.entry(v.clusterSector(2), 0), "DIR        ", 0x10, 10, 0);
  v.sector(0)[13] = 0;
  v.sector(6)[13] = 0;
  auto m = mountSynth(v, FsType::Fat32);
  EXPECT_EQ(m->outcome, ScanOutcome::Done);
  EXPECT_EQ(m->vp.sectorsPerCluster, 0u);

  // FAT16: the root is still read; the folders have no sectors.
  SynthFat w(FsType::Fat16, 700, 1, 1, 4);
  SynthFat::shortEntry(w.entry(w.rootStart(), 0), "DIR        ", 0x10, 5, 0);
  SynthFat::shortEntry(w.entry(w.rootStart(), 1), "A       TXT", 0x20, 6, 3);
  w.sector(0)[13] = 0;
  auto m16 = mountSynth(w, FsType::Fat16);
  EXPECT_EQ(m16->outcome, ScanOutcome::Done);
  expectSameListing(fatListing(m16->tree), {{"file", "/A.TXT", 3, false}, {"folder", "/DIR", 0, false}});
}

TEST(FatWalkerCrafted, RandomDamageNeitherCrashesNorLoops) {
  // Random bytes over the FATs, the root directory and the first folders of
  // the fixtures; some runs also lose the boot sector and are calculated.
  struct Vol {
    const char* fixture;
    FsType fs;
    SectorNo last;
    SectorNo damagedEnd;  // sectors [0, damagedEnd) are hit
  } vols[] = {{"fat16vol", FsType::Fat16, 32767, 600}, {"fat32vol", FsType::Fat32, 81919, 2200}};
  for (const auto& vol : vols) {
    const std::string image = test::fixtureImage(vol.fixture);
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
      test::Disk d(image, 0);
      std::uint32_t x = seed * 2654435761u;
      auto next = [&] { return x = x * 1664525u + 1013904223u; };
      for (int k = 0; k < 3000; ++k) {
        const std::size_t at = (next() >> 8) % (std::size_t{vol.damagedEnd} * 512);
        d.at(static_cast<SectorNo>(at / 512))[at % 512] = static_cast<char>(next() >> 24);
      }
      if (seed % 4 == 0) std::memset(d.at(0), 0, 512);
      auto m = mount(d.reader(), selection(vol.fs, 0, vol.last));
      EXPECT_NE(m->outcome, ScanOutcome::Aborted) << vol.fixture << " seed " << seed;
      EXPECT_LE(m->tree.fatFiles.size() + m->tree.fatFolders.size(), 200000u);
      for (const auto& f : m->tree.fatFiles) EXPECT_TRUE(isValidName(f.name, true)) << f.name;
    }
  }
}

TEST(FatWalkerCrafted, FiftyThousandEntries) {
  // 100 folders of 500 files each, 4 KiB clusters.
  constexpr std::uint32_t kFolders = 100, kFiles = 500, kSpc = 8;
  constexpr std::uint32_t kDirClusters = (kFiles + 2 + 127) / 128;
  SynthFat v(FsType::Fat32, 32 + 2 * 8 + (2 + kFolders * kDirClusters + 10) * kSpc, kSpc, 32, 8);
  v.chain({2});
  std::uint32_t next = 3;
  for (std::uint32_t d = 0; d < kFolders; ++d) {
    std::string dn = padded("D", d, 11);
    const std::uint32_t first = next;
    SynthFat::shortEntry(v.entry(v.clusterSector(2), d), dn, 0x10, first, 0);
    std::vector<std::uint32_t> chain;
    for (std::uint32_t k = 0; k < kDirClusters; ++k) chain.push_back(next++);
    v.chain(chain);
    v.dotEntries(first, 0);
    for (std::uint32_t f = 0; f < kFiles; ++f) {
      std::string fn = padded("F", f, 8);
      SynthFat::shortEntry(v.entry(v.clusterSector(first), 2 + f), fn + "TXT", 0x20, 2, f);
    }
  }
  auto reader = v.reader();
  Selection sel = selection(FsType::Fat32, 0, v.totalSectors() - 1);
  VolumeParams vp;
  ASSERT_TRUE(readVolumeParams(*reader, sel, vp));
  FileTree tree;
  StopFlag stop{0};
  auto t0 = std::chrono::steady_clock::now();
  walkFatVolume(*reader, sel, vp, tree, stop, nullObserver());
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(tree.fatFiles.size(), kFolders * kFiles);
  EXPECT_EQ(tree.fatFolders.size(), kFolders);
  EXPECT_EQ(tree.fatFiles.back().fileIndex, kFolders * kFiles - 1);
  std::cout << "[ walk     ] " << kFolders * kFiles + kFolders << " entries in " << ms << " ms\n";
}

}  // namespace
}  // namespace osprin
