#include "disk/drives.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"

namespace fs = std::filesystem;

namespace osprin {

namespace {

std::string readSysText(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return "";
  std::string s;
  std::getline(in, s);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// Whole disks that can hold a FAT or NTFS volume: SCSI/SATA/USB, NVMe
// namespaces, virtio, MMC/SD cards, and loop devices with a backing file.
bool isWholeDiskName(const std::string& name, const fs::path& sysDir) {
  if (startsWith(name, "sd") || startsWith(name, "vd") || startsWith(name, "xvd") || startsWith(name, "hd"))
    return true;
  if (startsWith(name, "nvme")) return name.find('n', 4) != std::string::npos;
  if (startsWith(name, "mmcblk")) return name.find("boot") == std::string::npos && name.find("rpmb") == std::string::npos;
  if (startsWith(name, "loop")) return !readSysText(sysDir / "loop" / "backing_file").empty();
  return false;
}

// Cylinders from a size, for a given heads x sectors translation. The
// cylinders are information only: the sector count is the whole disk's,
// sectors after the last whole cylinder included.
void fillGeometry(DriveInfo& d, std::uint64_t sectors, std::uint32_t heads, std::uint32_t spt) {
  d.heads = heads;
  d.sectorsPerTrack = spt;
  std::uint64_t cyl = (heads && spt) ? sectors / (static_cast<std::uint64_t>(heads) * spt) : 0;
  d.cylinders = static_cast<std::uint32_t>(std::min<std::uint64_t>(cyl, 0xFFFFFFFFull));
  d.totalSectors = sectors;
}

std::string sysModel(const fs::path& sysDir) {
  std::string model = readSysText(sysDir / "device" / "model");
  if (model.empty()) model = readSysText(sysDir / "device" / "name");  // MMC cards
  return model;
}

bool isUsb(const fs::path& sysDir) {
  std::error_code ec;
  fs::path real = fs::canonical(sysDir / "device", ec);
  if (ec) return false;
  return real.string().find("/usb") != std::string::npos;
}

// Geometry of an open block device: HDIO_GETGEO where the driver answers,
// the 255-head, 63-sector translation otherwise.
void deviceGeometry(int fd, std::uint64_t sectors, DriveInfo& d) {
  struct hd_geometry geo {};
  if (::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0)
    fillGeometry(d, sectors, geo.heads, geo.sectors);
  else
    fillGeometry(d, sectors, 255, 63);
}

bool blockDeviceInfo(const std::string& devPath, const fs::path& sysDir, std::uint64_t sysSectors, DriveInfo& d,
                     std::string& error) {
  int fd = ::open(devPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    error = "cannot open " + devPath + ": " + std::strerror(err);
    errno = err;  // the caller tells a missing right from a missing device
    return false;
  }
  std::uint64_t bytes = 0;
  std::uint64_t sectors = sysSectors;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) sectors = bytes / kSectorSize;
  deviceGeometry(fd, sectors, d);
  int logical = 0;
  if (::ioctl(fd, BLKSSZGET, &logical) == 0 && isSectorSize(static_cast<std::uint64_t>(logical)))
    d.sectorSize = static_cast<unsigned>(logical);
  ::close(fd);
  d.path = devPath;
  d.isImage = false;
  if (!sysDir.empty() && isUsb(sysDir)) {
    d.model = "USB Device";
  } else {
    d.model = sysDir.empty() ? "" : sysModel(sysDir);
    if (startsWith(sysDir.filename().string(), "loop")) {
      std::string backing = readSysText(sysDir / "loop" / "backing_file");
      if (!backing.empty()) d.model = "Loop device (" + backing + ")";
    }
    if (d.model.empty()) d.model = "Unknown";
  }
  return true;
}

}  // namespace

DriveInfo translatedGeometry(std::uint64_t sectors) {
  DriveInfo d;
  fillGeometry(d, sectors, 255, 63);
  return d;
}

std::string driveLabel(std::size_t k) { return "Storage Device" + std::to_string(k); }

bool driveInfoForPath(const std::string& path, DriveInfo& out, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISBLK(st.st_mode)) {
    fs::path sysDir = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::error_code ec;
    fs::path real = fs::canonical(sysDir, ec);
    DriveInfo d;
    if (!blockDeviceInfo(path, ec ? fs::path() : real, 0, d, error)) return false;
    out = d;
    return true;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + " is neither a disk device nor a disk image file";
    return false;
  }
  // The disk's size is the image's media size, which only the image's own
  // format knows (an EnCase or VHD file is not as large as its disk).
  ImageInfo image;
  auto src = openBlockSource(path, error, &image);
  if (!src) return false;
  DriveInfo d = translatedGeometry(src->sizeBytes() / kSectorSize);
  d.sectorSize = detectSectorSize(*src);
  d.image = std::move(image);
  d.path = path;
  d.isImage = true;
  d.model = "Disk image " + fs::path(path).filename().string();
  out = d;
  return true;
}

std::vector<DriveInfo> enumerateDrives(const std::vector<std::string>& images, const std::string& sysRoot,
                                       const std::string& devRoot) {
  std::vector<DriveInfo> drives;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sysRoot, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    fs::path sysDir = fs::path(sysRoot) / name;
    if (!isWholeDiskName(name, sysDir)) continue;
    // Devices without a medium report a size of 0 and are left out.
    std::string size = readSysText(sysDir / "size");
    std::uint64_t sectors = 0;
    if (!parseUnsigned(size, sectors) || sectors == 0) continue;
    DriveInfo d;
    std::string err;
    const std::string devPath = devRoot + "/" + name;
    if (!blockDeviceInfo(devPath, sysDir, sectors, d, err)) {
      // Listed whatever the user's rights: /sys/block is readable by all.
      if (errno != EACCES && errno != EPERM) continue;
      fillGeometry(d, sectors, 255, 63);
      std::uint64_t logical = 0;
      if (parseUnsigned(readSysText(sysDir / "queue" / "logical_block_size"), logical) && isSectorSize(logical))
        d.sectorSize = static_cast<unsigned>(logical);
      d.path = devPath;
      d.readable = false;
      d.model = isUsb(sysDir) ? "USB Device" : sysModel(sysDir);
      if (d.model.empty()) d.model = "Unknown";
    }
    drives.push_back(std::move(d));
  }
  for (const auto& img : images) {
    DriveInfo d;
    std::string err;
    if (driveInfoForPath(img, d, err)) drives.push_back(std::move(d));
  }
  return drives;
}

std::vector<PanelRow> driveInfoPanel(const DriveInfo& d) {
  const std::string capacity = dec(d.totalSectors / 2048) + " MB ( Approx )";
  return {{"Model", d.model},
          {"Capacity", capacity},
          {"Cylinders", dec(d.cylinders)},
          {"Head", dec(d.heads)},
          {"Sectors Per Track", dec(d.sectorsPerTrack)},
          {"Sector Size", dec(d.sectorSize) + " bytes"}};
}

std::vector<PanelRow> imageInfoPanel(const DriveInfo& d) {
  if (!d.isImage) return {};
  std::string format = imageFormatName(d.image.format);
  if (d.image.segments > 1) format += ", " + dec(d.image.segments) + " files";
  std::vector<PanelRow> rows{{"Image Format", format}};
  for (const auto& det : d.image.details) rows.push_back({det.label, det.value});
  return rows;
}

}  // namespace osprin
