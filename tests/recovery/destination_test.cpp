// Whether a destination folder lies on the disk being recovered.
#include "recovery/destination.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace osprin;

namespace {

void writeText(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

dev_t devOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_dev;
}

// A small sysfs: disk sda (8:0) with partitions sda1 (8:1) and sda2 (8:2),
// disk sdb (8:16) with sdb1 (8:17), a device-mapper volume dm-0 (253:0) on
// sda2, and a loop device loop0 (7:0) over a file given by the test.
struct FakeSys {
  std::string root;
  explicit FakeSys(const std::string& backingFile) {
    root = test::makeTempDir("sys");
    const fs::path r(root);
    const fs::path sda = r / "devices/pci0000:00/ata1/block/sda";
    const fs::path sdb = r / "devices/pci0000:00/ata2/block/sdb";
    const fs::path dm = r / "devices/virtual/block/dm-0";
    const fs::path loop = r / "devices/virtual/block/loop0";
    writeText(sda / "dev", "8:0\n");
    writeText(sda / "sda1/dev", "8:1\n");
    writeText(sda / "sda1/partition", "1\n");
    writeText(sda / "sda2/dev", "8:2\n");
    writeText(sda / "sda2/partition", "2\n");
    writeText(sdb / "dev", "8:16\n");
    writeText(sdb / "sdb1/dev", "8:17\n");
    writeText(sdb / "sdb1/partition", "1\n");
    writeText(dm / "dev", "253:0\n");
    fs::create_directories(dm / "slaves");
    fs::create_symlink(sda / "sda2", dm / "slaves/sda2");
    writeText(loop / "dev", "7:0\n");
    writeText(loop / "loop/backing_file", backingFile + "\n");
    const fs::path blk = r / "dev/block";
    fs::create_directories(blk);
    fs::create_symlink(sda, blk / "8:0");
    fs::create_symlink(sda / "sda1", blk / "8:1");
    fs::create_symlink(sda / "sda2", blk / "8:2");
    fs::create_symlink(sdb, blk / "8:16");
    fs::create_symlink(sdb / "sdb1", blk / "8:17");
    fs::create_symlink(dm, blk / "253:0");
    fs::create_symlink(loop, blk / "7:0");
  }
};

}  // namespace

// Writing other files beside an image cannot touch the image's bytes.
TEST(Destination, FolderBesideAnImageFileIsFine) {
  const std::string dir = test::makeTempDir("img");
  const std::string image = dir + "/disk.img";
  std::ofstream(image) << std::string(4096, '\0');
  const std::string dest = test::makeTempDir("out");
  ASSERT_EQ(devOf(dest), devOf(image));
  EXPECT_FALSE(checkDestination(dest, image).onSource);
  EXPECT_FALSE(checkDestination(dir, image).onSource);
  EXPECT_FALSE(checkDestination(dest + "/not/yet/made", image).onSource);
}

// The image's own file system, mounted: through a loop device backed by it
// (or a partition of that loop device), or a FUSE mount that names it.
TEST(Destination, AMountOfTheImageItselfIsWarned) {
  const std::string dir = test::makeTempDir("img");
  const std::string image = dir + "/disk.img";
  const std::string other = dir + "/other.img";
  std::ofstream(image) << std::string(4096, '\0');
  std::ofstream(other) << std::string(4096, '\0');
  FakeSys sys(image);
  writeText(fs::path(sys.root) / "devices/virtual/block/loop0/loop0p1/dev", "259:0\n");
  writeText(fs::path(sys.root) / "devices/virtual/block/loop0/loop0p1/partition", "1\n");
  fs::create_symlink(fs::path(sys.root) / "devices/virtual/block/loop0/loop0p1", fs::path(sys.root) / "dev/block/259:0");
  const std::string mi = dir + "/mountinfo";
  writeText(mi, "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
                "40 22 0:50 / /mnt/img rw - fuseblk " + image + " rw\n");
  SystemPaths paths{sys.root, mi};
  EXPECT_TRUE(deviceIsImage(makedev(7, 0), "/mnt/loop", image, paths));
  EXPECT_TRUE(deviceIsImage(makedev(259, 0), "/mnt/loop", image, paths));
  EXPECT_FALSE(deviceIsImage(makedev(7, 0), "/mnt/loop", other, paths));
  EXPECT_FALSE(deviceIsImage(makedev(8, 2), "/home/x", image, paths));
  EXPECT_TRUE(deviceIsImage(makedev(0, 50), "/mnt/img/out", image, paths));
  EXPECT_FALSE(deviceIsImage(makedev(0, 50), "/mnt/img/out", other, paths));
}

