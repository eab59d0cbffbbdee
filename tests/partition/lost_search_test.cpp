#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "deepscan/deep_builders.h"
#include "disk/faulty_source.h"
#include "partition/lost_search.h"
#include "support/fixtures.h"
#include "support/gpt_builder.h"
#include "support/phase_print.h"

namespace osprin {
namespace {

struct Disk {
  std::string bytes;
  explicit Disk(std::uint64_t sectors) : bytes(sectors * kSectorSize, '\0') {}
  char* at(std::uint64_t s) { return bytes.data() + s * kSectorSize; }
  void boot(std::uint64_t s, const char* kind, std::uint32_t length) {
    at(s)[510] = 0x55;
    at(s)[511] = static_cast<char>(0xAA);
    if (std::strcmp(kind, "FAT32") == 0) {
      std::memcpy(at(s) + 82, "FAT32   ", 8);
      std::memcpy(at(s) + 32, &length, 4);
    } else if (std::strcmp(kind, "FAT16") == 0) {
      std::memcpy(at(s) + 54, "FAT16   ", 8);
      // Under 65536 sectors the 16-bit total holds the count and the 32-bit one is 0.
      if (length < 65536) {
        const auto small = static_cast<std::uint16_t>(length);
        std::memcpy(at(s) + 19, &small, 2);
      } else {
        std::memcpy(at(s) + 32, &length, 4);
      }
    } else if (std::strcmp(kind, "NTFS") == 0) {
      std::memcpy(at(s) + 3, "NTFS    ", 8);
      std::memcpy(at(s) + 40, &length, 4);
    }
  }
};

DriveInfo geometry(std::uint32_t c, std::uint32_t h, std::uint32_t s) {
  DriveInfo d;
  d.cylinders = c;
  d.heads = h;
  d.sectorsPerTrack = s;
  d.totalSectors = c * h * s;
  return d;
}

class Recorder : public Observer {
 public:
  std::vector<PhaseInfo> phases;
  int lastProgress = -1;
  void phase(const PhaseInfo& p) override { phases.push_back(p); }
  void progress(int p) override { lastProgress = p; }
};

TEST(LostSearch, FindsVolumesAtCylinderStartsAndBehindTheFirstTrack) {
  Disk d(12 * 16065);
  d.boot(63, "NTFS", 40000);
  d.boot(5 * 16065 + 63, "FAT32", 90000);
  d.boot(7 * 16065, "FAT16", 30000);  // under 65536 sectors: the 16-bit total
  d.boot(8 * 16065, "FAT16", 0);      // no sector count: no partition
  d.boot(9 * 16065 + 63, "NONE", 0);  // a signature but no known type...
  d.boot(9 * 16065, "FAT16", 5);      // ...so the cylinder start is not examined
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  StopFlag stop{0};
  Recorder obs;
  auto list = searchLostPartitions(r, geometry(12, 255, 63), stop, obs);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(partitionLabel(0, list[0]), "Partition 1 - NTFS");
  EXPECT_EQ(list[0].start, 63u);
  EXPECT_EQ(list[0].length, 40000u);
  EXPECT_EQ(partitionLabel(1, list[1]), "Partition 2 - FAT32");
  EXPECT_EQ(list[1].start, 5u * 16065 + 63);
  EXPECT_EQ(list[2].start, 7u * 16065);
  EXPECT_EQ(list[2].length, 30000u);
  ASSERT_FALSE(obs.phases.empty());
  EXPECT_EQ(obs.phases.front(), PhaseInfo{Phase::SearchingPartitions});
  EXPECT_LE(obs.lastProgress, 99);
}

TEST(LostSearch, SearchGeometry) {
  // 16 heads and 63 sectors: cylinders of 1008 sectors.
  Disk d(40 * 1008);
  d.boot(30 * 1008 + 63, "FAT16", 7);
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  StopFlag stop{0};
  auto list = searchLostPartitions(r, geometry(40, 16, 63), stop, nullObserver());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start, 30u * 1008 + 63);

  // 32 sectors per track: the 255-head translation is used instead, so a
  // volume at a 1008-sector cylinder is not probed but one at 16065 is.
  Disk e(4 * 16065);
  e.boot(30 * 1008 + 63, "FAT16", 7);
  e.boot(2 * 16065 + 63, "FAT32", 9);
  SectorReader r2(std::make_unique<MemoryBlockSource>(e.bytes));
  auto list2 = searchLostPartitions(r2, geometry(4 * 16065 / (16 * 32), 16, 32), stop, nullObserver());
  ASSERT_EQ(list2.size(), 1u);
  EXPECT_EQ(list2[0].start, 2u * 16065 + 63);

