#include "deepscan/classify_ntfs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "deepscan/classify_fat.h"
#include "deepscan/progress.h"
#include "deepscan/signature_scan.h"
#include "ntfs/boot_sector.h"
#include "ntfs/record.h"

namespace osprin {

namespace {

bool isClusterSize(std::uint32_t v) { return v != 0 && v <= 128 && (v & (v - 1)) == 0; }

// --- record numbers from index entries --------------------------------------

struct EntryKey {
  std::uint64_t creationTime;
  std::uint32_t parentRecord;
  std::string_view name;
  bool operator==(const EntryKey&) const = default;
};

struct EntryKeyHash {
  std::size_t operator()(const EntryKey& k) const {
    std::size_t h = std::hash<std::string_view>()(k.name);
    h ^= std::hash<std::uint64_t>()(k.creationTime) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= std::hash<std::uint32_t>()(k.parentRecord) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
  }
};

// The directory records still numbered 0, by creation time, parent and name,
// in list order. A record leaves its bucket once it has a number (numbers
// are only ever given, never taken back).
class UnnumberedIndex {
 public:
  explicit UnnumberedIndex(std::vector<NtfsDirRecord>& recs) : recs_(recs) {
    for (std::size_t i = 0; i < recs.size(); ++i)
      if (recs[i].recordNumber == 0) {
        map_[EntryKey{recs[i].creationTime, recs[i].parentRecord, recs[i].name}].ids.push_back(
            static_cast<std::uint32_t>(i));
        ++unnumbered_;
      }
  }
  // True when no record is numbered 0 any more.
  bool empty() const { return unnumbered_ == 0; }
  // The first record numbered 0 with these values, or nullptr.
  NtfsDirRecord* first(std::uint64_t creationTime, std::uint32_t parent, std::string_view name) {
    auto it = map_.find(EntryKey{creationTime, parent, name});
    if (it == map_.end()) return nullptr;
    Bucket& b = it->second;
    while (b.next < b.ids.size() && recs_[b.ids[b.next]].recordNumber != 0) ++b.next;
    return b.next < b.ids.size() ? &recs_[b.ids[b.next]] : nullptr;
  }
  // Numbers the first record numbered 0 with these values, if any.
  void give(std::uint64_t creationTime, std::uint32_t parent, std::string_view name, std::uint32_t number) {
    NtfsDirRecord* r = first(creationTime, parent, name);
    if (!r) return;
    r->recordNumber = number;
    if (number != 0) --unnumbered_;
  }

 private:
  struct Bucket {
    std::vector<std::uint32_t> ids;
    std::size_t next = 0;
  };
  std::vector<NtfsDirRecord>& recs_;
  std::unordered_map<EntryKey, Bucket, EntryKeyHash> map_;
  std::size_t unnumbered_ = 0;
};

// Gives the first unnumbered directory record with an entry's creation
// time, parent and name the entry's record number.
void numberFromEntries(std::span<const IndexDirEntry> entries, const std::string& names, UnnumberedIndex& index) {
  for (const IndexDirEntry& e : entries) {
    const std::string_view name = std::string_view(names).substr(e.nameAt, e.nameLength);
    index.give(e.creationTime, e.parentRecord, name, e.recordNumber);
  }
}

// --- classification ------------------------------------------------------

// Records by a sector key, in list order within a key, with the records that
// left the candidates skipped in amortised constant time.
struct PairTable {
  std::vector<std::pair<SectorNo, std::uint32_t>> entries;  // (key, record index), sorted
  std::vector<std::uint32_t> next;  // next[i] == i: entry i may still be a candidate

  // Appends to out the records with this key after record `after` for which
  // alive() holds; records that fail alive() are skipped from now on.
  template <class Alive>
  void collect(SectorNo key, std::uint32_t after, Alive alive, std::vector<std::uint32_t>& out) {
    auto from = std::upper_bound(entries.begin(), entries.end(), std::make_pair(key, after));
    const std::size_t hi = static_cast<std::size_t>(
        std::upper_bound(entries.begin(), entries.end(), std::make_pair(key, 0xFFFFFFFFu)) - entries.begin());
    for (std::size_t i = find(static_cast<std::size_t>(from - entries.begin()), alive); i < hi; i = find(i + 1, alive))
      out.push_back(entries[i].second);
  }

