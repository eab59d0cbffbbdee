#include "disk/sector_reader.h"

namespace osprin {

bool SectorReader::readSectors64(std::uint64_t lba, std::uint32_t count, void* buf) {
  if (!source_ || count == 0) return source_ != nullptr;
  auto* out = static_cast<std::uint8_t*>(buf);
  if (source_->readAt(lba * kSectorSize, out, static_cast<std::size_t>(count) * kSectorSize)) return true;
  // Fall back to one sector at a time so that the readable ones are kept.
  bool all = true;
  const std::uint16_t attempts = badSectorRetries();
  for (std::uint32_t i = 0; i < count; ++i) {
    bool ok = false;
    for (std::uint16_t a = 0; a < attempts && !ok; ++a)
      ok = source_->readAt((lba + i) * kSectorSize, out + static_cast<std::size_t>(i) * kSectorSize, kSectorSize);
    all = all && ok;
  }
  return all;
}

}  // namespace osprin
