#pragma once
// Rebuilds the tree of a found file system from the deep scan's structures
// that belong to it. FAT folders come from the sub-directory heads (named
// "Dir" + first cluster until their entry turns up in a parent directory that
// is read); NTFS folders from the directory records, and NTFS files stay in
// the scan's file records (listed through DeepScanResults::fileSetFor).
#include <cstdint>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"
#include "tree/file_tree.h"
#include "volume/volume_params.h"

namespace osprin {

// The FAT mount in five steps ("Step 1 / 5 ...." to "Step 5 / 5 ...."):
// folders from the heads of file system chosenFsIndex, missing parents as
// folders at the root, the FAT copies looked for when the file system was
// derived from heads (fat1Start 0), every directory read, and the folder
// tree built. vp holds the chosen file system's geometry; the FAT search and
// the root directory may change its FAT fields and rootDirStart.
void mountFoundFat(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosenFsIndex, VolumeParams& vp,
                   FileTree& tree, StopFlag& stop, Observer& obs);

// Looks for the two FAT copies (sectors beginning F8 FF FF) before the
// cluster base: up to 550 sectors before it for FAT16, 30000 for FAT32. True
// when both were found (then sectorsPerFat and, for FAT16, rootDirStart are
// set); with one found only fat1Start changes.
bool findFatCopies(SectorReader& reader, VolumeParams& vp, Observer& obs);

// Reads the root directory and the first clusters (or the FAT chain) of every
// folder of tree.fatFolders, naming folders and adding files.
void readFoundDirectories(SectorReader& reader, VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs);

// The NTFS mount: folders from the directory records of file system
// chosenFsIndex (one per record number), placeholder folders "Dir0", "Dir1",
// ... at the root for parents that were not found, and the folder tree.
void mountFoundNtfs(const DeepScanResults& results, std::uint16_t chosenFsIndex, FileTree& tree, StopFlag& stop,
                    Observer& obs);

}  // namespace osprin
