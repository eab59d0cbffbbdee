#include "recovery/verdict.h"


#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "exfat/volume.h"
#include "fat/fat_table.h"
#include "volume/walkers.h"
#include "common/bytes.h"
#include "common/page_buffer.h"
#include "common/text.h"
#include "ntfs/data_attr.h"
#include "recovery/extract.h"
#include "ntfs/record_header.h"

namespace osprin {

// ---------------------------------------------------------------------------
// Cluster map

void ClusterMap::reset(std::uint64_t clusters) {
  size_ = clusters;
  claimed_.assign((clusters + 63) / 64, 0);
  unknown_.clear();
}

namespace {

void setBits(std::vector<std::uint64_t>& words, std::uint64_t first, std::uint64_t count) {
  std::uint64_t c = first;
  const std::uint64_t end = first + count;
  while (c < end && (c & 63) != 0) {
    words[c >> 6] |= 1ULL << (c & 63);
    ++c;
  }
  while (end - c >= 64) {
    words[c >> 6] = ~0ULL;
    c += 64;
  }
  while (c < end) {
    words[c >> 6] |= 1ULL << (c & 63);
    ++c;
  }
}

}  // namespace

void ClusterMap::claimRange(std::uint64_t first, std::uint64_t count) {
  if (first >= size_) return;
  setBits(claimed_, first, std::min(count, size_ - first));
}

void ClusterMap::markUnknown(std::uint64_t first, std::uint64_t count) {
  if (first >= size_) return;
  if (unknown_.empty()) unknown_.assign(claimed_.size(), 0);
  setBits(unknown_, first, std::min(count, size_ - first));
}

// ---------------------------------------------------------------------------
// Verdict of one record

void VerdictCounter::add(std::uint64_t cluster) {
  ++clusters_;
  if (map_.unknown(cluster))
    ++unknown_;
  else if (map_.claimed(cluster))
    ++claimed_;
}

void VerdictCounter::addRange(std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) add(first + i);
}

Recoverability VerdictCounter::result() const {
  Recoverability r;
  r.guessedChain = guessed_;
  r.clusters = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters_, UINT32_MAX));
  r.claimed = static_cast<std::uint32_t>(std::min<std::uint64_t>(claimed_, r.clusters));
  if (forcedUnknown_ || unknown_ > 0)
    r.verdict = Verdict::Unknown;
  else if (claimed_ == 0)
    r.verdict = guessed_ ? Verdict::Guessed : Verdict::Intact;
  else if (claimed_ >= clusters_)
    r.verdict = Verdict::Overwritten;
  else
    r.verdict = Verdict::Partial;
  return r;
}

