// The disk being recovered is never written: a whole run over the sample
// disk (partition list, lost partition search, standard scan, recovery,
// Open, snapshot save and load, deep scan, mount, recovery again) leaves its
// bytes as they were, through an image file and through a read-only loop
// device; and every open of a disk in the sources is read-only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "app/session.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace osprin {
namespace {

struct YesObserver : Observer {
  bool ask(std::string_view) override { return true; }
};

// The open disk's descriptor is read-only.
void expectReadOnlyDescriptor(Session& s) {
  auto* file = dynamic_cast<FileBlockSource*>(s.reader->source());
  ASSERT_NE(file, nullptr);
  const int flags = fcntl(file->fd(), F_GETFL);
  ASSERT_GE(flags, 0);
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
}

// Everything a run does with a disk, on drive 0 of the session.
void fullCycle(Session& s) {
  std::string err;
  ASSERT_TRUE(s.openDrive(0, err)) << err;
  expectReadOnlyDescriptor(s);
  StopFlag stop{0};
  YesObserver obs;
  ASSERT_TRUE(s.readPartitionTables());
  const std::vector<PartitionEntry> parts = s.partitions;
  ASSERT_EQ(parts.size(), 4u);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    s.partitions = parts;
    ASSERT_TRUE(s.selectPartition(i));
    ASSERT_EQ(s.standardScan(stop, obs), ScanOutcome::Done) << i;
    const std::string dest = test::makeTempDir("ro-standard");
    RecoveryFlags flags;
    const auto rows = s.listFolder(s.rootIdentity());
    RecoveryResult r = s.recoverRows(rows, dest, flags, obs);
    EXPECT_GT(r.filesSaved, 0u);
    for (const ListRow& row : rows)
      if (!row.folder) {
        s.openRow(row, test::makeTempDir("ro-open"), flags, obs);
        break;
      }
    std::string written;
    ASSERT_TRUE(s.saveSnapshot(test::makeTempDir("ro-snap") + "/snap", err, &written)) << err;
    ASSERT_EQ(s.loadSnapshot(written, err), SnapshotLoadStatus::Ok) << err;
    s.recoverRows(s.listFolder(s.rootIdentity()), test::makeTempDir("ro-snapshot-recovery"), flags, obs);

    const PartitionEntry& p = parts[i];
    ASSERT_EQ(s.setScanRange(p.fsType, std::to_string(p.start), std::to_string(std::uint64_t{p.start} + p.length)), "");
    s.deepScan(stop, obs);
    ASSERT_GE(s.deep.foundFileSystems.size(), 1u) << i;
    ASSERT_FALSE(s.selectFoundFileSystem(1).empty());
    s.mountFound(stop, obs);
    r = s.recoverRows(s.listFolder(s.rootIdentity()), test::makeTempDir("ro-deep"), flags, obs);
    EXPECT_GT(r.filesSaved, 0u);
    ASSERT_TRUE(s.saveSnapshot(test::makeTempDir("ro-deep-snap") + "/snap", err, &written)) << err;
  }
  s.searchLostPartitions(stop, obs);
  s.closeDrive();
}

struct FileState {
  std::string sha;
  struct timespec mtime {};
  off_t size = 0;
};

FileState stateOf(const std::string& path) {
  FileState st;
  st.sha = test::sha256File(path);
  struct stat sb {};
  EXPECT_EQ(stat(path.c_str(), &sb), 0);
  st.mtime = sb.st_mtim;
  st.size = sb.st_size;
  return st;
}

void expectSame(const FileState& a, const FileState& b) {
  EXPECT_EQ(a.sha, b.sha);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.mtime.tv_sec, b.mtime.tv_sec);
  EXPECT_EQ(a.mtime.tv_nsec, b.mtime.tv_nsec);
}

TEST(SourceNeverWritten, ImageFileIsUnchangedByAWholeRun) {
  // A copy of its own, so that no other test reads it meanwhile.
  const std::string image = test::makeTempDir("ro-image") + "/sample.img";
  fs::copy_file(test::fixtureImage("sample"), image);
  const FileState before = stateOf(image);
  Session s;
  s.enumerateDrives({image}, test::makeTempDir("no-sys"));
  ASSERT_EQ(s.drives.size(), 1u);
  fullCycle(s);
  expectSame(before, stateOf(image));
}


