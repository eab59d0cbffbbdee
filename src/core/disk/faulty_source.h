#pragma once
// A source that fails on purpose, for tests of failing disks: sectors that
// never read, sectors that read only after a number of failed attempts, and a
// device that ends early. A request that touches a failing sector fails as a
// whole, as a real disk does.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "disk/block_source.h"

namespace osprin {

class FaultySource : public BlockSource {
 public:
  explicit FaultySource(std::unique_ptr<BlockSource> inner) : inner_(std::move(inner)) {}

  // The sector never reads.
  void failSector(std::uint64_t lba) { bad_.insert(lba); }
  // The sector fails `failures` times, then reads.
  void failSectorTimes(std::uint64_t lba, int failures) { flaky_[lba] = failures; }
  // Everything from this sector on fails (a device that ends early).
  void endAt(std::uint64_t lba) { end_ = lba; }
  // Sectors first .. first + count - 1 never read.
  void failRange(std::uint64_t first, std::uint64_t count) {
    for (std::uint64_t s = first; s < first + count; ++s) bad_.insert(s);
  }
  // Every failed request takes this long, as a failing disk's do.
  void setFailureDelay(std::chrono::microseconds d) { failureDelay_ = d; }
  // Called after every request with the number of requests so far (tests
  // press Stop after the n-th read).
  void onRequest(std::function<void(std::uint64_t)> f) { onRequest_ = std::move(f); }

  bool readAt(std::uint64_t off, void* buf, std::size_t len) override;
  std::uint64_t sizeBytes() const override { return inner_->sizeBytes(); }
  unsigned logicalSectorSize() const override { return inner_->logicalSectorSize(); }

  // Number of readAt calls so far, and of attempts on one sector.
  std::uint64_t requests() const { return requests_; }
  std::uint64_t failedRequests() const { return failedRequests_; }
  int attemptsOn(std::uint64_t lba) const {
    auto it = attempts_.find(lba);
    return it == attempts_.end() ? 0 : it->second;
  }

 private:
  bool read(std::uint64_t off, void* buf, std::size_t len);
  std::unique_ptr<BlockSource> inner_;
  std::set<std::uint64_t> bad_;
  std::map<std::uint64_t, int> flaky_;
  std::map<std::uint64_t, int> attempts_;
  std::uint64_t end_ = UINT64_MAX;
  std::uint64_t requests_ = 0;
  std::uint64_t failedRequests_ = 0;
  std::chrono::microseconds failureDelay_{0};
  std::function<void(std::uint64_t)> onRequest_;
  std::vector<char> scratch_;
  std::mutex mu_;
};

}  // namespace osprin