namespace {

Recoverability unknownVerdict() {
  Recoverability r;
  r.verdict = Verdict::Unknown;
  return r;
}

void count(VerdictCounts& c, const Recoverability& r) {
  switch (r.verdict) {
    case Verdict::Intact: ++c.intact; break;
    case Verdict::Partial: ++c.partial; break;
    case Verdict::Overwritten: ++c.overwritten; break;
    case Verdict::Guessed: ++c.guessed; break;
    case Verdict::Unknown: ++c.unknown; break;
    case Verdict::None: break;
  }
}

bool stopped(const StopFlag* stop) { return stop && stop->load() != 0; }

// Clusters of the disk from clusterBase on (0 when the disk's size is unknown).
std::uint64_t clustersOnDisk(SectorReader& reader, const VolumeParams& vp) {
  const std::uint64_t total = reader.totalSectors();
  if (total == 0 || vp.sectorsPerCluster == 0) return 0;
  if (total <= vp.clusterBase) return 1;
  return (total - vp.clusterBase) / vp.sectorsPerCluster;
}

// Reads count sectors at lba; a request that fails is read again sector by
// sector and each sector that never reads is reported to failed(index).
template <class F>
void readReporting(SectorReader& reader, std::uint64_t lba, std::uint32_t count, std::uint8_t* buf, F failed) {
  if (reader.readSectorsClearing(lba, count, buf)) return;
  for (std::uint32_t i = 0; i < count; ++i)
    if (!reader.readSectorsClearing(lba + i, 1, buf + static_cast<std::size_t>(i) * kSectorSize)) failed(i);
}

// ---------------------------------------------------------------------------
// FAT

VerdictCounts assessFat(SectorReader& reader, const VolumeParams& vp, FileTree& tree, const NtfsFileSet& ntfsFiles,
                        const StopFlag* stop) {
  VerdictCounts counts;
  const bool fat32 = vp.fsType == FsType::Fat32;
  const std::uint32_t perSector = fat32 ? 128 : 256;
  const std::uint32_t spc = vp.sectorsPerCluster;
  const bool readable = vp.fat1Start != 0 && vp.sectorsPerFat != 0 && spc != 0;
  if (!readable) {
    for (auto& f : tree.fatFiles)
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    for (auto& f : tree.fatFolders)
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    return counts;
  }

  // The FAT: every non-zero entry claims its cluster. A sector of the first
  // copy that does not read is taken from the second; when neither reads,
  // the clusters of its entries are unknown.
  std::uint64_t entries = static_cast<std::uint64_t>(vp.sectorsPerFat) * perSector;
  if (const std::uint64_t onDisk = clustersOnDisk(reader, vp); onDisk > 0) entries = std::min(entries, onDisk);
  ClusterMap map;
  map.reset(entries);
  map.claimRange(0, 2);  // the two reserved entries
  constexpr std::uint32_t kChunk = 256;
  PageBuffer buf(kChunk * kSectorSize);
  const std::uint64_t fatSectors = (entries + perSector - 1) / perSector;
  for (std::uint64_t s = 0; s < fatSectors; s += kChunk) {
    if (stopped(stop)) return counts;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, fatSectors - s));
    readReporting(reader, vp.fat1Start + s, n, buf.data(), [&](std::uint32_t i) {
      std::uint8_t* sector = buf.data() + static_cast<std::size_t>(i) * kSectorSize;
      if (vp.fat2Start == 0 || !reader.readSectorsClearing(vp.fat2Start + s + i, 1, sector))
        map.markUnknown((s + i) * perSector, perSector);
    });
    const Bytes b(buf.data(), static_cast<std::size_t>(n) * kSectorSize);
    const std::uint64_t firstEntry = s * perSector;
    const std::uint64_t last = std::min<std::uint64_t>(entries, firstEntry + static_cast<std::uint64_t>(n) * perSector);
    for (std::uint64_t e = firstEntry; e < last; ++e) {
      const std::size_t at = static_cast<std::size_t>(e - firstEntry);
      // A FAT32 entry's top four bits are reserved: they claim nothing.
      const std::uint32_t v = fatEntryIn(b.subspan(at / fatEntriesPerUnit(fat32) * kSectorSize, kSectorSize),
                                         static_cast<std::uint32_t>(at), fat32) &
                              0x0FFFFFFFu;
      if (v != 0) map.claim(e);
    }
  }
  counts.allocationRead = true;

  // The clusters recovery reads for a file: its chain from either FAT copy
  // when that fits the size, else contiguous from the first cluster.
  RecoverySettings settings;
  FilterTable filters;
  RecoveryContext ctx{reader, vp, tree, ntfsFiles, ScanType::Standard, settings, filters};
  RecoveryFlags flags;
  Extractor ex(ctx, flags, nullObserver());
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(spc) * kSectorSize;
  // A size that needs more clusters than the volume has is damaged: its
  // chain is not followed (a looping chain would be followed that far).
  auto fits = [&](std::uint64_t size) { return (size + clusterBytes - 1) / clusterBytes <= entries; };
  auto clustersOf = [&](std::uint32_t first, std::uint64_t size, bool& guessed) {
    const std::uint64_t k64 = std::max<std::uint64_t>(1, (size + clusterBytes - 1) / clusterBytes);
    const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(k64, UINT32_MAX - 1));
    std::vector<std::uint32_t> chain = ex.buildClusterChain(first, k, 1);
    if (chain.size() != k) chain = ex.buildClusterChain(first, k, 2);
    guessed = chain.size() != k;
    return std::make_pair(guessed ? std::vector<std::uint32_t>{} : std::move(chain), k);
  };

  for (const auto& f : tree.fatFiles) {
    if (f.deleted || f.firstCluster < 2 || f.size == 0) continue;
    if (stopped(stop)) return counts;
    if (!fits(f.size)) {
      map.claim(f.firstCluster);
      continue;
    }
    bool guessed = false;
    auto [chain, k] = clustersOf(f.firstCluster, f.size, guessed);
    if (guessed)
      map.claimRange(f.firstCluster, k);
    else
      for (std::uint32_t c : chain) map.claim(c);
  }

  for (auto& f : tree.fatFiles) {
    if (!f.deleted) continue;
    if (stopped(stop)) return counts;
    VerdictCounter v(map);
    if (f.firstCluster < 2 || !fits(f.size)) {
      v.setUnknown();
    } else {
      bool guessed = false;
      auto [chain, k] = clustersOf(f.firstCluster, f.size, guessed);
      if (guessed) {
        v.setGuessed();
        v.addRange(f.firstCluster, k);
      } else {
        for (std::uint32_t c : chain) v.add(c);
      }
    }
    f.recoverable = v.result();
    count(counts, f.recoverable);
  }
  for (auto& f : tree.fatFolders) {
    if (!f.deleted) continue;
    VerdictCounter v(map);
    if (f.firstCluster < 2)
      v.setUnknown();
    else
      v.add(f.firstCluster);  // a deleted folder is read through its first cluster only
    f.recoverable = v.result();
    count(counts, f.recoverable);
  }
  return counts;
}