TEST(SourceNeverWritten, ReadOnlyLoopDeviceIsUnchangedByAWholeRun) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  if (access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/loop-control is not usable";
  int status = 0;
  test::runCommand("command -v losetup >/dev/null 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "losetup is not installed";

  const std::string image = test::makeTempDir("ro-loop") + "/sample.img";
  fs::copy_file(test::fixtureImage("sample"), image);
  const FileState before = stateOf(image);
  {
    test::ReadOnlyLoop loop(image);
    if (loop.device().empty()) GTEST_SKIP() << "losetup could not attach a loop device";
    // The kernel holds the device read-only.
    const int fd = open(loop.device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int ro = 0;
    EXPECT_EQ(ioctl(fd, BLKROGET, &ro), 0);
    EXPECT_EQ(ro, 1);
    close(fd);
    const std::string deviceSha = test::sha256File(loop.device());

    Session s;
    std::string err;
    ASSERT_TRUE(s.addImage(loop.device(), err)) << err;
    EXPECT_FALSE(s.drives[0].isImage);
    fullCycle(s);
    EXPECT_EQ(test::sha256File(loop.device()), deviceSha);
    // The block device is read with O_DIRECT through an aligned buffer:
    // requests of any sector offset and length give the image's bytes.
    auto file = FileBlockSource::open(loop.device(), err);
    ASSERT_TRUE(file) << err;
    EXPECT_TRUE(file->direct());
    const std::string bytes = test::readFile(image);
    for (auto [off, len] : {std::pair<std::uint64_t, std::size_t>{0, 512}, {3 * 512, 1536}, {4096 + 512, 3 << 20},
                            {bytes.size() - 512, 512}}) {
      std::string got(len, '\0');
      ASSERT_TRUE(file->readAt(off, got.data(), len)) << off;
      EXPECT_TRUE(got == bytes.substr(off, len)) << off;
    }
    std::string past(512, '\0');
    EXPECT_FALSE(file->readAt(bytes.size(), past.data(), 512));
    EXPECT_TRUE(file->direct());
  }
  expectSame(before, stateOf(image));
}

// The sources: every open of a disk (src/core/disk, where devices and
// images are opened) asks for reading only; nothing in the program opens
// anything for reading and writing; files are written only by recovery, its
// report and snapshots, which write to their own destinations.
TEST(SourceNeverWritten, EveryOpenOfADiskInTheSourcesIsReadOnly) {
  const fs::path src = fs::path(OSPRIN_SOURCE_DIR) / "src";
  // The system's open, not a class's own (FileBlockSource::open).
  const std::regex openCall(R"((^|[^\w])(::open|\bopen64|\bopenat)\s*\(([^;]*)\);)");
  std::set<std::string> writers;
  int diskOpens = 0;
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (!e.is_regular_file()) continue;
    const std::string ext = e.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    std::ifstream in(e.path());
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    const std::string rel = fs::relative(e.path(), src).string();
    EXPECT_EQ(text.find("O_RDWR"), std::string::npos) << rel;
    EXPECT_EQ(text.find("QIODevice::ReadWrite"), std::string::npos) << rel;
    EXPECT_EQ(text.find("fopen"), std::string::npos) << rel;
    EXPECT_EQ(text.find("ofstream"), std::string::npos) << rel;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), openCall); it != std::sregex_iterator(); ++it) {
      const std::string args = (*it)[3];
      const bool writes = args.find("O_WRONLY") != std::string::npos || args.find("O_CREAT") != std::string::npos ||
                          args.find("O_TRUNC") != std::string::npos || args.find("O_APPEND") != std::string::npos;
      if (rel.rfind("core/disk/", 0) == 0) {
        ++diskOpens;
        EXPECT_NE(args.find("O_RDONLY"), std::string::npos) << rel << ": " << it->str();
        EXPECT_FALSE(writes) << rel << ": " << it->str();
      } else if (writes) {
        writers.insert(rel);
      }
    }
  }
  EXPECT_GE(diskOpens, 2);  // the image or device, and the device's geometry query

  // The image libraries are asked for reading only, too.
  const std::regex libOpen(R"(\b(lib(ewf|vhdi|vmdk|qcow)_(handle|file)_open)\s*\(([^;]*)\))");
  std::set<std::string> libraries;
  for (const auto& e : fs::directory_iterator(src / "core" / "disk")) {
    std::ifstream in(e.path());
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    for (auto it = std::sregex_iterator(text.begin(), text.end(), libOpen); it != std::sregex_iterator(); ++it) {
      const std::string args = (*it)[4];
      libraries.insert((*it)[2]);
      EXPECT_NE(args.find("_OPEN_READ"), std::string::npos) << it->str();
      EXPECT_EQ(args.find("WRITE"), std::string::npos) << it->str();
    }
  }
  EXPECT_EQ(libraries, (std::set<std::string>{"ewf", "qcow", "vhdi", "vmdk"}));
  EXPECT_EQ(writers, (std::set<std::string>{"core/recovery/extract.cpp", "core/recovery/report.cpp",
                                            "core/snapshot/snapshot.cpp"}));
}

}  // namespace
}  // namespace osprin
