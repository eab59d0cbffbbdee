#pragma once
// The disks of the machine (whole-disk block devices from /sys/block) and
// disk image files added by the user, each with its geometry and model.
#include <cstdint>
#include <string>
#include <vector>

#include "common/types.h"
#include "disk/block_source.h"

namespace osprin {

struct DriveInfo {
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint64_t totalSectors = 0;  // every 512-byte unit of the disk
  unsigned sectorSize = kSectorSize;  // the disk's logical sector size (512 to 4,096 bytes)
  std::string model;               // product text, "USB Device", "Media missing or not inserted", ...
  std::string path;                // /dev/sda or the image file
  bool isImage = false;
  // False when the program may not open the device itself (no rights): it
  // is listed from /sys/block all the same, geometry by translation.
  bool readable = true;
  ImageInfo image;                 // an image file's format and own details (EnCase case data, hashes)
};

// Lists the whole disks under sysRoot (normally "/sys/block") and then the
// given image files, in that order. Partitions, devices without a medium
// and loop devices without a backing file are left out; a disk the user may
// not open is listed with readable false.
std::vector<DriveInfo> enumerateDrives(const std::vector<std::string>& images,
                                       const std::string& sysRoot = "/sys/block",
                                       const std::string& devRoot = "/dev");

// The DriveInfo of one disk device or image file; false with a message in
// error when it cannot be opened.
bool driveInfoForPath(const std::string& path, DriveInfo& out, std::string& error);

// The 255-head, 63-sector translation of a size in sectors.
DriveInfo translatedGeometry(std::uint64_t sectors);

// "Storage Device" + k.
std::string driveLabel(std::size_t k);

// Texts of the information panel: Model, Capacity ("8063 MB ( Approx )"),
// Cylinders, Head, Sectors Per Track, Sector Size ("4096 bytes").
struct PanelRow {
  std::string label;
  std::string value;
};
std::vector<PanelRow> driveInfoPanel(const DriveInfo& d);
// The disk's sectors of its own logical size.
inline std::uint64_t diskSectorCount(const DriveInfo& d) {
  return d.sectorSize > kSectorSize ? d.totalSectors / (d.sectorSize / kSectorSize) : d.totalSectors;
}
// The rows that follow them for an image file: "Image Format" and the
// image's own details (an EnCase image's case number, examiner, hashes).
std::vector<PanelRow> imageInfoPanel(const DriveInfo& d);

}  // namespace osprin
