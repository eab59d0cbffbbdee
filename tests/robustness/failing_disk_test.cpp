// The sample disk read through a source that fails on purpose: sectors that
// never read (inside the FAT, a directory, the MFT, a file's data), sectors
// that read only on the third attempt, and a device that ends early. The
// standard scan, the deep scan and recovery complete; what could not be read
// is reported, never passed off as recovered; recovered files keep their
// length and unreadable sectors come out as zeros.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <set>

#include "recovery/extract.h"
#include "session_disk.h"
#include "ntfs/record.h"

namespace osprin {
namespace {

using test::FaultyDisk;

// Partitions of the sample disk and their manifest keys.
constexpr std::size_t kFat32 = 0, kNtfs = 1, kFat16 = 2;
const char* const kKeys[] = {"p1", "p2", "p5", "p6"};

std::string sample() { return test::fixtureImage("sample"); }

// The row at a "/"-joined path of the mounted tree (FAT names compared
// without regard to case: the fixture's names are stored as short names).
std::optional<ListRow> rowAt(Session& s, const std::string& path) {
  std::vector<ListRow> rows = s.listFolder(s.rootIdentity());
  std::string rest = path.substr(1);
  while (true) {
    const auto slash = rest.find('/');
    const std::string part = rest.substr(0, slash);
    const ListRow* hit = nullptr;
    for (const ListRow& r : rows)
      if (s.usesFatTree() ? test::lowerCase(r.name) == test::lowerCase(part) : r.name == part) hit = &r;
    if (!hit) return std::nullopt;
    if (slash == std::string::npos) return *hit;
    if (!hit->folder) return std::nullopt;
    rows = s.listItem(static_cast<std::uint32_t>(hit->id));
    rest = rest.substr(slash + 1);
  }
}

// The first sector of a file's data.
SectorNo firstDataSector(Session& s, const ListRow& row) {
  if (s.usesFatTree()) {
    const std::int64_t i = s.tree.findFatFileByIndex(static_cast<std::uint32_t>(row.id));
    EXPECT_GE(i, 0);
    return s.vp.clusterSector(s.tree.fatFiles[static_cast<std::size_t>(i)].firstCluster);
  }
  std::array<std::uint8_t, kMftRecordSize> rec{};
  EXPECT_TRUE(s.reader->readSectors(static_cast<SectorNo>(row.id), 2, rec.data()));
  applyFixup(rec);
  const DataAttribute a = findUnnamedData(rec);
  EXPECT_TRUE(a.found && !a.resident) << row.name;
  const RunList runs = decodeDataRuns(rec, a.offset);
  EXPECT_FALSE(runs.runs.empty());
  return s.vp.clusterBase + static_cast<SectorNo>(runs.runs.at(0).startCluster) * s.vp.sectorsPerCluster;
}

// The first sector of a folder's directory (FAT) or its MFT record (NTFS).
SectorNo folderSector(Session& s, const ListRow& row) {
  EXPECT_TRUE(s.usesFatTree());
  return s.vp.clusterSector(s.identityOfItem(static_cast<std::uint32_t>(row.id)));
}

// Compares what a recovery of partition `part`'s root wrote with the
// manifest: every file that is not deleted is there with its length, and
// with its content unless it is named in `damaged`. Returns the files.
std::map<std::string, std::string> expectRecovered(const std::string& dest, std::size_t part,
                                                   const std::set<std::string>& missing = {},
                                                   const std::set<std::string>& damaged = {}) {
  const bool fat = part != kNtfs;
  std::map<std::string, std::string> files;
  for (auto& [path, bytes] : test::filesBelow(dest)) files[fat ? test::lowerCase(path) : path] = bytes;
  for (const auto& e : test::readManifestEntries("sample", kKeys[part])) {
    if (e.kind != "file" || e.deleted) continue;
    const std::string key = fat ? test::lowerCase(e.path) : e.path;
    if (missing.count(e.path)) {
      EXPECT_EQ(files.count(key), 0u) << e.path << " should have been lost";
      continue;
    }
    auto it = files.find(key);
    if (it == files.end()) {
      ADD_FAILURE() << kKeys[part] << ": " << e.path << " was not recovered";
      continue;
    }
    EXPECT_EQ(it->second.size(), e.size) << e.path;
    if (!damaged.count(e.path) && !e.sha256.empty()) {
      EXPECT_EQ(test::sha256Hex(it->second), e.sha256) << kKeys[part] << ": " << e.path;
    }
  }
  return files;
}

// The bytes of the file at path below dest, the name compared without
// regard to case ("" when there is none).
std::string recoveredFile(const std::string& dest, const std::string& path) {
  for (auto& [p, bytes] : test::filesBelow(dest))
    if (test::lowerCase(p) == test::lowerCase(path)) return bytes;
  return "";
}

// The bytes a healthy disk gives for a file of partition `part`.
std::string healthyBytes(std::size_t part, const std::string& path) {
  FaultyDisk d(sample());
  EXPECT_EQ(d.scanPartition(part), ScanOutcome::Done);
  const std::string dest = test::makeTempDir("healthy");
  d.recoverAll(dest);
  return recoveredFile(dest, path);
}

// The deep scan of the partition completes, finds its file system and
// recovers files of the right length.
void expectDeepScanRecovers(FaultyDisk& d, std::size_t part) {
  const std::string dest = test::makeTempDir("deep");
  RecoveryResult r;
  ASSERT_GE(d.deepScanPartition(part, dest, &r), 1u) << kKeys[part];
  EXPECT_GT(r.filesSaved, 0u);
  const auto files = test::filesBelow(dest);
  EXPECT_FALSE(files.empty());
  // Deep-scan trees name folders by what they found; files are matched by name.
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& e : test::readManifestEntries("sample", kKeys[part]))
    if (e.kind == "file" && !e.deleted) sizes[test::lowerCase(std::filesystem::path(e.path).filename().string())] = e.size;
  for (const auto& [path, bytes] : files) {
    auto it = sizes.find(test::lowerCase(std::filesystem::path(path).filename().string()));
    if (it != sizes.end()) {
      EXPECT_EQ(bytes.size(), it->second) << path;
    }
  }
}

TEST(FailingDisk, HealthyDiskRecoversEveryFileOfEveryKind) {
  for (std::size_t part : {kFat32, kNtfs, kFat16}) {
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done) << kKeys[part];
    const std::string dest = test::makeTempDir("whole");
    const RecoveryResult r = d.recoverAll(dest);
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    EXPECT_EQ(r.failedReads, 0u);
    expectRecovered(dest, part);
    expectDeepScanRecovers(d, part);
  }
}