// ---------------------------------------------------------------------------
// exFAT: the allocation bitmap says which clusters are claimed.

VerdictCounts assessExfat(SectorReader& reader, const VolumeParams& vp, FileTree& tree, const StopFlag* stop) {
  VerdictCounts counts;
  const ExfatGeometry g = exfatGeometryOf(vp);
  const std::uint64_t cb = g.clusterBytes();
  auto allUnknown = [&] {
    for (auto& f : tree.fatFiles)
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    for (auto& f : tree.fatFolders)
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    return counts;
  };
  if (cb == 0 || g.clusterCount == 0 || !g.validCluster(vp.bitmapCluster) || vp.bitmapBytes == 0) return allUnknown();
  FatTable fat(reader, g.fatStart, g.fatUnits, FsType::Exfat);
  const std::uint64_t bitmapBytes = std::min<std::uint64_t>(vp.bitmapBytes, (std::uint64_t{g.clusterCount} + 7) / 8);
  const ExfatExtent where = exfatClusters(fat, g, vp.bitmapCluster, bitmapBytes, false, true, bitmapBytes);
  std::vector<SectorRange> unread;
  std::vector<std::uint8_t> bits(static_cast<std::size_t>(where.clusters.size() * cb), 0);
  for (std::size_t i = 0; i < where.clusters.size(); ++i) {
    if (stopped(stop)) return counts;
    std::vector<SectorRange> bad;
    reader.readSectorsClearing(g.clusterSector(where.clusters[i]), static_cast<std::uint32_t>(g.clusterUnits),
                               bits.data() + i * cb, &bad);
    for (const SectorRange& r : bad)
      unread.push_back({i * g.clusterUnits + (r.first - g.clusterSector(where.clusters[i])), r.count});
  }
  ClusterMap map;
  map.reset(std::uint64_t{g.clusterCount} + kExfatFirstCluster);
  map.claimRange(0, kExfatFirstCluster);
  const std::uint64_t known = std::min<std::uint64_t>(bits.size() * 8, g.clusterCount);
  for (std::uint64_t c = 0; c < known; ++c)
    if ((bits[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) map.claim(c + kExfatFirstCluster);
  if (known < g.clusterCount) map.markUnknown(known + kExfatFirstCluster, g.clusterCount - known);
  for (const SectorRange& r : unread) map.markUnknown(r.first * kSectorSize * 8 + kExfatFirstCluster, r.count * kSectorSize * 8);
  counts.allocationRead = true;

  // The clusters recovery reads: contiguous for NoFatChain, else the chain,
  // else (a deleted file's chain is freed with it) contiguous by guess.
  auto judge = [&](std::uint32_t first, std::uint64_t bytes, bool contiguous) {
    VerdictCounter v(map);
    if (!g.validCluster(first) || (bytes + cb - 1) / cb > g.clusterCount) {
      v.setUnknown();
      return v.result();
    }
    const ExfatExtent e = exfatClusters(fat, g, first, std::max<std::uint64_t>(bytes, 1), contiguous, true,
                                        std::max<std::uint64_t>(bytes, 1));
    if (e.guessed) v.setGuessed();
    if (contiguous || e.guessed)
      v.addRange(first, e.clusters.size());
    else
      for (std::uint32_t c : e.clusters) v.add(c);
    return v.result();
  };
  for (auto& f : tree.fatFiles) {
    if (!f.deleted) continue;
    if (stopped(stop)) return counts;
    f.recoverable = judge(f.firstCluster, f.size, f.contiguous);
    count(counts, f.recoverable);
  }
  for (auto& f : tree.fatFolders) {
    if (!f.deleted) continue;
    f.recoverable = judge(f.firstCluster, f.dataLength, f.contiguous);
    count(counts, f.recoverable);
  }
  return counts;
}

// ---------------------------------------------------------------------------
// NTFS

constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
constexpr std::uint32_t kBitmapRecord = 6;

struct Stashed {
  bool found = false;     // the record was read
  bool hasData = false;   // it has the attribute wanted
  bool resident = false;
  RunList runs;
};

Stashed stashData(Bytes rec) {
  Stashed s;
  s.found = true;
  const DataAttribute a = findUnnamedData(rec);
  if (!a.found) return s;
  s.hasData = true;
  s.resident = a.resident;
  if (!a.resident) s.runs = decodeDataRuns(rec, a.offset);
  return s;
}

Stashed stashIndex(Bytes rec) {
  Stashed s;
  s.found = true;
  s.hasData = true;
  s.resident = true;  // a folder whose index fits its record needs no cluster
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t) {
    if (type != kAttrIndexAllocation || rd8(rec, p + 8) != 1) return false;
    s.resident = false;
    s.runs = decodeDataRuns(rec, p);
    return true;  // the first index allocation
  });
  return s;
}

