#pragma once
// Find Files: the file records of the tree in use whose names match a
// pattern, each reported with its folder path and size.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/observer.h"
#include "common/types.h"
#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"

namespace osprin {

struct FindHit {
  std::string name;  // as stored, not upper-cased
  // "/" followed by the parent folder's path as the folder tree shows it
  // ("/" for the root, "/DIR/SUB" below it); "" when the parent folder is
  // not reachable from the root of the folder tree.
  std::string path;
  std::uint64_t size = 0;
  bool deleted = false;
  std::uint64_t id = 0;  // the list's ID: FAT fileIndex, NTFS record sector
};

struct FindResult {
  std::uint64_t found = 0;
  bool cancelled = false;
};

// Walks the files of the tree in use, in list order: tree.fatFiles for FAT16
// and FAT32, ntfsFiles (the standard scan's files, or the deep scan's records
// within the chosen file system) for NTFS. The pattern and each name are
// upper-cased and compared with MatchName. Every hit goes to onHit; the
// counter MatchesFound and the text LastMatch go to obs. cancel is checked
// before every record: a non-zero value ends the search at once, keeping the
// hits reported so far. tree.folderTree() must be built for fsType.
FindResult findFiles(FileTree& tree, FsType fsType, const NtfsFileSet& ntfsFiles, std::string_view pattern,
                     const std::function<void(const FindHit&)>& onHit, const StopFlag& cancel,
                     Observer& obs = nullObserver());

}  // namespace osprin
