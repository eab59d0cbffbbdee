#pragma once
// Partitions of interest (FAT16, FAT32, NTFS) from the master boot record
// and its chain of extended boot records.
#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
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
// Every slot of an extended boot record is read; the first extended entry
// links to the next record. When the sector is the boot sector of a bare
// FAT or NTFS volume (bareVolumeAt) and its entries are not a consistent
// table, the list is that one volume from tableSector to the volume's end.
std::vector<PartitionEntry> readPartitionTable(SectorReader& reader, SectorNo tableSector);

// The file system and length of a volume whose boot sector is s: a FAT boot
// sector (jump, 512 bytes per sector, a cluster size, reserved sectors, one
// or two FATs, a media byte, a sector count) or an NTFS one ("NTFS", 512
// bytes per sector, a cluster size, a sector count, plus the backup boot
// sector). fsType None when s is neither.
struct BareVolume {
  FsType fsType = FsType::None;
  SectorNo length = 0;
};
BareVolume bareVolumeAt(Bytes s);

// True when the four entries of s form a table: at least one entry, each
// empty (all zeros) or of a known type with boot flag 0x00 or 0x80, a start
// and a length inside a disk of diskSectors (0: unknown, not checked), and
// no two overlapping.
bool isConsistentTable(Bytes s, std::uint64_t diskSectors);

// A warning when a partition reaches past the end of a disk of diskSectors
// sectors; empty otherwise.
std::string partitionBeyondDiskWarning(const PartitionEntry& e, std::uint64_t diskSectors);

// Panel texts of a selected partition: Partition Type, Partition Start,
// Partition End, Partition Size ("20002 MB ( Aprox )").
std::vector<PanelRow> partitionInfoPanel(FsType fsType, SectorNo rangeStart, SectorNo rangeEnd, SectorNo rangeLength);

}  // namespace osprin
