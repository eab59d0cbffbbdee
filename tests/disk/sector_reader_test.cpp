#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk/faulty_source.h"
#include "disk/sector_reader.h"
#include "support/fixtures.h"

namespace osprin {
namespace {

// A disk of n sectors where every byte of sector k is (k & 0xFF).
std::string patternDisk(unsigned n) {
  std::string d(n * kSectorSize, '\0');
  for (unsigned k = 0; k < n; ++k) std::memset(d.data() + k * kSectorSize, static_cast<int>(k & 0xFF), kSectorSize);
  return d;
}

struct Faulty {
  FaultySource* src;
  SectorReader reader;
};

Faulty makeFaulty(unsigned sectors) {
  auto inner = std::make_unique<MemoryBlockSource>(patternDisk(sectors));
  auto faulty = std::make_unique<FaultySource>(std::move(inner));
  FaultySource* raw = faulty.get();
  return Faulty{raw, SectorReader(std::move(faulty))};
}

TEST(SectorReader, ReadsWholeRequestInOneCall) {
  auto f = makeFaulty(16);
  std::string buf(3 * kSectorSize, 'x');
  EXPECT_TRUE(f.reader.readSectors(5, 3, buf.data()));
  EXPECT_EQ(f.src->requests(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 5);
  EXPECT_EQ(static_cast<unsigned char>(buf[2 * kSectorSize]), 7);
}

TEST(SectorReader, FallsBackSectorBySectorAndKeepsStaleBytes) {
  auto f = makeFaulty(16);
  f.src->failSector(6);
  std::string buf(3 * kSectorSize, 'x');
  EXPECT_FALSE(f.reader.readSectors(5, 3, buf.data()));
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 5);
  EXPECT_EQ(static_cast<unsigned char>(buf[2 * kSectorSize + 511]), 7);
  // The middle sector never read: its bytes are what the buffer held.
  EXPECT_EQ(buf.substr(kSectorSize, kSectorSize), std::string(kSectorSize, 'x'));
  // One failed request, then sector 5 alone, sector 6 alone, sector 7
  // alone, and sector 6 twice more (an isolated bad sector gets its three attempts).
  EXPECT_EQ(f.src->requests(), 1u + 1 + 1 + 1 + 2);
  EXPECT_EQ(f.src->attemptsOn(6), 1 + 3);
}

TEST(SectorReader, OneSectorResultAndRetries) {
  auto f = makeFaulty(16);
  f.src->failSector(2);
  f.reader.setBadSectorRetries(5);
  std::string buf(kSectorSize, 'q');
  EXPECT_FALSE(f.reader.readSectors(2, 1, buf.data()));
  EXPECT_EQ(f.src->attemptsOn(2), 1 + 5);
  EXPECT_EQ(buf, std::string(kSectorSize, 'q'));

  // A sector that reads on the third try is read by the fallback.
  f.src->failSectorTimes(9, 2);
  f.reader.setBadSectorRetries(3);
  EXPECT_TRUE(f.reader.readSectors(9, 1, buf.data()));
  EXPECT_EQ(static_cast<unsigned char>(buf[100]), 9);
}

TEST(SectorReader, NoDiskReadsNothing) {
  SectorReader none;
  std::string buf(kSectorSize, 'z');
  EXPECT_FALSE(none.readSectors(0, 1, buf.data()));
  EXPECT_EQ(buf, std::string(kSectorSize, 'z'));
}

TEST(SectorReader, DeviceThatEndsEarly) {
  auto f = makeFaulty(16);
  f.src->endAt(10);
  std::string buf(4 * kSectorSize, 'e');
  EXPECT_FALSE(f.reader.readSectors(8, 4, buf.data()));
  EXPECT_EQ(static_cast<unsigned char>(buf[kSectorSize]), 9);
  EXPECT_EQ(buf.substr(2 * kSectorSize, 2 * kSectorSize), std::string(2 * kSectorSize, 'e'));
}

// Sectors past the end of the disk are not asked for one by one (a
// partition entry can claim far more than the disk holds).
TEST(SectorReader, SectorsPastTheEndOfTheDiskFailAtOnce) {
  auto f = makeFaulty(16);
  std::string buf(4 * kSectorSize, 'e');
  EXPECT_FALSE(f.reader.readSectorsClearing(14, 4, buf.data()));
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 14);
  EXPECT_EQ(static_cast<unsigned char>(buf[kSectorSize]), 15);
  EXPECT_EQ(buf.substr(2 * kSectorSize), std::string(2 * kSectorSize, '\0'));
  EXPECT_EQ(f.src->attemptsOn(16), 0);  // never asked for
  EXPECT_EQ(f.src->attemptsOn(17), 0);
  EXPECT_EQ(f.src->requests(), 1u);  // sectors 14 and 15 in one request
  EXPECT_FALSE(f.reader.readSectors(1000000, 64, buf.data()));
  EXPECT_EQ(f.src->requests(), 1u);
}

TEST(SectorReader, ReadsPastFourGigabytesOfAnImage) {
  // A sparse image of 5 GiB with a marker in its last sector.
  std::string dir = test::makeTempDir("big");
  std::string path = dir + "/big.img";
  const std::uint64_t sectors = 5ull * 1024 * 1024 * 2;
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(static_cast<std::streamoff>((sectors - 1) * kSectorSize));
    std::string marker(kSectorSize, 'M');
    out.write(marker.data(), kSectorSize);
  }
  auto reader = test::openReader(path);
  EXPECT_EQ(reader->totalSectors(), sectors);
  std::string buf(kSectorSize, '\0');
  ASSERT_TRUE(reader->readSectors(static_cast<SectorNo>(sectors - 1), 1, buf.data()));
  EXPECT_EQ(buf, std::string(kSectorSize, 'M'));
  // Past the end: the request fails.
  EXPECT_FALSE(reader->readSectors(static_cast<SectorNo>(sectors), 1, buf.data()));
}

