#include "partition/lost_search.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "common/bytes.h"
#include "exfat/boot_sector.h"
#include "fat/boot_sector.h"
#include "gpt/gpt.h"
#include "ntfs/boot_sector.h"

namespace osprin {

namespace {

constexpr std::uint64_t kAlign = 8;             // 4 KiB in 512-byte sectors
constexpr std::uint32_t kChunkSectors = 2048;   // 1 MiB per read request
constexpr std::size_t kNtfsMftClusterField = 48;  // NTFS: cluster of the MFT

// The partitions found so far, in the order found.
struct Found {
  std::vector<PartitionEntry> list;
  // Per entry: its sectors are not searched for other volumes (a boot sector
  // that bareVolumeAt accepts, or a GPT entry; not a bare type text).
  std::vector<bool> masks;
  std::uint64_t diskSectors = 0;
  void push(PartitionEntry e, bool mask) {
    list.push_back(std::move(e));
    masks.push_back(mask);
  }
  bool has(std::uint64_t start) const {
    return std::any_of(list.begin(), list.end(), [&](const PartitionEntry& e) { return e.start == start; });
  }
  // True when sector q lies inside a partition found so far that fits on the
  // disk (a volume's own sectors are not searched for other volumes).
  bool covers(std::uint64_t q) const {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const PartitionEntry& e = list[i];
      const std::uint64_t end = std::uint64_t{e.start} + e.length;
      if (masks[i] && e.length != 0 && (diskSectors == 0 || end <= diskSectors) && q >= e.start && q < end)
        return true;
    }
    return false;
  }
};

// Restores the reader's retry count when the search ends: the search reads
// each candidate once.
class RetriesOff {
 public:
  explicit RetriesOff(SectorReader& r) : r_(r), saved_(r.badSectorRetries()) { r_.setBadSectorRetries(1); }
  ~RetriesOff() { r_.setBadSectorRetries(saved_); }
  RetriesOff(const RetriesOff&) = delete;
  RetriesOff& operator=(const RetriesOff&) = delete;