// Reads $Bitmap into the map: set bits claim their cluster; sectors that do
// not read leave their clusters unknown. False when there is no $Bitmap.
bool readVolumeBitmap(SectorReader& reader, const VolumeParams& vp, const MftRuns& runs, ClusterMap& map) {
  std::array<std::uint8_t, kMaxMftRecordSize> rec{};
  if (!readMftRecord(reader, runs, kBitmapRecord, rec)) return false;
  const Bytes r(rec.data(), rec.size());
  const DataAttribute a = findUnnamedData(r);
  if (!a.found) return false;
  std::uint64_t clusters = 0;
  if (a.resident) {
    const std::size_t value = a.offset + rd16(r, a.offset + 20);
    const std::uint32_t len = rd32(r, a.offset + 16);
    if (value > rec.size() || len > rec.size() - value) return false;
    clusters = static_cast<std::uint64_t>(len) * 8;
    if (const std::uint64_t onDisk = clustersOnDisk(reader, vp); onDisk > 0) clusters = std::min(clusters, onDisk);
    map.reset(clusters);
    for (std::uint64_t c = 0; c < clusters; ++c)
      if ((rec[value + c / 8] >> (c % 8)) & 1) map.claim(c);
    return true;
  }
  const std::uint64_t bytes = rd64(r, a.offset + 48);
  clusters = bytes * 8;
  if (const std::uint64_t onDisk = clustersOnDisk(reader, vp); onDisk > 0) clusters = std::min(clusters, onDisk);
  if (clusters == 0) return false;
  map.reset(clusters);
  const RunList list = decodeDataRuns(r, a.offset);
  const std::uint64_t spc = vp.sectorsPerCluster;
  constexpr std::uint32_t kChunk = 256;
  PageBuffer buf(kChunk * kSectorSize);
  std::uint64_t done = 0;  // bitmap bytes handled
  const std::uint64_t needBytes = (clusters + 7) / 8;
  for (const DataRun& run : list.runs) {
    if (done >= needBytes) break;
    const std::uint64_t runBytes = run.length * spc * kSectorSize;
    if (run.sparse) {  // a hole: all clear
      done += runBytes;
      continue;
    }
    const std::uint64_t first = vp.clusterBase + static_cast<std::uint64_t>(run.startCluster) * spc;
    const std::uint64_t sectors = run.length * spc;
    for (std::uint64_t s = 0; s < sectors && done < needBytes; s += kChunk) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, sectors - s));
      const std::uint64_t base = done;
      readReporting(reader, first + s, n, buf.data(), [&](std::uint32_t i) {
        map.markUnknown((base + static_cast<std::uint64_t>(i) * kSectorSize) * 8, kSectorSize * 8);
      });
      const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(n) * kSectorSize, needBytes - done);
      for (std::uint64_t i = 0; i < take; ++i) {
        const std::uint8_t byte = buf[static_cast<std::size_t>(i)];
        if (byte == 0) continue;
        for (unsigned bit = 0; bit < 8; ++bit)
          if ((byte >> bit) & 1) map.claim((done + i) * 8 + bit);
      }
      done += take;
    }
  }
  // What the runs do not cover could not be read.
  if (done < needBytes) map.markUnknown(done * 8, clusters - std::min(clusters, done * 8));
  return true;
}

