#pragma once
// The geometry of the volume in work, and how it is read from a boot sector
// or worked out from the partition's contents.
#include <cstdint>

#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"

namespace osprin {

// The partition or sector range that the user selected.
struct Selection {
  FsType fsType = FsType::None;
  SectorNo rangeStart = 0;
  SectorNo rangeLength = 0;
  SectorNo rangeEnd = 0;
  std::uint16_t rangeTag = 0;  // index of the partition in the list; 0 for the whole drive
};

struct VolumeParams {
  FsType fsType = FsType::None;
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t rootDirSectors = 0;  // FAT16: sectors of the fixed root directory
  SectorNo rootDirStart = 0;         // FAT16: first root sector; FAT32: root cluster
  std::uint32_t reservedSectors = 0;
  SectorNo clusterBase = 0;  // cluster n begins at clusterBase + n * sectorsPerCluster
  SectorNo fat1Start = 0;
  SectorNo fat2Start = 0;
  SectorNo mftStart = 0;
  SectorNo mftMirrorStart = 0;
  std::uint32_t sectorsPerMftRecord = 0;
  std::uint32_t sectorsPerIndexRecord = 0;
  SectorNo volumeEnd = 0;  // deep scan only
  // exFAT: the clusters of the heap and where the allocation bitmap lies
  // (from the root folder's bitmap entry; 0 when it was not found).
  std::uint32_t clusterCount = 0;
  std::uint32_t bitmapCluster = 0;
  std::uint64_t bitmapBytes = 0;

  SectorNo clusterSector(std::uint64_t cluster) const { return clusterBase + cluster * sectorsPerCluster; }
};

// Fills vp from the boot sector (or its backup). True when filled (or when
// sel.fsType is none of the four file systems: then only vp.fsType changes).
// exFAT: the FAT in use is fat1Start, the other copy (if any) fat2Start;
// rootDirStart is the root folder's first cluster.
bool readVolumeParams(SectorReader& reader, const Selection& sel, VolumeParams& vp);

// Works out a damaged FAT volume's geometry by reading the partition for
// sub-directory heads. False for NTFS, when nothing fits, or when stopped.
// Shows the progress bar and the Stop button while it runs.
bool calculateVolumeParams(SectorReader& reader, const Selection& sel, VolumeParams& vp, StopFlag& stop,
                           Observer& obs);

}  // namespace osprin
