#pragma once
// Rebuilds the tree of a found file system from the deep scan's structures
// that belong to it. FAT folders come from the sub-directory heads (named
// "Dir" + first cluster until their entry turns up in a parent directory that
// is read); exFAT folders and files from the live tree and the loose entry
// sets; NTFS folders from the directory records, and NTFS files stay in
// the scan's file records (listed through DeepScanResults::fileSetFor).
#include <cstdint>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/sector_reader.h"
#include "tree/file_tree.h"
#include "volume/volume_params.h"

namespace osprin {

// The FAT mount in five steps (Phase::MountStep 1 to 5 of 5):
// folders from the heads of file system chosenFsIndex, missing parents as
// folders at the root, the FAT copies looked for when the file system was
// derived from heads (fat1Start 0), every directory read, and the folder
// tree built. vp holds the chosen file system's geometry; the FAT search and
// the root directory may change its FAT fields and rootDirStart.
void mountFoundFat(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosenFsIndex, VolumeParams& vp,
                   FileTree& tree, StopFlag& stop, Observer& obs);

// Looks for the two FAT copies (sectors beginning F8 FF FF) before the
// cluster base: up to 550 sectors before it for FAT16, 30000 for FAT32 (from
// sector 1 for a volume nearer the disk's start). True when both were found
// (then sectorsPerFat and, for FAT16, rootDirStart are set). With one found
// (the other damaged or outside the window) fat1Start is that copy and
// oneFatCopyExtent sets the rest, so that chains are followed through it.
bool findFatCopies(SectorReader& reader, VolumeParams& vp, Observer& obs);

// The extent of the one FAT copy found at fat1Start: what lies between it
// and the FAT16 root directory (32 sectors before the data area unless
// rootDirSectors says otherwise) or the FAT32 data area, and no more than
// the entries of the clusters up to volumeEnd (or the disk's end) need;
// FAT16 at most 256 sectors. Sets sectorsPerFat, and for FAT16 rootDirStart
// when it is 0.
void oneFatCopyExtent(VolumeParams& vp, std::uint64_t diskSectors);

// Reads the root directory and the first clusters (or the FAT chain) of every
// folder of tree.fatFolders, naming folders and adding files.
void readFoundDirectories(SectorReader& reader, VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs);

// The exFAT mount (Phase::MountStep 1 to 3 of 3), into the FAT lists. With
// a FAT and a root folder (a file system found by its boot sector): the
// live tree as the standard scan lists it, live folders read through the
// FAT. Then every entry set of file system chosenFsIndex that the live
// listing did not take in (sets of clusters it did not read, or lying past
// a folder's end mark), under the folder whose data holds it: a deleted or
// lost folder's first cluster and the clusters its length takes after it
// (contiguous), else a placeholder folder "Dir" + cluster at the root, one
// per run of consecutive clusters. With a root these sets are all listed as
// deleted (nothing outside the live tree is live); without one they keep
// their own state. Then the folder tree.
void mountFoundExfat(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosenFsIndex,
                     const VolumeParams& vp, FileTree& tree, StopFlag& stop, Observer& obs);

// The NTFS mount: folders from the directory records of file system
// chosenFsIndex (one per record number), placeholder folders "Dir0", "Dir1",
// ... at the root for parents that were not found, and the folder tree.
void mountFoundNtfs(const DeepScanResults& results, std::uint16_t chosenFsIndex, FileTree& tree, StopFlag& stop,
                    Observer& obs);

}  // namespace osprin
