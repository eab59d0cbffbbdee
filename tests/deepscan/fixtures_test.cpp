// The deep scan on volumes made with real tools and then damaged: a FAT32
// formatted again, a FAT16 without boot sector and FATs, an NTFS without boot
// sectors, a disk without partition table, and a Windows NTFS volume of the
// shared corpus. The trees must list the files that were written, and the
// files must come back byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "common/text.h"
#include "deepscan/deep_scan.h"
#include "recovery/extract.h"
#include "search/match.h"
#include "support/fixtures.h"
#include "tree/file_list.h"
#include "volume/walkers.h"
#include "support/selections.h"

namespace osprin {
namespace {

using test::scanRange;

using test::ManifestEntry;

nlohmann::json manifestJson(const std::string& name) {
  std::ifstream in(test::fixtureManifestPath(name));
  return nlohmann::json::parse(in);
}

// A file of the mounted tree: its path through the folder tree, and what the
// file list shows for it.
struct ListedFile {
  std::string path;
  ListRow row;
};

// Every file listed under a folder reachable from the root, by path. FAT
// paths are compared in upper case: a name that fits 8.3 in one case is
// stored as a short name only, which the list shows in upper case.
std::map<std::string, ListedFile> listedFiles(DeepMount& m) {
  std::map<std::string, ListedFile> out;
  FileTree& tree = m.tree;
  const FolderTree& ft = tree.folderTree();
  const bool fat = usesFatTree(m.params.fsType);
  const bool shortNames = isFat(m.params.fsType);
  auto key = [shortNames](const std::string& p) { return shortNames ? asciiUpper(p) : p; };
  NtfsFileSet files = m.ntfsFiles();
  auto visit = [&](std::uint32_t identity, const std::string& dir) {
    auto rows = fat ? listFatFolder(tree, identity) : listNtfsFolder(tree, files, identity);
    for (const ListRow& r : rows)
      if (!r.folder) out.emplace(key(dir + "/" + r.name), ListedFile{dir + "/" + r.name, r});
  };
  visit(fat ? kFatRootCluster : kNtfsRootRecord, "");
  for (std::uint32_t item = 2; item < ft.size(); ++item) {
    const std::int64_t fi = ft.item(item).folder;
    if (fi < 0) continue;
    const std::uint32_t id = fat ? tree.fatFolders[static_cast<std::size_t>(fi)].firstCluster
                                 : tree.ntfsFolders[static_cast<std::size_t>(fi)].recordNumber;
    // A folder shown twice in a damaged tree is listed once.
    bool first = true;
    for (std::uint32_t other = 2; other < item; ++other)
      if (ft.item(other).folder == fi) first = false;
    if (first) visit(id, ft.path(item));
  }
  return out;
}

std::set<std::string> listedFolders(DeepMount& m) {
  std::set<std::string> out;
  const FolderTree& ft = m.tree.folderTree();
  for (std::uint32_t item = 2; item < ft.size(); ++item)
    out.insert(isFat(m.params.fsType) ? asciiUpper(ft.path(item)) : ft.path(item));
  return out;
}
std::string fatKey(const std::string& p) { return asciiUpper(p); }

// Copies a listed file out the way Open does and returns its bytes' hash.
std::string recoveredHash(DeepMount& m, SectorReader& reader, const ListedFile& f) {
  RecoverySettings settings;
  FilterTable filters;
  RecoveryContext ctx{reader, m.params, m.tree, m.ntfsFiles(), ScanType::Advanced, settings, filters};
  RecoveryFlags flags;
  const std::string dir = test::makeTempDir("open");
  CopyResult r = copyRowForOpen(ctx, f.row, dir, flags, nullObserver());
  // An empty FAT file is written empty (NTFS ones are not created yet).
  if (f.row.size == 0 && !usesFatTree(m.params.fsType)) return test::sha256Hex("");
  if (!r.ok() || !r.complete || !std::filesystem::exists(r.path)) return "not recovered";
  return test::sha256File(r.path);
}

struct Scanned {
  std::unique_ptr<SectorReader> reader;
  DeepMount mount;
};

// Scans a fixture and mounts found file system `pick`.
bool scanAndMount(Scanned& s, const std::string& image, const Selection& sel, std::size_t pick) {
  s.reader = test::openReader(image);
  StopFlag stop{0};
  std::string error;
  const bool ok = deepScanAndMount(*s.reader, sel, kDefaultSectorsPerRead, pick, s.mount, stop, nullObserver(), error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

// The manifest's path with its first folder replaced: a top-level folder of
// a volume whose root directory was lost is shown as "Dir" + its cluster.
std::string withLostTop(const std::string& path, bool topFolder = false) {
  auto second = path.find('/', 1);
  if (topFolder) return "/DIR#";
  return fatKey(second == std::string::npos ? path : "/DIR#" + path.substr(second));
}
// A deleted entry without a long name shows its short name with the first
// character (overwritten by the deletion mark) as "x".
std::string deletedShortName(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string out = path;
  if (slash + 1 < out.size()) out[slash + 1] = 'x';
  return out;
}
std::string lostTopOf(const std::string& listed) {
  if (listed.rfind("/DIR", 0) != 0) return listed;
  std::size_t i = 4;
  while (i < listed.size() && listed[i] >= '0' && listed[i] <= '9') ++i;
  if (i == 4 || (i < listed.size() && listed[i] != '/')) return listed;
  return "/DIR#" + listed.substr(i);
}

// --- FAT32 formatted again -----------------------------------------------

TEST(DeepFixtures, Fat32FormattedAgainBringsBackItsOldFolders) {
  const std::string image = test::fixtureImage("deep_fat32");
  const auto geometry = manifestJson("deep_fat32")["expected"];
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Fat32, 0, 73728), 1));
  const DeepScanResults& r = s.mount.results;
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "FAT32 @" + std::to_string(geometry["cluster_base"].get<int>()));
  EXPECT_EQ(fs.sectorsPerCluster, 1u);
  EXPECT_EQ(fs.fat1Start, geometry["fat1"].get<SectorNo>());
  EXPECT_EQ(fs.volumeEnd, 73728u);
  EXPECT_EQ(r.bootSectorHits, (std::vector<SectorNo>{0, 6}));  // the boot sector and its backup
  EXPECT_EQ(s.mount.panel[2].value, "35 MB");

