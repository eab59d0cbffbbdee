// The reader of GNU ddrescue map files (--bad-sectors-map), then reads of a
// small disk through the map: the ranges are sorted and merged, and a read
// never asks for a sector the map gives as unreadable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/faulty_source.h"
#include "disk/sector_reader.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  using osprin::fuzz::check;
  std::vector<SectorRange> ranges;
  std::string error;
  const bool ok = parseRescueMap(std::string_view(reinterpret_cast<const char*>(data), size), ranges, error);
  check(ok || !error.empty());
  if (!ok) return 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    check(ranges[i].count > 0);
    if (i > 0) check(ranges[i - 1].first + ranges[i - 1].count < ranges[i].first);
  }
  constexpr std::uint64_t kSectors = 256;
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(std::string(kSectors * kSectorSize, 'd')));
  FaultySource* f = faulty.get();
  SectorReader reader(std::move(faulty));
  reader.setUnreadable(ranges);
  std::vector<std::uint8_t> buf(64 * kSectorSize);
  for (std::uint64_t lba = 0; lba < kSectors; lba += 64) {
    std::vector<SectorRange> unread;
    reader.readSectorsClearing(lba, 64, buf.data(), &unread);
  }
  for (const SectorRange& r : ranges)
    for (std::uint64_t s = r.first; s < r.first + r.count && s < kSectors; ++s) check(f->attemptsOn(s) == 0);
  return 0;
}
