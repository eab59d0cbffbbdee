#pragma once
// The header of an NTFS file record ("FILE"): the fields every layer reads,
// by their offsets.
#include <cstddef>

namespace osprin::ntfsrec {

constexpr std::size_t kUsaOffset = 4;        // u16: where the update sequence array begins (48 or later: NTFS 3.1)
constexpr std::size_t kUsaCount = 6;         // u16: its entries, the check value included
constexpr std::size_t kFirstAttribute = 20;  // u16: offset of the first attribute
constexpr std::size_t kFlags = 22;           // u16: 1 in use, 2 a folder
constexpr std::size_t kAllocatedSize = 28;   // u32: the record's size (1,024 or 4,096)
constexpr std::size_t kBaseReference = 32;   // u64: the base record of an extension record (0 for a base)
constexpr std::size_t kRecordNumber = 44;    // u32: the record's own number (NTFS 3.1)
// The update sequence array begins here or later when the header holds the
// record number.
constexpr std::size_t kNumberedHeader = 48;

}  // namespace osprin::ntfsrec