// As root: an image attached with losetup and mounted; a folder in that
// mount is on the image, a folder beside the image is not. (ext2 for the
// mount: the kernel the tests run under may lack a FAT driver, and this
// check does not depend on the file system.)
TEST(Destination, TheRealSystemSeesALoopMountOfTheImage) {
  if (::geteuid() != 0) GTEST_SKIP() << "losetup and mount need root";
  const std::string dir = test::makeTempDir("loopimg");
  const std::string image = dir + "/disk.img";
  int rc = 0;
  test::runCommand("truncate -s 16M '" + image + "' && mkfs.ext2 -q -F '" + image + "' >/dev/null 2>&1", &rc);
  if (rc != 0) GTEST_SKIP() << "mkfs.ext2 is not available";
  const std::string loop = test::runCommand("losetup -f --show '" + image + "' 2>/dev/null", &rc);
  if (rc != 0 || loop.empty()) GTEST_SKIP() << "no loop device";
  const std::string dev = loop.substr(0, loop.find('\n'));
  const std::string mnt = test::makeTempDir("loopmnt");
  test::runCommand("mount '" + dev + "' '" + mnt + "' 2>&1", &rc);
  if (rc == 0) {
    const DestinationCheck c = checkDestination(mnt + "/out", image);
    EXPECT_TRUE(c.onSource);
    EXPECT_NE(c.reason.find("image file"), std::string::npos) << c.reason;
    EXPECT_FALSE(checkDestination(dir, image).onSource);
    test::runCommand("umount '" + mnt + "'");
  }
  test::runCommand("losetup -d '" + dev + "'");
  if (rc != 0) GTEST_SKIP() << "cannot mount the loop device here";
}

TEST(Destination, FolderOnAnotherFileSystemIsNotWarned) {
  const std::string dir = test::makeTempDir("img");
  const std::string image = dir + "/disk.img";
  std::ofstream(image) << std::string(4096, '\0');
  for (const char* other : {"/dev/shm", "/proc", "/run"}) {
    struct stat st {};
    if (::stat(other, &st) != 0 || st.st_dev == devOf(image)) continue;
    if (std::string(other) == "/dev/shm") {
      // A real folder there, as a user would choose it.
      const std::string d = std::string(other) + "/osprin-dest-test-" + std::to_string(::getpid());
      if (fs::create_directory(d)) {
        EXPECT_FALSE(checkDestination(d, image).onSource) << d;
        fs::remove(d);
        return;
      }
    }
    EXPECT_FALSE(checkDestination(other, image).onSource) << other;
    return;
  }
  GTEST_SKIP() << "no folder on another file system";
}

TEST(Destination, SourcesThatCannotBeExaminedAreNotWarned) {
  const std::string dest = test::makeTempDir("out");
  EXPECT_FALSE(checkDestination(dest, "").onSource);
  EXPECT_FALSE(checkDestination(dest, dest + "/no-such-image").onSource);
}

TEST(Destination, BlockDevicesThroughSysfs) {
  const std::string backingDir = test::makeTempDir("loopfile");
  const std::string backing = backingDir + "/backing.img";
  std::ofstream(backing) << "x";
  FakeSys sys(backing);
  const dev_t sda = makedev(8, 0), sdb = makedev(8, 16);

  // The disk itself and its partitions.
  EXPECT_TRUE(blockDeviceOnDisk(sda, sda, sys.root));
  EXPECT_TRUE(blockDeviceOnDisk(makedev(8, 1), sda, sys.root));
  EXPECT_TRUE(blockDeviceOnDisk(makedev(8, 2), sda, sys.root));
  // A partition of another disk, and the other disk.
  EXPECT_FALSE(blockDeviceOnDisk(makedev(8, 17), sda, sys.root));
  EXPECT_FALSE(blockDeviceOnDisk(sdb, sda, sys.root));
  EXPECT_TRUE(blockDeviceOnDisk(makedev(8, 17), sdb, sys.root));
  // A partition is not on its sibling partition.
  EXPECT_FALSE(blockDeviceOnDisk(makedev(8, 1), makedev(8, 2), sys.root));
  // device-mapper on sda2: on sda and on sda2, not on sdb.
  EXPECT_TRUE(blockDeviceOnDisk(makedev(253, 0), sda, sys.root));
  EXPECT_TRUE(blockDeviceOnDisk(makedev(253, 0), makedev(8, 2), sys.root));
  EXPECT_FALSE(blockDeviceOnDisk(makedev(253, 0), sdb, sys.root));
  // A loop device writes into its backing file, whose file system is the
  // scratch folder's.
  EXPECT_TRUE(blockDeviceOnDisk(makedev(7, 0), devOf(backing), sys.root));
  EXPECT_FALSE(blockDeviceOnDisk(makedev(7, 0), sdb, sys.root));
  // Anonymous devices (tmpfs, FUSE) and devices sysfs does not know.
  EXPECT_FALSE(blockDeviceOnDisk(makedev(0, 42), sda, sys.root));
  EXPECT_FALSE(blockDeviceOnDisk(makedev(9, 9), sda, sys.root));
}