TEST(FailingDisk, UnreadableFatSectorFallsBackToTheSecondCopy) {
  for (std::size_t part : {kFat32, kFat16}) {
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done);
    // The first sector of FAT copy 1 holds every chain of this small volume.
    d.faults->failSector(d.s.vp.fat1Start);
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done) << kKeys[part];
    const std::string dest = test::makeTempDir("fat");
    const RecoveryResult r = d.recoverAll(dest);
    EXPECT_EQ(r.failedReads, 0u);
    EXPECT_TRUE(r.incomplete.empty());
    // Multi-cluster files follow the chain of FAT copy 2, byte for byte.
    expectRecovered(dest, part);
    EXPECT_GE(d.faults->attemptsOn(d.s.vp.fat1Start), 3);
    expectDeepScanRecovers(d, part);
  }
}

TEST(FailingDisk, UnreadableDirectorySectorLosesOnlyThatDirectory) {
  for (std::size_t part : {kFat32, kFat16}) {
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done);
    auto docs = rowAt(d.s, "/Documents");
    ASSERT_TRUE(docs && docs->folder);
    d.faults->failSector(folderSector(d.s, *docs));
    d.obs.warnings.clear();
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done) << kKeys[part];
    // The folder is named in a warning, once.
    EXPECT_EQ(d.obs.warned("the folder " + docs->name + " (cluster "), 1u) << testing::PrintToString(d.obs.warnings);
    EXPECT_EQ(d.obs.warned("could not be read"), 1u);
    // The folder is still listed (its entry is in the root), empty.
    docs = rowAt(d.s, "/Documents");
    ASSERT_TRUE(docs);
    EXPECT_TRUE(d.s.listItem(static_cast<std::uint32_t>(docs->id)).empty());
    const std::string dest = test::makeTempDir("dir");
    const RecoveryResult r = d.recoverAll(dest);
    EXPECT_EQ(r.failedReads, 0u);
    expectRecovered(dest, part, {"/Documents/report.bin", "/Documents/Letters/letter one.txt"});
    expectDeepScanRecovers(d, part);
  }
}

