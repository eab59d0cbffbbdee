#include "volume/volume_params.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/bytes.h"
#include "exfat/dir_entry.h"
#include "exfat/volume.h"
#include "fat/boot_sector.h"
#include "ntfs/boot_sector.h"

namespace osprin {

namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;

// Reads one sector into a zeroed buffer: an unreadable sector reads as zeros,
// which no signature, media byte or "FILE" test accepts.
Sector readOne(SectorReader& reader, SectorNo lba) {
  Sector s{};
  reader.readSectors(lba, 1, s.data());
  return s;
}

Bytes view(const Sector& s) { return Bytes(s.data(), s.size()); }

bool validSectorsPerCluster(std::uint32_t v) {
  switch (v) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128:
      return true;
    default:
      return false;
  }
}

// 512-byte units per sector of the volume whose boot sector is boot (1 for
// 512-byte sectors, 8 for 4,096): its geometry fields count its own sectors.
std::uint32_t unitsOf(Bytes boot) {
  const std::uint32_t bps = rd16(boot, 11);
  return isSectorSize(bps) ? bps / kSectorSize : 1;
}

bool startsWithMediaByte(SectorReader& reader, SectorNo lba) { return readOne(reader, lba)[0] == 0xF8; }

// FAT32 fields of one boot-sector copy.
struct Fat32Fields {
  std::uint32_t sectorsPerCluster, reserved, sectorsPerFat, rootCluster;
};

// In 512-byte units; the root cluster as it stands.
Fat32Fields fat32Fields(Bytes boot) {
  const FatBootSector b = readFatBootSector(boot);
  const std::uint32_t u = b.units();
  const std::uint64_t spf = std::uint64_t{b.sectorsPerFat32} * u;
  return {b.sectorsPerCluster * u, b.reservedSectors * u, spf <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(spf) : 0,
          b.rootCluster};
}

bool readFat32(SectorReader& reader, const Selection& sel, VolumeParams& vp) {
  // The backup at the volume's sector 6 (the disk's sector size: the boot
  // sector that would tell the volume's is the one missing).
  const SectorNo backup = sel.rangeStart + 6 * SectorNo{reader.unitsPerSector()};
  Sector boot = readOne(reader, sel.rangeStart);
  if (!hasBootSignature(view(boot))) {
    boot = readOne(reader, backup);
    if (!hasBootSignature(view(boot))) return false;
  }
  Fat32Fields f = fat32Fields(view(boot));
  vp.rootDirStart = f.rootCluster;  // stored before the FAT check, as a failed mount leaves it
  if (!startsWithMediaByte(reader, sel.rangeStart + f.reserved + f.sectorsPerFat)) {
    // The accepted copy gives a wrong FAT size: try the backup's values,
    // whatever its signature says.
    f = fat32Fields(view(readOne(reader, backup)));
    vp.rootDirStart = f.rootCluster;
    if (!startsWithMediaByte(reader, sel.rangeStart + f.reserved + f.sectorsPerFat)) return false;
  }
  vp.sectorsPerFat = f.sectorsPerFat;
  vp.sectorsPerCluster = f.sectorsPerCluster;
  vp.rootDirSectors = 0;
  vp.rootDirStart = f.rootCluster;
  vp.reservedSectors = f.reserved;
  vp.fat1Start = sel.rangeStart + f.reserved;
  vp.fat2Start = vp.fat1Start + f.sectorsPerFat;
  vp.clusterBase = sel.rangeStart + f.reserved + 2 * f.sectorsPerFat - 2 * f.sectorsPerCluster;
  return true;
}

