#pragma once
// Small volumes laid out by hand in memory, with the tree that a scan would
// have built for them, for tests of the copy engine that need damage no
// formatting tool produces.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/block_source.h"
#include "disk/faulty_source.h"
#include "disk/sector_reader.h"
#include "recovery/extract.h"
#include "tree/file_list.h"
#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"
#include "volume/volume_params.h"

namespace osprin::test {

class MemDisk {
 public:
  explicit MemDisk(std::size_t sectors) : bytes_(sectors * kSectorSize, '\0') {}
  std::size_t sectors() const { return bytes_.size() / kSectorSize; }
  void put(std::uint64_t offset, const void* p, std::size_t n) {
    if (offset + n <= bytes_.size()) std::memcpy(bytes_.data() + offset, p, n);
  }
  void put16(std::uint64_t offset, std::uint16_t v) {
    std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    put(offset, b, 2);
  }
  std::string get(std::uint64_t offset, std::size_t n) const { return bytes_.substr(offset, n); }
  std::unique_ptr<SectorReader> reader() const {
    return std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(bytes_));
  }
  // A reader whose source fails on purpose; faulty points at that source.
  std::unique_ptr<SectorReader> faultyReader(FaultySource*& faulty) const {
    auto src = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(bytes_));
    faulty = src.get();
    return std::make_unique<SectorReader>(std::move(src));
  }

 private:
  std::string bytes_;
};

