#include "fat/fat_table.h"

#include <algorithm>
#include <unordered_set>

namespace osprin {

std::uint32_t fatEntryIn(Bytes unit, std::uint32_t cluster, bool fat32) {
  const std::size_t i = cluster % fatEntriesPerUnit(fat32);
  return fat32 ? rd32(unit, i * 4) : rd16(unit, i * 2);
}

bool FatTable::entry(std::uint32_t cluster, std::uint32_t& value) {
  if (start_ == 0) return false;
  const std::uint64_t index = cluster / fatEntriesPerUnit(fat32_);
  if (units_ != 0 && index >= units_) return false;
  if (index != cached_) {
    cachedOk_ = reader_.readSectorsClearing(start_ + index, 1, unit_);
    cached_ = index;
  }
  if (!cachedOk_) return false;
  value = fatEntryIn(Bytes(unit_, sizeof unit_), cluster, fat32_);
  return true;
}

FatTable::Chain FatTable::follow(std::uint32_t first, std::uint64_t maxClusters, const std::function<bool()>& stop) {
  Chain chain;
  chain.clusters.push_back(first);
  std::unordered_set<std::uint32_t> seen;  // filled once the chain gets long
  constexpr std::size_t kLinearSearch = 64;
  std::uint32_t c = first;
  while (chain.clusters.size() < maxClusters) {
    if (stop && stop()) break;
    std::uint32_t next = 0;
    if (!entry(c, next)) {
      chain.unreadable = start_ != 0 && (units_ == 0 || c / fatEntriesPerUnit(fat32_) < units_);
      break;
    }
    if (!(exfat_ ? exfatLinksOn(next) : fatLinksOn(next, fat32_))) break;
    // A cluster past the table belongs to no chain.
    if (units_ != 0 && next / fatEntriesPerUnit(fat32_) >= units_) break;
    // A cluster already in the chain would loop.
    auto& list = chain.clusters;
    if (list.size() < kLinearSearch) {
      if (std::find(list.begin(), list.end(), next) != list.end()) break;
    } else {
      if (seen.empty()) seen.insert(list.begin(), list.end());
      if (!seen.insert(next).second) break;
    }
    list.push_back(next);
    c = next;
  }
  return chain;
}

}  // namespace osprin
