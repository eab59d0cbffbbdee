#include "deepscan/classify_exfat.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "deepscan/classify_fat.h"
#include "deepscan/progress.h"
#include "exfat/boot_sector.h"
#include "exfat/dir_entry.h"
#include "exfat/volume.h"

namespace osprin {

namespace {

// The first hit at or after sector.
std::vector<ExfatSetHit>::iterator firstHitFrom(std::vector<ExfatSetHit>& hits, SectorNo sector) {
  return std::lower_bound(hits.begin(), hits.end(), sector,
                          [](const ExfatSetHit& h, SectorNo s) { return h.sector < s; });
}

// The sets not yet claimed, in sector order: a claim steps over those
// claimed before it instead of walking them again, so that many volumes
// over the same sets cost no more than one.
class Unclaimed {
 public:
  explicit Unclaimed(const std::vector<ExfatSetHit>& hits) : next_(hits.size() + 1) {
    for (std::size_t i = 0; i < next_.size(); ++i) next_[i] = i < hits.size() && hits[i].fsIndex != 0 ? i + 1 : i;
  }
  // The first unclaimed set at or after i (the number of sets when none).
  std::size_t from(std::size_t i) {
    while (next_[i] != i) {
      next_[i] = next_[next_[i]];
      i = next_[i];
    }
    return i;
  }
  void take(std::size_t i) { next_[i] = i + 1; }