 private:
  template <class Alive>
  std::size_t find(std::size_t i, Alive alive) {
    std::size_t j = i;
    while (j < entries.size() && (next[j] != j || !alive(entries[j].second))) {
      if (next[j] == j) next[j] = static_cast<std::uint32_t>(j + 1);
      j = next[j];
    }
    while (i < j) {
      const std::size_t k = next[i];
      next[i] = static_cast<std::uint32_t>(j);
      i = k;
    }
    return j;
  }
};

class Classifier {
 public:
  Classifier(SectorReader& reader, DeepScanResults& r, StopFlag& stop, Observer& obs)
      : reader_(reader), r_(r), stop_(stop), obs_(obs), progress_(obs) {
    const auto& recs = r.ntfsDirRecords;
    sorted_ = std::is_sorted(recs.begin(), recs.end(),
                             [](const NtfsDirRecord& a, const NtfsDirRecord& b) { return a.sector < b.sector; });
    next_.resize(recs.size() + 1);
    for (std::size_t i = 0; i <= recs.size(); ++i) next_[i] = static_cast<std::uint32_t>(i);
  }

  bool confirm(std::uint32_t spc, SectorNo low, SectorNo high);
  void byBootSector();
  void byIndexBlocks(SectorNo rangeEnd);

 private:
  bool eligible(std::size_t i) const {
    const auto& d = r_.ntfsDirRecords[i];
    return d.fsIndex == 0 && d.indexLcn != 0;
  }
  // The first record at or after i that is unclaimed and has an index
  // allocation (records only ever leave that set).
  std::size_t nextEligible(std::size_t i) {
    const std::size_t n = r_.ntfsDirRecords.size();
    std::size_t j = i;
    while (j < n && (next_[j] != j || !eligible(j))) {
      if (next_[j] == j) next_[j] = static_cast<std::uint32_t>(j + 1);
      j = next_[j];
    }
    // Path compression.
    while (i < j && i < n) {
      std::size_t k = next_[i];
      next_[i] = static_cast<std::uint32_t>(j);
      i = k;
    }
    return j;
  }
  bool beginsWithIndx(SectorNo s) {
    auto it = indxAt_.find(s);
    if (it != indxAt_.end()) return it->second;
    std::array<std::uint8_t, kSectorSize> buf{};
    reader_.readSectors(s, 1, buf.data());
    const bool yes = hasText(Bytes(buf), 0, "INDX");
    indxAt_.emplace(s, yes);
    return yes;
  }
  void marked() {
    ++r_.classifiedCount;
    if (progress_.moves(r_.classifiedCount, r_.folderHitCount))
      obs_.phase({Phase::AnalyzingClassification, r_.classifiedCount, r_.folderHitCount});
    progress_.set(r_.classifiedCount, r_.folderHitCount);
  }
  bool roomForMore() const { return r_.foundFileSystems.size() < kMaxFoundFileSystems; }

