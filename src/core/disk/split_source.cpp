// Split raw images: NAME.001, NAME.002, ... (or .000, or the two-digit
// suffixes of `split -d`) read as one disk, each segment opened read-only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "disk/image_sources.h"

namespace osprin {

namespace {

// Splits path into the part before its trailing run of digits and that run
// ("disk.img.001" -> "disk.img.", "001"). False when the last name does not
// end in a dot followed by at least two digits.
bool segmentNumber(const std::string& path, std::string& stem, std::string& digits) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  digits = path.substr(dot + 1);
  if (digits.size() < 2 || digits.size() > 9) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  stem = path.substr(0, dot + 1);
  return true;
}

std::string numbered(const std::string& stem, unsigned long n, std::size_t width) {
  std::string d = std::to_string(n);
  if (d.size() < width) d.insert(0, width - d.size(), '0');
  return stem + d;
}

bool isFile(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class SplitSource : public BlockSource {
 public:
  struct Segment {
    int fd;
    std::uint64_t start;
    std::uint64_t size;
  };
  explicit SplitSource(std::vector<Segment> segs, std::uint64_t total) : segs_(std::move(segs)), size_(total) {}
  ~SplitSource() override {
    for (auto& s : segs_) ::close(s.fd);
  }
  SplitSource(const SplitSource&) = delete;
  SplitSource& operator=(const SplitSource&) = delete;

  bool readAt(std::uint64_t off, void* buf, std::size_t len) override {
    auto* p = static_cast<char*>(buf);
    // The segment that holds off: the last one that starts at or before it.
    auto it = std::upper_bound(segs_.begin(), segs_.end(), off,
                               [](std::uint64_t o, const Segment& s) { return o < s.start; });
    if (it == segs_.begin()) return len == 0;
    --it;
    while (len > 0) {
      if (it == segs_.end()) return false;  // past the last segment
      const std::uint64_t inSeg = off - it->start;
      if (inSeg >= it->size) {
        ++it;
        continue;
      }
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(len, it->size - inSeg));
      ssize_t n = ::pread(it->fd, p, want, static_cast<off_t>(inSeg));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;  // the segment shrank since it was opened
      p += n;
      off += static_cast<std::uint64_t>(n);
      len -= static_cast<std::size_t>(n);
    }
    return true;
  }
  std::uint64_t sizeBytes() const override { return size_; }

 private:
  std::vector<Segment> segs_;
  std::uint64_t size_;
};

}  // namespace

std::vector<std::string> splitSegmentNames(const std::string& path, std::string& error) {
  std::string stem, digits;
  if (!segmentNumber(path, stem, digits)) return {path};
  const unsigned long n = std::stoul(digits);
  const std::size_t width = digits.size();
  if (n > 1 || (n == 1 && isFile(numbered(stem, 0, width)))) {
    // Not the first segment: the one before it exists.
    if (isFile(numbered(stem, n - 1, width))) {
      unsigned long first = n - 1;
      while (first > 0 && isFile(numbered(stem, first - 1, width))) --first;
      error = path + " is segment " + std::to_string(n - first + 1) + " of a split image; open its first segment, " +
              numbered(stem, first, width);
      return {};
    }
  }
  std::vector<std::string> names{path};
  // The largest number the width can hold ends the run.
  unsigned long limit = 1;
  for (std::size_t i = 0; i < width; ++i) limit *= 10;
  for (unsigned long k = n + 1; k < limit; ++k) {
    std::string next = numbered(stem, k, width);
    if (!isFile(next)) break;
    names.push_back(std::move(next));
  }
  return names;
}

std::unique_ptr<BlockSource> openSplitRawSource(const std::vector<std::string>& segments, std::string& error) {
  std::vector<SplitSource::Segment> segs;
  auto closeAll = [&segs] {
    for (auto& s : segs) ::close(s.fd);
  };
  std::uint64_t total = 0;
  for (const auto& name : segments) {
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot open " + name + ": " + std::strerror(errno);
      closeAll();
      return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "cannot read " + name + " as a segment of a split image";
      ::close(fd);
      closeAll();
      return nullptr;
    }
    segs.push_back({fd, total, static_cast<std::uint64_t>(st.st_size)});
    total += static_cast<std::uint64_t>(st.st_size);
  }
  return std::make_unique<SplitSource>(std::move(segs), total);
}

}  // namespace osprin
