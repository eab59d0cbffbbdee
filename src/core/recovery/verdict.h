#pragma once
// Recoverability of deleted files and folders, judged from the volume's
// allocation state before anything is copied. One pass over the allocation
// structures builds a map of claimed clusters (FAT: every non-zero entry of
// the FAT and every live file's chain; NTFS: $Bitmap and the run lists of
// every record in use); each deleted record then looks up the clusters that
// recovery would read for it:
//   FAT   the file's chain as recovery builds it, or, when the chain is gone,
//         its first cluster and the ones after it (assumed contiguous);
//         a folder: its first cluster, as the walker reads it;
//   NTFS  the non-sparse clusters of the data runs of its record, as far as
//         its size needs them (resident data needs none); a folder: the runs
//         of its index allocation.
// File data itself is never read.
#include <cstdint>

#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"
#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"
#include "ntfs/record.h"
#include "volume/volume_params.h"

namespace osprin {

// Which clusters are claimed, and which ones could not be judged because
// the allocation structure that covers them did not read.
class ClusterMap {
 public:
  void reset(std::uint64_t clusters);
  std::uint64_t size() const { return size_; }
  void claim(std::uint64_t c) {
    if (c < size_) claimed_[c >> 6] |= 1ULL << (c & 63);
  }
  void claimRange(std::uint64_t first, std::uint64_t count);
  void markUnknown(std::uint64_t first, std::uint64_t count);
  // Clusters beyond the map are claimed: no file's data can lie there.
  bool claimed(std::uint64_t c) const { return c >= size_ || (claimed_[c >> 6] >> (c & 63)) & 1; }
  bool unknown(std::uint64_t c) const { return c < size_ && !unknown_.empty() && (unknown_[c >> 6] >> (c & 63)) & 1; }

 private:
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> claimed_;
  std::vector<std::uint64_t> unknown_;  // empty while every part was read
};

// Accumulates the clusters of one record and gives its verdict.
class VerdictCounter {
 public:
  explicit VerdictCounter(const ClusterMap& map) : map_(map) {}
  void add(std::uint64_t cluster);
  void addRange(std::uint64_t first, std::uint64_t count);
  void setGuessed() { guessed_ = true; }
  void setUnknown() { forcedUnknown_ = true; }
  Recoverability result() const;

 private:
  const ClusterMap& map_;
  std::uint64_t clusters_ = 0, claimed_ = 0, unknown_ = 0;
  bool guessed_ = false;
  bool forcedUnknown_ = false;
};

struct VerdictCounts {
  std::uint64_t intact = 0, partial = 0, overwritten = 0, guessed = 0, unknown = 0;
  bool allocationRead = false;  // the FAT or $Bitmap could be read at all
};

// Gives every deleted file and folder of the tree in use its verdict (live
// ones get Verdict::None). ntfsFiles are the NTFS files in use (the standard
// scan's list or a deep scan's records); mftRuns the MFT's runs when known
// (read from vp.mftStart when empty). Stops early (leaving the rest None)
// when stop becomes non-zero.
VerdictCounts assessRecoverability(SectorReader& reader, const VolumeParams& vp, FileTree& tree,
                                   const NtfsFileSet& ntfsFiles, MftRuns mftRuns, const StopFlag* stop = nullptr);

// "intact", "partial", "overwritten", "guessed", "unknown"; "" for None.
const char* verdictWord(Verdict v);
// "Intact", "Partly overwritten 25%", "Overwritten", "Guessed", "Unknown"; "" for None.
std::string verdictText(const Recoverability& r);

}  // namespace osprin
