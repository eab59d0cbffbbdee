// The mount of a found exFAT file system: its live tree as the standard scan
// reads it, then every entry set the signature pass met in its cluster heap
// that the live tree does not list, placed by the cluster that holds it.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/text.h"
#include "deepscan/mount.h"
#include "deepscan/progress.h"
#include "exfat/dir_entry.h"
#include "exfat/volume.h"
#include "fat/fat_table.h"
#include "volume/walkers.h"

namespace osprin {

namespace {

// The sets of the chosen file system, each with the cluster that holds it
// (ascending, as the sets are in sector order).
struct LooseSets {
  std::vector<const ExfatSetHit*> hits;
  std::vector<std::uint32_t> cluster;

  // The index of the first set in a cluster at or after c.
  std::size_t from(std::uint64_t c) const {
    return static_cast<std::size_t>(std::lower_bound(cluster.begin(), cluster.end(), c) - cluster.begin());
  }
  bool holds(std::uint32_t c) const {
    const std::size_t i = from(c);
    return i < cluster.size() && cluster[i] == c;
  }
};

// Where a cluster holding sets belongs: the folder (by first cluster, 0 the
// root) whose data it is, and for a cluster the live tree read, how many of
// its bytes the live listing took in (sets past them lie after the folder's
// end mark: stale).
struct Owner {
  std::uint32_t folder = 0;
  std::uint64_t listedBytes = 0;
};

class ExfatMount {
 public:
  ExfatMount(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosen, const VolumeParams& vp,
             FileTree& tree, StopFlag& stop, Observer& obs)
      : reader_(reader), g_(exfatGeometryOf(vp)), tree_(tree), stop_(stop), obs_(obs), progress_(obs) {
    // A file system found from its boot sector holds the sets it claimed;
    // one worked out from sets, every set of its heap (a volume formatted
    // again with another geometry shares its sectors with the new one).
    rooted_ = vp.fat1Start != 0 && g_.validCluster(g_.rootCluster);
    const SectorNo heap = g_.clusterSector(kExfatFirstCluster);
    const SectorNo heapEnd = heap + std::uint64_t{g_.clusterCount} * g_.clusterUnits;
    for (const ExfatSetHit& h : results.exfatSetHits) {
      const bool mine = h.fsIndex == static_cast<std::int16_t>(chosen) || (!rooted_ && h.sector < heapEnd);
      if (!mine || g_.clusterUnits == 0 || h.sector < heap) continue;
      const std::uint64_t c = (h.sector - g_.clusterBase) / g_.clusterUnits;
      if (c > 0xFFFFFFFFu) continue;
      sets_.hits.push_back(&h);
      sets_.cluster.push_back(static_cast<std::uint32_t>(c));
    }
  }

  void run() {
    tree_.freeFatTree();  // step 1 of 3 shown by the caller's PhaseScope
    if (g_.clusterUnits == 0) {
      tree_.buildFatFolderTree(obs_);
      return;
    }
    if (rooted_) walkLiveTree();
    obs_.phase({Phase::MountStep, 2, 3});
    progress_.reset();
    placeFolders();
    addLooseSets(rooted_);
    stop_.store(0);
    obs_.phase({Phase::MountStep, 3, 3});
    tree_.buildFatFolderTree(obs_);
  }

