// Recoverability verdicts on volumes made with mtools and ntfs-3g where
// later writes took the clusters of some deleted files: each verdict kind
// agrees with The Sleuth Kit's view kept in the manifest, and with the bytes
// recovery writes (intact and guessed files come back as they were written,
// overwritten and partly overwritten ones do not). A sector of the FAT or of
// $Bitmap that does not read makes the verdict unknown.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "disk/faulty_source.h"
#include "harness.h"
#include "recovery/extract.h"
#include "recovery/report.h"
#include "recovery/verdict.h"
#include "support/fixtures.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

struct Volume {
  std::unique_ptr<SectorReader> reader;
  FaultySource* faults = nullptr;
  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  ParentIndex ntfsIndex;
  NtfsFileSet files() { return NtfsFileSet(tree.ntfsFiles, ntfsIndex); }
};

struct Fixture {
  const char* name;
  FsType fs;
  SectorNo end;
};
const Fixture kFixtures[] = {
    {"reuse_fat16", FsType::Fat16, 16383},
    {"reuse_fat32", FsType::Fat32, 67583},
    {"reuse_ntfs", FsType::Ntfs, 16383},
};

std::unique_ptr<Volume> open(const Fixture& f) {
  auto v = std::make_unique<Volume>();
  std::string err;
  auto src = FileBlockSource::open(test::fixtureImage(f.name), err);
  EXPECT_TRUE(src) << err;
  auto faulty = std::make_unique<FaultySource>(std::move(src));
  v->faults = faulty.get();
  v->reader = std::make_unique<SectorReader>(std::move(faulty));
  v->reader->setBadSectorRetries(1);
  Selection sel{f.fs, 0, f.end + 1, f.end, 0};
  StopFlag stop{0};
  EXPECT_EQ(runStandardScan(*v->reader, sel, v->vp, v->runs, v->tree, stop, nullObserver()), ScanOutcome::Done);
  return v;
}

// The path of a file record, "/DIR/a.txt".
std::string pathOf(Volume& v, std::size_t i) {
  const bool fat = isFat(v.vp.fsType);
  std::string path = "/" + (fat ? v.tree.fatFiles[i].name : v.tree.ntfsFiles[i].name);
  std::uint32_t parent = fat ? v.tree.fatFiles[i].parentCluster : v.tree.ntfsFiles[i].parentRecord;
  for (int step = 0; step < 100 && parent != (fat ? kFatRootCluster : kNtfsRootRecord); ++step) {
    const std::int64_t f = fat ? v.tree.findFatFolder(parent) : v.tree.findNtfsFolder(parent);
    if (f < 0) break;
    const auto k = static_cast<std::size_t>(f);
    path = "/" + (fat ? v.tree.fatFolders[k].name : v.tree.ntfsFolders[k].name) + path;
    parent = fat ? v.tree.fatFolders[k].parentCluster : v.tree.ntfsFolders[k].parentRecord;
  }
  return path;
}

std::int64_t findFile(Volume& v, const std::string& path, bool deleted) {
  const std::size_t n = isFat(v.vp.fsType) ? v.tree.fatFiles.size() : v.tree.ntfsFiles.size();
  for (std::size_t i = 0; i < n; ++i) {
    const bool d = isFat(v.vp.fsType) ? v.tree.fatFiles[i].deleted : v.tree.ntfsFiles[i].deleted;
    if (d == deleted && pathOf(v, i) == path) return static_cast<std::int64_t>(i);
  }
  return -1;
}

const Recoverability& verdictOf(Volume& v, std::size_t i) {
  return isFat(v.vp.fsType) ? v.tree.fatFiles[i].recoverable : v.tree.ntfsFiles[i].recoverable;
}

// Copies file record i alone into dir; the written file's bytes.
std::string recoverOne(Volume& v, std::size_t i, const std::string& dir) {
  RecoverySettings settings;
  FilterTable filters;
  RecoveryFlags flags;
  RecoveryContext ctx{*v.reader, v.vp, v.tree, v.files(), ScanType::Standard, settings, filters};
  Extractor ex(ctx, flags, nullObserver());
  FileCopyRequest req;
  req.targetFolder = dir;
  req.hasTime = false;
  CopyResult r;
  if (isFat(v.vp.fsType)) {
    req.name = "out";
    req.size = v.tree.fatFiles[i].size;
    req.location = v.tree.fatFiles[i].firstCluster;
    r = ex.copyFatFile(req);
  } else {
    req.name = "out";
    req.size = v.tree.ntfsFiles[i].size;
    req.location = v.tree.ntfsFiles[i].dataRecordSector;
    r = ex.copyNtfsFile(req);
  }
  EXPECT_EQ(r.status, CopyStatus::Written);
  return test::readFile(r.path);
}

struct Expected {
  std::string path, verdict, sha256;
  double fraction = 0;
};