  auto files = listedFiles(s.mount);
  // What was written after the format, at its own paths.
  for (const ManifestEntry& e : test::readManifestEntries("deep_fat32", "after_format")) {
    if (e.kind != "file") continue;
    auto it = files.find(fatKey(e.path));
    ASSERT_NE(it, files.end()) << e.path;
    EXPECT_EQ(it->second.row.size, e.size);
    EXPECT_FALSE(it->second.row.deleted);
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
  }
  // What was there before: the old root directory is gone, so the old
  // top-level folders are "Dir" + cluster; everything below keeps its name.
  std::map<std::string, const ListedFile*> old;
  for (auto& [p, f] : files) old[lostTopOf(p)] = &f;
  std::set<std::string> folders;
  for (const std::string& p : listedFolders(s.mount)) folders.insert(lostTopOf(p));
  for (const ManifestEntry& e : test::readManifestEntries("deep_fat32", "before_format")) {
    if (e.path == "/filler.bin") continue;  // its entry was in the old root
    if (e.kind == "folder") {
      const bool top = e.path.find('/', 1) == std::string::npos;
      EXPECT_TRUE(folders.count(withLostTop(e.path, top))) << e.path;
      continue;
    }
    std::string want = withLostTop(e.path);
    if (e.deleted) want = fatKey(deletedShortName(want));
    auto it = old.find(want);
    ASSERT_NE(it, old.end()) << want;
    EXPECT_EQ(it->second->row.size, e.size) << want;
    EXPECT_EQ(it->second->row.deleted, e.deleted) << want;
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, *it->second), e.sha256) << want;
  }
  // Nothing else: the files of the new tree and the old one but filler.bin.
  std::size_t written = 0;
  for (const char* key : {"after_format", "before_format"})
    for (const ManifestEntry& e : test::readManifestEntries("deep_fat32", key)) written += e.kind == "file";
  EXPECT_EQ(files.size(), written - 1);
}

// --- FAT16 without boot sector and FATs ----------------------------------------

TEST(DeepFixtures, Fat16WithoutBootSectorAndFatsIsFoundFromItsHeads) {
  const std::string image = test::fixtureImage("deep_fat16");
  const auto geometry = manifestJson("deep_fat16")["expected"];
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Fat16, 0, 32768), 1));
  const DeepScanResults& r = s.mount.results;
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "FAT16 @" + std::to_string(geometry["cluster_base"].get<int>()));
  EXPECT_EQ(fs.sectorsPerCluster, 4u);
  EXPECT_EQ(fs.volumeEnd, 0u);
  EXPECT_TRUE(r.bootSectorHits.empty());
  EXPECT_EQ(s.mount.panel[2].value, "Unknown");
  // The FATs are gone: nothing to find before the data area.
  EXPECT_EQ(s.mount.params.fat1Start, 0u);

  auto files = listedFiles(s.mount);
  std::map<std::string, const ListedFile*> byPath;
  for (auto& [p, f] : files) byPath[lostTopOf(p)] = &f;
  std::size_t expected = 0;
  for (const ManifestEntry& e : test::readManifestEntries("deep_fat16", "wiped")) {
    if (e.kind != "file") continue;
    ++expected;
    const std::string want = withLostTop(e.path);
    auto it = byPath.find(want);
    ASSERT_NE(it, byPath.end()) << want;
    EXPECT_EQ(it->second->row.size, e.size);
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, *it->second), e.sha256) << want;
  }
  EXPECT_EQ(files.size(), expected);
  // The first folder written got cluster 2; its name was in the lost root
  // directory, so it shows as "Dir2" with its subfolder.
  EXPECT_TRUE(listedFolders(s.mount).count("/DIR2/BEST OF 2009"));
}

