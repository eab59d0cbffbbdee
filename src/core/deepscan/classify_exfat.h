#pragma once
// Classification of what an exFAT deep scan found: volumes whose boot
// sector (or its backup at the volume's sector 12) was met, with their
// geometry straight from it, each claiming the entry sets of its cluster
// heap; then, for the sets left over, a geometry worked out from folder
// entry sets and the sectors where folders' first entries lie.
#include <cstdint>

#include "common/observer.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"
#include "volume/volume_params.h"

namespace osprin {

// Phase::AnalysingFatData, classifiedCount 0, the boot-sector pass, then
// the sets pass.
void analyseFoundExfat(SectorReader& reader, DeepScanResults& results, Observer& obs);

// Each boot sector of bootSectorHits: the volume it starts (the sector
// itself, or 12 volume sectors before it when it is a backup: where the FAT
// begins F8 FF FF FF tells, else a boot sector met 12 sectors before), once
// per volume, as "exFAT @" followed by the cluster base. Marks the entry
// sets of its cluster heap.
void classifyExfatByBootSectors(SectorReader& reader, DeepScanResults& results, Observer& obs);

// The sets no boot sector claimed: a folder set names the cluster where its
// folder's first entry set lies, at the start of a sector. The cluster size
// and base that most (cluster, sector) pairs agree on (two at least) give a
// file system "exFAT @" base without a FAT (fat1Start 0) nor root folder
// (rootDirStart 0), whose size is unknown; it claims the unclaimed sets from
// its cluster 2 up to the last cluster its sets name. Repeated while a
// geometry is found (8 times at most); the sets left get fsIndex -1. The
// pairs weighed are a sample spread over the lists (512 folder clusters,
// 2,048 sectors) when there are more.
void classifyExfatBySets(DeepScanResults& results, Observer& obs);

}  // namespace osprin
