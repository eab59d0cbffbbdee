// Volumes built to make the scans do too much: directory chains that all run
// into the same clusters. The work and the tree must stay in proportion to
// the volume, in the standard scan and in the deep scan's mount.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/session.h"
#include "volume/fat_synth.h"

namespace osprin {
namespace {

using test::SynthFat;

// A FAT16 volume whose root holds one folder at cluster 2; clusters 2 to
// n + 1 form one chain, and each of them begins a sub-directory ("." and
// "..") holding a folder entry for the next cluster and 13 files. Every
// folder's chain runs through all the clusters after its own: read again
// for every folder, a chain of n clusters lists about 13 n^2 / 2 files
// (4000 clusters, two megabytes, made 104 million records).
SynthFat crossedChains(std::uint32_t n) {
  SynthFat v(FsType::Fat16, 32768, 1, 1, 128);
  SynthFat::shortEntry(v.entry(v.rootStart(), 0), "TOP        ", 0x10, 2, 0);
  std::vector<std::uint32_t> chain;
  for (std::uint32_t c = 2; c < 2 + n; ++c) chain.push_back(c);
  v.chain(chain);
  for (std::uint32_t c = 2; c < 2 + n; ++c) {
    v.dotEntries(c, 0);
    char name[16];
    std::snprintf(name, sizeof name, "D%07u   ", c + 1);
    SynthFat::shortEntry(v.entry(v.clusterSector(c), 2), std::string_view(name, 11), 0x10, c + 1, 0);
    for (std::uint32_t e = 3; e < 16; ++e) {
      std::snprintf(name, sizeof name, "F%05u%02uTXT", c, e);
      SynthFat::shortEntry(v.entry(v.clusterSector(c), e), std::string_view(name, 11), 0x20, 5, 10);
    }
  }
  return v;
}

TEST(HostileVolume, CrossedDirectoryChainsAreReadOnce) {
  constexpr std::uint32_t n = 3000;
  SynthFat v = crossedChains(n);
  Session s;
  s.reader = v.reader();
  ASSERT_EQ(s.setScanRange(FsType::Fat16, "0", std::to_string(v.totalSectors())), "");
  StopFlag stop{0};
  ASSERT_EQ(s.standardScan(stop, nullObserver()), ScanOutcome::Done);
  // Every folder is found, and each cluster's 13 files are listed at most
  // twice: under the chain that read the cluster first, and under the
  // folder that begins there.
  EXPECT_EQ(s.tree.fatFolders.size(), n + 1);
  EXPECT_GE(s.tree.fatFiles.size(), 13u * n);
  EXPECT_LE(s.tree.fatFiles.size(), 2u * 13 * n);

  // The deep scan finds the heads and mounts them the same way.
  ASSERT_EQ(s.setScanRange(FsType::Fat16, "0", std::to_string(v.totalSectors())), "");
  s.deepScan(stop, nullObserver());
  ASSERT_GE(s.deep.foundFileSystems.size(), 1u);
  ASSERT_FALSE(s.selectFoundFileSystem(1).empty());
  s.mountFound(stop, nullObserver());
  EXPECT_GE(s.tree.fatFolders.size(), n - 1);
  EXPECT_GE(s.tree.fatFiles.size(), 13u * (n - 1));
  EXPECT_LE(s.tree.fatFiles.size(), 2u * 13 * n);
}

// A healthy volume whose directories span several clusters keeps all of
// its entries: only chains that meet are cut.
TEST(HostileVolume, DirectoriesOfSeveralClustersAreReadWhole) {
  SynthFat v(FsType::Fat16, 4096, 1, 1, 16);
  // Two folders of 3 clusters each (48 entries: "." "..", 46 files).
  SynthFat::shortEntry(v.entry(v.rootStart(), 0), "ONE        ", 0x10, 10, 0);
  SynthFat::shortEntry(v.entry(v.rootStart(), 1), "TWO        ", 0x10, 20, 0);
  for (std::uint32_t first : {10u, 20u}) {
    v.chain({first, first + 5, first + 2});
    v.dotEntries(first, 0);
    std::uint32_t i = 2;
    for (std::uint32_t c : {first, first + 5, first + 2})
      for (std::uint32_t e = c == first ? 2 : 0; e < 16; ++e, ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "F%02u%04u TXT", first, i);
        SynthFat::shortEntry(v.entry(v.clusterSector(c), e), std::string_view(name, 11), 0x20, 100 + i, 10);
      }
  }
  Session s;
  s.reader = v.reader();
  ASSERT_EQ(s.setScanRange(FsType::Fat16, "0", std::to_string(v.totalSectors())), "");
  StopFlag stop{0};
  ASSERT_EQ(s.standardScan(stop, nullObserver()), ScanOutcome::Done);
  EXPECT_EQ(s.tree.fatFiles.size(), 2u * 46);
  EXPECT_EQ(s.tree.fatFileChildren(10).size(), 46u);
  EXPECT_EQ(s.tree.fatFileChildren(20).size(), 46u);
}

}  // namespace
}  // namespace osprin
