#pragma once
// The rebuilt directory tree: four record lists in discovery order, hash
// indexes for identity and parent lookups, and the folder tree built from
// the folder lists.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/observer.h"
#include "tree/file_nodes.h"
#include "tree/folder_tree.h"
#include "tree/parent_index.h"

namespace osprin {

class FileTree {
 public:
  // The lists. Walkers append through the add functions below; readers may
  // use the vectors directly. Records are never removed one by one.
  std::vector<FatFolderNode> fatFolders;
  std::vector<FatFileNode> fatFiles;
  std::vector<NtfsFolderNode> ntfsFolders;
  std::vector<NtfsFileNode> ntfsFiles;

  std::uint32_t folderCount = 0;  // folders added to either list
  std::uint32_t fileCount = 0;    // files added; the next FAT fileIndex
  std::uint32_t entriesSeen = 0;  // FAT entries accepted (walker progress)

  // Appends unless a folder with that first cluster exists; returns whether
  // it was added (and then increments folderCount). A live entry for the
  // first cluster of a folder listed from a deleted entry takes that record
  // over (name, parent, times, not deleted): when Explorer renames a
  // folder, the old deleted entry can stay beside the new one, both naming
  // the same cluster, and the folder is the live one.
  bool addFatFolder(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                    const FatTimes& times, bool deleted);
  bool addFatFolder(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                    std::uint16_t writeDate, std::uint16_t accessDate, bool deleted) {
    return addFatFolder(name, firstCluster, parentCluster, datesOnly(writeDate, accessDate), deleted);
  }
  // Appends with fileIndex = fileCount; the caller increments fileCount.
  void addFatFile(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                  const FatTimes& times, std::uint64_t size, bool deleted);
  void addFatFile(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                  std::uint16_t writeDate, std::uint16_t accessDate, std::uint32_t size, bool deleted) {
    addFatFile(name, firstCluster, parentCluster, datesOnly(writeDate, accessDate), size, deleted);
  }
  // In an advanced scan a second folder with the same record number is
  // dropped; the standard scan appends without testing. Returns whether added.
  bool addNtfsFolder(std::string_view name, std::uint32_t recordNumber, std::uint32_t parentRecord,
                     std::uint64_t creationTime, std::uint64_t changeTime, bool deleted, ScanType scan);
  // Appends; the caller increments fileCount (not for streams).
  void addNtfsFile(SectorNo dataRecordSector, std::string_view name, std::uint32_t recordNumber,
                   std::uint32_t parentRecord, std::uint64_t creationTime, std::uint64_t changeTime, bool deleted,
                   std::uint64_t size, bool stream = false);
  // Renames the first folder with that parent and first cluster and sets its
  // deleted flag and times; false when there is none. A deleted entry does
  // not rename a folder that a live entry has named (a renamed folder's old
  // entry).
  bool renameFatFolder(std::uint32_t parentCluster, std::uint32_t firstCluster, std::string_view name,
                       const FatTimes& times, bool deleted);
  bool renameFatFolder(std::uint32_t parentCluster, std::uint32_t firstCluster, std::string_view name, bool deleted) {
    const auto idx = findFatFolder(firstCluster);
    return renameFatFolder(parentCluster, firstCluster, name,
                           idx < 0 ? FatTimes{} : fatFolders[static_cast<std::size_t>(idx)].times(), deleted);
  }

  void freeFatTree();   // empties the FAT lists; resets folderCount, fileCount, entriesSeen
  void freeNtfsTree();  // empties the NTFS lists; resets folderCount, fileCount

  // Identity lookups; the first record in list order wins. -1 when none.
  std::int64_t findFatFolder(std::uint32_t firstCluster) const;
  std::int64_t findNtfsFolder(std::uint32_t recordNumber) const;
  std::int64_t findFatFileByIndex(std::uint32_t fileIndex) const;
  std::int64_t findNtfsFileBySector(SectorNo dataRecordSector);
  // The folder record shown by a tree item; -1 for the root or no match.
  std::int64_t folderOfItem(std::uint32_t item) const;

  // Children of a parent identity, as indexes into the lists, in list order.
  const std::vector<std::uint32_t>& fatFolderChildren(std::uint32_t parentCluster);
  const std::vector<std::uint32_t>& fatFileChildren(std::uint32_t parentCluster);
  const std::vector<std::uint32_t>& ntfsFolderChildren(std::uint32_t parentRecord);
  const std::vector<std::uint32_t>& ntfsFileChildren(std::uint32_t parentRecord);

  // Builds the folder tree from the root (FAT parent cluster 0, NTFS record
  // 5), filling each reachable folder's treeItem. Progress goes to obs.
  void buildFatFolderTree(Observer& obs = nullObserver());
  void buildNtfsFolderTree(Observer& obs = nullObserver());
  FolderTree& folderTree() { return tree_; }
  const FolderTree& folderTree() const { return tree_; }

  // Gives a folder a new name (the rename command), in its record and its
  // tree item.
  void renameFatFolderAt(std::size_t index, std::string_view name);
  void renameNtfsFolderAt(std::size_t index, std::string_view name);

 private:
  static FatTimes datesOnly(std::uint16_t writeDate, std::uint16_t accessDate) {
    FatTimes t;
    t.writeDate = writeDate;
    t.accessDate = accessDate;
    return t;
  }
  std::unordered_set<std::uint32_t> fatNamedLive_;  // first clusters that renameFatFolder named from a live entry
  std::unordered_map<std::uint32_t, std::uint32_t> fatFolderById_;
  std::unordered_map<std::uint32_t, std::uint32_t> ntfsFolderById_;
  std::unordered_map<std::uint32_t, std::uint32_t> itemToFolder_;
  ParentIndex fatFolderKids_, fatFileKids_, ntfsFolderKids_, ntfsFileKids_;
  std::unordered_map<SectorNo, std::uint32_t> ntfsFileBySector_;
  std::size_t ntfsFileBySectorIndexed_ = 0;
  FolderTree tree_;
  bool treeIsFat_ = true;
};

}  // namespace osprin
