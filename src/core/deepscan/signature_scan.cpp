#include "deepscan/signature_scan.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <array>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/page_buffer.h"
#include "common/text.h"
#include "exfat/boot_sector.h"
#include "exfat/dir_entry.h"
#include "ntfs/data_attr.h"
#include "ntfs/record.h"
#include "ntfs/run_list.h"
#include "ntfs/record_header.h"

namespace osprin {

Bytes SectorWindow::sectors(std::uint64_t lba, std::uint32_t count) const {
  const std::uint64_t held = bytes.size() / kSectorSize;
  if (bytes.empty() || lba < firstSector || lba - firstSector > held || held - (lba - firstSector) < count) return {};
  return bytes.subspan(static_cast<std::size_t>(lba - firstSector) * kSectorSize,
                       static_cast<std::size_t>(count) * kSectorSize);
}

namespace {

// The scan reads the range in large requests and hands it out in batches of
// sectorsPerRead sectors: what is examined and reported per batch stays the
// same, but a healthy disk costs one request per couple of megabytes however
// small the batch. A request that fails falls back to the sector reader's
// sector-by-sector retries; a sector that never reads is seen as zeros
// rather than as whatever an earlier read left in memory (which would be
// recorded a second time under the wrong sector number).
//
// The buffers are page-aligned (PageBuffer). When the source can be read
// from two threads at once (an image file, not a device read with O_DIRECT),
// two threads of the reader's own read the next chunks while the scan
// examines this one, so that the copy and the examination overlap, and the
// kernel's copy out of the page cache (the larger part of the work) runs on
// two cores.
constexpr std::size_t kReadAheadBytes = 2u << 20;
constexpr std::uint32_t kMaxSectorsPerRead = 65536;
constexpr std::size_t kReaders = 2;
constexpr std::size_t kAheadSlots = 4;  // the chunk examined and three read ahead

class BatchReader {
 public:
  BatchReader(SectorReader& reader, std::uint64_t rangeStart, std::uint64_t rangeLength, std::uint32_t perRead)
      : reader_(reader), rangeStart_(rangeStart), rangeLength_(rangeLength), perRead_(perRead) {
    const std::size_t batchBytes = static_cast<std::size_t>(perRead) * kSectorSize;
    batchesPerChunk_ = std::max<std::uint64_t>(1, kReadAheadBytes / batchBytes);
    chunkBytes_ = static_cast<std::size_t>(batchesPerChunk_) * batchBytes;
    const std::uint64_t chunkSectors = batchesPerChunk_ * perRead_;
    const std::uint64_t chunks = (rangeLength_ + chunkSectors - 1) / chunkSectors;
    const bool ahead = chunks > 1 && reader.source() != nullptr && reader.source()->concurrentReads();
    slots_.resize(ahead ? kAheadSlots : 1);
    for (Slot& slot : slots_) slot.buffer = PageBuffer(chunkBytes_);
    if (!ahead) return;
    const std::size_t readers = std::min<std::size_t>(kReaders, std::max(1u, std::thread::hardware_concurrency()));
    running_ = readers;  // before any thread can finish
    // Room first: a vector that grew while threads run could not give
    // them back when its growth failed.
    workers_.reserve(readers);
    try {
      for (std::size_t i = 0; i < readers; ++i) workers_.emplace_back([this] { readAhead(); });
    } catch (const std::exception&) {
      // No thread (or no memory for one) to be had: fewer threads than
      // asked, or none, and then every chunk is read when it is needed.
    }
    if (workers_.size() < readers) {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ -= readers - workers_.size();
      if (running_ == 0) stopped_ = true;
      changed_.notify_all();
    }
  }
  ~BatchReader() {
    if (workers_.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  // The sectorsPerRead sectors of the batch that starts done sectors into
  // the range.
  Bytes batch(std::uint64_t done) {
    if (!current_ || done < current_->start || done - current_->start >= current_->sectors) fill(done);
    return Bytes(current_->buffer.data(), chunkBytes_)
        .subspan(static_cast<std::size_t>(done - current_->start) * kSectorSize,
                 static_cast<std::size_t>(perRead_) * kSectorSize);
  }
  const SectorWindow& window() const { return window_; }

 private:
  enum class State { Free, Reading, Ready, InUse };
  struct Slot {
    PageBuffer buffer;
    State state = State::Free;
    std::uint64_t start = 0, sectors = 0;
    bool complete = false;
    std::exception_ptr error;  // what the read threw (no memory left), thrown again to the scan
  };

  // Sectors of the chunk that starts done sectors into the range: whole
  // batches, the last one reaching past the range's end when need be.
  std::uint64_t chunkSectorsAt(std::uint64_t done) const {
    const std::uint64_t left = rangeLength_ > done ? rangeLength_ - done : 1;
    const std::uint64_t batchesLeft = (left + perRead_ - 1) / perRead_;
    return std::min(batchesPerChunk_, batchesLeft) * perRead_;
  }

  // Reads the chunk that starts done sectors into the range (start and
  // sectors of slot set already).
  void readInto(Slot& slot) {
    slot.complete = reader_.readSectorsClearing(rangeStart_ + slot.start, static_cast<std::uint32_t>(slot.sectors),
                                                slot.buffer.data());
  }
  void readInto(Slot& slot, std::uint64_t done) {
    slot.start = done;
    slot.sectors = chunkSectorsAt(done);
    readInto(slot);
  }

  void fill(std::uint64_t done) {
    if (workers_.empty()) {
      readInto(slots_[0], done);
      current_ = &slots_[0];
    } else {
      std::unique_lock<std::mutex> lock(mutex_);
      if (current_ && current_ != &spare_) current_->state = State::Free;
      current_ = nullptr;
      changed_.notify_all();
      // The reader's threads take the chunks in order from the range's
      // start, and the scan asks for them in that order: the chunk is read
      // already, being read, or next.
      auto held = [&] {
        for (Slot& slot : slots_)
          if ((slot.state == State::Ready || slot.state == State::Reading) && slot.start == done) return &slot;
        return static_cast<Slot*>(nullptr);
      };
      auto allTaken = [&] {
        return std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.state == State::Free; });
      };
      changed_.wait(lock, [&] {
        const Slot* h = held();
        if (h) return h->state == State::Ready;
        return stopped_ || done < nextAhead_ || allTaken();
      });
      Slot* got = held();
      if (got) {
        got->state = State::InUse;
        current_ = got;
        if (got->error) std::rethrow_exception(std::exchange(got->error, nullptr));
      } else {
        // Not among the chunks read ahead (the scan asked out of order):
        // read here, into a buffer of its own.
        lock.unlock();
        if (spare_.buffer.empty()) spare_.buffer = PageBuffer(chunkBytes_);
        readInto(spare_, done);
        current_ = &spare_;
      }
    }
    window_.firstSector = rangeStart_ + done;
    window_.bytes = current_->complete
                        ? Bytes(current_->buffer.data(), static_cast<std::size_t>(current_->sectors) * kSectorSize)
                        : Bytes();
  }

