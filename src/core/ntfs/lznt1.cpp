#include "ntfs/lznt1.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace osprin {

namespace {

// Decodes the data of one compressed chunk (after its header) into out, at
// most 4096 bytes. Returns the bytes produced, or -1 when damaged.
std::ptrdiff_t decodeChunk(Bytes in, std::uint8_t* out, std::size_t room) {
  std::size_t ip = 0, op = 0;
  while (ip < in.size()) {
    const std::uint8_t tag = in[ip++];
    for (int bit = 0; bit < 8 && ip < in.size(); ++bit) {
      if ((tag & (1u << bit)) == 0) {
        if (op >= room) return -1;
        out[op++] = in[ip++];
        continue;
      }
      if (in.size() - ip < 2 || op == 0) return -1;
      const std::uint16_t token = static_cast<std::uint16_t>(in[ip] | (in[ip + 1] << 8));
      ip += 2;
      // The split between offset and length moves with the position in the
      // chunk: 4 bits of offset up to 16 bytes, then one more per doubling.
      unsigned offsetBits = 4;
      for (std::size_t p = op - 1; p >= 0x10; p >>= 1) ++offsetBits;
      const unsigned lengthBits = 16 - offsetBits;
      const std::size_t back = (static_cast<std::size_t>(token) >> lengthBits) + 1;
      const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      if (back > op || length > room - op) return -1;
      // Byte by byte: the source may overlap the bytes being written.
      for (std::size_t i = 0; i < length; ++i, ++op) out[op] = out[op - back];
    }
  }
  return static_cast<std::ptrdiff_t>(op);
}

}  // namespace

Lznt1Result lznt1Decompress(Bytes in, std::span<std::uint8_t> out) {
  Lznt1Result r;
  std::array<std::uint8_t, kLznt1ChunkSize> chunk;
  std::size_t ip = 0;
  while (r.produced < out.size()) {
    if (in.size() - ip < 2) break;
    const std::uint16_t header = static_cast<std::uint16_t>(in[ip] | (in[ip + 1] << 8));
    if (header == 0) break;
    const std::size_t dataLength = (header & 0x0FFFu) + 1u;
    ip += 2;
    if (in.size() - ip < dataLength) {
      r.damaged = true;
      break;
    }
    const Bytes data = in.subspan(ip, dataLength);
    ip += dataLength;
    const std::size_t room = std::min(kLznt1ChunkSize, out.size() - r.produced);
    std::uint8_t* dst = out.data() + r.produced;
    if ((header & 0x8000u) == 0) {
      // A chunk stored as it is.
      const std::size_t n = std::min(room, data.size());
      std::memcpy(dst, data.data(), n);
      r.produced += n;
      if (n < room) break;  // a short stored chunk ends the data
      continue;
    }
    const std::ptrdiff_t decoded = decodeChunk(data, chunk.data(), chunk.size());
    if (decoded < 0) {
      r.damaged = true;
      break;
    }
    const auto n = std::min(room, static_cast<std::size_t>(decoded));
    std::memcpy(dst, chunk.data(), n);
    // A chunk that expands to less than 4096 bytes is followed by zeros up
    // to the next chunk when more chunks follow.
    const bool more = in.size() - ip >= 2 && (in[ip] | in[ip + 1]) != 0;
    if (n < room && !more) {
      r.produced += n;
      break;
    }
    std::memset(dst + n, 0, room - n);
    r.produced += room;
  }
  return r;
}

}  // namespace osprin