  // No geometry: nothing is visited.
  EXPECT_TRUE(searchLostPartitions(r2, geometry(0, 0, 0), stop, nullObserver()).empty());
}

TEST(LostSearch, UnreadableProbesCountAsEmpty) {
  Disk d(4 * 16065);
  d.boot(63, "NTFS", 10);
  d.boot(2 * 16065 + 63, "FAT32", 20);
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.bytes));
  faulty->failSector(16065 + 63);  // after a good read, a failed one must not reuse its bytes
  faulty->failSector(16065);
  SectorReader r(std::move(faulty));
  StopFlag stop{0};
  auto list = searchLostPartitions(r, geometry(4, 255, 63), stop, nullObserver());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].start, 2u * 16065 + 63);
}

TEST(LostSearch, StopKeepsWhatWasFound) {
  class StopAfterFirst : public Observer {
   public:
    explicit StopAfterFirst(StopFlag& s) : stop(s) {}
    void counter(Counter, std::uint64_t) override { stop.store(1); }
    StopFlag& stop;
  };
  Disk d(6 * 16065);
  d.boot(63, "NTFS", 10);
  d.boot(3 * 16065 + 63, "NTFS", 10);
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  StopFlag stop{0};
  StopAfterFirst obs(stop);
  auto list = searchLostPartitions(r, geometry(6, 255, 63), stop, obs);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(stop.load(), 0);  // cleared when the search ends
}

// Memory running out in the middle of the search: the progress bar is
// hidden and the status line cleared on the way out, as at a normal end.
TEST(LostSearch, FailureHidesTheProgressBar) {
  class FailAtFirst : public Recorder {
   public:
    std::vector<bool> bar;
    void progressVisible(bool v) override { bar.push_back(v); }
    void counter(Counter, std::uint64_t) override { throw std::bad_alloc(); }
  };
  Disk d(6 * 16065);
  d.boot(63, "NTFS", 10);
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  StopFlag stop{0};
  FailAtFirst obs;
  EXPECT_THROW(searchLostPartitions(r, geometry(6, 255, 63), stop, obs), std::bad_alloc);
  EXPECT_EQ(obs.bar, (std::vector<bool>{true, false}));
  EXPECT_EQ(obs.phases, (std::vector<PhaseInfo>{{Phase::SearchingPartitions}, {Phase::None}}));
}

// Disks whose partition table is gone, made with sfdisk, mkfs.fat and mkntfs
// (mmls listed their partitions before the table was wiped): wiped_mbr has
// volumes at cylinder starts and behind the first track, aligned_wiped on
// 1 MiB boundaries, backup_boot volumes whose first sector is zeroed too.
class LostSearchFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(LostSearchFixture, FindsTheManifestPartitions) {
  std::string img = test::fixtureImage(GetParam());
  DriveInfo drive;
  std::string err;
  ASSERT_TRUE(driveInfoForPath(img, drive, err)) << err;
  auto r = test::openReader(img);
  StopFlag stop{0};
  auto found = discoverPartitions(*r, drive, stop, nullObserver());
  EXPECT_TRUE(found.searched);
  std::ifstream in(test::fixtureManifestPath(GetParam()));
  auto j = nlohmann::json::parse(in);
  ASSERT_EQ(found.partitions.size(), j["partitions"].size());
  for (std::size_t i = 0; i < found.partitions.size(); ++i) {
    EXPECT_EQ(partitionLabel(i, found.partitions[i]), j["partitions"][i]["label"].get<std::string>());
    EXPECT_EQ(found.partitions[i].start, j["partitions"][i]["start"].get<SectorNo>());
    EXPECT_EQ(found.partitions[i].length, j["partitions"][i]["length"].get<SectorNo>());
  }
  EXPECT_EQ(r->badSectorRetries(), 3);  // the search's own setting is given back
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LostSearchFixture, ::testing::Values("wiped_mbr", "aligned_wiped", "backup_boot"));

