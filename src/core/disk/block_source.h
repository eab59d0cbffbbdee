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
class FileBlockSource : public BlockSource {
 public:
  // Opens path read-only; on failure returns nullptr and sets error to a
  // sentence for the user ("cannot open /dev/sdb: Permission denied").
  static std::unique_ptr<FileBlockSource> open(const std::string& path, std::string& error);
  // Takes a descriptor opened read-only elsewhere (the desktop's disk
  // service opens devices the user may not); it is closed with the source.
  // A descriptor not opened read-only is closed and refused.
  static std::unique_ptr<FileBlockSource> adopt(int fd, const std::string& path, std::string& error);
  ~FileBlockSource() override;
  FileBlockSource(const FileBlockSource&) = delete;
  FileBlockSource& operator=(const FileBlockSource&) = delete;

  bool readAt(std::uint64_t off, void* buf, std::size_t len) override;
  std::uint64_t sizeBytes() const override { return size_; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  FileBlockSource(int fd, std::uint64_t size, std::string path) : fd_(fd), size_(size), path_(std::move(path)) {}
  int fd_;
  std::uint64_t size_;
  std::string path_;
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
