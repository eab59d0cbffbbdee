// Recovery end to end on real volumes: the standard scan rebuilds the tree,
// "Recover All" on the root copies everything, and the files are compared
// with the fixtures' manifests and with The Sleuth Kit's icat.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "harness.h"
#include "exfat/dir_entry.h"
#include "recovery/extract.h"
#include "recovery/verdict.h"
#include "support/fixtures.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

namespace fs = std::filesystem;

struct Scanned {
  std::unique_ptr<SectorReader> reader;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  ParentIndex ntfsIndex;
  bool ok = false;

  NtfsFileSet ntfsFiles() { return NtfsFileSet(tree.ntfsFiles, ntfsIndex); }
};

std::unique_ptr<Scanned> scan(const std::string& image, FsType fsType, SectorNo start, SectorNo end) {
  auto s = std::make_unique<Scanned>();
  s->reader = test::openReader(image);
  Selection sel;
  sel.fsType = fsType;
  sel.rangeStart = start;
  sel.rangeEnd = end;
  sel.rangeLength = end - start + 1;
  StopFlag stop{0};
  s->ok = runStandardScan(*s->reader, sel, s->vp, s->runs, s->tree, stop, nullObserver()) == ScanOutcome::Done;
  return s;
}

RecoveryResult recoverRoot(Scanned& s, const std::string& dest, DeletedPolicy deleted) {
  RecoverySettings settings;
  settings.deletedPolicy = deleted;
  settings.recoverStreams = true;  // named streams come with their files, as with --all --streams
  FilterTable filters;
  RecoveryFlags flags;
  NtfsFileSet set = s.ntfsFiles();
  auto rows = usesFatTree(s.vp.fsType) ? listFatFolder(s.tree, kFatRootCluster) : listNtfsFolder(s.tree, set, kNtfsRootRecord);
  std::erase_if(rows, [](const ListRow& r) { return !r.stream.empty(); });
  RecoveryContext ctx{*s.reader, s.vp, s.tree, set, ScanType::Standard, settings, filters};
  return recoverListRows(ctx, rows, dest, flags, nullObserver());
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A path with the first character of every component dropped, and the
// "Copy (n ) of " of renamed duplicates: deleted FAT entries lose their first
// character, and deleted files of the same name are renamed.
std::string looseKey(const std::string& path) {
  std::string out;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    if (part.rfind("Copy (", 0) == 0) {
      const auto of = part.find(" ) of ");
      if (of != std::string::npos) part = part.substr(of + 6);
    }
    out += "/" + (part.empty() ? part : part.substr(1));
  }
  return out;
}

// Hash of every recovered file, by loose key.
std::multimap<std::string, std::string> recoveredByLooseKey(const std::string& dest) {
  std::multimap<std::string, std::string> m;
  for (const auto& e : fs::recursive_directory_iterator(dest))
    if (e.is_regular_file())
      m.emplace(lower(looseKey(e.path().string().substr(dest.size()))), test::sha256File(e.path().string()));
  return m;
}

struct TreeFile {
  std::string path;  // "/DIR/name" as the folder tree shows it
  bool deleted = false;
  std::uint64_t size = 0;
  std::uint32_t firstCluster = 0;  // FAT
};

// The files of the tree that are reachable from the root of the folder tree.
std::vector<TreeFile> treeFiles(Scanned& s) {
  std::vector<TreeFile> out;
  const FolderTree& ft = s.tree.folderTree();
  auto folderPath = [&](std::int64_t idx, std::uint32_t item, bool root) -> std::optional<std::string> {
    if (root) return std::string();
    if (idx < 0 || !ft.valid(item)) return std::nullopt;
    return ft.path(item);
  };
  if (usesFatTree(s.vp.fsType)) {
    for (const auto& f : s.tree.fatFiles) {
      const auto idx = s.tree.findFatFolder(f.parentCluster);
      const auto p = folderPath(idx, idx < 0 ? 0 : s.tree.fatFolders[static_cast<std::size_t>(idx)].treeItem,
                                f.parentCluster == kFatRootCluster);
      if (p) out.push_back({*p + "/" + f.name, f.deleted, f.size, f.firstCluster});
    }
  } else {
    for (const auto& f : s.tree.ntfsFiles) {
      const auto idx = s.tree.findNtfsFolder(f.parentRecord);
      const auto p = folderPath(idx, idx < 0 ? 0 : s.tree.ntfsFolders[static_cast<std::size_t>(idx)].treeItem,
                                f.parentRecord == kNtfsRootRecord);
      if (p) out.push_back({*p + "/" + f.name, f.deleted, f.size, 0});
    }
  }
  return out;
}