// exfat_mbr with its table and the exFAT volume's main boot sector wiped:
// the exFAT volume is found from its backup boot region (12 sectors in),
// the NTFS one beside it from its boot sector, as the table listed them.
TEST(LostSearch, ExfatFromItsBackupBootRegion) {
  std::string bytes = test::readFile(test::fixtureImage("exfat_mbr"));
  std::fill(bytes.begin(), bytes.begin() + 512, '\0');
  std::fill(bytes.begin() + 2048 * 512, bytes.begin() + 2049 * 512, '\0');
  SectorReader r(std::make_unique<MemoryBlockSource>(bytes));
  StopFlag stop{0};
  auto list = searchLostPartitions(r, geometry(4, 255, 63), stop, nullObserver());
  std::ifstream in(test::fixtureManifestPath("exfat_mbr"));
  auto j = nlohmann::json::parse(in);
  ASSERT_EQ(list.size(), j["partitions"].size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(partitionLabel(i, list[i]), j["partitions"][i]["label"].get<std::string>());
    EXPECT_EQ(list[i].start, j["partitions"][i]["start"].get<SectorNo>());
    EXPECT_EQ(list[i].length, j["partitions"][i]["length"].get<SectorNo>());
  }
}

// Volumes off the cylinder geometry: on 4 KiB and 1 MiB boundaries, and
// known only from their backup boot sectors.
struct Expect {
  std::uint64_t start, length;
  FsType fs;
};
struct BoundaryCase {
  const char* what;
  std::function<void(test::MemDisk&)> make;
  std::vector<Expect> expected;
};

void fat32(test::MemDisk& d, std::uint64_t at, std::uint32_t total) {
  d.fat32Boot(at, 8, 32, total, 16);
  d.put8(at, 21, 0xF8);   // media
  d.put16(at, 50, 6);     // backup boot sector
}
void ntfs(test::MemDisk& d, std::uint64_t at, std::uint32_t counted, bool withMft = true) {
  d.ntfsBoot(at, 8, counted, 4, 8);
  if (withMft) d.text(at + 32, 0, "FILE0");
}

