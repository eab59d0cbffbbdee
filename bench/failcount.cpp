// osprin-failcount: the failed read requests it costs to read a disk with
// bad sectors from start to end, through the program's sector reader, in
// the 2 MiB requests of the deep scan; the failing disk is a double
// (FaultySource) whose sectors read as zeros except the bad ones.
//
//   osprin-failcount SECTORS FIRST+COUNT...
//
// Prints "failed N requests M unread U" (U: sectors that never read).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "disk/faulty_source.h"
#include "disk/sector_reader.h"

int main(int argc, char** argv) {
  using namespace osprin;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SECTORS FIRST+COUNT...\n", argv[0]);
    return 2;
  }
  const std::uint64_t sectors = std::strtoull(argv[1], nullptr, 10);
  if (sectors == 0 || sectors > (std::uint64_t{1} << 24)) {
    std::fprintf(stderr, "SECTORS: 1 to 16777216\n");
    return 2;
  }
  auto faulty = std::make_unique<FaultySource>(
      std::make_unique<MemoryBlockSource>(std::string(static_cast<std::size_t>(sectors) * 512, '\0')));
  for (int i = 2; i < argc; ++i) {
    char* end = nullptr;
    const std::uint64_t first = std::strtoull(argv[i], &end, 10);
    if (end == nullptr || *end != '+') {
      std::fprintf(stderr, "not FIRST+COUNT: %s\n", argv[i]);
      return 2;
    }
    faulty->failRange(first, std::strtoull(end + 1, nullptr, 10));
  }
  FaultySource* src = faulty.get();
  SectorReader reader(std::move(faulty));
  constexpr std::uint32_t kChunk = 4096;
  std::vector<std::uint8_t> buf(std::size_t{kChunk} * 512);
  std::vector<SectorRange> unread;
  for (std::uint64_t at = 0; at < sectors; at += kChunk) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, sectors - at));
    reader.readSectorsClearing(at, n, buf.data(), &unread);
  }
  std::uint64_t lost = 0;
  for (const SectorRange& r : unread) lost += r.count;
  std::printf("failed %llu requests %llu unread %llu\n", static_cast<unsigned long long>(src->failedRequests()),
              static_cast<unsigned long long>(src->requests()), static_cast<unsigned long long>(lost));
  return 0;
}
