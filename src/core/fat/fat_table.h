#pragma once
// The file allocation table of a FAT16, FAT32 or exFAT volume: entries and
// the chains they link. The one reader of the table that folders, recovery
// and the verdicts follow.
#include <cstdint>
#include <functional>
#include <vector>

#include "common/bytes.h"
#include "common/types.h"
#include "disk/sector_reader.h"

namespace osprin {

// Entries per 512-byte unit of the table.
constexpr std::uint32_t fatEntriesPerUnit(bool fat32) { return fat32 ? 128 : 256; }

// The value of cluster's entry in one 512-byte unit of the table, whole
// (a FAT32 entry's top four bits included).
std::uint32_t fatEntryIn(Bytes unit, std::uint32_t cluster, bool fat32);

// True when an entry links on to a next cluster. A chain ends at 0 or 1,
// at 0x0FFFFFFF or above for FAT32 (the top four bits taken with the rest),
// and at 0xFFFF for FAT16; 0xFFF8 to 0xFFFE are followed as cluster numbers
// (a table too small to hold such a cluster ends the chain there).
constexpr bool fatLinksOn(std::uint32_t v, bool fat32) { return v >= 2 && (fat32 ? v < 0x0FFFFFFFu : v != 0xFFFFu); }
// exFAT's entries are 32 bits whole: 0xFFFFFFF7 marks a bad cluster and
// 0xFFFFFFF8 and above end the chain.
constexpr bool exfatLinksOn(std::uint32_t v) { return v >= 2 && v < 0xFFFFFFF7u; }

// One copy of the table, read a 512-byte unit at a time (the last one read
// is kept for the next entry).
class FatTable {
 public:
  // start: the table's first unit (0: no table); units: its length (0:
  // unknown, not checked).
  // fs: FsType::Fat16, Fat32 or Exfat (the entries' width and end marks).
  FatTable(SectorReader& reader, SectorNo start, std::uint64_t units, FsType fs)
      : reader_(reader), start_(start), units_(units), fat32_(fs != FsType::Fat16), exfat_(fs == FsType::Exfat) {}

  // The entry of cluster; false when it lies past the table or its unit
  // cannot be read.
  bool entry(std::uint32_t cluster, std::uint32_t& value);

  struct Chain {
    std::vector<std::uint32_t> clusters;  // first included
    bool unreadable = false;              // a unit of the table could not be read
  };
  // The chain from first: it ends at an entry that does not link on, at a
  // cluster past the table, at a cluster already in the chain (a loop), at
  // an unreadable unit, after maxClusters clusters, or when stop() says so.
  Chain follow(std::uint32_t first, std::uint64_t maxClusters, const std::function<bool()>& stop = {});

 private:
  SectorReader& reader_;
  SectorNo start_;
  std::uint64_t units_;
  bool fat32_;
  bool exfat_;
  std::uint64_t cached_ = UINT64_MAX;
  bool cachedOk_ = false;
  std::uint8_t unit_[kSectorSize] = {};
};

}  // namespace osprin
