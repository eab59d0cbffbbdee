#pragma once
// Hand-made NTFS file records and small in-memory volumes for the record
// routines and the MFT walker.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/types.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"
#include "ntfs/record.h"
#include "volume/volume_params.h"

namespace osprin::test {

// memcpy that accepts an empty source (whose data() may be null).
inline void copyBytes(void* dst, const void* src, std::size_t n) {
  if (n != 0) std::memcpy(dst, src, n);
}

using Record = std::array<std::uint8_t, kMftRecordSize>;

inline void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One run of a run list: cluster offset from the previous run (from 0 for
// the first), cluster count; sparse runs have no offset field.
struct RunPiece {
  std::int64_t delta = 0;
  std::uint64_t clusters = 0;
  bool sparse = false;
};

// Encodes a run list with the smallest field widths (terminated by 0).
inline std::vector<std::uint8_t> encodeRuns(const std::vector<RunPiece>& runs) {
  std::vector<std::uint8_t> out;
  for (const RunPiece& r : runs) {
    unsigned lw = 1;
    while (lw < 8 && (r.clusters >> (8 * lw)) != 0) ++lw;
    unsigned ow = 0;
    if (!r.sparse) {
      ow = 1;
      while (ow < 8) {
        const std::int64_t lo = -(std::int64_t{1} << (8 * ow - 1)), hi = (std::int64_t{1} << (8 * ow - 1)) - 1;
        if (r.delta >= lo && r.delta <= hi) break;
        ++ow;
      }
    }
    out.push_back(static_cast<std::uint8_t>(lw | (ow << 4)));
    for (unsigned i = 0; i < lw; ++i) out.push_back(static_cast<std::uint8_t>(r.clusters >> (8 * i)));
    for (unsigned i = 0; i < ow; ++i)
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(r.delta) >> (8 * i)));
  }
  out.push_back(0);
  return out;
}

inline std::vector<std::uint8_t> utf16(const std::u16string& s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

// Builds a 1024-byte file record attribute by attribute; finish() writes the
// end marker and protects the sector ends with the update sequence.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint8_t flags = 1, std::uint32_t baseRecord = 0) {
    std::memcpy(r_.data(), "FILE", 4);
    put16(&r_[4], 48);  // update sequence array
    put16(&r_[6], 3);
    put16(&r_[20], 56);  // first attribute
    r_[22] = flags;
    put16(&r_[28], 1024);
    put32(&r_[32], baseRecord);
  }

  RecordBuilder& fileName(const std::u16string& name, std::uint8_t nameSpace, std::uint32_t parent,
                          std::uint64_t created = 0, std::uint64_t changed = 0) {
    std::vector<std::uint8_t> v(66, 0);
    put64(&v[0], parent | (std::uint64_t{1} << 48));
    put64(&v[8], created);
    put64(&v[16], changed);  // last write, shown as modified
    put64(&v[24], changed);
    v[64] = static_cast<std::uint8_t>(name.size());
    v[65] = nameSpace;
    auto n = utf16(name);
    v.insert(v.end(), n.begin(), n.end());
    return resident(0x30, v);
  }

  RecordBuilder& resident(std::uint32_t type, const std::vector<std::uint8_t>& value,
                          const std::u16string& attrName = u"") {
    auto name = utf16(attrName);
    const std::size_t valueOff = align8(24 + name.size());
    const std::size_t len = align8(valueOff + value.size());
    std::uint8_t* a = begin(len);
    put32(a, type);
    put32(a + 4, static_cast<std::uint32_t>(len));
    a[8] = 0;
    a[9] = static_cast<std::uint8_t>(attrName.size());
    put16(a + 10, 24);
    put32(a + 16, static_cast<std::uint32_t>(value.size()));
    put16(a + 20, static_cast<std::uint16_t>(valueOff));
    copyBytes(a + 24, name.data(), name.size());
    copyBytes(a + valueOff, value.data(), value.size());
    return *this;
  }

  RecordBuilder& nonResident(std::uint32_t type, std::uint64_t realSize, const std::vector<std::uint8_t>& runs,
                             const std::u16string& attrName = u"", std::uint64_t lowestVcn = 0) {
    auto name = utf16(attrName);
    const std::size_t runOff = align8(64 + name.size());
    const std::size_t len = align8(runOff + runs.size());
    std::uint8_t* a = begin(len);
    put32(a, type);
    put32(a + 4, static_cast<std::uint32_t>(len));
    a[8] = 1;
    a[9] = static_cast<std::uint8_t>(attrName.size());
    put16(a + 10, 64);
    put64(a + 16, lowestVcn);
    put16(a + 32, static_cast<std::uint16_t>(runOff));
    put64(a + 40, (realSize + 4095) / 4096 * 4096);
    put64(a + 48, realSize);
    put64(a + 56, realSize);
    copyBytes(a + 64, name.data(), name.size());
    copyBytes(a + runOff, runs.data(), runs.size());
    return *this;
  }

  // A resident data attribute of `size` bytes (value filled with 'd').
  RecordBuilder& data(std::uint32_t size, const std::u16string& streamName = u"") {
    return resident(0x80, std::vector<std::uint8_t>(size, 'd'), streamName);
  }

  // A resident attribute list: (type, record) per entry.
  RecordBuilder& attributeList(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
    return resident(0x20, listValue(entries));
  }

  static std::vector<std::uint8_t> listValue(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
    std::vector<std::uint8_t> v;
    for (auto [type, rec] : entries) {
      std::uint8_t e[32] = {};
      put32(e, type);
      put16(e + 4, 32);
      e[7] = 26;
      put64(e + 16, rec | (std::uint64_t{1} << 48));
      v.insert(v.end(), e, e + 32);
    }
    return v;
  }

  // Raw bytes as the next attribute (for damaged layouts).
  RecordBuilder& raw(const std::vector<std::uint8_t>& bytes) {
    std::uint8_t* a = begin(bytes.size());
    copyBytes(a, bytes.data(), bytes.size());
    return *this;
  }

  std::size_t position() const { return pos_; }
  Record& bytes() { return r_; }

  // The record as it is in memory after the fixup (end marker written).
  Record plain() {
    Record out = r_;
    if (pos_ + 4 <= out.size()) put32(&out[pos_], 0xFFFFFFFF);
    return out;
  }

  // The record as it is on disk: sector ends replaced by the check value.
  Record finish(std::uint16_t usn = 0x0707) {
    Record out = plain();
    put16(&out[48], usn);
    for (int i = 0; i < 2; ++i) {
      out[50 + 2 * i] = out[512 * i + 510];
      out[51 + 2 * i] = out[512 * i + 511];
      put16(&out[512 * i + 510], usn);
    }
    return out;
  }

 private:
  static std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
  std::uint8_t* begin(std::size_t len) {
    if (pos_ + len + 8 > r_.size()) throw std::runtime_error("record full");
    std::uint8_t* a = &r_[pos_];
    pos_ += len;
    return a;
  }
  Record r_{};
  std::size_t pos_ = 56;
};

