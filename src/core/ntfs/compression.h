#pragma once
// The compression units of a compressed NTFS stream. A unit (2^n clusters,
// usually 16) whose runs end in sparse clusters holds LZNT1 data in its
// allocated clusters; a unit with no sparse clusters is stored raw; a unit
// that is sparse throughout reads as zeros.
#include <cstdint>
#include <span>
#include <vector>

namespace osprin {

// One run of clusters of a stream, in stream order.
struct ClusterExtent {
  std::uint64_t lcn = 0;  // first cluster on the volume; meaningless when sparse
  std::uint64_t count = 0;
  bool sparse = false;
};

enum class UnitKind { Sparse, Raw, Compressed };

struct UnitPlan {
  UnitKind kind = UnitKind::Sparse;
  // The unit's allocated clusters in stream order (the compressed data, or
  // the raw bytes); sparse clusters are left out.
  std::vector<ClusterExtent> pieces;
  std::uint64_t listed = 0;  // clusters of the unit the runs cover (short when the runs end)
};

// Walks the units of a stream in order.
class UnitWalker {
 public:
  explicit UnitWalker(std::span<const ClusterExtent> runs) : runs_(runs) {}
  // The next unit of `clusters` clusters.
  UnitPlan next(std::uint64_t clusters);

 private:
  std::span<const ClusterExtent> runs_;
  std::size_t run_ = 0;
  std::uint64_t used_ = 0;  // clusters of runs_[run_] already handed out
};

}  // namespace osprin
