#include "deepscan/deep_results.h"

namespace osprin {

NtfsFileSet DeepScanResults::fileSetOf(std::size_t n) {
  if (n == 0 || n > foundFileSystems.size()) return NtfsFileSet(ntfsFileRecords, fileParents, 1, 0);
  return fileSetFor(foundFileSystems[n - 1]);
}

NtfsFileSet DeepScanResults::fileSetFor(const VolumeParams& vp) {
  return NtfsFileSet(ntfsFileRecords, fileParents, vp.clusterBase, vp.volumeEnd);
}

void DeepScanResults::freeDeepScanLists() {
  // Swapping with empty vectors gives the memory back; a scan of a large disk
  // can hold millions of records.
  std::vector<SectorNo>().swap(bootSectorHits);
  std::vector<DirHeadHit>().swap(dirHeadHits);
  std::vector<NtfsDirRecord>().swap(ntfsDirRecords);
  std::vector<NtfsFileRecord>().swap(ntfsFileRecords);
  std::vector<IndexBlockHit>().swap(indexBlockHits);
  std::vector<ExfatSetHit>().swap(exfatSetHits);
  std::vector<IndexDirEntry>().swap(indexEntries);
  std::vector<std::uint32_t>().swap(indexEntryStart);
  std::string().swap(indexEntryNames);
  std::vector<FoundFileSystem>().swap(foundFileSystems);
  fileParents.clear();
  bootSectorCount = folderHitCount = fileHitCount = indexBlockCount = classifiedCount = 0;
}

}  // namespace osprin
