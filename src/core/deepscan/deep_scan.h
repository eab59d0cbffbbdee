#pragma once
// The deep scan ("Advance Scan") without any window: the signature pass with
// its classification, the choice of one found file system, and its mount.
// The desktop program runs these on its worker thread; the command line and
// the tests call them directly.
#include <cstdint>
#include <string>
#include <vector>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"
#include "volume/volume_params.h"

namespace osprin {

// "Sectors to read in single attempt" at start-up.
constexpr std::uint32_t kDefaultSectorsPerRead = 60;

// Frees the results of an earlier scan, runs the signature pass over the
// selection (FsType::Fat16/Fat32: FAT, Ntfs, Exfat; rangeLength = end - start) and
// classifies what it found (also after Stop or "Too many data structures
// found"). Clears stop at the end.
void runDeepScan(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead, DeepScanResults& results,
                 StopFlag& stop, Observer& obs);

// The classification alone (FAT, NTFS or exFAT by sel.fsType).
void analyseFound(SectorReader& reader, const Selection& sel, DeepScanResults& results, StopFlag& stop, Observer& obs);

// Copies found file system `index` (1-based) into vp and returns the texts of
// the information panel: "File System Start", "Sectors Per Cluster", "File
// System Size", and for NTFS "MFT Start", "MFT Mirror Start". Empty (vp
// unchanged) when index names no found file system.
std::vector<PanelRow> selectFoundFileSystem(const DeepScanResults& results, std::size_t index, VolumeParams& vp);

// "N MB" for a found file system's size, "Unknown" for a FAT or exFAT one without end.
std::string foundFileSystemSizeText(const VolumeParams& fs);

// Mounts found file system chosenFsIndex, whose geometry selectFoundFileSystem
// put in vp: the FAT mount for FAT16 and FAT32, the NTFS mount, the exFAT mount.
void runMount(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosenFsIndex, VolumeParams& vp,
              FileTree& tree, StopFlag& stop, Observer& obs);

// Everything a command needs to browse or recover a found file system.
struct DeepMount {
  DeepScanResults results;
  VolumeParams params;
  FileTree tree;
  std::uint16_t chosenFsIndex = 0;
  std::vector<PanelRow> panel;
  // The NTFS files of the chosen file system (an empty set for FAT).
  NtfsFileSet ntfsFiles() { return params.fsType == FsType::Ntfs ? results.fileSetFor(params) : NtfsFileSet(); }

  DeepMount() = default;
  DeepMount(const DeepMount&) = delete;  // ntfsFiles() points into results
  DeepMount& operator=(const DeepMount&) = delete;
};

// Scan, classify, choose found file system `pick` (1-based) and mount it.
// False with a sentence in error when the scan found no file system or pick
// is out of range.
bool deepScanAndMount(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead, std::size_t pick,
                      DeepMount& out, StopFlag& stop, Observer& obs, std::string& error);

}  // namespace osprin
