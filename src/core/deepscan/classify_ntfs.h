#pragma once
// Classification of what an NTFS deep scan found: the record numbers of the
// directory records, the first index block of every directory, NTFS file
// systems confirmed from boot sectors or derived from pairs of directories
// whose index blocks fit one geometry, and each directory record's file
// system.
#include <cstdint>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"

namespace osprin {

// The whole NTFS analysis, in order: assignRecordNumbers,
// dropLaterIndexBlocks, classifyNtfsByBootSector, classifyNtfsByIndexBlocks
// (file systems derived from index blocks end at rangeEnd), final
// numbering. Polls stop while classifying; clears it at the end.
void analyseFoundNtfs(SectorReader& reader, SectorNo rangeEnd, DeepScanResults& results, StopFlag& stop,
                      Observer& obs);

// Gives directory records their record numbers: from the directory entries
// of the index blocks found (an entry names a subdirectory's record number
// together with its name, parent and creation time), then, for the rest,
// from the distance to the record before (two sectors per record).
void assignRecordNumbers(SectorReader& reader, DeepScanResults& results, Observer& obs);

// Removes every index block hit whose vcn is not 0.
void dropLaterIndexBlocks(DeepScanResults& results, Observer& obs);

// File systems confirmed by an NTFS boot sector.
void classifyNtfsByBootSector(SectorReader& reader, DeepScanResults& results, StopFlag& stop, Observer& obs);

// File systems derived from pairs of directories whose first index blocks
// fit one cluster size and volume start.
void classifyNtfsByIndexBlocks(SectorReader& reader, SectorNo rangeEnd, DeepScanResults& results, StopFlag& stop,
                               Observer& obs);

// Marks each unclaimed directory record with low < sector <= high whose index
// allocation's first cluster, at low + spc * cluster, begins with "INDX",
// with the number the next found file system gets. True when it marked one.
bool confirmNtfsVolume(SectorReader& reader, DeepScanResults& results, std::uint32_t spc, SectorNo low,
                       SectorNo high, StopFlag& stop, Observer& obs);

// A directory record that no file system claimed (-1) joins the file system
// of the record before it (the first one joins file system 1).
void finalNtfsNumbering(DeepScanResults& results);

// One record listed once: within each found file system, a file record that
// repeats the number, parent and name of another (the MFT mirror's copies of
// $MFT, $MFTMirr, $LogFile and $Volume, stale copies) is dropped, the copy
// in the mirror giving way to the MFT's own.
void dropDuplicateFileRecords(DeepScanResults& results);

}  // namespace osprin
