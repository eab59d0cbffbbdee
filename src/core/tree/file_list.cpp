#include "tree/file_list.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace osprin {

std::string rowTypeText(const ListRow& row, std::string_view fileTypeName) {
  if (row.folder) return row.deleted ? "Deleted Folder" : "Folder";
  std::string t = row.deleted ? "Deleted " : "";
  t += fileTypeName;
  return t;
}

bool isFolderTypeText(std::string_view type) {
  auto eq = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
        return false;
    return true;
  };
  return eq(type, "Folder") || eq(type, "Deleted Folder");
}

std::string plainTypeName(std::string_view fileName) {
  auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= fileName.size()) return "File";
  std::string ext;
  for (char c : fileName.substr(dot + 1)) ext.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return ext + " File";
}

namespace {

// Appends v in decimal, at least `width` digits (zero-padded).
void appendNumber(std::string& out, std::uint64_t v, int width = 1) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  for (int n = static_cast<int>(end - buf); n < width; ++n) out.push_back('0');
  out.append(buf, end);
}

}  // namespace

std::string fatDateText(std::uint16_t date) {
  std::string out;
  appendNumber(out, date & 0x1Fu, 2);
  out.push_back('-');
  appendNumber(out, (date >> 5) & 0x0Fu, 2);
  out.push_back('-');
  appendNumber(out, 1980u + (date >> 9));
  out.push_back(' ');
  return out;
}

namespace {

struct Civil {
  std::uint64_t year, month, day, secondOfDay;
};

Civil civilFromFileTime(std::uint64_t filetime) {
  const std::uint64_t secs = filetime / 10000000ULL;
  const std::uint64_t days = secs / 86400ULL;
  const std::uint64_t rem = secs % 86400ULL;
  // Days since 1601-01-01 to a civil date (proleptic Gregorian), in closed
  // form: shift to a calendar whose years begin on 1 March, so that the leap
  // day ends the year. 1600-03-01 is day -306 of the count.
  const std::uint64_t z = days + 306;
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z % 146097;                                      // [0, 146096]
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);          // [0, 365]
  const std::uint64_t mp = (5 * doy + 2) / 153;                              // [0, 11], March first
  const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::uint64_t year = 1600 + yoe + 400 * era + (month <= 2 ? 1 : 0);
  return {year, month, day, rem};
}

void appendIso(std::string& out, std::uint64_t year, std::uint64_t month, std::uint64_t day) {
  appendNumber(out, year, 4);
  out.push_back('-');
  appendNumber(out, month, 2);
  out.push_back('-');
  appendNumber(out, day, 2);
}

void appendIsoTime(std::string& out, std::uint64_t h, std::uint64_t m, std::uint64_t s) {
  out.push_back('T');
  appendNumber(out, h, 2);
  out.push_back(':');
  appendNumber(out, m, 2);
  out.push_back(':');
  appendNumber(out, s, 2);
}

}  // namespace

std::string ntfsTimeText(std::uint64_t filetime) {
  const Civil c = civilFromFileTime(filetime);
  const std::uint64_t rem = c.secondOfDay;
  std::string out;
  out.reserve(24);
  appendNumber(out, c.day);
  out.push_back('-');
  appendNumber(out, c.month);
  out.push_back('-');
  appendNumber(out, c.year);
  out.push_back(' ');
  appendNumber(out, rem / 3600);
  out.push_back(':');
  appendNumber(out, rem / 60 % 60);
  out.push_back(':');
  appendNumber(out, rem % 60);
  return out;
}

std::string isoFatTime(std::uint16_t date, std::uint16_t time, bool withTime, std::uint8_t hundredths) {
  const unsigned day = date & 0x1Fu, month = (date >> 5) & 0x0Fu, year = 1980u + (date >> 9);
  if (day == 0 || month == 0 || month > 12) return "";
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return "";
  std::string out;
  out.reserve(20);
  appendIso(out, year, month, day);
  if (withTime) {
    const unsigned h = time >> 11, m = (time >> 5) & 0x3Fu, s = (time & 0x1Fu) * 2u + hundredths / 100u;
    if (h > 23 || m > 59 || s > 59) return "";
    appendIsoTime(out, h, m, s);
  }
  return out;
}

std::string isoFileTime(std::uint64_t filetime) {
  if (filetime == 0) return "";
  const Civil c = civilFromFileTime(filetime);
  std::string out;
  out.reserve(21);
  appendIso(out, c.year, c.month, c.day);
  appendIsoTime(out, c.secondOfDay / 3600, c.secondOfDay / 60 % 60, c.secondOfDay % 60);
  out.push_back('Z');
  return out;
}

