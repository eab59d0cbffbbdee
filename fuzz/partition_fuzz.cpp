// The partition table reader, the extended chain and the lost partition
// search over an arbitrary disk.
#include <cstddef>
#include <cstdint>
#include <string>

#include "disk/sector_reader.h"
#include "partition/lost_search.h"
#include "partition/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  SectorReader reader(std::make_unique<MemoryBlockSource>(std::string(reinterpret_cast<const char*>(data), size)));
  for (SectorNo table : {0u, 61u, 62u}) (void)readPartitionTable(reader, table);
  DriveInfo drive = translatedGeometry(size / kSectorSize);
  drive.heads = 2;  // small cylinders, so that a short input has several
  drive.cylinders = static_cast<std::uint32_t>(size / (2 * 63 * kSectorSize)) + 1;
  drive.sectorsPerTrack = 63;
  StopFlag stop{0};
  (void)searchLostPartitions(reader, drive, stop, nullObserver());
  return 0;
}