 private:
  SectorReader& r_;
  std::uint16_t saved_;
};

bool fitsSectorNo(std::uint64_t start, std::uint64_t length) {
  return start < kSectorNoLimit && length < kSectorNoLimit - start;
}

// The probes of the cylinder geometry: the sector behind the first track of
// each cylinder, or the cylinder's first sector when that one holds no
// signature. The boot sector is taken by its type texts alone.
void searchCylinders(SectorReader& reader, const DriveInfo& drive, StopFlag& stop, Observer& obs, Found& found,
                     std::vector<std::uint64_t>& probed) {
  std::uint32_t cylinders = drive.cylinders;
  std::uint32_t heads = drive.heads;
  if (drive.sectorsPerTrack != 63) {
    heads = 255;
    cylinders = static_cast<std::uint32_t>(drive.cylinders * drive.heads * drive.sectorsPerTrack) / 16065u;
  }
  const std::uint64_t cylSize = static_cast<std::uint64_t>(heads) * 63;
  std::array<std::uint8_t, kSectorSize> buf{};
  for (std::uint32_t c = 0; c < cylinders; ++c) {
    if (stop.load() == 1) break;
    obs.progress(static_cast<int>(static_cast<std::uint64_t>(c) * 10 / cylinders));
    const std::uint64_t s = c * cylSize;
    probed.push_back(s);
    probed.push_back(s + 63);
    // An unreadable sector counts as one without a signature.
    std::uint64_t p = s + 63;
    bool ok = reader.readSectorsClearing(p, 1, buf.data()) && hasBootSignature(Bytes(buf));
    if (!ok) {
      p = s;
      ok = reader.readSectorsClearing(p, 1, buf.data()) && hasBootSignature(Bytes(buf));
    }
    if (!ok) continue;
    Bytes b(buf);
    PartitionEntry e;
    e.start = static_cast<SectorNo>(p);
    // Counts of the volume's own sectors, in 512-byte units.
    const FatBootSector fat = readFatBootSector(b);
    const SectorNo units = fat.units();
    const SectorNo fatLength = fat.totalSectors * units;
    if (rd8(b, 85) == '3' && rd8(b, 86) == '2') {
      e.fsType = FsType::Fat32;
      e.length = fatLength;
    } else if (rd8(b, 57) == '1' && rd8(b, 58) == '6') {
      e.fsType = FsType::Fat16;
      e.length = fatLength;
    } else if (hasText(b, 3, "NTFS")) {
      e.fsType = FsType::Ntfs;
      e.length = rd32(b, 40) * units;
    } else if (const BareVolume ex = bareVolumeAt(b); ex.fsType == FsType::Exfat) {
      e.fsType = FsType::Exfat;
      e.length = ex.length;
    } else {
      continue;
    }
    if (e.length == 0 || found.has(e.start)) continue;  // a boot sector that counts no sectors is no partition
    found.push(e, bareVolumeAt(b).fsType != FsType::None);
    obs.counter(Counter::PartitionsFound, found.list.size());
    if (found.list.size() >= kMaxPartitions) break;
  }
}

// A damaged GPT: the backup header at the disk's last sector still lists
// the partitions (the primary one too, when sector 0 alone was lost).
void searchGpt(SectorReader& reader, Observer& obs, Found& found) {
  const auto table = gpt::readTable(reader);
  if (!table) return;
  for (auto& e : gptPartitions(reader, *table)) {
    if (found.list.size() >= kMaxPartitions) break;
    if (found.has(e.start)) continue;
    found.push(std::move(e), true);
    obs.counter(Counter::PartitionsFound, found.list.size());
  }
}

// The pass over the whole disk, 1 MiB per request: every 4 KiB boundary
// (which includes every 1 MiB boundary) is a candidate start, and the
// backup boot sectors name the start of a volume whose first sector is gone
// (FAT32: the sector that BPB field 50 names, normally 6; NTFS: the sector
// after the counted ones, the volume's last).
class BoundaryPass {
 public:
  BoundaryPass(Found& found, std::vector<std::uint64_t> cylinderProbes)
      : found_(found), cylinder_(std::move(cylinderProbes)) {
    std::sort(cylinder_.begin(), cylinder_.end());
  }

