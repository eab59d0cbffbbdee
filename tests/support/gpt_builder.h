#pragma once
// Builds GUID partition tables in a disk held in memory: the protective MBR,
// the primary header at LBA 1 with its array at LBA 2, and the backup array
// and header at the disk's end, with correct CRC32s (which a test may then
// break). Only for test programs that link osprin_gpt.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/types.h"
#include "gpt/gpt.h"

namespace osprin::test {

struct GptPart {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::u16string name;
  std::uint8_t typeByte = 0xA2;  // first byte of the type GUID (0 leaves the entry unused)
};

class GptDisk {
 public:
  explicit GptDisk(std::uint64_t sectors, std::uint32_t entryCount = 128, std::uint32_t entrySize = 128)
      : bytes(sectors * kSectorSize, '\0'), sectors_(sectors), count_(entryCount), size_(entrySize) {}

  std::string bytes;

  char* at(std::uint64_t s) { return bytes.data() + s * kSectorSize; }
  std::uint64_t arraySectors() const { return (std::uint64_t{count_} * size_ + kSectorSize - 1) / kSectorSize; }
  std::uint64_t backupArrayLba() const { return sectors_ - 1 - arraySectors(); }

  // Sector 0: one 0xEE slot over the disk (and, for a hybrid MBR, a second
  // slot of type hybridType over [hybridFirst, +hybridCount)).
  void protectiveMbr(std::uint8_t hybridType = 0, std::uint32_t hybridFirst = 0, std::uint32_t hybridCount = 0) {
    char* s = at(0);
    std::memset(s + 446, 0, 64);
    slot(s, 0, 0xEE, 1, static_cast<std::uint32_t>(sectors_ - 1 > 0xFFFFFFFFull ? 0xFFFFFFFFull : sectors_ - 1));
    if (hybridType != 0) slot(s, 1, hybridType, hybridFirst, hybridCount);
    s[510] = 0x55;
    s[511] = static_cast<char>(0xAA);
  }

  // Both headers and arrays for parts.
  void write(const std::vector<GptPart>& parts) {
    std::vector<std::uint8_t> array(static_cast<std::size_t>(arraySectors() * kSectorSize), 0);
    for (std::size_t i = 0; i < parts.size() && i < count_; ++i) {
      std::uint8_t* e = array.data() + i * size_;
      e[0] = parts[i].typeByte;
      for (int k = 1; k < 16 && parts[i].typeByte != 0; ++k) e[k] = static_cast<std::uint8_t>(0x10 + k);
      for (int k = 0; k < 16; ++k) e[16 + k] = static_cast<std::uint8_t>(i + 1);
      put64(e + 32, parts[i].first);
      put64(e + 40, parts[i].last);
      for (std::size_t u = 0; u < parts[i].name.size() && u < 36; ++u) {
        e[56 + 2 * u] = static_cast<std::uint8_t>(parts[i].name[u] & 0xFF);
        e[57 + 2 * u] = static_cast<std::uint8_t>(parts[i].name[u] >> 8);
      }
    }
    const std::uint32_t arrayCrc =
        gpt::crc32Of(Bytes(array.data(), std::size_t{count_} * size_));
    std::memcpy(at(2), array.data(), array.size());
    std::memcpy(at(backupArrayLba()), array.data(), array.size());
    header(1, sectors_ - 1, 2, arrayCrc);
    header(sectors_ - 1, 1, backupArrayLba(), arrayCrc);
  }

  // Writes a header at lba (CRC computed).
  void header(std::uint64_t lba, std::uint64_t alternate, std::uint64_t arrayLba, std::uint32_t arrayCrc) {
    char* h = at(lba);
    std::memset(h, 0, kSectorSize);
    std::memcpy(h, "EFI PART", 8);
    put32(h + 8, 0x00010000);
    put32(h + 12, 92);
    put64(h + 24, lba);
    put64(h + 32, alternate);
    put64(h + 40, 2 + arraySectors());
    put64(h + 48, sectors_ - 2 - arraySectors());
    for (int k = 0; k < 16; ++k) h[56 + k] = static_cast<char>(0xD0 + k);
    put64(h + 72, arrayLba);
    put32(h + 80, count_);
    put32(h + 84, size_);
    put32(h + 88, arrayCrc);
    fixCrc(lba);
  }

  // Recomputes the header CRC at lba after a field was changed.
  void fixCrc(std::uint64_t lba) {
    char* h = at(lba);
    put32(h + 16, 0);
    std::uint32_t size = 0;
    std::memcpy(&size, h + 12, 4);
    if (size > kSectorSize) size = kSectorSize;
    put32(h + 16, gpt::crc32Of(Bytes(reinterpret_cast<const std::uint8_t*>(h), size)));
  }

  static void put32(void* p, std::uint32_t v) {
    auto* b = static_cast<std::uint8_t*>(p);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  static void put64(void* p, std::uint64_t v) {
    auto* b = static_cast<std::uint8_t*>(p);
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }

 private:
  static void slot(char* s, int i, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    char* e = s + 446 + 16 * i;
    e[4] = static_cast<char>(type);
    put32(e + 8, first);
    put32(e + 12, count);
  }

  std::uint64_t sectors_;
  std::uint32_t count_, size_;
};

}  // namespace osprin::test
