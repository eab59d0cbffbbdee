#include "ntfs/run_list.h"

#include <algorithm>

#include "common/types.h"

namespace osprin {

namespace {

// A little-endian unsigned field of 1 to 8 bytes.
std::uint64_t readUnsigned(Bytes b, std::size_t off, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(rd8(b, off + i)) << (8 * i);
  return v;
}

std::int64_t signExtend(std::uint64_t raw, unsigned width) {
  const unsigned bits = 8 * width;
  if (bits < 64 && (raw & (std::uint64_t{1} << (bits - 1)))) raw |= ~std::uint64_t{0} << bits;
  return static_cast<std::int64_t>(raw);
}

}  // namespace

RunList decodeDataRuns(Bytes rec, std::size_t attr, std::size_t maxRuns) {
  RunList out;
  if (attr >= rec.size() || rec.size() - attr < 34 || rd8(rec, attr + 8) == 0) return out;
  // The attribute's bytes, cut at the end of the record.
  const Bytes a = rec.subspan(attr, std::min<std::size_t>(rd32(rec, attr + 4), rec.size() - attr));
  std::size_t pos = rd16(a, 32);
  // The runs begin inside the attribute, with at least their end mark.
  if (pos >= a.size()) {
    out.damaged = true;
    return out;
  }
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(kSectorNoLimit);
  std::int64_t previous = 0;
  bool first = true;
  while (pos < a.size() && out.runs.size() < maxRuns) {
    const std::uint8_t header = a[pos];
    if (header == 0) break;
    const unsigned lenWidth = header & 0x0Fu, offWidth = header >> 4;
    if (lenWidth == 0 || lenWidth > 8 || offWidth > 8 || a.size() - pos < 1u + lenWidth + offWidth) {
      out.damaged = true;
      break;
    }
    DataRun run;
    run.length = readUnsigned(a, pos + 1, lenWidth);
    if (offWidth == 0) {
      run.sparse = true;
    } else {
      const std::uint64_t raw = readUnsigned(a, pos + 1 + lenWidth, offWidth);
      std::int64_t delta = signExtend(raw, offWidth);
      if (first && delta < 0 && offWidth < 8) delta = static_cast<std::int64_t>(raw);
      // A run before the start of the volume, or past any disk.
      if (delta >= kLimit || delta <= -kLimit || previous + delta < 0 || previous + delta >= kLimit) {
        out.damaged = true;
        break;
      }
      run.startCluster = previous + delta;
      previous = run.startCluster;
      first = false;
    }
    out.runs.push_back(run);
    pos += 1u + lenWidth + offWidth;
  }
  return out;
}

}  // namespace osprin