bool readFat16(SectorReader& reader, const Selection& sel, VolumeParams& vp) {
  Sector boot = readOne(reader, sel.rangeStart);
  Bytes b = view(boot);
  if (!hasBootSignature(b)) return false;
  // In 512-byte units (the fields count the volume's own sectors).
  const FatBootSector f = readFatBootSector(b);
  const std::uint32_t u = f.units();
  const std::uint32_t spc = f.sectorsPerCluster * u;
  const std::uint32_t reserved = f.reservedSectors * u;
  const std::uint32_t spf = f.sectorsPerFat16 * u;
  const std::uint32_t rootSectors = f.rootDirSectors() * u;
  if (!startsWithMediaByte(reader, sel.rangeStart + reserved + spf)) return false;
  vp.rootDirStart = sel.rangeStart + reserved + 2 * spf;
  vp.rootDirSectors = rootSectors;
  vp.sectorsPerFat = spf;
  vp.sectorsPerCluster = spc;
  vp.reservedSectors = reserved;
  vp.fat1Start = sel.rangeStart + reserved;
  vp.fat2Start = vp.fat1Start + spf;
  vp.clusterBase = vp.rootDirStart + rootSectors - 2 * spc;
  return true;
}

// Sectors of one index record from the boot sector's clusters-per-index-record
// field. 0xF4 (4096 bytes) is by far the common code; other negative codes
// give 2^-code bytes, positive ones count clusters.
std::uint32_t indexRecordSectors(Bytes boot, std::uint32_t spc) {
  const std::uint32_t v = rd32(boot, 68);
  if (v == 244) return 8;
  if (v >= 0x80 && v <= 0xFF) {
    const std::uint32_t shift = 256 - v;
    if (shift >= 9 && shift <= 31) return 1u << (shift - 9);
  }
  const std::uint64_t sectors = std::uint64_t{v} * spc;
  return sectors <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(sectors) : 0;
}

bool isFileRecord(SectorReader& reader, SectorNo lba) { return hasText(view(readOne(reader, lba)), 0, "FILE"); }

bool readNtfs(SectorReader& reader, const Selection& sel, VolumeParams& vp) {
  // The two copies: 0 = at rangeStart, 1 = the backup in the range's last
  // sector (of the disk's size; rangeEnd is its last 512-byte unit).
  const SectorNo units = reader.unitsPerSector();
  const SectorNo where[2] = {sel.rangeStart, sel.rangeEnd + 1 >= sel.rangeStart + units ? sel.rangeEnd + 1 - units
                                                                                         : sel.rangeEnd};
  int hand = 0;
  Sector boot = readOne(reader, where[0]);
  if (!hasBootSignature(view(boot))) {
    hand = 1;
    boot = readOne(reader, where[1]);
    if (!hasBootSignature(view(boot))) return false;
  }
  Sector lastBoot = boot;  // the boot-sector copy read last

  // In 512-byte units: the boot sector counts the volume's own sectors.
  std::uint32_t spc = ntfsSectorsPerCluster(rd8(view(boot), 13)) * unitsOf(view(boot));
  if (spc == 0) {
    hand ^= 1;
    boot = readOne(reader, where[hand]);
    lastBoot = boot;
    spc = ntfsSectorsPerCluster(rd8(view(boot), 13)) * unitsOf(view(boot));
    if (spc == 0) return false;
  }
  // The sector of the cluster that a boot sector's field names; 0 (never a
  // file record) when it lies beyond any disk.
  auto clusterAt = [&](const Sector& b, std::size_t field) -> SectorNo {
    const std::uint64_t lcn = rd64(view(b), field);
    if (lcn >= kSectorNoLimit / spc) return 0;
    return sel.rangeStart + lcn * spc;
  };

  SectorNo mft = clusterAt(boot, 48);
  if (mft == 0 || !isFileRecord(reader, mft)) {
    hand ^= 1;
    boot = readOne(reader, where[hand]);
    lastBoot = boot;
    mft = clusterAt(boot, 48);
    if (mft == 0 || !isFileRecord(reader, mft)) mft = 0;
  }

  SectorNo mirror = clusterAt(boot, 56);
  if (mirror == 0 || !isFileRecord(reader, mirror)) {
    Sector other = readOne(reader, where[hand ^ 1]);
    lastBoot = other;
    mirror = clusterAt(other, 56);
    if (mirror == 0 || !isFileRecord(reader, mirror)) mirror = 0;
  }

  if (mft == 0 && mirror == 0) return false;

  vp.sectorsPerCluster = spc;
  vp.clusterBase = sel.rangeStart;
  vp.mftStart = mft;
  vp.mftMirrorStart = mirror;
  // 1,024-byte records unless the boot sector names another size (4,096 on
  // volumes of 4,096-byte sectors).
  const std::uint32_t recordBytes = ntfsRecordBytes(static_cast<std::int8_t>(rd8(view(boot), 64)), std::uint64_t{spc} * kSectorSize);
  vp.sectorsPerMftRecord = recordBytes >= 1024 && recordBytes <= 4096 ? recordBytes / kSectorSize : 2;
  vp.sectorsPerIndexRecord = indexRecordSectors(view(lastBoot), spc);
  return true;
}