TEST(FailingDisk, UnreadableMftRecordLosesOnlyThatFile) {
  FaultyDisk d(sample());
  ASSERT_EQ(d.scanPartition(kNtfs), ScanOutcome::Done);
  auto readme = rowAt(d.s, "/readme.txt");
  ASSERT_TRUE(readme);
  d.faults->failSector(static_cast<SectorNo>(readme->id));
  ASSERT_EQ(d.scanPartition(kNtfs), ScanOutcome::Done);
  EXPECT_FALSE(rowAt(d.s, "/readme.txt"));
  // Named: one MFT record could not be read.
  ASSERT_EQ(d.obs.warned("1 MFT record(s) could not be read (the first is record "), 1u)
      << testing::PrintToString(d.obs.warnings);
  const std::string dest = test::makeTempDir("mft");
  const RecoveryResult r = d.recoverAll(dest);
  // The root lists the system files too: $MFT, whose data holds the record,
  // comes out with that sector as zeros, and says so.
  EXPECT_EQ(r.failedReads, 1u);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_NE(r.errors[0].find("/$MFT: some sectors could not be read"), std::string::npos) << r.errors[0];
  expectRecovered(dest, kNtfs, {"/readme.txt"});
  expectDeepScanRecovers(d, kNtfs);
}

// Record 0 of the MFT unreadable: its copy in the MFT mirror gives the
// runs, the tree is whole, and a warning says the mirror was used. With the
// mirror unreadable too the volume is listed empty, and a warning says why.
TEST(FailingDisk, UnreadableFirstMftRecordIsReadFromTheMirror) {
  FaultyDisk healthy(sample());
  ASSERT_EQ(healthy.scanPartition(kNtfs), ScanOutcome::Done);
  const std::size_t rows = healthy.s.listFolder(healthy.s.rootIdentity()).size();
  const std::size_t files = healthy.s.tree.ntfsFiles.size();

  FaultyDisk d(sample());
  ASSERT_EQ(d.scanPartition(kNtfs), ScanOutcome::Done);
  const SectorNo mft = d.s.vp.mftStart, mirror = d.s.vp.mftMirrorStart;
  ASSERT_NE(mirror, 0u);
  d.faults->failSector(mft);
  d.faults->failSector(mft + 1);
  d.obs.warnings.clear();
  ASSERT_EQ(d.scanPartition(kNtfs), ScanOutcome::Done);
  EXPECT_EQ(d.s.listFolder(d.s.rootIdentity()).size(), rows);
  EXPECT_EQ(d.s.tree.ntfsFiles.size(), files);
  EXPECT_EQ(d.obs.warned("MFT mirror (sector " + std::to_string(mirror) + ") was used"), 1u)
      << testing::PrintToString(d.obs.warnings);
  const std::string dest = test::makeTempDir("mirror");
  d.recoverAll(dest);
  expectRecovered(dest, kNtfs);

  d.faults->failSector(mirror);
  d.obs.warnings.clear();
  const ScanOutcome out = d.scanPartition(kNtfs);
  EXPECT_TRUE(out == ScanOutcome::Done || out == ScanOutcome::Failed);
  if (out == ScanOutcome::Done) {
    EXPECT_TRUE(d.s.listFolder(d.s.rootIdentity()).empty());
    EXPECT_EQ(d.obs.warned("nor its copy in the MFT mirror; the volume is listed empty"), 1u)
        << testing::PrintToString(d.obs.warnings);
  }
  // The deep scan finds the other records by themselves.
  expectDeepScanRecovers(d, kNtfs);
}

