#pragma once
// Where sectors come from: a disk device or an image file, opened read-only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  // The disk's logical sector size when the source knows it (a block
  // device, an EnCase image); 0 when it does not (a raw image file).
  virtual unsigned logicalSectorSize() const { return 0; }
  // True when readAt may be called from two threads at once (the deep
  // scan then reads ahead on a thread of its own). Once false, stays false.
  virtual bool concurrentReads() const { return false; }
};

// A device or image file opened with O_RDONLY. Never opened for writing.
// A block device is read with O_DIRECT besides (through an aligned buffer),
// so that a failed read loses the device's own blocks only, not a whole page
// of the page cache; when the device refuses it, the plain descriptor serves.
// An image file is read through the page cache, advised as read in order.
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
  unsigned logicalSectorSize() const override { return logical_; }
  // Plain preads share nothing; the O_DIRECT path shares its bounce buffer.
  bool concurrentReads() const override { return directFd_ < 0; }
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
  unsigned logical_ = 0;      // a block device's logical sector size (BLKSSZGET)
  void* bounce_ = nullptr;    // aligned buffer of kBounceBytes
};

// Bytes held in memory (tests, fuzzing, small crafted volumes).
class MemoryBlockSource : public BlockSource {
 public:
  explicit MemoryBlockSource(std::string bytes) : data_(std::move(bytes)) {}
  bool readAt(std::uint64_t off, void* buf, std::size_t len) override;
  std::uint64_t sizeBytes() const override { return data_.size(); }
  bool concurrentReads() const override { return true; }
  std::string& data() { return data_; }

 private:
  std::string data_;
};

// ---- image formats ---------------------------------------------------------------

enum class ImageFormat { Device, Raw, SplitRaw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// One line of what an image file tells about itself (an EnCase image's case
// number, examiner, acquisition hashes): key for JSON, label for the panel.
struct ImageDetail {
  std::string key;    // "case_number"
  std::string label;  // "Case Number"
  std::string value;
};

// What the opened disk or image is, besides its bytes.
struct ImageInfo {
  ImageFormat format = ImageFormat::Raw;
  std::size_t segments = 1;  // files that make up the image
  std::vector<ImageDetail> details;
};

// The name of a format as the program shows it ("EnCase (EWF)", "VHDX", ...).
std::string imageFormatName(ImageFormat f);

// The format a file's first and last bytes announce (head: its first 512
// bytes or fewer; tail: its last 512 bytes or fewer). Raw when none does.
ImageFormat detectImageFormat(const std::uint8_t* head, std::size_t headLen, const std::uint8_t* tail,
                              std::size_t tailLen);

// Opens a disk device or image file read-only, whatever the image's format:
// the format comes from the file's signature, not its name; a raw image
// whose name ends in a segment number (NAME.001, NAME.000, NAME.00) is
// joined with the segments that follow it. On failure returns nullptr and
// sets error to a sentence for the user. info, when given, receives the format
// and the image's own details.
std::unique_ptr<BlockSource> openBlockSource(const std::string& path, std::string& error, ImageInfo* info = nullptr);

// The image formats the program reads, for file dialogs.
struct ImageFormatPatterns {
  std::string name;                   // "EnCase images"
  std::vector<std::string> patterns;  // "*.E01", "*.e01", ...
};
const std::vector<ImageFormatPatterns>& supportedImageFormats();
// A Qt file-dialog filter of every supported format: all disk images first,
// then one entry per format, then "All files (*)".
std::string imageFileFilter();

}  // namespace osprin
