#pragma once
// The NTFS files of the tree in use: the standard scan's ntfsFiles, or the
// deep scan's file records limited to the chosen file system's sectors
// (clusterBase < sector <= volumeEnd).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "tree/file_nodes.h"
#include "tree/parent_index.h"

namespace osprin {

class NtfsFileSet {
 public:
  NtfsFileSet() = default;
  // All records of list (a standard scan).
  NtfsFileSet(std::vector<NtfsFileNode>& list, ParentIndex& index) : list_(&list), index_(&index) {}
  // The records of list whose sector s satisfies low < s <= high (a deep
  // scan); list is in ascending sector order.
  NtfsFileSet(std::vector<NtfsFileNode>& list, ParentIndex& index, SectorNo low, SectorNo high)
      : list_(&list), index_(&index), ranged_(true), low_(low), high_(high) {}

  bool valid() const { return list_ != nullptr; }
  bool ranged() const { return ranged_; }
  bool includes(const NtfsFileNode& f) const {
    return !ranged_ || (f.dataRecordSector > low_ && f.dataRecordSector <= high_);
  }
  std::vector<NtfsFileNode>& list() const { return *list_; }

  // Indexes (into list()) of the included files of a parent, in list order.
  template <class Fn>
  void forEachChild(std::uint32_t parent, Fn fn) const {
    if (!list_) return;
    for (std::uint32_t i : index_->children(*list_, [](const NtfsFileNode& n) { return n.parentRecord; }, parent))
      if (includes((*list_)[i])) fn(i);
  }
  // Indexes of every included file, in list order.
  template <class Fn>
  void forEach(Fn fn) const {
    if (!list_) return;
    for (std::size_t i = 0; i < list_->size(); ++i)
      if (includes((*list_)[i])) fn(i);
  }
  // The first included file whose record sector is s; -1 when none.
  std::int64_t findBySector(SectorNo s) const {
    if (!list_) return -1;
    if (ranged_) {
      auto it = std::lower_bound(list_->begin(), list_->end(), s,
                                 [](const NtfsFileNode& n, SectorNo v) { return n.dataRecordSector < v; });
      if (it != list_->end() && it->dataRecordSector == s && includes(*it)) return it - list_->begin();
      return -1;
    }
    for (std::size_t i = 0; i < list_->size(); ++i)
      if ((*list_)[i].dataRecordSector == s) return static_cast<std::int64_t>(i);
    return -1;
  }

 private:
  std::vector<NtfsFileNode>* list_ = nullptr;
  ParentIndex* index_ = nullptr;
  bool ranged_ = false;
  SectorNo low_ = 0, high_ = 0;
};

}  // namespace osprin
