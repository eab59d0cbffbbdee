#include "exfat/boot_sector.h"

namespace osprin {

bool hasExfatName(Bytes s) { return hasText(s, 3, "EXFAT   "); }

std::optional<ExfatBootSector> readExfatBootSector(Bytes s) {
  if (!hasExfatName(s) || !hasBootSignature(s)) return std::nullopt;
  for (std::size_t i = 11; i < 64; ++i)
    if (rd8(s, i) != 0) return std::nullopt;
  ExfatBootSector b;
  b.partitionOffset = rd64(s, 64);
  b.volumeLength = rd64(s, 72);
  b.fatOffset = rd32(s, 80);
  b.fatLength = rd32(s, 84);
  b.heapOffset = rd32(s, 88);
  b.clusterCount = rd32(s, 92);
  b.rootCluster = rd32(s, 96);
  b.serial = rd32(s, 100);
  b.revision = rd16(s, 104);
  b.flags = rd16(s, 106);
  b.bytesPerSectorShift = rd8(s, 108);
  b.sectorsPerClusterShift = rd8(s, 109);
  b.fatCount = rd8(s, 110);
  b.percentInUse = rd8(s, 112);
  if (b.bytesPerSectorShift < 9 || b.bytesPerSectorShift > 12) return std::nullopt;
  if (b.bytesPerSectorShift + b.sectorsPerClusterShift > 25) return std::nullopt;
  if (b.fatCount != 1 && b.fatCount != 2) return std::nullopt;
  if (b.fatOffset < 24 || b.fatLength == 0 || b.clusterCount == 0 || b.clusterCount > kExfatMaxClusters)
    return std::nullopt;
  // The FATs hold an entry per cluster (and the two reserved ones).
  const std::uint64_t fatBytes = std::uint64_t{b.fatLength} * b.bytesPerSector();
  if (fatBytes / 4 < std::uint64_t{b.clusterCount} + 2) return std::nullopt;
  if (std::uint64_t{b.heapOffset} < std::uint64_t{b.fatOffset} + std::uint64_t{b.fatLength} * b.fatCount)
    return std::nullopt;
  const std::uint64_t heapEnd = std::uint64_t{b.heapOffset} + (std::uint64_t{b.clusterCount} << b.sectorsPerClusterShift);
  if (b.volumeLength < heapEnd) return std::nullopt;
  if (b.rootCluster < kExfatFirstCluster || b.rootCluster - kExfatFirstCluster >= b.clusterCount)
    return std::nullopt;
  return b;
}

std::uint32_t exfatBootChecksum(Bytes region, std::uint32_t bytesPerSector) {
  std::uint32_t sum = 0;
  const std::size_t n = std::size_t{11} * bytesPerSector;
  for (std::size_t i = 0; i < n && i < region.size(); ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

bool exfatBootRegionValid(Bytes region, std::uint32_t bytesPerSector) {
  if (region.size() < std::size_t{12} * bytesPerSector) return false;
  const std::uint32_t sum = exfatBootChecksum(region, bytesPerSector);
  const std::size_t at = std::size_t{11} * bytesPerSector;
  for (std::size_t i = 0; i < bytesPerSector; i += 4)
    if (rd32(region, at + i) != sum) return false;
  return true;
}

}  // namespace osprin
