#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace osprin {
namespace {

std::string cli(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " " + args + " 2>" + test::scratchDir() + "/stderr.txt", status);
}
std::string lastStderr() { return test::readFile(test::scratchDir() + "/stderr.txt"); }

// The manifests hold what mmls lists for each disk (for the wiped ones,
// before the table was wiped; `partitions` then falls back to the search).
struct ListCase {
  const char* fixture;
  const char* warning;  // a warning expected on stderr, "" for none
};

class CliPartitionList : public ::testing::TestWithParam<ListCase> {};

TEST_P(CliPartitionList, JsonMatchesTheManifest) {
  const auto& c = GetParam();
  std::string img = test::fixtureImage(c.fixture);
  int status = -1;
  auto out = nlohmann::json::parse(cli("partitions " + img + " --json", &status));
  EXPECT_EQ(status, 0);
  std::ifstream in(test::fixtureManifestPath(c.fixture));
  auto expected = nlohmann::json::parse(in)["partitions"];
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (const char* key : {"index", "label", "type", "start", "length", "end"})
      EXPECT_EQ(out[i][key], expected[i][key]) << key << " of " << i;
    EXPECT_EQ(out[i]["sector_size"], test::manifestSectorSize(c.fixture));
    // GPT partitions carry their name and type GUID; MBR ones neither.
    EXPECT_EQ(out[i].contains("name"), expected[i].contains("name"));
    EXPECT_EQ(out[i].contains("type_guid"), expected[i].contains("name"));
    if (expected[i].contains("name")) {
      EXPECT_EQ(out[i]["name"], expected[i]["name"]);
    }
  }
  if (std::string(c.warning).empty())
    EXPECT_EQ(lastStderr().find("warning"), std::string::npos) << lastStderr();
  else
    EXPECT_NE(lastStderr().find(c.warning), std::string::npos) << lastStderr();
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, CliPartitionList,
    ::testing::Values(ListCase{"sample", ""}, ListCase{"gpt_disk", ""},
                      ListCase{"gpt_backup",
                               "osprin: warning: The primary GPT header is damaged (no \"EFI PART\" signature); the "
                               "partitions come from the backup header at sector 108543."},
                      ListCase{"aligned_wiped", ""}, ListCase{"backup_boot", ""}, ListCase{"gpt4k", ""},
                      ListCase{"exfat_mbr", ""}, ListCase{"exfat_gpt", ""}),
    [](const auto& info) { return std::string(info.param.fixture); });

// The disk's sector size: --sector-size 512 reads the 4,096-byte-sector GPT
// disk as one of 512-byte sectors (no GPT there; the search finds the
// volumes at their 512-byte positions); a loop device of 4,096-byte sectors
// gives its size itself (BLKSSZGET) and the list of the image.
TEST(CliPartitions, SectorSizeFromTheOptionAndFromTheDevice) {
  const std::string img = test::fixtureImage("gpt4k");
  int status = -1;
  auto forced = nlohmann::json::parse(cli("partitions " + img + " --json --sector-size 512", &status));
  ASSERT_EQ(forced.size(), 2u);
  EXPECT_EQ(forced[0]["start"], 2048);
  EXPECT_EQ(forced[1]["start"], 8448 * 8);
  EXPECT_EQ(forced[0]["sector_size"], 512);
  EXPECT_NE(lastStderr().find("Sector 0 announces a GPT"), std::string::npos) << lastStderr();
  cli("partitions " + img + " --sector-size 300", &status);
  EXPECT_NE(status, 0);

  test::ReadOnlyLoop loop(img, 4096);
  if (loop.device().empty()) GTEST_SKIP() << "no loop device of 4096-byte sectors could be attached";
  auto viaDevice = nlohmann::json::parse(cli("partitions " + loop.device() + " --json", &status));
  auto viaImage = nlohmann::json::parse(cli("partitions " + img + " --json", &status));
  EXPECT_EQ(viaDevice, viaImage);
  auto drives = nlohmann::json::parse(cli("drives --json", &status));
  bool listed = false;
  for (const auto& d : drives)
    if (d["path"] == loop.device()) {
      listed = true;
      EXPECT_EQ(d["sector_size"], 4096);
      EXPECT_EQ(d["total_sectors"], 16384);
    }
  EXPECT_TRUE(listed) << drives.dump();
}