std::vector<Expected> expectedVerdicts(const std::string& name) {
  std::ifstream f(test::fixtureManifestPath(name));
  const auto j = nlohmann::json::parse(f);
  std::vector<Expected> out;
  for (const auto& e : j["volumes"][name]["entries"])
    if (e.contains("verdict"))
      out.push_back({e["path"], e["verdict"], e.value("sha256", ""), e["overwritten_fraction"].get<double>()});
  return out;
}

Verdict verdictNamed(const std::string& word) {
  for (Verdict v : {Verdict::Intact, Verdict::Partial, Verdict::Overwritten, Verdict::Guessed, Verdict::Unknown})
    if (word == verdictWord(v)) return v;
  return Verdict::None;
}

struct Case {
  Fixture fixture;
  const char* verdict;
};
std::string caseName(const testing::TestParamInfo<Case>& i) {
  return std::string(i.param.fixture.name) + "_" + i.param.verdict;
}

class VerdictKinds : public testing::TestWithParam<Case> {};

// Every deleted file the manifest gives this verdict gets it, with the same
// fraction, and recovers as the verdict says.
TEST_P(VerdictKinds, AgreeWithTheSleuthKitAndTheBytes) {
  const Case& c = GetParam();
  auto v = open(c.fixture);
  const VerdictCounts counts = assessRecoverability(*v->reader, v->vp, v->tree, v->files(), v->runs);
  EXPECT_TRUE(counts.allocationRead);
  std::size_t checked = 0;
  for (const Expected& e : expectedVerdicts(c.fixture.name)) {
    if (e.verdict != c.verdict) continue;
    SCOPED_TRACE(e.path);
    const std::int64_t i = findFile(*v, e.path, true);
    ASSERT_GE(i, 0);
    const Recoverability& r = verdictOf(*v, static_cast<std::size_t>(i));
    EXPECT_EQ(r.verdict, verdictNamed(e.verdict)) << verdictText(r);
    EXPECT_NEAR(r.claimedFraction(), e.fraction, 1e-3);
    const std::string bytes = recoverOne(*v, static_cast<std::size_t>(i), test::makeTempDir("verdict"));
    if (r.verdict == Verdict::Intact || r.verdict == Verdict::Guessed)
      EXPECT_EQ(test::sha256Hex(bytes), e.sha256) << "an intact file must come back as it was";
    else
      EXPECT_NE(test::sha256Hex(bytes), e.sha256) << "an overwritten file cannot come back as it was";
    ++checked;
  }
  EXPECT_GT(checked, 0u) << "the fixture has no file of this verdict";
  // Live files get none.
  const std::int64_t live = findFile(*v, isFat(v->vp.fsType) ? "/NEW/New file.bin" : "/new/new1.bin", false);
  ASSERT_GE(live, 0);
  EXPECT_EQ(verdictOf(*v, static_cast<std::size_t>(live)).verdict, Verdict::None);
}

// Sectors of the allocation state of one deleted file (FAT: its entry in
// both FAT copies; NTFS: the $Bitmap sector of its first cluster) that never
// read make its verdict unknown.
class UnknownVerdict : public testing::TestWithParam<Fixture> {};

TEST_P(UnknownVerdict, WhenTheAllocationStateDoesNotRead) {
  const Fixture& fixture = GetParam();
  auto v = open(fixture);
  const std::string path = isFat(v->vp.fsType) ? "/OLD/Small file.txt" : "/old/intact.bin";
  const std::int64_t i = findFile(*v, path, true);
  ASSERT_GE(i, 0);
  if (isFat(v->vp.fsType)) {
    const std::uint32_t perSector = v->vp.fsType == FsType::Fat32 ? 128 : 256;
    const std::uint32_t cluster = v->tree.fatFiles[static_cast<std::size_t>(i)].firstCluster;
    v->faults->failSector(v->vp.fat1Start + cluster / perSector);
    v->faults->failSector(v->vp.fat2Start + cluster / perSector);
  } else {
    // $Bitmap's first cluster, from The Sleuth Kit.
    const std::string istat = test::runCommand("istat " + test::fixtureImage(fixture.name) + " 6");
    const auto at = istat.find("Type: $DATA (128-1)");
    ASSERT_NE(at, std::string::npos) << istat;
    const std::uint64_t cluster = std::stoull(istat.substr(istat.find('\n', at) + 1));
    v->faults->failSector(v->vp.clusterBase + cluster * v->vp.sectorsPerCluster);
  }
  const VerdictCounts counts = assessRecoverability(*v->reader, v->vp, v->tree, v->files(), v->runs);
  EXPECT_EQ(verdictOf(*v, static_cast<std::size_t>(i)).verdict, Verdict::Unknown);
  EXPECT_GT(counts.unknown, 0u);
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (const Fixture& f : kFixtures)
    for (const char* k : {"intact", "partial", "overwritten", "guessed"})
      if (isFat(f.fs) || std::string(k) != "guessed") out.push_back({f, k});
  return out;
}
INSTANTIATE_TEST_SUITE_P(Reuse, VerdictKinds, testing::ValuesIn(cases()), caseName);
INSTANTIATE_TEST_SUITE_P(Reuse, UnknownVerdict, testing::ValuesIn(kFixtures),
                         [](const testing::TestParamInfo<Fixture>& i) { return std::string(i.param.name); });

