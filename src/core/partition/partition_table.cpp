#include "partition/partition_table.h"

#include <array>
#include <set>

#include "common/bytes.h"
#include "common/text.h"

namespace osprin {

namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;

// Boot-sector texts before the type byte; 0x01 counts only inside an
// extended partition.
FsType classify(std::uint8_t type, const Sector& boot, bool extended) {
  Bytes b(boot);
  if (hasText(b, 82, "FAT32")) return FsType::Fat32;
  if (hasText(b, 54, "FAT16")) return FsType::Fat16;
  if (hasText(b, 3, "NTFS")) return FsType::Ntfs;
  switch (type) {
    case 0x04: case 0x06: case 0x0E: return FsType::Fat16;
    case 0x0B: case 0x0C: return FsType::Fat32;
    case 0x07: return FsType::Ntfs;
    case 0x01: return extended ? FsType::Fat16 : FsType::None;
    default: return FsType::None;
  }
}

bool isExtendedType(std::uint8_t t) { return t == 0x05 || t == 0x0F; }

}  // namespace

std::string partitionLabel(std::size_t index, const PartitionEntry& e) {
  return "Partition " + std::to_string(index + 1) + " - " + std::string(fsTypeText(e.fsType));
}

std::vector<PartitionEntry> readPartitionTable(SectorReader& reader, SectorNo tableSector) {
  std::vector<PartitionEntry> list;
  Sector table{}, boot{};
  reader.readSectors(tableSector, 1, table.data());
  if (!hasBootSignature(Bytes(table))) return list;

  bool haveExtended = false;
  SectorNo extStart = 0;
  for (int i = 0; i < 4 && list.size() < kMaxPartitions; ++i) {
    std::size_t e = 446 + 16 * static_cast<std::size_t>(i);
    std::uint8_t t = table[e + 4];
    if (t == 0) continue;
    SectorNo first = rd32(Bytes(table), e + 8);
    boot.fill(0);  // an unreadable boot sector is classified by its type byte alone
    reader.readSectors(first, 1, boot.data());
    FsType fs = classify(t, boot, false);
    if (fs != FsType::None) list.push_back({first, rd32(Bytes(table), e + 12), fs});
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
    reader.readSectors(here, 1, table.data());
    link = false;
    for (int i = 0; i < 2 && list.size() < kMaxPartitions; ++i) {
      std::size_t e = 446 + 16 * static_cast<std::size_t>(i);
      std::uint8_t t = table[e + 4];
      if (t == 0) continue;
      SectorNo rel = rd32(Bytes(table), e + 8);
      boot.fill(0);
      if (!isExtendedType(t)) reader.readSectors(here + rel, 1, boot.data());
      FsType fs = classify(t, boot, true);
      if (fs != FsType::None) list.push_back({here + rel, rd32(Bytes(table), e + 12), fs});
      if (isExtendedType(t)) {
        link = true;
        o = rel;
      }
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
