#pragma once
// exFAT directories: 32-byte entries grouped in entry sets. A file or
// folder is a file entry (0x85), a stream extension (0xC0: first cluster,
// sizes, the NoFatChain flag) and file name entries (0xC1: 15 UTF-16 units
// each), guarded by a checksum over the set. Deleting clears bit 7 of each
// entry's type (0x05, 0x40, 0x41) and leaves the rest as it was.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "fat/dir_entry.h"

namespace osprin {

namespace exfat {
constexpr std::size_t kEntryBytes = 32;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::uint8_t kSecondary = 0x40;  // type category bit: a secondary entry
constexpr std::uint8_t kTypeEnd = 0x00;
constexpr std::uint8_t kTypeBitmap = 0x81;
constexpr std::uint8_t kTypeUpcase = 0x82;
constexpr std::uint8_t kTypeLabel = 0x83;
constexpr std::uint8_t kTypeFile = 0x85;
constexpr std::uint8_t kTypeStream = 0xC0;
constexpr std::uint8_t kTypeName = 0xC1;
constexpr std::uint16_t kAttrDirectory = 0x10;
constexpr std::uint8_t kFlagAllocationPossible = 0x01;
constexpr std::uint8_t kFlagNoFatChain = 0x02;
constexpr std::size_t kNameUnitsPerEntry = 15;
constexpr std::size_t kMaxNameUnits = 255;
// A file set has a stream extension and 1 to 17 name entries, and may
// carry vendor entries after them.
constexpr std::uint8_t kMinSecondaries = 2;
constexpr std::uint8_t kMaxSecondaries = 255;
}  // namespace exfat

// One file or folder as its entry set gives it.
struct ExfatEntrySet {
  std::string name;  // UTF-8
  std::uint16_t attributes = 0;
  bool deleted = false;     // the in-use bits are clear
  bool checksumOk = false;  // the set checksum matches (for a deleted set, with the in-use bits set again)
  bool noFatChain = false;  // the clusters are contiguous and the FAT holds no chain for them
  std::uint32_t firstCluster = 0;  // 0 when nothing is allocated
  std::uint64_t dataLength = 0;
  std::uint64_t validLength = 0;   // bytes written; what lies past it reads as zeros (at most dataLength)
  FatTimes times;                  // the timestamps in FAT's packed form, with exFAT's 10 ms and UTC fields
  std::size_t entries = 0;         // entries the set spans (1 + secondary count)

  bool folder() const { return (attributes & exfat::kAttrDirectory) != 0; }
};

enum class ExfatEntryKind {
  End,      // type 0x00: the directory ends
  Other,    // an entry that is not the start of a file set (bitmap, up-case, label, a stray secondary, rubbish)
  FileSet,  // a file set, live or deleted, that passes the checks
};

// The set checksum of the entries at dir[off...] (count entries): bytes 2
// and 3 of the first (the checksum itself) are left out, and each entry's
// type is read with its in-use bit set, so a deleted set checks as it did
// when it was live.
std::uint16_t exfatSetChecksum(Bytes dir, std::size_t off, std::size_t count);

// Reads the entry at byte offset off of a directory's bytes. For a file
// entry, live or deleted, checks the set that starts there: a secondary
// count of 2 or more, every entry of it inside dir and of the same state
// (in use or not), a stream extension first, a name of 1 to 255 units from
// name entries, and for a deleted set the checksum (a live set is kept
// when its checksum fails, with checksumOk false). entries tells how many
// entries to step over: the set's length for a FileSet, 1 otherwise.
ExfatEntryKind readExfatEntry(Bytes dir, std::size_t off, ExfatEntrySet& out);

// Whether a cluster's bytes read as part of a folder: an entry set starts in
// it and passes its checksum, or (a folder's last cluster, holding the tail
// of a set) every entry is one a folder holds and not all are 0.
bool exfatLooksLikeFolderCluster(Bytes cluster);

// The timestamps of a file entry (bytes 8-24) in FAT's packed form.
FatTimes exfatEntryTimes(Bytes fileEntry);

// An exFAT allocation bitmap or up-case table entry (0x81, 0x82): where
// its data lies.
struct ExfatSystemEntry {
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::uint8_t flags = 0;  // bitmap: bit 0 says which FAT it belongs to
};
ExfatSystemEntry readExfatSystemEntry(Bytes dir, std::size_t off);

}  // namespace osprin