// Names are the scan's business: files are compared wherever the scan put
// them at the path the manifest gives (deleted ones up to the first
// character of their names).
void checkAgainstManifest(const std::string& fixture, const std::string& volumeKey, const std::string& image,
                          FsType fsType, SectorNo start, SectorNo end) {
  SCOPED_TRACE(fixture + " " + volumeKey);
  auto s = scan(image, fsType, start, end);
  ASSERT_TRUE(s->ok);
  const auto entries = test::readManifestEntries(fixture, volumeKey);
  ASSERT_FALSE(entries.empty());
  const auto files = treeFiles(*s);
  // Paths compare without regard to ASCII case: 8.3 names are stored in
  // upper case.
  std::map<std::string, std::string> livePaths;  // lower-cased -> as the tree has it
  std::set<std::string> deletedKeys;
  std::set<std::uint32_t> liveClusters;
  for (const auto& f : files)
    if (!f.deleted && f.firstCluster >= 2) liveClusters.insert(f.firstCluster);
  std::uint32_t expectSaved = 0;
  for (const auto& f : files) {
    if (f.deleted) {
      // A deleted FAT file whose first cluster a live file took is gone.
      if (!liveClusters.count(f.firstCluster)) deletedKeys.insert(lower(looseKey(f.path)));
    } else {
      livePaths.emplace(lower(f.path), f.path);
      ++expectSaved;  // empty files too
    }
  }

  // Live files: every one at its own path, byte for byte.
  const std::string live = test::makeTempDir("live");
  auto res = recoverRoot(*s, live, DeletedPolicy::ExcludeDeleted);
  for (const auto& e : res.errors) ADD_FAILURE() << e;
  EXPECT_TRUE(res.incomplete.empty());
  EXPECT_EQ(res.filesSaved, expectSaved);
  std::size_t compared = 0;
  for (const auto& e : entries) {
    if (e.kind != "file" || e.deleted || !livePaths.count(lower(e.path))) continue;
    const std::string p = live + livePaths.at(lower(e.path));
    ASSERT_TRUE(test::exists(p)) << e.path;
    EXPECT_EQ(test::sha256File(p), e.sha256) << e.path;
    ++compared;
  }
  EXPECT_GT(compared, 0u);

  // Deleted files whose clusters were not reused: the same bytes.
  const std::string gone = test::makeTempDir("deleted");
  recoverRoot(*s, gone, DeletedPolicy::OnlyDeleted);
  const auto byKey = recoveredByLooseKey(gone);
  for (const auto& e : entries) {
    if (e.kind != "file" || !e.deleted || !e.recoverable || !deletedKeys.count(lower(looseKey(e.path)))) continue;
    bool found = false;
    auto [lo, hi] = byKey.equal_range(lower(looseKey(e.path)));
    for (auto it = lo; it != hi; ++it) found = found || it->second == e.sha256;
    EXPECT_TRUE(found) << "deleted " << e.path << " not recovered intact";
  }
}

bool fixturePresent(const std::string& name) {
  const std::string base = std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + name;
  return fs::exists(base + ".img.gz") || fs::exists(base + ".img.tar.gz");
}

TEST(RecoverVolumes, Fat16FixtureMatchesItsManifest) {
  if (!fixturePresent("fat16vol")) GTEST_SKIP() << "fixture fat16vol not built";
  checkAgainstManifest("fat16vol", "fat16", test::fixtureImage("fat16vol"), FsType::Fat16, 0, 32767);
}

TEST(RecoverVolumes, Fat32FixtureMatchesItsManifest) {
  if (!fixturePresent("fat32vol")) GTEST_SKIP() << "fixture fat32vol not built";
  checkAgainstManifest("fat32vol", "fat32", test::fixtureImage("fat32vol"), FsType::Fat32, 0, 81919);
}

TEST(RecoverVolumes, WindowsFatFixtureMatchesItsManifest) {
  if (!fixturePresent("fatwin16")) GTEST_SKIP() << "fixture fatwin16 not built";
  checkAgainstManifest("fatwin16", "fatwin16", test::fixtureImage("fatwin16"), FsType::Fat16, 0, 16383);
}

TEST(RecoverVolumes, PartitionedDiskMatchesItsManifest) {
  if (!fixturePresent("sample")) GTEST_SKIP() << "fixture sample not built";
  const std::string image = test::fixtureImage("sample");
  checkAgainstManifest("sample", "p1", image, FsType::Fat32, 2048, 71679);
  checkAgainstManifest("sample", "p2", image, FsType::Ntfs, 71680, 104447);
  checkAgainstManifest("sample", "p5", image, FsType::Fat16, 106496, 122879);
  checkAgainstManifest("sample", "p6", image, FsType::Fat16, 124928, 141311);
}

