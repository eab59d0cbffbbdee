#pragma once
// Small FAT volumes built byte by byte in memory, for the cases that real
// tools do not make: damaged chains, names across cluster boundaries,
// crafted boot sectors, and large directories made quickly.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"

namespace osprin::test {

class SynthFat {
 public:
  // A volume of totalSectors at sector 0 with two FAT copies.
  SynthFat(FsType fs, std::uint32_t totalSectors, std::uint32_t spc, std::uint32_t reserved, std::uint32_t spf,
           std::uint32_t rootEntries = 512)
      : fs_(fs), spc_(spc), reserved_(reserved), spf_(spf),
        rootSectors_(fs == FsType::Fat16 ? rootEntries / 16 : 0),
        bytes_(static_cast<std::size_t>(totalSectors) * kSectorSize, '\0') {
    std::uint8_t* b = sector(0);
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(b + 3, "SYNTHFAT", 8);
    put16(b + 11, 512);
    b[13] = static_cast<std::uint8_t>(spc);
    put16(b + 14, static_cast<std::uint16_t>(reserved));
    b[16] = 2;
    b[21] = 0xF8;
    put32(b + 32, totalSectors);
    if (fs == FsType::Fat16) {
      put16(b + 17, static_cast<std::uint16_t>(rootEntries));
      put16(b + 22, static_cast<std::uint16_t>(spf));
      std::memcpy(b + 54, "FAT16   ", 8);
    } else {
      put32(b + 36, spf);
      put32(b + 44, 2);
      put16(b + 48, 1);
      put16(b + 50, 6);
      std::memcpy(b + 82, "FAT32   ", 8);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    if (fs == FsType::Fat32) std::memcpy(sector(6), b, kSectorSize);  // backup boot sector
    setFat(0, fs == FsType::Fat16 ? 0xFFF8 : 0x0FFFFFF8);
    setFat(1, fs == FsType::Fat16 ? 0xFFFF : 0x0FFFFFFF);
  }

  std::uint32_t dataStart() const { return reserved_ + 2 * spf_ + rootSectors_; }
  std::uint32_t rootStart() const { return reserved_ + 2 * spf_; }  // FAT16 root directory
  std::uint32_t clusterSector(std::uint32_t c) const { return dataStart() + (c - 2) * spc_; }
  std::uint32_t totalSectors() const { return static_cast<std::uint32_t>(bytes_.size() / kSectorSize); }

  std::uint8_t* sector(std::uint32_t s) { return reinterpret_cast<std::uint8_t*>(bytes_.data()) + std::size_t{s} * kSectorSize; }
  // Entry i of a directory that starts at sector first (i may run past the
  // first sector: the directory's sectors are taken as consecutive).
  std::uint8_t* entry(std::uint32_t first, std::uint32_t i) { return sector(first) + std::size_t{i} * 32; }

  // Sets the entry of cluster c in both FAT copies.
  void setFat(std::uint32_t c, std::uint32_t v) {
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
      const std::size_t width = fs_ == FsType::Fat16 ? 2 : 4;
      const std::size_t off = (std::size_t{reserved_} + copy * spf_) * kSectorSize + std::size_t{c} * width;
      if (off + width > bytes_.size()) continue;  // a FAT that runs past the image
      std::uint8_t* p = reinterpret_cast<std::uint8_t*>(bytes_.data()) + off;
      if (fs_ == FsType::Fat16)
        put16(p, static_cast<std::uint16_t>(v));
      else
        put32(p, v);
    }
  }
  // Links clusters into a chain ending with an end mark.
  void chain(const std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i)
      setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : (fs_ == FsType::Fat16 ? 0xFFFF : 0x0FFFFFFF));
  }

  // An 8.3 entry; name11 is the 11-byte padded name ("FILE    TXT").
  static void shortEntry(std::uint8_t* e, std::string_view name11, std::uint8_t attr, std::uint32_t cluster,
                         std::uint32_t size, std::uint16_t date = 0x3C21) {
    std::memset(e, ' ', 11);
    std::memcpy(e, name11.data(), std::min<std::size_t>(11, name11.size()));
    e[11] = attr;
    put16(e + 18, date);
    put16(e + 20, static_cast<std::uint16_t>(cluster >> 16));
    put16(e + 24, date);
    put16(e + 26, static_cast<std::uint16_t>(cluster & 0xFFFF));
    put32(e + 28, size);
  }
  // Writes the long-name entries of units followed by the 8.3 entry, from
  // entry index i of the directory at sector first; returns the next index.
  // Entries are placed in disk order: last part first.
  std::uint32_t longEntry(std::uint32_t first, std::uint32_t i, const std::u16string& units, std::string_view name11,
                          std::uint8_t attr, std::uint32_t cluster, std::uint32_t size) {
    const std::size_t parts = (units.size() + 13) / 13;  // room for the terminating 0 unless a multiple of 13
    const std::size_t n = units.size() % 13 == 0 ? units.size() / 13 : parts;
    for (std::size_t k = n; k-- > 0;) {
      std::uint8_t* e = entry(first, i++);
      writeLongPart(e, units, k, k + 1 == n);
    }
    shortEntry(entry(first, i++), name11, attr, cluster, size);
    return i;
  }
  // One long-name part k (0-based) of units, with the last-part mark.
  static void writeLongPart(std::uint8_t* e, const std::u16string& units, std::size_t k, bool last,
                            int ordinal = -1) {
    static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::memset(e, 0, 32);
    e[0] = static_cast<std::uint8_t>(ordinal >= 0 ? ordinal : (k + 1) | (last ? 0x40 : 0));
    e[11] = 0x0F;
    for (int j = 0; j < 13; ++j) {
      std::size_t u = k * 13 + static_cast<std::size_t>(j);
      std::uint16_t v = u < units.size() ? units[u] : (u == units.size() ? 0 : 0xFFFF);
      put16(e + offs[j], v);
    }
  }
  // "." and ".." at the start of a sub-directory's first sector.
  void dotEntries(std::uint32_t cluster, std::uint32_t parent) {
    shortEntry(entry(clusterSector(cluster), 0), ".", 0x10, cluster, 0);
    shortEntry(entry(clusterSector(cluster), 1), "..", 0x10, parent, 0);
  }

  std::unique_ptr<SectorReader> reader() const {
    return std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(bytes_));
  }
  std::string& bytes() { return bytes_; }

  static void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
  }
  static void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }

 private:
  FsType fs_;
  std::uint32_t spc_, reserved_, spf_, rootSectors_;
  std::string bytes_;
};

}  // namespace osprin::test