// An in-memory disk whose sectors are filled in by the test.
class SynthDisk {
 public:
  explicit SynthDisk(std::size_t sectors) : bytes_(sectors * kSectorSize, '\0') {}
  void put(SectorNo sector, const std::uint8_t* data, std::size_t len) {
    copyBytes(bytes_.data() + std::size_t{sector} * kSectorSize, data, len);
  }
  void putRecord(SectorNo sector, const Record& r) { put(sector, r.data(), r.size()); }
  std::string& bytes() { return bytes_; }
  std::unique_ptr<SectorReader> reader() const {
    return std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(bytes_));
  }

 private:
  std::string bytes_;
};

// A volume whose MFT (records of 1024 bytes, 2 sectors per cluster) lies in
// the given runs. records[n] is written where record n belongs; record 0
// gets a data attribute describing the runs unless the test wrote one.
struct SynthVolume {
  std::uint32_t sectorsPerCluster = 2;
  std::vector<RunPiece> mftRuns;         // in clusters, as in the run list
  std::vector<std::pair<std::uint32_t, Record>> records;  // raw (finished) records by number

  // Absolute cluster of each run (0 for sparse).
  std::vector<std::pair<std::int64_t, std::uint64_t>> absolute() const {
    std::vector<std::pair<std::int64_t, std::uint64_t>> out;
    std::int64_t lcn = 0;
    for (auto& r : mftRuns) {
      if (r.sparse) {
        out.push_back({-1, r.clusters});
      } else {
        lcn += r.delta;
        out.push_back({lcn, r.clusters});
      }
    }
    return out;
  }
  // Sector of an offset (in sectors) into the MFT; 0 when none.
  SectorNo sectorOf(std::uint64_t off) const {
    for (auto [lcn, clusters] : absolute()) {
      const std::uint64_t len = clusters * sectorsPerCluster;
      if (off < len) return lcn < 0 ? 0 : static_cast<SectorNo>(lcn * sectorsPerCluster + off);
      off -= len;
    }
    return 0;
  }
  SectorNo recordSector(std::uint32_t n) const { return sectorOf(std::uint64_t{2} * n); }

  std::unique_ptr<SectorReader> build(std::size_t diskSectors, VolumeParams& vp) const {
    SynthDisk disk(diskSectors);
    for (auto& [n, rec] : records) {
      for (int half = 0; half < 2; ++half) {
        SectorNo s = sectorOf(std::uint64_t{2} * n + half);
        if (s != 0) disk.put(s, rec.data() + half * kSectorSize, kSectorSize);
      }
    }
    vp = VolumeParams{};
    vp.fsType = FsType::Ntfs;
    vp.sectorsPerCluster = sectorsPerCluster;
    vp.clusterBase = 0;
    vp.mftStart = recordSector(0);
    vp.sectorsPerMftRecord = 2;
    return disk.reader();
  }

  // Record 0 with a data attribute for mftRuns.
  Record mftRecord() const {
    RecordBuilder b(1);
    b.fileName(u"$MFT", 3, 5);
    std::uint64_t clusters = 0;
    for (auto& r : mftRuns) clusters += r.clusters;
    b.nonResident(0x80, clusters * sectorsPerCluster * kSectorSize, encodeRuns(mftRuns));
    return b.finish();
  }
};

}  // namespace osprin::test
