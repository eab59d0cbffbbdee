#pragma once
// The GUID partition table: the protective MBR, the header at LBA 1 (and its
// backup at the disk's last LBA) and the entry array, with their CRC32s.
// Every field is read through common/bytes.h; a header whose fields would
// make the reader loop, allocate without bound or read outside the disk is
// refused as damaged.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "disk/sector_reader.h"

namespace osprin::gpt {

// Bounds a header must keep to be read at all.
constexpr std::uint32_t kMinHeaderSize = 92;
constexpr std::uint32_t kMaxEntryCount = 1024;
constexpr std::uint32_t kMinEntrySize = 128;
constexpr std::uint32_t kMaxEntrySize = 4096;
constexpr std::size_t kNameUnits = 36;  // UTF-16 units of an entry's name

// The GPT header as it lies in its sector (offsets in bytes).
namespace hdr {
constexpr std::size_t kSignature = 0;       // "EFI PART"
constexpr std::size_t kRevision = 8;        // u32, 0x00010000 for 1.0
constexpr std::size_t kHeaderSize = 12;     // u32
constexpr std::size_t kHeaderCrc = 16;      // u32, CRC32 of kHeaderSize bytes with this field zero
constexpr std::size_t kMyLba = 24;          // u64
constexpr std::size_t kAlternateLba = 32;   // u64
constexpr std::size_t kFirstUsable = 40;    // u64
constexpr std::size_t kLastUsable = 48;     // u64
constexpr std::size_t kDiskGuid = 56;       // 16 bytes
constexpr std::size_t kEntryArrayLba = 72;  // u64
constexpr std::size_t kEntryCount = 80;     // u32
constexpr std::size_t kEntrySize = 84;      // u32
constexpr std::size_t kEntryArrayCrc = 88;  // u32
}  // namespace hdr

// One entry of the array (offsets in bytes inside the entry).
namespace ent {
constexpr std::size_t kTypeGuid = 0;     // 16 bytes; all zeros: the entry is unused
constexpr std::size_t kUniqueGuid = 16;  // 16 bytes
constexpr std::size_t kFirstLba = 32;    // u64
constexpr std::size_t kLastLba = 40;     // u64, inclusive
constexpr std::size_t kAttributes = 48;  // u64
constexpr std::size_t kName = 56;        // 36 UTF-16LE units
}  // namespace ent

struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  bool isZero() const;
  // The registry form: the first three groups little-endian, as GPT stores
  // them ("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7").
  std::string text() const;
  bool operator==(const Guid&) const = default;
};
Guid readGuid(Bytes b, std::size_t off);

struct Header {
  std::uint32_t revision = 0;
  std::uint32_t headerSize = 0;
  std::uint32_t headerCrc = 0;
  std::uint64_t myLba = 0;
  std::uint64_t alternateLba = 0;
  std::uint64_t firstUsableLba = 0;
  std::uint64_t lastUsableLba = 0;
  Guid diskGuid;
  std::uint64_t entryArrayLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;
  std::uint32_t entryArrayCrc = 0;
  // Sectors the entry array takes (entryCount * entrySize rounded up).
  std::uint64_t entryArraySectors(unsigned sectorSize = kSectorSize) const;
};

struct Entry {
  std::uint32_t index = 0;  // slot in the array, from 0
  Guid typeGuid;
  Guid uniqueGuid;
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;  // inclusive
  std::uint64_t attributes = 0;
  std::string name;  // UTF-8 from the entry's UTF-16LE name
};

enum class HeaderStatus {
  Ok,
  Unreadable,      // the sector could not be read
  NoSignature,     // not "EFI PART"
  BadRevision,     // not a 1.x revision
  BadHeaderSize,   // below 92 or above the sector
  BadHeaderCrc,    // the header's CRC32 does not match
  WrongLba,        // the header does not name the sector it was read from
  BadLimits,       // usable range or entry array outside the disk, or out of order
  BadEntryFormat,  // entry count or size outside the bounds above
};
// What is wrong, as it follows "damaged (": "its CRC32 does not match".
const char* statusText(HeaderStatus s);

// CRC32 (ISO-HDLC, as GPT uses it) of b.
std::uint32_t crc32Of(Bytes b);

// Parses the header in sector (one of the disk's sectors, 512 to 4,096
// bytes) read from lba of a disk of diskSectors sectors (0: unknown, the limits against the disk's end
// are not checked). out is filled as far as the fields go, whatever the status.
HeaderStatus parseHeader(Bytes sector, std::uint64_t lba, std::uint64_t diskSectors, Header& out);

// The used entries (type GUID not zero) of an entry array of header h, in
// slot order. Entries whose last LBA is before their first are left out.
std::vector<Entry> parseEntries(Bytes array, const Header& h);

// True when one of the four MBR slots of sector 0 is of type 0xEE (a
// protective MBR, or a hybrid one that also lists partitions).
bool hasProtectiveEntry(Bytes mbr);
// True when 0xEE is the only type in the four slots (a protective MBR).
bool isProtectiveOnly(Bytes mbr);

struct Table {
  Header header;
  std::vector<Entry> entries;
  bool fromBackup = false;  // the primary was damaged: these come from the backup
  std::uint64_t headerLba = 0;
  // Why the primary was not used (empty when it was).
  std::string primaryProblem;
};

// Reads the GPT in the reader's sector size (LBAs, and Entry's first and
// last LBA, count the disk's own sectors): the primary header at LBA 1 and its array; when either is
// damaged, the backup header at the disk's last LBA (or where the primary
// names it) and its array. nullopt when neither is usable; *why then says
// what was wrong with each (when why is given).
std::optional<Table> readTable(SectorReader& reader, std::string* why = nullptr);

// "The primary GPT header is damaged (...); the partitions come from the
// backup header at sector N."
std::string backupWarning(const Table& t);

}  // namespace osprin::gpt