  // A reader's thread: the next chunk of the range not taken yet, each into a
  // free slot, until the range ends or the scan is over.
  void readAhead() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_ && nextAhead_ < rangeLength_) {
      auto freeSlot = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.state == State::Free; });
      if (freeSlot == slots_.end()) {
        changed_.wait(lock);
        continue;
      }
      Slot& slot = *freeSlot;
      slot.state = State::Reading;
      slot.start = nextAhead_;
      slot.sectors = chunkSectorsAt(nextAhead_);
      nextAhead_ += slot.sectors;
      lock.unlock();
      // An exception must not leave the thread (that ends the program): the
      // scan meets it when it comes to this chunk.
      std::exception_ptr error;
      try {
        readInto(slot);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      slot.error = error;
      slot.state = State::Ready;
      changed_.notify_all();
    }
    // The last thread out: every chunk is taken.
    if (--running_ == 0) stopped_ = true;
    changed_.notify_all();
  }

  SectorReader& reader_;
  std::uint64_t rangeStart_, rangeLength_;
  std::uint32_t perRead_;
  std::uint64_t batchesPerChunk_ = 1;
  std::size_t chunkBytes_ = 0;
  std::vector<Slot> slots_;
  Slot spare_;
  Slot* current_ = nullptr;
  SectorWindow window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t nextAhead_ = 0;  // the next chunk a thread takes
  bool quit_ = false, stopped_ = false;
  std::size_t running_ = 0;  // reader threads not yet finished
  std::vector<std::thread> workers_;
};

