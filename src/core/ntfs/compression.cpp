#include "ntfs/compression.h"

#include <algorithm>

namespace osprin {

UnitPlan UnitWalker::next(std::uint64_t clusters) {
  UnitPlan plan;
  bool anyData = false, anySparse = false;
  while (plan.listed < clusters && run_ < runs_.size()) {
    const ClusterExtent& r = runs_[run_];
    const std::uint64_t take = std::min(r.count - used_, clusters - plan.listed);
    if (take > 0) {
      if (r.sparse) {
        anySparse = true;
      } else {
        anyData = true;
        if (!plan.pieces.empty() && plan.pieces.back().lcn + plan.pieces.back().count == r.lcn + used_)
          plan.pieces.back().count += take;
        else
          plan.pieces.push_back(ClusterExtent{r.lcn + used_, take, false});
      }
      plan.listed += take;
      used_ += take;
    }
    if (used_ >= r.count) {
      ++run_;
      used_ = 0;
    }
  }
  if (!anyData)
    plan.kind = UnitKind::Sparse;
  else if (anySparse)
    plan.kind = UnitKind::Compressed;
  else
    plan.kind = UnitKind::Raw;
  return plan;
}

}  // namespace osprin
