#include "tree/folder_tree.h"

#include <algorithm>

namespace osprin {

std::string FolderTree::path(std::uint32_t item) const {
  std::vector<const std::string*> parts;
  std::size_t guard = items_.size();
  while (valid(item) && item != kRoot && guard-- > 0) {
    parts.push_back(&items_[item].label);
    item = items_[item].parent;
  }
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    out += '/';
    out += **it;
  }
  return out;
}

}  // namespace osprin
