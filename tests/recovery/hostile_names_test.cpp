// A real volume whose names were patched to "..", "." and names holding '/':
// recovery must still write inside the destination folder only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "harness.h"
#include "recovery/extract.h"
#include "support/fixtures.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

namespace fs = std::filesystem;

// Renames every NTFS file-name value (in file records and index entries)
// that holds `from` to `to`, which must not be longer. A name that crosses
// the last two bytes of a sector (where the update sequence lives) is left.
int patchNtfsName(std::string& img, const std::string& from, const std::string& to) {
  std::string pat;
  for (char c : from) {
    pat += c;
    pat += '\0';
  }
  int patched = 0;
  for (std::size_t i = img.find(pat); i != std::string::npos; i = img.find(pat, i + 1)) {
    if (i < 66 || static_cast<unsigned char>(img[i - 2]) != from.size()) continue;
    const std::size_t a = (i - 2) % 512, b = (i + pat.size()) % 512;
    if ((i - 2) / 512 != (i + pat.size()) / 512 || a > 509 || b > 510) continue;
    img[i - 2] = static_cast<char>(to.size());
    for (std::size_t k = 0; k < pat.size(); ++k) img[i + k] = '\0';
    for (std::size_t k = 0; k < to.size(); ++k) img[i + 2 * k] = to[k];
    ++patched;
  }
  return patched;
}