void addRuns(VerdictCounter& v, const Stashed& s, std::uint64_t neededClusters) {
  if (!s.found || !s.hasData) {
    v.setUnknown();
    return;
  }
  if (s.resident) return;
  std::uint64_t vcn = 0;
  for (const DataRun& run : s.runs.runs) {
    if (vcn >= neededClusters) break;
    const std::uint64_t take = std::min(run.length, neededClusters - vcn);
    if (!run.sparse) v.addRange(static_cast<std::uint64_t>(run.startCluster), take);
    vcn += take;
  }
  if (vcn < neededClusters) {
    if (s.runs.damaged) {
      v.setUnknown();
      return;
    }
    // Clusters the record's runs do not reach cannot be recovered from it.
    for (std::uint64_t i = vcn; i < neededClusters; ++i) v.add(UINT64_MAX);
  }
}

VerdictCounts assessNtfs(SectorReader& reader, const VolumeParams& vp, FileTree& tree, const NtfsFileSet& ntfsFiles,
                         MftRuns runs, const StopFlag* stop) {
  VerdictCounts counts;
  auto allUnknown = [&] {
    ntfsFiles.forEach([&](std::size_t i) {
      NtfsFileNode& f = ntfsFiles.list()[i];
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    });
    for (auto& f : tree.ntfsFolders)
      if (f.deleted) count(counts, f.recoverable = unknownVerdict());
    return counts;
  };
  const std::uint32_t spc = vp.sectorsPerCluster;
  if (spc == 0) return allUnknown();
  if (runs.size() == 0 && vp.mftStart != 0) runs = readMftRuns(reader, vp.clusterBase, vp.mftStart, spc);
  if (runs.size() == 0) return allUnknown();
  ClusterMap map;
  if (!readVolumeBitmap(reader, vp, runs, map)) return allUnknown();
  counts.allocationRead = true;

  // The records whose runs the deleted entries need.
  std::unordered_map<SectorNo, Stashed> files;
  ntfsFiles.forEach([&](std::size_t i) {
    const NtfsFileNode& f = ntfsFiles.list()[i];
    if (f.deleted) files.try_emplace(f.dataRecordSector);
  });
  std::unordered_map<std::uint32_t, Stashed> folders;
  for (const auto& f : tree.ntfsFolders)
    if (f.deleted) folders.try_emplace(f.recordNumber);

  // One pass over the MFT: records in use claim the clusters of all their
  // non-resident attributes; the records of deleted entries are kept.
  auto handle = [&](std::uint64_t h, SectorNo sector, std::span<std::uint8_t> rec, bool fixedUp) {
    if (!hasText(Bytes(rec.data(), rec.size()), 0, "FILE")) return;
    if (!fixedUp) applyFixup(rec);
    const Bytes r(rec.data(), rec.size());
    if (rd16(r, ntfsrec::kFlags) & 1) {
      eachAttribute(r, [&](std::size_t p, std::uint32_t, std::uint32_t) {
        if (rd8(r, p + 8) != 1) return false;
        const RunList list = decodeDataRuns(r, p);
        for (const DataRun& run : list.runs)
          if (!run.sparse) map.claimRange(static_cast<std::uint64_t>(run.startCluster), run.length);
        return false;
      });
    }
    if (auto it = files.find(sector); it != files.end()) it->second = stashData(r);
    if (h <= UINT32_MAX) {
      if (auto it = folders.find(static_cast<std::uint32_t>(h));
          it != folders.end() && (rd16(r, ntfsrec::kFlags) & 1) == 0)
        it->second = stashIndex(r);
    }
  };
  // Records of runs.sectorsPerRecord sectors (2, or 8 for 4,096 bytes).
  const std::uint32_t spr = runs.sectorsPerRecord == 0 ? 2 : runs.sectorsPerRecord;
  constexpr std::uint32_t kChunk = 256;  // sectors: 128 records of 1,024 bytes
  PageBuffer buf(kChunk * kSectorSize);
  std::array<std::uint8_t, kMaxMftRecordSize> whole{};
  const auto rec = std::span<std::uint8_t>(whole).first(std::size_t{spr} * kSectorSize);
  std::uint64_t base = 0;  // sectors of the MFT before run i
  std::uint64_t lastSplit = UINT64_MAX;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (stopped(stop)) return counts;
    const std::uint64_t len = runs.runLength[i];
    const SectorNo start = runs.runStart[i];
    // A record split between runs is read through the runs, once.
    std::uint64_t off = (spr - base % spr) % spr;
    if (off != 0 && base / spr <= UINT32_MAX && base / spr != lastSplit) {
      lastSplit = base / spr;
      const auto h = static_cast<std::uint32_t>(base / spr);
      if (readMftRecord(reader, runs, h, rec)) handle(h, runs.recordSector(h), rec, true);
    }
    if (start != 0) {
      while (off + spr <= len) {
        if (stopped(stop)) return counts;
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, (len - off) / spr * spr));
        reader.readSectorsClearing(start + off, n, buf.data());
        for (std::uint32_t k = 0; k < n; k += spr) {
          std::copy_n(buf.data() + static_cast<std::size_t>(k) * kSectorSize, rec.size(), rec.data());
          handle((base + off + k) / spr, static_cast<SectorNo>(start + off + k), rec, false);
        }
        off += n;
      }
    }
    base += len;
  }

  // Records of deleted files that the pass did not meet (a deep scan's
  // records outside the MFT's runs): read one by one.
  for (auto& [sector, s] : files) {
    if (s.found) continue;
    if (stopped(stop)) return counts;
    if (!readRecordAt(reader, sector, whole)) continue;
    s = stashData(Bytes(whole.data(), whole.size()));
  }

  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(spc) * kSectorSize;
  ntfsFiles.forEach([&](std::size_t i) {
    NtfsFileNode& f = ntfsFiles.list()[i];
    if (!f.deleted) return;
    VerdictCounter v(map);
    addRuns(v, files[f.dataRecordSector], (f.size + clusterBytes - 1) / clusterBytes);
    f.recoverable = v.result();
    count(counts, f.recoverable);
  });
  for (auto& f : tree.ntfsFolders) {
    if (!f.deleted) continue;
    VerdictCounter v(map);
    const Stashed& s = folders[f.recordNumber];
    if (!s.found)
      v.setUnknown();
    else if (!s.resident)
      for (const DataRun& run : s.runs.runs)
        if (!run.sparse) v.addRange(static_cast<std::uint64_t>(run.startCluster), run.length);
    f.recoverable = v.result();
    count(counts, f.recoverable);
  }
  return counts;
}

}  // namespace

