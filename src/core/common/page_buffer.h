#pragma once
// A page-aligned byte buffer for large reads. The kernel copies out of the
// page cache into a buffer that is not page-aligned at a fraction of its
// speed (a third, for the deep scan of an NTFS volume), so every read buffer
// of a megabyte or so is one of these.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace osprin {

class PageBuffer {
 public:
  static constexpr std::size_t kAlign = 4096;

  PageBuffer() = default;  // holds nothing until one of size bytes is moved in
  // Throws std::bad_alloc when the memory cannot be had.
  explicit PageBuffer(std::size_t bytes)
      : size_(bytes),
        p_(static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, std::max(kAlign, (bytes + kAlign - 1) / kAlign * kAlign)))) {
    if (!p_) throw std::bad_alloc();
  }

  std::uint8_t* data() { return p_.get(); }
  const std::uint8_t* data() const { return p_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return !p_; }
  std::uint8_t operator[](std::size_t i) const { return p_[i]; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::size_t size_ = 0;
  std::unique_ptr<std::uint8_t[], Free> p_;
};

}  // namespace osprin