  void run(SectorReader& reader, StopFlag& stop, Observer& obs) {
    const std::uint64_t total = reader.totalSectors();
    std::vector<std::uint8_t> buf(std::size_t{kChunkSectors} * kSectorSize);
    for (std::uint64_t base = 0; base < total; base += kChunkSectors) {
      if (stop.load() == 1 || found_.list.size() >= kMaxPartitions) return;
      obs.progress(static_cast<int>(std::min<std::uint64_t>(99, 10 + base * 90 / total)));
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, total - base));
      // Sectors that do not read come back as zeros: no signature.
      reader.readSectorsClearing(base, n, buf.data());
      for (std::uint32_t i = 0; i < n; ++i) {
        const Bytes s(buf.data() + std::size_t{i} * kSectorSize, kSectorSize);
        if (!hasBootSignature(s)) continue;
        examine(reader, base + i, s, obs);
        if (found_.list.size() >= kMaxPartitions) return;
      }
    }
  }

 private:
  bool isCandidate(std::uint64_t q) const {
    return q % kAlign == 0 || std::binary_search(cylinder_.begin(), cylinder_.end(), q);
  }

  void add(std::uint64_t start, const BareVolume& v, Observer& obs) {
    if (!fitsSectorNo(start, v.length) || found_.has(start)) return;
    found_.push({static_cast<SectorNo>(start), v.length, v.fsType}, true);
    obs.counter(Counter::PartitionsFound, found_.list.size());
  }

  // True when the sector where an NTFS volume starting at start keeps its
  // MFT (boot sector s) holds a file record. One read.
  bool mftAt(SectorReader& reader, std::uint64_t start, Bytes s, std::uint32_t units) const {
    const std::uint64_t lcn = rd64(s, kNtfsMftClusterField);
    const std::uint64_t spc = std::uint64_t{ntfsSectorsPerCluster(rd8(s, 13))} * units;
    if (lcn == 0 || spc == 0 || lcn > (~std::uint64_t{0} - start) / spc) return false;
    std::array<std::uint8_t, kSectorSize> rec{};
    return reader.readSectorsClearing(start + lcn * spc, 1, rec.data()) && hasText(Bytes(rec), 0, "FILE");
  }

  void examine(SectorReader& reader, std::uint64_t q, Bytes s, Observer& obs) {
    if (found_.covers(q)) return;  // inside a volume already found (its own backup, or files)
    const BareVolume v = bareVolumeAt(s);
    if (v.fsType == FsType::None) return;
    // How far a backup boot sector lies behind its volume's first sector
    // (in 512-byte units; the fields count the volume's own sectors).
    const std::uint32_t units = v.bytesPerSector / kSectorSize;
    std::uint64_t back = 0;
    if (v.fsType == FsType::Fat32) {
      const FatBootSector fat = readFatBootSector(s);
      back = fat.backupBootSector;
      if (back >= fat.reservedSectors) back = 0;  // the backup lies in the reserved sectors
      back *= units;
    } else if (v.fsType == FsType::Ntfs) {
      back = v.length - units;  // the counted sectors; the backup follows them
    } else if (v.fsType == FsType::Exfat) {
      back = std::uint64_t{kExfatBackupBootSector} * units;  // the backup boot region follows the main one
    }
    const bool behind = back != 0 && back <= q;
    // The backup of a volume found already (an NTFS volume's last sector
    // lies just past the sectors it counts).
    if (behind && found_.has(q - back)) return;
    bool asFirst = q % kAlign == 0;
    bool asBackup = behind && isCandidate(q - back);
    // Both fit: an NTFS volume keeps its MFT where the boot sector says.
    if (asFirst && asBackup && v.fsType == FsType::Ntfs && !mftAt(reader, q, s, units) &&
        mftAt(reader, q - back, s, units))
      asFirst = false;
    if (asFirst)
      add(q, v, obs);
    else if (asBackup)
      add(q - back, v, obs);
  }

  Found& found_;
  std::vector<std::uint64_t> cylinder_;
};

}  // namespace

std::vector<PartitionEntry> searchLostPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop,
                                                 Observer& obs) {
  Found found;
  found.diskSectors = reader.totalSectors();
  stop.store(0);
  PhaseScope phase(obs, {Phase::SearchingPartitions});
  ProgressScope bar(obs);
  {
    RetriesOff once(reader);
    std::vector<std::uint64_t> probed;
    // The GPT first: its entries keep their names when a probe finds the same start.
    searchGpt(reader, obs, found);
    if (found.list.size() < kMaxPartitions) searchCylinders(reader, drive, stop, obs, found, probed);
    if (stop.load() != 1 && found.list.size() < kMaxPartitions) BoundaryPass(found, std::move(probed)).run(reader, stop, obs);
  }
  std::stable_sort(found.list.begin(), found.list.end(),
                   [](const PartitionEntry& a, const PartitionEntry& b) { return a.start < b.start; });
  stop.store(0);
  return found.list;
}

PartitionDiscovery discoverPartitions(SectorReader& reader, const DriveInfo& drive, StopFlag& stop, Observer& obs) {
  PartitionDiscovery d;
  std::vector<std::string> warnings;
  d.partitions = readPartitionTables(reader, &warnings);
  for (const auto& w : warnings) obs.warning(w);
  if (!d.partitions.empty()) return d;
  d.searched = true;
  d.partitions = searchLostPartitions(reader, drive, stop, obs);
  return d;
}

}  // namespace osprin