// Content of a cluster, different for every cluster number.
inline std::string clusterPattern(std::uint32_t cluster, std::size_t bytes) {
  std::string s(bytes, '\0');
  std::uint32_t x = cluster * 2654435761u + 12345u;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

// A FAT16 volume: two FAT copies from sector 1, then the data clusters, each
// filled with clusterPattern. No boot sector: the tests give VolumeParams.
class CraftedFat {
 public:
  CraftedFat(std::uint32_t sectorsPerCluster, std::uint32_t clusters, std::size_t extraSectors = 0)
      : disk(1 + 2 * kFatSectors + static_cast<std::size_t>(clusters + 2) * sectorsPerCluster + extraSectors),
        clusters_(clusters) {
    vp.fsType = FsType::Fat16;
    vp.sectorsPerCluster = sectorsPerCluster;
    vp.sectorsPerFat = kFatSectors;
    vp.fat1Start = 1;
    vp.fat2Start = 1 + kFatSectors;
    vp.clusterBase = 1 + 2 * kFatSectors;  // clusters 0 and 1 are never data
    for (std::uint32_t c = 2; c < clusters + 2; ++c)
      disk.put(static_cast<std::uint64_t>(vp.clusterSector(c)) * kSectorSize, clusterPattern(c, clusterBytes()).data(),
               clusterBytes());
  }
  std::size_t clusterBytes() const { return vp.sectorsPerCluster * kSectorSize; }

  void setFat(int copy, std::uint32_t cluster, std::uint16_t value) {
    const SectorNo start = copy == 1 ? vp.fat1Start : vp.fat2Start;
    disk.put16(static_cast<std::uint64_t>(start) * kSectorSize + cluster * 2, value);
  }
  // Links the clusters in both FAT copies, ending with end.
  void chain(const std::vector<std::uint32_t>& cs, std::uint16_t end = 0xFFFF) {
    for (int copy = 1; copy <= 2; ++copy)
      for (std::size_t i = 0; i < cs.size(); ++i)
        setFat(copy, cs[i], i + 1 < cs.size() ? static_cast<std::uint16_t>(cs[i + 1]) : end);
  }
  // The bytes of a file stored in these clusters.
  std::string content(const std::vector<std::uint32_t>& cs, std::size_t size) const {
    std::string s;
    for (auto c : cs) s += clusterPattern(c, clusterBytes());
    s.resize(size);
    return s;
  }
  std::uint32_t addFile(const std::string& name, std::uint32_t parent, std::uint32_t first, std::uint32_t size,
                        bool deleted = false, std::uint16_t date = 0x3A21, std::uint16_t time = 0) {
    FatTimes t;
    t.writeDate = t.accessDate = t.createDate = date;
    t.writeTime = time;
    tree.addFatFile(name, first, parent, t, size, deleted);
    return tree.fileCount++;
  }
  void addFolder(const std::string& name, std::uint32_t first, std::uint32_t parent, bool deleted = false) {
    tree.addFatFolder(name, first, parent, 0, 0, deleted);
  }

  static constexpr std::uint32_t kFatSectors = 8;
  MemDisk disk;
  VolumeParams vp;
  FileTree tree;

 private:
  std::uint32_t clusters_;
};

// NTFS records: attributes are built as byte vectors and placed into a
// 1024-byte record with a valid update sequence array.
using Blob = std::vector<std::uint8_t>;

inline void putLE(Blob& b, std::size_t off, std::uint64_t v, int width) {
  if (b.size() < off + static_cast<std::size_t>(width)) b.resize(off + static_cast<std::size_t>(width), 0);
  for (int i = 0; i < width; ++i) b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline Blob attrHeader(std::uint32_t type, bool nonResident, const std::u16string& name, std::size_t fixedSize) {
  Blob a(fixedSize, 0);
  putLE(a, 0, type, 4);
  a[8] = nonResident ? 1 : 0;
  a[9] = static_cast<std::uint8_t>(name.size());
  putLE(a, 10, fixedSize, 2);  // name offset
  for (char16_t c : name) putLE(a, a.size(), c, 2);
  return a;
}

inline void finishAttr(Blob& a) {
  while (a.size() % 8) a.push_back(0);
  putLE(a, 4, a.size(), 4);
}

inline Blob stdInfoAttr() {
  Blob a = attrHeader(0x10, false, u"", 24);
  putLE(a, 16, 48, 4);
  putLE(a, 20, 24, 2);
  a.resize(24 + 48, 0);
  finishAttr(a);
  return a;
}

inline Blob residentData(const std::string& content, const std::u16string& name = u"") {
  Blob a = attrHeader(0x80, false, name, 24);
  const std::size_t value = a.size();  // 24 for an unnamed stream
  putLE(a, 16, content.size(), 4);
  putLE(a, 20, value, 2);
  a.insert(a.end(), content.begin(), content.end());
  finishAttr(a);
  return a;
}

// runs: the encoded run list (without its terminating 0).
inline Blob nonResidentData(const Blob& runs, std::uint64_t realSize, const std::u16string& name = u"") {
  Blob a = attrHeader(0x80, true, name, 64);
  putLE(a, 32, a.size(), 2);  // runs follow the header and the name
  putLE(a, 40, (realSize + 4095) / 4096 * 4096, 8);
  putLE(a, 48, realSize, 8);
  putLE(a, 56, realSize, 8);
  a.insert(a.end(), runs.begin(), runs.end());
  a.push_back(0);
  finishAttr(a);
  return a;
}

// One encoded run: length field of lenWidth bytes, offset of offWidth bytes.
inline Blob run(std::uint64_t length, int lenWidth, std::int64_t offset, int offWidth) {
  Blob r{static_cast<std::uint8_t>(lenWidth | (offWidth << 4))};
  putLE(r, 1, length, lenWidth);
  if (offWidth > 0) putLE(r, 1 + static_cast<std::size_t>(lenWidth), static_cast<std::uint64_t>(offset), offWidth);
  return r;
}
inline Blob cat(std::initializer_list<Blob> parts) {
  Blob out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Blob fileRecord(const std::vector<Blob>& attrs) {
  Blob r(1024, 0);
  std::memcpy(r.data(), "FILE", 4);
  putLE(r, 4, 48, 2);  // update sequence array
  putLE(r, 6, 3, 2);
  putLE(r, 20, 56, 2);  // first attribute
  putLE(r, 22, 1, 2);   // in use
  std::size_t off = 56;
  for (const auto& a : attrs) {
    std::memcpy(r.data() + off, a.data(), a.size());
    off += a.size();
  }
  putLE(r, off, 0xFFFFFFFFu, 4);
  putLE(r, 24, off + 8, 4);
  putLE(r, 28, 1024, 4);
  // Update sequence: the last two bytes of each sector go to the array.
  const std::uint16_t usn = 7;
  putLE(r, 48, usn, 2);
  for (int s = 0; s < 2; ++s) {
    const std::size_t last = static_cast<std::size_t>(s) * 512 + 510;
    r[50 + 2 * static_cast<std::size_t>(s)] = r[last];
    r[51 + 2 * static_cast<std::size_t>(s)] = r[last + 1];
    putLE(r, last, usn, 2);
  }
  return r;
}

// An NTFS volume at sector 0: records in sectors 2 to 63, then clusters of
// sectorsPerCluster filled with clusterPattern.
class CraftedNtfs {
 public:
  CraftedNtfs(std::uint32_t sectorsPerCluster, std::uint32_t clusters)
      : disk(static_cast<std::size_t>(clusters) * sectorsPerCluster),
        firstDataCluster((64 + sectorsPerCluster - 1) / sectorsPerCluster) {
    vp.fsType = FsType::Ntfs;
    vp.sectorsPerCluster = sectorsPerCluster;
    vp.clusterBase = 0;
    vp.sectorsPerMftRecord = 2;
    for (std::uint32_t c = firstDataCluster; c < clusters; ++c)
      disk.put(static_cast<std::uint64_t>(c) * sectorsPerCluster * kSectorSize, clusterPattern(c, clusterBytes()).data(),
               clusterBytes());
  }
  std::size_t clusterBytes() const { return vp.sectorsPerCluster * kSectorSize; }
  std::string content(const std::vector<std::uint32_t>& cs, std::size_t size) const {
    std::string s;
    for (auto c : cs) s += clusterPattern(c, clusterBytes());
    s.resize(size);
    return s;
  }
  // Places a record and returns its sector.
  SectorNo addRecord(const Blob& rec) {
    if (nextRecord_ + 2 > 64) return 0;
    SectorNo s = nextRecord_;
    nextRecord_ += 2;
    disk.put(static_cast<std::uint64_t>(s) * kSectorSize, rec.data(), rec.size());
    return s;
  }
  void addFile(const std::string& name, SectorNo sector, std::uint64_t size, std::uint32_t parent = kNtfsRootRecord,
               bool deleted = false, std::uint64_t created = 0) {
    tree.addNtfsFile(sector, name, 64 + static_cast<std::uint32_t>(tree.ntfsFiles.size()), parent, created, created,
                     deleted, size);
    ++tree.fileCount;
  }
  NtfsFileSet files() { return NtfsFileSet(tree.ntfsFiles, index_); }

  MemDisk disk;
  const std::uint32_t firstDataCluster;
  VolumeParams vp;
  FileTree tree;

 private:
  SectorNo nextRecord_ = 2;
  ParentIndex index_;
};

}  // namespace osprin::test
