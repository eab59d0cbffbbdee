#include "deepscan/deep_scan.h"

#include "common/text.h"
#include "deepscan/classify_exfat.h"
#include "deepscan/classify_fat.h"
#include "deepscan/classify_ntfs.h"
#include "deepscan/mount.h"
#include "deepscan/signature_scan.h"

namespace osprin {

void analyseFound(SectorReader& reader, const Selection& sel, DeepScanResults& results, StopFlag& stop, Observer& obs) {
  if (isFat(sel.fsType))
    analyseFoundFat(reader, sel.fsType, results, obs);
  else if (sel.fsType == FsType::Ntfs)
    analyseFoundNtfs(reader, sel.rangeEnd, results, stop, obs);
  else if (sel.fsType == FsType::Exfat)
    analyseFoundExfat(reader, results, obs);
}

void runDeepScan(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead, DeepScanResults& results,
                 StopFlag& stop, Observer& obs) {
  results.freeDeepScanLists();
  results.unitsPerSector = reader.unitsPerSector();
  ProgressScope bar(obs, ProgressScope::Stop::Shown);
  if (sel.fsType == FsType::Ntfs) {
    obs.counter(Counter::BootSectorsFound, 0);
    obs.counter(Counter::IndexEntriesFound, 0);
    obs.counter(Counter::FilesFound, 0);
    obs.counter(Counter::FoldersFound, 0);
    obs.counter(Counter::CurrentSector, 0);
    scanNtfsSignatures(reader, sel, sectorsPerRead, results, stop, obs);
  } else if (isFat(sel.fsType)) {
    obs.counter(Counter::BootSectorsFound, 0);
    obs.counter(Counter::FoldersFound, 0);
    obs.counter(Counter::CurrentSector, 0);
    scanFatSignatures(reader, sel, sectorsPerRead, results, stop, obs);
  } else if (sel.fsType == FsType::Exfat) {
    obs.counter(Counter::BootSectorsFound, 0);
    obs.counter(Counter::FoldersFound, 0);
    obs.counter(Counter::FilesFound, 0);
    obs.counter(Counter::CurrentSector, 0);
    scanExfatSignatures(reader, sel, sectorsPerRead, results, stop, obs);
  }
  bar.hideStop();
  analyseFound(reader, sel, results, stop, obs);
  stop.store(0);
}

std::string foundFileSystemSizeText(const VolumeParams& fs) {
  if (usesFatTree(fs.fsType) && fs.volumeEnd == 0) return "Unknown";
  return dec(static_cast<SectorNo>(fs.volumeEnd - fs.clusterBase) / 2048) + " MB";
}

std::vector<PanelRow> selectFoundFileSystem(const DeepScanResults& results, std::size_t index, VolumeParams& vp) {
  if (index == 0 || index > results.foundFileSystems.size()) return {};
  const FoundFileSystem& fs = results.foundFileSystems[index - 1];
  std::vector<PanelRow> panel;
  vp.fsType = fs.fsType;
  vp.sectorsPerFat = fs.sectorsPerFat;
  vp.sectorsPerCluster = fs.sectorsPerCluster;
  vp.clusterBase = fs.clusterBase;
  vp.volumeEnd = fs.volumeEnd;
  // In the disk's own sectors.
  const std::uint32_t u = results.unitsPerSector == 0 ? 1 : results.unitsPerSector;
  panel.push_back({"File System Start", dec(fs.clusterBase / u)});
  panel.push_back({"Sectors Per Cluster", dec(fs.sectorsPerCluster / u)});
  if (usesFatTree(fs.fsType)) {
    vp.rootDirSectors = fs.rootDirSectors;
    vp.rootDirStart = fs.rootDirStart;
    vp.reservedSectors = fs.reservedSectors;
    vp.fat1Start = fs.fat1Start;
    vp.fat2Start = fs.fat2Start;
    vp.clusterCount = fs.clusterCount;
    vp.bitmapCluster = fs.bitmapCluster;
    vp.bitmapBytes = fs.bitmapBytes;
    panel.push_back({"File System Size", foundFileSystemSizeText(fs)});
  } else {
    vp.mftStart = fs.mftStart;
    vp.mftMirrorStart = fs.mftMirrorStart;
    vp.sectorsPerIndexRecord = fs.sectorsPerIndexRecord;
    panel.push_back({"File System Size", foundFileSystemSizeText(fs)});
    panel.push_back({"MFT Start", dec(fs.mftStart / u)});
    panel.push_back({"MFT Mirror Start", dec(fs.mftMirrorStart / u)});
  }
  return panel;
}

void runMount(SectorReader& reader, const DeepScanResults& results, std::uint16_t chosenFsIndex, VolumeParams& vp,
              FileTree& tree, StopFlag& stop, Observer& obs) {
  if (isFat(vp.fsType))
    mountFoundFat(reader, results, chosenFsIndex, vp, tree, stop, obs);
  else if (vp.fsType == FsType::Exfat)
    mountFoundExfat(reader, results, chosenFsIndex, vp, tree, stop, obs);
  else if (vp.fsType == FsType::Ntfs)
    mountFoundNtfs(results, chosenFsIndex, tree, stop, obs);
  stop.store(0);
}

bool deepScanAndMount(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead, std::size_t pick,
                      DeepMount& out, StopFlag& stop, Observer& obs, std::string& error) {
  runDeepScan(reader, sel, sectorsPerRead, out.results, stop, obs);
  const std::size_t found = out.results.foundFileSystems.size();
  if (found == 0) {
    error = "the deep scan found no file system in the range";
    return false;
  }
  if (pick == 0 || pick > found) {
    error = "there is no found file system " + dec(pick) + " (the deep scan found " + dec(found) + ")";
    return false;
  }
  out.chosenFsIndex = static_cast<std::uint16_t>(pick);
  out.panel = selectFoundFileSystem(out.results, pick, out.params);
  runMount(reader, out.results, out.chosenFsIndex, out.params, out.tree, stop, obs);
  return true;
}

}  // namespace osprin