  SectorReader& reader_;
  DeepScanResults& r_;
  StopFlag& stop_;
  Observer& obs_;
  StepProgress progress_;
  bool sorted_ = true;
  std::vector<std::uint32_t> next_;
  std::unordered_map<SectorNo, bool> indxAt_;
  // Confirmations that were walked to their end: the same question asked
  // again can mark nothing more (the records it examined either were marked
  // then or failed a test whose answer does not change).
  struct Question {
    std::uint32_t spc;
    SectorNo low, high;
    bool operator==(const Question&) const = default;
  };
  struct QuestionHash {
    std::size_t operator()(const Question& q) const {
      return std::hash<std::uint64_t>()((static_cast<std::uint64_t>(q.low) << 32 | q.high) ^
                                        (static_cast<std::uint64_t>(q.spc) << 56));
    }
  };
  std::unordered_set<Question, QuestionHash> settled_;
};

bool Classifier::confirm(std::uint32_t spc, SectorNo low, SectorNo high) {
  auto& recs = r_.ntfsDirRecords;
  const Question question{spc, low, high};
  if (settled_.count(question)) return false;
  const auto mark = static_cast<std::int16_t>(r_.foundFileSystems.size() + 1);
  bool result = false;
  bool stopped = false;
  if (sorted_) {
    // Records in ascending sector order: begin after low, end after high.
    auto first = std::upper_bound(recs.begin(), recs.end(), low,
                                  [](SectorNo v, const NtfsDirRecord& d) { return v < d.sector; });
    for (std::size_t j = nextEligible(static_cast<std::size_t>(first - recs.begin())); j < recs.size();
         j = nextEligible(j + 1)) {
      if (stop_.load() == 1) {
        stopped = true;
        break;
      }
      NtfsDirRecord& d = recs[j];
      if (d.sector > high) break;
      if (beginsWithIndx(low + spc * d.indexLcn)) {
        d.fsIndex = mark;
        marked();
        result = true;
      }
    }
  } else {
    for (auto& d : recs) {
      if (stop_.load() == 1) {
        stopped = true;
        break;
      }
      if (d.sector > high) break;
      if (d.sector <= low || d.fsIndex != 0 || d.indexLcn == 0) continue;
      if (beginsWithIndx(low + spc * d.indexLcn)) {
        d.fsIndex = mark;
        marked();
        result = true;
      }
    }
  }
  if (!stopped) settled_.insert(question);
  return result;
}

void Classifier::byBootSector() {
  for (SectorNo at : r_.bootSectorHits) {
    if (!roomForMore()) break;
    std::array<std::uint8_t, kSectorSize> buf{};
    reader_.readSectors(at, 1, buf.data());
    const auto boot = parseNtfsBootSector(Bytes(buf));
    // Records of 1,024 or 4,096 bytes, as the record pass finds them; the
    // boot sector's counts of its own sectors become 512-byte units.
    if (!boot || (boot->mftRecordBytes != 1024 && boot->mftRecordBytes != 4096)) continue;
    const std::uint32_t units = boot->bytesPerSector / kSectorSize;
    const std::uint32_t spc = boot->sectorsPerCluster * units;
    VolumeParams fields;
    fields.fsType = FsType::Ntfs;
    fields.sectorsPerCluster = spc;
    fields.clusterBase = at;
    fields.mftStart = at + spc * boot->mftCluster;
    fields.mftMirrorStart = at + spc * boot->mftMirrorCluster;
    fields.sectorsPerIndexRecord = boot->indexBlockBytes / kSectorSize;
    fields.sectorsPerMftRecord = boot->mftRecordBytes / kSectorSize;
    fields.volumeEnd = at + boot->totalSectors * units;
    if (confirm(spc, at, fields.volumeEnd)) addFoundFileSystem(r_, "NTFS @" + dec(at / r_.unitsPerSector), fields);
  }
}

void Classifier::byIndexBlocks(SectorNo rangeEnd) {
  auto& recs = r_.ntfsDirRecords;
  // The first remaining block hit of each owner (all have vcn 0 and mark -1
  // once the later blocks are dropped; the test is kept for clarity).
  std::unordered_map<std::uint32_t, SectorNo> firstBlock;
  firstBlock.reserve(r_.indexBlockHits.size());
  for (const auto& h : r_.indexBlockHits)
    if (h.vcn == 0 && h.mark == -1) firstBlock.try_emplace(h.ownerRecord, h.sector);
  auto blockOf = [&](std::uint32_t owner, SectorNo& s) {
    auto it = firstBlock.find(owner);
    if (it == firstBlock.end()) return false;
    s = it->second;
    return true;
  };

  // A pair (P, S) fits cluster size k when S's block f and cluster e and P's
  // block d and cluster c satisfy f - d = k * (e - c): then f - k * e and
  // d - k * c are the same number (the volume start). So for each k the
  // records with a block are indexed by f - k * e, and P's partners are
  // looked up by d - k * c instead of walking every later record. The
  // partners are then tried in list order with the full tests.
  std::array<PairTable, 8> tables;
  for (std::size_t slot = 0; slot < 8; ++slot) {
    const SectorNo k = SectorNo{1} << slot;
    auto& t = tables[slot];
    for (std::size_t i = 0; i < recs.size(); ++i) {
      SectorNo f = 0;
      if (recs[i].indexLcn == 0 || !blockOf(recs[i].recordNumber, f) || f == 0) continue;
      t.entries.emplace_back(f - k * recs[i].indexLcn, static_cast<std::uint32_t>(i));
    }
    std::sort(t.entries.begin(), t.entries.end());
    t.next.resize(t.entries.size() + 1);
    for (std::size_t i = 0; i <= t.entries.size(); ++i) t.next[i] = static_cast<std::uint32_t>(i);
  }

  std::vector<std::uint32_t> partners;
  for (std::size_t p = 0; p < recs.size() && stop_.load() != 1; ++p) {
    if (recs[p].fsIndex != 0) continue;
    if (recs[p].indexLcn == 0) {
      recs[p].fsIndex = -1;
      continue;
    }
    SectorNo d = 0;
    if (!blockOf(recs[p].recordNumber, d) || d == 0) {
      recs[p].fsIndex = -1;
      continue;
    }
    const SectorNo c = recs[p].indexLcn;
    partners.clear();
    for (std::size_t slot = 0; slot < 8; ++slot) {
      const SectorNo k = SectorNo{1} << slot;
      tables[slot].collect(d - k * c, static_cast<std::uint32_t>(p),
                           [&](std::uint32_t i) { return eligible(i); }, partners);
    }
    std::sort(partners.begin(), partners.end());
    partners.erase(std::unique(partners.begin(), partners.end()), partners.end());
    for (std::uint32_t s : partners) {
      if (!eligible(s)) continue;  // claimed by a confirmation of this walk
      const SectorNo e = recs[s].indexLcn;
      SectorNo f = 0;
      if (blockOf(recs[s].recordNumber, f) && f != 0 && f != d && e != c) {
        SectorNo ratio = 0;
        bool ok = false;
        // Both blocks lie the same cluster size apart as their clusters,
        // in the same direction.
        if (e < c) {
          ok = d > f && (d - f) % (c - e) == 0;
          if (ok) ratio = (d - f) / (c - e);
        } else {
          ok = f > d && (f - d) % (e - c) == 0;
          if (ok) ratio = (f - d) / (e - c);
        }
        ok = ok && ratio > 0 && ratio <= 128 && ratio * c <= d;  // the volume starts on the disk
        const auto k = static_cast<std::uint32_t>(ratio);
        const SectorNo start = ok ? d - ratio * c : 0;
        if (ok && isClusterSize(k) && roomForMore() && confirm(k, start, rangeEnd)) {
          VolumeParams fields;
          fields.fsType = FsType::Ntfs;
          fields.sectorsPerCluster = k;
          fields.clusterBase = start;
          fields.sectorsPerIndexRecord = 8;
          fields.volumeEnd = rangeEnd;
          addFoundFileSystem(r_, "NTFS @" + dec(start / r_.unitsPerSector), fields);
        }
      }
      if (stop_.load() == 1) return;
    }
  }
}

}  // namespace

void assignRecordNumbers(SectorReader& reader, DeepScanResults& results, Observer& obs) {
  StepProgress progress(obs);
  progress.reset();
  obs.phase({Phase::AssigningMftNumbers});
  auto& recs = results.ntfsDirRecords;
  {
    UnnumberedIndex index(recs);
    const std::uint64_t count = results.indexBlockCount;
    // The signature pass kept the directory entries of the blocks; blocks
    // recorded some other way are read again.
    const bool kept = results.indexEntriesKept();
    std::vector<std::uint8_t> block;
    std::vector<IndexDirEntry> entries;
    std::string names;
    std::uint64_t i = 0;
    for (const IndexBlockHit& hit : results.indexBlockHits) {
      ++i;
      if (progress.moves(i, count) || i == results.indexBlockHits.size())
        obs.phase({Phase::AssigningMftNumbers, i, count});
      progress.set(i, count);
      if (index.empty()) continue;  // every directory record has its number
      if (kept) {
        const std::uint32_t from = results.indexEntryStart[i - 1], to = results.indexEntryStart[i];
        if (from <= to && to <= results.indexEntries.size())
          numberFromEntries(std::span<const IndexDirEntry>(results.indexEntries).subspan(from, to - from),
                            results.indexEntryNames, index);
        continue;
      }
      block.assign(static_cast<std::size_t>(hit.sectorCount) * kSectorSize, 0);
      if (hit.sectorCount != 0) reader.readSectors(hit.sector, hit.sectorCount, block.data());
      if (!hasText(Bytes(block), 0, "INDX")) continue;
      applyFixup(block);
      entries.clear();
      names.clear();
      appendIndexDirEntries(Bytes(block), entries, names);
      numberFromEntries(entries, names, index);
    }
  }
  // The kept entries have done their work.
  std::vector<IndexDirEntry>().swap(results.indexEntries);
  std::vector<std::uint32_t>().swap(results.indexEntryStart);
  std::string().swap(results.indexEntryNames);
  // The rest from the distance to the record before: records are two
  // sectors long.
  std::uint32_t previousNumber = 1;
  SectorNo previousSector = 0;
  std::uint64_t total = 0;
  for (auto& d : recs) {
    total += 100;
    progress.setPercent(total / (results.folderHitCount == 0 ? 1 : results.folderHitCount));
    if (d.recordNumber == 0) {
      const SectorNo gap = d.sector - previousSector;
      if (previousSector == 0 || (gap & 1) != 0)
        d.recordNumber = previousNumber + 1;
      else
        d.recordNumber = previousNumber + static_cast<std::uint32_t>(std::min<SectorNo>(gap / 2, 0xFFFFFFF0u));
    }
    previousNumber = d.recordNumber;
    previousSector = d.sector;
  }
}

void dropLaterIndexBlocks(DeepScanResults& results, Observer& obs) {
  obs.phase({Phase::DeletingUnusedItems});
  StepProgress progress(obs);
  progress.reset();
  auto& hits = results.indexBlockHits;
  const std::uint64_t before = hits.size();
  std::size_t kept = 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    total += 100;
    progress.setPercent(total / (before == 0 ? 1 : before));
    if (hits[i].vcn != 0) {
      --results.indexBlockCount;
      continue;
    }
    hits[kept++] = hits[i];
  }
  hits.resize(kept);
}

