#include <algorithm>
#include <vector>

#include "common/text.h"
#include "exfat/dir_entry.h"
#include "exfat/volume.h"
#include "fat/fat_table.h"
#include "volume/walkers.h"

namespace osprin {

ExfatGeometry exfatGeometryOf(const VolumeParams& vp) {
  ExfatGeometry g;
  g.fatStart = vp.fat1Start;
  g.otherFatStart = vp.fat2Start;
  g.fatUnits = vp.sectorsPerFat;
  g.clusterBase = vp.clusterBase;
  g.clusterUnits = vp.sectorsPerCluster;
  g.clusterCount = vp.clusterCount;
  g.rootCluster = static_cast<std::uint32_t>(vp.rootDirStart);
  return g;
}

void addExfatEntries(Bytes dir, std::uint32_t parent, bool parentDeleted, FileTree& tree, ExfatListing& listing) {
  ExfatEntrySet set;
  for (std::size_t off = 0; off + exfat::kEntryBytes <= dir.size();) {
    const ExfatEntryKind kind = readExfatEntry(dir, off, set);
    if (kind == ExfatEntryKind::End) break;
    off += set.entries * exfat::kEntryBytes;
    if (kind != ExfatEntryKind::FileSet) continue;
    const bool deleted = set.deleted || parentDeleted;
    if (!set.checksumOk) ++listing.badChecksums;
    if (set.folder()) {
      // A folder without a cluster holds nothing, and 0 names the root.
      if (set.firstCluster < kExfatFirstCluster) continue;
      const bool added = tree.addFatFolder(set.name, set.firstCluster, parent, set.times, deleted);
      const std::int64_t idx = tree.findFatFolder(set.firstCluster);
      if (idx >= 0 && (added || !deleted)) {
        FatFolderNode& f = tree.fatFolders[static_cast<std::size_t>(idx)];
        f.dataLength = set.dataLength;
        f.contiguous = set.noFatChain;
      }
      continue;
    }
    tree.addFatFile(set.name, set.firstCluster, parent, set.times, set.dataLength, deleted);
    FatFileNode& f = tree.fatFiles.back();
    f.validLength = set.validLength;
    f.contiguous = set.noFatChain;
    ++tree.fileCount;
  }
}

void walkExfatVolume(SectorReader& reader, const VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs) {
  tree.freeFatTree();
  ProgressScope bar(obs, ProgressScope::Stop::Shown);
  const ExfatGeometry g = exfatGeometryOf(vp);
  FatTable fat(reader, g.fatStart, g.fatUnits, FsType::Exfat);
  ExfatListing listing;
  // Clusters some folder has read: a folder whose first cluster another
  // folder read (a deleted folder's cluster taken by a live one) keeps no
  // children of its own, and a chain that runs into them ends there.
  std::vector<bool> taken(static_cast<std::size_t>(g.clusterCount), false);
  auto take = [&](std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i) {
      const std::size_t k = clusters[i] - kExfatFirstCluster;
      if (taken[k]) {
        clusters.resize(i);
        return;
      }
      taken[k] = true;
    }
  };
  // A deleted folder whose FAT chain went with it: its first cluster, then
  // the clusters after it that no folder read and that read as a folder's,
  // up to its length (its files' data lay between them, as the folder grew
  // while they were written). Searched at most 64 clusters per cluster
  // wanted past the last one found.
  auto guessFolder = [&](std::uint32_t first, std::uint64_t bytes) {
    std::vector<std::uint32_t> out{first};
    const std::uint64_t cb = g.clusterBytes();
    const std::uint64_t want = std::max<std::uint64_t>(1, (std::min(bytes, kExfatMaxFolderBytes) + cb - 1) / cb);
    constexpr std::uint64_t kBatch = 16, kReach = 64;
    std::uint64_t c = std::uint64_t{first} + 1, lastFound = first;
    std::vector<std::uint8_t> buf;
    while (out.size() < want && g.validCluster(c) && c - lastFound <= kReach && stop.load() != 1) {
      const std::uint64_t n = std::min<std::uint64_t>(kBatch, g.clusterCount + kExfatFirstCluster - c);
      buf.assign(static_cast<std::size_t>(n * cb), 0);
      reader.readSectorsClearing(g.clusterSector(c), static_cast<std::uint32_t>(n * g.clusterUnits), buf.data());
      for (std::uint64_t i = 0; i < n && out.size() < want; ++i, ++c) {
        if (c - lastFound > kReach) break;
        if (taken[static_cast<std::size_t>(c - kExfatFirstCluster)]) continue;
        if (!exfatLooksLikeFolderCluster(Bytes(buf.data() + i * cb, static_cast<std::size_t>(cb)))) continue;
        out.push_back(static_cast<std::uint32_t>(c));
        lastFound = c;
      }
    }
    return out;
  };
  auto readFolder = [&](std::uint32_t first, std::uint64_t bytes, bool contiguous, bool deleted,
                        const std::string& what) {
    ExfatExtent ext = exfatClusters(fat, g, first, bytes, contiguous, false);
    const std::uint64_t cb = g.clusterBytes();
    if (deleted && !contiguous && bytes != 0 && ext.clusters.size() * cb < std::min(bytes, kExfatMaxFolderBytes))
      ext.clusters = guessFolder(first, bytes);
    if (ext.unreadable)
      obs.warning("the allocation table could not be read for " + what + "; only its first cluster is listed");
    if (ext.clusters.empty() && g.validCluster(first)) ext.clusters.push_back(first);
    take(ext.clusters);
    std::uint64_t bad = 0;
    SectorNo firstBad = 0;
    std::vector<std::uint8_t> data = readExfatClusters(reader, g, ext.clusters, bytes == 0 ? kExfatMaxFolderBytes : bytes,
                                                       &bad, &firstBad);
    if (bad != 0)
      obs.warning(dec(bad) + " sector(s) of " + what + " could not be read (the first is sector " +
                  dec(firstBad / std::max<std::uint64_t>(1, reader.unitsPerSector())) +
                  "); entries it held are missing");
    return data;
  };
  auto report = [&](const std::string& name, std::uint32_t cluster) {
    obs.counter(Counter::FoldersFound, tree.folderCount);
    obs.counter(Counter::FilesFound, tree.fileCount);
    obs.counter(Counter::CurrentSector, g.clusterSector(cluster) / std::max<std::uint64_t>(1, reader.unitsPerSector()));
    obs.text(TextField::LastFileFolder, name);
  };

