// The NTFS side of the copy engine on records written by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "crafted.h"
#include "harness.h"
#include "recovery/extract.h"
#include "support/fixtures.h"

namespace osprin {
namespace {

using test::Blob;
using test::CraftedNtfs;
using test::Recorder;

struct NtfsRun {
  RecoverySettings settings;
  FilterTable filters;
  RecoveryFlags flags;
  Recorder obs;

  RecoveryResult all(CraftedNtfs& v, const std::string& dest, SectorReader* reader = nullptr) {
    if (v.tree.folderTree().empty()) v.tree.buildNtfsFolderTree();
    auto own = v.disk.reader();
    NtfsFileSet set = v.files();
    auto rows = listNtfsFolder(v.tree, set, kNtfsRootRecord);
    RecoveryContext ctx{reader ? *reader : *own, v.vp, v.tree, set, ScanType::Standard, settings, filters};
    return recoverListRows(ctx, rows, dest, flags, obs);
  }
};

std::string zeros(std::size_t n) { return std::string(n, '\0'); }

TEST(NtfsRuns, DecodesLengthsAndSignedOffsets) {
  Blob rec = test::fileRecord(
      {test::nonResidentData(test::cat({test::run(3, 1, 0x1234, 2), test::run(0x10000, 3, -0x34, 1),
                                        test::run(2, 1, 0, 0), test::run(1, 1, 0x7FFFFFFF, 4)}),
                             100)});
  test::putLE(rec, 510, rec[50] | (rec[51] << 8), 2);  // undo the update sequence by hand
  const DataAttribute a = findUnnamedData(rec);
  ASSERT_TRUE(a.found);
  EXPECT_FALSE(a.resident);
  RunList runs = decodeDataRuns(rec, a.offset);
  EXPECT_FALSE(runs.damaged);
  ASSERT_EQ(runs.runs.size(), 4u);
  EXPECT_EQ(runs.runs[0].startCluster, 0x1234);
  EXPECT_EQ(runs.runs[0].length, 3u);
  EXPECT_EQ(runs.runs[1].startCluster, 0x1200);
  EXPECT_EQ(runs.runs[1].length, 0x10000u);
  EXPECT_TRUE(runs.runs[2].sparse);
  EXPECT_EQ(runs.runs[2].length, 2u);
  // After a hole the offset is relative to the last real run.
  EXPECT_EQ(runs.runs[3].startCluster, 0x1200LL + 0x7FFFFFFFLL);
}

TEST(NtfsRuns, FirstOffsetIsUnsigned) {
  Blob rec = test::fileRecord({test::nonResidentData(test::run(1, 1, 0xF0, 1), 10)});
  test::putLE(rec, 510, rec[50] | (rec[51] << 8), 2);
  RunList runs = decodeDataRuns(rec, findUnnamedData(rec).offset);
  ASSERT_EQ(runs.runs.size(), 1u);
  EXPECT_EQ(runs.runs[0].startCluster, 0xF0);
}

TEST(NtfsRuns, FieldsWiderThanFourBytesEndTheList) {
  for (Blob bad : {Blob{0x15, 1, 0, 0, 0, 0, 9}, Blob{0x51, 1, 1, 2, 3, 4, 5}, Blob{0x10, 5}}) {
    Blob rec = test::fileRecord({test::nonResidentData(test::cat({test::run(1, 1, 80, 1), bad}), 10)});
    test::putLE(rec, 510, rec[50] | (rec[51] << 8), 2);
    RunList runs = decodeDataRuns(rec, findUnnamedData(rec).offset);
    EXPECT_TRUE(runs.damaged);
    ASSERT_EQ(runs.runs.size(), 1u);
    EXPECT_EQ(runs.runs[0].startCluster, 80);
  }
  // A run before cluster 0 is damage too.
  Blob rec = test::fileRecord({test::nonResidentData(test::cat({test::run(1, 1, 2, 1), test::run(1, 1, -3, 1)}), 10)});
  test::putLE(rec, 510, rec[50] | (rec[51] << 8), 2);
  EXPECT_TRUE(decodeDataRuns(rec, findUnnamedData(rec).offset).damaged);
}

TEST(NtfsRuns, RunListsNeverReadPastTheRecord) {
  Blob rec(1024, 0);
  test::putLE(rec, 20, 980, 2);
  test::putLE(rec, 980, 0x80, 4);
  test::putLE(rec, 984, 40, 4);
  rec[988] = 1;
  // The runs begin at the record's last byte, with a header that promises
  // eight more bytes.
  test::putLE(rec, 980 + 32, 43, 2);
  rec[1023] = 0x44;
  DataAttribute a = findUnnamedData(rec);
  ASSERT_TRUE(a.found);
  EXPECT_EQ(a.offset, 980u);
  RunList runs = decodeDataRuns(rec, a.offset);
  EXPECT_TRUE(runs.runs.empty());
  EXPECT_TRUE(runs.damaged);
  // Attribute walks end at a zero length or an end mark.
  Blob loop(1024, 0);
  test::putLE(loop, 20, 56, 2);
  test::putLE(loop, 56, 0x10, 4);
  EXPECT_FALSE(findUnnamedData(loop).found);
}

TEST(NtfsCopy, ResidentDataIsWrittenFromTheRecord) {
  CraftedNtfs v(8, 64);
  const std::string text = "small resident content\n";
  SectorNo s = v.addRecord(test::fileRecord({test::stdInfoAttr(), test::residentData(text)}));
  v.addFile("note.txt", s, text.size(), kNtfsRootRecord, false, 130000000000000000ULL);
  NtfsRun run;
  auto dest = test::makeTempDir("resident");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 1u);
  struct stat st {};  // before reading the file, which may move its access time
  ASSERT_EQ(::stat((dest + "/note.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 130000000000000000LL / 10000000 - 11644473600LL);
  EXPECT_EQ(st.st_atime, st.st_mtime);
  EXPECT_EQ(test::readFile(dest + "/note.txt"), text);
  // The panel shows the file's full path.
  EXPECT_EQ(run.obs.textsOf("Path"), std::vector<std::string>{dest + "/note.txt"});
  EXPECT_EQ(run.obs.countersOf("Total Files"), std::vector<std::uint64_t>{0});
}

TEST(NtfsCopy, NamedStreamsAreSkipped) {
  CraftedNtfs v(8, 64);
  const std::uint32_t c = v.firstDataCluster + 2;
  SectorNo s = v.addRecord(test::fileRecord({test::stdInfoAttr(), test::residentData("zone data", u"Zone"),
                                             test::nonResidentData(test::run(1, 1, c, 1), 1000)}));
  v.addFile("doc.bin", s, 1000);
  NtfsRun run;
  auto dest = test::makeTempDir("named");
  run.all(v, dest);
  EXPECT_EQ(test::readFile(dest + "/doc.bin"), v.content({c}, 1000));
}

TEST(NtfsCopy, NegativeSecondRunReadsTheClusterBefore) {
  CraftedNtfs v(1, 200);
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(1, 1, 100, 2), test::run(1, 1, -1, 1)}), 1000)}));
  v.addFile("back.bin", s, 1000);
  NtfsRun run;
  auto dest = test::makeTempDir("negative");
  run.all(v, dest);
  EXPECT_EQ(test::readFile(dest + "/back.bin"), v.content({100, 99}, 1000));
}