enum class Pass { Fat, Ntfs };

// A list of millions of file records grown by doubling holds the old and
// the new copy at each step: at the last one twice what the list needs.
// Once the list is large and full, room is made instead for the records
// that the density met so far promises over the whole range (and a tenth
// more), so that it is copied once more at most; never more than a quarter
// of the machine's memory, and only when that beats doubling.
void growFileRecords(std::vector<NtfsFileRecord>& list, std::uint64_t scanned, std::uint64_t rangeLength) {
  constexpr std::size_t kFrom = 1u << 16;
  const std::size_t n = list.size();
  if (n < kFrom || n != list.capacity() || scanned == 0 || scanned > rangeLength) return;
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return;
  const std::uint64_t budget =
      static_cast<std::uint64_t>(pages) / 4 * static_cast<std::uint64_t>(pageSize) / sizeof(NtfsFileRecord);
  const std::uint64_t promised = static_cast<std::uint64_t>(
      static_cast<double>(n) * static_cast<double>(rangeLength) / static_cast<double>(scanned) * 1.1);
  const std::uint64_t want = std::min({promised + 1024, budget, rangeLength});
  if (want <= 2 * std::uint64_t{n}) return;
  try {
    list.reserve(static_cast<std::size_t>(want));
  } catch (const std::bad_alloc&) {
    // The room is only asked for; without it the list doubles as usual.
  }
}

// The read loop shared by both passes. recognise(sector bytes, sector
// number, window) returns false to leave the rest of the batch unexamined.
template <class Recognise>
void readLoop(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead, Pass pass, StopFlag& stop,
              Observer& obs, Recognise recognise) {
  // The caller's ProgressScope shows the bar and the Stop button.
  obs.progress(0);
  const std::uint32_t perRead = std::clamp<std::uint32_t>(sectorsPerRead, 1, kMaxSectorsPerRead);
  const std::uint64_t start = sel.rangeStart;
  // Sectors past the end of the disk hold nothing: the scan ends there.
  std::uint64_t length = sel.rangeLength;
  const std::uint64_t total = reader.totalSectors();
  if (total != 0 && length > 0 && start + length > total) length = start < total ? total - start : 0;
  stop.store(0);
  std::uint64_t done = 0;
  int batchCounter = 0;
  if (length != 0) {
    BatchReader batches(reader, start, length, perRead);
    while (stop.load() != 1) {
      if (pass == Pass::Ntfs) obs.counter(Counter::CurrentSector, start + done);
      if (++batchCounter == 88) {
        obs.progress(static_cast<int>(std::min<std::uint64_t>(99, done * 100 / length)));
        obs.phase({Phase::ReadingSector, done, length});
        batchCounter = 0;
      }
      Bytes batch = batches.batch(done);
      for (std::uint32_t i = 0; i < perRead; ++i) {
        const std::uint64_t lba = start + done + i;
        if (!recognise(batch.subspan(static_cast<std::size_t>(i) * kSectorSize, kSectorSize),
                       static_cast<SectorNo>(lba), batches.window()))
          break;
      }
      if (pass == Pass::Fat) obs.counter(Counter::CurrentSector, done);
      done += perRead;
      if (done >= length) break;
    }
  }
  stop.store(0);
}

bool equalsNoCase(std::string_view a, std::string_view b) { return asciiUpper(a) == asciiUpper(b); }

