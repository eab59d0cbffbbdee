#pragma once
// What the sources over the libyal image libraries (libewf, libvhdi, libvmdk,
// libqcow) share: their error objects turned into text, and one source
// class over a handle, its read-at-offset call and its close and free calls.
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "common/types.h"
#include "disk/block_source.h"

namespace osprin::libyal {

// The library's account of err ("" when err is null) as one line, and
// frees err. The libraries stack a message per function on the way out
// ("libvhdi_image_header_read_data: unsupported signature.", then "...:
// unable to read image header.", ...); the line gives the first two causes
// without the function names. Backtrace and Free are the library's
// *_error_backtrace_sprint and *_error_free.
template <typename Error>
std::string takeMessage(Error*& err, int (*backtrace)(Error*, char*, std::size_t), void (*freeError)(Error**)) {
  if (err == nullptr) return "";
  char buf[4096] = {};
  std::string all;
  if (backtrace(err, buf, sizeof buf - 1) > 0) all = buf;
  freeError(&err);
  err = nullptr;
  std::string text;
  int taken = 0;
  std::size_t pos = 0;
  std::string previous;
  while (pos < all.size() && taken < 2) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    pos = end + 1;
    // "libxxx_function_name: text" -> "text"
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos && line.compare(0, 3, "lib") == 0 && line.find(' ') > colon) line.erase(0, colon + 2);
    while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    if (line.empty() || line == previous) continue;
    previous = line;
    text += (text.empty() ? "" : "; ") + line;
    ++taken;
  }
  return text;
}

template <typename Handle, typename Error>
struct Api {
  ssize_t (*read)(Handle*, void*, std::size_t, off64_t, Error**);
  int (*close)(Handle*, Error**);
  int (*free)(Handle**, Error**);
  int (*backtrace)(Error*, char*, std::size_t);
  void (*freeError)(Error**);
};

// A read-only source over an open handle of one of the libraries; reads are
// serialised (the handles keep a read position of their own).
template <typename Handle, typename Error>
class Source : public BlockSource {
 public:
  // sectorSize: the disk's logical sector size as the image records it (0: not recorded).
  Source(const Api<Handle, Error>& api, Handle* h, std::uint64_t size, unsigned sectorSize = 0)
      : api_(api), handle_(h), size_(size), sectorSize_(isSectorSize(sectorSize) ? sectorSize : 0) {}
  ~Source() override {
    Error* err = nullptr;
    api_.close(handle_, &err);
    takeMessage(err, api_.backtrace, api_.freeError);
    api_.free(&handle_, &err);
    takeMessage(err, api_.backtrace, api_.freeError);
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  bool readAt(std::uint64_t off, void* buf, std::size_t len) override {
    if (off > size_) return false;
    const bool whole = size_ - off >= len;
    std::size_t want = whole ? len : static_cast<std::size_t>(size_ - off);
    auto* p = static_cast<std::uint8_t*>(buf);
    std::lock_guard<std::mutex> lock(mutex_);
    while (want > 0) {
      Error* err = nullptr;
      const std::size_t piece = want < (std::size_t{1} << 30) ? want : (std::size_t{1} << 30);
      ssize_t n = api_.read(handle_, p, piece, static_cast<off64_t>(off), &err);
      takeMessage(err, api_.backtrace, api_.freeError);
      if (n <= 0) return false;
      p += n;
      off += static_cast<std::uint64_t>(n);
      want -= static_cast<std::size_t>(n);
    }
    return whole;
  }
  std::uint64_t sizeBytes() const override { return size_; }
  unsigned logicalSectorSize() const override { return sectorSize_; }

 private:
  Api<Handle, Error> api_;
  Handle* handle_;
  std::uint64_t size_;
  unsigned sectorSize_;
  std::mutex mutex_;
};

}  // namespace osprin::libyal