// A run of bad sectors inside a file: about one failed read per bad sector
// (not one per attempt), the ranges named in the file's result, and a stop
// pressed while the run is read takes effect within one read.
TEST(FailingDisk, ARunOfBadSectorsCostsAboutOneFailedReadEach) {
  for (std::size_t part : {kFat32, kNtfs}) {
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done);
    auto photo = rowAt(d.s, "/Pictures/photo.jpg");
    ASSERT_TRUE(photo);
    const SectorNo first = firstDataSector(d.s, *photo);
    // Sectors 4 to 35 of the 40 of the photo, each failed read slow as on
    // a failing disk.
    d.faults->failRange(first + 4, 32);
    d.faults->setFailureDelay(std::chrono::microseconds(100));
    const std::uint64_t before = d.faults->failedRequests();
    RecoveryFlags flags;
    const std::string dest = test::makeTempDir("run");
    const RecoveryResult r = d.s.recoverRows({*photo}, dest, flags, d.obs);
    d.faults->setFailureDelay(std::chrono::microseconds(0));
    const std::uint64_t failed = d.faults->failedRequests() - before;
    EXPECT_GE(failed, 32u) << kKeys[part];
    EXPECT_LE(failed, 32u + 8) << kKeys[part];  // three attempts each would be 96 and more
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].outcome, FileOutcome::Incomplete);
    EXPECT_EQ(r.files[0].zeroFilled, (std::vector<ByteRange>{{4 * 512, 32 * 512}})) << kKeys[part];
    EXPECT_EQ(r.problemCount(), 1u);

    // Stop after the 5th read of the copy: the reader ends at once, the
    // partial file is removed and not counted.
    const std::uint64_t start = d.faults->requests();
    RecoveryFlags stopping;
    d.faults->onRequest([&](std::uint64_t n) {
      if (n == start + 5) stopping.saveStopRequested.store(1);
    });
    const std::string dest2 = test::makeTempDir("run-stop");
    const RecoveryResult r2 = d.s.recoverRows({*photo}, dest2, stopping, d.obs);
    d.faults->onRequest({});
    EXPECT_LE(d.faults->requests() - start, 5u + 1) << kKeys[part];
    EXPECT_TRUE(r2.stopped);
    EXPECT_EQ(r2.filesSaved, 0u);
    EXPECT_TRUE(test::filesBelow(dest2).empty());
  }
}

// A stop during the standard scan of a disk whose MFT (or FAT directories)
// read slowly and fail: the scan ends within a few reads of the stop.
TEST(FailingDisk, AStopDuringTheScanTakesEffectWithinAFewReads) {
  for (std::size_t part : {kFat32}) {
    // Everything after the first 200 sectors of the partition fails. A scan
    // without Stop counts the failed reads; the second presses Stop at half
    // of them, well into the walk.
    std::uint64_t failures = 0;
    for (int pass = 0; pass < 2; ++pass) {
      FaultyDisk d(sample());
      ASSERT_TRUE(d.s.readPartitionTables());
      const PartitionEntry p = d.s.partitions.at(part);
      d.faults->failRange(p.start + 200, p.length - 200);
      std::uint64_t stopAt = 0;
      if (pass == 1) {
        d.faults->onRequest([&](std::uint64_t n) {
          if (d.faults->failedRequests() >= failures / 2 && stopAt == 0) {
            stopAt = n;
            d.stop.store(1);
          }
        });
      }
      d.scanPartition(part);
      d.faults->onRequest({});
      if (pass == 0) {
        failures = d.faults->failedRequests();
        ASSERT_GE(failures, 20u) << kKeys[part];
        continue;
      }
      ASSERT_NE(stopAt, 0u) << kKeys[part];
      // A few reads at most after the stop: the one in flight, then whatever
      // the scan's own stop check comes after (one per record or sector).
      EXPECT_LE(d.faults->requests() - stopAt, 4u) << kKeys[part];
    }
  }
}

