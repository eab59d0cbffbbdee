#include "disk/faulty_source.h"

#include <cstring>
#include <thread>

#include "common/types.h"

namespace osprin {

bool FaultySource::readAt(std::uint64_t off, void* buf, std::size_t len) {
  const bool ok = read(off, buf, len);
  if (onRequest_) onRequest_(requests_);
  return ok;
}

bool FaultySource::read(std::uint64_t off, void* buf, std::size_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  ++requests_;
  // A failed request leaves the caller's buffer as it was.
  scratch_.resize(len);
  bool ok = inner_->readAt(off, scratch_.data(), len);
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
  if (ok) {
    std::memcpy(buf, scratch_.data(), len);
  } else {
    ++failedRequests_;
    if (failureDelay_.count() > 0) std::this_thread::sleep_for(failureDelay_);
  }
  return ok;
}

}  // namespace osprin