// --- FAT16 as Windows writes it, healthy and damaged ------------------------------

// A private copy of a fixture with the given 512-byte sectors zeroed.
std::string wipedCopy(const std::string& fixture, const std::vector<SectorNo>& wiped) {
  const std::string image = test::makeTempDir("wiped") + "/" + fixture + ".img";
  std::filesystem::copy_file(test::fixtureImage(fixture), image);
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  const std::string zeros(kSectorSize, '\0');
  for (SectorNo sector : wiped) {
    f.seekp(static_cast<std::streamoff>(sector) * kSectorSize);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  return image;
}

// What is wiped of the fatwin16 fixture before the deep scan: nothing, its
// boot sector, or its boot sector and the first sector of FAT 1 (then only
// the second copy is found, and folder chains go through it).
struct WindowsDamage {
  const char* what;
  std::vector<SectorNo> wiped;
  bool fromBootSector;
};

class DeepWindowsFat : public ::testing::TestWithParam<WindowsDamage> {};

TEST_P(DeepWindowsFat, ListsAndRecoversWhatTheStandardScanDoes) {
  const auto& c = GetParam();
  const std::string image = wipedCopy("fatwin16", c.wiped);
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Fat16, 0, 16383), 1));
  ASSERT_EQ(s.mount.results.foundFileSystems.size(), 1u);
  EXPECT_EQ(s.mount.results.foundFileSystems[0].volumeEnd != 0, c.fromBootSector);
  EXPECT_NE(s.mount.params.sectorsPerFat, 0u);
  auto files = listedFiles(s.mount);
  std::size_t expected = 0;
  for (const ManifestEntry& e : test::readManifestEntries("fatwin16", "fatwin16")) {
    if (e.kind != "file") continue;
    ++expected;
    auto it = files.find(fatKey(e.path));
    if (it == files.end()) {
      ADD_FAILURE() << "missing " << e.path;
      continue;
    }
    EXPECT_EQ(it->second.path, e.path);  // the case Windows shows
    EXPECT_EQ(it->second.row.size, e.size) << e.path;
    EXPECT_EQ(it->second.row.deleted, e.deleted) << e.path;
    if (!e.deleted) {
      EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
    }
  }
  EXPECT_EQ(files.size(), expected);
  EXPECT_FALSE(listedFolders(s.mount).count("/XLDNAME")) << "the renamed folder's old entry took its place";
}

INSTANTIATE_TEST_SUITE_P(Damages, DeepWindowsFat,
                         ::testing::Values(WindowsDamage{"Healthy", {}, true},
                                           WindowsDamage{"BootSectorWiped", {0}, false},
                                           WindowsDamage{"BootSectorAndFat1Wiped", {0, 2}, false}),
                         [](const auto& info) { return std::string(info.param.what); });

// --- exFAT formatted again -------------------------------------------------------

// A quick format wrote a new boot region, FAT, bitmap and root folder; the old
// entry sets lie loose in the heap (those of the old root's first cluster are
// gone: the manifest's entry_set_found). With the boot sectors kept the
// geometry is theirs and every old file is deleted; with them wiped too it is
// worked out from the folder sets, and the sets keep their own (live) state.
struct ExfatDamage {
  const char* what;
  std::vector<SectorNo> wiped;
  bool fromBootSector;
};

class DeepExfatReformat : public ::testing::TestWithParam<ExfatDamage> {};

// "/Dir123/..." as "/Dir#/...".
std::string exfatLostTop(const std::string& listed) {
  std::size_t i = 4;
  while (i < listed.size() && listed[i] >= '0' && listed[i] <= '9') ++i;
  if (listed.rfind("/Dir", 0) != 0 || i == 4 || (i < listed.size() && listed[i] != '/')) return listed;
  return "/Dir#" + listed.substr(i);
}

