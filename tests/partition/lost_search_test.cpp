#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "disk/faulty_source.h"
#include "partition/lost_search.h"
#include "support/fixtures.h"

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
  std::vector<std::string> statuses;
  int lastProgress = -1;
  void status(std::string_view t) override { statuses.emplace_back(t); }
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
  ASSERT_FALSE(obs.statuses.empty());
  EXPECT_EQ(obs.statuses.front(), "Searching For Partitions");
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
    void counter(std::string_view, std::uint64_t) override { stop.store(1); }
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

TEST(LostSearch, WipedPartitionTableFixture) {
  std::string img = test::fixtureImage("wiped_mbr");
  DriveInfo drive;
  std::string err;
  ASSERT_TRUE(driveInfoForPath(img, drive, err)) << err;
  auto r = test::openReader(img);
  StopFlag stop{0};
  auto found = discoverPartitions(*r, drive, stop, nullObserver());
  EXPECT_TRUE(found.searched);
  std::ifstream in(test::fixtureManifestPath("wiped_mbr"));
  auto j = nlohmann::json::parse(in);
  ASSERT_EQ(found.partitions.size(), j["partitions"].size());
  for (std::size_t i = 0; i < found.partitions.size(); ++i) {
    EXPECT_EQ(partitionLabel(i, found.partitions[i]), j["partitions"][i]["label"].get<std::string>());
    EXPECT_EQ(found.partitions[i].start, j["partitions"][i]["start"].get<SectorNo>());
  }
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