TEST(Destination, SysfsLoopsEndWithoutHanging) {
  const std::string root = test::makeTempDir("sysloop");
  const fs::path r(root);
  // Two device-mapper devices naming each other as slaves.
  writeText(r / "devices/virtual/block/dm-0/dev", "253:0\n");
  writeText(r / "devices/virtual/block/dm-1/dev", "253:1\n");
  fs::create_directories(r / "devices/virtual/block/dm-0/slaves");
  fs::create_directories(r / "devices/virtual/block/dm-1/slaves");
  fs::create_symlink(r / "devices/virtual/block/dm-1", r / "devices/virtual/block/dm-0/slaves/dm-1");
  fs::create_symlink(r / "devices/virtual/block/dm-0", r / "devices/virtual/block/dm-1/slaves/dm-0");
  fs::create_directories(r / "dev/block");
  fs::create_symlink(r / "devices/virtual/block/dm-0", r / "dev/block/253:0");
  fs::create_symlink(r / "devices/virtual/block/dm-1", r / "dev/block/253:1");
  EXPECT_FALSE(blockDeviceOnDisk(makedev(253, 0), makedev(8, 0), root));
}

TEST(Destination, MountSourceFromMountInfo) {
  const std::string dir = test::makeTempDir("mi");
  const std::string mi = dir + "/mountinfo";
  writeText(mi,
            "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
            "30 22 0:45 / /media/usb rw,nosuid - fuseblk /dev/sdb1 rw,user_id=0\n"
            "31 22 0:46 / /media/my\\040disk rw - fuseblk /dev/sdc1 rw\n"
            "32 22 0:47 / /home rw shared:5 master:2 - btrfs /dev/nvme0n1p3 rw,subvol=/home\n"
            "33 22 0:48 / /media/usbstick rw - vfat /dev/sdd1 rw\n"
            "garbage line\n");
  EXPECT_EQ(mountSourceOf("/etc/passwd", mi), "/dev/sda2");
  EXPECT_EQ(mountSourceOf("/media/usb", mi), "/dev/sdb1");
  EXPECT_EQ(mountSourceOf("/media/usb/out/dir", mi), "/dev/sdb1");
  // A mount point that only shares a prefix of the name does not hold the path.
  EXPECT_EQ(mountSourceOf("/media/usbstick/x", mi), "/dev/sdd1");
  EXPECT_EQ(mountSourceOf("/media/usbx", mi), "/dev/sda2");
  // Escaped blanks, optional fields.
  EXPECT_EQ(mountSourceOf("/media/my disk/a", mi), "/dev/sdc1");
  EXPECT_EQ(mountSourceOf("/home/user", mi), "/dev/nvme0n1p3");
  EXPECT_EQ(mountSourceOf("/x", dir + "/none"), "");
}

TEST(Destination, TheRealSystemAnswersForBlockDevices) {
  // Whatever block device holds the scratch folder (if any): a folder there
  // is on that device and not on a device sysfs does not know.
  const std::string dest = test::makeTempDir("out");
  const dev_t d = devOf(dest);
  if (major(d) == 0 || !fs::exists("/sys/dev/block/" + std::to_string(major(d)) + ":" + std::to_string(minor(d))))
    GTEST_SKIP() << "the scratch folder is not on a block device";
  EXPECT_TRUE(blockDeviceOnDisk(d, d));
  EXPECT_FALSE(blockDeviceOnDisk(d, makedev(4095, 4095)));
}
