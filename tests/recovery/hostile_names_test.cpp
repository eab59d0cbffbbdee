// A real volume whose names were patched to "..", "." and names holding '/':
// recovery must still write inside the destination folder only.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace osprin
