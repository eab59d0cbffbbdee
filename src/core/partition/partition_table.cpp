#include "partition/partition_table.h"

#include <array>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "exfat/boot_sector.h"
#include "fat/boot_sector.h"
#include "mbr/mbr.h"
#include "ntfs/boot_sector.h"

namespace osprin {

namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;

// Boot-sector texts before the type byte; 0x01 counts only inside an
// extended partition.
FsType classify(std::uint8_t type, const Sector& boot, bool extended) {
  Bytes b(boot);
  const FatBootSector fat = readFatBootSector(b);
  if (fat.fat32Text) return FsType::Fat32;
  if (fat.fat16Text) return FsType::Fat16;
  if (hasText(b, 3, "NTFS")) return FsType::Ntfs;
  // exFAT shares type 0x07 with NTFS: its boot sector tells them apart.
  if (hasExfatName(b)) return FsType::Exfat;
  switch (type) {
    case 0x04: case 0x06: case 0x0E: return FsType::Fat16;
    case 0x0B: case 0x0C: return FsType::Fat32;
    case 0x07: return FsType::Ntfs;
    case 0x01: return extended ? FsType::Fat16 : FsType::None;
    default: return FsType::None;
  }
}

}  // namespace

BareVolume bareVolumeAt(Bytes s) {
  BareVolume v;
  if (!hasBootSignature(s)) return v;
  const std::uint8_t jump = rd8(s, 0);
  if (jump != 0xEB && jump != 0xE9) return v;
  if (const auto ex = readExfatBootSector(s)) {
    if (ex->volumeLength >= kSectorNoLimit / ex->units()) return v;
    v.bytesPerSector = ex->bytesPerSector();
    v.fsType = FsType::Exfat;
    v.length = static_cast<SectorNo>(ex->volumeLength * ex->units());
    return v;
  }
  const std::uint32_t bytesPerSector = rd16(s, 11);
  if (!isSectorSize(bytesPerSector)) return v;
  v.bytesPerSector = bytesPerSector;
  const std::uint32_t units = bytesPerSector / kSectorSize;
  if (hasText(s, 3, "NTFS    ")) {
    // Clusters of 64 KiB to 2 MiB have their own code in byte 13.
    const std::uint64_t total = rd64(s, 40);
    if (ntfsSectorsPerCluster(rd8(s, 13)) == 0 || total == 0 || total >= kSectorNoLimit / units) return v;
    v.fsType = FsType::Ntfs;
    v.length = static_cast<SectorNo>((total + 1) * units);  // the backup boot sector follows the counted sectors
    return v;
  }
  // FAT12 volumes are read as FAT16, as the rest of the program reads them.
  const FatBootSector fat = readFatBootSector(s);
  v.fsType = fatBootSectorType(fat);
  if (v.fsType != FsType::None) v.length = SectorNo{fat.totalSectors} * units;
  return v;
}

bool isConsistentTable(Bytes s, std::uint64_t diskSectors) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  for (const MbrSlot& e : readMbrSlots(s)) {
    const std::uint64_t first = e.firstLba, length = e.sectorCount;
    if (e.empty()) {
      if (e.bootFlag != 0 || first != 0 || length != 0) return false;
      continue;
    }
    if (e.bootFlag != 0x00 && e.bootFlag != 0x80) return false;
    if (!isKnownPartitionType(e.type) || first == 0 || length == 0) return false;
    if (diskSectors != 0 && first + length > diskSectors) return false;
    for (auto [a, b] : used)
      if (first < b && a < first + length) return false;
    used.emplace_back(first, first + length);
  }
  return !used.empty();
}

std::string partitionBeyondDiskWarning(const PartitionEntry& e, std::uint64_t diskUnits, std::uint32_t unitsPerSector) {
  const std::uint64_t end = std::uint64_t{e.start} + e.length;
  if (diskUnits == 0 || end <= diskUnits) return {};
  const std::uint64_t u = unitsPerSector == 0 ? 1 : unitsPerSector;
  return "The partition at sector " + dec(e.start / u) + " claims " + dec(e.length / u) + " sectors (to sector " +
         dec((end - 1) / u) + "), but the disk has only " + dec(diskUnits / u) + " sectors";
}

std::string partitionLabel(std::size_t index, const PartitionEntry& e) {
  return "Partition " + std::to_string(index + 1) + " - " +
         (e.fsType == FsType::None ? std::string("Unknown") : std::string(fsTypeText(e.fsType)));
}

std::vector<PartitionEntry> gptPartitions(SectorReader& reader, const gpt::Table& table) {
  std::vector<PartitionEntry> list;
  Sector boot{};
  const std::uint32_t units = reader.unitsPerSector();
  for (const gpt::Entry& g : table.entries) {
    // Sectors past any disk cannot be selected.
    if (g.lastLba >= kSectorNoLimit / units) continue;
    PartitionEntry e;
    e.start = static_cast<SectorNo>(g.firstLba * units);
    e.length = static_cast<SectorNo>((g.lastLba - g.firstLba + 1) * units);
    e.name = g.name;
    e.typeGuid = g.typeGuid.text();
    boot.fill(0);  // an unreadable first sector holds no file system
    reader.readSectorsClearing(e.start, 1, boot.data());
    e.fsType = bareVolumeAt(Bytes(boot)).fsType;
    list.push_back(std::move(e));
  }
  return list;
}