TEST(NtfsCopy, SparseRunsAreWrittenAsZeros) {
  CraftedNtfs v(2, 200);
  const std::size_t cb = 1024;
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(2, 1, 80, 1), test::run(3, 1, 0, 0), test::run(1, 1, 5, 1)}), 6 * cb - 10)}));
  v.addFile("sparse.bin", s, 6 * cb - 10);
  NtfsRun run;
  auto dest = test::makeTempDir("sparse");
  auto res = run.all(v, dest);
  EXPECT_TRUE(res.errors.empty());
  const std::string expect = v.content({80, 81}, 2 * cb) + zeros(3 * cb) + v.content({85}, cb - 10);
  EXPECT_EQ(test::readFile(dest + "/sparse.bin"), expect);
  // A file that ends in a hole still has its full length.
  SectorNo t = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(1, 1, 80, 1), test::run(4, 1, 0, 0)}), 5 * cb)}));
  v.addFile("tail.bin", t, 5 * cb);
  v.tree.buildNtfsFolderTree();
  auto dest2 = test::makeTempDir("sparse2");
  run.all(v, dest2);
  EXPECT_EQ(test::readFile(dest2 + "/tail.bin"), v.content({80}, cb) + zeros(4 * cb));
}

TEST(NtfsCopy, FragmentedFileAcrossManyReads) {
  CraftedNtfs v(8, 1400);
  // Three fragments, the first longer than one read request.
  const std::uint64_t size = (400 + 3 + 300) * 4096ULL - 1234;
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(400, 2, 900, 2), test::run(3, 1, -890, 2), test::run(300, 2, 300, 2)}), size)}));
  v.addFile("frag.bin", s, size);
  std::vector<std::uint32_t> cs;
  for (std::uint32_t c = 900; c < 1300; ++c) cs.push_back(c);
  for (std::uint32_t c = 10; c < 13; ++c) cs.push_back(c);
  for (std::uint32_t c = 310; c < 610; ++c) cs.push_back(c);
  NtfsRun run;
  auto dest = test::makeTempDir("ntfsfrag");
  auto res = run.all(v, dest);
  EXPECT_TRUE(res.errors.empty());
  EXPECT_EQ(test::sha256File(dest + "/frag.bin"), test::sha256Hex(v.content(cs, size)));
}

