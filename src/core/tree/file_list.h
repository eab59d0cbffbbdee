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
  std::string created;     // column "Created"
  std::string modified;    // column "Modified"
  std::uint64_t id = 0;    // column "ID": tree item, fileIndex or record sector
  Recoverability recoverable{};  // of deleted records, once assessed
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
// "5-3-2004 7:8:9" from an NTFS FILETIME, taken as UTC.
std::string ntfsTimeText(std::uint64_t filetime);

std::vector<ListRow> listFatFolder(FileTree& tree, std::uint32_t parentCluster, const FileFilter& filter = {});
std::vector<ListRow> listNtfsFolder(FileTree& tree, const NtfsFileSet& files, std::uint32_t parentRecord,
                                    const FileFilter& filter = {});

}  // namespace osprin