// Position of the attribute of the given type named "$I30" in a record, or
// -1. nameAt is where the name's characters begin within the attribute (24
// for the resident index root, 64 for the index allocation).
std::int64_t findI30Attribute(Bytes rec, std::uint32_t type, std::size_t nameAt) {
  std::int64_t found = -1;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t t, std::uint32_t) {
    if (t != type || rd8(rec, p + 9) != 4 || rd8(rec, p + nameAt) != '$' || rd8(rec, p + nameAt + 2) != 'I' ||
        rd8(rec, p + nameAt + 4) != '3' || rd8(rec, p + nameAt + 6) != '0')
      return false;
    found = static_cast<std::int64_t>(p);
    return true;
  });
  return found;
}

}  // namespace

std::uint32_t ownRecordNumberFromIndexRoot(Bytes rec) {
  const std::int64_t a = findI30Attribute(rec, 0x90, 24);
  if (a < 0 || static_cast<std::size_t>(a) + 148 > rec.size()) return 0;
  const auto p = static_cast<std::size_t>(a);
  if (rd8(rec, p + 144) == 0) return 0;  // the first entry has no name: no key to read
  const std::uint32_t v = rd32(rec, p + 80);
  return v == 0xFFFFFFFFu ? 0 : v;
}

std::uint32_t indexAllocationFirstCluster(Bytes rec) {
  const std::int64_t a = findI30Attribute(rec, 0xA0, 64);
  if (a < 0) return 0;
  const RunList list = decodeDataRuns(rec, static_cast<std::size_t>(a), 1);
  if (list.runs.empty() || list.runs[0].sparse || list.runs[0].startCluster > 0xFFFFFFFF) return 0;
  return static_cast<std::uint32_t>(list.runs[0].startCluster);
}

// True when the record holds an attribute of that type.
static bool findAttributeType(Bytes rec, std::uint32_t type) {
  bool found = false;
  eachAttribute(rec, [&](std::size_t, std::uint32_t t, std::uint32_t) { return found = t == type; });
  return found;
}

// The record at sector, of units sectors (2, or 8 for 4,096 bytes).
void recordNtfsFileRecord(SectorReader& reader, SectorNo sector, std::uint32_t units, DeepScanResults& results,
                          const SectorWindow& window) {
  std::array<std::uint8_t, kMaxMftRecordSize> buf{};
  const auto rec = std::span<std::uint8_t>(buf).first(std::size_t{units} * kSectorSize);
  Bytes held = window.sectors(sector, units);
  if (!held.empty())
    std::memcpy(rec.data(), held.data(), rec.size());
  else
    reader.readSectors(sector, units, rec.data());
  applyFixup(rec);
  const Bytes r(rec.data(), rec.size());

  FileNameInfo fn;
  if (!findPreferredFileName(r, fn)) return;
  const std::uint8_t flags = rec[22];
  // Records of NTFS 3.1 (Windows XP on) carry their own number after the
  // header, when the update sequence array begins past it.
  const std::uint32_t ownNumber =
      rd16(r, ntfsrec::kUsaOffset) >= ntfsrec::kNumberedHeader ? rd32(r, ntfsrec::kRecordNumber) : 0;
  std::uint64_t shownCreation = fn.creationTime, shownChange = fn.changeTime;
  standardInformationTimes(r, shownCreation, shownChange);
  if (flags == 3 || flags == 2) {
    NtfsDirRecord d;
    if (equalsNoCase(fn.name, "."))
      d.recordNumber = kNtfsRootRecord;
    else if (equalsNoCase(fn.name, "$Extend"))
      d.recordNumber = 11;
    else if (ownNumber > kNtfsRootRecord)
      d.recordNumber = ownNumber;
    else
      d.recordNumber = ownRecordNumberFromIndexRoot(r);
    d.indexLcn = indexAllocationFirstCluster(r);
    d.name = std::move(fn.name);
    d.sector = sector;
    d.parentRecord = fn.parentRecord;
    d.creationTime = fn.creationTime;
    d.changeTime = shownChange;
    d.shownCreationTime = shownCreation;
    d.deleted = flags == 2;
    results.ntfsDirRecords.push_back(std::move(d));
    ++results.folderHitCount;
  } else if (flags == 1 || flags == 0) {
    // A file spread over several records (an extension record holding the
    // name, a base record with an attribute list): its other records hold
    // the data and the streams.
    std::vector<LocatedRecord> others;
    if (rd32(r, ntfsrec::kBaseReference) != 0 || findAttributeType(r, 0x20)) others = recordsOfFile(reader, r, sector);
    std::uint64_t size = 0;
    bool sized = findDataSize(r, size);
    for (std::size_t k = 1; k < others.size() && !sized; ++k) sized = findDataSize(Bytes(others[k].bytes), size);
    if (!sized) size = 0;
    NtfsFileRecord f;
    f.name = std::move(fn.name);
    f.dataRecordSector = sector;
    f.recordNumber = ownNumber;
    f.parentRecord = fn.parentRecord;
    f.creationTime = shownCreation;
    f.changeTime = shownChange;
    f.size = size;
    f.deleted = flags == 0;
    if (f.name.capacity() > f.name.size() + 16) f.name.shrink_to_fit();
    // Named streams of the record: "NAME:STREAM" rows after the file, with
    // the same sector (the list stays in ascending sector order).
    std::vector<NtfsDataAttr> streams = namedDataAttributes(r);
    for (std::size_t k = 1; k < others.size(); ++k)
      for (NtfsDataAttr& d : namedDataAttributes(Bytes(others[k].bytes))) streams.push_back(std::move(d));
    const std::size_t at = results.ntfsFileRecords.size();
    results.ntfsFileRecords.push_back(std::move(f));
    ++results.fileHitCount;
    for (const NtfsDataAttr& d : streams) {
      NtfsFileRecord st = results.ntfsFileRecords[at];
      st.name += ":";
      st.name += d.stream;
      st.size = d.dataSize;
      st.stream = true;
      results.ntfsFileRecords.push_back(std::move(st));
    }
  }
}