namespace {

// The GPT of a disk whose sector 0 is a protective or hybrid MBR (mbr).
// Empty with a warning when neither header can be used; a hybrid MBR then
// gives its own entries (hybrid set).
std::vector<PartitionEntry> readGptOf(SectorReader& reader, std::vector<std::string>* warnings, bool& useMbr,
                                      bool hybrid) {
  useMbr = false;
  std::string why;
  const auto table = gpt::readTable(reader, &why);
  if (!table) {
    useMbr = hybrid;
    if (warnings)
      warnings->push_back("Sector 0 announces a GPT, but " + why +
                          (hybrid ? "; the partitions come from the MBR entries." : "; no partition is listed from it."));
    return {};
  }
  if (table->fromBackup && warnings) warnings->push_back(gpt::backupWarning(*table));
  return gptPartitions(reader, *table);
}

}  // namespace

std::vector<PartitionEntry> readPartitionTable(SectorReader& reader, SectorNo tableSector,
                                               std::vector<std::string>* warnings) {
  std::vector<PartitionEntry> list;
  Sector table{}, boot{};
  reader.readSectors(tableSector, 1, table.data());
  if (!hasBootSignature(Bytes(table))) return list;

  // A volume formatted without a partition table: its boot code is no
  // table. Listed as the one volume from this sector to its own end.
  if (const BareVolume bare = bareVolumeAt(Bytes(table));
      bare.fsType != FsType::None && !isConsistentTable(Bytes(table), reader.diskSectors())) {
    list.push_back({tableSector, bare.length, bare.fsType});
    return list;
  }

  // A protective MBR, or a hybrid one: the GPT is authoritative.
  if (tableSector == 0 && gpt::hasProtectiveEntry(Bytes(table))) {
    bool useMbr = false;
    list = readGptOf(reader, warnings, useMbr, !gpt::isProtectiveOnly(Bytes(table)));
    if (!useMbr) return list;
  }

  // Entries count the disk's own sectors; the list counts 512-byte units.
  const SectorNo units = reader.unitsPerSector();
  bool haveExtended = false;
  SectorNo extStart = 0;
  for (const MbrSlot& e : readMbrSlots(Bytes(table))) {
    if (list.size() >= kMaxPartitions) break;
    const std::uint8_t t = e.type;
    if (t == 0) continue;
    const SectorNo first = e.firstLba;
    boot.fill(0);  // an unreadable boot sector is classified by its type byte alone
    reader.readSectors(first * units, 1, boot.data());
    FsType fs = classify(t, boot, false);
    if (fs != FsType::None) list.push_back({first * units, e.sectorCount * units, fs});
    if (isExtendedType(t)) {
      haveExtended = true;
      extStart = first;
    }
  }
  if (!haveExtended) return list;

  // The extended chain: data entries are relative to their record, links to
  // the start of the outermost extended partition. A link to a record that
  // was already read would never end, so the walk refuses it.
  std::set<SectorNo> visited;
  SectorNo o = 0;
  bool link = true;
  while (link && list.size() < kMaxPartitions) {
    SectorNo here = extStart + o;
    if (!visited.insert(here).second) break;
    table.fill(0);
    reader.readSectors(here * units, 1, table.data());
    // Any of the four slots may hold a logical partition or the link to the
    // next record (the first link counts), as The Sleuth Kit reads them.
    link = false;
    for (const MbrSlot& e : readMbrSlots(Bytes(table))) {
      if (list.size() >= kMaxPartitions) break;
      const std::uint8_t t = e.type;
      if (t == 0) continue;
      const SectorNo rel = e.firstLba;
      boot.fill(0);
      if (!isExtendedType(t)) reader.readSectors((here + rel) * units, 1, boot.data());
      FsType fs = classify(t, boot, true);
      if (fs != FsType::None) list.push_back({(here + rel) * units, e.sectorCount * units, fs});
      if (isExtendedType(t) && !link) {
        link = true;
        o = rel;
      }
    }
  }
  return list;
}

std::vector<PartitionEntry> readPartitionTables(SectorReader& reader, std::vector<std::string>* warnings) {
  std::vector<PartitionEntry> list;
  bool first = true;
  for (SectorNo tableSector : {0u, 0u, 61u, 62u}) {
    // Warnings of the first read only: the second read of sector 0 would repeat them.
    list = readPartitionTable(reader, tableSector, first ? warnings : nullptr);
    first = false;
    if (!list.empty()) return list;
  }
  // Sector 0 gone (no signature) but a GPT behind it.
  Sector mbr{};
  reader.readSectorsClearing(0, 1, mbr.data());
  if (hasBootSignature(Bytes(mbr))) return list;
  if (const auto table = gpt::readTable(reader)) {
    list = gptPartitions(reader, *table);
    if (!list.empty() && warnings) {
      warnings->push_back("Sector 0 holds no protective MBR; the partitions come from the GPT header at sector " +
                          dec(table->headerLba) + ".");
      if (table->fromBackup) warnings->push_back(gpt::backupWarning(*table));
    }
  }
  return list;
}

std::vector<PanelRow> partitionInfoPanel(FsType fsType, SectorNo rangeStart, SectorNo rangeEnd, SectorNo rangeLength) {
  return {{"Partition Type", std::string(fsTypeText(fsType))},
          {"Partition Start", dec(rangeStart)},
          {"Partition End", dec(rangeEnd)},
          {"Partition Size", dec(rangeLength / 2048) + " MB ( Aprox )"}};
}

}  // namespace osprin
