#include "mbr/mbr.h"

namespace osprin {

std::array<MbrSlot, 4> readMbrSlots(Bytes sector) {
  std::array<MbrSlot, 4> slots{};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t e = 446 + 16 * i;
    MbrSlot& s = slots[i];
    s.bootFlag = rd8(sector, e);
    s.type = rd8(sector, e + 4);
    s.firstLba = rd32(sector, e + 8);
    s.sectorCount = rd32(sector, e + 12);
  }
  return slots;
}

bool isKnownPartitionType(std::uint8_t t) {
  switch (t) {
    case 0x01: case 0x04: case 0x05: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E: case 0x0F:
    case 0x11: case 0x12: case 0x14: case 0x16: case 0x17: case 0x1B: case 0x1C: case 0x1E: case 0x27:
    case 0x42: case 0x82: case 0x83: case 0x84: case 0x85: case 0x8E: case 0xA5: case 0xA6: case 0xA8:
    case 0xA9: case 0xAF: case 0xBE: case 0xBF: case 0xDA: case 0xDE: case 0xEE: case 0xEF: case 0xFB:
    case 0xFC: case 0xFD:
      return true;
    default:
      return false;
  }
}

}  // namespace osprin