 private:
  // The current tree from the root, live folders only, as the standard scan
  // lists it (a folder's sets up to its end mark, deleted ones included).
  void walkLiveTree() {
    FatTable fat(reader_, g_.fatStart, g_.fatUnits, FsType::Exfat);
    ExfatListing listing;
    std::unordered_set<std::uint32_t> taken;
    auto walk = [&](std::uint32_t identity, std::uint32_t first, std::uint64_t bytes, bool contiguous) {
      ExfatExtent ext = exfatClusters(fat, g_, first, bytes, contiguous, false);
      if (ext.clusters.empty() && g_.validCluster(first)) ext.clusters.push_back(first);
      for (std::size_t i = 0; i < ext.clusters.size(); ++i)
        if (!taken.insert(ext.clusters[i]).second) {
          ext.clusters.resize(i);  // a chain that runs into another folder's clusters ends there
          break;
        }
      const std::vector<std::uint8_t> data =
          readExfatClusters(reader_, g_, ext.clusters, bytes == 0 ? kExfatMaxFolderBytes : bytes);
      // The listing ends at the end mark; sets met past it are stale.
      ExfatEntrySet set;
      std::size_t end = 0;
      while (end + exfat::kEntryBytes <= data.size()) {
        if (readExfatEntry(Bytes(data), end, set) == ExfatEntryKind::End) break;
        end += set.entries * exfat::kEntryBytes;
      }
      end = std::min(end, data.size());
      addExfatEntries(Bytes(data).first(end), identity, false, tree_, listing);
      const std::uint64_t cb = g_.clusterBytes();
      for (std::size_t i = 0; i < ext.clusters.size(); ++i) {
        const std::uint64_t at = i * cb;
        owners_[ext.clusters[i]] = Owner{identity, end > at ? std::min<std::uint64_t>(end - at, cb) : 0};
      }
    };
    walk(kFatRootCluster, g_.rootCluster, 0, false);
    // Folders are appended while the list is walked.
    for (std::size_t k = 0; k < tree_.fatFolders.size() && stop_.load() != 1; ++k) {
      const FatFolderNode f = tree_.fatFolders[k];
      if (f.deleted || !g_.validCluster(f.firstCluster) || taken.count(f.firstCluster)) continue;
      walk(f.firstCluster, f.firstCluster, f.dataLength, f.contiguous);
      progress_.set(k, tree_.fatFolders.size());
    }
  }

  // Gives the clusters holding sets that the live tree did not read to the
  // folder whose data they are: a deleted or lost folder's first cluster and
  // the clusters its length takes after it (contiguous with NoFatChain, else
  // the next clusters holding sets). A cluster two folders claim goes to the
  // one beginning nearer before it. What no folder claims goes to placeholders "Dir" + cluster
  // at the root, one per run of consecutive clusters.
  void placeFolders() {
    struct Extent {
      std::uint32_t first;
      std::uint64_t clusters;
      bool contiguous;
    };
    std::vector<Extent> extents;
    const std::uint64_t cb = g_.clusterBytes();
    const std::uint64_t most = std::max<std::uint64_t>(1, kExfatMaxFolderBytes / cb);
    auto extentOf = [&](std::uint32_t first, std::uint64_t length, bool contiguous) {
      extents.push_back({first, std::clamp<std::uint64_t>(length / cb + (length % cb != 0 ? 1 : 0), 1, most), contiguous});
    };
    for (const FatFolderNode& f : tree_.fatFolders)
      if (f.deleted && g_.validCluster(f.firstCluster)) extentOf(f.firstCluster, f.dataLength, f.contiguous);
    for (const ExfatSetHit* h : sets_.hits)
      if (h->set.folder() && g_.validCluster(h->set.firstCluster))
        extentOf(h->set.firstCluster, h->set.dataLength, h->set.noFatChain);
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.first > b.first; });
    // A folder whose FAT chain is gone grew while its files were written:
    // after its first cluster, the clusters holding sets that no other
    // folder has, each at most 64 clusters past the one before, up to its
    // length (as the standard scan reads a deleted folder's).
    constexpr std::uint64_t kReach = 64;
    // The clusters holding sets, each given once: a folder steps over those
    // given before (a disjoint-set walk), so that many folders over the same
    // clusters cost no more than one.
    std::vector<std::uint32_t> held;
    for (const std::uint32_t c : sets_.cluster)
      if (held.empty() || held.back() != c) held.push_back(c);
    std::vector<std::size_t> next(held.size() + 1);
    for (std::size_t i = 0; i < next.size(); ++i) next[i] = i < held.size() && owners_.count(held[i]) ? i + 1 : i;
    auto freeFrom = [&](std::size_t i) {
      while (next[i] != i) {
        next[i] = next[next[i]];
        i = next[i];
      }
      return i;
    };
    auto give = [&](std::size_t i, std::uint32_t folder) {
      owners_[held[i]] = Owner{folder, 0};
      next[i] = i + 1;
    };
    auto firstAt = [&](std::uint64_t c) {
      return static_cast<std::size_t>(std::lower_bound(held.begin(), held.end(), c) - held.begin());
    };
    for (const Extent& e : extents) {
      if (e.contiguous || e.clusters == 1) {
        for (std::size_t i = freeFrom(firstAt(e.first)); i < held.size() && held[i] - e.first < e.clusters;
             i = freeFrom(i + 1))
          give(i, e.first);
        continue;
      }
      const std::size_t at = firstAt(e.first);
      if (at < held.size() && held[at] == e.first && freeFrom(at) == at) give(at, e.first);
      std::uint64_t found = 1, last = e.first;
      for (std::size_t i = freeFrom(firstAt(std::uint64_t{e.first} + 1)); i < held.size() && found < e.clusters;
           i = freeFrom(i + 1)) {
        if (held[i] - last > kReach) break;
        give(i, e.first);
        ++found;
        last = held[i];
      }
    }
    std::uint32_t previous = 0, run = 0;
    for (std::size_t i = 0; i < sets_.cluster.size(); i = sets_.from(std::uint64_t{sets_.cluster[i]} + 1)) {
      const std::uint32_t c = sets_.cluster[i];
      if (!owners_.count(c)) {
        if (run == 0 || c != previous + 1 || !placeholder_.count(previous)) {
          run = c;
          tree_.addFatFolder("Dir" + dec(c), c, kFatRootCluster, FatTimes{}, false);
        }
        owners_[c] = Owner{run, 0};
        placeholder_.insert(c);
      }
      previous = c;
    }
  }