class BoundaryCases : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(BoundaryCases, AreFound) {
  const auto& c = GetParam();
  test::MemDisk d(20000);
  c.make(d);
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(
      std::string(reinterpret_cast<const char*>(d.at(0)), 20000 * kSectorSize)));
  FaultySource* f = faulty.get();
  SectorReader r(std::move(faulty));
  StopFlag stop{0};
  auto list = searchLostPartitions(r, geometry(1, 255, 63), stop, nullObserver());
  ASSERT_EQ(list.size(), c.expected.size()) << c.what;
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].start, c.expected[i].start) << c.what << " " << i;
    EXPECT_EQ(list[i].length, c.expected[i].length) << c.what << " " << i;
    EXPECT_EQ(list[i].fsType, c.expected[i].fs) << c.what << " " << i;
  }
  // One request per MiB, plus the two cylinder probes, the GPT's two
  // headers and a few MFT checks.
  EXPECT_LE(f->requests(), 20000u / 2048 + 1 + 2 + 2 + 4);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundaryCases,
    ::testing::Values(
        BoundaryCase{"fat32 on a 4 KiB boundary", [](test::MemDisk& d) { fat32(d, 4104, 3000); },
                     {{4104, 3000, FsType::Fat32}}},
        BoundaryCase{"ntfs on a 1 MiB boundary", [](test::MemDisk& d) { ntfs(d, 4096, 2047); },
                     {{4096, 2048, FsType::Ntfs}}},
        BoundaryCase{"fat32 from its backup at +6",
                     [](test::MemDisk& d) {
                       fat32(d, 8192, 4000);
                       std::memcpy(d.at(8198), d.at(8192), kSectorSize);
                       std::memset(d.at(8192), 0, kSectorSize);
                     },
                     {{8192, 4000, FsType::Fat32}}},
        BoundaryCase{"ntfs from its backup at its last sector",
                     [](test::MemDisk& d) {
                       ntfs(d, 6144, 2047);
                       std::memcpy(d.at(8191), d.at(6144), kSectorSize);
                       std::memset(d.at(6144), 0, kSectorSize);
                     },
                     {{6144, 2048, FsType::Ntfs}}},
        BoundaryCase{"ntfs whose backup lies on a boundary",
                     [](test::MemDisk& d) {
                       ntfs(d, 2048, 2056);  // backup at 4104
                       std::memcpy(d.at(4104), d.at(2048), kSectorSize);
                       std::memset(d.at(2048), 0, kSectorSize);
                     },
                     {{2048, 2057, FsType::Ntfs}}},
        BoundaryCase{"intact volumes and their backups",
                     [](test::MemDisk& d) {
                       fat32(d, 2048, 4000);
                       std::memcpy(d.at(2054), d.at(2048), kSectorSize);
                       ntfs(d, 6144, 2047);
                       std::memcpy(d.at(8191), d.at(6144), kSectorSize);
                     },
                     {{2048, 4000, FsType::Fat32}, {6144, 2048, FsType::Ntfs}}},
        BoundaryCase{"off every boundary", [](test::MemDisk& d) { fat32(d, 5001, 1000); }, {}},
        BoundaryCase{"a boot sector inside a found volume",
                     [](test::MemDisk& d) {
                       fat32(d, 2048, 8000);
                       fat32(d, 4096, 1000);  // a volume image kept as a file
                     },
                     {{2048, 8000, FsType::Fat32}}},
        BoundaryCase{"a type text at a cylinder probe hides nothing",
                     [](test::MemDisk& d) {
                       d.text(63, 82, "FAT32   ");  // listed, as the cylinder probes always listed it
                       d.put32(63, 32, 10000);
                       d.signature(63);
                       fat32(d, 4096, 1000);
                     },
                     {{63, 10000, FsType::Fat32}, {4096, 1000, FsType::Fat32}}},
        BoundaryCase{"a bare text is no volume",
                     [](test::MemDisk& d) {
                       d.text(4096, 82, "FAT32   ");
                       d.signature(4096);
                     },
                     {}}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(LostSearch, DamagedGptIsReadFromItsBackupHeader) {
  test::GptDisk d(20000);
  d.protectiveMbr();
  // The third starts behind the first track of cylinder 1, where the
  // cylinder probes find it too: it keeps its GPT name.
  d.write({{2048, 6143, u"data"}, {8192, 10239, u"other"}, {16128, 17999, u"at a cylinder"}});
  test::MemDisk boot(1);
  fat32(boot, 0, 4096);
  std::memcpy(d.at(2048), boot.at(0), kSectorSize);
  std::memcpy(d.at(16128), boot.at(0), kSectorSize);
  std::memset(d.at(0), 0, 2 * kSectorSize);  // the MBR and the primary header
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  StopFlag stop{0};
  auto check = [](const std::vector<PartitionEntry>& list) {
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].start, 16128u);
    EXPECT_EQ(list[2].name, "at a cylinder");
    EXPECT_EQ(partitionLabel(0, list[0]), "Partition 1 - FAT32");
    EXPECT_EQ(list[0].name, "data");
    EXPECT_EQ(list[0].length, 4096u);  // as the GPT has it
    EXPECT_EQ(partitionLabel(1, list[1]), "Partition 2 - Unknown");
    EXPECT_EQ(list[1].start, 8192u);
    EXPECT_EQ(list[1].name, "other");
  };
  check(searchLostPartitions(r, geometry(2, 255, 63), stop, nullObserver()));
  // The partition list finds the backup header itself, and says so.
  class Warnings : public Observer {
   public:
    std::vector<std::string> seen;
    void warning(std::string_view t) override { seen.emplace_back(t); }
  } obs;
  auto found = discoverPartitions(r, geometry(1, 255, 63), stop, obs);
  EXPECT_FALSE(found.searched);
  check(found.partitions);
  ASSERT_EQ(obs.seen.size(), 2u);
  EXPECT_EQ(obs.seen[0], "Sector 0 holds no protective MBR; the partitions come from the GPT header at sector 19999.");
  EXPECT_EQ(obs.seen[1],
            "The primary GPT header is damaged (no \"EFI PART\" signature); the partitions come from the backup "
            "header at sector 19999.");
}

TEST(LostSearch, IntactDiskListsTheSamePrimaries) {
  std::string img = test::fixtureImage("sample");
  DriveInfo drive;
  std::string err;
  ASSERT_TRUE(driveInfoForPath(img, drive, err));
  auto r = test::openReader(img);
  StopFlag stop{0};
  auto found = discoverPartitions(*r, drive, stop, nullObserver());
  EXPECT_FALSE(found.searched);
  EXPECT_EQ(found.partitions.size(), 4u);
}

}  // namespace
}  // namespace osprin
