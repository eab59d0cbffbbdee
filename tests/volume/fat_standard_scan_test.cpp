// The standard scan from the selection to the tree: boot sector, backup,
// calculation, the walk, and what the user is told.
#include <gtest/gtest.h>

#include <cstring>

#include "volume/fat_listing.h"
#include "volume/walkers.h"
#include "support/selections.h"

namespace osprin {
namespace {

using test::selection;

using test::expectedListing;
using test::expectSameListing;
using test::fatListing;
using test::ScanRecorder;

constexpr const char* kHint = "If you don't find your file(s) or folder(s) here, you can use \"Advance scan\"";
constexpr const char* kNotPossible = "Recovery is not possible in Standard scan, use Sdvance scan";
constexpr const char* kAborted = "Recovery procedure aborted by user";

struct Scan {
  Selection sel;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  StopFlag stop{0};
  ScanOutcome outcome = ScanOutcome::Failed;
};

void run(Scan& s, const std::string& image, Observer& obs) {
  auto reader = test::openReader(image);
  s.outcome = runStandardScan(*reader, s.sel, s.vp, s.runs, s.tree, s.stop, obs);
}

std::string damaged(const std::string& fixture, std::initializer_list<SectorNo> zeroSectors) {
  std::string img = test::copyImage(test::fixtureImage(fixture), fixture);
  for (SectorNo s : zeroSectors) test::patchFile(img, std::uint64_t{s} * 512, std::string(512, '\0'));
  return img;
}

TEST(StandardScan, HealthyFat32GoesStraightToTheWalk) {
  Scan s;
  s.sel = selection(FsType::Fat32, 0, 81919);
  s.stop.store(1);  // a Stop pressed before the parameters are read is forgotten
  ScanRecorder obs;
  run(s, test::fixtureImage("fat32vol"), obs);
  ASSERT_EQ(s.outcome, ScanOutcome::Done);
  EXPECT_FALSE(obs.sawPhase(Phase::CalculatingParameters));
  EXPECT_TRUE(obs.sawPhase(Phase::MountingVolume));
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].first, MsgKind::Info);
  EXPECT_EQ(obs.messages[0].second, kHint);
  EXPECT_EQ(s.stop.load(), 0);
  expectSameListing(fatListing(s.tree), expectedListing("fat32vol", "fat32"));
  EXPECT_EQ(obs.counters[Counter::FilesFound], s.tree.fileCount);
}

TEST(StandardScan, Fat32WithoutItsBootSignatureMountsFromTheBackup) {
  Scan s;
  s.sel = selection(FsType::Fat32, 0, 81919);
  std::string img = test::copyImage(test::fixtureImage("fat32vol"), "sig");
  test::patchFile(img, 510, std::string(2, '\0'));
  ScanRecorder obs;
  run(s, img, obs);
  ASSERT_EQ(s.outcome, ScanOutcome::Done);
  EXPECT_FALSE(obs.sawPhase(Phase::CalculatingParameters));
  expectSameListing(fatListing(s.tree), expectedListing("fat32vol", "fat32"));
}

TEST(StandardScan, Fat16WithoutBootSectorIsCalculatedThenWalked) {
  Scan s;
  s.sel = selection(FsType::Fat16, 0, 32767);
  ScanRecorder obs;
  run(s, damaged("fat16vol", {0}), obs);
  ASSERT_EQ(s.outcome, ScanOutcome::Done);
  EXPECT_EQ(obs.phases, (std::vector<PhaseInfo>{{Phase::CalculatingParameters}, {Phase::None}, {Phase::MountingVolume}}));
  expectSameListing(fatListing(s.tree), expectedListing("fat16vol", "fat16"));
}

TEST(StandardScan, Fat32WithBothBootSectorsGoneIsCalculated) {
  Scan s;
  s.sel = selection(FsType::Fat32, 0, 81919);
  ScanRecorder obs;
  run(s, damaged("fat32vol", {0, 6}), obs);
  ASSERT_EQ(s.outcome, ScanOutcome::Done);
  EXPECT_TRUE(obs.sawPhase(Phase::CalculatingParameters));
  expectSameListing(fatListing(s.tree), expectedListing("fat32vol", "fat32"));
}