TEST(NtfsCopy, DamagedRunListKeepsWhatWasWrittenAndReportsIt) {
  CraftedNtfs v(1, 200);
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(1, 1, 100, 1), Blob{0x51, 1, 1, 2, 3, 4, 5}}), 3 * 512)}));
  v.addFile("wide.bin", s, 3 * 512);
  NtfsRun run;
  auto dest = test::makeTempDir("wide");
  auto res = run.all(v, dest);
  EXPECT_EQ(test::readFile(dest + "/wide.bin"), v.content({100}, 512));
  EXPECT_EQ(res.incomplete, std::vector<std::string>{dest + "/wide.bin"});
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("damaged"), std::string::npos);
}

TEST(NtfsCopy, RunsPastTheEndOfTheDiskEndTheFile) {
  CraftedNtfs v(1, 200);
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(
      test::cat({test::run(2, 1, 100, 1), test::run(4, 1, 99, 1), test::run(2, 1, 0x100000, 4)}), 8 * 512)}));
  v.addFile("far.bin", s, 8 * 512);
  NtfsRun run;
  auto dest = test::makeTempDir("far");
  auto res = run.all(v, dest);
  // Clusters 100, 101, then 199 (the last one on the disk); 200 and beyond are not there.
  EXPECT_EQ(test::readFile(dest + "/far.bin"), v.content({100, 101, 199}, 3 * 512));
  EXPECT_EQ(res.incomplete.size(), 1u);
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("past the end of the disk"), std::string::npos);
  EXPECT_NE(res.errors[0].find("1536 of 4096 bytes"), std::string::npos);
}

TEST(NtfsCopy, RunsShorterThanTheSizeAreReported) {
  CraftedNtfs v(1, 200);
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(test::run(1, 1, 100, 1), 2000)}));
  v.addFile("short.bin", s, 2000);
  NtfsRun run;
  auto dest = test::makeTempDir("short");
  auto res = run.all(v, dest);
  EXPECT_EQ(test::readFile(dest + "/short.bin"), v.content({100}, 512));
  EXPECT_EQ(res.incomplete.size(), 1u);
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("end early"), std::string::npos);
}

