#include "fat/dir_entry.h"

#include <algorithm>
#include <array>

#include "common/text.h"

namespace osprin {

namespace {

constexpr std::size_t kMaxLongNameUnits = 255;
// The most UTF-8 that 255 UTF-16 units make: the bound of every name in the
// tree (a snapshot holds no longer one).
constexpr std::size_t kMaxNameBytes = 3 * kMaxLongNameUnits;

// Offsets of the thirteen UTF-16 units of a long-name entry.
constexpr std::array<std::size_t, 13> kNameUnitOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The entries that precede a short entry, nearest first: the entries of the
// same sector before it, then the entries of the bytes before that sector
// (their last entry first). Each span holds whole entries.
class BackwardEntries {
 public:
  BackwardEntries(Bytes sector, int entryIndex, Bytes before)
      : spans_{sector.first(std::min<std::size_t>(sector.size(), static_cast<std::size_t>(entryIndex) * kEntrySize)),
               before.last(before.size() - before.size() % kEntrySize)} {}
  // The next entry going backwards, or an empty span at the start.
  Bytes next() {
    while (span_ < 2) {
      Bytes& s = spans_[span_];
      if (s.size() >= kEntrySize) {
        Bytes e = s.last(kEntrySize);
        s = s.first(s.size() - kEntrySize);
        return e;
      }
      ++span_;
    }
    return {};
  }

