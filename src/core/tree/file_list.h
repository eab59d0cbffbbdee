#pragma once
// The rows of the browse step's file list: a folder's subfolders, then its
// files, in list order. Recovery, Open and the command line read the same
// rows, so the texts shown are the texts acted on.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"

namespace osprin {

struct ListRow {
  std::string name;
  bool folder = false;
  bool deleted = false;
  std::uint64_t size = 0;  // 0 for folders
  std::string created;     // column "Created" (FAT: the creation date and time)
  std::string modified;    // column "Modified" (FAT: the last-write date and time)
  std::uint64_t id = 0;    // column "ID": tree item, fileIndex or record sector
};

// Decides whether a file name passes the filter table (folders always pass).
using FileFilter = std::function<bool(std::string_view name)>;

// "Folder" / "Deleted Folder" for folders; for files the type name given by
// the caller's shell lookup, with "Deleted " in front of deleted ones.
std::string rowTypeText(const ListRow& row, std::string_view fileTypeName);
// True when a type text names a folder ("Folder" or "Deleted Folder", any case).
bool isFolderTypeText(std::string_view type);
// A simple type name from the extension ("TXT File", "File"), for callers
// without a desktop type database.
std::string plainTypeName(std::string_view fileName);

// "01-01-2009 " from a packed FAT date.
std::string fatDateText(std::uint16_t date);
// "01-01-2009 14:05:32" from a packed FAT date and time: the wall-clock time
// the entry holds (FAT keeps local time without a zone), seconds from the
// two-second field plus the whole seconds of hundredths (creation times
// carry 10 ms units, 0-199).
std::string fatDateTimeText(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths = 0);
// "5-3-2004 7:8:9" from an NTFS FILETIME, taken as UTC.
std::string ntfsTimeText(std::uint64_t filetime);

std::vector<ListRow> listFatFolder(FileTree& tree, std::uint32_t parentCluster, const FileFilter& filter = {});
std::vector<ListRow> listNtfsFolder(FileTree& tree, const NtfsFileSet& files, std::uint32_t parentRecord,
                                    const FileFilter& filter = {});

}  // namespace osprin