TEST_P(DeepExfatReformat, OldFilesComeBackUnderPlaceholdersByteForByte) {
  const auto& c = GetParam();
  const std::string image = wipedCopy("exfat_reformat", c.wiped);
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Exfat, 0, 32768), 1));
  const DeepScanResults& r = s.mount.results;
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  // mkfs.exfat -c 4096 on 16 MiB: the heap at sector 4096, 8 sectors per cluster.
  EXPECT_EQ(fs.label, "exFAT @4080");
  EXPECT_EQ(fs.fsType, FsType::Exfat);
  EXPECT_EQ(fs.sectorsPerCluster, 8u);
  EXPECT_EQ(fs.volumeEnd, c.fromBootSector ? 32768u : 0u);
  EXPECT_EQ(fs.fat1Start, c.fromBootSector ? 2048u : 0u);
  EXPECT_EQ(r.bootSectorHits, (c.fromBootSector ? std::vector<SectorNo>{0, 12} : std::vector<SectorNo>{}));

  const auto entries = manifestJson("exfat_reformat")["volumes"]["v"]["entries"];
  std::map<std::string, bool> topFound;
  for (const auto& e : entries) {
    const std::string p = e["path"];
    if (e["kind"] == "folder" && p.find('/', 1) == std::string::npos) topFound[p] = e["entry_set_found"];
  }
  // Where an old entry shows: the old root is lost, so under a placeholder;
  // a top folder whose set was lost with it is that placeholder itself.
  auto expectedPath = [&](const std::string& p) {
    const auto second = p.find('/', 1);
    if (second == std::string::npos || topFound[p.substr(0, second)]) return "/Dir#" + p;
    return "/Dir#" + p.substr(second);
  };
  auto files = listedFiles(s.mount);
  std::map<std::string, const ListedFile*> byPath;
  for (auto& [p, f] : files) byPath[exfatLostTop(p)] = &f;
  std::set<std::string> folders;
  for (const std::string& p : listedFolders(s.mount)) folders.insert(exfatLostTop(p));
  std::size_t expected = 0;
  for (const auto& e : entries) {
    if (!e["entry_set_found"].get<bool>()) continue;
    const std::string want = expectedPath(e["path"]);
    if (e["kind"] == "folder") {
      EXPECT_TRUE(folders.count(want)) << want;
      continue;
    }
    ++expected;
    auto it = byPath.find(want);
    ASSERT_NE(it, byPath.end()) << want;
    EXPECT_EQ(it->second->row.size, e["size"].get<std::uint64_t>()) << want;
    EXPECT_EQ(it->second->row.deleted, c.fromBootSector) << want;
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, *it->second), e["sha256"].get<std::string>()) << want;
  }
  EXPECT_GE(expected, 20u);
  EXPECT_EQ(files.size(), expected);

  // The Sleuth Kit lists the same old entries as orphans of the new volume.
  int status = 0;
  const std::string fls = test::runCommand("fls -r -p '" + image + "' 2>/dev/null", &status);
  if (status != 0 || fls.empty()) return;
  std::multiset<std::string> orphans, ours;
  std::istringstream lines(fls);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find("$OrphanFiles/");
    if (at != std::string::npos && line.find("OrphanFile-") == std::string::npos)
      orphans.insert(line.substr(line.rfind('/') + 1));
  }
  for (auto& [p, f] : files) ours.insert(f.row.name);
  for (const std::string& p : folders)
    if (exfatLostTop(p) != "/Dir#") ours.insert(p.substr(p.rfind('/') + 1));
  EXPECT_EQ(ours, orphans);
}

INSTANTIATE_TEST_SUITE_P(Damages, DeepExfatReformat,
                         ::testing::Values(ExfatDamage{"AsFormatted", {}, true},
                                           ExfatDamage{"BootRegionsWiped", {0, 12}, false}),
                         [](const auto& info) { return std::string(info.param.what); });

// A healthy exFAT volume (bare, in an MBR, in a GPT): the deep mount lists
// what the standard scan lists, and the files read back as written.
struct HealthyExfat {
  const char* fixture;
  const char* volume;
};

class DeepExfatHealthy : public ::testing::TestWithParam<HealthyExfat> {};

