#pragma once
// The boot sector of a FAT16 or FAT32 volume (and its FAT32 backup): the
// fields every layer reads, by name.
#include <cstdint>

#include "common/bytes.h"
#include "common/types.h"

namespace osprin {

struct FatBootSector {
  bool signature = false;             // 0x55AA at 510
  bool jump = false;                  // 0xEB or 0xE9 at 0
  std::uint32_t bytesPerSector = 0;   // 11
  std::uint32_t sectorsPerCluster = 0;  // 13
  std::uint32_t reservedSectors = 0;  // 14
  std::uint32_t fatCount = 0;         // 16
  std::uint32_t rootEntries = 0;      // 17 (FAT16's fixed root folder)
  std::uint64_t totalSectors = 0;     // 19, or 32 when 19 is 0
  std::uint8_t media = 0;             // 21
  std::uint32_t sectorsPerFat16 = 0;  // 22 (0 on FAT32)
  std::uint32_t sectorsPerFat32 = 0;  // 36
  std::uint32_t rootCluster = 0;      // 44 (FAT32)
  std::uint32_t backupBootSector = 0; // 50 (FAT32; normally 6)
  bool fat32Text = false;             // "FAT32" at 82
  bool fat16Text = false;             // "FAT16" at 54

  // The FAT size field in use: 22, or 36 when 22 is 0.
  std::uint32_t sectorsPerFat() const { return sectorsPerFat16 != 0 ? sectorsPerFat16 : sectorsPerFat32; }
  // 512-byte units per sector of the volume (the counts above are of its
  // own sectors); 1 when bytesPerSector is no sector size.
  std::uint32_t units() const { return isSectorSize(bytesPerSector) ? bytesPerSector / kSectorSize : 1; }
  // The fixed root folder's sectors (FAT16): whole sectors of 32-byte entries.
  std::uint32_t rootDirSectors() const {
    const std::uint32_t bytes = units() * kSectorSize;
    return (rootEntries * 32 + bytes - 1) / bytes;
  }
};

// The fields of s as they stand (every read inside s).
FatBootSector readFatBootSector(Bytes s);

// A FAT boot sector by its structure: signature, jump, a sector size of
// 512 to 4,096 bytes, a power-of-two cluster size up to 128 sectors,
// reserved sectors, one or two FATs, a media byte of 0xF0 or 0xF8 and up,
// and a sector count. FAT32 when the 16-bit FAT size is 0 and the 32-bit
// one is not; FAT16 (FAT12 too, read as FAT16) when the 16-bit one is set.
// FsType::None otherwise.
FsType fatBootSectorType(const FatBootSector& b);

}  // namespace osprin