bool confirmNtfsVolume(SectorReader& reader, DeepScanResults& results, std::uint32_t spc, SectorNo low,
                       SectorNo high, StopFlag& stop, Observer& obs) {
  Classifier c(reader, results, stop, obs);
  return c.confirm(spc, low, high);
}

void classifyNtfsByBootSector(SectorReader& reader, DeepScanResults& results, StopFlag& stop, Observer& obs) {
  Classifier c(reader, results, stop, obs);
  c.byBootSector();
}

void classifyNtfsByIndexBlocks(SectorReader& reader, SectorNo rangeEnd, DeepScanResults& results, StopFlag& stop,
                               Observer& obs) {
  Classifier c(reader, results, stop, obs);
  c.byIndexBlocks(rangeEnd);
}

void finalNtfsNumbering(DeepScanResults& results) {
  std::int16_t last = 1;
  for (auto& d : results.ntfsDirRecords) {
    if (d.fsIndex == -1) d.fsIndex = last;
    last = d.fsIndex;
  }
}

void dropDuplicateFileRecords(DeepScanResults& results) {
  // Per found file system, the first record of each (number, parent, name,
  // stream) stays, except that a copy in the MFT mirror gives way to the
  // record in the MFT itself.
  auto& list = results.ntfsFileRecords;
  std::vector<std::uint8_t> drop(list.size(), 0);
  bool any = false;
  for (const FoundFileSystem& fs : results.foundFileSystems) {
    auto inMirror = [&](SectorNo s) {
      return fs.mftMirrorStart != 0 && fs.mftMirrorStart != fs.mftStart && s >= fs.mftMirrorStart &&
             s - fs.mftMirrorStart < 8;
    };
    // Indexes sorted by (number, parent, name, position): copies of one
    // record sit side by side, at 4 bytes a record.
    std::vector<std::uint32_t> order;
    auto lo = std::upper_bound(list.begin(), list.end(), fs.clusterBase,
                               [](SectorNo v, const NtfsFileRecord& f) { return v < f.dataRecordSector; });
    for (auto it = lo; it != list.end() && it->dataRecordSector <= fs.volumeEnd; ++it)
      order.push_back(static_cast<std::uint32_t>(it - list.begin()));
    auto same = [&](std::uint32_t x, std::uint32_t y) {
      return list[x].recordNumber == list[y].recordNumber && list[x].parentRecord == list[y].parentRecord &&
             list[x].name == list[y].name;
    };
    // First by (number, parent) held next to each index, which takes no
    // trip to the records; then the rare runs of equal pairs by name.
    {
      std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
      keyed.reserve(order.size());
      for (std::uint32_t x : order)
        keyed.emplace_back(static_cast<std::uint64_t>(list[x].recordNumber) << 32 | list[x].parentRecord, x);
      std::sort(keyed.begin(), keyed.end());
      for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;
      for (std::size_t g = 0; g < keyed.size();) {
        std::size_t e = g + 1;
        while (e < keyed.size() && keyed[e].first == keyed[g].first) ++e;
        if (e - g > 1)
          std::sort(order.begin() + static_cast<std::ptrdiff_t>(g), order.begin() + static_cast<std::ptrdiff_t>(e),
                    [&](std::uint32_t x, std::uint32_t y) { return std::tie(list[x].name, x) < std::tie(list[y].name, y); });
        g = e;
      }
    }
    for (std::size_t g = 0; g < order.size();) {
      std::size_t e = g + 1;
      while (e < order.size() && same(order[g], order[e])) ++e;
      if (e - g > 1) {
        // The first copy outside the mirror stays (or the first of all).
        std::size_t keep = g;
        for (std::size_t k = g; k < e; ++k)
          if (!inMirror(list[order[k]].dataRecordSector)) {
            keep = k;
            break;
          }
        for (std::size_t k = g; k < e; ++k) {
          if (k == keep || drop[order[k]]) continue;
          // Records numbered 0 outside the mirror (no number in their
          // header) cannot be told apart: they stay.
          if (list[order[k]].recordNumber == 0 && !inMirror(list[order[k]].dataRecordSector)) continue;
          drop[order[k]] = 1;
          any = true;
        }
      }
      g = e;
    }
  }
  if (!any) return;
  std::size_t out = 0, dropped = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (drop[i]) {
      if (!list[i].stream) ++dropped;
      continue;
    }
    if (out != i) list[out] = std::move(list[i]);
    ++out;
  }
  list.resize(out);
  results.fileHitCount -= static_cast<std::uint32_t>(std::min<std::size_t>(dropped, results.fileHitCount));
  results.fileParents.clear();
}

void analyseFoundNtfs(SectorReader& reader, SectorNo rangeEnd, DeepScanResults& results, StopFlag& stop,
                      Observer& obs) {
  assignRecordNumbers(reader, results, obs);
  dropLaterIndexBlocks(results, obs);
  obs.phase({Phase::AnalyzingClassification});
  results.classifiedCount = 0;
  stop.store(0);
  {
    StopScope stopButton(obs);
    Classifier c(reader, results, stop, obs);
    c.byBootSector();
    c.byIndexBlocks(rangeEnd);
  }
  stop.store(0);
  finalNtfsNumbering(results);
  dropDuplicateFileRecords(results);
}

}  // namespace osprin
