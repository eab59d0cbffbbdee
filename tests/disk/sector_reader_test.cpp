#include <fcntl.h>
#include <gtest/gtest.h>

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
  // One failed request, then sectors 5 and 7 once each and sector 6 three times.
  EXPECT_EQ(f.src->requests(), 1u + 1 + 3 + 1);
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
  EXPECT_EQ(f.src->attemptsOn(16), 1);  // the whole request only, no retries
  EXPECT_EQ(f.src->attemptsOn(17), 1);
  EXPECT_EQ(f.src->requests(), 3u);  // the request, then sectors 14 and 15
  EXPECT_FALSE(f.reader.readSectors(1000000, 64, buf.data()));
  EXPECT_EQ(f.src->requests(), 4u);
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