TEST_P(DeepExfatHealthy, ListsWhatTheStandardScanListsAndReadsBackAsWritten) {
  const auto& c = GetParam();
  const auto volume = manifestJson(c.fixture)["volumes"][c.volume];
  const SectorNo start = volume["start"], end = volume["end"];
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, test::fixtureImage(c.fixture), scanRange(FsType::Exfat, start, end + 1), 1));
  EXPECT_EQ(s.mount.results.foundFileSystems.size(), 1u);
  DeepMount standard;
  MftRuns runs;
  StopFlag stop{0};
  ASSERT_EQ(runStandardScan(*s.reader, test::selection(FsType::Exfat, start, end), standard.params, runs,
                            standard.tree, stop, nullObserver()),
            ScanOutcome::Done);
  auto summary = [](DeepMount& m) {
    std::map<std::string, std::pair<std::uint64_t, bool>> out;
    for (auto& [p, f] : listedFiles(m)) out[p] = {f.row.size, f.row.deleted};
    return out;
  };
  EXPECT_EQ(summary(s.mount), summary(standard));
  EXPECT_EQ(listedFolders(s.mount), listedFolders(standard));
  auto files = listedFiles(s.mount);
  std::size_t compared = 0;
  for (const ManifestEntry& e : test::readManifestEntries(c.fixture, c.volume)) {
    if (e.kind != "file" || (e.deleted && !e.recoverable)) continue;
    auto it = files.find(e.path);
    ASSERT_NE(it, files.end()) << e.path;
    EXPECT_EQ(it->second.row.deleted, e.deleted) << e.path;
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
    ++compared;
  }
  EXPECT_GT(compared, 3u);
}

INSTANTIATE_TEST_SUITE_P(Volumes, DeepExfatHealthy,
                         ::testing::Values(HealthyExfat{"exfatvol", "v"}, HealthyExfat{"exfat_mbr", "p1"},
                                           HealthyExfat{"exfat_gpt", "p1"}),
                         [](const auto& info) { return std::string(info.param.fixture); });

// --- NTFS without boot sectors -------------------------------------------------

TEST(DeepFixtures, NtfsWithoutBootSectorsIsFoundFromItsIndexBlocks) {
  const std::string image = test::fixtureImage("deep_ntfs");
  const auto geometry = manifestJson("deep_ntfs")["expected"];
  const SectorNo end = 2048 + 49152 + 2048;
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Ntfs, 0, end), 1));
  const DeepScanResults& r = s.mount.results;
  ASSERT_EQ(r.foundFileSystems.size(), 1u);
  const FoundFileSystem& fs = r.foundFileSystems[0];
  EXPECT_EQ(fs.label, "NTFS @2048");
  EXPECT_EQ(fs.sectorsPerCluster, geometry["sectors_per_cluster"].get<std::uint32_t>());
  EXPECT_EQ(fs.mftStart, 0u);
  EXPECT_EQ(fs.mftMirrorStart, 0u);
  EXPECT_EQ(fs.volumeEnd, end);
  EXPECT_EQ(fs.sectorsPerIndexRecord, 8u);
  EXPECT_TRUE(r.bootSectorHits.empty());
  EXPECT_EQ(s.mount.panel[2].value, "25 MB");
  for (const auto& h : r.indexBlockHits) EXPECT_EQ(h.vcn, 0u);

  auto files = listedFiles(s.mount);
  for (const ManifestEntry& e : test::readManifestEntries("deep_ntfs", "ntfs")) {
    if (e.kind != "file") continue;
    auto it = files.find(e.path);
    ASSERT_NE(it, files.end()) << e.path;
    EXPECT_EQ(it->second.row.size, e.size) << e.path;
    EXPECT_EQ(it->second.row.deleted, e.deleted) << e.path;
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
  }
  const auto folders = listedFolders(s.mount);
  for (const char* f : {"/Alpha", "/Alpha/Inner", "/Beta", "/Beta/Small"}) EXPECT_TRUE(folders.count(f)) << f;
}

// --- a disk without partition table ----------------------------------------------

void expectVolume(DeepMount& m, SectorReader& reader, const std::string& key) {
  auto files = listedFiles(m);
  std::size_t expected = 0;
  for (const ManifestEntry& e : test::readManifestEntries("deep_disk", key)) {
    if (e.kind != "file") continue;
    ++expected;
    auto it = files.find(isFat(m.params.fsType) ? fatKey(e.path) : e.path);
    ASSERT_NE(it, files.end()) << key << e.path;
    EXPECT_EQ(it->second.row.size, e.size) << e.path;
    EXPECT_EQ(recoveredHash(m, reader, it->second), e.sha256) << e.path;
  }
  if (isFat(m.params.fsType)) {
    EXPECT_EQ(files.size(), expected) << key;
  }
}