TEST(FailingDisk, UnreadableFileDataComesOutAsZeros) {
  for (std::size_t part : {kFat32, kNtfs, kFat16}) {
    const std::string healthy = healthyBytes(part, "/Pictures/photo.jpg");
    ASSERT_EQ(healthy.size(), 20000u);
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done);
    auto photo = rowAt(d.s, "/Pictures/photo.jpg");
    ASSERT_TRUE(photo);
    const SectorNo first = firstDataSector(d.s, *photo);
    d.faults->failSector(first);
    const std::string dest = test::makeTempDir("data");
    const RecoveryResult r = d.recoverAll(dest);
    expectRecovered(dest, part, {}, {"/Pictures/photo.jpg"});
    const std::string got = recoveredFile(dest, "/Pictures/photo.jpg");
    ASSERT_EQ(got.size(), 20000u) << kKeys[part];
    EXPECT_EQ(got.substr(0, 512), std::string(512, '\0')) << kKeys[part];
    EXPECT_EQ(got.substr(512), healthy.substr(512)) << kKeys[part];
    // Reported: a failed read, and the file named among the problems.
    EXPECT_GE(r.failedReads, 1u);
    bool named = false;
    for (const auto& e : r.errors)
      named = named || (test::lowerCase(e).find("photo.jpg") != std::string::npos &&
                        e.find("could not be read") != std::string::npos);
    EXPECT_TRUE(named) << kKeys[part];
    // Every other file is whole, so the one bad sector is the only problem.
    EXPECT_EQ(r.errors.size(), 1u) << kKeys[part];
    EXPECT_EQ(r.problemCount(), 1u) << kKeys[part];
    for (const FileResult& f : r.files) {
      if (f.outcome == FileOutcome::Incomplete) {
        EXPECT_EQ(f.zeroFilled, (std::vector<ByteRange>{{0, 512}})) << f.path;
      }
    }
    expectDeepScanRecovers(d, part);
  }
}

TEST(FailingDisk, SectorsReadOnTheThirdAttemptAreRead) {
  for (std::size_t part : {kFat32, kNtfs, kFat16}) {
    SectorNo fatSector = 0, dirSector = 0, dataSector = 0, recordSector = 0;
    {
      FaultyDisk probe(sample());
      ASSERT_EQ(probe.scanPartition(part), ScanOutcome::Done);
      fatSector = probe.s.vp.fat1Start;
      auto photo = rowAt(probe.s, "/Pictures/photo.jpg");
      ASSERT_TRUE(photo);
      dataSector = firstDataSector(probe.s, *photo);
      if (probe.s.usesFatTree()) {
        dirSector = folderSector(probe.s, *rowAt(probe.s, "/Documents"));
      } else {
        recordSector = static_cast<SectorNo>(rowAt(probe.s, "/readme.txt")->id);
      }
    }
    // Each fails twice: the whole request once, then one sector-by-sector
    // attempt; the second attempt of three reads it.
    FaultyDisk d(sample());
    for (SectorNo s : {fatSector, dirSector, dataSector, recordSector})
      if (s != 0) d.faults->failSectorTimes(s, 2);
    ASSERT_EQ(d.s.reader->badSectorRetries(), 3);
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done) << kKeys[part];
    const std::string dest = test::makeTempDir("flaky");
    const RecoveryResult r = d.recoverAll(dest);
    EXPECT_TRUE(r.errors.empty()) << kKeys[part] << ": " << r.errors.front();
    EXPECT_EQ(r.failedReads, 0u);
    expectRecovered(dest, part);
    EXPECT_GE(d.faults->attemptsOn(dataSector), 3);
    expectDeepScanRecovers(d, part);

    // With a single attempt per sector the same data sector stays unread.
    FaultyDisk once(sample());
    once.s.settings.badSectorRetries = 1;
    ASSERT_EQ(once.scanPartition(part), ScanOutcome::Done);
    once.faults->failSectorTimes(dataSector, 2);
    const std::string dest1 = test::makeTempDir("once");
    const RecoveryResult r1 = once.recoverAll(dest1);
    EXPECT_EQ(r1.failedReads, 1u) << kKeys[part];
    expectRecovered(dest1, part, {}, {"/Pictures/photo.jpg"});
    const std::string got = recoveredFile(dest1, "/Pictures/photo.jpg");
    EXPECT_EQ(got.size(), 20000u);
    EXPECT_EQ(got.substr(0, 512), std::string(512, '\0'));
  }
}

