#include "partition/lost_search.h"

#include <algorithm>
#include <array>

#include "common/bytes.h"

namespace osprin {

std::vector<PartitionEntry> searchLostPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop,
                                                 Observer& obs) {
  std::vector<PartitionEntry> found;
  std::uint32_t cylinders = drive.cylinders;
  std::uint32_t heads = drive.heads;
  if (drive.sectorsPerTrack != 63) {
    heads = 255;
    cylinders = static_cast<std::uint32_t>(drive.cylinders * drive.heads * drive.sectorsPerTrack) / 16065u;
  }
  stop.store(0);
  obs.status("Searching For Partitions");
  obs.progressVisible(true);
  obs.progress(0);
  const std::uint64_t cylSize = static_cast<std::uint64_t>(heads) * 63;
  std::array<std::uint8_t, kSectorSize> buf{};
  for (std::uint32_t c = 0; c < cylinders; ++c) {
    if (stop.load() == 1) break;
    obs.progress(static_cast<int>(std::min<std::uint64_t>(99, static_cast<std::uint64_t>(c) * 100 / cylinders)));
    const std::uint64_t s = c * cylSize;
    // An unreadable sector counts as one without a signature.
    std::uint64_t p = s + 63;
    bool ok = reader.readSectors(static_cast<SectorNo>(p), 1, buf.data()) && hasBootSignature(Bytes(buf));
    if (!ok) {
      p = s;
      ok = reader.readSectors(static_cast<SectorNo>(p), 1, buf.data()) && hasBootSignature(Bytes(buf));
    }
    if (!ok) continue;
    Bytes b(buf);
    PartitionEntry e;
    e.start = static_cast<SectorNo>(p);
    // FAT: the 16-bit sector count, or the 32-bit one when that is 0.
    const SectorNo fatLength = rd16(b, 19) != 0 ? rd16(b, 19) : rd32(b, 32);
    if (rd8(b, 85) == '3' && rd8(b, 86) == '2') {
      e.fsType = FsType::Fat32;
      e.length = fatLength;
    } else if (rd8(b, 57) == '1' && rd8(b, 58) == '6') {
      e.fsType = FsType::Fat16;
      e.length = fatLength;
    } else if (hasText(b, 3, "NTFS")) {
      e.fsType = FsType::Ntfs;
      e.length = rd32(b, 40);
    } else {
      continue;
    }
    if (e.length == 0) continue;  // a boot sector that counts no sectors is no partition
    found.push_back(e);
    obs.counter("Partitions Found", found.size());
    if (found.size() >= kMaxPartitions) break;
  }
  obs.progressVisible(false);
  obs.status("");
  stop.store(0);
  return found;
}

PartitionDiscovery discoverPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop, Observer& obs) {
  PartitionDiscovery d;
  for (SectorNo table : {0u, 0u, 61u, 62u}) {
    d.partitions = readPartitionTable(reader, table);
    if (!d.partitions.empty()) return d;
  }
  d.searched = true;
  d.partitions = searchLostPartitions(reader, drive, stop, obs);
  return d;
}

}  // namespace osprin