  if (g.validCluster(g.rootCluster)) {
    const std::vector<std::uint8_t> root = readFolder(g.rootCluster, 0, false, false, "the root folder");
    addExfatEntries(Bytes(root), kFatRootCluster, false, tree, listing);
    report("\\", g.rootCluster);
  }

  // Live folders first, breadth first, then the deleted ones: a deleted
  // folder whose cluster a live folder now uses lists nothing of the live
  // folder's. The list grows while it is walked.
  std::vector<bool> done;
  for (int pass = 0; pass < 2 && stop.load() != 1; ++pass) {
    for (bool more = true; more && stop.load() != 1;) {
      more = false;
      for (std::size_t k = 0; k < tree.fatFolders.size() && stop.load() != 1; ++k) {
        if (done.size() <= k) done.resize(k + 1, false);
        if (done[k] || (pass == 0 && tree.fatFolders[k].deleted)) continue;
        done[k] = true;
        more = true;
        const FatFolderNode f = tree.fatFolders[k];  // a copy: the list grows below
        if (!g.validCluster(f.firstCluster) || taken[f.firstCluster - kExfatFirstCluster]) continue;
        const std::vector<std::uint8_t> data =
            readFolder(f.firstCluster, f.dataLength, f.contiguous, f.deleted,
                       "the folder " + f.name + " (cluster " + dec(f.firstCluster) + ")");
        addExfatEntries(Bytes(data), f.firstCluster, f.deleted, tree, listing);
        report(f.name, f.firstCluster);
        if (k % 64 == 0)
          obs.progress(static_cast<int>(std::min<std::size_t>(99, k * 100 / tree.fatFolders.size())));
      }
    }
  }
  if (listing.badChecksums != 0)
    obs.warning(dec(listing.badChecksums) +
                " entry set(s) in use failed their checksum; they are listed as the entries stand");

  stop.store(0);
  bar.hideStop();
  obs.progress(0);
  tree.buildFatFolderTree(obs);
}

}  // namespace osprin