 private:
  std::vector<std::size_t> next_;
};

// Marks the unclaimed sets of sectors [from, to) as file system mark.
std::uint64_t claimSets(DeepScanResults& r, Unclaimed& un, SectorNo from, SectorNo to, std::int16_t mark,
                        StepProgress& progress) {
  std::uint64_t n = 0;
  auto& hits = r.exfatSetHits;
  for (std::size_t i = un.from(static_cast<std::size_t>(firstHitFrom(hits, from) - hits.begin()));
       i < hits.size() && hits[i].sector < to; i = un.from(i + 1)) {
    hits[i].fsIndex = mark;
    un.take(i);
    ++r.classifiedCount;
    ++n;
    progress.set(r.classifiedCount, hits.size());
  }
  return n;
}

// True when the sector at `at` begins as an exFAT FAT: F8 FF FF FF, FF FF FF FF.
bool fatBeginsAt(SectorReader& reader, SectorNo at) {
  std::array<std::uint8_t, kSectorSize> s{};
  if (!reader.readSectorsClearing(at, 1, s.data())) return false;
  return rd32(Bytes(s), 0) == 0xFFFFFFF8u && rd32(Bytes(s), 4) == 0xFFFFFFFFu;
}

// The allocation bitmap of the FAT in use, from the root folder's first
// entries (where every formatter puts it).
void findBitmap(SectorReader& reader, const ExfatGeometry& g, const ExfatBootSector& b, VolumeParams& fields) {
  const auto units = static_cast<std::uint32_t>(std::min<std::uint64_t>(g.clusterUnits, 8));
  std::vector<std::uint8_t> root(std::size_t{units} * kSectorSize, 0);
  if (!g.validCluster(g.rootCluster) || !reader.readSectorsClearing(g.clusterSector(g.rootCluster), units, root.data()))
    return;
  for (std::size_t off = 0; off + exfat::kEntryBytes <= root.size(); off += exfat::kEntryBytes) {
    const std::uint8_t type = root[off];
    if (type == exfat::kTypeEnd) break;
    if (type != exfat::kTypeBitmap) continue;
    const ExfatSystemEntry e = readExfatSystemEntry(Bytes(root), off);
    if ((e.flags & 1) != b.activeFat() && fields.bitmapCluster != 0) continue;
    fields.bitmapCluster = e.firstCluster;
    fields.bitmapBytes = e.dataLength;
  }
}

void bootSectorPass(SectorReader& reader, DeepScanResults& r, Unclaimed& un, StepProgress& progress) {
  std::set<SectorNo> starts;
  for (const SectorNo at : r.bootSectorHits) {
    if (r.foundFileSystems.size() >= kMaxFoundFileSystems) break;
    std::array<std::uint8_t, kSectorSize> buf{};
    reader.readSectorsClearing(at, 1, buf.data());
    const auto boot = readExfatBootSector(Bytes(buf));
    if (!boot) continue;
    const std::uint64_t u = boot->units();
    // The main boot sector, or the backup 12 sectors into the volume.
    const SectorNo back = kExfatBackupBootSector * u;
    SectorNo start = at;
    if (at >= back) {
      const SectorNo earlier = at - back;
      const bool fatHere = fatBeginsAt(reader, at + std::uint64_t{boot->fatOffset} * u);
      const bool fatThere = fatBeginsAt(reader, earlier + std::uint64_t{boot->fatOffset} * u);
      if (fatThere && !fatHere)
        start = earlier;
      else if (!fatThere && !fatHere && std::binary_search(r.bootSectorHits.begin(), r.bootSectorHits.end(), earlier))
        start = earlier;
    }
    if (!starts.insert(start).second) continue;
    const ExfatGeometry g = exfatGeometry(*boot, start);
    if (g.clusterUnits > 0xFFFFFFFFu || g.fatUnits > 0xFFFFFFFFu) continue;
    VolumeParams fields;
    fields.fsType = FsType::Exfat;
    fields.sectorsPerCluster = static_cast<std::uint32_t>(g.clusterUnits);
    fields.sectorsPerFat = static_cast<std::uint32_t>(g.fatUnits);
    fields.fat1Start = g.fatStart;
    fields.fat2Start = g.otherFatStart;
    fields.reservedSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(g.fatStart - start, 0xFFFFFFFFu));
    fields.clusterBase = g.clusterBase;
    fields.rootDirStart = g.rootCluster;
    fields.clusterCount = g.clusterCount;
    // The volume's length is bounded by what sector numbers can address.
    const std::uint64_t length = std::min<std::uint64_t>(boot->volumeLength, kSectorNoLimit / u);
    fields.volumeEnd = start + length * u;
    findBitmap(reader, g, *boot, fields);
    const SectorNo heapStart = g.clusterSector(kExfatFirstCluster);
    const SectorNo heapEnd = heapStart + std::uint64_t{g.clusterCount} * g.clusterUnits;
    claimSets(r, un, heapStart, heapEnd, static_cast<std::int16_t>(r.foundFileSystems.size() + 1), progress);
    addFoundFileSystem(r, "exFAT @" + dec(g.clusterBase / r.unitsPerSector), fields);
  }
}

// Cluster sizes exFAT allows, in 512-byte units: 512 bytes to 32 MiB.
constexpr int kClusterShifts = 17;
// The sets pass weighs at most this many folder sets against this many
// heads, spread over the lists: enough for the right geometry to stand out
// on any volume, few enough to stay quick on millions of sets.
constexpr std::size_t kSampleFolders = 512;
constexpr std::size_t kSampleHeads = 2048;
// Folder and file sets a geometry is scored on at most.
constexpr std::size_t kScored = 8192;
// Geometries the sets pass weighs whole, those most pairs imply.
constexpr std::size_t kCandidates = 64;
// Found file systems the sets pass adds at most.
constexpr int kMaxSetGeometries = 8;

// The clusters that bytes take (bytes read from the disk: no rounding that could wrap).
std::uint64_t clustersOf(std::uint64_t bytes, std::uint64_t clusterBytes) {
  return bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0);
}

template <class T>
std::vector<T> spread(const std::vector<T>& all, std::size_t most) {
  if (all.size() <= most) return all;
  std::vector<T> out;
  out.reserve(most);
  for (std::size_t i = 0; i < most; ++i) out.push_back(all[i * all.size() / most]);
  return out;
}

// What the sets say about a geometry: the clusters folder sets name, what
// file sets name, the sectors that begin with a set (heads) and every
// sector holding one, each sorted.
struct Evidence {
  struct Named {
    std::uint32_t first;
    std::uint64_t bytes;
    bool contiguous;
  };
  std::vector<std::uint32_t> folders;
  std::vector<Named> files;
  std::vector<SectorNo> heads, sectors;
  // What a geometry is scored on: the lists, or a sample spread over them.
  std::vector<std::uint32_t> scoredFolders;
  std::vector<Named> scoredFiles;

