#include "disk/faulty_source.h"

#include "common/types.h"

namespace osprin {

bool FaultySource::readAt(std::uint64_t off, void* buf, std::size_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  ++requests_;
  bool ok = inner_->readAt(off, buf, len);
  if (len == 0) return ok;
  std::uint64_t first = off / kSectorSize;
  std::uint64_t last = (off + len - 1) / kSectorSize;
  for (std::uint64_t s = first; s <= last; ++s) {
    ++attempts_[s];
    if (s >= end_) ok = false;
    if (bad_.count(s)) ok = false;
    auto it = flaky_.find(s);
    if (it != flaky_.end() && it->second > 0) {
      --it->second;
      ok = false;
    }
  }
  return ok;
}

}  // namespace osprin