// Sizes near 2^64 (a damaged or hostile record): the copy ends, with the
// file reported incomplete, instead of asking for a stretch of nothing for
// ever. 2^64 - 511 once made the rounding of the size to sectors wrap to 0.
struct HugeSize {
  std::uint64_t size;
  bool sparseFirst;  // a hole before the data run
};
class NtfsHugeSize : public ::testing::TestWithParam<HugeSize> {};

TEST_P(NtfsHugeSize, CopyEndsAndReportsTheFileIncomplete) {
  const HugeSize c = GetParam();
  CraftedNtfs v(1, 200);
  Blob runs = c.sparseFirst ? test::cat({test::run(2, 1, 0, 0), test::run(3, 1, 100, 1)}) : test::run(3, 1, 100, 1);
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(runs, c.size)}));
  v.addFile("huge.bin", s, c.size);
  NtfsRun run;
  auto dest = test::makeTempDir("huge");
  auto res = run.all(v, dest);
  ASSERT_EQ(res.files.size(), 1u);
  EXPECT_TRUE(isProblem(res.files[0].outcome));
  EXPECT_EQ(res.problemCount(), 1u);
  if (res.files[0].outcome == FileOutcome::Incomplete) {
    const std::string expect = (c.sparseFirst ? zeros(2 * 512) : "") + v.content({100, 101, 102}, 3 * 512);
    EXPECT_EQ(test::readFile(dest + "/huge.bin"), expect);
    EXPECT_EQ(res.files[0].written, expect.size());
  } else {
    EXPECT_FALSE(test::exists(dest + "/huge.bin"));
  }
}

INSTANTIATE_TEST_SUITE_P(NtfsCopy, NtfsHugeSize,
                         ::testing::Values(HugeSize{UINT64_MAX - 510, false}, HugeSize{UINT64_MAX, false},
                                           HugeSize{UINT64_MAX - 511, false}, HugeSize{1ull << 63, false},
                                           HugeSize{UINT64_MAX - 510, true}, HugeSize{UINT64_MAX, true}));

TEST(NtfsCopy, FilesWithoutUsableDataAreNotCreated) {
  CraftedNtfs v(8, 64);
  SectorNo empty = v.addRecord(test::fileRecord({test::stdInfoAttr(), test::residentData("")}));
  SectorNo nodata = v.addRecord(test::fileRecord({test::stdInfoAttr()}));
  SectorNo onlyNamed = v.addRecord(test::fileRecord({test::residentData("abc", u"ads")}));
  Blob bigResident = test::fileRecord({test::residentData(std::string(900, 'r'))});
  SectorNo tooLong = v.addRecord(bigResident);
  SectorNo noRuns = v.addRecord(test::fileRecord({test::nonResidentData({}, 100)}));
  v.addFile("empty.txt", empty, 0);
  v.addFile("nodata.txt", nodata, 10);
  v.addFile("named.txt", onlyNamed, 3);
  v.addFile("toolong.txt", tooLong, 1000);  // the list claims more than the record holds
  v.addFile("noruns.txt", noRuns, 100);
  NtfsRun run;
  auto dest = test::makeTempDir("nodata");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.filesSaved, 0u);
  EXPECT_TRUE(test::treeOf(dest).empty());
  EXPECT_EQ(res.errors.size(), 4u);  // all but the empty file
}

