#pragma once
// LZNT1, the compression of NTFS compressed files. A compression unit (16
// clusters on most volumes) is stored as a sequence of chunks, each of which
// expands to 4096 bytes (the last one of the file possibly to fewer).
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace osprin {

constexpr std::size_t kLznt1ChunkSize = 4096;

struct Lznt1Result {
  std::size_t produced = 0;  // bytes written to out
  bool damaged = false;      // a chunk that cannot be taken ended the decoding
};

// Decodes the chunks of in into out until a chunk header of 0, the end of
// in, or out is full. A compressed chunk that expands to fewer than 4096
// bytes is followed by zeros up to the next chunk, as Windows reads it.
// Every read and write stays inside in and out; a back reference before the
// start of its chunk, a token past the chunk's end or a chunk past the end
// of in marks the result damaged (the bytes decoded so far stay).
Lznt1Result lznt1Decompress(Bytes in, std::span<std::uint8_t> out);

}  // namespace osprin
