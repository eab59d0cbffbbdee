#include "ntfs/record.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "ntfs/data_attr.h"
#include "ntfs/run_list.h"
#include "ntfs/record_header.h"

namespace osprin {

namespace {

constexpr std::uint32_t kAttrList = 0x20;
constexpr std::uint32_t kAttrFileName = 0x30;
constexpr std::uint32_t kAttrData = 0x80;

// Attribute lists are limited to 256 KiB by the file system; a larger
// length in a damaged record is not believed.
constexpr std::uint64_t kMaxAttrListBytes = 256 * 1024;
constexpr std::size_t kMaxAttrListRuns = 300;
constexpr std::size_t kMaxMftListRecords = 100;

bool isEndMarker(std::uint32_t type) { return type == 0 || type == 0xFFFFFFFF; }

// First attribute of a type; -1 when none.
std::int64_t findAttribute(Bytes rec, std::uint32_t wanted) {
  std::int64_t found = -1;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t) {
    if (type != wanted) return false;
    found = static_cast<std::int64_t>(p);
    return true;
  });
  return found;
}

// The bytes of the attribute at p, cut at the end of the record.
Bytes attributeBytes(Bytes rec, std::size_t p) {
  const std::size_t len = std::min<std::size_t>(rd32(rec, p + 4), rec.size() - p);
  return rec.subspan(p, len);
}

struct SectorRun {
  SectorNo start = 0;  // 0 for a sparse run
  std::uint32_t length = 0;
};

// The runs of the non-resident attribute at attr as runs of sectors (the
// run list's clusters from cluster 0 at clusterBase). The list ends where
// the run list ends, at a run whose sector count does not fit 32 bits, at a
// run outside any disk, or after maxRuns.
void decodeSectorRuns(Bytes rec, std::size_t attr, SectorNo clusterBase, std::uint32_t sectorsPerCluster,
                      std::size_t maxRuns, std::vector<SectorRun>& out) {
  for (const DataRun& r : decodeDataRuns(rec, attr, maxRuns).runs) {
    const std::uint64_t sectors = r.length * sectorsPerCluster;
    if (r.length > std::numeric_limits<std::uint32_t>::max() || sectors > std::numeric_limits<std::uint32_t>::max())
      break;
    SectorRun run;
    run.length = static_cast<std::uint32_t>(sectors);
    if (!r.sparse) {
      const auto cluster = static_cast<std::uint64_t>(r.startCluster);
      if (sectorsPerCluster != 0 && cluster >= (kSectorNoLimit - clusterBase) / sectorsPerCluster) break;
      run.start = clusterBase + cluster * sectorsPerCluster;
    }
    out.push_back(run);
  }
}

// The value of an attribute list, resident or (with a reader) non-resident.
std::vector<std::uint8_t> attributeListValue(SectorReader* reader, SectorNo clusterBase,
                                             std::uint32_t sectorsPerCluster, Bytes rec, std::size_t attr) {
  std::vector<std::uint8_t> value;
  Bytes a = attributeBytes(rec, attr);
  if (rd8(a, 8) == 0) {
    const std::size_t off = rd16(a, 20);
    if (off == 0 || off >= a.size()) return value;
    const std::size_t len = std::min<std::size_t>(rd32(a, 16), a.size() - off);
    value.assign(a.begin() + static_cast<std::ptrdiff_t>(off), a.begin() + static_cast<std::ptrdiff_t>(off + len));
    return value;
  }
  if (!reader) return value;
  const std::uint64_t size = std::min(rd64(a, 48), kMaxAttrListBytes);
  std::vector<SectorRun> runs;
  decodeSectorRuns(rec, attr, clusterBase, sectorsPerCluster, kMaxAttrListRuns, runs);
  value.reserve(static_cast<std::size_t>(size));
  for (const SectorRun& run : runs) {
    if (value.size() >= size) break;
    const std::uint64_t want = (size - value.size() + kSectorSize - 1) / kSectorSize;
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(want, run.length));
    const std::size_t at = value.size();
    value.resize(at + std::size_t{count} * kSectorSize, 0);
    if (run.start != 0) reader->readSectors(run.start, count, value.data() + at);
  }
  if (value.size() > size) value.resize(static_cast<std::size_t>(size));
  return value;
}

