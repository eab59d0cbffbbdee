#pragma once
// The run list (mapping pairs) of a non-resident NTFS attribute: where its
// clusters lie. The one decoder that listing, recovery, the verdicts and
// the deep scan use.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/bytes.h"

namespace osprin {

// One data run of a non-resident NTFS attribute.
struct DataRun {
  std::int64_t startCluster = 0;  // meaningless for a sparse run
  std::uint64_t length = 0;       // clusters
  bool sparse = false;            // no offset field: a hole, read as zeros
};

struct RunList {
  std::vector<DataRun> runs;
  // The list ended at a field that cannot be taken (a length or offset
  // wider than 8 bytes or reaching past the attribute, a length of no
  // bytes, a run before cluster 0 or past any disk).
  bool damaged = false;
};

// Decodes the runs of the non-resident attribute at attrOffset of record,
// within the attribute's own length and the record. Offsets are signed and
// count from the previous run that is not sparse (the first from cluster
// 0); a first offset that would lie before cluster 0 is read unsigned, as
// a writer that left out the sign byte meant it. At most maxRuns runs; a
// resident attribute has none.
RunList decodeDataRuns(Bytes record, std::size_t attrOffset,
                       std::size_t maxRuns = std::numeric_limits<std::size_t>::max());

}  // namespace osprin
