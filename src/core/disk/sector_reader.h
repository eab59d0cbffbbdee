#pragma once
// The single entry point for disk reads: 512-byte units by absolute number
// (SectorNo), on a disk whose own logical sectors are 512 to 4,096 bytes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/types.h"
#include "disk/block_source.h"

namespace osprin {

// Sectors first .. first + count - 1.
struct SectorRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  bool operator==(const SectorRange&) const = default;
};

// Sorted, non-overlapping ranges; adjacent ones merged.
void addSectorRange(std::vector<SectorRange>& ranges, std::uint64_t first, std::uint64_t count);

class SectorReader {
 public:
  SectorReader() = default;  // no disk: every read fails and leaves the buffer alone
  explicit SectorReader(std::unique_ptr<BlockSource> source)
      : source_(std::move(source)),
        sectorSize_(source_ && isSectorSize(source_->logicalSectorSize()) ? source_->logicalSectorSize() : kSectorSize) {}

  // Reads count sectors from lba into buf (count * 512 bytes). One request
  // first; when it fails, the bad sectors are isolated the way a rescue tool
  // does it (below). A sector that never reads keeps whatever buf held.
  // Returns true when every sector was read (for one sector: exactly whether
  // it was read).
  bool readSectors(SectorNo lba, std::uint32_t count, void* buf) { return readSectors64(lba, count, buf); }
  bool readSectors64(std::uint64_t lba, std::uint32_t count, void* buf);
  // The same, except that a sector that never reads is cleared to zeros
  // instead of keeping what buf held (for callers that reuse one buffer and
  // must not see an earlier read's bytes again). The sectors that could not
  // be read are added to *unread when it is given.
  bool readSectorsClearing(std::uint64_t lba, std::uint32_t count, void* buf,
                           std::vector<SectorRange>* unread = nullptr);

  bool isOpen() const { return source_ != nullptr; }
  BlockSource* source() { return source_.get(); }
  // 512-byte units of the disk as the source reports them (0 when unknown).
  std::uint64_t totalSectors() const { return source_ ? source_->sizeBytes() / kSectorSize : 0; }

  // The disk's logical sector size (512, 1,024, 2,048 or 4,096 bytes): the
  // unit of its partition tables' addresses and of the sector numbers users
  // see. The device's own when it has one, else 512 until set.
  unsigned sectorSize() const { return sectorSize_; }
  void setSectorSize(unsigned bytes) {
    if (isSectorSize(bytes)) sectorSize_ = bytes;
  }
  // 512-byte units per logical sector (1 to 8).
  std::uint32_t unitsPerSector() const { return sectorSize_ / kSectorSize; }
  // Logical sectors of the disk (0 when unknown).
  std::uint64_t diskSectors() const { return source_ ? source_->sizeBytes() / sectorSize_ : 0; }

  // Attempts on an isolated bad sector (one whose neighbours read). A
  // sector inside a run of failures is tried once.
  std::uint16_t badSectorRetries() const { return retries_.load(); }
  void setBadSectorRetries(std::uint16_t n) { retries_.store(n == 0 ? 1 : n); }

  // Sectors known to be unreadable (a rescue tool's map of an image it
  // made): they are never asked for and read as failures.
  void setUnreadable(std::vector<SectorRange> ranges) { unreadable_ = std::move(ranges); }
  const std::vector<SectorRange>& unreadable() const { return unreadable_; }

  // Asked between single reads while bad sectors are isolated: true ends the
  // isolation (the sectors not yet read count as unread). The work that
  // holds a stop flag installs it for its duration through StopScope.
  using StopCheck = std::function<bool()>;
  class StopScope {
   public:
    StopScope(SectorReader& r, StopCheck check) : r_(r), previous_(std::move(r.stopCheck_)) {
      r_.stopCheck_ = std::move(check);
    }
    ~StopScope() { r_.stopCheck_ = std::move(previous_); }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

   private:
    SectorReader& r_;
    StopCheck previous_;
  };

  // Read requests that failed, since the reader was made.
  std::uint64_t failedRequests() const { return failed_.load(); }

 private:
  bool read(std::uint64_t lba, std::uint32_t count, void* buf, bool clearFailed, std::vector<SectorRange>* unread);
  bool readRange(std::uint64_t lba, std::uint64_t count, std::uint8_t* out, std::vector<SectorRange>& bad);
  void rescue(std::uint64_t lba, std::uint64_t count, std::uint8_t* out, std::vector<SectorRange>& bad);
  bool attempt(std::uint64_t lba, std::uint64_t count, std::uint8_t* out);
  bool stopRequested() const { return stopCheck_ && stopCheck_(); }

  std::unique_ptr<BlockSource> source_;
  unsigned sectorSize_ = kSectorSize;
  std::atomic<std::uint16_t> retries_{3};
  std::vector<SectorRange> unreadable_;
  StopCheck stopCheck_;
  std::atomic<std::uint64_t> failed_{0};
};

// The logical sector size of the disk behind source: the device's own (a
// block device); else where a GPT header is found (LBA 1 of 512, 1,024,
// 2,048 or 4,096-byte sectors); else the bytes per sector of a FAT or NTFS
// boot sector at byte 0, or at the first sector of the first MBR partition
// read in that size; else what the image file records; else 512.
unsigned detectSectorSize(BlockSource& source);

// Reads a GNU ddrescue map file: every area whose status is not finished
// ('+') becomes a range of unreadable sectors (a sector partly covered counts
// whole). False with a sentence in error when the text is not such a map.
bool parseRescueMap(std::string_view text, std::vector<SectorRange>& unreadable, std::string& error);
bool loadRescueMap(const std::string& path, std::vector<SectorRange>& unreadable, std::string& error);

}  // namespace osprin
