#pragma once
// Reading an exFAT volume's clustered structures: the clusters of a folder
// or a file (a FAT chain, or contiguous when NoFatChain is set), a folder's
// bytes, and the allocation bitmap.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/types.h"
#include "disk/sector_reader.h"
#include "exfat/boot_sector.h"
#include "fat/fat_table.h"

namespace osprin {

// Where an exFAT volume's parts lie, in 512-byte units of the disk.
struct ExfatGeometry {
  SectorNo fatStart = 0;             // the FAT in use
  SectorNo otherFatStart = 0;        // the other copy, 0 when there is one FAT
  std::uint64_t fatUnits = 0;        // units of one FAT
  SectorNo clusterBase = 0;          // cluster n at clusterBase + n * clusterUnits (mod 2^64)
  std::uint64_t clusterUnits = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;

  std::uint64_t clusterBytes() const { return clusterUnits * kSectorSize; }
  bool validCluster(std::uint64_t c) const { return c >= kExfatFirstCluster && c - kExfatFirstCluster < clusterCount; }
  SectorNo clusterSector(std::uint64_t c) const { return clusterBase + c * clusterUnits; }
};

// The geometry of the volume whose boot sector is b, starting at sector
// start of the disk.
ExfatGeometry exfatGeometry(const ExfatBootSector& b, SectorNo start);

// The boot sector of the volume at start: the main one, else the backup at
// the volume's sector 12 (tried for every sector size). nullopt when
// neither is one.
std::optional<ExfatBootSector> readExfatBootAt(SectorReader& reader, SectorNo start);

// Folders past this size are read only this far (exFAT allows 256 MiB).
constexpr std::uint64_t kExfatMaxFolderBytes = std::uint64_t{256} << 20;

// The clusters that bytes of data starting at first take: contiguous when
// contiguous is set, else the FAT chain. A chain that ends before the data
// does, or runs outside the heap, is given as it is, with *shortChain set;
// guessContiguous then replaces it with contiguous clusters (a deleted
// file's chain is freed with it). bytes 0 (unknown length): the whole chain,
// up to limitBytes.
struct ExfatExtent {
  std::vector<std::uint32_t> clusters;
  bool guessed = false;     // the clusters after the first were assumed contiguous
  bool unreadable = false;  // the FAT could not be read
};
ExfatExtent exfatClusters(FatTable& fat, const ExfatGeometry& g, std::uint32_t first, std::uint64_t bytes,
                          bool contiguous, bool guessContiguous, std::uint64_t limitBytes = kExfatMaxFolderBytes);

// What stands for the bytes of a sector that could not be read: 0xFF, an
// entry type no set begins with, so a folder's listing goes on past it
// (zeros would end it there).
constexpr std::uint8_t kExfatUnreadFill = 0xFF;

// The bytes of clusters in order (consecutive clusters in one request);
// sectors that cannot be read are filled with kExfatUnreadFill and counted
// in *unreadable (the first in *firstUnreadable).
std::vector<std::uint8_t> readExfatClusters(SectorReader& reader, const ExfatGeometry& g,
                                            const std::vector<std::uint32_t>& clusters, std::uint64_t maxBytes,
                                            std::uint64_t* unreadable = nullptr, SectorNo* firstUnreadable = nullptr);

}  // namespace osprin
