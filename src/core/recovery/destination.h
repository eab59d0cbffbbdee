#pragma once
// Whether a destination folder lies on the disk being recovered. Files
// written there take free clusters of that disk, which are exactly where
// deleted files still lie, so recovering onto the source destroys what is
// being recovered. The desktop program asks before it goes on; the command
// line refuses unless told otherwise.
#include <string>
#include <sys/types.h>

namespace osprin {

struct DestinationCheck {
  bool onSource = false;
  // A sentence for the user when onSource is set: which folder, and on what.
  std::string reason;
};

// Where the system describes its block devices and mounts (tests pass fake trees).
struct SystemPaths {
  std::string sysRoot = "/sys";                     // .../dev/block/MAJ:MIN
  std::string mountInfo = "/proc/self/mountinfo";  // the mounts of this process
};

// Checks `destination` (a folder, which need not exist yet: its nearest
// existing ancestor is taken) against `source`, the open drive:
//  - a block device: the destination's file system is on that device, on one
//    of its partitions, on a device built on it (device-mapper, md), or on a
//    loop device whose backing file is on it; the device a mount names
//    (FUSE mounts such as ntfs-3g, btrfs) counts as well;
//  - an image file: the destination is on the image itself, that is on a
//    loop device whose backing file is the image (or a partition or device
//    built on one), or on a mount that names the image as its source (FUSE
//    mounts such as ntfs-3g). A folder beside the image on the same file
//    system is fine: writing there cannot touch the image's bytes.
// A source that cannot be examined gives onSource false.
DestinationCheck checkDestination(const std::string& destination, const std::string& source,
                                  const SystemPaths& sys = {});

// True when the block device `dev` is `disk` itself, a partition of it, or
// is built on it through the sysfs "slaves" links or a loop device's backing
// file (followed a few levels deep).
bool blockDeviceOnDisk(dev_t dev, dev_t disk, const std::string& sysRoot = "/sys");

// True when the file system of device `dev` (mounted at `path`) is the image
// file itself: on a loop device backed by it, or a mount whose source names it.
bool deviceIsImage(dev_t dev, const std::string& path, const std::string& image, const SystemPaths& sys = {});

// The device a mount names ("/dev/sdb1") for the mount that holds `path`
// (the longest mount point that is a prefix of it), or "" when none is
// known. `path` should be absolute and free of symbolic links.
std::string mountSourceOf(const std::string& path, const std::string& mountInfo = "/proc/self/mountinfo");

}  // namespace osprin