// Calls f(type, record number) for each entry of an attribute-list value
// until f returns true or the entries end.
template <class F>
void forEachListEntry(Bytes list, F f) {
  std::size_t q = 0;
  while (q < list.size() && list.size() - q >= 20) {
    const std::uint32_t type = rd32(list, q);
    if (isEndMarker(type)) return;
    if (f(type, rd32(list, q + 16))) return;
    const std::uint16_t len = rd16(list, q + 4);
    if (len == 0) return;
    q += len;
  }
}

void appendRefs(Bytes list, std::vector<std::uint32_t>& refs) {
  forEachListEntry(list, [&](std::uint32_t, std::uint32_t ref) {
    if (refs.size() >= kMaxRecordRefs) return true;
    if (std::find(refs.begin(), refs.end(), ref) == refs.end()) refs.push_back(ref);
    return refs.size() >= kMaxRecordRefs;
  });
}


void appendMftDataRuns(Bytes rec, SectorNo clusterBase, std::uint32_t sectorsPerCluster, MftRuns& runs) {
  const std::int64_t a = findAttribute(rec, kAttrData);
  if (a < 0) return;
  std::vector<SectorRun> decoded;
  decodeSectorRuns(rec, static_cast<std::size_t>(a), clusterBase, sectorsPerCluster,
                   std::numeric_limits<std::size_t>::max(), decoded);
  for (const SectorRun& r : decoded) {
    runs.runStart.push_back(r.start);
    runs.runLength.push_back(r.length);
  }
}

}  // namespace

std::uint32_t recordUnits(Bytes rec) {
  const std::uint32_t bytes = rd32(rec, ntfsrec::kAllocatedSize);
  return bytes == 1024 || bytes == 2048 || bytes == 4096 ? bytes / kSectorSize : 2;
}

bool readRecordAt(SectorReader& reader, SectorNo sector, std::span<std::uint8_t> out) {
  std::fill(out.begin(), out.end(), 0);
  if (out.size() < kMftRecordSize) return false;
  reader.readSectors(sector, 2, out.data());
  if (!hasText(out, 0, "FILE")) return false;
  const std::uint32_t units =
      std::min<std::uint32_t>(recordUnits(out), static_cast<std::uint32_t>(out.size() / kSectorSize));
  if (units > 2) reader.readSectors(sector + 2, units - 2, out.data() + 2 * kSectorSize);
  applyFixup(out.first(std::size_t{units} * kSectorSize));
  return true;
}

void applyFixup(std::span<std::uint8_t> rec) {
  const std::size_t u = rd16(rec, ntfsrec::kUsaOffset);
  const std::size_t k = rd16(rec, ntfsrec::kUsaCount);
  for (std::size_t i = 0; i + 1 < k; ++i) {
    const std::size_t last = 512 * i + 511;
    const std::size_t entry = u + 2 + 2 * i;
    if (last >= rec.size() || entry + 1 >= 84 || entry + 1 >= rec.size()) break;
    rec[last - 1] = rec[entry];
    rec[last] = rec[entry + 1];
  }
}

