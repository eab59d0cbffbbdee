#include "ntfs/boot_sector.h"

namespace osprin {

namespace {

bool isPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::uint32_t ntfsSectorsPerCluster(std::uint8_t v) {
  if (v >= 1 && v <= 128 && isPowerOfTwo(v)) return v;
  if (v >= 0xF4 && v <= 0xF8) return std::uint32_t{1} << (256 - v);  // 0xF8: 256 sectors, 0xF4: 4,096
  return 0;
}

std::uint32_t ntfsRecordBytes(std::int8_t v, std::uint64_t clusterBytes) {
  std::uint64_t bytes = 0;
  if (v < 0) {
    const int shift = -v;
    if (shift < 8 || shift > 16) return 0;
    bytes = std::uint64_t{1} << shift;
  } else {
    bytes = static_cast<std::uint64_t>(v) * clusterBytes;
  }
  if (bytes < 256 || bytes > 65536 || !isPowerOfTwo(bytes)) return 0;
  return static_cast<std::uint32_t>(bytes);
}

std::optional<NtfsBootSector> parseNtfsBootSector(Bytes s) {
  if (s.size() < 512 || rd16(s, 510) != 0xAA55 || !hasText(s, 3, "NTFS    ")) return std::nullopt;
  NtfsBootSector b;
  b.bytesPerSector = rd16(s, 11);
  if (b.bytesPerSector < 512 || b.bytesPerSector > 4096 || !isPowerOfTwo(b.bytesPerSector)) return std::nullopt;
  b.sectorsPerCluster = ntfsSectorsPerCluster(rd8(s, 13));
  if (b.sectorsPerCluster == 0) return std::nullopt;
  const std::uint64_t clusterBytes = std::uint64_t{b.sectorsPerCluster} * b.bytesPerSector;
  if (clusterBytes > (std::uint64_t{2} << 20)) return std::nullopt;  // 2 MiB at most
  b.totalSectors = rd64(s, 40);
  if (b.totalSectors == 0 || b.totalSectors >= kSectorNoLimit) return std::nullopt;
  b.mftCluster = rd64(s, 48);
  b.mftMirrorCluster = rd64(s, 56);
  const std::uint64_t clusters = b.totalSectors / b.sectorsPerCluster;
  if (b.mftCluster > clusters || b.mftMirrorCluster > clusters) return std::nullopt;
  b.mftRecordBytes = ntfsRecordBytes(static_cast<std::int8_t>(rd8(s, 64)), clusterBytes);
  b.indexBlockBytes = ntfsRecordBytes(static_cast<std::int8_t>(rd8(s, 68)), clusterBytes);
  if (b.mftRecordBytes == 0 || b.indexBlockBytes == 0) return std::nullopt;
  b.serialNumber = rd64(s, 72);
  return b;
}

}  // namespace osprin
