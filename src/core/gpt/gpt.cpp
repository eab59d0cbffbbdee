#include "gpt/gpt.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "mbr/mbr.h"
#include "common/text.h"

namespace osprin::gpt {

bool Guid::isZero() const {
  for (std::uint8_t b : bytes)
    if (b != 0) return false;
  return true;
}

std::string Guid::text() const {
  // Bytes 0-3, 4-5 and 6-7 are little-endian numbers; 8-15 are in order.
  static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", bytes[static_cast<std::size_t>(order[i])]);
    out += hex;
  }
  return out;
}

Guid readGuid(Bytes b, std::size_t off) {
  Guid g;
  for (std::size_t i = 0; i < 16; ++i) g.bytes[i] = rd8(b, off + i);
  return g;
}

std::uint64_t Header::entryArraySectors(unsigned sectorSize) const {
  const std::uint64_t bytes = std::uint64_t{entryCount} * entrySize;
  return (bytes + sectorSize - 1) / sectorSize;
}

const char* statusText(HeaderStatus s) {
  switch (s) {
    case HeaderStatus::Ok: return "it is sound";
    case HeaderStatus::Unreadable: return "its sector cannot be read";
    case HeaderStatus::NoSignature: return "no \"EFI PART\" signature";
    case HeaderStatus::BadRevision: return "an unknown revision";
    case HeaderStatus::BadHeaderSize: return "an impossible header size";
    case HeaderStatus::BadHeaderCrc: return "its CRC32 does not match";
    case HeaderStatus::WrongLba: return "it names another sector as its own";
    case HeaderStatus::BadLimits: return "its sector ranges lie outside the disk";
    case HeaderStatus::BadEntryFormat: return "an impossible entry count or size";
  }
  return "";
}

std::uint32_t crc32Of(Bytes b) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt: feed large buffers in pieces.
  std::size_t off = 0;
  while (off < b.size()) {
    const std::size_t n = std::min<std::size_t>(b.size() - off, 1u << 30);
    crc = ::crc32(crc, b.data() + off, static_cast<uInt>(n));
    off += n;
  }
  return static_cast<std::uint32_t>(crc);
}

HeaderStatus parseHeader(Bytes s, std::uint64_t lba, std::uint64_t diskSectors, Header& h) {
  h = Header{};
  if (!hasText(s, hdr::kSignature, "EFI PART")) return HeaderStatus::NoSignature;
  h.revision = rd32(s, hdr::kRevision);
  h.headerSize = rd32(s, hdr::kHeaderSize);
  h.headerCrc = rd32(s, hdr::kHeaderCrc);
  h.myLba = rd64(s, hdr::kMyLba);
  h.alternateLba = rd64(s, hdr::kAlternateLba);
  h.firstUsableLba = rd64(s, hdr::kFirstUsable);
  h.lastUsableLba = rd64(s, hdr::kLastUsable);
  h.diskGuid = readGuid(s, hdr::kDiskGuid);
  h.entryArrayLba = rd64(s, hdr::kEntryArrayLba);
  h.entryCount = rd32(s, hdr::kEntryCount);
  h.entrySize = rd32(s, hdr::kEntrySize);
  h.entryArrayCrc = rd32(s, hdr::kEntryArrayCrc);

  if ((h.revision >> 16) != 1) return HeaderStatus::BadRevision;
  if (h.headerSize < kMinHeaderSize || h.headerSize > s.size()) return HeaderStatus::BadHeaderSize;
  std::vector<std::uint8_t> copy(s.begin(), s.begin() + h.headerSize);
  for (std::size_t i = 0; i < 4; ++i) copy[hdr::kHeaderCrc + i] = 0;
  if (crc32Of(Bytes(copy.data(), h.headerSize)) != h.headerCrc) return HeaderStatus::BadHeaderCrc;
  if (h.myLba != lba) return HeaderStatus::WrongLba;
  if (h.entryCount == 0 || h.entryCount > kMaxEntryCount || h.entrySize < kMinEntrySize ||
      h.entrySize > kMaxEntrySize || h.entrySize % 8 != 0)
    return HeaderStatus::BadEntryFormat;
  if (h.firstUsableLba > h.lastUsableLba || h.entryArrayLba < 2 || h.entryArrayLba == h.myLba)
    return HeaderStatus::BadLimits;
  if (diskSectors != 0) {
    // No overflow: both bounded above. The sector is as long as the disk's sectors.
    const auto sectorSize = static_cast<unsigned>(s.size() < kSectorSize ? kSectorSize : s.size());
    const std::uint64_t arrayEnd = h.entryArrayLba + h.entryArraySectors(sectorSize);
    if (h.myLba >= diskSectors || h.lastUsableLba >= diskSectors || h.entryArrayLba >= diskSectors ||
        arrayEnd > diskSectors)
      return HeaderStatus::BadLimits;
  }
  return HeaderStatus::Ok;
}