bool findFileName(Bytes rec, int nameSpace, FileNameInfo& out) {
  bool found = false;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t) {
    if (type != kAttrFileName || rd8(rec, p + 9) != 0 || rd8(rec, p + 8) != 0) return false;
    const std::size_t v = p + rd16(rec, p + 20);
    if (v >= rec.size() || rec.size() - v < 66) return false;
    if (rd8(rec, v + 65) != nameSpace) return false;
    const std::size_t chars = rd8(rec, v + 64);
    if (rec.size() - v - 66 < 2 * chars) return false;  // the name would reach past the record
    out.name = utf16leToUtf8(rec, v + 66, chars);
    out.parentRecord = rd32(rec, v);
    out.creationTime = rd64(rec, v + 8);
    out.nameCreationTime = out.creationTime;
    out.changeTime = rd64(rec, v + 16);
    found = true;
    return true;
  });
  return found;
}

std::vector<FileNameInfo> linkNames(Bytes rec) {
  std::vector<FileNameInfo> out;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t) {
    if (type != kAttrFileName || rd8(rec, p + 9) != 0 || rd8(rec, p + 8) != 0) return false;
    const std::size_t v = p + rd16(rec, p + 20);
    if (v >= rec.size() || rec.size() - v < 66 || rd8(rec, v + 65) == 2) return false;
    const std::size_t chars = rd8(rec, v + 64);
    if (rec.size() - v - 66 < 2 * chars) return false;
    FileNameInfo n;
    n.name = utf16leToUtf8(rec, v + 66, chars);
    n.parentRecord = rd32(rec, v);
    n.creationTime = n.nameCreationTime = rd64(rec, v + 8);
    n.changeTime = rd64(rec, v + 16);
    out.push_back(std::move(n));
    return out.size() >= 1024;
  });
  return out;
}

bool findPreferredFileName(Bytes rec, FileNameInfo& out) {
  for (int ns : {1, 3, 2, 0})
    if (findFileName(rec, ns, out)) return true;
  return false;
}

bool findDataSize(Bytes rec, std::uint64_t& size) {
  bool found = false;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    if (type != kAttrData || rd8(rec, p + 9) != 0) return false;
    if (rd8(rec, p + 8) != 0) {
      // A later piece of a data stream spread over several records carries
      // no sizes; the piece that starts at cluster 0 does.
      if (len < 56 || rec.size() - p < 56 || rd64(rec, p + 16) != 0) return false;
      size = rd64(rec, p + 48);
    } else {
      if (rec.size() - p < 24) return false;
      size = rd32(rec, p + 16);
    }
    found = true;
    return true;
  });
  return found;
}

void collectAttributeList(Bytes rec, std::vector<std::uint32_t>& refs) {
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t) {
    if (type != kAttrList || rd8(rec, p + 8) != 0) return false;
    auto value = attributeListValue(nullptr, 0, 0, rec, p);
    appendRefs(value, refs);
    return true;
  });
}

void collectAttributeList(SectorReader& reader, SectorNo clusterBase, std::uint32_t sectorsPerCluster, Bytes rec,
                          std::vector<std::uint32_t>& refs) {
  const std::int64_t a = findAttribute(rec, kAttrList);
  if (a < 0) return;
  auto value = attributeListValue(&reader, clusterBase, sectorsPerCluster, rec, static_cast<std::size_t>(a));
  appendRefs(value, refs);
}

SectorNo MftRuns::sectorAt(std::uint64_t off) const {
  for (std::size_t i = 0; i < runStart.size(); ++i) {
    if (off < runLength[i]) return runStart[i] == 0 ? 0 : runStart[i] + static_cast<SectorNo>(off);
    off -= runLength[i];
  }
  return 0;
}

SectorNo MftRuns::recordSector(std::uint32_t n) const { return sectorAt(std::uint64_t{sectorsPerRecord} * n); }

std::uint64_t MftRuns::totalSectors() const {
  std::uint64_t total = 0;
  for (auto len : runLength) total += len;
  return total;
}

