#include "deepscan/mount.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "deepscan/progress.h"
#include "volume/fat_dir.h"

namespace osprin {

namespace {

// Directories are read in pieces of at most 8 sectors.
std::uint32_t pieceSectors(const VolumeParams& vp) {
  const std::uint32_t spc = vp.sectorsPerCluster == 0 ? 1 : vp.sectorsPerCluster;
  return spc > 7 ? 8 : spc;
}

bool isDirectoryHead(Bytes s) { return rd8(s, 0) == '.' && rd8(s, 1) == ' ' && rd8(s, 32) == '.' && rd8(s, 33) == '.'; }

// Reads count sectors into buf, which is cleared first: a sector that does
// not read is seen as the end of the directory, never as stale entries.
void readClean(SectorReader& reader, SectorNo at, std::uint32_t count, std::vector<std::uint8_t>& buf) {
  buf.assign(static_cast<std::size_t>(count) * kSectorSize, 0);
  reader.readSectors(at, count, buf.data());
}

// One directory read piece by piece: keeps the last sector of the previous
// piece so that a long name that began there is assembled whole.
class DirectoryReader {
 public:
  DirectoryReader(SectorReader& reader, const VolumeParams& vp, FileTree& tree)
      : reader_(reader), vp_(vp), tree_(tree) {}

  void begin() {
    previous_.clear();
    end = false;
  }
  // Reads count sectors at `at` and parses them. firstPiece: check the "."
  // and ".." entries (a sub-directory's first cluster) and skip them.
  void piece(SectorNo at, std::uint32_t count, std::uint32_t folderCluster, bool folderDeleted, bool subdirFirstPiece) {
    readClean(reader_, at, count, buf_);
    if (subdirFirstPiece && !isDirectoryHead(Bytes(buf_))) {
      end = true;  // the cluster no longer holds this directory
      return;
    }
    DirContext ctx;
    ctx.fsType = vp_.fsType;
    ctx.previousSector = Bytes(previous_);
    parseDirectoryCluster(Bytes(buf_), ctx, folderCluster, end, at, count, folderDeleted, subdirFirstPiece ? 2 : 0,
                          tree_);
    previous_.assign(buf_.end() - kSectorSize, buf_.end());
  }

  bool end = false;