// The cluster map: ranges across word boundaries, clusters beyond the map.
TEST(ClusterMap, RangesAndBounds) {
  ClusterMap m;
  m.reset(200);
  m.claimRange(60, 70);  // 60..129
  EXPECT_FALSE(m.claimed(59));
  EXPECT_TRUE(m.claimed(60));
  EXPECT_TRUE(m.claimed(127));
  EXPECT_TRUE(m.claimed(129));
  EXPECT_FALSE(m.claimed(130));
  EXPECT_TRUE(m.claimed(200)) << "beyond the volume no data can lie";
  m.claimRange(190, 1000);
  EXPECT_TRUE(m.claimed(199));
  EXPECT_FALSE(m.unknown(10));
  m.markUnknown(0, 16);
  EXPECT_TRUE(m.unknown(15));
  EXPECT_FALSE(m.unknown(16));

  VerdictCounter none(m);
  EXPECT_EQ(none.result().verdict, Verdict::Intact) << "no clusters: nothing to lose";
  VerdictCounter part(m);
  part.addRange(56, 8);  // 4 free, 4 claimed
  EXPECT_EQ(part.result().verdict, Verdict::Partial);
  EXPECT_DOUBLE_EQ(part.result().claimedFraction(), 0.5);
  VerdictCounter guess(m);
  guess.setGuessed();
  guess.addRange(140, 3);
  EXPECT_EQ(guess.result().verdict, Verdict::Guessed);
  guess.add(60);
  EXPECT_EQ(guess.result().verdict, Verdict::Partial);
  EXPECT_TRUE(guess.result().guessedChain);
  VerdictCounter unknown(m);
  unknown.addRange(14, 4);
  EXPECT_EQ(unknown.result().verdict, Verdict::Unknown);
  EXPECT_EQ(verdictText(part.result()), "Partly overwritten 50%");
}

// A report entry: a sector of the file that does not read is written as
// zeros, the entry says where, the outcome is incomplete, and the hashes are
// those of the bytes written; the runs cover the file's clusters.
TEST(RecoveryReport, ZeroFilledRangesAndHashesOfTheBytesWritten) {
  auto v = open(kFixtures[0]);
  assessRecoverability(*v->reader, v->vp, v->tree, v->files(), v->runs);
  const std::int64_t i = findFile(*v, "/OLD/Guess file.bin", true);
  ASSERT_GE(i, 0);
  const FatFileNode& f = v->tree.fatFiles[static_cast<std::size_t>(i)];
  // Fail the first sector of its second cluster.
  const std::uint64_t bad = v->vp.clusterSector(f.firstCluster + 1);
  v->faults->failSector(bad);
  RecoverySettings settings;
  FilterTable filters;
  RecoveryFlags flags;
  RecoveryReport report([](const FileCopyRequest& req, ReportEntry& e) { e.sourcePath = "/" + req.name; });
  RecoveryContext ctx{*v->reader, v->vp, v->tree, v->files(), ScanType::Standard, settings, filters, &report};
  std::vector<ListRow> rows;
  for (const ListRow& r : listFatFolder(v->tree, f.parentCluster))
    if (!r.folder && r.name == f.name) rows.push_back(r);
  ASSERT_EQ(rows.size(), 1u);
  const std::string dest = test::makeTempDir("zero");
  recoverListRows(ctx, rows, dest, flags, nullObserver());
  ASSERT_EQ(report.entries().size(), 1u);
  const ReportEntry& e = report.entries()[0];
  EXPECT_EQ(e.outcome, "incomplete");
  EXPECT_TRUE(e.deleted);
  EXPECT_EQ(e.recoverable.verdict, Verdict::Guessed);
  const std::uint64_t clusterBytes = std::uint64_t{v->vp.sectorsPerCluster} * kSectorSize;
  ASSERT_EQ(e.zeroFilled.size(), 1u);
  EXPECT_EQ(e.zeroFilled[0], std::make_pair(clusterBytes, std::uint64_t{kSectorSize})) << "exactly the failed sector";
  const std::string bytes = test::readFile(e.destination);
  EXPECT_EQ(bytes.size(), f.size);
  EXPECT_EQ(bytes.substr(clusterBytes, kSectorSize), std::string(kSectorSize, '\0'));
  EXPECT_EQ(e.sha256, test::sha256Hex(bytes));
  // One run: the guessed clusters are contiguous.
  ASSERT_EQ(e.runs.size(), 1u);
  EXPECT_EQ(e.runs[0].diskOffset, std::uint64_t{v->vp.clusterSector(f.firstCluster)} * kSectorSize);
  EXPECT_EQ(e.runs[0].length, f.size);
  // Every format names it.
  EXPECT_NE(report.csv().find(e.sha256), std::string::npos);
  EXPECT_NE(report.json().find("\"zero_filled\""), std::string::npos);
  EXPECT_NE(report.dfxml().find("<hashdigest type='sha256'>" + e.sha256), std::string::npos);
}

}  // namespace
}  // namespace osprin
