#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <fcntl.h>

#include "disk/block_source.h"
#include "disk/drives.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace osprin {
namespace {

void writeText(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << s << "\n";
}

// A fake /sys/block and /dev: the device nodes are plain files, so the size
// comes from sysfs and the geometry from the 255/63 translation.
struct FakeSys {
  fs::path root = test::makeTempDir("sys");
  fs::path sys = root / "block";
  fs::path dev = root / "dev";
  FakeSys() { fs::create_directories(dev); }
  void disk(const std::string& name, std::uint64_t sectors, const std::string& model, bool usb = false) {
    writeText(sys / name / "size", std::to_string(sectors));
    fs::path target = root / "devices" / (usb ? "pci0/usb1/1-1/host0" : "pci0/ata1/host0") / name;
    writeText(target / "model", model);
    fs::create_directory_symlink(target, sys / name / "device");
    std::ofstream(dev / name) << "";
  }
};

TEST(Drives, EnumeratesWholeDisksAndImagesInOrder) {
  FakeSys f;
  f.disk("sda", 16383ull * 16 * 63, "ST380011A       ");
  f.disk("sdb", 1000000, "Flash Disk", /*usb=*/true);
  f.disk("sdc", 0, "Card Reader");          // no medium: left out
  f.disk("ram0", 8192, "ram");              // not a disk we read
  writeText(f.sys / "sda1" / "size", "100");  // partitions never appear as disks
  std::string img = test::makeTempDir("img") + "/disk.img";
  std::ofstream(img) << std::string(512 * 100, '\0');

  auto drives = enumerateDrives({img}, f.sys.string(), f.dev.string());
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].model, "ST380011A       ");  // taken unchanged
  EXPECT_EQ(drives[1].model, "USB Device");
  EXPECT_TRUE(drives[2].isImage);
  EXPECT_NE(drives[2].model.find("disk.img"), std::string::npos);
  EXPECT_EQ(driveLabel(0), "Storage Device0");
  EXPECT_EQ(driveLabel(2), "Storage Device2");

  // 16514064 sectors in the 255/63 translation: 1027 whole cylinders and
  // a part; the sector count is every sector, the cylinders information.
  EXPECT_EQ(drives[0].heads, 255u);
  EXPECT_EQ(drives[0].sectorsPerTrack, 63u);
  EXPECT_EQ(drives[0].cylinders, 1027u);
  EXPECT_EQ(drives[0].totalSectors, 16514064u);
}

TEST(Drives, PanelTexts) {
  DriveInfo d;
  d.cylinders = 16383;
  d.heads = 16;
  d.sectorsPerTrack = 63;
  d.totalSectors = 16383u * 16 * 63;
  d.model = "Disk";
  d.sectorSize = 4096;
  auto rows = driveInfoPanel(d);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0].label, "Model");
  EXPECT_EQ(rows[1].label, "Capacity");
  EXPECT_EQ(rows[1].value, "8063 MB ( Approx )");
  EXPECT_EQ(rows[2].value, "16383");
  EXPECT_EQ(rows[3].label, "Head");
  EXPECT_EQ(rows[4].label, "Sectors Per Track");
  EXPECT_EQ(rows[5].label, "Sector Size");
  EXPECT_EQ(rows[5].value, "4096 bytes");
  EXPECT_EQ(diskSectorCount(d), d.totalSectors / 8);
}

TEST(Drives, DisksBeyondTwoTebibytesAreCountedWhole) {
  // 8 TB: 15,625,000,000 sectors, which would wrap to a small number in 32 bits.
  DriveInfo d = translatedGeometry(15625000000ull);
  EXPECT_EQ(d.totalSectors, 15625000000ull);
  auto rows = driveInfoPanel(d);
  EXPECT_EQ(rows[1].value, "7629394 MB ( Approx )");
}

TEST(Drives, ImagePathErrors) {
  DriveInfo d;
  std::string err;
  EXPECT_FALSE(driveInfoForPath("/no/such/disk.img", d, err));
  EXPECT_NE(err.find("cannot open /no/such/disk.img"), std::string::npos);
  EXPECT_FALSE(driveInfoForPath(test::makeTempDir("x"), d, err));
}

TEST(Drives, AnAdoptedDescriptorMustBeReadOnly) {
  std::string img = test::makeTempDir("adopt") + "/disk.img";
  std::ofstream(img) << std::string(512 * 4, 'x');
  std::string err;
  auto ro = FileBlockSource::adopt(::open(img.c_str(), O_RDONLY | O_CLOEXEC), img, err);
  ASSERT_NE(ro, nullptr) << err;
  EXPECT_EQ(ro->sizeBytes(), 2048u);
  char b[4];
  EXPECT_TRUE(ro->readAt(512, b, 4));
  EXPECT_EQ(FileBlockSource::adopt(::open(img.c_str(), O_RDWR | O_CLOEXEC), img, err), nullptr);
  EXPECT_NE(err.find("read-only"), std::string::npos);
  EXPECT_EQ(FileBlockSource::adopt(-1, img, err), nullptr);
}

}  // namespace
}  // namespace osprin
