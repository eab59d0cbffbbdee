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

// The sets' own geometries. A folder set names the cluster where its
// folder's first entry set lies, at the start of a sector: each (folder
// cluster, such sector) pair implies a base for each cluster size. Of the
// geometries that two pairs or more imply (the 64 most implied; the pairs
// weighed are a sample of 512 folder clusters and 2,048 sectors spread over
// the lists when there are more), the one whose folder sets most often name
// a cluster that begins with a set, less the file sets whose data would hold
// one, wins (2 at least). It gives a file system "exFAT @" base without a
// FAT (fat1Start 0) nor root folder (rootDirStart 0), of unknown size, whose
// heap ends at the last cluster its sets name.
// First over all the sets when boot sectors found volumes: a geometry that
// beats every boot sector's on them and is none of the found ones (the old
// volume under one formatted again with another cluster size or heap) is
// added, and its mount takes every set of its heap. Then over the sets no
// boot sector claimed, which each geometry found claims; repeated while one
// is found (8 times at most). The sets left get fsIndex -1.
void classifyExfatBySets(DeepScanResults& results, Observer& obs);

}  // namespace osprin
