#pragma once
// The boot sector of an exFAT volume (and its backup at the volume's
// sector 12): the fields every layer reads, by name, and the boot region's
// checksum.
#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/types.h"

namespace osprin {

// The volume's own sectors: a boot region of 12 sectors, its backup after it.
constexpr std::uint32_t kExfatBootRegionSectors = 12;
constexpr std::uint32_t kExfatBackupBootSector = 12;
// Clusters are numbered from 2; the largest count exFAT allows.
constexpr std::uint32_t kExfatFirstCluster = 2;
constexpr std::uint32_t kExfatMaxClusters = 0xFFFFFFF5u;

struct ExfatBootSector {
  std::uint64_t partitionOffset = 0;  // 64: the volume's first sector on the disk (informative)
  std::uint64_t volumeLength = 0;     // 72: sectors of the volume
  std::uint32_t fatOffset = 0;        // 80: sectors from the volume's start
  std::uint32_t fatLength = 0;        // 84: sectors of one FAT
  std::uint32_t heapOffset = 0;       // 88: the cluster heap's first sector
  std::uint32_t clusterCount = 0;     // 92
  std::uint32_t rootCluster = 0;      // 96
  std::uint32_t serial = 0;           // 100
  std::uint16_t revision = 0;         // 104 (0x0100 for 1.00)
  std::uint16_t flags = 0;            // 106: bit 0 the active FAT, bit 1 volume dirty
  std::uint8_t bytesPerSectorShift = 0;     // 108: 9..12
  std::uint8_t sectorsPerClusterShift = 0;  // 109
  std::uint8_t fatCount = 0;                // 110: 1 or 2
  std::uint8_t percentInUse = 0;            // 112

  std::uint32_t bytesPerSector() const { return std::uint32_t{1} << bytesPerSectorShift; }
  // 512-byte units per sector of the volume.
  std::uint32_t units() const { return bytesPerSector() / kSectorSize; }
  // Cluster size in 512-byte units.
  std::uint64_t clusterUnits() const { return std::uint64_t{units()} << sectorsPerClusterShift; }
  std::uint64_t clusterBytes() const { return clusterUnits() * kSectorSize; }
  // The FAT in use: the second one when flags bit 0 is set and there are two.
  std::uint32_t activeFat() const { return fatCount == 2 && (flags & 1) != 0 ? 1 : 0; }
};

// The fields of s when it is an exFAT boot sector: "EXFAT   " at 3, the
// signature at 510, bytes 11-63 zero, a sector size of 512 to 4,096 bytes,
// a cluster of at most 32 MiB, one or two FATs, a FAT, heap and root
// cluster that fit the volume. nullopt otherwise.
std::optional<ExfatBootSector> readExfatBootSector(Bytes s);

// Just the name: "EXFAT   " at offset 3 (what tells an exFAT volume from
// NTFS under the same partition type).
bool hasExfatName(Bytes s);

// The checksum of the first 11 sectors of a boot region (region holds at
// least 11 * bytesPerSector bytes): bytes 106, 107 and 112 of the boot
// sector (volume flags, percent in use) are left out.
std::uint32_t exfatBootChecksum(Bytes region, std::uint32_t bytesPerSector);

// True when sector 11 of the region repeats the checksum of sectors 0-10.
bool exfatBootRegionValid(Bytes region, std::uint32_t bytesPerSector);

}  // namespace osprin
