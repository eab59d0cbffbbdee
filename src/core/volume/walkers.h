#pragma once
// The walkers of the standard scan and the scan driver.
#include <string>

#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"
#include "tree/file_tree.h"
#include "ntfs/record.h"
#include "exfat/volume.h"
#include "volume/volume_params.h"

namespace osprin {

// Rebuilds the FAT tree (breadth first from the root directory) and builds
// the folder tree. Stops early when stop becomes 1; clears stop at the end.
void walkFatVolume(SectorReader& reader, const Selection& sel, const VolumeParams& vp, FileTree& tree,
                   StopFlag& stop, Observer& obs);

// Rebuilds the NTFS tree from every MFT record, places lost folders under
// placeholders "Dir0", "Dir1", ... and builds the folder tree. Fills runs.
void walkNtfsVolume(SectorReader& reader, const VolumeParams& vp, MftRuns& runs, FileTree& tree, StopFlag& stop,
                    Observer& obs);

// Rebuilds the exFAT tree into the FAT lists (folders named by first
// cluster, the root by 0): the root folder's entry sets, then every folder's,
// live folders before deleted ones; builds the folder tree. Stops early when
// stop becomes 1; clears stop at the end.
void walkExfatVolume(SectorReader& reader, const VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs);

// What adding a folder's entry sets met.
struct ExfatListing {
  std::uint64_t badChecksums = 0;  // live sets whose checksum failed (listed all the same)
};
// Adds the files and folders of one exFAT folder's bytes (dir) under parent
// (a first cluster, 0 for the root); under a deleted parent every entry is
// deleted. Increments tree.fileCount per file.
void addExfatEntries(Bytes dir, std::uint32_t parent, bool parentDeleted, FileTree& tree, ExfatListing& listing);

// The exFAT geometry that vp holds (readVolumeParams fills it).
ExfatGeometry exfatGeometryOf(const VolumeParams& vp);

enum class ScanOutcome {
  Done,     // tree shown (maybe stopped during the walk)
  Failed,   // "Recovery is not possible in Standard scan, use Sdvance scan"
  Aborted,  // "Recovery procedure aborted by user"
};

// A warning when the selection, or the volume's own boot sector at its
// start, reaches past the end of the disk (a truncated image, a partition
// entry or a boot sector that claims too much); empty otherwise.
std::string volumeBeyondDiskWarning(SectorReader& reader, const Selection& sel);

// The whole standard scan: volume parameters (or their calculation), then
// the walk. Shows the driver's messages through obs; first, as a warning,
// volumeBeyondDiskWarning, and then reads what the disk holds.
ScanOutcome runStandardScan(SectorReader& reader, const Selection& sel, VolumeParams& vp, MftRuns& runs,
                            FileTree& tree, StopFlag& stop, Observer& obs);

}  // namespace osprin