  // The unclaimed sets, or all of them.
  Evidence(const DeepScanResults& r, bool all) {
    for (const ExfatSetHit& h : r.exfatSetHits) {
      if (h.fsIndex != 0 && !all) continue;
      if (h.set.folder() && h.set.firstCluster >= kExfatFirstCluster) folders.push_back(h.set.firstCluster);
      if (!h.set.folder() && h.set.firstCluster >= kExfatFirstCluster && h.set.dataLength != 0)
        files.push_back({h.set.firstCluster, h.set.dataLength, h.set.noFatChain});
      if (h.offset == 0 && (heads.empty() || heads.back() != h.sector)) heads.push_back(h.sector);
      if (sectors.empty() || sectors.back() != h.sector) sectors.push_back(h.sector);
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    scoredFolders = spread(folders, kScored);
    scoredFiles = spread(files, kScored);
  }

  // A pair agrees by chance more easily than a volume's structure does: a
  // geometry scores the folders whose first cluster begins with a set, less
  // the files whose data would hold one (a file's data is no folder).
  std::int64_t score(std::uint64_t spc, SectorNo base) const {
    std::int64_t n = 0;
    for (const std::uint32_t f : scoredFolders)
      if (std::binary_search(heads.begin(), heads.end(), base + f * spc)) ++n;
    for (const Named& f : scoredFiles) {
      const std::uint64_t clusters = f.contiguous ? clustersOf(f.bytes, spc * kSectorSize) : 1;
      const SectorNo from = base + f.first * spc;
      const SectorNo to = from + std::min<std::uint64_t>(clusters, kExfatMaxClusters) * spc;
      auto it = std::lower_bound(sectors.begin(), sectors.end(), from);
      if (it != sectors.end() && *it < to) --n;
    }
    return n;
  }
};

struct Geometry {
  std::uint64_t spc = 0;
  SectorNo base = 0;
  std::int64_t score = 0;
};

// Each (folder cluster, head) pair implies a base for each cluster size; of
// the geometries that two pairs or more imply (the 64 most implied), the
// one that scores best, 2 at least. spc 0 when there is none.
Geometry bestGeometry(const Evidence& ev) {
  Geometry best;
  if (ev.folders.size() < 2 || ev.heads.size() < 2) return best;
  const std::vector<std::uint32_t> someFolders = spread(ev.folders, kSampleFolders);
  const std::vector<SectorNo> someHeads = spread(ev.heads, kSampleHeads);
  struct Candidate {
    std::uint32_t votes;
    int shift;
    SectorNo base;
  };
  std::vector<Candidate> candidates;
  std::vector<SectorNo> bases;
  bases.reserve(someFolders.size() * someHeads.size());
  for (int shift = 0; shift < kClusterShifts; ++shift) {
    const std::uint64_t spc = std::uint64_t{1} << shift;
    bases.clear();
    for (const std::uint32_t c : someFolders) {
      const std::uint64_t offset = c * spc;
      for (const SectorNo s : someHeads)
        if (s >= offset + kExfatFirstCluster * spc) bases.push_back(s - offset);
    }
    std::sort(bases.begin(), bases.end());
    for (std::size_t i = 0; i < bases.size();) {
      std::size_t j = i + 1;
      while (j < bases.size() && bases[j] == bases[i]) ++j;
      if (j - i >= 2) candidates.push_back({static_cast<std::uint32_t>(j - i), shift, bases[i]});
      i = j;
    }
  }
  const std::size_t keep = std::min<std::size_t>(candidates.size(), kCandidates);
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep), candidates.end(),
                    [](const Candidate& x, const Candidate& y) { return x.votes > y.votes; });
  candidates.resize(keep);
  std::uint32_t bestVotes = 0;
  best.score = 1;
  for (const Candidate& c : candidates) {
    const std::uint64_t spc = std::uint64_t{1} << c.shift;
    const std::int64_t score = ev.score(spc, c.base);
    if (score > best.score || (score == best.score && best.spc != 0 && c.votes > bestVotes)) {
      best = {spc, c.base, score};
      bestVotes = c.votes;
    }
  }
  return best;
}