MftRuns readMftRuns(SectorReader& reader, SectorNo clusterBase, SectorNo mftStart, std::uint32_t sectorsPerCluster,
                    SectorNo mftMirrorStart, bool* usedMirror) {
  MftRuns runs;
  std::array<std::uint8_t, kMaxMftRecordSize> rec{};
  if (usedMirror) *usedMirror = false;
  // The MFT's own record, read whole and giving runs; when it cannot be
  // read or is damaged, its copy in the MFT mirror. Its header gives the
  // size of every record.
  auto firstRecord = [&](SectorNo at, bool strict) {
    runs.clear();
    std::fill(rec.begin(), rec.end(), 0);
    bool read = reader.readSectors(at, 2, rec.data());
    if ((strict && !read) || !hasText(rec, 0, "FILE")) return false;
    const std::uint32_t units = recordUnits(rec);
    if (units > 2) read = reader.readSectors(at + 2, units - 2, rec.data() + 2 * kSectorSize) && read;
    if (strict && !read) return false;
    applyFixup(std::span<std::uint8_t>(rec).first(std::size_t{units} * kSectorSize));
    appendMftDataRuns(rec, clusterBase, sectorsPerCluster, runs);
    runs.sectorsPerRecord = units;
    return runs.size() != 0 || findAttribute(rec, kAttrList) >= 0;
  };
  if (!firstRecord(mftStart, true)) {
    if (mftMirrorStart != 0 && mftMirrorStart != mftStart && firstRecord(mftMirrorStart, true)) {
      if (usedMirror) *usedMirror = true;
    } else if (!firstRecord(mftStart, false)) {
      runs.clear();
      return runs;
    }
  }

  // An MFT spread over several records names them in its attribute list.
  const std::int64_t l = findAttribute(rec, kAttrList);
  if (l < 0) return runs;
  auto value = attributeListValue(&reader, clusterBase, sectorsPerCluster, rec, static_cast<std::size_t>(l));
  std::vector<std::uint32_t> records;
  forEachListEntry(value, [&](std::uint32_t type, std::uint32_t ref) {
    if (type == kAttrData) records.push_back(ref);
    return records.size() >= kMaxMftListRecords;
  });
  if (records.empty()) return runs;

  std::array<std::uint8_t, kMaxMftRecordSize> ext{};
  if (const std::uint32_t units = runs.sectorsPerRecord;
      readRecordAt(reader, mftStart + std::uint64_t{units} * records[0], ext)) {
    runs.clear();
    runs.sectorsPerRecord = units;
    appendMftDataRuns(ext, clusterBase, sectorsPerCluster, runs);
  }
  for (std::size_t i = 1; i < records.size(); ++i) {
    // A record beyond the runs found so far cannot be located.
    if (runs.recordSector(records[i]) == 0) continue;
    if (readMftRecord(reader, runs, records[i], ext)) appendMftDataRuns(ext, clusterBase, sectorsPerCluster, runs);
  }
  return runs;
}

bool readBaseRecord(SectorReader& reader, Bytes ext, SectorNo extSector, std::span<std::uint8_t> out,
                    SectorNo& baseSector) {
  std::fill(out.begin(), out.end(), 0);
  if (out.size() < kMftRecordSize || rd16(ext, ntfsrec::kUsaOffset) < ntfsrec::kNumberedHeader) return false;
  const std::uint32_t base = rd32(ext, ntfsrec::kBaseReference), own = rd32(ext, ntfsrec::kRecordNumber);
  if (base == 0 || own <= base) return false;
  const std::uint64_t back = std::uint64_t{recordUnits(ext)} * (own - base);
  if (back > extSector) return false;
  baseSector = static_cast<SectorNo>(extSector - back);
  if (!readRecordAt(reader, baseSector, out)) return false;
  if (rd16(out, ntfsrec::kUsaOffset) < ntfsrec::kNumberedHeader || rd32(out, ntfsrec::kRecordNumber) != base ||
      rd32(out, ntfsrec::kBaseReference) != 0) {
    std::fill(out.begin(), out.end(), 0);
    return false;
  }
  return true;
}