TEST(DeepFixtures, DiskWithoutPartitionTableFat16Volumes) {
  const std::string image = test::fixtureImage("deep_disk");
  const auto geometry = manifestJson("deep_disk")["expected"];
  const auto p1 = geometry["p1"], p3 = geometry["p3"];
  {
    Scanned s;
    ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Fat16, 0, 67584), 1));
    const auto& found = s.mount.results.foundFileSystems;
    ASSERT_EQ(found.size(), 2u);
    // From its boot sector, with a size.
    EXPECT_EQ(found[0].label, "FAT16 @" + std::to_string(p1["cluster_base"].get<int>()));
    EXPECT_EQ(found[0].sectorsPerCluster, 4u);
    EXPECT_EQ(found[0].fat1Start, p1["fat1"].get<SectorNo>());
    EXPECT_EQ(found[0].rootDirStart, p1["root_start"].get<SectorNo>());
    EXPECT_EQ(found[0].volumeEnd, 2048u + 24576u);
    EXPECT_EQ(s.mount.panel[2].value, "11 MB");
    // From its boot sector too, whose size is in the 16-bit field.
    EXPECT_EQ(found[1].label, "FAT16 @" + std::to_string(p3["cluster_base"].get<int>()));
    EXPECT_EQ(found[1].sectorsPerCluster, 2u);
    EXPECT_EQ(found[1].volumeEnd, 67584u);  // the sector after the volume, as for found[0]
    // A folder of 100 files spans several clusters: the FAT links them.
    expectVolume(s.mount, *s.reader, "p1");
  }
  {
    Scanned s;
    ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Fat16, 0, 67584), 2));
    // The FAT copies come from its boot sector, so the root directory was read.
    EXPECT_EQ(s.mount.params.fat1Start, p3["fat1"].get<SectorNo>());
    EXPECT_EQ(s.mount.params.fat2Start, p3["fat2"].get<SectorNo>());
    EXPECT_EQ(s.mount.params.sectorsPerFat, p3["sectors_per_fat"].get<std::uint32_t>());
    EXPECT_EQ(s.mount.params.rootDirStart, p3["root_start"].get<SectorNo>());
    expectVolume(s.mount, *s.reader, "p3");
  }
}

// Live regular files of an NTFS volume as The Sleuth Kit lists them: path ->
// size (streams, orphans and deleted names left out).
std::optional<std::map<std::string, std::uint64_t>> flsFiles(const std::string& image, SectorNo offset) {
  int status = 0;
  test::runCommand("command -v fls", &status);
  if (status != 0) return std::nullopt;
  std::string out = test::runCommand("fls -r -p -l -o " + std::to_string(offset) + " '" + image + "'", &status);
  if (status != 0) return std::nullopt;
  std::map<std::string, std::uint64_t> files;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("r/r ", 0) != 0 || line.find(" * ") != std::string::npos) continue;
    std::vector<std::string> cols;
    std::stringstream ls(line);
    std::string c;
    while (std::getline(ls, c, '\t')) cols.push_back(c);
    if (cols.size() < 7) continue;
    const std::string path = "/" + cols[1];
    // Named streams ("name:stream", attribute type 128) are rows of their
    // own; the index attributes fls lists beside them are not.
    const bool dataStream = cols[0].find("-128-") != std::string::npos;
    if ((path.find(':') != std::string::npos && !dataStream) || path.rfind("/$OrphanFiles", 0) == 0) continue;
    files[path] = std::stoull(cols[6]);
  }
  return files;
}

// The entries of a and b that differ, one per line, for a readable failure.
std::string mapDiff(const std::map<std::string, std::uint64_t>& a, const std::map<std::string, std::uint64_t>& b) {
  std::string out;
  for (auto& [k, v] : a) {
    auto it = b.find(k);
    if (it == b.end()) out += "  only first: " + k + " (" + std::to_string(v) + ")\n";
    else if (it->second != v) out += "  size differs: " + k + " " + std::to_string(v) + " vs " + std::to_string(it->second) + "\n";
  }
  for (auto& [k, v] : b)
    if (!a.count(k)) out += "  only second: " + k + " (" + std::to_string(v) + ")\n";
  return out;
}

std::map<std::string, std::uint64_t> liveFiles(DeepMount& m) {
  std::map<std::string, std::uint64_t> out;
  for (auto& [p, f] : listedFiles(m))
    if (!f.row.deleted) out[p] = f.row.size;
  return out;
}

// System files whose records are flagged as view indexes (flags 9): the deep
// scan files records with flags 0 to 3 only; the standard scan and The
// Sleuth Kit list them as files.
void dropViewIndexFiles(std::map<std::string, std::uint64_t>& files) {
  for (const char* p : {"/$Secure", "/$Extend/$ObjId", "/$Extend/$Quota", "/$Extend/$Reparse",
                        "/$Extend/$RmMetadata/$Repair"}) {
    files.erase(p);
    // and their named streams
    const std::string prefix = std::string(p) + ":";
    for (auto it = files.lower_bound(prefix); it != files.end() && it->first.rfind(prefix, 0) == 0;)
      it = files.erase(it);
  }
}

