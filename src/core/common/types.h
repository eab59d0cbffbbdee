#pragma once
// Basic types shared by every module of the core.
#include <atomic>
#include <cstdint>
#include <string_view>

namespace osprin {

// Absolute number of a 512-byte unit on the selected disk. Every sector
// address in the core goes through this one type, 64 bits wide, so that
// disks past 2 TiB are read to their end. A disk whose logical sectors are
// larger (1,024 to 4,096 bytes) counts several units per sector: partition
// tables and boot sectors are converted where they are read, and the
// sectors users see and type are the disk's own (SectorReader::sectorSize).
using SectorNo = std::uint64_t;

// Sector numbers typed by users and read from the disk stay below this
// (2^48 sectors, 128 PiB of 512-byte sectors), so that byte offsets and
// sums of sector numbers never wrap.
constexpr SectorNo kSectorNoLimit = SectorNo{1} << 48;

// Bytes of the unit that SectorNo counts.
constexpr unsigned kSectorSize = 512;

// The logical sector sizes a disk may have: 512, 1,024, 2,048 or 4,096 bytes.
constexpr bool isSectorSize(std::uint64_t v) { return v == 512 || v == 1024 || v == 2048 || v == 4096; }

// File-system code of a selection, a mounted volume or a found file system.
enum class FsType : std::uint16_t { None = 0, Fat16 = 100, Fat32 = 200, Ntfs = 300, Exfat = 400 };

inline bool isFat(FsType t) { return t == FsType::Fat16 || t == FsType::Fat32; }
// The file systems whose trees are kept in the FAT lists of a FileTree
// (folders named by first cluster): FAT16, FAT32 and exFAT.
inline bool usesFatTree(FsType t) { return isFat(t) || t == FsType::Exfat; }
inline bool isKnownFsType(FsType t) { return usesFatTree(t) || t == FsType::Ntfs; }

// "FAT16", "FAT32", "NTFS", "exFAT"; "" for anything else.
std::string_view fsTypeText(FsType t);
// Parses "FAT16"/"FAT32"/"NTFS"/"exFAT" (any case); FsType::None when not one of them.
FsType parseFsType(std::string_view text);

// 1 standard scan, 2 advanced (deep) scan.
enum class ScanType : std::uint16_t { Standard = 1, Advanced = 2 };

// The wizard's stop flag: the window (or a signal handler) stores 1, workers
// poll it between units of work and clear it when they act on it.
using StopFlag = std::atomic<int>;

}  // namespace osprin
