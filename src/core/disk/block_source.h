#pragma once
// Where sectors come from: a disk device or an image file, opened read-only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace osprin {

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Reads exactly len bytes at byte offset off. False when the request could
  // not be satisfied in full (an I/O error, or a range that reaches past the
  // end); the buffer may then hold partial data.
  virtual bool readAt(std::uint64_t off, void* buf, std::size_t len) = 0;
  // Size in bytes (0 when unknown).
  virtual std::uint64_t sizeBytes() const = 0;
};

// A device or image file opened with O_RDONLY. Never opened for writing.
// A block device is read with O_DIRECT besides (through an aligned buffer),
// so that a failed read loses the device's own blocks only, not a whole page
// of the page cache; when the device refuses it, the plain descriptor serves.
class FileBlockSource : public BlockSource {
 public:
  // Opens path read-only; on failure returns nullptr and sets error to a
  // sentence for the user ("cannot open /dev/sdb: Permission denied").
  static std::unique_ptr<FileBlockSource> open(const std::string& path, std::string& error);
  ~FileBlockSource() override;
  FileBlockSource(const FileBlockSource&) = delete;
  FileBlockSource& operator=(const FileBlockSource&) = delete;

  bool readAt(std::uint64_t off, void* buf, std::size_t len) override;
  std::uint64_t sizeBytes() const override { return size_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // True while reads go through O_DIRECT.
  bool direct() const { return directFd_ >= 0; }

 private:
  FileBlockSource(int fd, std::uint64_t size, std::string path) : fd_(fd), size_(size), path_(std::move(path)) {}
  bool readDirect(std::uint64_t off, char* buf, std::size_t len);
  int fd_;
  std::uint64_t size_;
  std::string path_;
  int directFd_ = -1;
  std::size_t align_ = 4096;  // the device's logical block size, at least 512
  void* bounce_ = nullptr;    // aligned buffer of kBounceBytes
};

// Bytes held in memory (tests, fuzzing, small crafted volumes).
class MemoryBlockSource : public BlockSource {
 public:
  explicit MemoryBlockSource(std::string bytes) : data_(std::move(bytes)) {}
  bool readAt(std::uint64_t off, void* buf, std::size_t len) override;
  std::uint64_t sizeBytes() const override { return data_.size(); }
  std::string& data() { return data_; }

 private:
  std::string data_;
};

}  // namespace osprin