class RecoverNtfsFixture : public ::testing::TestWithParam<const char*> {};

// The volumes of a manifest, each checked against its entries.
// ntfs: POSIX names, attribute lists, fragments; ntfs_windows: compressed
// files, named streams, valid data length, empty files; ntfs_2m: clusters of
// 2 MiB; huge_gpt: a 3 TiB disk whose FAT32 volume starts past 2^32 sectors.
TEST_P(RecoverNtfsFixture, MatchesItsManifest) {
  const std::string name = GetParam();
  if (!fixturePresent(name)) GTEST_SKIP() << "fixture " << name << " not built";
  std::ifstream in(test::fixtureManifestPath(name));
  auto j = nlohmann::json::parse(in);
  // The manifest counts the disk's own sectors; the scan takes 512-byte units.
  const SectorNo units = test::manifestSectorSize(name) / kSectorSize;
  for (auto& [key, vol] : j["volumes"].items())
    checkAgainstManifest(name, key, test::fixtureImage(name), parseFsType(vol["fs"].get<std::string>()),
                         vol["start"].get<SectorNo>() * units, (vol["end"].get<SectorNo>() + 1) * units - 1);
}

// fat4k, ntfs4k, gpt4k: 4,096-byte sectors (and MFT records), bare and in a GPT.
// exfatvol: exFAT with non-ASCII and 255-unit names, a fragmented file, a
// folder of 1,100 files, contiguous (NoFatChain) files live and deleted;
// exfat_mbr: exFAT and NTFS under the same partition type; exfat_gpt.
INSTANTIATE_TEST_SUITE_P(Fixtures, RecoverNtfsFixture,
                         ::testing::Values("ntfs", "ntfs_windows", "ntfs_2m", "huge_gpt", "fat4k", "ntfs4k", "gpt4k",
                                           "exfatvol", "exfat_mbr", "exfat_gpt"));

// The Sleuth Kit as oracle: every live regular file that fls lists is
// recovered with the bytes that icat gives.
bool haveSleuthKit() {
  int st = -1;
  test::runCommand("command -v fls >/dev/null && command -v icat >/dev/null", &st);
  return st == 0;
}

std::string q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// start and end in 512-byte units; sectorSize is the disk's (fls -b).
std::size_t checkAgainstIcat(const std::string& image, FsType fsType, SectorNo start, SectorNo end,
                             unsigned sectorSize = 512) {
  auto s = scan(image, fsType, start, end);
  EXPECT_TRUE(s->ok);
  std::set<std::string> paths;
  for (const auto& f : treeFiles(*s))
    if (!f.deleted) paths.insert(f.path);
  const std::string dest = test::makeTempDir("icat");
  auto res = recoverRoot(*s, dest, DeletedPolicy::ExcludeDeleted);
  std::string off = start ? " -o " + std::to_string(start / (sectorSize / kSectorSize)) + " " : " ";
  if (sectorSize != 512) off += "-b " + std::to_string(sectorSize) + " ";
  int st = 0;
  const std::string listing = test::runCommand("fls -r -p -F" + off + q(image), &st);
  EXPECT_EQ(st, 0);
  std::stringstream lines(listing);
  std::string line;
  std::size_t compared = 0;
  while (std::getline(lines, line)) {
    // Allocated regular files: "r/r 64-128-2:<tab>path" (deleted ones carry
    // a '*' before the address).
    if (line.size() < 5 || (line[0] != 'r' && line[0] != '-') || line.compare(1, 3, "/r ") != 0) continue;
    const auto colon = line.find(":\t");
    if (colon == std::string::npos) continue;
    const std::string inode = line.substr(4, colon - 4);
    if (inode.find_first_not_of("0123456789-") != std::string::npos) continue;
    const std::string path = "/" + line.substr(colon + 2);
    // Metadata files and virtual entries are not user files; named streams
    // ("name:stream") are.
    if (path.find("/$") != std::string::npos) continue;
    std::string ours = path;
    if (!paths.count(ours)) {
      // fls cuts names of more than 234 characters short: ours is the one
      // that begins with the name fls gives, in the same folder.
      auto it = paths.lower_bound(path);
      if (path.size() - path.rfind('/') > 234 && it != paths.end() && it->rfind(path, 0) == 0 &&
          it->find('/', path.size()) == std::string::npos)
        ours = *it;
      else
        continue;  // not in the tree the scan built
    }
    const std::string bytes = test::runCommand("icat" + off + q(image) + " " + inode, &st);
    EXPECT_EQ(st, 0) << path;
    // Each name as it can be written (at most 255 bytes on Linux).
    std::string written = dest;
    for (std::size_t at = 1; at <= ours.size();) {
      std::size_t slash = ours.find('/', at);
      if (slash == std::string::npos) slash = ours.size();
      written += "/" + safeComponent(ours.substr(at, slash - at));
      at = slash + 1;
    }
    EXPECT_TRUE(test::exists(written)) << image << ": " << path;
    EXPECT_EQ(test::sha256File(written), test::sha256Hex(bytes)) << image << ": " << path;
    ++compared;
  }
  for (const auto& e : res.errors) ADD_FAILURE() << e;
  return compared;
}

