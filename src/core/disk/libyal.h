#pragma once
// What the sources over the libyal image libraries (libewf, libvhdi, libvmdk,
// libqcow) share: their error objects turned into text, and one source
// class over a handle, its read-at-offset call and its close and free calls.
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "disk/block_source.h"

namespace osprin::libyal {

// The library's text of err ("" when err is null), on one line, and frees
// err. Sprint and Free are the library's *_error_sprint and *_error_free.
template <typename Error>
std::string takeMessage(Error*& err, int (*sprint)(Error*, char*, std::size_t), void (*freeError)(Error**)) {
  if (err == nullptr) return "";
  char buf[1024] = {};
  std::string text;
  if (sprint(err, buf, sizeof buf - 1) > 0) text = buf;
  freeError(&err);
  err = nullptr;
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

template <typename Handle, typename Error>
struct Api {
  ssize_t (*read)(Handle*, void*, std::size_t, off64_t, Error**);
  int (*close)(Handle*, Error**);
  int (*free)(Handle**, Error**);
  int (*sprint)(Error*, char*, std::size_t);
  void (*freeError)(Error**);
};

// A read-only source over an open handle of one of the libraries; reads are
// serialised (the handles keep a read position of their own).
template <typename Handle, typename Error>
class Source : public BlockSource {
 public:
  Source(const Api<Handle, Error>& api, Handle* h, std::uint64_t size) : api_(api), handle_(h), size_(size) {}
  ~Source() override {
    Error* err = nullptr;
    api_.close(handle_, &err);
    takeMessage(err, api_.sprint, api_.freeError);
    api_.free(&handle_, &err);
    takeMessage(err, api_.sprint, api_.freeError);
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
      takeMessage(err, api_.sprint, api_.freeError);
      if (n <= 0) return false;
      p += n;
      off += static_cast<std::uint64_t>(n);
      want -= static_cast<std::size_t>(n);
    }
    return whole;
  }
  std::uint64_t sizeBytes() const override { return size_; }

 private:
  Api<Handle, Error> api_;
  Handle* handle_;
  std::uint64_t size_;
  std::mutex mutex_;
};

}  // namespace osprin::libyal