 private:
  std::array<Bytes, 2> spans_;
  int span_ = 0;
};

// The long name before an entry, walking back through `entries`.
bool assemble(BackwardEntries entries, std::string& out) {
  std::array<char16_t, kMaxLongNameUnits + 13> units;
  std::size_t count = 0;
  int parts = 0;
  // Decodes into out, reusing its storage; an empty name is no name.
  auto finish = [&] {
    if (count == 0) return false;
    out.clear();
    for (std::size_t i = 0; i < count; ++i) {
      char32_t c = units[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;  // unpaired surrogate
      }
      // A damaged directory can chain twenty full parts, 260 units: the
      // name keeps the whole characters that fit the bytes of 255 units.
      const std::size_t before = out.size();
      appendUtf8(out, c);
      if (out.size() > kMaxNameBytes) {
        out.resize(before);
        break;
      }
    }
    return true;
  };
  while (true) {
    Bytes e = entries.next();
    // The start of the directory (or of what is known of it) ends the name
    // as a short entry would.
    if (e.empty() || rd8(e, 11) != kLongNameAttr) {
      if (count > 0 && count % 13 == 0) return finish();
      return false;
    }
    ++parts;
    for (std::size_t off : kNameUnitOffsets) {
      char16_t u = rd16(e, off);
      if (u == 0) return finish();
      units[count++] = u;
    }
    if (rd8(e, 0) == 0x40 + parts) return finish();
    if (count > kMaxLongNameUnits) return finish();
  }
}

std::uint32_t entryCluster(Bytes e, FsType fs) {
  std::uint32_t low = rd16(e, 26);
  if (fs == FsType::Fat16) return low;
  return (static_cast<std::uint32_t>(rd16(e, 20)) << 16) | low;
}

// The 8.3 name of an entry, 'x' for a deleted entry's first character.
// Byte 12 holds the case flags of Windows NT: 0x08 shows the base name in
// lower case, 0x10 the extension ("sing.dat" is stored "SING    DAT").
std::string_view shortName(Bytes e, std::array<char, 12>& buf, bool& deleted) {
  const std::uint8_t caseFlags = rd8(e, 12);
  auto shown = [](char c, bool lower) {
    return lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::size_t n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    char c = static_cast<char>(rd8(e, i));
    if (c != ' ') buf[n++] = shown(c, caseFlags & 0x08);
  }
  if (rd8(e, 8) != ' ') {
    buf[n++] = '.';
    for (std::size_t i = 8; i < 11; ++i) {
      char c = static_cast<char>(rd8(e, i));
      if (c != ' ') buf[n++] = shown(c, caseFlags & 0x10);
    }
  }
  if (n > 0 && static_cast<std::uint8_t>(buf[0]) == 0xE5) {
    buf[0] = 'x';
    deleted = true;
  }
  // The name is read as text that a NUL byte ends: a damaged entry with a
  // NUL inside its 8.3 name gives the characters before it.
  std::string_view name(buf.data(), n);
  return name.substr(0, name.find('\0'));
}

}  // namespace

// Steps common to both variants: end marker, long-name parts, the volume
// label, folders without a first cluster, the 8.3 name, the long name, the
// name check. A file with first cluster 0 is an empty file (no cluster was
// ever given to it) and is named like any other.
EntryKind nameEntry(Bytes sector, int e, Bytes before, FsType fs, bool parentDeleted, std::array<char, 12>& shortBuf,
                    std::string& longName, EntryName& out, bool& hadCluster) {
  Bytes entry = sector.subspan(static_cast<std::size_t>(e) * kEntrySize, kEntrySize);
  if (rd8(entry, 0) == 0) return EntryKind::End;
  out.deleted = parentDeleted;
  const std::uint8_t attr = rd8(entry, 11);
  if (attr == kLongNameAttr || (attr & kVolumeLabelAttr)) return EntryKind::Skip;
  out.firstCluster = entryCluster(entry, fs);
  if (out.firstCluster == 0 && (attr & kFolderAttr)) return EntryKind::Skip;
  if (out.firstCluster != 0) hadCluster = true;
  out.name = shortName(entry, shortBuf, out.deleted);
  bool fromLong = false;
  if (assemble(BackwardEntries(sector, e, before), longName)) {
    out.name = longName;
    fromLong = true;
  }
  if (!isValidName(out.name, fromLong)) return EntryKind::Skip;
  return EntryKind::Named;
}

bool exfatUtcFileTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths, std::uint8_t utc,
                      std::uint64_t& filetime) {
  int offset = 0;
  if (!exfatUtcOffsetMinutes(utc, offset)) return false;
  const unsigned day = date & 0x1Fu, month = (date >> 5) & 0x0Fu;
  const int year = 1980 + (date >> 9);
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > mdays[month - 1] + (month == 2 && leap ? 1u : 0u)) return false;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3Fu, second = (time & 0x1Fu) * 2u;
  if (hour > 23 || minute > 59 || second > 59) return false;
  // Days since 1601-01-01 (the proleptic Gregorian calendar).
  auto daysFromCivil = [](std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;  // days since 1970-01-01
  };
  constexpr std::int64_t kDays1601To1970 = 134774;
  const std::int64_t days = daysFromCivil(year, month, day) + kDays1601To1970;
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second + hundredths / 100 -
                               std::int64_t{offset} * 60;
  filetime = static_cast<std::uint64_t>(seconds) * 10000000ull + std::uint64_t{hundredths % 100u} * 100000ull;
  return true;
}

FatTimes fatEntryTimes(Bytes e) {
  FatTimes t;
  t.createHundredths = rd8(e, 13);
  t.createTime = rd16(e, 14);
  t.createDate = rd16(e, 16);
  t.accessDate = rd16(e, 18);
  t.writeTime = rd16(e, 22);
  t.writeDate = rd16(e, 24);
  return t;
}

bool assembleLongName(Bytes sector, Bytes previousSector, int entryIndex, std::string& out) {
  if (entryIndex < 0 || static_cast<std::size_t>(entryIndex) * kEntrySize > sector.size()) return false;
  return assemble(BackwardEntries(sector, entryIndex, previousSector), out);
}

bool isValidName(std::string_view name, bool fromLongName) {
  // Names that would address the folder itself or its parent are never
  // file names, whatever the directory claims.
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 31) return false;  // control characters, NUL included
    if (c >= 128 && !fromLongName) return false;
    switch (c) {
      case '"': case '\\': case '/': case '?': case '*': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace osprin
