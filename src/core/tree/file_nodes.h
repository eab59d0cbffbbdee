#pragma once
// The four record kinds of a rebuilt directory tree. Parents are named by
// identity (FAT: first cluster, 0 for the root; NTFS: record number, 5 for
// the root), never by pointer. exFAT trees use the FAT nodes: a folder is
// named by its first cluster, the root by 0.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/types.h"
#include "fat/dir_entry.h"

namespace osprin {

constexpr std::uint32_t kFatRootCluster = 0;
constexpr std::uint32_t kNtfsRootRecord = 5;

// Whether a deleted file's data is still on the volume, judged from the
// volume's allocation state (the FAT, or NTFS's $Bitmap, and the clusters
// live files claim) without reading the data. Live files have None.
enum class Verdict : std::uint8_t {
  None,         // live, or not assessed
  Intact,       // every cluster the file needs is free
  Partial,      // some of them are claimed
  Overwritten,  // all of them are claimed
  Guessed,      // FAT: the chain is gone; the clusters after the first are assumed contiguous, all free
  Unknown,      // the allocation state could not be read
};

struct Recoverability {
  Verdict verdict = Verdict::None;
  bool guessedChain = false;    // FAT: the clusters were assumed contiguous (also for Partial, Overwritten)
  std::uint32_t clusters = 0;   // clusters the file needs (counted, at most 2^32 - 1)
  std::uint32_t claimed = 0;    // of them, claimed by live files or marked in use
  // The fraction of the clusters claimed (0 for no clusters).
  double claimedFraction() const { return clusters == 0 ? 0.0 : static_cast<double>(claimed) / clusters; }
};

// The FAT nodes are their entry's times (FatTimes: writeDate, accessDate
// and the others, packed as the volume stores them) and the node's own fields.
struct FatFolderNode : FatTimes {
  std::string name;
  std::uint32_t firstCluster = 0;   // identity, unique in the list
  std::uint32_t parentCluster = 0;  // 0 for the root directory
  std::uint32_t treeItem = 0;       // folder-tree item, 0 until the tree is built
  bool deleted = false;

  const FatTimes& times() const { return *this; }
  void setTimes(const FatTimes& t) { static_cast<FatTimes&>(*this) = t; }
  Recoverability recoverable{};  // deleted records only
  // exFAT: the folder's bytes and whether its clusters are contiguous
  // (NoFatChain); FAT folders follow their chains.
  std::uint64_t dataLength = 0;
  bool contiguous = false;
};

struct FatFileNode : FatTimes {
  std::string name;
  std::uint32_t firstCluster = 0;  // 0 for an empty file (no cluster)
  std::uint32_t parentCluster = 0;
  std::uint64_t size = 0;  // FAT: at most 2^32 - 1
  bool deleted = false;
  std::uint32_t fileIndex = 0;  // the list's ID column

  const FatTimes& times() const { return *this; }
  void setTimes(const FatTimes& t) { static_cast<FatTimes&>(*this) = t; }
  Recoverability recoverable{};  // deleted records only
  // exFAT: the bytes written (what lies past them reads as zeros) and
  // whether the clusters are contiguous without a FAT chain (NoFatChain).
  // FAT files have validLength == size and follow their chains.
  std::uint64_t validLength = 0;
  bool contiguous = false;
};

// NTFS times are those Windows shows: creation and last write of
// $STANDARD_INFORMATION, or of the $FILE_NAME when the record has none.
struct NtfsFolderNode {
  std::string name;
  std::uint32_t recordNumber = 0;
  std::uint32_t parentRecord = kNtfsRootRecord;
  std::uint64_t creationTime = 0;  // FILETIME
  std::uint64_t changeTime = 0;    // last write
  std::uint32_t treeItem = 0;
  bool deleted = false;
  Recoverability recoverable{};  // deleted records only
};

// An NTFS file of a standard scan, and also the deep scan's file record:
// there dataRecordSector is the sector where the record was found and
// recordNumber is 0. A named stream (an alternate data stream) is a node of
// its own, listed right after its file, with stream set and the name
// "FILE:STREAM" (the stream name is what follows the last ':').
struct NtfsFileNode {
  std::string name;
  SectorNo dataRecordSector = 0;  // the list's ID column; recovery reads the record here
  std::uint32_t recordNumber = 0;
  std::uint32_t parentRecord = kNtfsRootRecord;
  std::uint64_t creationTime = 0;
  std::uint64_t changeTime = 0;
  std::uint64_t size = 0;
  bool deleted = false;
  bool stream = false;
  Recoverability recoverable{};  // deleted records only
};
using NtfsFileRecord = NtfsFileNode;

// The stream name of a stream node ("" for a file).
inline std::string_view streamNameOf(const NtfsFileNode& f) {
  if (!f.stream) return {};
  const auto colon = f.name.rfind(':');
  return colon == std::string::npos ? std::string_view{} : std::string_view(f.name).substr(colon + 1);
}

}  // namespace osprin