TEST(NtfsCopy, DeletedPolicyUsesTheRecordsFlag) {
  CraftedNtfs v(8, 64);
  SectorNo a = v.addRecord(test::fileRecord({test::residentData("live")}));
  SectorNo b = v.addRecord(test::fileRecord({test::residentData("dead")}));
  v.tree.addNtfsFolder("Docs", 40, kNtfsRootRecord, 0, 0, false, ScanType::Standard);
  v.addFile("live.txt", a, 4);
  v.addFile("dead.txt", b, 4, 40, true);
  NtfsRun run;
  run.settings.deletedPolicy = DeletedPolicy::OnlyDeleted;
  auto dest = test::makeTempDir("ntfsdel");
  run.all(v, dest);
  EXPECT_EQ(test::treeOf(dest), (std::vector<std::string>{"/Docs", "/Docs/dead.txt"}));
}

TEST(NtfsCopy, UnreadableSectorsAreZeros) {
  CraftedNtfs v(4, 200);
  SectorNo b = v.addRecord(test::fileRecord({test::nonResidentData(test::run(4, 1, 80, 1), 4 * 2048)}));
  SectorNo s = v.addRecord(test::fileRecord({test::nonResidentData(test::run(4, 1, 50, 1), 4 * 2048)}));
  SectorNo t = v.addRecord(test::fileRecord({test::residentData("after")}));
  v.addFile("before.bin", b, 4 * 2048);  // fills the read buffer first
  v.addFile("hurt.bin", s, 4 * 2048);
  v.addFile("after.txt", t, 5);
  FaultySource* faulty = nullptr;
  auto reader = v.disk.faultyReader(faulty);
  reader->setBadSectorRetries(2);
  faulty->failSector(51 * 4 + 3);
  faulty->failSector(52 * 4);
  NtfsRun run;
  auto dest = test::makeTempDir("ntfsfaulty");
  auto res = run.all(v, dest, reader.get());
  std::string expect = v.content({50, 51, 52, 53}, 4 * 2048);
  std::fill(expect.begin() + 2048 + 1536, expect.begin() + 2 * 2048 + 512, '\0');
  EXPECT_EQ(test::readFile(dest + "/hurt.bin"), expect);
  EXPECT_EQ(test::readFile(dest + "/after.txt"), "after");
  EXPECT_EQ(test::readFile(dest + "/before.bin"), v.content({80, 81, 82, 83}, 4 * 2048));
  EXPECT_EQ(res.filesSaved, 3u);
  EXPECT_EQ(faulty->attemptsOn(51 * 4 + 3), 3);  // the request, then two retries
}

TEST(NtfsCopy, OpenCopiesWithoutPolicies) {
  CraftedNtfs v(8, 64);
  SectorNo a = v.addRecord(test::fileRecord({test::residentData("open me")}));
  v.addFile("open.txt", a, 7, kNtfsRootRecord, true, 120000000000000000ULL);
  v.tree.buildNtfsFolderTree();
  RecoverySettings settings;
  settings.deletedPolicy = DeletedPolicy::ExcludeDeleted;
  FilterTable filters;
  ASSERT_EQ(filters.append("*.doc"), FilterAddResult::Added);
  RecoveryFlags flags;
  flags.saveStopRequested.store(1);  // left over from an earlier run: Open clears it
  auto reader = v.disk.reader();
  RecoveryContext ctx{*reader, v.vp, v.tree, v.files(), ScanType::Standard, settings, filters};
  auto rows = listNtfsFolder(v.tree, ctx.ntfsFiles, kNtfsRootRecord);
  ASSERT_EQ(rows.size(), 1u);
  auto tmp = test::makeTempDir("ntfsopen");
  Recorder obs;
  for (int i = 0; i < 2; ++i) {  // opening twice replaces the first copy
    auto r = copyRowForOpen(ctx, rows[0], tmp, flags, obs);
    EXPECT_EQ(r.status, CopyStatus::Written);
    EXPECT_EQ(r.path, tmp + "/open.txt");
  }
  EXPECT_EQ(test::treeOf(tmp), std::vector<std::string>{"/open.txt"});
  EXPECT_EQ(test::readFile(tmp + "/open.txt"), "open me");
}

}  // namespace
}  // namespace osprin