std::string isoTime(const StoredTime& t) {
  switch (t.kind) {
    case StoredTime::Kind::None: return "";
    case StoredTime::Kind::FatLocal: {
      std::uint64_t ft = 0;
      if (t.hasTimeOfDay && exfatUtcFileTime(t.fatDate, t.fatTime, t.fatHundredths, t.exfatUtc, ft)) return isoFileTime(ft);
      return isoFatTime(t.fatDate, t.fatTime, t.hasTimeOfDay, t.fatHundredths);
    }
    case StoredTime::Kind::FileTimeUtc: return isoFileTime(t.fileTime);
  }
  return "";
}

std::string fatDateTimeText(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths) {
  std::string out = fatDateText(date);
  appendNumber(out, time >> 11, 2);
  out.push_back(':');
  appendNumber(out, (time >> 5) & 0x3Fu, 2);
  out.push_back(':');
  appendNumber(out, (time & 0x1Fu) * 2u + hundredths / 100u, 2);
  return out;
}

StoredTime fatStoredDate(std::uint16_t date) {
  StoredTime t;
  t.kind = StoredTime::Kind::FatLocal;
  t.fatDate = date;
  return t;
}

StoredTime fatStoredDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths, std::uint8_t exfatUtc) {
  StoredTime t = fatStoredDate(date);
  t.fatTime = time;
  t.fatHundredths = hundredths;
  t.exfatUtc = exfatUtc;
  t.hasTimeOfDay = true;
  return t;
}

StoredTime fileTimeStored(std::uint64_t filetime) {
  StoredTime t;
  t.kind = StoredTime::Kind::FileTimeUtc;
  t.fileTime = filetime;
  return t;
}

std::vector<ListRow> listFatFolder(FileTree& tree, std::uint32_t parent, const FileFilter& filter) {
  std::vector<ListRow> rows;
  for (std::uint32_t i : tree.fatFolderChildren(parent)) {
    const auto& f = tree.fatFolders[i];
    rows.push_back(ListRow{f.name, true, f.deleted, 0, fatDateTimeText(f.createDate, f.createTime, f.createHundredths),
                           fatDateTimeText(f.writeDate, f.writeTime, f.writeHundredths), f.treeItem,
                           fatStoredDateTime(f.createDate, f.createTime, f.createHundredths, f.createUtc),
                           fatStoredDateTime(f.writeDate, f.writeTime, f.writeHundredths, f.writeUtc), {},
                           f.recoverable});
  }
  for (std::uint32_t i : tree.fatFileChildren(parent)) {
    const auto& f = tree.fatFiles[i];
    if (filter && !filter(f.name)) continue;
    rows.push_back(ListRow{f.name, false, f.deleted, f.size,
                           fatDateTimeText(f.createDate, f.createTime, f.createHundredths),
                           fatDateTimeText(f.writeDate, f.writeTime, f.writeHundredths), f.fileIndex,
                           fatStoredDateTime(f.createDate, f.createTime, f.createHundredths, f.createUtc),
                           fatStoredDateTime(f.writeDate, f.writeTime, f.writeHundredths, f.writeUtc), {},
                           f.recoverable});
  }
  return rows;
}

std::vector<ListRow> listNtfsFolder(FileTree& tree, const NtfsFileSet& files, std::uint32_t parent,
                                    const FileFilter& filter) {
  std::vector<ListRow> rows;
  for (std::uint32_t i : tree.ntfsFolderChildren(parent)) {
    const auto& f = tree.ntfsFolders[i];
    rows.push_back(ListRow{f.name, true, f.deleted, 0, ntfsTimeText(f.creationTime), ntfsTimeText(f.changeTime),
                           f.treeItem, fileTimeStored(f.creationTime), fileTimeStored(f.changeTime), {}, f.recoverable});
  }
  files.forEachChild(parent, [&](std::size_t i) {
    const auto& f = files.list()[i];
    if (filter && !filter(f.name)) return;
    rows.push_back(ListRow{f.name, false, f.deleted, f.size, ntfsTimeText(f.creationTime), ntfsTimeText(f.changeTime),
                           f.dataRecordSector, fileTimeStored(f.creationTime), fileTimeStored(f.changeTime),
                           std::string(streamNameOf(f)), f.recoverable});
  });
  return rows;
}

}  // namespace osprin