TEST(StandardScan, NtfsWithoutBootSectorsIsNotPossible) {
  auto img = test::corpusImage("ntfs3.raw");
  if (!img) GTEST_SKIP() << "ntfs3.raw is not in the corpus";
  std::string copy = test::copyImage(*img, "ntfs");
  const SectorNo last = static_cast<SectorNo>(std::filesystem::file_size(copy) / 512 - 1);
  test::patchFile(copy, 0, std::string(512, '\0'));
  test::patchFile(copy, std::uint64_t{last} * 512, std::string(512, '\0'));
  Scan s;
  s.sel = selection(FsType::Ntfs, 0, last);
  ScanRecorder obs;
  run(s, copy, obs);
  EXPECT_EQ(s.outcome, ScanOutcome::Failed);
  EXPECT_EQ(obs.phases, (std::vector<PhaseInfo>{{Phase::CalculatingParameters}, {Phase::None}}));
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].first, MsgKind::Error);
  EXPECT_EQ(obs.messages[0].second, kNotPossible);
  EXPECT_TRUE(s.tree.ntfsFiles.empty());
}

TEST(StandardScan, FatVolumeSelectedAsNtfsIsNotPossible) {
  Scan s;
  s.sel = selection(FsType::Ntfs, 0, 32767);
  ScanRecorder obs;
  run(s, test::fixtureImage("fat16vol"), obs);
  EXPECT_EQ(s.outcome, ScanOutcome::Failed);
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].second, kNotPossible);
}

TEST(StandardScan, StopDuringTheCalculationAborts) {
  class StopWhenCalculating : public ScanRecorder {
   public:
    StopFlag* stop = nullptr;
    void phase(const PhaseInfo& p) override {
      ScanRecorder::phase(p);
      if (p.phase == Phase::CalculatingParameters) stop->store(1);
    }
  };
  Scan s;
  s.sel = selection(FsType::Fat16, 0, 32767);
  StopWhenCalculating obs;
  obs.stop = &s.stop;
  run(s, damaged("fat16vol", {0}), obs);
  EXPECT_EQ(s.outcome, ScanOutcome::Aborted);
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].first, MsgKind::Error);
  EXPECT_EQ(obs.messages[0].second, kAborted);
  EXPECT_EQ(s.stop.load(), 0);
  EXPECT_TRUE(s.tree.fatFiles.empty());
}

TEST(StandardScan, StopDuringTheWalkShowsThePartialTree) {
  class StopAfterFiles : public ScanRecorder {
   public:
    StopFlag* stop = nullptr;
    void counter(Counter c, std::uint64_t v) override {
      ScanRecorder::counter(c, v);
      if (c == Counter::FilesFound && v == 100) stop->store(1);
    }
  };
  Scan s;
  s.sel = selection(FsType::Fat32, 0, 81919);
  StopAfterFiles obs;
  obs.stop = &s.stop;
  run(s, test::fixtureImage("fat32vol"), obs);
  EXPECT_EQ(s.outcome, ScanOutcome::Done);
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].second, kHint);
  EXPECT_EQ(s.stop.load(), 0);
  EXPECT_GE(s.tree.fatFiles.size(), 100u);
  EXPECT_LT(s.tree.fatFiles.size(), 600u);
  // Everything found is reachable in the folder tree.
  EXPECT_EQ(s.tree.folderTree().size(), s.tree.fatFolders.size() + 2);
}

TEST(StandardScan, SelectionWithoutAFileSystemIsNotPossible) {
  Scan s;
  s.sel = selection(FsType::None, 0, 32767);
  ScanRecorder obs;
  run(s, test::fixtureImage("fat16vol"), obs);
  EXPECT_EQ(s.outcome, ScanOutcome::Failed);
  ASSERT_EQ(obs.messages.size(), 1u);
  EXPECT_EQ(obs.messages[0].second, kNotPossible);
}

}  // namespace
}  // namespace osprin