TEST(RecoverVolumes, CorpusFatVolumesMatchIcat) {
  if (!haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  bool any = false;
  std::size_t compared = 0;
  // The debugfatfs volumes were written by Windows: long Japanese names,
  // empty files named in characters no code page holds (each written).
  const std::pair<const char*, FsType> volumes[] = {{"fat16.raw", FsType::Fat16},
                                                    {"fat_dir.raw", FsType::Fat16},
                                                    {"debugfatfs-2020-fat16.img", FsType::Fat16},
                                                    {"debugfatfs-2023-fat32.img", FsType::Fat32}};
  for (const auto& [name, fsType] : volumes) {
    auto img = test::corpusImage(name);
    if (!img) continue;
    any = true;
    SCOPED_TRACE(name);
    compared += checkAgainstIcat(*img, fsType, 0, static_cast<SectorNo>(fs::file_size(*img) / 512 - 1));
  }
  if (!any) GTEST_SKIP() << "corpus absent";
  EXPECT_GT(compared, 0u);
}

// Disks of 4,096-byte sectors, which The Sleuth Kit reads with -b 4096, and
// the exFAT fixtures.
class Icat4k : public ::testing::TestWithParam<const char*> {};

TEST_P(Icat4k, LiveFilesMatchIcat) {
  if (!haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string name = GetParam();
  std::ifstream in(test::fixtureManifestPath(name));
  auto j = nlohmann::json::parse(in);
  const unsigned size = test::manifestSectorSize(name);
  const SectorNo units = size / kSectorSize;
  for (auto& [key, vol] : j["volumes"].items()) {
    SCOPED_TRACE(name + " " + key);
    EXPECT_GE(checkAgainstIcat(test::fixtureImage(name), parseFsType(vol["fs"].get<std::string>()),
                               vol["start"].get<SectorNo>() * units, (vol["end"].get<SectorNo>() + 1) * units - 1, size),
              2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Icat4k,
                         ::testing::Values("fat4k", "ntfs4k", "gpt4k", "exfatvol", "exfat_mbr", "exfat_gpt"));

// exFAT verdicts come from the allocation bitmap: a deleted contiguous file
// whose clusters are free is intact, one whose clusters were reused is not,
// and a deleted file that had a FAT chain (freed with it) is read
// contiguously by guess, which the verdict says.
TEST(RecoverVolumes, ExfatVerdictsFollowTheAllocationBitmap) {
  auto s = scan(test::fixtureImage("exfatvol"), FsType::Exfat, 0, 65535);
  ASSERT_TRUE(s->ok);
  NtfsFileSet none = s->ntfsFiles();
  const VerdictCounts counts = assessRecoverability(*s->reader, s->vp, s->tree, none, {});
  EXPECT_TRUE(counts.allocationRead);
  std::map<std::string, Recoverability> byPath;
  for (const auto& f : treeFiles(*s)) {
    for (const auto& n : s->tree.fatFiles)
      if (n.deleted && f.deleted && n.firstCluster == f.firstCluster && f.path.ends_with("/" + n.name))
        byPath[f.path] = n.recoverable;
  }
  ASSERT_TRUE(byPath.count("/Deleted contiguous.bin"));
  EXPECT_EQ(byPath["/Deleted contiguous.bin"].verdict, Verdict::Intact);
  EXPECT_EQ(byPath["/Photos/IMG_0003.JPG"].verdict, Verdict::Intact);
  // The live fragmented file took the first two spacers' clusters (the
  // third one's went to a file deleted since: free again, so no verdict can
  // tell).
  for (const char* p : {"/Scratch/spacer 1.bin", "/Scratch/spacer 2.bin"}) {
    ASSERT_TRUE(byPath.count(p)) << p;
    EXPECT_TRUE(byPath[p].verdict == Verdict::Overwritten || byPath[p].verdict == Verdict::Partial) << p;
  }
  ASSERT_TRUE(byPath.count("/Deleted fragmented.bin"));
  EXPECT_TRUE(byPath["/Deleted fragmented.bin"].guessedChain);
  EXPECT_NE(byPath["/Deleted fragmented.bin"].verdict, Verdict::Intact);
}

// Past an exFAT file's valid data length every reader sees zeros: the copy
// holds the bytes before it and zeros after, at the file's full size.
TEST(RecoverVolumes, ExfatBytesPastTheValidDataLengthAreZeros) {
  const std::string original = test::fixtureImage("exfatvol");
  auto s = scan(original, FsType::Exfat, 0, 65535);
  ASSERT_TRUE(s->ok);
  const auto photos = std::find_if(s->tree.fatFolders.begin(), s->tree.fatFolders.end(),
                                   [](const FatFolderNode& f) { return f.name == "Photos" && !f.deleted; });
  ASSERT_NE(photos, s->tree.fatFolders.end());
  std::string image = test::readFile(original);
  const std::size_t dir = static_cast<std::size_t>(s->vp.clusterSector(photos->firstCluster)) * kSectorSize;
  auto* bytes = reinterpret_cast<std::uint8_t*>(image.data());
  const std::size_t clusterBytes = std::size_t{s->vp.sectorsPerCluster} * kSectorSize;
  bool patched = false;
  for (std::size_t off = 0; off < clusterBytes && !patched; off += 32) {
    ExfatEntrySet set;
    const Bytes folder(bytes + dir, clusterBytes);
    if (readExfatEntry(folder, off, set) != ExfatEntryKind::FileSet || set.name != "IMG_0001.JPG") continue;
    bytes[dir + off + 32 + 8] = 0x10;  // valid data length 10,000 of 25,000
    bytes[dir + off + 32 + 9] = 0x27;
    bytes[dir + off + 32 + 10] = 0;
    const std::uint16_t sum = exfatSetChecksum(folder, off, set.entries);
    bytes[dir + off + 2] = static_cast<std::uint8_t>(sum);
    bytes[dir + off + 3] = static_cast<std::uint8_t>(sum >> 8);
    patched = true;
  }
  ASSERT_TRUE(patched);
  const std::string copy = test::makeTempDir("vdl") + "/exfat.img";
  std::ofstream(copy, std::ios::binary) << image;
  auto t = scan(copy, FsType::Exfat, 0, 65535);
  ASSERT_TRUE(t->ok);
  const std::string before = test::makeTempDir("vdl-before"), after = test::makeTempDir("vdl-after");
  recoverRoot(*s, before, DeletedPolicy::ExcludeDeleted);
  recoverRoot(*t, after, DeletedPolicy::ExcludeDeleted);
  const std::string a = test::readFile(before + "/Photos/IMG_0001.JPG"), b = test::readFile(after + "/Photos/IMG_0001.JPG");
  ASSERT_EQ(a.size(), 25000u);
  ASSERT_EQ(b.size(), 25000u);
  EXPECT_EQ(b.substr(0, 10000), a.substr(0, 10000));
  EXPECT_EQ(b.substr(10000), std::string(15000, '\0'));
}

TEST(RecoverVolumes, CorpusNtfsVolumesMatchIcat) {
  if (!haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  bool any = false;
  if (auto img = test::corpusImage("ntfs_index.raw")) {
    any = true;
    SCOPED_TRACE("ntfs_index.raw");
    EXPECT_GT(checkAgainstIcat(*img, FsType::Ntfs, 128, static_cast<SectorNo>(fs::file_size(*img) / 512 - 1)), 0u);
  }
  // ntfs3_attrlist: one file with 100 names (hard links), each recovered.
  for (const char* name : {"ntfs3.raw", "ntfs3_attrlist.raw"})
    if (auto img = test::corpusImage(name)) {
      any = true;
      SCOPED_TRACE(name);
      EXPECT_GT(checkAgainstIcat(*img, FsType::Ntfs, 0, static_cast<SectorNo>(fs::file_size(*img) / 512 - 1)), 0u);
    }
  // Formatted by Windows 10 with compression on for the whole volume.
  if (auto img = test::corpusImage("msuhanov-ntfs-ramslack.raw")) {
    any = true;
    SCOPED_TRACE("msuhanov-ntfs-ramslack.raw");
    EXPECT_GT(checkAgainstIcat(*img, FsType::Ntfs, 128, 2091135), 0u);
  }
  if (!any) GTEST_SKIP() << "corpus absent";
}

}  // namespace
}  // namespace osprin
