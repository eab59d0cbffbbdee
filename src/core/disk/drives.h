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
  std::uint32_t totalSectors = 0;  // cylinders * heads * sectorsPerTrack, in 32 bits
  std::string model;               // product text, "USB Device", "Media missing or not inserted", ...
  std::string path;                // /dev/sda or the image file
  bool isImage = false;
  std::uint64_t trueSectors = 0;   // the device's real size in sectors
  ImageInfo image;                 // an image file's format and own details (EnCase case data, hashes)
  // True when the disk has more sectors than 32-bit sector numbers address
  // (only the first 2 TiB are reachable).
  bool truncated() const { return trueSectors > 0xFFFFFFFFull; }
};

// Lists the whole disks under sysRoot (normally "/sys/block") and then the
// given image files, in that order. Partitions, and devices that cannot be
// opened, are left out.
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
// Cylinders, Head, Sectors Per Track.
struct PanelRow {
  std::string label;
  std::string value;
};
std::vector<PanelRow> driveInfoPanel(const DriveInfo& d);
// The rows that follow them for an image file: "Image Format" and the
// image's own details (an EnCase image's case number, examiner, hashes).
std::vector<PanelRow> imageInfoPanel(const DriveInfo& d);

}  // namespace osprin
