#pragma once
// Partitions of interest (FAT16, FAT32, NTFS) from the master boot record
// and its chain of extended boot records, or every used entry of a GUID
// partition table.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/types.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "gpt/gpt.h"

namespace osprin {

struct PartitionEntry {
  PartitionEntry() = default;
  PartitionEntry(SectorNo s, SectorNo l, FsType t, std::string n = {}, std::string g = {})
      : start(s), length(l), fsType(t), name(std::move(n)), typeGuid(std::move(g)) {}
  SectorNo start = 0;
  SectorNo length = 0;
  // None: a GPT partition whose first sector is no FAT or NTFS boot sector
  // (listed, but not offered for a standard scan).
  FsType fsType = FsType::None;
  std::string name;      // GPT: the entry's name (UTF-8); empty otherwise
  std::string typeGuid;  // GPT: the partition type GUID; empty for MBR partitions
};

// MBR disks: at most this many partitions (primaries and the extended chain).
constexpr std::size_t kMaxPartitions = 25;

// "Partition " + (index + 1) + " - " + type text ("Unknown" for a partition
// whose file system is none of FAT16, FAT32, NTFS).
std::string partitionLabel(std::size_t index, const PartitionEntry& e);

// Partition starts and lengths count 512-byte units, whatever the disk's
// sector size (the tables' own numbers count the disk's sectors).
//
// Reads the partition table in tableSector and the extended chain behind it.
// Every slot of an extended boot record is read; the first extended entry
// links to the next record. When the sector is the boot sector of a bare
// FAT or NTFS volume (bareVolumeAt) and its entries are not a consistent
// table, the list is that one volume from tableSector to the volume's end.
//
// When tableSector is 0 and one of its slots is of type 0xEE (a protective
// or hybrid MBR), the GUID partition table is read instead (gpt/gpt.h): each
// used entry is listed with its name and the file system its first sector
// holds. A damaged primary GPT gives way to the backup header; that, and a
// GPT that cannot be read at all, are told in *warnings (when given).
std::vector<PartitionEntry> readPartitionTable(SectorReader& reader, SectorNo tableSector,
                                               std::vector<std::string>* warnings = nullptr);

// The partition list of a disk as the wizard reads it: the tables at
// sectors 0, 0, 61, 62 (the first that lists something wins), then a GPT
// whose sector 0 is no protective MBR (wiped), told in *warnings.
std::vector<PartitionEntry> readPartitionTables(SectorReader& reader, std::vector<std::string>* warnings = nullptr);

// The used entries of a GPT as partitions; fsType from each one's first
// sector (bareVolumeAt). Entries whose sectors do not fit SectorNo are left out.
std::vector<PartitionEntry> gptPartitions(SectorReader& reader, const gpt::Table& table);

// The file system and length of a volume whose boot sector is s: a FAT boot
// sector (jump, 512 to 4,096 bytes per sector, a cluster size, reserved sectors, one
// or two FATs, a media byte, a sector count) or an NTFS one ("NTFS", 512
// to 4,096 bytes per sector, a cluster size, a sector count, plus the backup boot
// sector). fsType None when s is neither.
struct BareVolume {
  FsType fsType = FsType::None;
  SectorNo length = 0;               // in 512-byte units
  std::uint32_t bytesPerSector = 0;  // the volume's sector size (512 to 4,096)
};
BareVolume bareVolumeAt(Bytes s);

// True when the four entries of s form a table: at least one entry, each
// empty (all zeros) or of a known type with boot flag 0x00 or 0x80, a start
// and a length inside a disk of diskSectors (0: unknown, not checked), and
// no two overlapping.
bool isConsistentTable(Bytes s, std::uint64_t diskSectors);

// A warning when a partition reaches past the end of a disk of diskUnits
// 512-byte units; empty otherwise. The sectors it names are the disk's own
// (unitsPerSector units each).
std::string partitionBeyondDiskWarning(const PartitionEntry& e, std::uint64_t diskUnits,
                                       std::uint32_t unitsPerSector = 1);

// Panel texts of a selected partition: Partition Type, Partition Start,
// Partition End (as given: the disk's own sectors), Partition Size
// ("20002 MB ( Aprox )", from rangeLength in 512-byte units).
std::vector<PanelRow> partitionInfoPanel(FsType fsType, SectorNo rangeStart, SectorNo rangeEnd, SectorNo rangeLength);

}  // namespace osprin
