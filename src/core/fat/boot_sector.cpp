#include "fat/boot_sector.h"

namespace osprin {

FatBootSector readFatBootSector(Bytes s) {
  FatBootSector b;
  b.signature = hasBootSignature(s);
  b.jump = rd8(s, 0) == 0xEB || rd8(s, 0) == 0xE9;
  b.bytesPerSector = rd16(s, 11);
  b.sectorsPerCluster = rd8(s, 13);
  b.reservedSectors = rd16(s, 14);
  b.fatCount = rd8(s, 16);
  b.rootEntries = rd16(s, 17);
  b.totalSectors = rd16(s, 19) != 0 ? rd16(s, 19) : rd32(s, 32);
  b.media = rd8(s, 21);
  b.sectorsPerFat16 = rd16(s, 22);
  b.sectorsPerFat32 = rd32(s, 36);
  b.rootCluster = rd32(s, 44);
  b.backupBootSector = rd16(s, 50);
  b.fat32Text = hasText(s, 82, "FAT32");
  b.fat16Text = hasText(s, 54, "FAT16");
  return b;
}

FsType fatBootSectorType(const FatBootSector& b) {
  const std::uint32_t spc = b.sectorsPerCluster;
  if (!b.signature || !b.jump || !isSectorSize(b.bytesPerSector)) return FsType::None;
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return FsType::None;
  if (b.reservedSectors == 0 || b.fatCount < 1 || b.fatCount > 2 || !(b.media == 0xF0 || b.media >= 0xF8))
    return FsType::None;
  if (b.totalSectors == 0) return FsType::None;
  if (b.sectorsPerFat16 == 0 && b.sectorsPerFat32 != 0) return FsType::Fat32;
  if (b.sectorsPerFat16 != 0) return FsType::Fat16;
  return FsType::None;
}

}  // namespace osprin
