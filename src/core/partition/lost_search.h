#pragma once
// The search for lost partitions: two probed sectors per cylinder, a GPT
// from its backup header, then one pass over the disk in 1 MiB reads that
// takes every 4 KiB boundary as a candidate start and finds volumes whose
// first sector is gone from their backup boot sectors.
#include <vector>

#include "common/observer.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "partition/partition_table.h"

namespace osprin {

std::vector<PartitionEntry> searchLostPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop,
                                                 Observer& obs);

// The partition list as the wizard builds it at Next: readPartitionTables
// (its warnings go to obs.warning); when it gives nothing, the lost
// partition search.
struct PartitionDiscovery {
  std::vector<PartitionEntry> partitions;
  bool searched = false;  // the lost partition search ran
};
PartitionDiscovery discoverPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop, Observer& obs);

}  // namespace osprin