// How a failing disk is read: runs of bad sectors, isolated ones, a map of
// known bad areas. Each case reads the whole disk in 1 MiB requests and
// counts the failed reads.
struct RescueCase {
  const char* name;
  std::vector<SectorRange> bad;   // sectors the disk cannot read
  std::vector<SectorRange> map;   // sectors a rescue map names unreadable
  std::uint64_t maxFailed;        // failed reads at most
  std::uint64_t maxRequests;      // read requests at most
};

class Rescue : public ::testing::TestWithParam<RescueCase> {};

TEST_P(Rescue, IsolatesBadSectorsWithFewFailedReads) {
  const RescueCase& c = GetParam();
  constexpr unsigned kSectors = 16384;
  auto f = makeFaulty(kSectors);
  for (const SectorRange& r : c.bad) f.src->failRange(r.first, r.count);
  f.reader.setUnreadable(c.map);
  std::string buf(2048 * kSectorSize, 'x');
  std::vector<SectorRange> unread;
  for (std::uint64_t lba = 0; lba < kSectors; lba += 2048) {
    f.reader.readSectorsClearing(lba, 2048, buf.data(), &unread);
    for (std::uint64_t k = 0; k < 2048; k += 7) {
      bool isBad = false;
      for (const SectorRange& r : c.bad) isBad |= lba + k >= r.first && lba + k < r.first + r.count;
      for (const SectorRange& r : c.map) isBad |= lba + k >= r.first && lba + k < r.first + r.count;
      const auto byte = static_cast<unsigned char>(buf[k * kSectorSize + 3]);
      EXPECT_EQ(byte, isBad ? 0 : ((lba + k) & 0xFF)) << "sector " << lba + k;
    }
  }
  // Exactly the bad sectors are reported, each bad sector was tried, and
  // a run of n bad sectors cost about n failed reads.
  std::vector<SectorRange> expected;
  for (const SectorRange& r : c.bad) addSectorRange(expected, r.first, r.count);
  for (const SectorRange& r : c.map) addSectorRange(expected, r.first, r.count);
  EXPECT_EQ(unread, expected);
  for (const SectorRange& r : c.bad)
    for (std::uint64_t s = r.first; s < r.first + r.count; ++s) EXPECT_GE(f.src->attemptsOn(s), 1) << s;
  for (const SectorRange& r : c.map)
    for (std::uint64_t s = r.first; s < r.first + r.count; ++s) EXPECT_EQ(f.src->attemptsOn(s), 0) << s;
  EXPECT_LE(f.src->failedRequests(), c.maxFailed);
  EXPECT_LE(f.src->requests(), c.maxRequests);
  EXPECT_EQ(f.reader.failedRequests(), f.src->failedRequests());
}

