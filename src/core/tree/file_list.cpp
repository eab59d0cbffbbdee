#include "tree/file_list.h"

#include <cctype>
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

std::string fatDateText(std::uint16_t date) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u-%02u-%u ", date & 0x1Fu, (date >> 5) & 0x0Fu, 1980u + (date >> 9));
  return buf;
}

std::string ntfsTimeText(std::uint64_t filetime) {
  std::uint64_t secs = filetime / 10000000ULL;
  std::uint64_t days = secs / 86400ULL;
  std::uint64_t rem = secs % 86400ULL;
  // Days since 1601-01-01 to a civil date (proleptic Gregorian). 1601 starts
  // a 400-year cycle, which keeps the arithmetic in whole cycles.
  std::uint64_t y = 1601 + 400 * (days / 146097);
  std::uint64_t d = days % 146097;
  auto leap = [](std::uint64_t yr) { return (yr % 4 == 0 && yr % 100 != 0) || yr % 400 == 0; };
  while (true) {
    std::uint64_t len = leap(y) ? 366 : 365;
    if (d < len) break;
    d -= len;
    ++y;
  }
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned m = 0;
  while (m < 12) {
    unsigned len = mdays[m] + (m == 1 && leap(y) ? 1 : 0);
    if (d < len) break;
    d -= len;
    ++m;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%u-%u-%llu %u:%u:%u", static_cast<unsigned>(d + 1), m + 1,
                static_cast<unsigned long long>(y), static_cast<unsigned>(rem / 3600),
                static_cast<unsigned>(rem / 60 % 60), static_cast<unsigned>(rem % 60));
  return buf;
}

std::vector<ListRow> listFatFolder(FileTree& tree, std::uint32_t parent, const FileFilter& filter) {
  std::vector<ListRow> rows;
  for (std::uint32_t i : tree.fatFolderChildren(parent)) {
    const auto& f = tree.fatFolders[i];
    rows.push_back(ListRow{f.name, true, f.deleted, 0, fatDateText(f.writeDate), fatDateText(f.accessDate), f.treeItem});
  }
  for (std::uint32_t i : tree.fatFileChildren(parent)) {
    const auto& f = tree.fatFiles[i];
    if (filter && !filter(f.name)) continue;
    rows.push_back(
        ListRow{f.name, false, f.deleted, f.size, fatDateText(f.writeDate), fatDateText(f.accessDate), f.fileIndex});
  }
  return rows;
}

std::vector<ListRow> listNtfsFolder(FileTree& tree, const NtfsFileSet& files, std::uint32_t parent,
                                    const FileFilter& filter) {
  std::vector<ListRow> rows;
  for (std::uint32_t i : tree.ntfsFolderChildren(parent)) {
    const auto& f = tree.ntfsFolders[i];
    rows.push_back(ListRow{f.name, true, f.deleted, 0, ntfsTimeText(f.creationTime), ntfsTimeText(f.changeTime),
                           f.treeItem});
  }
  files.forEachChild(parent, [&](std::size_t i) {
    const auto& f = files.list()[i];
    if (filter && !filter(f.name)) return;
    rows.push_back(ListRow{f.name, false, f.deleted, f.size, ntfsTimeText(f.creationTime), ntfsTimeText(f.changeTime),
                           f.dataRecordSector});
  });
  return rows;
}

}  // namespace osprin
