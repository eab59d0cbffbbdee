// The NTFS side of the copy engine on records written by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <span>

#include "crafted.h"
#include "harness.h"
#include "recovery/extract.h"
#include "recovery/report.h"
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

  RecoveryResult all(CraftedNtfs& v, const std::string& dest, SectorReader* reader = nullptr,
                     RecoveryReport* report = nullptr) {
    if (v.tree.folderTree().empty()) v.tree.buildNtfsFolderTree();
    auto own = v.disk.reader();
    NtfsFileSet set = v.files();
    auto rows = listNtfsFolder(v.tree, set, kNtfsRootRecord);
    RecoveryContext ctx{reader ? *reader : *own, v.vp, v.tree, set, ScanType::Standard, settings, filters, report};
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

TEST(NtfsRuns, FieldsWiderThanEightBytesEndTheList) {
  // Fields of up to 8 bytes are read (clusters past 2 TiB); wider ones, a
  // length of no bytes and a run past any disk are damage.
  for (Blob bad : {Blob{0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9}, Blob{0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9}, Blob{0x10, 5},
                   Blob{0x81, 1, 0, 0, 0, 0, 0, 0, 1, 0}}) {
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
  EXPECT_EQ(run.obs.textsOf(TextField::SaveFolder), std::vector<std::string>{dest + "/note.txt"});
  EXPECT_EQ(run.obs.countersOf(Counter::FilesSaved), std::vector<std::uint64_t>{0});
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
      test::cat({test::run(1, 1, 100, 1), Blob{0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9}}), 3 * 512)}));
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
  // Only the empty file is written (empty): the others have no data to give.
  EXPECT_EQ(res.filesSaved, 1u);
  EXPECT_EQ(test::treeOf(dest).size(), 1u);
  EXPECT_TRUE(test::exists(dest + "/empty.txt"));
  EXPECT_EQ(res.errors.size(), 4u);
}

// --- what Windows writes: compressed units, valid data length, encrypted and
// reparse-point data, streams -------------------------------------------------

// A compressed chunk: "abc" and a phrase repeating it to 12 bytes.
Blob abcChunk() { return Blob{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20}; }

// A non-resident $DATA with flags, compression unit and initialised size.
Blob dataWith(const Blob& runs, std::uint64_t size, std::uint16_t flags, std::uint8_t unit, std::uint64_t init) {
  Blob a = test::nonResidentData(runs, size);
  test::putLE(a, 12, flags, 2);
  a[34] = unit;
  test::putLE(a, 56, init, 8);
  return a;
}
Blob reparseAttr(std::uint32_t tag) {
  Blob a = test::attrHeader(0xC0, false, u"", 24);
  test::putLE(a, 16, 8, 4);
  test::putLE(a, 20, 24, 2);
  test::putLE(a, 24, tag, 4);
  test::putLE(a, 28, 0, 4);
  test::finishAttr(a);
  return a;
}

struct DecodeCase {
  const char* name;
  // Builds the record (and writes what it needs on the disk); returns the
  // file's size and the bytes Windows reads.
  std::function<std::pair<std::uint64_t, std::string>(CraftedNtfs&, SectorNo&)> make;
  bool decoded;  // false: written as stored and reported as not decoded
  bool failed = false;  // nothing can be written: no file, the outcome is failed
};

// The report's word for what the recovery recorded.
std::string reportWord(FileOutcome o) {
  return o == FileOutcome::Whole ? "whole" : o == FileOutcome::Incomplete ? "incomplete"
         : o == FileOutcome::NotDecoded ? "not decoded" : "failed";
}

class NtfsDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(NtfsDecode, WritesWhatWindowsReads) {
  CraftedNtfs v(1, 400);
  SectorNo s = 0;
  auto [size, want] = GetParam().make(v, s);
  v.addFile("file.bin", s, size);
  NtfsRun run;
  auto dest = test::makeTempDir("decode");
  RecoveryReport report([](const FileCopyRequest& req, ReportEntry& e) { e.sourcePath = "/" + req.name; });
  auto res = run.all(v, dest, nullptr, &report);
  // The report says what the summary says, and hashes what was written.
  ASSERT_EQ(res.files.size(), 1u);
  ASSERT_EQ(report.entries().size(), 1u);
  const ReportEntry& e = report.entries()[0];
  EXPECT_EQ(e.outcome, reportWord(res.files[0].outcome));
  EXPECT_EQ(e.reason, res.files[0].reason);
  if (GetParam().failed) {
    EXPECT_EQ(res.files[0].outcome, FileOutcome::Failed);
    EXPECT_FALSE(test::exists(dest + "/file.bin"));
    EXPECT_TRUE(e.sha256.empty());
    EXPECT_EQ(res.filesSaved, 0u);
    return;
  }
  EXPECT_EQ(test::readFile(dest + "/file.bin"), want);
  EXPECT_EQ(e.sha256, test::sha256Hex(want));
  EXPECT_EQ(e.outcome, GetParam().decoded ? "whole" : "not decoded");
  if (GetParam().decoded) {
    EXPECT_EQ(res.filesSaved, 1u);
    EXPECT_TRUE(res.notDecoded.empty());
    EXPECT_TRUE(res.errors.empty()) << res.errors.front();
  } else {
    EXPECT_EQ(res.filesSaved, 0u);
    EXPECT_EQ(res.notDecoded, std::vector<std::string>{dest + "/file.bin"});
    EXPECT_EQ(res.errors.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, NtfsDecode,
    ::testing::Values(
        // Units of 16 clusters of 512 bytes: the first compressed in one
        // cluster (two chunks, the first padded to 4096), the second sparse,
        // the last short and stored raw.
        DecodeCase{"compressed_sparse_and_raw_units",
                   [](CraftedNtfs& v, SectorNo& s) {
                     Blob packed = test::cat({abcChunk(), abcChunk()});
                     packed.resize(512, 0);
                     v.disk.put(300 * 512, packed.data(), packed.size());
                     const std::uint64_t size = 2 * 8192 + 1000;
                     s = v.addRecord(test::fileRecord({dataWith(
                         test::cat({test::run(1, 1, 300, 2), test::run(31, 1, 0, 0), test::run(2, 1, -100, 1)}),
                         size, 0x0001, 4, size)}));
                     const std::string abc = "abcabcabcabc";
                     return std::pair{size, abc + zeros(4096 - 12) + abc + zeros(8192 - 4108) + zeros(8192) +
                                                v.content({200, 201}, 1000)};
                   },
                   true},
        DecodeCase{"initialised_size_below_size",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord({dataWith(test::run(4, 1, 100, 1), 2000, 0, 0, 700)}));
                     return std::pair{std::uint64_t{2000}, v.content({100, 101}, 700) + zeros(1300)};
                   },
                   true},
        DecodeCase{"compressed_with_initialised_size_below_size",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord({dataWith(test::run(16, 1, 120, 1), 6000, 0x0001, 4, 1500)}));
                     return std::pair{std::uint64_t{6000}, v.content({120, 121, 122}, 1500) + zeros(4500)};
                   },
                   true},
        DecodeCase{"encrypted",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord({test::stdInfoAttr(), dataWith(test::run(2, 1, 150, 1), 900,
                                                                                      0x4000, 0, 900)}));
                     return std::pair{std::uint64_t{900}, v.content({150, 151}, 900)};
                   },
                   false},
        DecodeCase{"wof_reparse_point",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord(
                         {test::stdInfoAttr(), reparseAttr(0x80000017), test::nonResidentData(test::run(1, 1, 160, 1), 300)}));
                     return std::pair{std::uint64_t{300}, v.content({160}, 300)};
                   },
                   false},
        DecodeCase{"symbolic_link_is_plain",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord(
                         {test::stdInfoAttr(), reparseAttr(0xA000000C), test::nonResidentData(test::run(1, 1, 170, 1), 300)}));
                     return std::pair{std::uint64_t{300}, v.content({170}, 300)};
                   },
                   true},
        // A run whose offset field is wider than 8 bytes: no run decodes,
        // nothing is written, and the report says failed as the summary does.
        DecodeCase{"damaged_runs_write_nothing",
                   [](CraftedNtfs& v, SectorNo& s) {
                     s = v.addRecord(test::fileRecord(
                         {test::stdInfoAttr(),
                          test::nonResidentData(Blob{0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, 300)}));
                     return std::pair{std::uint64_t{300}, std::string()};
                   },
                   false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NtfsCopy, DamagedCompressedDataIsNotASave) {
  CraftedNtfs v(1, 400);
  Blob bad{0x03, 0xB0, 0x01, 0x00, 0x10, 0x00};
  bad.resize(512, 0);
  v.disk.put(180 * 512, bad.data(), bad.size());
  SectorNo s = v.addRecord(test::fileRecord(
      {dataWith(test::cat({test::run(1, 1, 180, 2), test::run(15, 1, 0, 0)}), 3000, 0x0001, 4, 3000)}));
  v.addFile("bad.bin", s, 3000);
  NtfsRun run;
  auto dest = test::makeTempDir("badunit");
  auto res = run.all(v, dest);
  EXPECT_EQ(res.incomplete, std::vector<std::string>{dest + "/bad.bin"});
  ASSERT_EQ(res.errors.size(), 1u);
  EXPECT_NE(res.errors[0].find("compressed data is damaged"), std::string::npos);
}

// A named stream is a row of its own: copied when chosen, and with its file
// when streams are asked for; written as NAME:STREAM beside the file.
TEST(NtfsCopy, NamedStreamsAreRowsOfTheirOwn) {
  CraftedNtfs v(8, 64);
  const std::uint32_t c = v.firstDataCluster + 2;
  SectorNo s = v.addRecord(test::fileRecord({test::stdInfoAttr(), test::residentData("zone data", u"Zone"),
                                             test::nonResidentData(test::run(1, 1, c, 1), 1000)}));
  v.addFile("doc.bin", s, 1000);
  v.tree.addNtfsFile(s, "doc.bin:Zone", 64, kNtfsRootRecord, 0, 0, false, 9, true);
  v.tree.buildNtfsFolderTree();
  NtfsFileSet set = v.files();
  auto rows = listNtfsFolder(v.tree, set, kNtfsRootRecord);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].name, "doc.bin:Zone");
  EXPECT_EQ(rows[1].stream, "Zone");
  auto own = v.disk.reader();
  for (bool withStreams : {false, true}) {
    NtfsRun run;
    run.settings.recoverStreams = withStreams;
    RecoveryContext ctx{*own, v.vp, v.tree, set, ScanType::Standard, run.settings, run.filters};
    // The file alone: its stream comes only with streams asked for.
    auto dest = test::makeTempDir("streams");
    auto res = recoverListRows(ctx, std::span(rows).first(1), dest, run.flags, run.obs);
    EXPECT_EQ(res.filesSaved, withStreams ? 2u : 1u);
    EXPECT_EQ(test::exists(dest + "/doc.bin:Zone"), withStreams);
    // Both rows: each written once.
    auto both = test::makeTempDir("streams");
    res = recoverListRows(ctx, rows, both, run.flags, run.obs);
    EXPECT_EQ(res.filesSaved, 2u);
    EXPECT_EQ(test::readFile(both + "/doc.bin:Zone"), "zone data");
    EXPECT_EQ(test::readFile(both + "/doc.bin"), v.content({c}, 1000));
    EXPECT_EQ(test::treeOf(both).size(), 2u);
  }
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
