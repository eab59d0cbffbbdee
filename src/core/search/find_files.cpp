#include "search/find_files.h"

#include <unordered_map>

#include "common/text.h"
#include "search/match.h"

namespace osprin {

namespace {

// Folder paths by parent identity, worked out once per folder.
class PathCache {
 public:
  PathCache(FileTree& tree, bool fat) : tree_(tree), fat_(fat) {}

  const std::string& pathOf(std::uint32_t parent) {
    auto it = cache_.find(parent);
    if (it != cache_.end()) return it->second;
    return cache_.emplace(parent, compute(parent)).first->second;
  }

 private:
  std::string compute(std::uint32_t parent) const {
    if (parent == (fat_ ? kFatRootCluster : kNtfsRootRecord)) return "/";
    std::int64_t idx = fat_ ? tree_.findFatFolder(parent) : tree_.findNtfsFolder(parent);
    if (idx < 0) return "";
    std::uint32_t item = fat_ ? tree_.fatFolders[static_cast<std::size_t>(idx)].treeItem
                              : tree_.ntfsFolders[static_cast<std::size_t>(idx)].treeItem;
    const FolderTree& ft = tree_.folderTree();
    if (!ft.valid(item)) return "";
    if (item == FolderTree::kRoot) return "/";
    return ft.path(item);  // "/A/B"
  }

  FileTree& tree_;
  bool fat_;
  std::unordered_map<std::uint32_t, std::string> cache_;
};

}  // namespace

FindResult findFiles(FileTree& tree, FsType fsType, const NtfsFileSet& ntfsFiles, std::string_view pattern,
                     const std::function<void(const FindHit&)>& onHit, const StopFlag& cancel, Observer& obs) {
  FindResult res;
  const std::string upperPattern = asciiUpper(pattern);
  auto report = [&](FindHit&& hit) {
    ++res.found;
    if (onHit) onHit(hit);
    obs.counter(Counter::MatchesFound, res.found);
    obs.text(TextField::LastMatch, hit.name);
  };

  if (usesFatTree(fsType)) {
    PathCache paths(tree, true);
    for (const FatFileNode& f : tree.fatFiles) {
      if (cancel.load() != 0) {
        res.cancelled = true;
        return res;
      }
      if (!MatchName(asciiUpper(f.name), upperPattern)) continue;
      report(FindHit{f.name, paths.pathOf(f.parentCluster), f.size, f.deleted, f.fileIndex});
    }
  } else if (fsType == FsType::Ntfs && ntfsFiles.valid()) {
    PathCache paths(tree, false);
    const auto& list = ntfsFiles.list();
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (cancel.load() != 0) {
        res.cancelled = true;
        return res;
      }
      const NtfsFileNode& f = list[i];
      if (!ntfsFiles.includes(f)) continue;
      if (!MatchName(asciiUpper(f.name), upperPattern)) continue;
      report(FindHit{f.name, paths.pathOf(f.parentRecord), f.size, f.deleted, f.dataRecordSector});
    }
  }
  return res;
}

}  // namespace osprin