// The text table gets a Name column on a GPT disk only.
TEST(CliPartitions, GptNamesInTheTextTable) {
  int status = -1;
  const std::string gpt = cli("partitions " + test::fixtureImage("gpt_disk"), &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(gpt.find("  Name\n"), std::string::npos) << gpt;
  EXPECT_NE(gpt.find("Partition 1 - FAT32"), std::string::npos);
  EXPECT_NE(gpt.find("MB  Données FAT32\n"), std::string::npos) << gpt;
  EXPECT_NE(gpt.find("Partition 3 - Unknown        104448       106495         2048       1 MB  linux"),
            std::string::npos)
      << gpt;
  const std::string mbr = cli("partitions " + test::fixtureImage("sample"), &status);
  EXPECT_EQ(mbr.find("Name"), std::string::npos) << mbr;
}

// A partition whose file system is none of FAT16, FAT32, NTFS is listed but
// not read.
TEST(CliPartitions, AnUnknownPartitionIsRefusedWithItsRange) {
  int status = -1;
  cli("list " + test::fixtureImage("gpt_disk") + " --partition 3", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(lastStderr().find("partition 3 holds no FAT16, FAT32, NTFS or exFAT volume"), std::string::npos) << lastStderr();
  EXPECT_NE(lastStderr().find("--start 104448 --end 106495"), std::string::npos) << lastStderr();
}

TEST(CliPartitions, WipedTableFallsBackToTheSearch) {
  std::string img = test::fixtureImage("wiped_mbr");
  int status = -1;
  auto out = nlohmann::json::parse(cli("partitions " + img + " --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0]["label"], "Partition 1 - NTFS");
  EXPECT_EQ(out[0]["start"], 63);
  auto searched = nlohmann::json::parse(cli("search-partitions " + img + " --json", &status));
  EXPECT_EQ(searched, out);
}

// A bare volume cut short: one partition from sector 0 to the volume's own
// end, with the warning on stderr and in the row's "warnings"; listing it
// warns too and shows what the disk holds.
TEST(CliPartitions, AVolumeLargerThanItsDiskIsListedWithAWarning) {
  const std::string img = test::makeTempDir("short") + "/short.img";
  std::filesystem::copy_file(test::fixtureImage("fatwin16"), img);
  std::filesystem::resize_file(img, 8192 * 512);
  int status = -1;
  auto out = nlohmann::json::parse(cli("partitions " + img + " --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["start"], 0);
  EXPECT_EQ(out[0]["length"], 16384);
  ASSERT_TRUE(out[0].contains("warnings"));
  EXPECT_EQ(out[0]["warnings"][0],
            "The partition at sector 0 claims 16384 sectors (to sector 16383), but the disk has only 8192 sectors");
  EXPECT_NE(lastStderr().find("osprin: warning: The partition at sector 0"), std::string::npos);
  const std::string listing = cli("list " + img + " --partition 1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(lastStderr().find("osprin: warning: The volume at sector 0 claims 16384 sectors"), std::string::npos)
      << lastStderr();
  EXPECT_NE(listing.find("/Times.txt"), std::string::npos);
  // Whole, the same disk has no warning.
  out = nlohmann::json::parse(cli("partitions " + test::fixtureImage("fatwin16") + " --json", &status));
  EXPECT_FALSE(out[0].contains("warnings"));
}

TEST(CliPartitions, MissingDiskIsAClearError) {
  int status = 0;
  std::string out = cli("partitions /no/such/disk.img", &status);
  EXPECT_NE(status, 0);
  EXPECT_TRUE(out.empty());
  EXPECT_NE(lastStderr().find("cannot open /no/such/disk.img"), std::string::npos);
  cli("partitions " + test::scratchDir(), &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(lastStderr().find("neither a disk device nor a disk image file"), std::string::npos);
}

TEST(CliDrives, ImageSlotsAndGeometry) {
  std::string img = test::fixtureImage("sample");
  int status = -1;
  auto out = nlohmann::json::parse(cli("drives --image " + img + " --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_FALSE(out.empty());
  auto& last = out.back();
  EXPECT_EQ(last["path"], img);
  EXPECT_EQ(last["image"], true);
  EXPECT_EQ(last["heads"], 255);
  EXPECT_EQ(last["sectors_per_track"], 63);
  EXPECT_EQ(last["label"], "Storage Device" + std::to_string(out.size() - 1));
  // 128 MiB: 262144 sectors, all of them, though only 16 whole cylinders of 16065.
  EXPECT_EQ(last["cylinders"], 16);
  EXPECT_EQ(last["total_sectors"], 262144);
  EXPECT_EQ(last["capacity"], "128 MB ( Approx )");

  cli("drives --image /no/such.img", &status);
  EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace osprin
