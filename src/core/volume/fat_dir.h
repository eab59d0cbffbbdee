#pragma once
// FAT directories: their cluster chains and the walk of their entries
// (the entries themselves: fat/dir_entry.h).
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"
#include "fat/dir_entry.h"
#include "tree/file_tree.h"
#include "volume/volume_params.h"

namespace osprin {

using ClusterChain = std::vector<std::uint32_t>;

// The chain of a directory from the first FAT copy. It ends at an end mark,
// a free entry, a failed read, a cluster already in the chain, a cluster
// outside the volume, or 2 MiB of directory (65,536 entries). Only the first
// cluster when fat1Start is 0.
ClusterChain readDirectoryChain(SectorReader& reader, const VolumeParams& vp, std::uint32_t firstCluster);

// The clusters that the directories of one walk have read. A directory's
// chain that runs into a cluster some directory has read already ends
// there (its first cluster is always read): the chains of a healthy volume
// never meet, while those of a damaged one can all run into the same
// clusters, and reading them again for every directory would list their
// entries once per directory (a few megabytes of such a volume made
// billions of records).
class DirectoryClusters {
 public:
  // Records that cluster is being read; false when it was read before.
  bool take(std::uint32_t cluster) { return read_.insert(cluster).second; }

 private:
  std::unordered_set<std::uint32_t> read_;
};

// Where the previous directory sector parsed in the same directory is, so a
// long name that began there can be assembled whole. Empty at a directory's
// first sector.
struct DirContext {
  FsType fsType = FsType::Fat32;  // FAT32 reads the high cluster half
  Bytes previousSector;           // the sector(s) parsed just before, in disk order, or empty
};

// Standard variant: one 512-byte sector. Sets end at the end-of-directory
// entry. Reports the counters CurrentSector, FoldersFound and FilesFound,
// the text LastFileFolder and progress through obs.
void parseDirectorySector(Bytes sector, const DirContext& ctx, std::uint32_t parentCluster, bool& end,
                          SectorNo sectorNo, bool parentDeleted, int firstEntry, FileTree& tree,
                          std::uint64_t progressDivisor, Observer& obs);

// Deep-scan variant over a buffer of several sectors: folder entries rename
// folders already listed (renameFatFolder) instead of adding them; no
// reporting.
void parseDirectoryCluster(Bytes buffer, const DirContext& ctx, std::uint32_t parentCluster, bool& end,
                           SectorNo firstSector, std::uint32_t sectorCount, bool parentDeleted, int firstEntry,
                           FileTree& tree);


}  // namespace osprin
