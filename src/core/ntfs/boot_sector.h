#pragma once
// The NTFS boot sector ($Boot's first sector, and its backup at the
// volume's last sector): the volume's geometry as every layer reads it.
#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/types.h"

namespace osprin {

struct NtfsBootSector {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;  // 1 to 4096 (clusters up to 2 MiB of 512-byte sectors)
  std::uint64_t totalSectors = 0;       // the sectors the volume counts (the backup boot sector follows them)
  std::uint64_t mftCluster = 0;
  std::uint64_t mftMirrorCluster = 0;
  std::uint32_t mftRecordBytes = 0;     // 1,024 or 4,096 in practice
  std::uint32_t indexBlockBytes = 0;    // 4,096 in practice
  std::uint64_t serialNumber = 0;
};

// The sectors per cluster that the boot sector's byte 13 codes: 1 to 128 as
// they stand, or 2^(256 - v) for v of 0xF4 to 0xF8 (256 to 4,096 sectors,
// clusters of 128 KiB to 2 MiB on 512-byte sectors). 0 for anything else.
std::uint32_t ntfsSectorsPerCluster(std::uint8_t v);

// A record or block size field (bytes 64 and 68): a positive value counts
// clusters, a negative one v gives 2^-v bytes. 0 when the size is not a
// power of two from 256 bytes to 64 KiB.
std::uint32_t ntfsRecordBytes(std::int8_t v, std::uint64_t clusterBytes);

// The boot sector in s ("NTFS    " at 3, the 0x55AA signature, a sector size
// of 512 to 4,096 bytes, a cluster size, record sizes, a sector count below
// kSectorNoLimit); nullopt when s is not one.
std::optional<NtfsBootSector> parseNtfsBootSector(Bytes s);

}  // namespace osprin
