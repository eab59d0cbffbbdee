#include "tree/file_tree.h"

#include <algorithm>
#include <unordered_set>

namespace osprin {

bool FileTree::addFatFolder(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                            const FatTimes& times, bool deleted) {
  auto [it, inserted] = fatFolderById_.try_emplace(firstCluster, static_cast<std::uint32_t>(fatFolders.size()));
  if (!inserted) {
    FatFolderNode& old = fatFolders[it->second];
    if (deleted || !old.deleted) return false;
    // A live entry for a folder listed from a deleted one: the live entry
    // names the folder.
    old.name.assign(name);
    if (old.parentCluster != parentCluster) {
      old.parentCluster = parentCluster;
      fatFolderKids_.clear();
    }
    old.setTimes(times);
    old.deleted = false;
    return false;
  }
  FatFolderNode f;
  f.name.assign(name);
  f.firstCluster = firstCluster;
  f.parentCluster = parentCluster;
  f.deleted = deleted;
  f.setTimes(times);
  fatFolders.push_back(std::move(f));
  ++folderCount;
  return true;
}

void FileTree::addFatFile(std::string_view name, std::uint32_t firstCluster, std::uint32_t parentCluster,
                          const FatTimes& times, std::uint64_t size, bool deleted) {
  FatFileNode f;
  f.name.assign(name);
  f.firstCluster = firstCluster;
  f.parentCluster = parentCluster;
  f.size = size;
  f.validLength = size;
  f.deleted = deleted;
  f.fileIndex = fileCount;
  f.setTimes(times);
  fatFiles.push_back(std::move(f));
}

bool FileTree::addNtfsFolder(std::string_view name, std::uint32_t recordNumber, std::uint32_t parentRecord,
                             std::uint64_t creationTime, std::uint64_t changeTime, bool deleted, ScanType scan) {
  auto [it, inserted] = ntfsFolderById_.try_emplace(recordNumber, static_cast<std::uint32_t>(ntfsFolders.size()));
  if (!inserted && scan == ScanType::Advanced) return false;
  ntfsFolders.push_back(
      NtfsFolderNode{std::string(name), recordNumber, parentRecord, creationTime, changeTime, 0, deleted});
  ++folderCount;
  return true;
}

void FileTree::addNtfsFile(SectorNo dataRecordSector, std::string_view name, std::uint32_t recordNumber,
                           std::uint32_t parentRecord, std::uint64_t creationTime, std::uint64_t changeTime,
                           bool deleted, std::uint64_t size, bool stream) {
  ntfsFiles.push_back(NtfsFileNode{std::string(name), dataRecordSector, recordNumber, parentRecord, creationTime,
                                   changeTime, size, deleted, stream});
}

bool FileTree::renameFatFolder(std::uint32_t parentCluster, std::uint32_t firstCluster, std::string_view name,
                               const FatTimes& times, bool deleted) {
  // First cluster is unique in the list, so the first record with both
  // values is the one with that first cluster, if its parent matches.
  auto idx = findFatFolder(firstCluster);
  if (idx < 0 || fatFolders[static_cast<std::size_t>(idx)].parentCluster != parentCluster) return false;
  if (deleted && fatNamedLive_.count(firstCluster)) return false;  // the old entry of a renamed folder
  if (!deleted) fatNamedLive_.insert(firstCluster);
  auto& f = fatFolders[static_cast<std::size_t>(idx)];
  f.name.assign(name);
  f.setTimes(times);
  f.deleted = deleted;
  return true;
}

void FileTree::freeFatTree() {
  fatFolders.clear();
  fatFolders.shrink_to_fit();
  fatFiles.clear();
  fatFiles.shrink_to_fit();
  fatFolderById_.clear();
  fatNamedLive_.clear();
  fatFolderKids_.clear();
  fatFileKids_.clear();
  if (treeIsFat_) {
    tree_ = FolderTree{};
    itemToFolder_.clear();
  }
  folderCount = fileCount = entriesSeen = 0;
}

void FileTree::freeNtfsTree() {
  ntfsFolders.clear();
  ntfsFolders.shrink_to_fit();
  ntfsFiles.clear();
  ntfsFiles.shrink_to_fit();
  ntfsFolderById_.clear();
  ntfsFolderKids_.clear();
  ntfsFileKids_.clear();
  ntfsFileBySector_.clear();
  ntfsFileBySectorIndexed_ = 0;
  if (!treeIsFat_) {
    tree_ = FolderTree{};
    itemToFolder_.clear();
  }
  folderCount = fileCount = 0;
}

std::int64_t FileTree::findFatFolder(std::uint32_t firstCluster) const {
  auto it = fatFolderById_.find(firstCluster);
  return it == fatFolderById_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

std::int64_t FileTree::findNtfsFolder(std::uint32_t recordNumber) const {
  auto it = ntfsFolderById_.find(recordNumber);
  return it == ntfsFolderById_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

std::int64_t FileTree::findFatFileByIndex(std::uint32_t fileIndex) const {
  if (fileIndex < fatFiles.size() && fatFiles[fileIndex].fileIndex == fileIndex) return fileIndex;
  for (std::size_t i = 0; i < fatFiles.size(); ++i)
    if (fatFiles[i].fileIndex == fileIndex) return static_cast<std::int64_t>(i);
  return -1;
}

std::int64_t FileTree::findNtfsFileBySector(SectorNo sector) {
  if (ntfsFiles.size() < ntfsFileBySectorIndexed_) {
    ntfsFileBySector_.clear();
    ntfsFileBySectorIndexed_ = 0;
  }
  for (; ntfsFileBySectorIndexed_ < ntfsFiles.size(); ++ntfsFileBySectorIndexed_)
    ntfsFileBySector_.try_emplace(ntfsFiles[ntfsFileBySectorIndexed_].dataRecordSector,
                                  static_cast<std::uint32_t>(ntfsFileBySectorIndexed_));
  auto it = ntfsFileBySector_.find(sector);
  return it == ntfsFileBySector_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

std::int64_t FileTree::folderOfItem(std::uint32_t item) const {
  auto it = itemToFolder_.find(item);
  return it == itemToFolder_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

const std::vector<std::uint32_t>& FileTree::fatFolderChildren(std::uint32_t parent) {
  return fatFolderKids_.children(fatFolders, [](const FatFolderNode& n) { return n.parentCluster; }, parent);
}
const std::vector<std::uint32_t>& FileTree::fatFileChildren(std::uint32_t parent) {
  return fatFileKids_.children(fatFiles, [](const FatFileNode& n) { return n.parentCluster; }, parent);
}
const std::vector<std::uint32_t>& FileTree::ntfsFolderChildren(std::uint32_t parent) {
  return ntfsFolderKids_.children(ntfsFolders, [](const NtfsFolderNode& n) { return n.parentRecord; }, parent);
}
const std::vector<std::uint32_t>& FileTree::ntfsFileChildren(std::uint32_t parent) {
  return ntfsFileKids_.children(ntfsFiles, [](const NtfsFileNode& n) { return n.parentRecord; }, parent);
}

namespace {

// Depth-first build shared by both kinds. Each folder record gets at most one
// item, and a folder whose identity is already on the path from the root is
// shown but not entered, so damaged parent links can neither loop nor blow up.
template <class Folders, class Kids, class Id>
void buildTree(FolderTree& tree, std::unordered_map<std::uint32_t, std::uint32_t>& itemToFolder, Folders& folders,
               std::uint32_t rootId, std::uint32_t folderCount, Kids kids, Id id, Observer& obs) {
  tree.reset("Root");
  itemToFolder.clear();
  for (auto& f : folders) f.treeItem = 0;
  const std::uint64_t total = folderCount == 0 ? 1 : folderCount;
  std::uint64_t inserted = 0;
  std::vector<char> placed(folders.size(), 0);

  struct Frame {
    std::uint32_t item;
    std::uint32_t identity;
    std::size_t next;
  };
  std::vector<Frame> stack{{FolderTree::kRoot, rootId, 0}};
  std::unordered_set<std::uint32_t> onPath{rootId};
  obs.progress(0);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<std::uint32_t>& children = kids(top.identity);
    if (top.next >= children.size()) {
      // Identities on the stack are distinct: a frame is pushed only for an
      // identity that is not on the path yet.
      onPath.erase(top.identity);
      stack.pop_back();
      continue;
    }
    std::uint32_t fi = children[top.next++];
    if (placed[fi]) continue;
    placed[fi] = 1;
    auto& folder = folders[fi];
    std::uint32_t item = tree.add(top.item, fi, folder.name);
    folder.treeItem = item;
    itemToFolder[item] = fi;
    ++inserted;
    if ((inserted & 0x3FF) == 0) obs.progress(static_cast<int>(std::min<std::uint64_t>(99, inserted * 100 / total)));
    std::uint32_t childId = id(folder);
    if (onPath.count(childId)) continue;
    onPath.insert(childId);
    stack.push_back({item, childId, 0});
  }
}

}  // namespace

void FileTree::buildFatFolderTree(Observer& obs) {
  treeIsFat_ = true;
  buildTree(
      tree_, itemToFolder_, fatFolders, kFatRootCluster, folderCount,
      [this](std::uint32_t p) -> const std::vector<std::uint32_t>& { return fatFolderChildren(p); },
      [](const FatFolderNode& f) { return f.firstCluster; }, obs);
}

void FileTree::buildNtfsFolderTree(Observer& obs) {
  treeIsFat_ = false;
  buildTree(
      tree_, itemToFolder_, ntfsFolders, kNtfsRootRecord, folderCount,
      [this](std::uint32_t p) -> const std::vector<std::uint32_t>& { return ntfsFolderChildren(p); },
      [](const NtfsFolderNode& f) { return f.recordNumber; }, obs);
}

void FileTree::renameFatFolderAt(std::size_t index, std::string_view name) {
  auto& f = fatFolders.at(index);
  f.name.assign(name);
  if (tree_.valid(f.treeItem)) tree_.item(f.treeItem).label.assign(name);
}

void FileTree::renameNtfsFolderAt(std::size_t index, std::string_view name) {
  auto& f = ntfsFolders.at(index);
  f.name.assign(name);
  if (tree_.valid(f.treeItem)) tree_.item(f.treeItem).label.assign(name);
}

}  // namespace osprin