std::vector<LocatedRecord> recordsOfFile(SectorReader& reader, Bytes record, SectorNo sector, SectorNo clusterBase,
                                         std::uint32_t sectorsPerCluster) {
  std::vector<LocatedRecord> out(1);
  out[0].sector = sector;
  std::copy_n(record.begin(), std::min(record.size(), kMaxMftRecordSize), out[0].bytes.begin());
  const std::int64_t units = recordUnits(record);
  if (rd16(record, ntfsrec::kUsaOffset) < ntfsrec::kNumberedHeader) return out;  // no numbers in the header
  // The base record, and its number and sector.
  std::uint32_t base = rd32(record, ntfsrec::kRecordNumber);
  SectorNo baseSector = sector;
  std::size_t baseAt = 0;
  if (rd32(record, ntfsrec::kBaseReference) != 0) {
    LocatedRecord b;
    if (!readBaseRecord(reader, record, sector, b.bytes, b.sector)) return out;
    base = rd32(b.bytes, 44);
    baseSector = b.sector;
    out.push_back(b);
    baseAt = 1;
  }
  std::vector<std::uint32_t> refs{base};
  const Bytes baseBytes(out[baseAt].bytes);
  const std::int64_t list = findAttribute(baseBytes, kAttrList);
  if (sectorsPerCluster != 0) {
    collectAttributeList(reader, clusterBase, sectorsPerCluster, baseBytes, refs);
  } else if (list >= 0 && rd8(baseBytes, static_cast<std::size_t>(list) + 8) != 0) {
    // A list outside the record cannot be read without the volume's
    // geometry: the records after the base that name it as their base are
    // its extension records (NTFS takes free records near the base).
    constexpr std::uint32_t kProbe = 64;
    for (std::uint32_t n = base + 1; n != 0 && n <= base + kProbe && refs.size() < kMaxRecordRefs; ++n) refs.push_back(n);
  } else {
    collectAttributeList(baseBytes, refs);
  }
  for (std::uint32_t n : refs) {
    if (n == base || (out.size() > 0 && rd32(out[0].bytes, 44) == n)) continue;
    const std::int64_t at = static_cast<std::int64_t>(baseSector) + units * (static_cast<std::int64_t>(n) - base);
    if (at <= 0 || at >= static_cast<std::int64_t>(kSectorNoLimit)) continue;
    LocatedRecord e;
    e.sector = static_cast<SectorNo>(at);
    if (!readRecordAt(reader, e.sector, e.bytes)) continue;
    if (rd16(e.bytes, ntfsrec::kUsaOffset) < ntfsrec::kNumberedHeader || rd32(e.bytes, ntfsrec::kRecordNumber) != n ||
        rd32(e.bytes, ntfsrec::kBaseReference) != base)
      continue;
    out.push_back(e);
  }
  return out;
}

bool readMftRecord(SectorReader& reader, const MftRuns& runs, std::uint32_t n, std::span<std::uint8_t> out) {
  std::fill(out.begin(), out.end(), 0);
  const std::uint32_t units = runs.sectorsPerRecord;
  if (units == 0 || out.size() < std::size_t{units} * kSectorSize) return false;
  // Each stretch of sectors that lie together in one read (a record may be
  // split between runs).
  const std::uint64_t first = std::uint64_t{units} * n;
  std::uint32_t k = 0;
  while (k < units) {
    const SectorNo at = runs.sectorAt(first + k);
    if (at == 0) {
      if (k == 0) return false;
      break;
    }
    std::uint32_t len = 1;
    while (k + len < units && runs.sectorAt(first + k + len) == at + len) ++len;
    reader.readSectors(at, len, out.data() + std::size_t{k} * kSectorSize);
    k += len;
  }
  if (!hasText(out, 0, "FILE")) {
    std::fill(out.begin(), out.end(), 0);
    return false;
  }
  applyFixup(out.first(std::size_t{units} * kSectorSize));
  return true;
}

}  // namespace osprin