TEST(DeepFixtures, DiskWithoutPartitionTableNtfsVolume) {
  const std::string image = test::fixtureImage("deep_disk");
  const auto p2 = manifestJson("deep_disk")["expected"]["p2"];
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Ntfs, 0, 67584), 1));
  const auto& found = s.mount.results.foundFileSystems;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].label, "NTFS @26624");
  EXPECT_EQ(found[0].mftStart, p2["mft_start"].get<SectorNo>());
  EXPECT_EQ(found[0].mftMirrorStart, p2["mft_mirror_start"].get<SectorNo>());
  EXPECT_EQ(found[0].volumeEnd, 26624u + p2["total_sectors"].get<SectorNo>());
  EXPECT_EQ(s.mount.panel[3].value, std::to_string(p2["mft_start"].get<SectorNo>()));
  expectVolume(s.mount, *s.reader, "p2");
  if (auto fls = flsFiles(image, 26624)) {
    dropViewIndexFiles(*fls);
    EXPECT_EQ(mapDiff(liveFiles(s.mount), *fls), "");
  }
}

// --- a Windows volume of the corpus ----------------------------------------------

std::string ntfsPath(FileTree& tree, std::uint32_t parent, const std::string& name) {
  if (parent == kNtfsRootRecord) return "/" + name;
  const std::int64_t fi = tree.findNtfsFolder(parent);
  if (fi < 0) return "";
  const std::uint32_t item = tree.ntfsFolders[static_cast<std::size_t>(fi)].treeItem;
  if (item == 0) return "";
  return tree.folderTree().path(item) + "/" + name;
}

TEST(DeepFixtures, WindowsNtfsVolumeOfTheCorpusListsAsTheStandardScanAndTheSleuthKit) {
  auto image = test::corpusImage("ntfs_index.raw");
  if (!image) GTEST_SKIP() << "corpus volume ntfs_index.raw not available";
  Scanned s;
  s.reader = test::openReader(*image);
  const SectorNo sectors = static_cast<SectorNo>(s.reader->totalSectors());
  StopFlag stop{0};
  std::string error;
  ASSERT_TRUE(deepScanAndMount(*s.reader, scanRange(FsType::Ntfs, 0, sectors), kDefaultSectorsPerRead, 1, s.mount, stop,
                               nullObserver(), error))
      << error;
  ASSERT_GE(s.mount.results.foundFileSystems.size(), 1u);
  EXPECT_EQ(s.mount.results.foundFileSystems[0].label, "NTFS @128");
  const auto deep = liveFiles(s.mount);

  // The standard scan of the same volume.
  Selection part;
  part.fsType = FsType::Ntfs;
  part.rangeStart = 128;
  part.rangeLength = 59392;
  part.rangeEnd = 128 + 59392 - 1;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  ASSERT_EQ(runStandardScan(*s.reader, part, vp, runs, tree, stop, nullObserver()), ScanOutcome::Done);
  std::map<std::string, std::uint64_t> standard;
  for (const auto& f : tree.ntfsFiles) {
    const std::string p = ntfsPath(tree, f.parentRecord, f.name);
    // Records flagged as view indexes are files to the standard scan only.
    if (!f.deleted && !p.empty() && p.rfind("/$Extend/", 0) != 0) standard[p] = f.size;
  }
  std::map<std::string, std::uint64_t> deepOutsideExtend;
  for (auto& [p, size] : deep)
    if (p.rfind("/$Extend/", 0) != 0) deepOutsideExtend[p] = size;
  dropViewIndexFiles(standard);
  EXPECT_EQ(mapDiff(deepOutsideExtend, standard), "");

  if (auto fls = flsFiles(*image, 128)) {
    dropViewIndexFiles(*fls);
    EXPECT_EQ(mapDiff(deep, *fls), "");
  }

  // Every live file that is not a system file reads back as icat gives it.
  int status = 0;
  test::runCommand("command -v icat", &status);
  if (status != 0) return;
  std::size_t compared = 0;
  for (auto& [p, f] : listedFiles(s.mount)) {
    if (f.row.deleted || p.find("/$") != std::string::npos || compared >= 25) continue;
    const std::string inode =
        test::runCommand("ifind -o 128 -n '" + p.substr(1) + "' '" + *image + "'", &status);
    if (status != 0 || inode.empty()) continue;
    const std::string want = test::sha256Hex(
        test::runCommand("icat -o 128 '" + *image + "' " + inode.substr(0, inode.find('\n')), &status));
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, f), want) << p;
    ++compared;
  }
  EXPECT_GT(compared, 10u);
}

// --- what Windows writes: compressed files, streams, a deleted tree -------------