std::vector<Entry> parseEntries(Bytes array, const Header& h) {
  std::vector<Entry> out;
  if (h.entrySize < kMinEntrySize || h.entrySize > kMaxEntrySize) return out;
  const std::uint32_t count = std::min(h.entryCount, kMaxEntryCount);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t off = std::size_t{i} * h.entrySize;
    if (off >= array.size() || array.size() - off < h.entrySize) break;
    const Bytes e = array.subspan(off, h.entrySize);
    Entry x;
    x.typeGuid = readGuid(e, ent::kTypeGuid);
    if (x.typeGuid.isZero()) continue;
    x.index = i;
    x.uniqueGuid = readGuid(e, ent::kUniqueGuid);
    x.firstLba = rd64(e, ent::kFirstLba);
    x.lastLba = rd64(e, ent::kLastLba);
    x.attributes = rd64(e, ent::kAttributes);
    if (x.lastLba < x.firstLba) continue;
    x.name = utf16leToUtf8(e, ent::kName, kNameUnits, true);
    out.push_back(std::move(x));
  }
  return out;
}

bool hasProtectiveEntry(Bytes mbr) {
  if (!hasBootSignature(mbr)) return false;
  for (const MbrSlot& s : readMbrSlots(mbr))
    if (s.type == kGptProtectiveType) return true;
  return false;
}

bool isProtectiveOnly(Bytes mbr) {
  if (!hasProtectiveEntry(mbr)) return false;
  for (const MbrSlot& s : readMbrSlots(mbr))
    if (!s.empty() && s.type != kGptProtectiveType) return false;
  return true;
}

namespace {

// Reads the header at lba and its array. Ok only when both are sound.
HeaderStatus readAt(SectorReader& reader, std::uint64_t lba, std::uint64_t diskSectors, Table& t,
                    bool& arrayDamaged) {
  arrayDamaged = false;
  // LBAs count the disk's own sectors; the reader counts 512-byte units.
  const std::uint32_t units = reader.unitsPerSector();
  std::vector<std::uint8_t> sector(reader.sectorSize());
  if (!reader.readSectorsClearing(lba * units, units, sector.data())) return HeaderStatus::Unreadable;
  HeaderStatus st = parseHeader(Bytes(sector), lba, diskSectors, t.header);
  if (st != HeaderStatus::Ok) return st;
  // At most 8192 512-byte units by the bounds above.
  const std::uint64_t sectors = t.header.entryArraySectors(reader.sectorSize()) * units;
  std::vector<std::uint8_t> array(static_cast<std::size_t>(sectors) * kSectorSize);
  const bool read =
      reader.readSectorsClearing(t.header.entryArrayLba * units, static_cast<std::uint32_t>(sectors), array.data());
  const Bytes used(array.data(), std::size_t{t.header.entryCount} * t.header.entrySize);
  if (!read || crc32Of(used) != t.header.entryArrayCrc) {
    arrayDamaged = true;
    return HeaderStatus::BadLimits;
  }
  t.entries = parseEntries(used, t.header);
  t.headerLba = lba;
  return HeaderStatus::Ok;
}

std::string problemText(HeaderStatus st, bool arrayDamaged) {
  if (arrayDamaged) return "the CRC32 of its entry array does not match";
  return statusText(st);
}

}  // namespace

std::optional<Table> readTable(SectorReader& reader, std::string* why) {
  const std::uint64_t disk = reader.diskSectors();
  Table primary;
  bool arrayDamaged = false;
  const HeaderStatus st = readAt(reader, 1, disk, primary, arrayDamaged);
  if (st == HeaderStatus::Ok) return primary;
  const std::string problem = problemText(st, arrayDamaged);

  // The backup: at the disk's last LBA, or where a primary header whose own
  // fields are sound says it is.
  std::vector<std::uint64_t> places;
  if (disk >= 3) places.push_back(disk - 1);
  if ((st == HeaderStatus::Ok || arrayDamaged) && primary.header.alternateLba > 1 &&
      primary.header.alternateLba < disk && primary.header.alternateLba != disk - 1)
    places.push_back(primary.header.alternateLba);
  std::string backupProblem = "the disk is too small to hold it";
  for (std::uint64_t lba : places) {
    Table backup;
    bool backupArrayDamaged = false;
    const HeaderStatus bs = readAt(reader, lba, disk, backup, backupArrayDamaged);
    if (bs == HeaderStatus::Ok) {
      backup.fromBackup = true;
      backup.primaryProblem = problem;
      return backup;
    }
    backupProblem = problemText(bs, backupArrayDamaged);
  }
  if (why) *why = "the primary GPT header is damaged (" + problem + ") and so is the backup header (" + backupProblem + ")";
  return std::nullopt;
}

std::string backupWarning(const Table& t) {
  return "The primary GPT header is damaged (" + t.primaryProblem +
         "); the partitions come from the backup header at sector " + dec(t.headerLba) + ".";
}

}  // namespace osprin::gpt