void appendIndexDirEntries(Bytes b, std::vector<IndexDirEntry>& entries, std::string& names) {
  const std::uint64_t size = b.size();
  std::uint64_t o = static_cast<std::uint64_t>(rd32(b, 24)) + 24;
  while (o < size) {
    const auto at = static_cast<std::size_t>(o);
    const std::uint32_t nameLength = rd8(b, at + 80);
    if (nameLength == 0) break;
    if (o + 82 + 2ull * nameLength > size) break;  // the name would reach past the block
    if (rd16(b, at + 74) & 0x1000) {
      IndexDirEntry e;
      e.creationTime = rd64(b, at + 24);
      e.parentRecord = rd32(b, at + 16);
      e.recordNumber = rd32(b, at);
      e.nameAt = static_cast<std::uint32_t>(names.size());
      names += utf16leToUtf8(b, at + 82, nameLength);
      e.nameLength = static_cast<std::uint32_t>(names.size() - e.nameAt);
      entries.push_back(e);
    }
    const std::uint32_t length = rd16(b, at + 8);
    if (length == 0) break;
    o += length;
  }
}

bool recordIndexBlock(SectorReader& reader, SectorNo sector, Bytes first, DeepScanResults& results,
                      const SectorWindow& window) {
  const std::uint64_t size = static_cast<std::uint64_t>(rd32(first, 32)) + 24;
  if (size > 65536) return false;
  const auto count = static_cast<std::uint8_t>(size / kSectorSize);
  // One buffer for every block of the scan instead of one allocation each.
  thread_local std::vector<std::uint8_t> block, sectors;
  block.assign(static_cast<std::size_t>(size), 0);
  if (count != 0) {
    Bytes held = window.sectors(sector, count);
    if (!held.empty())
      std::memcpy(block.data(), held.data(), held.size());
    else
      reader.readSectors(sector, count, block.data());
  }
  // The block's whole sectors as they were read, before the fixup: what the
  // numbering of directory records would read again.
  const std::size_t whole = static_cast<std::size_t>(count) * kSectorSize;
  sectors.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(whole));
  applyFixup(block);
  const Bytes b(block);
  const std::uint64_t entry = static_cast<std::uint64_t>(rd32(b, 24)) + 24;
  if (entry + 20 > size) return false;
  const std::uint32_t owner = rd32(b, static_cast<std::size_t>(entry) + 16);
  if (owner < 5 || owner == 0xFFFFFFFFu) return false;
  if (results.indexBlockHits.empty() && results.indexEntryStart.empty()) results.indexEntryStart.push_back(0);
  const bool keep = results.indexEntriesKept();
  results.indexBlockHits.push_back(IndexBlockHit{sector, owner, rd32(b, 16), -1, count});
  ++results.indexBlockCount;
  if (keep) {
    if (hasText(Bytes(sectors), 0, "INDX")) {
      applyFixup(sectors);
      appendIndexDirEntries(Bytes(sectors), results.indexEntries, results.indexEntryNames);
    }
    results.indexEntryStart.push_back(static_cast<std::uint32_t>(results.indexEntries.size()));
  }
  return true;
}

void scanFatSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                       DeepScanResults& results, StopFlag& stop, Observer& obs) {
  readLoop(reader, sel, sectorsPerRead, Pass::Fat, stop, obs, [&](Bytes s, SectorNo lba, const SectorWindow&) {
    if (hasBootSignature(s)) {
      const bool fat32 = s[85] == '3' && s[86] == '2';
      const bool fat16 = !fat32 && s[57] == '1' && s[58] == '6';
      if (fat32 || fat16) {
        ++results.bootSectorCount;
        results.bootSectorHits.push_back(lba);
        if (results.bootSectorCount > kMaxFatBootSectors) {
          obs.message(MsgKind::Error, "Too many data structures found");
          stop.store(1);
          return false;
        }
      }
      obs.counter(Counter::BootSectorsFound, results.bootSectorCount);
      return true;
    }
    if (s[0] == '.' && s[1] == ' ' && s[32] == '.' && s[33] == '.' && s[34] == ' ') {
      const std::uint32_t k = (static_cast<std::uint32_t>(rd16(s, 20)) << 16) | rd16(s, 26);
      const std::uint32_t p = (static_cast<std::uint32_t>(rd16(s, 52)) << 16) | rd16(s, 58);
      // Cluster 2 is the first of the data area: a FAT16 folder can start
      // there (a FAT32 root directory has no "." entry).
      if (k >= 2 && k != 0xFFFFFFFFu && p != 0xFFFFFFFFu && k < lba) {
        results.dirHeadHits.push_back(DirHeadHit{lba, k, p, rd16(s, 24), rd16(s, 18), 0});
        ++results.folderHitCount;
      }
      obs.counter(Counter::FoldersFound, results.folderHitCount);
    }
    return true;
  });
}

std::uint32_t recordExfatSets(SectorReader& reader, Bytes s, SectorNo lba, DeepScanResults& results,
                              const SectorWindow& window) {
  thread_local std::vector<std::uint8_t> longer;
  std::uint32_t found = 0;
  for (std::size_t off = 0; off + exfat::kEntryBytes <= s.size(); off += exfat::kEntryBytes) {
    // Most slots are passed over on their type byte, and most of the rest
    // on the secondary count or the stream extension's type.
    const std::uint8_t type = s[off];
    if ((type & ~exfat::kInUse) != (exfat::kTypeFile & ~exfat::kInUse)) continue;
    const std::uint8_t secondaries = s[off + 1];
    if (secondaries < exfat::kMinSecondaries) continue;
    const std::uint8_t stream = (exfat::kTypeStream & ~exfat::kInUse) | (type & exfat::kInUse);
    if (off + exfat::kEntryBytes < s.size() && s[off + exfat::kEntryBytes] != stream) continue;
    // A set that runs on into the next sectors: from the chunk in memory,
    // else read (at the end of a chunk, or after a failed read).
    const std::size_t need = off + (std::size_t{secondaries} + 1) * exfat::kEntryBytes;
    Bytes dir = s;
    if (need > s.size()) {
      const auto count = static_cast<std::uint32_t>((need + kSectorSize - 1) / kSectorSize);
      dir = window.sectors(lba, count);
      if (dir.empty()) {
        longer.assign(std::size_t{count} * kSectorSize, 0);
        reader.readSectorsClearing(lba, count, longer.data());
        dir = Bytes(longer);
      }
    }
    ExfatSetHit hit;
    if (readExfatEntry(dir, off, hit.set) != ExfatEntryKind::FileSet || !hit.set.checksumOk) continue;
    hit.sector = lba;
    hit.offset = static_cast<std::uint16_t>(off);
    if (hit.set.folder())
      ++results.folderHitCount;
    else
      ++results.fileHitCount;
    off += (hit.set.entries - 1) * exfat::kEntryBytes;
    if (hit.set.name.capacity() > hit.set.name.size() + 16) hit.set.name.shrink_to_fit();
    results.exfatSetHits.push_back(std::move(hit));
    ++found;
  }
  return found;
}

void scanExfatSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                         DeepScanResults& results, StopFlag& stop, Observer& obs) {
  readLoop(reader, sel, sectorsPerRead, Pass::Fat, stop, obs, [&](Bytes s, SectorNo lba, const SectorWindow& window) {
    if (s[510] == 0x55 && s[511] == 0xAA && readExfatBootSector(s)) {
      ++results.bootSectorCount;
      results.bootSectorHits.push_back(lba);
      obs.counter(Counter::BootSectorsFound, results.bootSectorCount);
      if (results.bootSectorCount > kMaxFatBootSectors) {
        obs.message(MsgKind::Error, "Too many data structures found");
        stop.store(1);
        return false;
      }
      return true;
    }
    if (recordExfatSets(reader, s, lba, results, window) != 0) {
      obs.counter(Counter::FoldersFound, results.folderHitCount);
      obs.counter(Counter::FilesFound, results.fileHitCount);
    }
    return true;
  });
}

// "FILE" and "INDX" as the first four bytes of a sector read in one load.
constexpr std::uint32_t tagOf(const char (&t)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[0])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[3])) << 24;
}
constexpr std::uint32_t kFileTag = tagOf("FILE"), kIndxTag = tagOf("INDX");

void scanNtfsSignatures(SectorReader& reader, const Selection& sel, std::uint32_t sectorsPerRead,
                        DeepScanResults& results, StopFlag& stop, Observer& obs) {
  readLoop(reader, sel, sectorsPerRead, Pass::Ntfs, stop, obs,
           [&](Bytes s, SectorNo lba, const SectorWindow& window) {
             // Most sectors are none of the three: one look at the first
             // four bytes and the last two tells.
             const std::uint32_t head = rd32(s, 0);
             if (head != kFileTag && head != kIndxTag && (s[510] != 0x55 || s[511] != 0xAA)) return true;
             if (hasBootSignature(s)) {
               if (hasText(s, 3, "NTFS")) {
                 ++results.bootSectorCount;
                 results.bootSectorHits.push_back(lba);
                 obs.counter(Counter::BootSectorsFound, results.bootSectorCount);
               }
               return true;
             }
             if (hasText(s, 0, "FILE")) {
               // Records of 1,024 bytes, or of 4,096 on volumes of 4,096-byte sectors.
               if (const std::uint32_t alloc = rd32(s, ntfsrec::kAllocatedSize); alloc == 1024 || alloc == 4096) {
                 growFileRecords(results.ntfsFileRecords, lba - sel.rangeStart + 1u, sel.rangeLength);
                 recordNtfsFileRecord(reader, lba, alloc / kSectorSize, results, window);
                 obs.counter(Counter::FoldersFound, results.folderHitCount);
                 obs.counter(Counter::FilesFound, results.fileHitCount);
               }
               return true;
             }
             if (hasText(s, 0, "INDX")) {
               recordIndexBlock(reader, lba, s, results, window);
               obs.counter(Counter::IndexEntriesFound, results.indexBlockCount);
             }
             return true;
           });
}

}  // namespace osprin