INSTANTIATE_TEST_SUITE_P(
    FailingDisk, Rescue,
    ::testing::Values(
        // 4,096 bad sectors in a row across three requests: about one failed
        // read per bad sector (4,103; sector-by-sector retries cost 12,300).
        // GNU ddrescue 1.27 on the same layout (-b512, --test-mode with a map
        // of these sectors) counts 4,144 read errors.
        RescueCase{"Run4096", {{3000, 4096}}, {}, 4144, 8 + 4096 + 2 * 1024 + 64},
        // One bad sector in the middle of a request: halving finds it, and it
        // gets its three attempts.
        RescueCase{"Isolated", {{5000, 1}}, {}, 1 + 11 + 2 + 1, 8 + 2 * 12 + 4},
        // Scattered bad sectors.
        RescueCase{"Scattered", {{10, 1}, {700, 1}, {2047, 2}, {9000, 8}}, {}, 4 * 16 + 8 + 20, 8 + 4 * 30 + 20},
        // A map's areas are never asked for; the rest is read in large requests.
        RescueCase{"Mapped", {}, {{100, 50}, {4096, 4096}}, 0, 12},
        RescueCase{"MappedAndBad", {{200, 3}}, {{100, 50}}, 3 + 12, 40}),
    [](const ::testing::TestParamInfo<RescueCase>& i) { return std::string(i.param.name); });

// A stop takes effect within one read while a run of bad sectors is read.
TEST(SectorReader, StopIsSeenBetweenSingleReads) {
  auto f = makeFaulty(4096);
  f.src->failRange(0, 4096);
  std::atomic<int> stop{0};
  f.src->onRequest([&](std::uint64_t n) {
    if (n == 20) stop.store(1);
  });
  SectorReader::StopScope scope(f.reader, [&] { return stop.load() != 0; });
  std::string buf(2048 * kSectorSize, 'x');
  std::vector<SectorRange> unread;
  EXPECT_FALSE(f.reader.readSectorsClearing(0, 2048, buf.data(), &unread));
  EXPECT_EQ(f.src->requests(), 20u);
  EXPECT_EQ(unread, (std::vector<SectorRange>{{0, 2048}}));
  EXPECT_EQ(buf, std::string(buf.size(), '\0'));
}

TEST(RescueMap, ReadsTheMapsDdrescueWrites) {
  const std::string map =
      "# Mapfile. Created by GNU ddrescue version 1.27\n"
      "# Command line: ddrescue /dev/sdb disk.img disk.map\n"
      "# current_pos  current_status  current_pass\n"
      "0x00120000     +               1\n"
      "#      pos        size  status\n"
      "0x00000000  0x00100000  +\n"
      "0x00100000  0x00000200  -\n"
      "0x00100200  0x00000100  /\n"
      "0x00100300  0x0000FD00  +\n"
      "0x00110000  0x00010000  ?\n"
      "0x00120000  0x00001000  *\n";
  std::vector<SectorRange> r;
  std::string err;
  ASSERT_TRUE(parseRescueMap(map, r, err)) << err;
  // 0x100000 = sector 2048; the '/' area covers half of sector 2049.
  EXPECT_EQ(r, (std::vector<SectorRange>{{2048, 2}, {2176, 128 + 8}}));
}

TEST(RescueMap, RefusesWhatIsNotAMap) {
  std::vector<SectorRange> r;
  std::string err;
  for (const char* bad : {"", "# only a comment\n", "hello world\n", "0x0 + 1\n0x0 0x200 X\n",
                          "0x0 + 1\n0x10 0x200\n", "0x0 + 1\n0xFFFFFFFFFFFFFFFF 0x200 -\n"}) {
    EXPECT_FALSE(parseRescueMap(bad, r, err)) << bad;
    EXPECT_FALSE(err.empty());
  }
}

TEST(FileBlockSource, OpensReadOnly) {
  std::string dir = test::makeTempDir("ro");
  std::string path = dir + "/disk.img";
  std::ofstream(path) << std::string(4096, 'a');
  std::string err;
  auto src = FileBlockSource::open(path, err);
  ASSERT_TRUE(src) << err;
  int flags = fcntl(src->fd(), F_GETFL);
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
  // And the kernel agrees: writing through the descriptor fails.
  EXPECT_LT(::write(src->fd(), "x", 1), 0);
}