  // The sets the live listing did not take in, under the folders of their
  // clusters. With a root, nothing outside the live tree is live: every
  // such set is listed as deleted; without one they keep their own state.
  void addLooseSets(bool rooted) {
    for (std::size_t i = 0; i < sets_.hits.size() && stop_.load() != 1; ++i) {
      const ExfatSetHit& h = *sets_.hits[i];
      const std::uint32_t c = sets_.cluster[i];
      const auto owner = owners_.find(c);
      if (owner == owners_.end()) continue;
      const std::uint64_t at = (h.sector - g_.clusterSector(c)) * kSectorSize + h.offset;
      if (at < owner->second.listedBytes) continue;  // the live listing has it
      const bool deleted = rooted || h.set.deleted;
      const ExfatEntrySet& set = h.set;
      if (set.folder()) {
        if (!g_.validCluster(set.firstCluster)) continue;
        const bool added = tree_.addFatFolder(set.name, set.firstCluster, owner->second.folder, set.times, deleted);
        const std::int64_t idx = tree_.findFatFolder(set.firstCluster);
        if (added && idx >= 0) {
          FatFolderNode& f = tree_.fatFolders[static_cast<std::size_t>(idx)];
          f.dataLength = set.dataLength;
          f.contiguous = set.noFatChain;
        }
      } else {
        tree_.addFatFile(set.name, set.firstCluster, owner->second.folder, set.times, set.dataLength, deleted);
        FatFileNode& f = tree_.fatFiles.back();
        f.validLength = set.validLength;
        f.contiguous = set.noFatChain;
        ++tree_.fileCount;
      }
      progress_.set(i, sets_.hits.size());
    }
  }

  SectorReader& reader_;
  const ExfatGeometry g_;
  FileTree& tree_;
  StopFlag& stop_;
  Observer& obs_;
  StepProgress progress_;
  bool rooted_ = false;
  LooseSets sets_;
  std::unordered_map<std::uint32_t, Owner> owners_;
  std::unordered_set<std::uint32_t> placeholder_;
};

}  // namespace

void mountFoundExfat(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosen,
                     const VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs) {
  PhaseScope phase(obs, {Phase::MountStep, 1, 3});
  ProgressScope bar(obs);
  ExfatMount(reader, results, chosen, vp, tree, stop, obs).run();
}

}  // namespace osprin
