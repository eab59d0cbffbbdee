#pragma once
// Little-endian field access on raw disk buffers. Every accessor checks its
// bounds against the buffer it is given: a field that would reach past the
// end reads as 0, so a damaged structure can never make us read outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace osprin {

using Bytes = std::span<const std::uint8_t>;

inline std::uint8_t rd8(Bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }

inline std::uint16_t rd16(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 2) return 0;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

inline std::uint32_t rd32(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 4) return 0;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::uint64_t rd64(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 8) return 0;
  return static_cast<std::uint64_t>(rd32(b, off)) | (static_cast<std::uint64_t>(rd32(b, off + 4)) << 32);
}

// True when the bytes at off equal text exactly (false when out of bounds).
inline bool hasText(Bytes b, std::size_t off, std::string_view text) {
  if (off > b.size() || b.size() - off < text.size()) return false;
  return std::memcmp(b.data() + off, text.data(), text.size()) == 0;
}

// Bytes 510 and 511 are 0x55, 0xAA.
inline bool hasBootSignature(Bytes sector) { return rd8(sector, 510) == 0x55 && rd8(sector, 511) == 0xAA; }

}  // namespace osprin
