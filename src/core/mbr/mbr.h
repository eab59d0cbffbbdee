#pragma once
// The master boot record's partition table and the extended boot records
// of its chain: four 16-byte slots at byte 446, before the 0x55AA
// signature.
#include <array>
#include <cstdint>

#include "common/bytes.h"

namespace osprin {

struct MbrSlot {
  std::uint8_t bootFlag = 0;   // 0x00 or 0x80
  std::uint8_t type = 0;       // 0: empty
  std::uint32_t firstLba = 0;  // the disk's sectors (an EBR's are relative)
  std::uint32_t sectorCount = 0;
  bool empty() const { return type == 0; }
};

// The four slots of a table sector (every read inside it).
std::array<MbrSlot, 4> readMbrSlots(Bytes sector);

// 0x05, 0x0F, 0x85: an extended partition (the link to the next EBR).
constexpr bool isExtendedType(std::uint8_t t) { return t == 0x05 || t == 0x0F || t == 0x85; }
// 0xEE: the GPT's protective (or hybrid) entry.
constexpr std::uint8_t kGptProtectiveType = 0xEE;

// Partition types that a real table holds (DOS, Windows, Linux, BSD, the
// GPT protective entry, hidden FAT and NTFS): an entry of any other type
// in sector 0 is boot code read as a table.
bool isKnownPartitionType(std::uint8_t t);

}  // namespace osprin
