#include "disk/block_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace osprin {

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
  return std::unique_ptr<FileBlockSource>(new FileBlockSource(fd, size, path));
}

FileBlockSource::~FileBlockSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileBlockSource::readAt(std::uint64_t off, void* buf, std::size_t len) {
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

}  // namespace osprin
