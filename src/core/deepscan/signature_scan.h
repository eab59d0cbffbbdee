#pragma once
// The signature pass of the deep scan: every sector of a range is looked at
// by itself and recorded when it looks like a boot sector, a FAT
// sub-directory head, an NTFS file record, an NTFS index block or the start
// of an exFAT entry set.
#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"
#include "volume/volume_params.h"

namespace osprin {

// More FAT boot sectors than this stop a FAT scan ("Too many data structures
// found"); the list then holds kMaxFatBootSectors + 1 entries.
constexpr std::uint32_t kMaxFatBootSectors = 60000;

// Sectors that the scan has in memory already, so that a structure found in
// them is not read from the disk a second time. Empty when the read that
// filled them was not complete.
struct SectorWindow {
  std::uint64_t firstSector = 0;
  Bytes bytes;
  // The bytes of count sectors from lba, or an empty span when not all held.
  Bytes sectors(std::uint64_t lba, std::uint32_t count) const;
};

// The FAT pass (FAT16 and FAT32 alike): boot sectors of both kinds and
// sub-directory heads. Reads the range in batches of sectorsPerRead sectors;
// the last batch is whole, so up to sectorsPerRead - 1 sectors after the
// range are examined too. Reports the counters CurrentSector,
// BootSectorsFound and FoldersFound, the progress and Phase::ReadingSector
// every 88 batches. Stops early when stop becomes 1 (checked before each batch) and
// at the 60001st boot sector; clears stop at the end. The counters of
// results are not reset here.
void scanFatSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                       DeepScanResults& results, StopFlag& stop, Observer& obs);

// The NTFS pass: NTFS boot sectors, file records and index blocks, with the
// same read loop; reports the counters CurrentSector, BootSectorsFound,
// FilesFound, FoldersFound and IndexEntriesFound.
void scanNtfsSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                        DeepScanResults& results, StopFlag& stop, Observer& obs);

// The exFAT pass: exFAT boot sectors (a volume's main one or its backup,
// as readExfatBootSector takes them) and entry sets, with the same read
// loop; reports the counters CurrentSector (relative, as the FAT pass),
// BootSectorsFound, FoldersFound and FilesFound. Stops at the 60001st boot
// sector as the FAT pass does.
void scanExfatSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                         DeepScanResults& results, StopFlag& stop, Observer& obs);

// Files the exFAT entry sets that begin in the sector lba (s, 512 bytes):
// every file entry (0x85, or 0x05 deleted) whose set passes readExfatEntry
// with its checksum right, in slot order, a set's own entries stepped
// over. A set that runs on past the sector is taken from window when it
// holds the sectors, else read from the disk. Returns the sets filed.
std::uint32_t recordExfatSets(SectorReader& reader, Bytes s, SectorNo lba, DeepScanResults& results,
                              const SectorWindow& window = {});

// Files the NTFS file record at sector, of units sectors (2 for 1,024
// bytes, 8 for 4,096), as a directory record or a file record (or drops
// it). Its sectors come from window when it holds them, else from the disk.
void recordNtfsFileRecord(SectorReader& reader, SectorNo sector, std::uint32_t units, DeepScanResults& results,
                          const SectorWindow& window = {});

// Files the index block at sector whose first 512 bytes are firstSector.
// True when a hit was recorded.
bool recordIndexBlock(SectorReader& reader, SectorNo sector, Bytes firstSector, DeepScanResults& results,
                      const SectorWindow& window = {});

// Appends the directory entries (flag 0x1000) of an index block, fixup
// applied, to entries and their names to names, in block order. Stops at
// an entry without a name, one whose name would reach past the block, or a
// length of 0.
void appendIndexDirEntries(Bytes block, std::vector<IndexDirEntry>& entries, std::string& names);

// The record's own number from its "$I30" index root (0 when not found).
std::uint32_t ownRecordNumberFromIndexRoot(Bytes record);
// The first cluster of the record's "$I30" index allocation (0 when none).
std::uint32_t indexAllocationFirstCluster(Bytes record);

}  // namespace osprin
