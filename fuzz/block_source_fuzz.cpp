// Opening a disk image of any format: the signature check, then the image
// library's reading of the format's headers and tables (EnCase through
// libewf, VHD and VHDX through libvhdi, VMDK through libvmdk, QCOW through
// libqcow) or the joining of split raw segments, and reads at the start, the
// middle and across the end of what opened.
// Input: an options byte, two bytes of split point (little-endian), then the
// file. Options bits 0-1 name the file: disk.img, disk.E01, disk.vmdk, or
// two split segments disk.001 and disk.002 cut at the split point.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/block_source.h"
#include "disk/sector_reader.h"
#include "fuzz_check.h"

namespace {

using osprin::fuzz::check;

const std::string& scratch() {
  static const std::string dir = [] {
    std::string base = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/osprin-bsfuzz-XXXXXX");
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n <= 0) break;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  if (size < 3) return 0;
  const std::uint8_t options = data[0];
  const std::size_t cut = static_cast<std::size_t>(data[1] | data[2] << 8);
  data += 3;
  size -= 3;
  const std::string dir = scratch();
  for (const char* n : {"disk.img", "disk.E01", "disk.E02", "disk.vmdk", "disk.001", "disk.002"})
    ::unlink((dir + "/" + n).c_str());
  std::string path;
  switch (options & 3) {
    case 0: path = dir + "/disk.img"; break;
    case 1: path = dir + "/disk.E01"; break;
    case 2: path = dir + "/disk.vmdk"; break;
    default: path = dir + "/disk.001"; break;
  }
  if ((options & 3) == 3) {
    const std::size_t first = cut < size ? cut : size;
    writeFile(path, data, first);
    writeFile(dir + "/disk.002", data + first, size - first);
  } else {
    writeFile(path, data, size);
  }

  ImageInfo info;
  std::string error;
  auto src = openBlockSource(path, error, &info);
  if (!src) {
    check(!error.empty());
    return 0;
  }
  check(info.segments >= 1);
  const std::uint64_t total = src->sizeBytes();
  static std::vector<std::uint8_t> buf(4096);
  // Reads inside the disk may fail (a damaged table), never crash.
  src->readAt(0, buf.data(), total < buf.size() ? static_cast<std::size_t>(total) : buf.size());
  if (total >= 1024) src->readAt(total / 2 & ~std::uint64_t{511}, buf.data(), 512);
  if (total >= 512) src->readAt(total - 512, buf.data(), 512);
  // A read that reaches past the end must fail.
  check(!src->readAt(total - (total >= 100 ? 100 : total), buf.data(), 512));
  check(!src->readAt(total + 1, buf.data(), 16));
  // The sector size that the contents (GPT header, boot sectors) or the
  // image's own record give.
  check(isSectorSize(detectSectorSize(*src)));
  return 0;
}
