// The FAT side of the copy engine on volumes laid out by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <ctime>
#include <fstream>

#include "crafted.h"
#include "harness.h"
#include "recovery/extract.h"
#include "search/match.h"
#include "support/fixtures.h"

namespace osprin {
namespace {

using test::CraftedFat;
using test::Recorder;

struct FatRun {
  RecoverySettings settings;
  FilterTable filters;
  RecoveryFlags flags;
  Recorder obs;

  RecoveryResult all(CraftedFat& v, const std::string& dest, std::uint32_t parent = 0) {
    if (v.tree.folderTree().empty()) v.tree.buildFatFolderTree();
    auto reader = v.disk.reader();
    return rows(v, *reader, listFatFolder(v.tree, parent), dest);
  }
  RecoveryResult rows(CraftedFat& v, SectorReader& reader, const std::vector<ListRow>& rs, const std::string& dest) {
    if (v.tree.folderTree().empty()) v.tree.buildFatFolderTree();
    RecoveryContext ctx{reader, v.vp, v.tree, NtfsFileSet{}, ScanType::Standard, settings, filters};
    return recoverListRows(ctx, rs, dest, flags, obs);
  }
};

std::string slurp(const std::string& p) { return test::readFile(p); }

TEST(FatCopy, SevenHundredBytesWithFourAndEightSectorClusters) {
  for (std::uint32_t spc : {4u, 8u}) {
    CraftedFat v(spc, 16);
    v.chain({5});
    v.addFile("SMALL.TXT", 0, 5, 700);
    FatRun run;
    auto dest = test::makeTempDir("small");
    auto res = run.all(v, dest);
    EXPECT_EQ(res.filesSaved, 1u);
    EXPECT_TRUE(res.errors.empty());
    EXPECT_EQ(slurp(dest + "/SMALL.TXT"), v.content({5}, 700)) << spc << " sectors per cluster";
  }
  EXPECT_EQ(readUnit(1), 1u);
  EXPECT_EQ(readUnit(4), 1u);
  EXPECT_EQ(readUnit(8), 8u);
  EXPECT_EQ(readUnit(16), 16u);
  EXPECT_EQ(readUnit(128), 16u);
}

TEST(FatCopy, FragmentedFileFollowsItsChain) {
  CraftedFat v(2, 64);
  const std::vector<std::uint32_t> cs{4, 9, 10, 11, 6, 30};
  v.chain(cs);
  const std::uint32_t size = 5 * 1024 + 333;
  v.addFile("FRAG.BIN", 0, 4, size);
  FatRun run;
  auto dest = test::makeTempDir("frag");
  run.all(v, dest);
  EXPECT_EQ(slurp(dest + "/FRAG.BIN"), v.content(cs, size));
}

TEST(FatCopy, LargeFragmentedFileAcrossManyReads) {
  // Stretches longer than one read request, in several fragments.
  CraftedFat v(8, 1200);
  std::vector<std::uint32_t> cs;
  for (std::uint32_t c = 700; c < 1000; ++c) cs.push_back(c);
  for (std::uint32_t c = 10; c < 400; ++c) cs.push_back(c);
  cs.push_back(1100);
  v.chain(cs);
  const std::uint32_t size = static_cast<std::uint32_t>(cs.size() - 1) * 4096 + 17;
  v.addFile("BIG.BIN", 0, cs.front(), size);
  FatRun run;
  auto dest = test::makeTempDir("big");
  auto res = run.all(v, dest);
  EXPECT_TRUE(res.errors.empty());
  EXPECT_EQ(test::sha256File(dest + "/BIG.BIN"), test::sha256Hex(v.content(cs, size)));
}

// A chain whose last entry names a cluster the table cannot hold (0xFFF8,
// an end mark some systems write) ends there, for files as for folders: its
// clusters are the file's, not a contiguous guess.
TEST(FatCopy, ChainEndingInFFF8EndsThere) {
  CraftedFat v(1, 32);
  v.chain({4, 9, 12}, 0xFFF8);
  v.addFile("ODD.BIN", 0, 4, 2 * 512 + 100);
  FatRun run;
  auto dest = test::makeTempDir("fff8");
  run.all(v, dest);
  EXPECT_EQ(slurp(dest + "/ODD.BIN"), v.content({4, 9, 12}, 2 * 512 + 100));
}

TEST(FatCopy, SecondFatCopyIsUsedWhenTheFirstIsDamaged) {
  CraftedFat v(1, 32);
  v.chain({4, 9, 10});
  v.setFat(1, 9, 0);  // the first copy loses the link
  v.addFile("TWO.BIN", 0, 4, 3 * 512);
  FatRun run;
  auto dest = test::makeTempDir("fat2");
  run.all(v, dest);
  EXPECT_EQ(slurp(dest + "/TWO.BIN"), v.content({4, 9, 10}, 3 * 512));
}

TEST(FatCopy, DeletedFileWithFreedEntriesIsReadContiguously) {
  CraftedFat v(4, 32);
  v.addFile("GONE.DOC", 0, 7, 3 * 2048 - 5, true);  // no FAT entries at all
  FatRun run;
  auto dest = test::makeTempDir("deleted");
  run.all(v, dest);
  EXPECT_EQ(slurp(dest + "/GONE.DOC"), v.content({7, 8, 9}, 3 * 2048 - 5));
}

TEST(FatCopy, ContiguousReadPastTheEndOfTheDiskEndsTheFileCleanly) {
  CraftedFat v(1, 20);
  // A deleted entry claiming 10 clusters from the last cluster on.
  v.addFile("TAIL.BIN", 0, 21, 10 * 512, true);
  FatRun run;
  auto dest = test::makeTempDir("pastend");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_EQ(slurp(dest + "/TAIL.BIN"), v.content({21}, 512));
  ASSERT_EQ(res.incomplete.size(), 1u);
  EXPECT_EQ(res.incomplete[0], dest + "/TAIL.BIN");
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("past the end of the disk"), std::string::npos);
}

// The local time a packed FAT date and time stand for on this machine.
time_t localFatTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return ::mktime(&tm);
}