 private:
  SectorReader& reader_;
  const VolumeParams& vp_;
  FileTree& tree_;
  std::vector<std::uint8_t> buf_, previous_;
};

}  // namespace

bool findFatCopies(SectorReader& reader, VolumeParams& vp, Observer& obs) {
  // Runs inside the mount's ProgressScope.
  StepProgress progress(obs);
  progress.reset();
  const SectorNo base = vp.clusterBase;
  // The window before the cluster base, from the disk's first sector for a
  // volume near it (a bare volume's FATs begin at sector 1 or so).
  const SectorNo window = vp.fsType == FsType::Fat16 ? 550 : 30000;
  const SectorNo start = base > window ? base - window : 1;
  if (start >= base) return false;

  // Read in pieces; each piece is cleared first, so an unreadable sector
  // never repeats the sector before it.
  constexpr std::uint32_t kPiece = 256;
  std::vector<std::uint8_t> buf;
  int found = 0;
  SectorNo first = 0;
  for (SectorNo s = start; s < base;) {
    const auto count = static_cast<std::uint32_t>(std::min<SectorNo>(kPiece, base - s));
    readClean(reader, s, count, buf);
    for (std::uint32_t i = 0; i < count; ++i, ++s) {
      const Bytes sec = Bytes(buf).subspan(static_cast<std::size_t>(i) * kSectorSize, kSectorSize);
      if (sec[0] == 0xF8 && sec[1] == 0xFF && sec[2] == 0xFF) {
        if (++found == 1) {
          first = s;
        } else {
          vp.fat1Start = first;
          vp.fat2Start = s;
          vp.sectorsPerFat = static_cast<std::uint32_t>(vp.fat2Start - vp.fat1Start);  // less than the window
          if (vp.fsType == FsType::Fat16) vp.rootDirStart = vp.fat2Start + vp.sectorsPerFat;
          return true;
        }
      }
      progress.set(s, base);
    }
  }
  if (found == 1) {
    vp.fat1Start = first;
    oneFatCopyExtent(vp, reader.totalSectors());
  }
  return false;
}

void oneFatCopyExtent(VolumeParams& vp, std::uint64_t diskSectors) {
  const std::uint64_t spc = vp.sectorsPerCluster == 0 ? 1 : vp.sectorsPerCluster;
  const std::uint64_t dataStart = std::uint64_t{vp.clusterBase} + 2 * spc;
  const bool fat16 = vp.fsType == FsType::Fat16;
  // FAT16: the fixed root directory lies between the FATs and the data
  // area; 32 sectors (512 entries) unless the geometry says otherwise.
  const std::uint64_t rootSectors = fat16 ? (vp.rootDirSectors != 0 ? vp.rootDirSectors : 32) : 0;
  if (dataStart < rootSectors || dataStart - rootSectors <= vp.fat1Start) return;
  const std::uint64_t fatsEnd = dataStart - rootSectors;
  // What lies between the copy and the root directory (FAT16) or the data
  // area (FAT32) is this copy, or this copy and the next one ...
  std::uint64_t sectors = fatsEnd - vp.fat1Start;
  // ... and no more than the clusters that the disk can hold need.
  const std::uint64_t volumeEnd = vp.volumeEnd != 0 ? std::uint64_t{vp.volumeEnd} + 1 : diskSectors;
  if (volumeEnd > dataStart) {
    const std::uint64_t entries = (volumeEnd - dataStart) / spc + 2;
    const std::uint64_t needed = (entries * (fat16 ? 2 : 4) + kSectorSize - 1) / kSectorSize;
    sectors = std::min(sectors, needed);
  }
  if (fat16) {
    sectors = std::min<std::uint64_t>(sectors, 256);  // 65,536 entries
    if (vp.rootDirStart == 0) vp.rootDirStart = fatsEnd;
  }
  vp.sectorsPerFat = static_cast<std::uint32_t>(sectors);
}

void readFoundDirectories(SectorReader& reader, VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs) {
  obs.phase({Phase::MountStep, 4, 5});
  StopScope stopButton(obs);
  StepProgress progress(obs);
  DirectoryReader dir(reader, vp, tree);
  const std::uint32_t spc = vp.sectorsPerCluster == 0 ? 1 : vp.sectorsPerCluster;
  const std::uint32_t n = pieceSectors(vp);
  // A chain that runs into a cluster another directory has read ends there
  // (see DirectoryClusters); a directory's first cluster is always read.
  DirectoryClusters read;

  if (vp.fsType == FsType::Fat16) {
    // The fixed root directory: the sectors its boot sector gives, 32 (512
    // entries) when it is not known.
    const std::uint32_t rootSectors = vp.rootDirSectors != 0 ? std::min<std::uint32_t>(vp.rootDirSectors, 4096) : 32;
    if (vp.rootDirStart != 0 && vp.rootDirStart < ~SectorNo{0} - rootSectors) {
      dir.begin();
      for (std::uint32_t o = 0; o < rootSectors && !dir.end; o += 8)
        dir.piece(vp.rootDirStart + o, std::min<std::uint32_t>(8, rootSectors - o), 0, false, false);
    }
  } else {
    if (vp.rootDirStart == 0) vp.rootDirStart = 2;
    dir.begin();
    const ClusterChain root = readDirectoryChain(reader, vp, static_cast<std::uint32_t>(vp.rootDirStart));  // a cluster
    for (std::size_t j = 0; j < root.size(); ++j) {
      const std::uint32_t k = root[j];
      if (!read.take(k) && j > 0) break;
      for (std::uint32_t o = 0; o < spc && !dir.end; o += n) dir.piece(vp.clusterBase + k * spc + o, n, 0, false, false);
      if (dir.end) break;
    }
  }

  std::uint64_t total = 0;
  for (std::size_t i = 0; i < tree.fatFolders.size() && stop.load() != 1; ++i) {
    const std::uint32_t cluster = tree.fatFolders[i].firstCluster;
    const bool deleted = tree.fatFolders[i].deleted;
    dir.begin();
    bool firstPiece = true;
    const ClusterChain chain = readDirectoryChain(reader, vp, cluster);
    for (std::size_t j = 0; j < chain.size(); ++j) {
      const std::uint32_t k = chain[j];
      if (!read.take(k) && j > 0) break;
      for (std::uint32_t o = 0; o < spc && !dir.end && stop.load() != 1; o += n) {
        dir.piece(k * spc + vp.clusterBase + o, n, cluster, deleted, firstPiece);
        firstPiece = false;
      }
      if (dir.end || stop.load() == 1) break;
    }
    total += 100;
    progress.setPercent(total / (tree.folderCount == 0 ? 1 : tree.folderCount));
  }
}

void mountFoundFat(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosen, VolumeParams& vp,
                   FileTree& tree, StopFlag& stop, Observer& obs) {
  PhaseScope phase(obs, {Phase::MountStep, 1, 5});
  ProgressScope bar(obs);
  StepProgress progress(obs);
  progress.reset();

  tree.freeFatTree();
  for (const DirHeadHit& h : results.dirHeadHits) {
    if (h.fsIndex != static_cast<std::int16_t>(chosen)) continue;
    tree.addFatFolder("Dir" + dec(h.firstCluster), h.firstCluster, h.parentCluster, h.writeDate, h.accessDate, false);
    progress.set(tree.folderCount, results.folderHitCount);
  }

  obs.phase({Phase::MountStep, 2, 5});
  progress.reset();
  for (std::size_t i = 0; i < tree.fatFolders.size(); ++i) {
    const std::uint32_t parent = tree.fatFolders[i].parentCluster;
    if (parent != 0 && tree.findFatFolder(parent) < 0) tree.addFatFolder("Dir" + dec(parent), parent, 0, 0, 0, false);
  }

  if (vp.fat1Start == 0) {
    obs.phase({Phase::MountStep, 3, 5});
    findFatCopies(reader, vp, obs);
  }

  readFoundDirectories(reader, vp, tree, stop, obs);

  obs.phase({Phase::MountStep, 5, 5});
  tree.buildFatFolderTree(obs);
}

void mountFoundNtfs(const DeepScanResults& results, std::uint16_t chosen, FileTree& tree, StopFlag& stop,
                    Observer& obs) {
  tree.freeNtfsTree();
  PhaseScope phase(obs, {Phase::ExtractingEntries});
  for (const NtfsDirRecord& d : results.ntfsDirRecords) {
    if (d.fsIndex != static_cast<std::int16_t>(chosen) || d.recordNumber == kNtfsRootRecord || d.name == ".") continue;
    tree.addNtfsFolder(d.name, d.recordNumber, d.parentRecord, d.shownCreationTime, d.changeTime, d.deleted,
                       ScanType::Advanced);
  }

  obs.phase({Phase::SearchingLostData});
  ProgressScope bar(obs);
  StepProgress progress(obs);
  progress.reset();
  std::uint32_t placeholders = 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < tree.ntfsFolders.size() && stop.load() != 1; ++i) {
    progress.setPercent(total / (tree.folderCount == 0 ? 1 : tree.folderCount));
    const std::uint32_t parent = tree.ntfsFolders[i].parentRecord;
    if (parent == kNtfsRootRecord) continue;
    if (tree.findNtfsFolder(parent) < 0) {
      tree.addNtfsFolder("Dir" + dec(placeholders), parent, kNtfsRootRecord, 0, 0, false, ScanType::Advanced);
      ++placeholders;
    }
    total += 100;
  }
  // Files whose folder record is gone are shown under a placeholder too, as
  // the standard scan shows them.
  if (chosen >= 1 && chosen <= results.foundFileSystems.size()) {
    const FoundFileSystem& fs = results.foundFileSystems[chosen - 1];
    for (const NtfsFileRecord& f : results.ntfsFileRecords) {
      if (stop.load() == 1) break;
      if (f.dataRecordSector <= fs.clusterBase || f.dataRecordSector > fs.volumeEnd) continue;
      if (f.parentRecord == kNtfsRootRecord || tree.findNtfsFolder(f.parentRecord) >= 0) continue;
      tree.addNtfsFolder("Dir" + dec(placeholders), f.parentRecord, kNtfsRootRecord, 0, 0, false, ScanType::Advanced);
      ++placeholders;
    }
  }
  stop.store(0);

  obs.phase({Phase::CreatingTreeStructure});
  tree.buildNtfsFolderTree(obs);
}

}  // namespace osprin