TEST(FailingDisk, DeviceThatEndsInsideAFile) {
  for (std::size_t part : {kFat32, kNtfs}) {
    const std::string healthy = healthyBytes(part, "/Pictures/photo.jpg");
    FaultyDisk d(sample());
    ASSERT_EQ(d.scanPartition(part), ScanOutcome::Done);
    const SectorNo first = firstDataSector(d.s, *rowAt(d.s, "/Pictures/photo.jpg"));
    // Everything from the photo's 11th sector on is gone.
    d.faults->endAt(first + 10);
    const std::string dest = test::makeTempDir("end");
    const RecoveryResult r = d.recoverAll(dest);
    const std::string got = recoveredFile(dest, "/Pictures/photo.jpg");
    ASSERT_EQ(got.size(), 20000u) << kKeys[part];
    EXPECT_EQ(got.substr(0, 5120), healthy.substr(0, 5120));
    EXPECT_EQ(got.substr(5120), std::string(20000 - 5120, '\0'));
    EXPECT_GE(r.failedReads, 1u);
    EXPECT_FALSE(r.errors.empty());
    // The deep scan of the partition reads up to the end and stops there.
    const std::string deepDest = test::makeTempDir("end-deep");
    d.deepScanPartition(part, deepDest);
  }
}

TEST(FailingDisk, DeviceThatEndsBeforeTheLaterPartitions) {
  FaultyDisk d(sample());
  ASSERT_TRUE(d.s.readPartitionTables());
  ASSERT_EQ(d.s.partitions.size(), 4u);
  const SectorNo ntfsStart = d.s.partitions[kNtfs].start;
  // The disk ends 100 sectors into the NTFS partition: the extended chain
  // behind it cannot be read any more.
  d.faults->endAt(ntfsStart + 100);
  d.s.partitions.clear();
  ASSERT_TRUE(d.s.readPartitionTables());
  ASSERT_GE(d.s.partitions.size(), 2u);
  // The FAT32 partition before the end comes back whole.
  ASSERT_EQ(d.scanPartition(kFat32), ScanOutcome::Done);
  const std::string dest = test::makeTempDir("early");
  const RecoveryResult r = d.recoverAll(dest);
  EXPECT_TRUE(r.errors.empty());
  expectRecovered(dest, kFat32);
  // The NTFS partition that the end cuts: the scan ends with an answer.
  const ScanOutcome out = d.scanPartition(kNtfs);
  EXPECT_TRUE(out == ScanOutcome::Done || out == ScanOutcome::Failed);
  if (out == ScanOutcome::Failed) {
    ASSERT_FALSE(d.obs.errors.empty());
    EXPECT_EQ(d.obs.errors.back(), "Recovery is not possible in Standard scan, use Sdvance scan");
  }
  // A deep scan of the whole disk runs to its end and still finds the FAT32
  // file system.
  d.s.selectWholeDrive(FsType::Fat32);
  d.s.deepScan(d.stop, d.obs);
  EXPECT_GE(d.s.deep.foundFileSystems.size(), 1u);
}

}  // namespace
}  // namespace osprin
