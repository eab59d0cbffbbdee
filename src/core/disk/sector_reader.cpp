#include "disk/sector_reader.h"

#include <cstring>

namespace osprin {

bool SectorReader::readSectors64(std::uint64_t lba, std::uint32_t count, void* buf) {
  return read(lba, count, buf, false);
}

bool SectorReader::readSectorsClearing(std::uint64_t lba, std::uint32_t count, void* buf) {
  return read(lba, count, buf, true);
}

bool SectorReader::read(std::uint64_t lba, std::uint32_t count, void* buf, bool clearFailed) {
  auto* out = static_cast<std::uint8_t*>(buf);
  if (!source_ || count == 0) {
    if (clearFailed && count != 0) std::memset(out, 0, static_cast<std::size_t>(count) * kSectorSize);
    return source_ != nullptr;
  }
  if (source_->readAt(lba * kSectorSize, out, static_cast<std::size_t>(count) * kSectorSize)) return true;
  // Fall back to one sector at a time so that the readable ones are kept.
  // Sectors past the end of the disk (when its size is known) do not exist:
  // they fail at once instead of being asked for again and again.
  bool all = true;
  const std::uint16_t attempts = badSectorRetries();
  const std::uint64_t total = totalSectors();
  for (std::uint32_t i = 0; i < count; ++i) {
    bool ok = false;
    std::uint8_t* sector = out + static_cast<std::size_t>(i) * kSectorSize;
    const bool exists = total == 0 || lba + i < total;
    for (std::uint16_t a = 0; exists && a < attempts && !ok; ++a)
      ok = source_->readAt((lba + i) * kSectorSize, sector, kSectorSize);
    if (!ok && clearFailed) std::memset(sector, 0, kSectorSize);
    all = all && ok;
  }
  return all;
}

}  // namespace osprin
