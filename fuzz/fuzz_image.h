#pragma once
// A fuzz input turned into a small disk image, so that a seed holds a whole
// volume in a few kilobytes: only the sectors that are not zero are stored.
//
//   byte 0      options for the target (each target reads its own bits)
//   bytes 1-4   image size in sectors (u32, little-endian), taken into
//               1 .. maxSectors
//   then chunks until the input ends:
//               u32 first sector (modulo the image size), u16 sector count,
//               then the sectors' bytes; a chunk cut short by the end of the
//               input keeps what is there, and nothing is written past the
//               end of the image. Later chunks overwrite earlier ones.
//
// fuzz/seeds.py writes this format from image files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/types.h"
#include "disk/block_source.h"

namespace osprin::fuzz {

inline std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The decoded image lives in one buffer for the whole process, so that an
// input does not cost a fresh allocation of the whole image (and the page
// faults of clearing it): only the sectors the previous input wrote are
// cleared again.
class ImageBuffer {
 public:
  explicit ImageBuffer(std::uint32_t maxSectors) : max_(maxSectors), bytes_(std::size_t{maxSectors} * kSectorSize, '\0') {}

  // Decodes an input; the image is the first sectors() * 512 bytes of data().
  void decode(const std::uint8_t* data, std::size_t size) {
    for (auto [at, n] : dirty_) std::memset(bytes_.data() + at, 0, n);
    dirty_.clear();
    options_ = 0;
    sectors_ = 1;
    std::size_t pos = 0;
    if (size > 0) options_ = data[pos++];
    if (size - pos >= 4) {
      const std::uint32_t v = le32(data + pos);
      pos += 4;
      sectors_ = v == 0 ? 1 : (v - 1) % max_ + 1;
    }
    const std::size_t imageBytes = static_cast<std::size_t>(sectors_) * kSectorSize;
    while (size - pos >= 6) {
      const std::uint32_t first = le32(data + pos) % sectors_;
      const std::uint32_t count =
          static_cast<std::uint32_t>(data[pos + 4]) | (static_cast<std::uint32_t>(data[pos + 5]) << 8);
      pos += 6;
      const std::size_t at = static_cast<std::size_t>(first) * kSectorSize;
      const std::size_t given = std::min<std::size_t>(static_cast<std::size_t>(count) * kSectorSize, size - pos);
      const std::size_t n = std::min(given, imageBytes - at);
      std::memcpy(bytes_.data() + at, data + pos, n);
      if (n) dirty_.emplace_back(at, n);
      pos += given;
    }
  }
  std::uint8_t options() const { return options_; }
  std::uint32_t sectors() const { return sectors_; }
  const char* data() const { return bytes_.data(); }

 private:
  std::uint32_t max_;
  std::string bytes_;
  std::vector<std::pair<std::size_t, std::size_t>> dirty_;
  std::uint8_t options_ = 0;
  std::uint32_t sectors_ = 1;
};

// A disk over the current image of an ImageBuffer; reads past its end fail
// as MemoryBlockSource's do.
class ImageSource : public BlockSource {
 public:
  explicit ImageSource(const ImageBuffer& img) : data_(img.data()), size_(std::uint64_t{img.sectors()} * kSectorSize) {}
  bool readAt(std::uint64_t off, void* buf, std::size_t len) override {
    if (off > size_ || size_ - off < len) {
      if (off < size_) std::memcpy(buf, data_ + off, static_cast<std::size_t>(size_ - off));
      return false;
    }
    std::memcpy(buf, data_ + off, len);
    return true;
  }
  std::uint64_t sizeBytes() const override { return size_; }

 private:
  const char* data_;
  std::uint64_t size_;
};

}  // namespace osprin::fuzz