TEST(FileBlockSource, ClearErrors) {
  std::string err;
  EXPECT_FALSE(FileBlockSource::open("/nonexistent/disk.img", err));
  EXPECT_NE(err.find("/nonexistent/disk.img"), std::string::npos);
  EXPECT_FALSE(FileBlockSource::open(test::makeTempDir("d"), err));
  EXPECT_NE(err.find("neither"), std::string::npos);
}

}  // namespace
}  // namespace osprin

namespace osprin {
namespace {

// An image that records a sector size of its own (as an EnCase or VHDX
// file does) but says nothing in its contents.
class RecordingSource : public MemoryBlockSource {
 public:
  RecordingSource(std::string bytes, unsigned recorded) : MemoryBlockSource(std::move(bytes)), recorded_(recorded) {}
  unsigned logicalSectorSize() const override { return recorded_; }

 private:
  unsigned recorded_;
};

std::string bootSector(std::size_t at, std::size_t total, unsigned bytesPerSector, const char* oem) {
  std::string d(total, '\0');
  d[at] = '\xEB';
  std::memcpy(&d[at + 3], oem, 8);
  d[at + 11] = static_cast<char>(bytesPerSector & 0xFF);
  d[at + 12] = static_cast<char>(bytesPerSector >> 8);
  d[at + 13] = 1;   // sectors per cluster
  d[at + 14] = 1;   // reserved sectors
  d[at + 16] = 2;   // FATs
  d[at + 510] = '\x55';
  d[at + 511] = '\xAA';
  return d;
}

struct SizeCase {
  const char* name;
  std::string bytes;
  unsigned recorded;
  unsigned expected;
};

class DetectSectorSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DetectSectorSize, FromTheContentsThenTheRecordThen512) {
  RecordingSource src(GetParam().bytes, GetParam().recorded);
  EXPECT_EQ(detectSectorSize(src), GetParam().expected);
}

std::string gptAt(std::size_t sectorSize) {
  std::string d(3 * sectorSize, '\0');
  d[510] = '\x55';
  d[511] = '\xAA';
  std::memcpy(&d[sectorSize], "EFI PART", 8);
  return d;
}

// An MBR whose first partition starts at LBA 16, with the volume's boot
// sector at 16 sectors of the given size.
std::string mbrWithVolume(unsigned sectorSize) {
  std::string d = bootSector(16 * sectorSize, 16 * sectorSize + 4096, sectorSize, "MSDOS5.0");
  d[446 + 4] = 0x06;
  d[446 + 8] = 16;
  d[446 + 12] = 100;
  d[510] = '\x55';
  d[511] = '\xAA';
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectSectorSize,
    ::testing::Values(SizeCase{"Blank", std::string(8192, '\0'), 0, 512},
                      SizeCase{"BlankRecorded4096", std::string(8192, '\0'), 4096, 4096},
                      SizeCase{"Gpt512", gptAt(512), 4096, 512},
                      SizeCase{"Gpt4096", gptAt(4096), 0, 4096},
                      SizeCase{"BareNtfs4096", bootSector(0, 8192, 4096, "NTFS    "), 512, 4096},
                      SizeCase{"BareFat2048", bootSector(0, 8192, 2048, "MSDOS5.0"), 0, 2048},
                      SizeCase{"BootSizeNotASectorSize", bootSector(0, 8192, 3000, "MSDOS5.0"), 0, 512},
                      SizeCase{"MbrVolumeIn4096", mbrWithVolume(4096), 0, 4096},
                      SizeCase{"MbrVolumeIn512", mbrWithVolume(512), 4096, 512}),
    [](const auto& info) { return std::string(info.param.name); });

// The fixtures made with real tools: 4,096-byte sectors bare and in a GPT,
// 512-byte ones on MBR and GPT disks.
class DetectFixtureSectorSize : public ::testing::TestWithParam<const char*> {};

TEST_P(DetectFixtureSectorSize, MatchesTheManifest) {
  auto r = test::openReader(test::fixtureImage(GetParam()));
  EXPECT_EQ(r->sectorSize(), test::manifestSectorSize(GetParam()));
  EXPECT_EQ(r->unitsPerSector(), test::manifestSectorSize(GetParam()) / kSectorSize);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DetectFixtureSectorSize,
                         ::testing::Values("fat4k", "ntfs4k", "gpt4k", "sample", "gpt_disk", "ntfs"));

}  // namespace
}  // namespace osprin
