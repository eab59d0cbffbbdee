#pragma once
// FAT directory entries: the 32-byte short entry (8.3 name, attributes,
// first cluster, times, size) and the long-name entries before it.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/types.h"

namespace osprin {

constexpr std::size_t kEntrySize = 32;
constexpr int kEntriesPerSector = static_cast<int>(kSectorSize / kEntrySize);  // per 512-byte unit
constexpr std::uint8_t kLongNameAttr = 0x0F;
constexpr std::uint8_t kFolderAttr = 0x10;
constexpr std::uint8_t kVolumeLabelAttr = 0x08;

// The times of a FAT directory entry as the entry stores them: packed dates
// (day in bits 0-4, month 5-8, year - 1980 9-15) and packed times (seconds / 2
// in bits 0-4, minutes 5-10, hours 11-15) of the clock of the machine that
// wrote them, which FAT does not name: they are local times of an unknown
// zone. A field of 0 is "not set" (old DOS versions keep no creation time).
struct FatTimes {
  std::uint16_t createDate = 0;       // entry bytes 16-17
  std::uint16_t createTime = 0;       // entry bytes 14-15
  std::uint8_t createHundredths = 0;  // entry byte 13: 10 ms units, 0-199, added to createTime
  std::uint16_t writeDate = 0;        // entry bytes 24-25 (last write)
  std::uint16_t writeTime = 0;        // entry bytes 22-23
  std::uint16_t accessDate = 0;       // entry bytes 18-19 (last access, a date only)
  // exFAT only (0 on FAT): the 10 ms units of the last write (0-199), and
  // the UTC offsets of the creation and last write as exFAT stores them
  // (bit 7 set: bits 0-6 are a signed count of 15 minutes; clear: no offset).
  std::uint8_t writeHundredths = 0;
  std::uint8_t createUtc = 0;
  std::uint8_t writeUtc = 0;
};

// The UTC offset in minutes of an exFAT offset byte; false when the byte
// says none is stored.
inline bool exfatUtcOffsetMinutes(std::uint8_t utc, int& minutes) {
  if ((utc & 0x80) == 0) return false;
  const int quarters = (utc & 0x40) != 0 ? static_cast<int>(utc & 0x7F) - 128 : static_cast<int>(utc & 0x7F);
  minutes = quarters * 15;
  return true;
}

// The FILETIME (100 ns units since 1601-01-01 UTC) of an exFAT time: the
// packed date and time, its 10 ms units (0-199) and its UTC offset byte.
// False when no offset is stored (the time is then a local time of an
// unknown zone, as on FAT) or the date names no calendar day.
bool exfatUtcFileTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths, std::uint8_t utc,
                      std::uint64_t& filetime);

// The times of a 32-byte directory entry.
FatTimes fatEntryTimes(Bytes entry);

// One entry turned into a name, or skipped.
struct EntryName {
  std::string_view name;
  bool deleted = false;
  std::uint32_t firstCluster = 0;
};

enum class EntryKind { End, Skip, Named };

// Entry e of sector (before: the bytes parsed just before the sector, for a
// long name that began there): the end marker, long-name parts, the volume
// label and folders without a first cluster are told apart from named
// entries; a named one gets its 8.3 name (case flags applied, 'x' for a
// deleted entry's first character), its long name when one precedes it,
// and the name check. A file with first cluster 0 is an empty file and is
// named like any other. hadCluster is set when the entry names a cluster.
EntryKind nameEntry(Bytes sector, int e, Bytes before, FsType fs, bool parentDeleted, std::array<char, 12>& shortBuf,
                    std::string& longName, EntryName& out, bool& hadCluster);

// The long name of the short entry at index e of the sector (UTF-8), looking
// into the previous sector when the long-name entries begin there.
bool assembleLongName(Bytes sector, Bytes previousSector, int entryIndex, std::string& out);

// False for names with bytes 0-31 or any of " \ / ? * < > |, and for short
// names with bytes 128-255 (decoded long names may hold any character).
bool isValidName(std::string_view name, bool fromLongName);

}  // namespace osprin