VerdictCounts assessRecoverability(SectorReader& reader, const VolumeParams& vp, FileTree& tree,
                                   const NtfsFileSet& ntfsFiles, MftRuns mftRuns, const StopFlag* stop) {
  for (auto& f : tree.fatFiles) f.recoverable = {};
  for (auto& f : tree.fatFolders) f.recoverable = {};
  for (auto& f : tree.ntfsFolders) f.recoverable = {};
  ntfsFiles.forEach([&](std::size_t i) { ntfsFiles.list()[i].recoverable = {}; });
  if (isFat(vp.fsType)) return assessFat(reader, vp, tree, ntfsFiles, stop);
  if (vp.fsType == FsType::Exfat) return assessExfat(reader, vp, tree, stop);
  if (vp.fsType == FsType::Ntfs) return assessNtfs(reader, vp, tree, ntfsFiles, std::move(mftRuns), stop);
  return {};
}

const char* verdictWord(Verdict v) {
  switch (v) {
    case Verdict::Intact: return "intact";
    case Verdict::Partial: return "partial";
    case Verdict::Overwritten: return "overwritten";
    case Verdict::Guessed: return "guessed";
    case Verdict::Unknown: return "unknown";
    case Verdict::None: break;
  }
  return "";
}

std::string verdictText(const Recoverability& r) {
  switch (r.verdict) {
    case Verdict::Intact: return "Intact";
    case Verdict::Partial: {
      const int pct = std::clamp(static_cast<int>(std::lround(r.claimedFraction() * 100)), 1, 99);
      return "Partly overwritten " + dec(static_cast<std::uint32_t>(pct)) + "%";
    }
    case Verdict::Overwritten: return "Overwritten";
    case Verdict::Guessed: return "Guessed";
    case Verdict::Unknown: return "Unknown";
    case Verdict::None: break;
  }
  return "";
}

}  // namespace osprin
