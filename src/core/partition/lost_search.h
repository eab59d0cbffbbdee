#pragma once
// The quick search for lost partitions: two probed sectors per cylinder.
#include <vector>

#include "common/observer.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "partition/partition_table.h"

namespace osprin {

std::vector<PartitionEntry> searchLostPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop,
                                                 Observer& obs);

// The partition list as the wizard builds it at Next: table sector 0, then
// 0, 61, 62; when all give nothing, the lost partition search.
struct PartitionDiscovery {
  std::vector<PartitionEntry> partitions;
  bool searched = false;  // the lost partition search ran
};
PartitionDiscovery discoverPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop, Observer& obs);

}  // namespace osprin
