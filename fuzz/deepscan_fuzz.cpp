// The deep scan over an arbitrary disk: the signature pass (boot sectors,
// FAT sub-directory heads, NTFS file records, index blocks, exFAT entry
// sets), the classification into found file systems, and the mount of each
// of the first three found. Input: see fuzz_image.h (at most 16 MiB of disk).
// Options: bits 0-1 the kind asked for (FAT16, FAT32, NTFS, exFAT),
// bits 2-7 the batch size ("Sectors to read in single attempt") 1 to 64.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "deepscan/deep_scan.h"
#include "disk/sector_reader.h"
#include "fuzz_image.h"
#include "tree/file_list.h"
#include "fuzz_check.h"

namespace {

constexpr std::uint32_t kMaxSectors = 32768;

using osprin::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  static fuzz::ImageBuffer img(kMaxSectors);
  img.decode(data, size);
  const std::uint32_t sectors = img.sectors();
  const std::uint8_t options = img.options();
  SectorReader reader(std::make_unique<fuzz::ImageSource>(img));

  static const FsType kinds[4] = {FsType::Fat16, FsType::Fat32, FsType::Ntfs, FsType::Exfat};
  Selection sel;
  sel.fsType = kinds[options & 3];
  sel.rangeStart = 0;
  sel.rangeEnd = sectors;
  sel.rangeLength = sectors;
  const std::uint32_t perRead = (options >> 2) + 1;

  DeepScanResults results;
  StopFlag stop{0};
  runDeepScan(reader, sel, perRead, results, stop, nullObserver());
  check(stop.load() == 0);
  check(results.bootSectorHits.size() == results.bootSectorCount);
  check(results.dirHeadHits.size() == results.folderHitCount || !isFat(sel.fsType));
  check(results.exfatSetHits.size() == std::size_t{results.folderHitCount} + results.fileHitCount ||
        sel.fsType != FsType::Exfat);
  for (const ExfatSetHit& h : results.exfatSetHits) check(h.fsIndex != 0 && h.set.checksumOk);
  check(results.indexBlockHits.size() == results.indexBlockCount);
  for (const IndexBlockHit& h : results.indexBlockHits) check(h.vcn == 0);  // later blocks are dropped

  for (std::size_t pick = 1; pick <= results.foundFileSystems.size() && pick <= 3; ++pick) {
    VolumeParams vp;
    const auto panel = selectFoundFileSystem(results, pick, vp);
    check(!panel.empty());
    FileTree tree;
    runMount(reader, results, static_cast<std::uint16_t>(pick), vp, tree, stop, nullObserver());
    check(stop.load() == 0);
    // The root folder lists as the browse step shows it.
    if (usesFatTree(vp.fsType)) {
      (void)listFatFolder(tree, kFatRootCluster);
    } else {
      NtfsFileSet files = results.fileSetFor(vp);
      (void)listNtfsFolder(tree, files, kNtfsRootRecord);
    }
  }
  return 0;
}
