#pragma once
// What a deep scan finds: loose structures met in a sector range (boot
// sectors, FAT sub-directory heads, NTFS directory and file records, NTFS
// index blocks, exFAT entry sets), in the order found (ascending sector
// order), and the file systems the classification groups them into.
#include <cstdint>
#include <string>
#include <vector>

#include "common/types.h"
#include "exfat/dir_entry.h"
#include "tree/file_nodes.h"
#include "tree/ntfs_file_set.h"
#include "tree/parent_index.h"
#include "volume/volume_params.h"

namespace osprin {

// The first sector of a FAT sub-directory's cluster (its "." and ".." entries).
struct DirHeadHit {
  SectorNo sector = 0;
  std::uint32_t firstCluster = 0;   // of the "." entry
  std::uint32_t parentCluster = 0;  // of the ".." entry; 0 for the root
  std::uint16_t writeDate = 0;      // the "." entry's last-write date
  std::uint16_t accessDate = 0;     // the "." entry's last-access date
  std::int16_t fsIndex = 0;         // 0 not examined, n its found file system, -1 none
};

// An NTFS file record of a directory.
struct NtfsDirRecord {
  std::string name;  // UTF-8
  SectorNo sector = 0;
  std::uint32_t parentRecord = 0;
  std::uint32_t recordNumber = 0;  // 0 until known
  std::int16_t fsIndex = 0;        // 0 not examined, n its found file system, -1 none
  std::uint64_t creationTime = 0;       // the file name's (the key of index entries)
  std::uint64_t changeTime = 0;         // last write, as shown
  std::uint64_t shownCreationTime = 0;  // creation as shown ($STANDARD_INFORMATION's when present)
  std::uint32_t indexLcn = 0;  // first cluster of the "$I30" index allocation; 0 when none
  bool deleted = false;
};

// An NTFS index block ("INDX").
struct IndexBlockHit {
  SectorNo sector = 0;
  std::uint32_t ownerRecord = 0;  // record number of the directory owning the block
  std::uint32_t vcn = 0;
  std::int16_t mark = -1;
  std::uint8_t sectorCount = 0;
};

// A directory entry of an index block (flag 0x1000), kept by the signature
// pass for the numbering of directory records.
struct IndexDirEntry {
  std::uint64_t creationTime = 0;
  std::uint32_t parentRecord = 0;
  std::uint32_t recordNumber = 0;
  std::uint32_t nameAt = 0;  // into DeepScanResults::indexEntryNames
  std::uint32_t nameLength = 0;
};

// An exFAT file or folder entry set (0x85 or 0x05 first, its checksum
// right) met loose in a sector: where it begins and what it says.
struct ExfatSetHit {
  SectorNo sector = 0;       // the sector of its file entry
  std::uint16_t offset = 0;  // of the file entry within that sector
  std::int16_t fsIndex = 0;  // 0 not examined, n its found file system, -1 none
  ExfatEntrySet set;
};

// A file system found by the classification: the geometry of VolumeParams
// and the label shown for it ("FAT32 @2079", "NTFS @128").
struct FoundFileSystem : VolumeParams {
  std::string label;
};

// The deep scan's results. NTFS file records are the tree's NtfsFileRecord
// (dataRecordSector = the sector where the record was found, recordNumber
// the number the record carries in its header, 0 for records without one);
// a record's named streams follow it as stream nodes of the same sector.
struct DeepScanResults {
  std::vector<SectorNo> bootSectorHits;
  std::vector<DirHeadHit> dirHeadHits;
  std::vector<NtfsDirRecord> ntfsDirRecords;
  std::vector<NtfsFileRecord> ntfsFileRecords;  // ascending sector order
  std::vector<IndexBlockHit> indexBlockHits;
  std::vector<ExfatSetHit> exfatSetHits;  // ascending (sector, offset)
  // The directory entries of each index block hit as the signature pass
  // read it (its sectorCount sectors, fixup applied), so that numbering
  // the directory records needs no second read of every block: the entries
  // of hit i are indexEntries[indexEntryStart[i] .. indexEntryStart[i + 1]).
  // Valid only while indexEntryStart holds one more element than
  // indexBlockHits; otherwise the blocks are read again.
  std::vector<IndexDirEntry> indexEntries;
  std::vector<std::uint32_t> indexEntryStart;
  std::string indexEntryNames;
  bool indexEntriesKept() const { return indexEntryStart.size() == indexBlockHits.size() + 1; }

  std::uint32_t bootSectorCount = 0;
  std::uint32_t folderHitCount = 0;  // FAT heads, NTFS directory records or exFAT folder sets recorded
  std::uint32_t fileHitCount = 0;    // NTFS file records or exFAT file sets recorded
  std::uint32_t indexBlockCount = 0;
  std::uint32_t classifiedCount = 0;

  std::vector<FoundFileSystem> foundFileSystems;
  // 512-byte units per sector of the disk scanned: the sector numbers shown
  // (labels, panel) count the disk's own sectors.
  std::uint32_t unitsPerSector = 1;
  // Children of a parent record among ntfsFileRecords.
  ParentIndex fileParents;

  // The number of found file systems (the number a new one gets is this + 1).
  std::uint16_t foundFsCount() const { return static_cast<std::uint16_t>(foundFileSystems.size()); }

  // The NTFS files of found file system n (1-based): the file records whose
  // sector s satisfies clusterBase < s <= volumeEnd. An empty set when n
  // names no found file system.
  NtfsFileSet fileSetOf(std::size_t n);
  // The same for a geometry in hand (VolumeParams of the chosen file system).
  NtfsFileSet fileSetFor(const VolumeParams& vp);

  // Empties every list and sets every counter to 0.
  void freeDeepScanLists();
};

}  // namespace osprin
