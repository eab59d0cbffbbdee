// Volume geometry from an arbitrary small disk: readVolumeParams for each
// file-system kind (from the disk's first sector, and from a selection that
// the options byte moves), and calculateVolumeParams over the whole image
// for FAT16 and FAT32, the NTFS boot sector parser, and the exFAT walk of a
// volume whose parameters were read. Input: see fuzz_image.h (at most 4 MiB of disk).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/sector_reader.h"
#include "fuzz_image.h"
#include "ntfs/boot_sector.h"
#include "volume/volume_params.h"
#include "volume/walkers.h"
#include "fuzz_check.h"

namespace {

constexpr std::uint32_t kMaxSectors = 8192;

using osprin::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  static fuzz::ImageBuffer img(kMaxSectors);
  img.decode(data, size);
  const std::uint32_t sectors = img.sectors();
  const std::uint8_t options = img.options();
  SectorReader reader(std::make_unique<fuzz::ImageSource>(img));

  // The whole image as the partition, then a partition that begins a few
  // sectors in and ends early (its backup boot sector inside the image).
  const SectorNo start2 = options & 0x0F;
  Selection sels[2];
  sels[0].rangeStart = 0;
  sels[0].rangeLength = sectors;
  sels[0].rangeEnd = sectors - 1;
  sels[1].rangeStart = start2;
  const std::uint32_t cut = options >> 4;
  sels[1].rangeLength = sectors > start2 + cut + 1 ? sectors - start2 - cut : 1;
  sels[1].rangeEnd = sels[1].rangeStart + sels[1].rangeLength - 1;

  for (const Selection& base : sels) {
    for (FsType t : {FsType::Fat16, FsType::Fat32, FsType::Ntfs, FsType::Exfat, FsType::None}) {
      Selection sel = base;
      sel.fsType = t;
      VolumeParams vp;
      const bool ok = readVolumeParams(reader, sel, vp);
      check(vp.fsType == t);
      if (ok && t == FsType::Ntfs) {
        // A mounted NTFS volume has a confirmed MFT or mirror and a cluster size.
        check(vp.mftStart != 0 || vp.mftMirrorStart != 0);
        const std::uint32_t k = vp.sectorsPerCluster;
        check(k >= 1 && k <= 4096 && (k & (k - 1)) == 0);  // clusters of up to 2 MiB
        check(vp.sectorsPerMftRecord == 2);
      }
      if (ok && t == FsType::Exfat) {
        // The walk reads every folder's clusters inside the heap, once.
        check(vp.sectorsPerCluster >= 1 && vp.clusterCount >= 1);
        FileTree tree;
        StopFlag stop{0};
        walkExfatVolume(reader, vp, tree, stop, nullObserver());
        for (const auto& f : tree.fatFiles) check(f.validLength <= f.size && !f.name.empty());
        check(tree.fatFolders.size() <= std::uint64_t{vp.clusterCount});
      }
    }
  }

  // The NTFS boot sector parser on the image's first sector.
  if (sectors > 0) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(img.data());
    if (const auto b = parseNtfsBootSector(Bytes(first, kSectorSize))) {
      check(b->sectorsPerCluster >= 1 && b->sectorsPerCluster <= 4096);
      check(std::uint64_t{b->sectorsPerCluster} * b->bytesPerSector <= (2u << 20));
      check(b->totalSectors > 0 && b->totalSectors < kSectorNoLimit);
      check(b->mftRecordBytes >= 256 && b->mftRecordBytes <= 65536);
      check(b->indexBlockBytes >= 256 && b->indexBlockBytes <= 65536);
    }
  }

  // The calculation reads the whole range sector by sector.
  StopFlag stop{0};
  for (FsType t : {FsType::Fat16, FsType::Fat32, FsType::Ntfs}) {
    Selection sel = sels[options & 1];
    sel.fsType = t;
    VolumeParams vp;
    const bool ok = calculateVolumeParams(reader, sel, vp, stop, nullObserver());
    if (t == FsType::Ntfs) check(!ok);
    if (ok) {
      // Two heads fixed a cluster size of 1 to 128 sectors.
      const std::uint32_t k = vp.sectorsPerCluster;
      check(k >= 1 && k <= 128 && (k & (k - 1)) == 0);
      check(vp.fat2Start == vp.fat1Start + vp.sectorsPerFat);
    }
  }
  return 0;
}
