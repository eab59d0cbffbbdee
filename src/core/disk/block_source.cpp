#include "disk/block_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/types.h"

#include "disk/image_sources.h"

namespace osprin {

namespace {
constexpr std::size_t kBounceBytes = 1 << 20;
}  // namespace

std::unique_ptr<FileBlockSource> FileBlockSource::open(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return adopt(fd, path, error);
}

std::unique_ptr<FileBlockSource> FileBlockSource::adopt(int fd, const std::string& path, std::string& error) {
  if (fd < 0) {
    error = "cannot open " + path;
    return nullptr;
  }
  // Only ever read: a descriptor opened for writing elsewhere is refused.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
    error = "cannot use " + path + ": it was not opened read-only";
    ::close(fd);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot examine " + path + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  std::uint64_t size = 0;
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
  } else {
    error = path + " is neither a disk device nor a disk image file";
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<FileBlockSource> src(new FileBlockSource(fd, size, path));
  // The kernel reads an image file further ahead (a deep scan or a
  // recovery reads it in order; a listing's scattered reads lose nothing).
  if (S_ISREG(st.st_mode)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (S_ISBLK(st.st_mode)) {
    int block = 0;
    if (::ioctl(fd, BLKSSZGET, &block) == 0 && block >= 512 && block <= 65536 && (block & (block - 1)) == 0)
      src->align_ = std::max<std::size_t>(static_cast<std::size_t>(block), 512);
    if (isSectorSize(static_cast<std::uint64_t>(block))) src->logical_ = static_cast<unsigned>(block);
    src->directFd_ = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (src->directFd_ >= 0 && ::posix_memalign(&src->bounce_, std::max<std::size_t>(src->align_, 4096), kBounceBytes) != 0) {
      src->bounce_ = nullptr;
      ::close(src->directFd_);
      src->directFd_ = -1;
    }
  }
  return src;
}

FileBlockSource::~FileBlockSource() {
  if (fd_ >= 0) ::close(fd_);
  if (directFd_ >= 0) ::close(directFd_);
  std::free(bounce_);
}

// Reads whole device blocks into the aligned buffer and copies out the part
// asked for. A device that refuses O_DIRECT (EINVAL) is read the plain way
// from then on.
bool FileBlockSource::readDirect(std::uint64_t off, char* buf, std::size_t len) {
  auto* bounce = static_cast<char*>(bounce_);
  while (len > 0) {
    const std::uint64_t start = off / align_ * align_;
    const std::size_t lead = static_cast<std::size_t>(off - start);
    const std::size_t want = std::min<std::size_t>(kBounceBytes, (lead + len + align_ - 1) / align_ * align_);
    ssize_t n;
    do {
      n = ::pread(directFd_, bounce, want, static_cast<off_t>(start));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EINVAL) {
      ::close(directFd_);
      directFd_ = -1;
      return readAt(off, buf, len);
    }
    if (n <= 0 || static_cast<std::size_t>(n) <= lead) return false;
    const std::size_t got = std::min(len, static_cast<std::size_t>(n) - lead);
    std::memcpy(buf, bounce + lead, got);
    buf += got;
    off += got;
    len -= got;
  }
  return true;
}

bool FileBlockSource::readAt(std::uint64_t off, void* buf, std::size_t len) {
  if (directFd_ >= 0) return readDirect(off, static_cast<char*>(buf), len);
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ::pread(fd_, p, len, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // end of the device or image
    p += n;
    off += static_cast<std::uint64_t>(n);
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool MemoryBlockSource::readAt(std::uint64_t off, void* buf, std::size_t len) {
  if (off > data_.size() || data_.size() - off < len) {
    if (off < data_.size()) std::memcpy(buf, data_.data() + off, data_.size() - off);
    return false;
  }
  std::memcpy(buf, data_.data() + off, len);
  return true;
}

// ---- image formats ---------------------------------------------------------------

std::string imageFormatName(ImageFormat f) {
  switch (f) {
    case ImageFormat::Device: return "Disk device";
    case ImageFormat::Raw: return "Raw";
    case ImageFormat::SplitRaw: return "Split raw";
    case ImageFormat::Ewf: return "EnCase (EWF)";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Qcow: return "QCOW";
  }
  return "Raw";
}

namespace {

bool startsWith(const std::uint8_t* p, std::size_t len, const char* sig, std::size_t sigLen) {
  return p != nullptr && len >= sigLen && std::memcmp(p, sig, sigLen) == 0;
}

}  // namespace

ImageFormat detectImageFormat(const std::uint8_t* head, std::size_t headLen, const std::uint8_t* tail,
                              std::size_t tailLen) {
  if (startsWith(head, headLen, "EVF\x09\x0d\x0a\xff\x00", 8) || startsWith(head, headLen, "EVF2\x0d\x0a\x81\x00", 8))
    return ImageFormat::Ewf;
  if (startsWith(head, headLen, "vhdxfile", 8)) return ImageFormat::Vhdx;
  // A dynamic VHD starts with a copy of its footer; a fixed one has only
  // the footer, in its last 512 bytes.
  if (startsWith(head, headLen, "conectix", 8)) return ImageFormat::Vhd;
  if (tailLen == 512 && startsWith(tail, tailLen, "conectix", 8)) return ImageFormat::Vhd;
  if (startsWith(head, headLen, "KDMV", 4) || startsWith(head, headLen, "COWD", 4) ||
      startsWith(head, headLen, "# Disk DescriptorFile", 21))
    return ImageFormat::Vmdk;
  if (startsWith(head, headLen, "QFI\xfb", 4)) return ImageFormat::Qcow;
  return ImageFormat::Raw;
}

std::unique_ptr<BlockSource> openBlockSource(const std::string& path, std::string& error, ImageInfo* info) {
  ImageInfo local;
  ImageInfo& out = info ? *info : local;
  out = ImageInfo{};
  auto file = FileBlockSource::open(path, error);
  if (!file) return nullptr;
  struct stat st {};
  if (::fstat(file->fd(), &st) == 0 && S_ISBLK(st.st_mode)) {
    out.format = ImageFormat::Device;
    return file;
  }
  std::uint8_t head[512] = {};
  std::uint8_t tail[512] = {};
  const std::uint64_t size = file->sizeBytes();
  const std::size_t headLen = static_cast<std::size_t>(size < sizeof head ? size : sizeof head);
  const std::size_t tailLen = headLen;
  if (headLen > 0 && (!file->readAt(0, head, headLen) || !file->readAt(size - tailLen, tail, tailLen))) {
    error = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
    return nullptr;
  }
  out.format = detectImageFormat(head, headLen, tail, tailLen);
  switch (out.format) {
    case ImageFormat::Ewf:
      file.reset();
      return openEwfSource(path, error, out);
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx:
      file.reset();
      return openVhdiSource(path, error, out);
    case ImageFormat::Vmdk:
      file.reset();
      return openVmdkSource(path, error, out);
    case ImageFormat::Qcow:
      file.reset();
      return openQcowSource(path, error, out);
    case ImageFormat::Device:
    case ImageFormat::Raw:
    case ImageFormat::SplitRaw:
      break;
  }
  std::vector<std::string> segments = splitSegmentNames(path, error);
  if (segments.empty()) return nullptr;
  if (segments.size() == 1) return file;
  file.reset();
  out.format = ImageFormat::SplitRaw;
  out.segments = segments.size();
  return openSplitRawSource(segments, error);
}

const std::vector<ImageFormatPatterns>& supportedImageFormats() {
  static const std::vector<ImageFormatPatterns> kFormats{
      {"Raw disk images", {"*.img", "*.raw", "*.dd", "*.bin", "*.iso", "*.000", "*.001", "*.00"}},
      {"EnCase images", {"*.E01", "*.e01", "*.Ex01", "*.ex01"}},
      {"Virtual hard disks", {"*.vhd", "*.vhdx", "*.VHD", "*.VHDX"}},
      {"VMware disks", {"*.vmdk"}},
      {"QEMU disks", {"*.qcow2", "*.qcow"}},
  };
  return kFormats;
}

std::string imageFileFilter() {
  std::string all;
  std::string each;
  for (const auto& f : supportedImageFormats()) {
    std::string pats;
    for (const auto& p : f.patterns) pats += (pats.empty() ? "" : " ") + p;
    all += (all.empty() ? "" : " ") + pats;
    each += ";;" + f.name + " (" + pats + ")";
  }
  return "Disk images (" + all + ")" + each + ";;All files (*)";
}

}  // namespace osprin
