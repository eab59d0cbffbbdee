#pragma once
// The folder tree of the left pane, as plain data: item 0 means "no item",
// item 1 is the root ("Root"), folders get 2, 3, ... in the order they are
// inserted (depth first, each folder's subfolders in list order).
#include <cstdint>
#include <string>
#include <vector>

namespace osprin {

struct TreeItem {
  std::uint32_t parent = 0;  // 0 for the root
  std::int64_t folder = -1;  // index into the folder list; -1 for the root
  std::string label;
  std::vector<std::uint32_t> children;
};

class FolderTree {
 public:
  static constexpr std::uint32_t kRoot = 1;

  void reset(std::string rootLabel = "Root") {
    items_.assign(2, TreeItem{});
    items_[kRoot].label = std::move(rootLabel);
  }
  bool empty() const { return items_.size() < 2; }
  bool valid(std::uint32_t item) const { return item >= 1 && item < items_.size(); }
  const TreeItem& item(std::uint32_t i) const { return items_.at(i); }
  TreeItem& item(std::uint32_t i) { return items_.at(i); }
  std::size_t size() const { return items_.size(); }  // including the unused item 0

  std::uint32_t add(std::uint32_t parent, std::int64_t folder, std::string label) {
    auto id = static_cast<std::uint32_t>(items_.size());
    items_.push_back(TreeItem{parent, folder, std::move(label), {}});
    items_[parent].children.push_back(id);
    return id;
  }
  // "/" joined labels from below the root down to the item ("" for the root).
  std::string path(std::uint32_t item) const;

 private:
  std::vector<TreeItem> items_;
};

}  // namespace osprin