// exFAT: the boot sector (or its backup) gives the geometry; the root
// folder's first cluster names the allocation bitmap.
bool readExfat(SectorReader& reader, const Selection& sel, VolumeParams& vp) {
  const auto boot = readExfatBootAt(reader, sel.rangeStart);
  if (!boot) return false;
  const ExfatGeometry g = exfatGeometry(*boot, sel.rangeStart);
  if (g.clusterUnits > 0xFFFFFFFFu || g.fatUnits > 0xFFFFFFFFu) return false;
  vp.sectorsPerCluster = static_cast<std::uint32_t>(g.clusterUnits);
  vp.sectorsPerFat = static_cast<std::uint32_t>(g.fatUnits);
  vp.fat1Start = g.fatStart;
  vp.fat2Start = g.otherFatStart;
  // The volume's first sector is fat1Start - reservedSectors, as on FAT.
  vp.reservedSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(g.fatStart - sel.rangeStart, 0xFFFFFFFFu));
  vp.clusterBase = g.clusterBase;
  vp.rootDirStart = g.rootCluster;
  vp.rootDirSectors = 0;
  vp.clusterCount = g.clusterCount;
  std::vector<std::uint8_t> root(static_cast<std::size_t>(g.clusterBytes()), 0);
  if (reader.readSectors(g.clusterSector(g.rootCluster), vp.sectorsPerCluster, root.data())) {
    for (std::size_t off = 0; off + exfat::kEntryBytes <= root.size(); off += exfat::kEntryBytes) {
      const std::uint8_t type = root[off];
      if (type == exfat::kTypeEnd) break;
      if (type != exfat::kTypeBitmap) continue;
      const ExfatSystemEntry e = readExfatSystemEntry(Bytes(root), off);
      // With two FATs, each has its bitmap: the one of the FAT in use.
      if ((e.flags & 1) != boot->activeFat() && vp.bitmapCluster != 0) continue;
      vp.bitmapCluster = e.firstCluster;
      vp.bitmapBytes = e.dataLength;
    }
  }
  return true;
}

bool isDirectoryHead(Bytes s) { return hasText(s, 0, ".          ") && hasText(s, 32, "..         "); }

}  // namespace

bool readVolumeParams(SectorReader& reader, const Selection& sel, VolumeParams& vp) {
  vp.fsType = sel.fsType;
  switch (sel.fsType) {
    case FsType::Fat32:
      return readFat32(reader, sel, vp);
    case FsType::Fat16:
      return readFat16(reader, sel, vp);
    case FsType::Ntfs:
      return readNtfs(reader, sel, vp);
    case FsType::Exfat:
      return readExfat(reader, sel, vp);
    default:
      return true;
  }
}

