#pragma once
// Children of a parent identity in list order, for append-only record lists.
// The index catches up with new records lazily, so walkers append at full
// speed and each lookup afterwards is a hash probe instead of a list walk.
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace osprin {

class ParentIndex {
 public:
  template <class Vec, class Key>
  const std::vector<std::uint32_t>& children(const Vec& list, Key key, std::uint32_t parent) {
    if (list.size() < indexed_) clear();  // the list was replaced
    for (; indexed_ < list.size(); ++indexed_) map_[key(list[indexed_])].push_back(static_cast<std::uint32_t>(indexed_));
    auto it = map_.find(parent);
    return it == map_.end() ? empty_ : it->second;
  }
  void clear() {
    map_.clear();
    indexed_ = 0;
  }

 private:
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> map_;
  std::size_t indexed_ = 0;
  std::vector<std::uint32_t> empty_;
};

}  // namespace osprin