// The NTFS partition of the sample disk with names patched to "..", "" and
// "x/../y": the MFT walker takes names as the records spell them.
TEST(HostileNames, NamesFromTheDiskStayInsideTheDestination) {
  if (!fs::exists(std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/sample.img.gz"))
    GTEST_SKIP() << "fixture sample not built";
  // The NTFS partition alone, as a bare volume.
  std::string img;
  {
    std::ifstream in(test::fixtureImage("sample"), std::ios::binary);
    in.seekg(71680LL * 512);
    img.resize(32768 * 512);
    in.read(img.data(), static_cast<std::streamsize>(img.size()));
    ASSERT_TRUE(in.good());
  }
  ASSERT_GT(patchNtfsName(img, "readme.txt", ".."), 0);
  ASSERT_GT(patchNtfsName(img, "Documents", ""), 0);
  ASSERT_GT(patchNtfsName(img, "Pictures", "x/../y"), 0);
  const std::string work = test::makeTempDir("hostile");
  const std::string patched = work + "/patched.img";
  std::ofstream(patched, std::ios::binary) << img;

  auto reader = test::openReader(patched);
  Selection sel;
  sel.fsType = FsType::Ntfs;
  sel.rangeStart = 0;
  sel.rangeEnd = 32767;
  sel.rangeLength = sel.rangeEnd - sel.rangeStart + 1;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  StopFlag stop{0};
  ASSERT_EQ(runStandardScan(*reader, sel, vp, runs, tree, stop, nullObserver()), ScanOutcome::Done);
  ParentIndex index;
  NtfsFileSet files(tree.ntfsFiles, index);
  auto rows = listNtfsFolder(tree, files, kNtfsRootRecord);
  std::set<std::string> names;
  for (const auto& r : rows) names.insert(r.name);
  std::string all;
  for (const auto& n : names) all += "[" + n + "]";
  ASSERT_TRUE(names.count("..") && names.count("") && names.count("x/../y")) << "the scan lists " << all;

  RecoverySettings settings;
  settings.deletedPolicy = DeletedPolicy::ExcludeDeleted;
  FilterTable filters;
  RecoveryFlags flags;
  RecoveryContext ctx{*reader, vp, tree, files, ScanType::Standard, settings, filters};
  const std::string outer = test::makeTempDir("hostile-out");
  const std::string dest = outer + "/dest";
  auto res = recoverListRows(ctx, rows, dest, flags, nullObserver());
  EXPECT_TRUE(res.errors.empty());

  for (const auto& e : test::treeOf(outer)) EXPECT_EQ(e.rfind("/dest", 0), 0u) << e;
  std::map<std::string, std::string> sha;
  for (const auto& e : test::readManifestEntries("sample", "p2")) sha[e.path] = e.sha256;
  EXPECT_EQ(test::sha256File(dest + "/_.."), sha.at("/readme.txt"));
  EXPECT_EQ(test::sha256File(dest + "/_/Letters/letter one.txt"), sha.at("/Documents/Letters/letter one.txt"));
  EXPECT_EQ(test::sha256File(dest + "/x_.._y/photo.jpg"), sha.at("/Pictures/photo.jpg"));
}

// The NTFS partition of the sample disk, scanned, ready for recovery.
struct SampleNtfs {
  std::unique_ptr<SectorReader> reader;
  Selection sel;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  ParentIndex index;
  RecoverySettings settings;
  FilterTable filters;
  RecoveryFlags flags;

  bool scan() {
    reader = test::openReader(test::fixtureImage("sample"));
    sel.fsType = FsType::Ntfs;
    sel.rangeStart = 71680;
    sel.rangeLength = 32768;
    sel.rangeEnd = sel.rangeStart + sel.rangeLength - 1;
    StopFlag stop{0};
    settings.deletedPolicy = DeletedPolicy::ExcludeDeleted;
    return runStandardScan(*reader, sel, vp, runs, tree, stop, nullObserver()) == ScanOutcome::Done;
  }
  RecoveryResult recover(const std::string& dest) {
    NtfsFileSet files(tree.ntfsFiles, index);
    auto rows = listNtfsFolder(tree, files, kNtfsRootRecord);
    RecoveryContext ctx{*reader, vp, tree, files, ScanType::Standard, settings, filters};
    return recoverListRows(ctx, rows, dest, flags, nullObserver());
  }
};

// Symbolic links already in the destination, named like a recovered folder
// and a recovered file, leading outside it: with "Overwrite duplicate
// file(s)" nothing outside is written or replaced; the folder link is
// reported and its files are not written, the file link itself is replaced.
TEST(HostileNames, SymbolicLinksInTheDestinationAreNeverFollowed) {
  if (!fs::exists(std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/sample.img.gz"))
    GTEST_SKIP() << "fixture sample not built";
  SampleNtfs v;
  ASSERT_TRUE(v.scan());
  v.settings.duplicatePolicy = DuplicatePolicy::Overwrite;
  const std::string outside = test::makeTempDir("outside");
  std::ofstream(outside + "/readme.txt") << "keep me";
  ::mkdir((outside + "/Letters").c_str(), 0755);
  const std::string dest = test::makeTempDir("links");
  ASSERT_EQ(::symlink(outside.c_str(), (dest + "/Documents").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/readme.txt").c_str(), (dest + "/readme.txt").c_str()), 0);
  const auto before = test::treeOf(outside);
  const RecoveryResult res = v.recover(dest);

  EXPECT_EQ(test::treeOf(outside), before);
  EXPECT_EQ(test::readFile(outside + "/readme.txt"), "keep me");
  // The file link was replaced by the recovered file.
  std::map<std::string, std::string> sha;
  for (const auto& e : test::readManifestEntries("sample", "p2")) sha[e.path] = e.sha256;
  struct stat st {};
  ASSERT_EQ(::lstat((dest + "/readme.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(test::sha256File(dest + "/readme.txt"), sha.at("/readme.txt"));
  // The folder link stays a link; its files failed, each named, with the reason.
  ASSERT_EQ(::lstat((dest + "/Documents").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  std::size_t below = 0;
  for (const FileResult& f : res.files) {
    if (f.path.rfind(dest + "/Documents/", 0) != 0) continue;
    ++below;
    EXPECT_EQ(f.outcome, FileOutcome::Failed) << f.path;
    EXPECT_NE(f.reason.find("symbolic link"), std::string::npos) << f.reason;
  }
  EXPECT_GT(below, 0u);
  EXPECT_EQ(res.problemCount(), below);
  ASSERT_FALSE(res.errors.empty());
  EXPECT_NE(res.errors[0].find(dest + "/Documents is a symbolic link"), std::string::npos) << res.errors[0];
  // Nothing is left under a partial name.
  for (const auto& e : test::treeOf(dest)) EXPECT_FALSE(isPartialName(fs::path(e).filename().string())) << e;
}

// A destination that fills up (a 1 MiB tmpfs, when the tests run as root):
// the run ends with the full destination named, the file that did not fit
// is removed, never counted, and the files after it are listed as not written.
TEST(HostileNames, AFullDestinationEndsTheRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  if (!fs::exists(std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/sample.img.gz"))
    GTEST_SKIP() << "fixture sample not built";
  SampleNtfs v;
  ASSERT_TRUE(v.scan());
  const std::string mnt = test::makeTempDir("small");
  int rc = 0;
  test::runCommand("mount -t tmpfs -o size=256k tmpfs '" + mnt + "' 2>&1", &rc);
  if (rc != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  const RecoveryResult res = v.recover(mnt + "/dest");
  std::vector<std::string> left;
  for (const auto& e : test::treeOf(mnt + "/dest"))
    if (fs::is_regular_file(mnt + "/dest" + e)) left.push_back(e);
  test::runCommand("umount '" + mnt + "'");
  EXPECT_TRUE(res.destinationFull);
  EXPECT_FALSE(res.stopped);
  std::size_t whole = 0, failed = 0;
  for (const FileResult& f : res.files) {
    if (f.outcome == FileOutcome::Whole) ++whole;
    if (f.outcome == FileOutcome::Failed) {
      ++failed;
      EXPECT_NE(f.reason.find("full"), std::string::npos) << f.reason;
    }
  }
  EXPECT_EQ(whole, res.filesSaved);
  EXPECT_GT(failed, 0u);
  EXPECT_EQ(left.size(), res.filesSaved);  // only whole files remain
  for (const auto& path : left) EXPECT_FALSE(isPartialName(fs::path(path).filename().string())) << path;
}

}  // namespace
}  // namespace osprin
