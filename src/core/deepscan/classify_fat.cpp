#include "deepscan/classify_fat.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "deepscan/progress.h"
#include "fat/boot_sector.h"

namespace osprin {

namespace {

constexpr std::array<std::uint32_t, 8> kClusterSizes = {1, 2, 4, 8, 16, 32, 64, 128};

bool isClusterSize(std::uint32_t v) { return std::find(kClusterSizes.begin(), kClusterSizes.end(), v) != kClusterSizes.end(); }

int sizeSlot(std::uint32_t spc) {
  for (int i = 0; i < 8; ++i)
    if (kClusterSizes[static_cast<std::size_t>(i)] == spc) return i;
  return -1;
}

// For each cluster size k, the heads by the cluster base they imply,
// sector - k * firstCluster (modulo 2^64): the heads of one file
// system share that value. Replaces walks of the whole head list by a
// binary search; the entries of one base come in list order, which is
// ascending sector order.
class HeadIndex {
 public:
  explicit HeadIndex(const std::vector<DirHeadHit>& hits) : hits_(hits) {}

  using Entry = std::pair<SectorNo, std::uint32_t>;  // (implied base, index into hits)

  std::pair<const Entry*, const Entry*> withBase(int slot, SectorNo base) {
    auto& v = table(slot);
    auto lo = std::lower_bound(v.begin(), v.end(), Entry{base, 0});
    auto hi = std::upper_bound(v.begin(), v.end(), Entry{base, 0xFFFFFFFFu});
    return {v.data() + (lo - v.begin()), v.data() + (hi - v.begin())};
  }

 private:
  std::vector<Entry>& table(int slot) {
    auto& v = tables_[static_cast<std::size_t>(slot)];
    if (!built_[static_cast<std::size_t>(slot)]) {
      const SectorNo k = kClusterSizes[static_cast<std::size_t>(slot)];
      v.reserve(hits_.size());
      for (std::size_t i = 0; i < hits_.size(); ++i)
        v.emplace_back(hits_[i].sector - k * hits_[i].firstCluster, static_cast<std::uint32_t>(i));
      std::sort(v.begin(), v.end());
      built_[static_cast<std::size_t>(slot)] = true;
    }
    return v;
  }

  const std::vector<DirHeadHit>& hits_;
  std::array<std::vector<Entry>, 8> tables_;
  std::array<bool, 8> built_{};
};

struct Analysis {
  DeepScanResults& r;
  StepProgress progress;
  HeadIndex heads;