std::uint16_t packDate(int y, int m, int d) { return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d); }
std::uint16_t packTime(int h, int m, int s) { return static_cast<std::uint16_t>((h << 11) | (m << 5) | (s / 2)); }

struct FatTimeCase {
  const char* what;
  std::uint32_t first;  // 0: an entry without a cluster
  std::uint32_t size;
  std::uint16_t date, time;
  time_t want;           // the modification time, or -1 when the copy keeps its own
  bool complete;
};

class FatCopyTimes : public ::testing::TestWithParam<FatTimeCase> {};

TEST_P(FatCopyTimes, TheFileGetsTheWriteDateAndTimeAsLocalTime) {
  const auto& c = GetParam();
  CraftedFat v(1, 8);
  v.chain({3});
  v.addFile("FILE.TXT", 0, c.first, c.size, false, c.date, c.time);
  FatRun run;
  auto dest = test::makeTempDir("dates");
  const time_t before = ::time(nullptr);
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  struct stat st {};
  ASSERT_EQ(::stat((dest + "/FILE.TXT").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), c.first == 0 ? 0u : c.size);
  if (c.want != -1) {
    EXPECT_EQ(st.st_mtime, c.want);
    EXPECT_EQ(st.st_atime, c.want);
  } else {
    EXPECT_GE(st.st_mtime, before);  // left as the copy made it
  }
  EXPECT_EQ(res.incomplete.empty(), c.complete);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatCopyTimes,
    ::testing::Values(
        FatTimeCase{"empty file", 0, 0, packDate(2009, 1, 1), 0, localFatTime(2009, 1, 1, 0, 0, 0), true},
        FatTimeCase{"time of day", 3, 10, packDate(2015, 7, 14), packTime(14, 5, 32), localFatTime(2015, 7, 14, 14, 5, 32),
                    true},
        FatTimeCase{"last second of a day", 3, 10, packDate(2020, 2, 29), packTime(23, 59, 58),
                    localFatTime(2020, 2, 29, 23, 59, 58), true},
        FatTimeCase{"a damaged time gives midnight", 3, 10, packDate(2015, 7, 14), packTime(25, 0, 0),
                    localFatTime(2015, 7, 14, 0, 0, 0), true},
        FatTimeCase{"no calendar date", 3, 10, 0, packTime(1, 2, 4), -1, true},
        FatTimeCase{"February 30th", 3, 10, packDate(2008, 2, 30), 0, -1, true},
        FatTimeCase{"a size without a cluster is written empty and incomplete", 0, 700, packDate(2009, 1, 1), 0,
                    localFatTime(2009, 1, 1, 0, 0, 0), false}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(FatCopy, RenamePolicyFindsTheFirstFreeCopyName) {
  CraftedFat v(1, 8);
  v.chain({3});
  v.addFile("A.TXT", 0, 3, 100);
  FatRun run;
  auto dest = test::makeTempDir("rename");
  std::ofstream(dest + "/A.TXT") << "first";
  std::ofstream(dest + "/Copy (1 ) of A.TXT") << "second";
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_EQ(slurp(dest + "/A.TXT"), "first");
  EXPECT_EQ(slurp(dest + "/Copy (1 ) of A.TXT"), "second");
  EXPECT_EQ(slurp(dest + "/Copy (2 ) of A.TXT"), v.content({3}, 100));
  EXPECT_EQ(run.obs.textsOf(TextField::SaveFileName), std::vector<std::string>{"Copy (2 ) of A.TXT"});
  EXPECT_EQ(duplicateName("REPORT.DOC", 1), "Copy (1 ) of REPORT.DOC");
}

TEST(FatCopy, SkipPolicyLeavesTheTargetAndDoesNotCountIt) {
  CraftedFat v(1, 8);
  v.chain({3});
  v.chain({4});
  v.addFile("A.TXT", 0, 3, 100);
  v.addFile("B.TXT", 0, 4, 100);
  FatRun run;
  run.settings.duplicatePolicy = DuplicatePolicy::Skip;
  auto dest = test::makeTempDir("skip");
  std::ofstream(dest + "/A.TXT") << "keep";
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_EQ(slurp(dest + "/A.TXT"), "keep");
  EXPECT_EQ(slurp(dest + "/B.TXT"), v.content({4}, 100));
  EXPECT_EQ(run.obs.countersOf(Counter::FilesSaved), std::vector<std::uint64_t>{0});
}

TEST(FatCopy, OverwritePolicyReplacesTheTarget) {
  CraftedFat v(1, 8);
  v.chain({3});
  v.addFile("A.TXT", 0, 3, 100);
  FatRun run;
  run.settings.duplicatePolicy = DuplicatePolicy::Overwrite;
  auto dest = test::makeTempDir("overwrite");
  std::ofstream(dest + "/A.TXT") << std::string(5000, 'x');
  run.all(v, dest);
  EXPECT_EQ(slurp(dest + "/A.TXT"), v.content({3}, 100));
  EXPECT_FALSE(test::exists(dest + "/Copy (1 ) of A.TXT"));
}

// Root: LIVE.TXT, DEAD.TXT (deleted), folder OLD (deleted) with OLDFILE.TXT.
CraftedFat deletedMix() {
  CraftedFat v(1, 16);
  v.chain({3});
  v.addFolder("OLD", 10, 0, true);
  v.addFile("LIVE.TXT", 0, 3, 10);
  v.addFile("DEAD.TXT", 0, 4, 10, true);
  v.addFile("OLDFILE.TXT", 10, 5, 10, true);
  v.tree.buildFatFolderTree();
  return v;
}

TEST(FatCopy, OnlyDeletedFilesPolicyStillCreatesFolders) {
  CraftedFat v = deletedMix();
  FatRun run;
  run.settings.deletedPolicy = DeletedPolicy::OnlyDeleted;
  auto dest = test::makeTempDir("onlydel");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 2u);
  EXPECT_EQ(test::treeOf(dest), (std::vector<std::string>{"/DEAD.TXT", "/OLD", "/OLD/OLDFILE.TXT"}));
}

TEST(FatCopy, ExcludeDeletedPolicy) {
  CraftedFat v = deletedMix();
  FatRun run;
  run.settings.deletedPolicy = DeletedPolicy::ExcludeDeleted;
  auto dest = test::makeTempDir("exdel");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_EQ(test::treeOf(dest), (std::vector<std::string>{"/LIVE.TXT", "/OLD"}));
}

TEST(FatCopy, FilterTableAppliesToRecoveryButNotToOpen) {
  CraftedFat v(1, 16);
  v.chain({3});
  v.chain({4});
  v.addFolder("SUB", 10, 0);
  v.addFile("keep.txt", 0, 3, 10);
  v.addFile("drop.bin", 0, 4, 10, true);
  v.addFile("inner.TXT", 10, 5, 10);
  v.addFile("inner.bin", 10, 6, 10);
  v.tree.buildFatFolderTree();
  FatRun run;
  ASSERT_EQ(run.filters.append("*.txt"), FilterAddResult::Added);
  auto dest = test::makeTempDir("filter");
  // The list passes every row: the copy itself applies the table.
  run.all(v, dest);
  EXPECT_EQ(test::treeOf(dest), (std::vector<std::string>{"/SUB", "/SUB/inner.TXT", "/keep.txt"}));

  // Open copies under the file's own name whatever the filters and policies say.
  run.settings.deletedPolicy = DeletedPolicy::ExcludeDeleted;
  run.settings.duplicatePolicy = DuplicatePolicy::Skip;
  auto tmp = test::makeTempDir("open");
  std::ofstream(tmp + "/drop.bin") << "stale";
  auto reader = v.disk.reader();
  RecoveryContext ctx{*reader, v.vp, v.tree, NtfsFileSet{}, ScanType::Standard, run.settings, run.filters};
  ListRow row;
  row.id = 1;  // drop.bin
  row.name = "drop.bin";
  Recorder quiet;
  auto r = copyRowForOpen(ctx, row, tmp, run.flags, quiet);
  EXPECT_EQ(r.status, CopyStatus::Written);
  EXPECT_EQ(r.path, tmp + "/drop.bin");
  EXPECT_EQ(slurp(tmp + "/drop.bin"), v.content({4}, 10));
  EXPECT_TRUE(quiet.texts.empty());  // no dialog in open mode
}

TEST(FatCopy, RecoverAllRecreatesTheSubTreeWithTreeLabels) {
  CraftedFat v(1, 32);
  for (std::uint32_t c = 3; c < 8; ++c) v.chain({c});
  v.addFolder("DIR", 20, 0);
  v.addFolder("SUB", 21, 20);
  v.addFolder("DEEP", 22, 21);
  v.addFile("root.txt", 0, 3, 5);
  v.addFile("dir.txt", 20, 4, 5);
  v.addFile("sub.txt", 21, 5, 5);
  v.addFile("deep.txt", 22, 6, 5);
  v.tree.buildFatFolderTree();
  v.tree.renameFatFolderAt(1, "Renamed");  // SUB, in its record and its tree label
  FatRun run;
  auto dest = test::makeTempDir("all");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 4u);
  EXPECT_EQ(test::treeOf(dest), (std::vector<std::string>{"/DIR", "/DIR/Renamed", "/DIR/Renamed/DEEP",
                                                          "/DIR/Renamed/DEEP/deep.txt", "/DIR/Renamed/sub.txt",
                                                          "/DIR/dir.txt", "/root.txt"}));
  EXPECT_EQ(slurp(dest + "/DIR/Renamed/DEEP/deep.txt"), v.content({6}, 5));
  // The panel shows the folder of each file and the files saved before it.
  EXPECT_EQ(run.obs.textsOf(TextField::SaveFolder).front(), dest + "/DIR");
  EXPECT_EQ(run.obs.countersOf(Counter::FilesSaved), (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

TEST(FatCopy, NoRowsWritesNothing) {
  CraftedFat v(1, 8);
  v.addFile("A.TXT", 0, 3, 10);
  FatRun run;
  auto dest = test::makeTempDir("none");
  auto reader = v.disk.reader();
  auto res = run.rows(v, *reader, {}, dest);
  EXPECT_EQ(res.filesSaved, 0u);
  EXPECT_TRUE(test::treeOf(dest).empty());
}

TEST(FatCopy, SkipFileRemovesThePartialFileAndGoesOn) {
  CraftedFat v(8, 1000);
  std::vector<std::uint32_t> big;
  for (std::uint32_t c = 2; c < 2 + 768; ++c) big.push_back(c);  // 3 MiB
  v.chain(big);
  v.chain({900});
  v.addFile("BIG.BIN", 0, 2, 768 * 4096);
  v.addFile("NEXT.TXT", 0, 900, 100);
  FatRun run;
  bool once = false;
  run.obs.onProgress = [&](int p) {
    if (p > 0 && !once) {
      once = true;
      run.flags.skipFileRequested.store(1);
    }
  };
  auto dest = test::makeTempDir("skipfile");
  auto res = run.all(v, dest);
  // No partial file under its name or any other, and it is not counted.
  EXPECT_EQ(test::treeOf(dest), std::vector<std::string>{"/NEXT.TXT"});
  EXPECT_EQ(slurp(dest + "/NEXT.TXT"), v.content({900}, 100));
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_FALSE(res.stopped);
  EXPECT_TRUE(res.incomplete.empty());
  EXPECT_TRUE(res.errors.empty());
  ASSERT_EQ(res.files.size(), 2u);
  EXPECT_EQ(res.files[0].outcome, FileOutcome::Skipped);
  EXPECT_EQ(res.files[0].path, dest + "/BIG.BIN");
  EXPECT_EQ(res.files[1].outcome, FileOutcome::Whole);
  EXPECT_EQ(res.problemCount(), 0u);
}

TEST(FatCopy, StopSavingRemovesThePartialFileAndEndsTheRun) {
  CraftedFat v(8, 1000);
  std::vector<std::uint32_t> big;
  for (std::uint32_t c = 2; c < 2 + 768; ++c) big.push_back(c);
  v.chain(big);
  v.chain({900});
  v.addFile("BIG.BIN", 0, 2, 768 * 4096, false, 14881);
  v.addFile("NEXT.TXT", 0, 900, 100);
  FatRun run;
  run.obs.onProgress = [&](int p) {
    if (p > 0) run.flags.saveStopRequested.store(1);
  };
  auto dest = test::makeTempDir("stop");
  auto res = run.all(v, dest);
  EXPECT_TRUE(test::treeOf(dest).empty());
  EXPECT_TRUE(res.stopped);
  EXPECT_EQ(res.filesSaved, 0u);
  EXPECT_EQ(run.flags.saveStopRequested.load(), 0);  // cleared when the run ends
  ASSERT_EQ(res.files.size(), 1u);
  EXPECT_EQ(res.files[0].outcome, FileOutcome::Failed);
  EXPECT_NE(res.files[0].reason.find("stopped"), std::string::npos);
}

TEST(FatCopy, CreationErrorAsksWhetherToContinue) {
  for (bool answer : {true, false}) {
    CraftedFat v(1, 8);
    v.chain({3});
    v.chain({4});
    v.addFile("A.TXT", 0, 3, 10);
    v.addFile("B.TXT", 0, 4, 10);
    FatRun run;
    run.settings.duplicatePolicy = DuplicatePolicy::Overwrite;
    run.obs.answer = answer;
    auto dest = test::makeTempDir("create");
    ::mkdir((dest + "/A.TXT").c_str(), 0755);  // a folder where the file should go
    auto res = run.all(v, dest);
    ASSERT_EQ(run.obs.questions.size(), 1u);
    EXPECT_EQ(run.obs.questions[0].rfind("Error creating file : " + dest + "/A.TXT (", 0), 0u) << run.obs.questions[0];
    EXPECT_NE(run.obs.questions[0].find(").  Continue Recovery ? "), std::string::npos);
    EXPECT_EQ(test::exists(dest + "/B.TXT"), answer);
    EXPECT_EQ(res.filesSaved, answer ? 1u : 0u);
    EXPECT_EQ(res.stopped, !answer);
    ASSERT_FALSE(res.errors.empty());
    EXPECT_NE(res.errors[0].find(dest + "/A.TXT"), std::string::npos);
  }
}

TEST(FatCopy, NamesFromTheDiskNeverLeaveTheDestination) {
  CraftedFat v(1, 32);
  for (std::uint32_t c = 3; c < 12; ++c) v.chain({c});
  v.addFolder("..", 20, 0);
  v.addFolder("", 21, 0);
  v.addFolder("a/..", 22, 0);
  v.addFile(".", 0, 3, 5);
  v.addFile("", 0, 4, 5);
  v.addFile("up/../../x", 0, 5, 5);
  v.addFile(std::string("nul\0byte", 8), 0, 6, 5);
  v.addFile(std::string(300, 'n') + ".txt", 0, 7, 5);
  v.addFile("..", 20, 8, 5);
  v.addFile("inner", 21, 9, 5);
  v.addFile("..", 22, 10, 5);
  v.tree.buildFatFolderTree();
  FatRun run;
  auto outer = test::makeTempDir("outer");
  const std::string dest = outer + "/dest";
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 8u);
  EXPECT_TRUE(res.errors.empty());
  EXPECT_EQ(test::treeOf(outer).front(), "/dest");
  for (const auto& e : test::treeOf(outer)) EXPECT_EQ(e.rfind("/dest", 0), 0u) << e;
  EXPECT_EQ(test::readFile(dest + "/_."), v.content({3}, 5));
  // The folder named "" took "_" first.
  EXPECT_EQ(test::readFile(dest + "/Copy (1 ) of "), v.content({4}, 5));
  EXPECT_EQ(test::readFile(dest + "/up_.._.._x"), v.content({5}, 5));
  EXPECT_EQ(test::readFile(dest + "/nul_byte"), v.content({6}, 5));
  EXPECT_EQ(test::readFile(dest + "/" + std::string(251, 'n') + ".txt"), v.content({7}, 5));
  EXPECT_EQ(test::readFile(dest + "/_../_.."), v.content({8}, 5));
  EXPECT_EQ(test::readFile(dest + "/_/inner"), v.content({9}, 5));
  EXPECT_EQ(test::readFile(dest + "/a_../_.."), v.content({10}, 5));
}

TEST(FatCopy, SafeComponents) {
  EXPECT_EQ(safeComponent(""), "_");
  EXPECT_EQ(safeComponent("."), "_.");
  EXPECT_EQ(safeComponent(".."), "_..");
  EXPECT_EQ(safeComponent("..."), "...");
  EXPECT_EQ(safeComponent("a/b"), "a_b");
  EXPECT_EQ(safeComponent(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(safeComponent("back\\slash"), "back\\slash");
  // Shortened at a character boundary, keeping the extension.
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "\xD0\x96";  // U+0416, two bytes each
  auto s = safeComponent(longName + ".doc");
  EXPECT_LE(s.size(), 255u);
  EXPECT_EQ(s.substr(s.size() - 4), ".doc");
  EXPECT_EQ(s.size() % 2, 0u);  // 4 + a whole number of two-byte characters
}

TEST(FatCopy, UnreadableSectorsAreZerosAndTheRunGoesOn) {
  CraftedFat v(4, 64);
  v.chain({4, 5, 6});
  v.chain({10, 11, 12, 13});
  // FINE.BIN goes first, so the read buffer holds its bytes when the bad
  // sector of HURT.BIN comes.
  v.addFile("FINE.BIN", 0, 10, 4 * 2048);
  v.addFile("HURT.BIN", 0, 4, 3 * 2048);
  FaultySource* faulty = nullptr;
  auto reader = v.disk.faultyReader(faulty);
  reader->setBadSectorRetries(1);
  const SectorNo bad = v.vp.clusterSector(5) + 2;
  faulty->failSector(bad);
  // The first FAT sector fails once, then reads.
  faulty->failSectorTimes(v.vp.fat1Start, 1);
  FatRun run;
  auto dest = test::makeTempDir("faulty");
  auto res = run.rows(v, *reader, listFatFolder(v.tree, 0), dest);
  std::string expect = v.content({4, 5, 6}, 3 * 2048);
  std::fill(expect.begin() + 2048 + 1024, expect.begin() + 2048 + 1536, '\0');
  const std::string got = test::readFile(dest + "/HURT.BIN");
  EXPECT_EQ(got.size(), expect.size());
  EXPECT_EQ(got, expect);
  EXPECT_EQ(test::readFile(dest + "/FINE.BIN"), v.content({10, 11, 12, 13}, 4 * 2048));
  EXPECT_EQ(res.filesSaved, 2u);
  EXPECT_GE(res.failedReads, 1u);
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("HURT.BIN: some sectors could not be read"), std::string::npos);
  // HURT.BIN is incomplete, with the one zero-filled sector named.
  EXPECT_EQ(res.incomplete, std::vector<std::string>{dest + "/HURT.BIN"});
  ASSERT_EQ(res.files.size(), 2u);
  EXPECT_EQ(res.files[0].outcome, FileOutcome::Whole);
  EXPECT_EQ(res.files[1].outcome, FileOutcome::Incomplete);
  EXPECT_EQ(res.files[1].written, 3u * 2048);
  EXPECT_EQ(res.files[1].zeroFilled, (std::vector<ByteRange>{{2048 + 1024, 512}}));
}

TEST(FatCopy, MakeDirectoryPathCreatesEveryLevel) {
  auto base = test::makeTempDir("mkdir");
  EXPECT_TRUE(makeDirectoryPath(base + "/a/b//c/"));
  EXPECT_TRUE(makeDirectoryPath(base + "/a/b/c"));  // existing ones are kept
  std::ofstream(base + "/file") << "x";
  EXPECT_FALSE(makeDirectoryPath(base + "/file/sub"));
}

}  // namespace
}  // namespace osprin
