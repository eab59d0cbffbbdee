#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>

#include "app/session.h"
#include "app/texts.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace osprin {
namespace {

// A session on the sample disk with its drive open.
struct SampleSession {
  Session s;
  StopFlag stop{0};
  SampleSession() {
    s.enumerateDrives({test::fixtureImage("sample")}, test::makeTempDir("nosys"));
    std::string err;
    EXPECT_EQ(s.drives.size(), 1u);
    EXPECT_TRUE(s.openDrive(0, err)) << err;
  }
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Every path reachable from the root: "/a/b" -> row. FAT short names are
// stored in upper case (the tools that made the fixture kept the case in
// flags that the walker does not read), so FAT paths are compared in lower
// case.
std::map<std::string, ListRow> walk(Session& s) {
  std::map<std::string, ListRow> out;
  std::vector<std::pair<std::string, std::uint32_t>> todo{{"", FolderTree::kRoot}};
  while (!todo.empty()) {
    auto [prefix, item] = todo.back();
    todo.pop_back();
    for (const auto& row : s.listItem(item)) {
      std::string name = s.usesFatTree() ? lower(row.name) : row.name;
      out[prefix + "/" + name] = row;
      if (row.folder) todo.emplace_back(prefix + "/" + name, static_cast<std::uint32_t>(row.id));
    }
  }
  return out;
}

TEST(Session, StandardScanOfEachPartitionMatchesTheManifest) {
  SampleSession t;
  ASSERT_TRUE(t.s.readPartitionTables());
  ASSERT_EQ(t.s.partitions.size(), 4u);
  const char* keys[] = {"p1", "p2", "p5", "p6"};
  for (std::size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(t.s.selectPartition(i));
    EXPECT_EQ(t.s.sel.rangeTag, i);
    ASSERT_EQ(t.s.standardScan(t.stop, nullObserver()), ScanOutcome::Done) << keys[i];
    auto rows = walk(t.s);
    for (const auto& e : test::readManifestEntries("sample", keys[i])) {
      // A deleted FAT entry without a long name has lost its first letter
      // (listed as 'x'); the FAT tests check those names.
      if (t.s.usesFatTree() && e.deleted) continue;
      auto it = rows.find(t.s.usesFatTree() ? lower(e.path) : e.path);
      ASSERT_NE(it, rows.end()) << keys[i] << " " << e.path;
      EXPECT_EQ(it->second.folder, e.kind == "folder") << e.path;
      EXPECT_EQ(it->second.deleted, e.deleted) << keys[i] << " " << e.path;
      if (e.kind == "file") {
        EXPECT_EQ(it->second.size, e.size) << e.path;
      }
    }
  }
}

TEST(Session, RecoverSnapshotAndRecoverAgain) {
  SampleSession t;
  ASSERT_TRUE(t.s.readPartitionTables());
  ASSERT_TRUE(t.s.selectPartition(1));  // NTFS
  ASSERT_EQ(t.s.standardScan(t.stop, nullObserver()), ScanOutcome::Done);
  auto rootRows = t.s.listFolder(t.s.rootIdentity());
  std::string dest = test::makeTempDir("rec");
  RecoveryFlags flags;
  auto result = t.s.recoverRows(rootRows, dest, flags, nullObserver());
  EXPECT_TRUE(result.errors.empty());
  std::size_t checked = 0;
  for (const auto& e : test::readManifestEntries("sample", "p2")) {
    if (e.kind != "file" || e.deleted) continue;
    EXPECT_EQ(test::sha256File(dest + e.path), e.sha256) << e.path;
    ++checked;
  }
  EXPECT_GT(checked, 3u);

  std::string snapDir = test::makeTempDir("snap");
  std::string err, written;
  ASSERT_TRUE(t.s.saveSnapshot(snapDir + "/scan1", err, &written)) << err;
  EXPECT_EQ(written, snapDir + "/SCAN1.ZQRT");

  // A new session on the same disk loads it without scanning.
  SampleSession u;
  std::string otherDisk = "unset";
  ASSERT_EQ(u.s.loadSnapshot(written, err, &otherDisk), SnapshotLoadStatus::Ok) << err;
  EXPECT_EQ(otherDisk, "");
  EXPECT_EQ(u.s.vp.fsType, FsType::Ntfs);
  EXPECT_EQ(u.s.sel.rangeTag, 1);
  EXPECT_EQ(walk(u.s).size(), walk(t.s).size());
  std::string dest2 = test::makeTempDir("rec2");
  auto again = u.s.recoverRows(u.s.listFolder(u.s.rootIdentity()), dest2, flags, nullObserver());
  EXPECT_EQ(again.filesSaved, result.filesSaved);
  for (const auto& e : test::readManifestEntries("sample", "p2"))
    if (e.kind == "file" && !e.deleted) {
      EXPECT_EQ(test::sha256File(dest2 + e.path), e.sha256) << e.path;
    }

  // A damaged snapshot leaves the loaded state alone.
  std::string bad = snapDir + "/BAD.ZQRT";
  std::string bytes = test::readFile(written);
  bytes.resize(bytes.size() - 7);
  { std::ofstream(bad, std::ios::binary) << bytes; }
  auto before = walk(u.s).size();
  EXPECT_EQ(u.s.loadSnapshot(bad, err), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(walk(u.s).size(), before);
  EXPECT_EQ(u.s.loadSnapshot(snapDir + "/missing.ZQRT", err), SnapshotLoadStatus::OpenFailed);
  EXPECT_EQ(err, texts::kUnableToOpen);
}

struct OtherDiskCase {
  const char* what;
  std::uint64_t grow;    // bytes appended to the copy of the disk
  bool touchBootSector;  // one byte of the volume's boot code changed
  const char* warning;   // a part of the warning; "" for none
};

class SnapshotOfOtherDisk : public ::testing::TestWithParam<OtherDiskCase> {};

// A snapshot records the disk it was taken from; using it on another disk
// is warned about, and on the same disk it is not.
TEST_P(SnapshotOfOtherDisk, IsWarnedAbout) {
  SampleSession t;
  ASSERT_TRUE(t.s.readPartitionTables());
  ASSERT_TRUE(t.s.selectPartition(1));  // NTFS
  ASSERT_EQ(t.s.standardScan(t.stop, nullObserver()), ScanOutcome::Done);
  const std::string dir = test::makeTempDir("otherdisk");
  std::string err, written;
  ASSERT_TRUE(t.s.saveSnapshot(dir + "/scan", err, &written)) << err;

  std::string disk = test::readFile(test::fixtureImage("sample"));
  if (GetParam().touchBootSector) disk[t.s.vp.clusterBase * 512 + 0x100] ^= 0x5a;
  disk.append(GetParam().grow, '\0');
  const std::string copy = dir + "/copy.img";
  { std::ofstream(copy, std::ios::binary) << disk; }
  Session s;
  s.enumerateDrives({copy}, test::makeTempDir("nosys"));
  ASSERT_TRUE(s.openDrive(0, err)) << err;
  std::string warning = "unset";
  ASSERT_EQ(s.loadSnapshot(written, err, &warning), SnapshotLoadStatus::Ok) << err;
  if (*GetParam().warning == '\0') {
    EXPECT_EQ(warning, "");
  } else {
    EXPECT_NE(warning.find("another disk"), std::string::npos) << warning;
    EXPECT_NE(warning.find(GetParam().warning), std::string::npos) << warning;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SnapshotOfOtherDisk,
                         ::testing::Values(OtherDiskCase{"SameBytes", 0, false, ""},
                                           OtherDiskCase{"Larger", 1 << 20, false, "in sectors of 512 bytes"},
                                           OtherDiskCase{"OtherBootSector", 0, true, "first sector differs"}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(Session, FiltersRenameAndFolderStats) {
  SampleSession t;
  ASSERT_TRUE(t.s.readPartitionTables());
  ASSERT_TRUE(t.s.selectPartition(0));
  ASSERT_EQ(t.s.standardScan(t.stop, nullObserver()), ScanOutcome::Done);
  auto all = t.s.listFolder(t.s.rootIdentity());
  ASSERT_EQ(t.s.filters.insertFront("*.TXT"), FilterAddResult::Added);
  auto filtered = t.s.listFolder(t.s.rootIdentity());
  for (const auto& r : filtered)
    if (!r.folder) {
      EXPECT_NE(lower(r.name).find(".txt"), std::string::npos) << r.name;
    }
  std::size_t folders = 0;
  for (const auto& r : all) folders += r.folder;
  std::size_t folders2 = 0;
  for (const auto& r : filtered) folders2 += r.folder;
  EXPECT_EQ(folders, folders2);  // folders are never filtered
  t.s.filters.clear();

  // Rename a folder: the record and the tree label change.
  auto rows = t.s.listFolder(t.s.rootIdentity());
  auto docs = std::find_if(rows.begin(), rows.end(), [](const ListRow& r) { return r.name == "Documents"; });
  ASSERT_NE(docs, rows.end());
  FolderStats st = folderStats(t.s, static_cast<std::uint32_t>(docs->id));
  EXPECT_EQ(st.folders, 2u);  // Documents and Letters
  EXPECT_EQ(st.files, 2u);
  EXPECT_EQ(st.bytes, 3000u + 700u);
  ASSERT_TRUE(t.s.renameRow(*docs, "Papers"));
  EXPECT_EQ(t.s.tree.folderTree().item(static_cast<std::uint32_t>(docs->id)).label, "Papers");
  auto renamed = t.s.listFolder(t.s.rootIdentity());
  EXPECT_TRUE(std::any_of(renamed.begin(), renamed.end(), [](const ListRow& r) { return r.name == "Papers"; }));

  auto info = volumeInformation(t.s);
  EXPECT_EQ(info[0].value, "FAT32");
  EXPECT_EQ(info[7].value, "N/A");
}

TEST(Session, ScanRangeValidation) {
  Session s;
  EXPECT_EQ(s.setScanRange(FsType::Fat32, "100", "100"), texts::kEndNotBigger);
  EXPECT_EQ(s.setScanRange(FsType::Fat32, "x", "100"), texts::kStartInvalid);
  EXPECT_EQ(s.setScanRange(FsType::Fat32, "1", "-5"), texts::kEndInvalid);
  EXPECT_EQ(s.setScanRange(FsType::Ntfs, "0", "5000"), "");
  EXPECT_EQ(s.sel.rangeLength, 5000u);
  EXPECT_EQ(s.sel.rangeEnd, 5000u);
}

TEST(Session, DeepScanFindsTheFat32PartitionAndMountsIt) {
  SampleSession t;
  ASSERT_TRUE(t.s.readPartitionTables());
  const auto& p = t.s.partitions[0];
  ASSERT_EQ(t.s.setScanRange(FsType::Fat32, std::to_string(p.start), std::to_string(p.start + p.length - 1)), "");
  t.s.deepScan(t.stop, nullObserver());
  ASSERT_GE(t.s.deep.foundFileSystems.size(), 1u);
  auto panel = t.s.selectFoundFileSystem(1);
  ASSERT_FALSE(panel.empty());
  EXPECT_EQ(panel[0].label, "File System Start");
  t.s.mountFound(t.stop, nullObserver());
  auto rows = walk(t.s);
  for (const auto& e : test::readManifestEntries("sample", "p1")) {
    if (e.kind != "file" || e.deleted) continue;
    auto it = rows.find(lower(e.path));
    ASSERT_NE(it, rows.end()) << e.path;
    EXPECT_EQ(it->second.size, e.size);
  }
  // Back to the found file systems: the tree goes, the results stay.
  t.s.freeTrees();
  EXPECT_FALSE(t.s.deep.foundFileSystems.empty());
  t.s.freeDeepScan();
  EXPECT_TRUE(t.s.deep.foundFileSystems.empty());
}

TEST(Session, DeepScanOfAnExfatVolumeFormattedAgainAsTheWindowRunsIt) {
  Session s;
  StopFlag stop{0};
  s.enumerateDrives({test::fixtureImage("exfat_reformat")}, test::makeTempDir("nosys"));
  std::string err;
  ASSERT_TRUE(s.openDrive(0, err)) << err;
  ASSERT_EQ(s.setScanRange(FsType::Exfat, "0", "32768"), "");
  s.deepScan(stop, nullObserver());
  ASSERT_EQ(s.deep.foundFileSystems.size(), 1u);
  auto panel = s.selectFoundFileSystem(1);
  ASSERT_EQ(panel.size(), 3u);
  EXPECT_EQ(panel[0].value, "4080");
  EXPECT_EQ(panel[2].value, "14 MB");
  s.mountFound(stop, nullObserver());
  EXPECT_TRUE(s.usesFatTree());
  s.assessRecoverability();
  // The old files, under placeholders, deleted; their clusters are free in
  // the new volume's bitmap.
  std::size_t old = 0;
  for (const auto& [path, row] : walk(s)) {
    if (row.folder) continue;
    ++old;
    EXPECT_TRUE(row.deleted) << path;
    EXPECT_EQ(path.rfind("/dir", 0), 0u) << path;
    EXPECT_EQ(row.recoverable.verdict, Verdict::Intact) << path;
  }
  EXPECT_GE(old, 20u);
}

// ---- preview ---------------------------------------------------------------

struct PreviewCase {
  const char* fixture;
  const char* volume;     // manifest key
  int partition;          // -1: the volume is a range
  FsType fs;
  const char* start;
  const char* end;
};

class PreviewBytes : public ::testing::TestWithParam<PreviewCase> {};

// The preview of every file with known bytes (compressed NTFS files, files
// with streams, deleted files that can still be recovered) is what recovery
// writes: the whole file when the limit allows it, its first bytes otherwise.
TEST_P(PreviewBytes, AreTheBytesRecoveryWrites) {
  const PreviewCase& c = GetParam();
  Session s;
  s.enumerateDrives({test::fixtureImage(c.fixture)}, test::makeTempDir("nosys"));
  std::string err;
  ASSERT_TRUE(s.openDrive(0, err)) << err;
  if (c.partition >= 0) {
    ASSERT_TRUE(s.readPartitionTables());
    ASSERT_TRUE(s.selectPartition(static_cast<std::size_t>(c.partition)));
  } else {
    ASSERT_EQ(s.setScanRange(c.fs, c.start, c.end), "");
  }
  StopFlag stop{0};
  ASSERT_EQ(s.standardScan(stop, nullObserver()), ScanOutcome::Done);
  const auto rows = walk(s);
  std::atomic<int> cancel{0};
  int checked = 0;
  for (const auto& e : test::readManifestEntries(c.fixture, c.volume)) {
    if (e.kind != "file" || e.sha256.empty() || (e.deleted && (!e.recoverable || s.usesFatTree()))) continue;
    auto it = rows.find(s.usesFatTree() ? lower(e.path) : e.path);
    ASSERT_NE(it, rows.end()) << e.path;
    const Session::Preview whole = s.previewRow(it->second, static_cast<std::size_t>(e.size) + 1, cancel);
    ASSERT_TRUE(whole.ok) << e.path << ": " << whole.error;
    EXPECT_EQ(test::sha256Hex(std::string(whole.bytes.begin(), whole.bytes.end())), e.sha256) << e.path;
    const Session::Preview head = s.previewRow(it->second, 100, cancel);
    ASSERT_TRUE(head.ok) << e.path;
    EXPECT_EQ(head.bytes.size(), std::min<std::size_t>(100, whole.bytes.size())) << e.path;
    EXPECT_TRUE(std::equal(head.bytes.begin(), head.bytes.end(), whole.bytes.begin())) << e.path;
    ++checked;
  }
  EXPECT_GE(checked, 3);
  // A folder has no preview, and a cancelled one gives nothing.
  ListRow folder;
  folder.folder = true;
  EXPECT_FALSE(s.previewRow(folder, 10, cancel).ok);
  cancel.store(1);
  for (const auto& [path, row] : rows)
    if (!row.folder && row.size > 0) {
      EXPECT_FALSE(s.previewRow(row, 10, cancel).ok) << path;
      break;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, PreviewBytes,
                         ::testing::Values(PreviewCase{"sample", "p1", 0, FsType::None, "", ""},
                                           PreviewCase{"sample", "p2", 1, FsType::None, "", ""},
                                           PreviewCase{"ntfs_windows", "ntfs_windows", -1, FsType::Ntfs, "0", "12287"}),
                         [](const auto& i) { return std::string(i.param.fixture) + "_" + i.param.volume; });

}  // namespace
}  // namespace osprin