bool calculateVolumeParams(SectorReader& reader, const Selection& sel, VolumeParams& vp, StopFlag& stop,
                           Observer& obs) {
  if (!isFat(sel.fsType)) return false;
  const bool fat32 = sel.fsType == FsType::Fat32;
  vp.fsType = sel.fsType;
  ProgressScope bar(obs, ProgressScope::Stop::Shown);

  // Reserved sectors: the first sector of the window that starts a FAT.
  const SectorNo windowFirst = fat32 ? sel.rangeStart + 30 : sel.rangeStart;
  const std::uint32_t windowSize = fat32 ? 30 : 10;
  std::uint32_t reserved = fat32 ? 32 : 1;
  for (std::uint32_t i = 0; i < windowSize; ++i) {
    Sector s = readOne(reader, windowFirst + i);
    if (s[0] == 0xF8 && s[1] == 0xFF) {
      reserved = static_cast<std::uint32_t>(windowFirst + i - sel.rangeStart);  // under 60
      break;
    }
  }
  vp.reservedSectors = reserved;
  if (fat32) {
    vp.rootDirStart = 2;
    vp.rootDirSectors = 0;
  } else {
    vp.rootDirSectors = 32;
  }
  const std::uint32_t rootArea = fat32 ? 0 : 32;
  const std::uint32_t invalid = fat32 ? 0xFFFFFFFFu : 0xFFFFu;

  // Two sub-directory heads fix the cluster size and the data area.
  bool haveFirst = false;
  SectorNo s1 = 0;
  std::uint32_t c1 = 0;
  constexpr std::uint32_t kBatch = 128;  // sectors per read; heads are still tested one sector at a time
  std::vector<std::uint8_t> buf(kBatch * kSectorSize);
  // Sectors past the end of the disk hold no directory: a partition entry
  // that claims more than the disk has is read to the disk's end.
  std::uint64_t length = sel.rangeLength;
  const std::uint64_t diskSectors = reader.totalSectors();
  if (diskSectors != 0) length = std::min<std::uint64_t>(length, diskSectors > sel.rangeStart ? diskSectors - sel.rangeStart : 0);
  std::uint64_t done = 0;
  while (done < length) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBatch, length - done));
    std::fill(buf.begin(), buf.begin() + n * kSectorSize, 0);
    reader.readSectors(static_cast<SectorNo>(sel.rangeStart + done), n, buf.data());
    for (std::uint32_t i = 0; i < n; ++i, ++done) {
      if (stop.load() == 1) return false;
      if (done % 500 == 0 && done > 0)
        obs.progress(static_cast<int>(std::min<std::uint64_t>(99, done * 100 / length)));
      Bytes sec(buf.data() + i * kSectorSize, kSectorSize);
      if (!isDirectoryHead(sec)) continue;
      const auto s = static_cast<SectorNo>(sel.rangeStart + done);
      const std::uint32_t c =
          fat32 ? (static_cast<std::uint32_t>(rd16(sec, 20)) << 16) | rd16(sec, 26) : rd16(sec, 26);
      if (!haveFirst) {
        s1 = s;
        c1 = c;
        haveFirst = c1 >= 2 && c1 < invalid;
        continue;
      }
      const SectorNo s2 = s;
      const std::uint32_t c2 = c;
      if (c2 == invalid || c2 <= c1) continue;
      const SectorNo dc = c2 - c1;
      const SectorNo ds = s2 - s1;
      if (ds % dc != 0) continue;
      if (!(c2 < s2 && c2 < s1)) continue;
      if (ds / dc > 128) continue;
      const auto k = static_cast<std::uint32_t>(ds / dc);
      if (!validSectorsPerCluster(k)) continue;
      const SectorNo k64 = k;
      if (k64 * c1 > s1) continue;  // the cluster base would lie before the disk
      // The sectors of the two FATs, from each head: the same when both fit.
      const SectorNo fixed = sel.rangeStart + reserved + rootArea;
      const SectorNo end1 = s1 - k64 * (c1 - 2), end2 = s2 - k64 * (c2 - 2);
      if (end1 < fixed || end1 != end2) continue;
      const SectorNo a1 = end1 - fixed;
      vp.clusterBase = s1 - k64 * c1;
      vp.sectorsPerCluster = k;
      if (a1 / 2 > 0xFFFFFFFFu) continue;
      vp.sectorsPerFat = static_cast<std::uint32_t>(a1 / 2);
      vp.fat1Start = sel.rangeStart + reserved;
      vp.fat2Start = vp.fat1Start + vp.sectorsPerFat;
      if (!fat32) vp.rootDirStart = vp.fat2Start + vp.sectorsPerFat;
      bar.keepStop();  // the walk that follows can be stopped
      return true;
    }
  }
  return false;
}

}  // namespace osprin
