#pragma once
// The single entry point for disk reads: 512-byte sectors by absolute number.
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/types.h"
#include "disk/block_source.h"

namespace osprin {

class SectorReader {
 public:
  SectorReader() = default;  // no disk: every read fails and leaves the buffer alone
  explicit SectorReader(std::unique_ptr<BlockSource> source) : source_(std::move(source)) {}

  // Reads count sectors from lba into buf (count * 512 bytes). One request
  // first; when it fails, sector by sector with badSectorRetries attempts
  // each. A sector that never reads keeps whatever buf held. Returns true when
  // every sector was read (for one sector: exactly whether it was read).
  bool readSectors(SectorNo lba, std::uint32_t count, void* buf) { return readSectors64(lba, count, buf); }
  bool readSectors64(std::uint64_t lba, std::uint32_t count, void* buf);
  // The same, except that a sector that never reads is cleared to zeros
  // instead of keeping what buf held (for callers that reuse one buffer and
  // must not see an earlier read's bytes again).
  bool readSectorsClearing(std::uint64_t lba, std::uint32_t count, void* buf);

  bool isOpen() const { return source_ != nullptr; }
  BlockSource* source() { return source_.get(); }
  // Sectors of the disk as the source reports them (0 when unknown).
  std::uint64_t totalSectors() const { return source_ ? source_->sizeBytes() / kSectorSize : 0; }

  std::uint16_t badSectorRetries() const { return retries_.load(); }
  void setBadSectorRetries(std::uint16_t n) { retries_.store(n == 0 ? 1 : n); }

 private:
  bool read(std::uint64_t lba, std::uint32_t count, void* buf, bool clearFailed);
  std::unique_ptr<BlockSource> source_;
  std::atomic<std::uint16_t> retries_{3};
};

}  // namespace osprin