// The deep scan of a volume written through ntfs-3g with compression and
// named streams rebuilds what the standard scan lists: the deleted folder
// with its deleted subfolder and their files (no placeholder folder), each
// path once, the system files once, and every file reads back as written.
TEST(DeepFixtures, NtfsWithCompressionAndStreamsRebuildsWhatTheStandardScanLists) {
  const std::string image = test::fixtureImage("ntfs_windows");
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Ntfs, 0, 12288), 1));
  std::map<std::string, int> rowsPerPath;
  const auto listed = listedFiles(s.mount);
  NtfsFileSet files = s.mount.ntfsFiles();
  const FolderTree& ft = s.mount.tree.folderTree();
  for (std::uint32_t item = 1; item < ft.size(); ++item) {
    const std::int64_t fi = ft.item(item).folder;
    const std::uint32_t id = fi < 0 ? kNtfsRootRecord : s.mount.tree.ntfsFolders[static_cast<std::size_t>(fi)].recordNumber;
    if (fi < 0 && item != 1) continue;
    for (const ListRow& r : listNtfsFolder(s.mount.tree, files, id))
      if (!r.folder) ++rowsPerPath[(item == 1 ? std::string() : ft.path(item)) + "/" + r.name];
  }
  for (auto& [p, n] : rowsPerPath) EXPECT_EQ(n, 1) << p << " listed " << n << " times";
  EXPECT_EQ(rowsPerPath.count("/$MFT"), 1u);
  for (const std::string& folder : listedFolders(s.mount)) EXPECT_NE(folder.rfind("/Dir", 0), 0u) << folder;

  std::size_t compared = 0;
  for (const ManifestEntry& e : test::readManifestEntries("ntfs_windows", "ntfs_windows")) {
    if (e.kind != "file") continue;
    auto it = listed.find(e.path);
    ASSERT_NE(it, listed.end()) << e.path << " not listed";
    EXPECT_EQ(it->second.row.deleted, e.deleted) << e.path;
    EXPECT_EQ(it->second.row.size, e.size) << e.path;
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
    ++compared;
  }
  EXPECT_GE(compared, 60u);
}

// Disks of 4,096-byte sectors (and MFT records): the deep scan of the whole
// disk finds the volume and rebuilds every file of the manifest, deleted
// ones too, byte for byte.
struct Deep4kCase {
  const char* fixture;
  const char* volume;
  FsType fs;
  SectorNo diskSectors;  // of 4,096 bytes
};

class Deep4k : public ::testing::TestWithParam<Deep4kCase> {};

TEST_P(Deep4k, RebuildsEveryFileOfTheManifest) {
  const auto& c = GetParam();
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, test::fixtureImage(c.fixture), scanRange(c.fs, 0, c.diskSectors * 8), 1));
  EXPECT_EQ(s.reader->sectorSize(), 4096u);
  const auto listed = listedFiles(s.mount);
  std::size_t compared = 0;
  for (const ManifestEntry& e : test::readManifestEntries(c.fixture, c.volume)) {
    if (e.kind != "file") continue;
    // A deleted FAT entry without a long name keeps its short name, its first character lost.
    auto key = [&](const std::string& p) { return c.fs == FsType::Ntfs ? p : fatKey(p); };
    auto it = listed.find(key(e.path));
    if (it == listed.end() && e.deleted) it = listed.find(key(deletedShortName(e.path)));
    ASSERT_NE(it, listed.end()) << e.path << " not listed";
    EXPECT_EQ(recoveredHash(s.mount, *s.reader, it->second), e.sha256) << e.path;
    ++compared;
  }
  EXPECT_GE(compared, 5u);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Deep4k,
                         ::testing::Values(Deep4kCase{"ntfs4k", "v", FsType::Ntfs, 4096},
                                           Deep4kCase{"gpt4k", "p2", FsType::Ntfs, 16384},
                                           Deep4kCase{"fat4k", "v", FsType::Fat16, 8192}),
                         [](const auto& info) { return std::string(info.param.fixture); });

// A folder whose MFT record is gone: its files are shown under a placeholder
// folder, as the standard scan shows them.
TEST(DeepFixtures, NtfsFolderWhoseRecordIsGoneKeepsItsFilesUnderAPlaceholder) {
  const std::string image = test::makeTempDir("lostfolder") + "/image";
  std::filesystem::copy_file(test::fixtureImage("ntfs_windows"), image);
  // /Keep is record 118; the MFT begins at sector 32 and is contiguous there.
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((32 + 2 * 118) * 512);
    const std::string zeros(1024, '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  Scanned s;
  ASSERT_TRUE(scanAndMount(s, image, scanRange(FsType::Ntfs, 0, 12288), 1));
  const auto listed = listedFiles(s.mount);
  EXPECT_EQ(listed.count("/Keep/kept.txt"), 0u);
  ASSERT_EQ(listed.count("/Dir0/kept.txt"), 1u);
  EXPECT_EQ(listed.at("/Dir0/kept.txt").row.size, 1200u);
}

}  // namespace
}  // namespace osprin