// Adds the file system of geometry g: no FAT, no root, an unknown end; its
// heap reaches the last cluster that the sets from its cluster 2 on name.
// Claims the unclaimed sets of that heap; returns how many. all: every set
// counts for the heap's end, else only the unclaimed ones.
std::uint64_t addSetGeometry(DeepScanResults& r, Unclaimed& un, const Geometry& g, bool all, StepProgress& progress) {
  const SectorNo heapStart = g.base + kExfatFirstCluster * g.spc;
  std::uint64_t lastCluster = kExfatFirstCluster;
  const std::uint64_t clusterBytes = g.spc * kSectorSize;
  for (auto it = firstHitFrom(r.exfatSetHits, heapStart); it != r.exfatSetHits.end(); ++it) {
    if (it->set.firstCluster < kExfatFirstCluster || (it->fsIndex != 0 && !all)) continue;
    const std::uint64_t clusters = std::max<std::uint64_t>(1, clustersOf(it->set.dataLength, clusterBytes));
    lastCluster = std::max<std::uint64_t>(lastCluster, it->set.firstCluster + std::min<std::uint64_t>(clusters, kExfatMaxClusters) - 1);
  }
  VolumeParams fields;
  fields.fsType = FsType::Exfat;
  fields.sectorsPerCluster = static_cast<std::uint32_t>(g.spc);
  fields.clusterBase = g.base;
  fields.clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(lastCluster - 1, kExfatMaxClusters));
  const auto mark = static_cast<std::int16_t>(r.foundFileSystems.size() + 1);
  const std::uint64_t claimed = claimSets(r, un, heapStart, g.base + (lastCluster + 1) * g.spc, mark, progress);
  addFoundFileSystem(r, "exFAT @" + dec(g.base / r.unitsPerSector), fields);
  return claimed;
}

// One geometry from the unclaimed sets; false when none fits them.
bool fitExfatGeometry(DeepScanResults& r, Unclaimed& un, StepProgress& progress) {
  const Geometry g = bestGeometry(Evidence(r, false));
  if (g.spc == 0) return false;
  if (addSetGeometry(r, un, g, false, progress) != 0) return true;
  r.foundFileSystems.pop_back();
  return false;
}

// A volume formatted again with another cluster size or heap: the new boot
// sector claims the old sets, which fit another geometry better than its.
// That geometry becomes a file system of its own (its mount takes every set
// of its heap, claimed or not).
void fitUnderBootSectors(DeepScanResults& r, Unclaimed& un, StepProgress& progress) {
  std::int64_t bootScore = 0;
  bool boot = false;
  const Evidence ev(r, true);
  for (const FoundFileSystem& fs : r.foundFileSystems)
    if (fs.fat1Start != 0) {
      boot = true;
      bootScore = std::max(bootScore, ev.score(fs.sectorsPerCluster, fs.clusterBase));
    }
  if (!boot) return;
  const Geometry g = bestGeometry(ev);
  if (g.spc == 0 || g.score <= bootScore) return;
  for (const FoundFileSystem& fs : r.foundFileSystems)
    if (fs.sectorsPerCluster == g.spc && fs.clusterBase == g.base) return;
  addSetGeometry(r, un, g, true, progress);
}

}  // namespace

void classifyExfatByBootSectors(SectorReader& reader, DeepScanResults& results, Observer& obs) {
  StepProgress progress(obs);
  Unclaimed un(results.exfatSetHits);
  bootSectorPass(reader, results, un, progress);
}

void classifyExfatBySets(DeepScanResults& results, Observer& obs) {
  StepProgress progress(obs);
  Unclaimed un(results.exfatSetHits);
  if (results.foundFileSystems.size() < kMaxFoundFileSystems) fitUnderBootSectors(results, un, progress);
  for (int round = 0; round < kMaxSetGeometries && results.foundFileSystems.size() < kMaxFoundFileSystems; ++round)
    if (!fitExfatGeometry(results, un, progress)) break;
  for (ExfatSetHit& h : results.exfatSetHits)
    if (h.fsIndex == 0) {
      h.fsIndex = -1;
      ++results.classifiedCount;
    }
}

void analyseFoundExfat(SectorReader& reader, DeepScanResults& results, Observer& obs) {
  obs.phase({Phase::AnalysingFatData});
  results.classifiedCount = 0;
  classifyExfatByBootSectors(reader, results, obs);
  classifyExfatBySets(results, obs);
}

}  // namespace osprin
