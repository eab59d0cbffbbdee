// Selections of a disk's sectors, as the partition list and the range
// fields make them.
#pragma once

#include "volume/volume_params.h"

namespace osprin::test {

// A partition or a typed range: sectors start to end, both included.
inline Selection selection(FsType fs, SectorNo start, SectorNo end) {
  Selection s;
  s.fsType = fs;
  s.rangeStart = start;
  s.rangeEnd = end;
  s.rangeLength = end - start + 1;
  return s;
}

// A deep-scan range: sectors start up to end, end not included.
inline Selection scanRange(FsType fs, SectorNo start, SectorNo end) {
  Selection s = selection(fs, start, end);
  s.rangeLength = end - start;
  return s;
}

}  // namespace osprin::test
