#pragma once
// Partitions of interest (FAT16, FAT32, NTFS) from the master boot record
// and its chain of extended boot records.
#include <cstdint>
#include <string>
#include <vector>

#include "common/types.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"

namespace osprin {

struct PartitionEntry {
  SectorNo start = 0;
  SectorNo length = 0;
  FsType fsType = FsType::None;
};

constexpr std::size_t kMaxPartitions = 25;

// "Partition " + (index + 1) + " - " + type text.
std::string partitionLabel(std::size_t index, const PartitionEntry& e);

// Reads the partition table in tableSector and the extended chain behind it.
std::vector<PartitionEntry> readPartitionTable(SectorReader& reader, SectorNo tableSector);

// Panel texts of a selected partition: Partition Type, Partition Start,
// Partition End, Partition Size ("20002 MB ( Aprox )").
std::vector<PanelRow> partitionInfoPanel(FsType fsType, SectorNo rangeStart, SectorNo rangeEnd, SectorNo rangeLength);

}  // namespace osprin