  void classified() {
    ++r.classifiedCount;
    progress.set(r.classifiedCount, r.folderHitCount);
  }
};

// H = hits[h] with a later unexamined head Q: do they fit one geometry? a
// and e are sectors, b and d the first clusters their heads name.
bool fits(SectorNo a, SectorNo b, SectorNo d, SectorNo e, std::uint32_t& k) {
  if (!(d > b && e > a && d < e && b < a)) return false;
  if ((e - a) % (d - b) != 0) return false;
  const SectorNo ratio = (e - a) / (d - b);
  if (ratio > 128) return false;
  k = static_cast<std::uint32_t>(ratio);
  if (!isClusterSize(k)) return false;
  return a > k * b && e > k * d && a - k * b == e - k * d;
}

bool fitFatGeometry(Analysis& an, FsType fsType, std::size_t h) {
  auto& hits = an.r.dirHeadHits;
  if (an.r.foundFileSystems.size() >= kMaxFoundFileSystems) return false;
  const SectorNo a = hits[h].sector, b = hits[h].firstCluster;
  // The first later head (in list order) that qualifies. A qualifying head
  // implies the same base as H for its cluster size, so it is among the
  // heads of that base in one of the eight tables.
  std::size_t best = hits.size();
  for (int slot = 0; slot < 8; ++slot) {
    const SectorNo k = kClusterSizes[static_cast<std::size_t>(slot)];
    auto [lo, hi] = an.heads.withBase(slot, a - k * b);
    const HeadIndex::Entry* it =
        std::upper_bound(lo, hi, HeadIndex::Entry{a - k * b, static_cast<std::uint32_t>(h)});
    for (; it != hi && it->second < best; ++it) {
      const DirHeadHit& q = hits[it->second];
      std::uint32_t kk = 0;
      if (q.fsIndex != 0 || !fits(a, b, q.firstCluster, q.sector, kk)) continue;
      best = it->second;
      break;
    }
  }
  if (best == hits.size()) return false;

  std::uint32_t spc = 0;
  fits(a, b, hits[best].firstCluster, hits[best].sector, spc);
  const SectorNo base = a - spc * b;
  const auto mark = static_cast<std::int16_t>(an.r.foundFileSystems.size() + 1);
  std::uint32_t largest = 0;
  auto [lo, hi] = an.heads.withBase(sizeSlot(spc), base);
  for (auto it = lo; it != hi; ++it) {
    DirHeadHit& q = hits[it->second];
    if (q.fsIndex != 0) continue;
    q.fsIndex = mark;
    an.classified();
    largest = std::max(largest, q.firstCluster);
  }
  const bool fat32 = fsType == FsType::Fat32 || largest > 0xFFFF;
  VolumeParams fields;
  fields.fsType = fat32 ? FsType::Fat32 : FsType::Fat16;
  fields.sectorsPerCluster = spc;
  fields.clusterBase = base;
  fields.rootDirStart = fat32 ? 2 : 0;
  addFoundFileSystem(an.r, std::string(fat32 ? "FAT32 @" : "FAT16 @") + dec(base / an.r.unitsPerSector), fields);
  return true;
}

void bootSectorPass(SectorReader& reader, Analysis& an) {
  auto& r = an.r;
  for (std::size_t n = 0; n < r.bootSectorHits.size(); ++n) {
    if (r.foundFileSystems.size() >= kMaxFoundFileSystems) break;
    const SectorNo at = r.bootSectorHits[n];
    std::array<std::uint8_t, kSectorSize> buf{};
    reader.readSectors(at, 1, buf.data());
    const Bytes s(buf);
    const bool fat32 = s[85] == '3' && s[86] == '2';
    const bool fat16 = !fat32 && s[57] == '1' && s[58] == '6';
    if (!fat32 && !fat16) continue;
    // The fields count the volume's own sectors (512 to 4,096 bytes); here
    // they become 512-byte units. Clusters up to 64 KiB.
    const FatBootSector boot = readFatBootSector(s);
    const std::uint32_t u = boot.units();
    const std::uint32_t spc = boot.sectorsPerCluster * u;
    if (!isClusterSize(spc)) continue;
    const std::uint32_t reserved = boot.reservedSectors * u;
    // The sector count: the 16-bit field, or the 32-bit one when that is 0
    // (a small FAT16 volume leaves the 32-bit field 0).
    const SectorNo end = at + boot.totalSectors * u;
    VolumeParams fields;
    SectorNo dataStart = 0;
    fields.sectorsPerCluster = spc;
    fields.reservedSectors = reserved;
    fields.fat1Start = at + reserved;
    fields.volumeEnd = end;
    if (fat32) {
      const std::uint64_t f64 = std::uint64_t{boot.sectorsPerFat32} * u;
      if (f64 > 0xFFFFFFFFu) continue;
      const auto f = static_cast<std::uint32_t>(f64);
      fields.fsType = FsType::Fat32;
      fields.sectorsPerFat = f;
      fields.rootDirSectors = 0;
      fields.rootDirStart = boot.rootCluster;
      fields.fat2Start = fields.fat1Start + f;
      dataStart = at + reserved + 2 * SectorNo{f};
    } else {
      const std::uint32_t f = boot.sectorsPerFat16 * u;
      const std::uint32_t rootSectors = boot.rootDirSectors() * u;
      fields.fsType = FsType::Fat16;
      fields.sectorsPerFat = f;
      fields.rootDirSectors = rootSectors;
      fields.rootDirStart = at + reserved + 2 * f;
      fields.fat2Start = fields.fat1Start + f;
      dataStart = fields.rootDirStart + rootSectors;
    }
    // Cluster 2 begins the data area: a base before the disk's start is no volume.
    if (dataStart < 2 * spc + 63) continue;
    fields.clusterBase = dataStart - 2 * spc;
    const SectorNo base = fields.clusterBase;

    // The heads not yet claimed whose sector is base + spc * firstCluster,
    // up to the volume's end (the heads are in ascending sector order).
    const auto mark = static_cast<std::int16_t>(r.foundFileSystems.size() + 1);
    bool any = false;
    auto [lo, hi] = an.heads.withBase(sizeSlot(spc), base);
    for (auto it = lo; it != hi; ++it) {
      DirHeadHit& h = r.dirHeadHits[it->second];
      if (h.fsIndex != 0) continue;
      if (h.sector > end) break;
      h.fsIndex = mark;
      an.classified();
      any = true;
    }
    if (any) addFoundFileSystem(r, std::string(fat32 ? "FAT32 @" : "FAT16 @") + dec(base / r.unitsPerSector), fields);
  }
}

void headsPass(Analysis& an, FsType fsType) {
  auto& hits = an.r.dirHeadHits;
  for (std::size_t h = 0; h < hits.size(); ++h) {
    if (hits[h].fsIndex != 0) continue;
    if (!fitFatGeometry(an, fsType, h)) {
      hits[h].fsIndex = -1;
      an.classified();
    }
  }
}

}  // namespace

void addFoundFileSystem(DeepScanResults& results, std::string label, const VolumeParams& fields) {
  FoundFileSystem fs;
  static_cast<VolumeParams&>(fs) = fields;
  fs.label = std::move(label);
  results.foundFileSystems.push_back(std::move(fs));
}

void classifyFatByBootSectors(SectorReader& reader, DeepScanResults& results, Observer& obs) {
  Analysis an{results, StepProgress(obs), HeadIndex(results.dirHeadHits)};
  bootSectorPass(reader, an);
}

void classifyFatByHeads(FsType fsType, DeepScanResults& results, Observer& obs) {
  Analysis an{results, StepProgress(obs), HeadIndex(results.dirHeadHits)};
  headsPass(an, fsType);
}

void analyseFoundFat(SectorReader& reader, FsType fsType, DeepScanResults& results, Observer& obs) {
  obs.phase({Phase::AnalysingFatData});
  results.classifiedCount = 0;
  Analysis an{results, StepProgress(obs), HeadIndex(results.dirHeadHits)};
  bootSectorPass(reader, an);
  headsPass(an, fsType);
}

}  // namespace osprin
