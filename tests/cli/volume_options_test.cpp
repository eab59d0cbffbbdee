// The volume options that list and recover share: --deep ... --pick K and
// --snapshot FILE, and list's --save-snapshot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace osprin {
namespace {

std::string run(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " " + args + " 2>" + test::scratchDir() + "/volume-opts.err",
                          status);
}
std::string err() { return test::readFile(test::scratchDir() + "/volume-opts.err"); }

nlohmann::json json(const std::string& args) {
  int status = -1;
  std::string out = run(args, &status);
  EXPECT_EQ(status, 0) << args << "\n" << err();
  return out.empty() ? nlohmann::json::array() : nlohmann::json::parse(out);
}

std::set<std::string> paths(const nlohmann::json& rows) {
  std::set<std::string> out;
  for (const auto& r : rows) out.insert(r["path"].get<std::string>());
  return out;
}

TEST(CliVolumeOptions, SnapshotSavedByListLoadsWithoutScanning) {
  std::string img = test::fixtureImage("sample");
  std::string dir = test::makeTempDir("snapcli");
  auto scanned = json("list " + img + " --partition 2 --json --save-snapshot '" + dir + "/ntfs scan'");
  EXPECT_NE(err().find(dir + "/NTFS SCAN.ZQRT"), std::string::npos) << err();
  ASSERT_TRUE(std::filesystem::exists(dir + "/NTFS SCAN.ZQRT"));
  auto loaded = json("list " + img + " --snapshot '" + dir + "/NTFS SCAN.ZQRT' --json");
  EXPECT_EQ(loaded, scanned);

  // Recovery from the snapshot gives the manifest's bytes.
  std::string dest = test::makeTempDir("snaprec");
  int status = -1;
  run("recover --force " + img + " --snapshot '" + dir + "/NTFS SCAN.ZQRT' --to " + dest + " --all", &status);
  EXPECT_EQ(status, 0) << err();
  for (const auto& e : test::readManifestEntries("sample", "p2"))
    if (e.kind == "file" && !e.deleted) {
      EXPECT_EQ(test::sha256File(dest + e.path), e.sha256) << e.path;
    }

  // A snapshot that is not one is refused with the loader's message.
  std::ofstream(dir + "/junk.ZQRT") << "notasnapshot";
  run("list " + img + " --snapshot " + dir + "/junk.ZQRT", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(err().find("Invalid version of the file found : notasna"), std::string::npos) << err();
  run("list " + img + " --snapshot " + dir + "/junk.ZQRT --partition 1", &status);
  EXPECT_NE(status, 0);
}

TEST(CliVolumeOptions, DeepScanPickListsAndRecoversAFoundFileSystem) {
  std::string img = test::fixtureImage("sample");
  // The NTFS partition as a range: its files come back from the deep scan.
  auto found = json("deep-scan " + img + " --fs NTFS --start 71680 --end 104447 --json");
  ASSERT_FALSE(found["file_systems"].empty());
  EXPECT_EQ(found["file_systems"][0]["label"], "NTFS @71680");
  auto rows = json("list " + img + " --deep --fs NTFS --start 71680 --end 104447 --pick 1 --json");
  auto listed = paths(rows);
  std::size_t live = 0;
  for (const auto& e : test::readManifestEntries("sample", "p2")) {
    if (e.kind != "file" || e.deleted) continue;
    EXPECT_TRUE(listed.count(e.path)) << e.path;
    ++live;
  }
  EXPECT_GT(live, 3u);

  std::string dest = test::makeTempDir("deeprec");
  int status = -1;
  run("recover --force " + img + " --deep --fs NTFS --start 71680 --end 104447 --pick 1 --to " + dest +
          " '/Documents/Letters/letter one.txt'",
      &status);
  EXPECT_EQ(status, 0) << err();
  for (const auto& e : test::readManifestEntries("sample", "p2"))
    if (e.path == "/Documents/Letters/letter one.txt") {
      EXPECT_EQ(test::sha256File(dest + "/letter one.txt"), e.sha256);
    }

  run("list " + img + " --deep --fs NTFS --start 71680 --end 104447 --pick 9", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(err().find("there is no found file system 9"), std::string::npos) << err();
  run("list " + img + " --deep --fs NTFS --start 71680 --end 104447", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(err().find("--pick"), std::string::npos);
}

struct HugeVolume {
  const char* key;  // the manifest's volume
  const char* fs;
  std::uint64_t start, end;
};

class CliHugeDisk : public ::testing::TestWithParam<HugeVolume> {};

// A 3 TiB disk whose FAT32 volume starts at 2.5 TiB, past 2^32 sectors: a
// range given by sector numbers, its snapshot and its deep scan work as
// anywhere else (recovery through the partition list is a recover test).
TEST_P(CliHugeDisk, VolumesAreReadWhereverTheyStart) {
  const HugeVolume& v = GetParam();
  const std::string img = test::fixtureImage("huge_gpt");
  ASSERT_FALSE(img.empty());
  ASSERT_EQ(std::filesystem::file_size(img), 3ull << 40);
  const std::string range =
      std::string(" --fs ") + v.fs + " --start " + std::to_string(v.start) + " --end " + std::to_string(v.end);
  auto rows = json("list " + img + range + " --json");
  std::set<std::string> live;
  bool anyDeleted = false;
  for (const auto& r : rows) {
    if (r["deleted"].get<bool>())
      anyDeleted = true;
    else
      live.insert(r["path"].get<std::string>());
  }
  EXPECT_TRUE(anyDeleted);  // the deleted file and folder are listed too
  for (const auto& e : test::readManifestEntries("huge_gpt", v.key)) {
    if (e.kind == "file" && !e.deleted) {
      EXPECT_TRUE(live.count(e.path)) << e.path;
    }
  }

  // The snapshot of a volume past 2^32 sectors holds its sector numbers whole.
  const std::string dir = test::makeTempDir("hugesnap");
  EXPECT_EQ(json("list " + img + range + " --json --save-snapshot " + dir + "/huge"), rows);
  const std::string snap = test::readFile(dir + "/HUGE.ZQRT");
  ASSERT_GE(snap.size(), 10u);
  EXPECT_EQ(snap.substr(7, 3), v.start > 0xFFFFFFFFu ? "1.2" : "1.1");
  EXPECT_EQ(json("list " + img + " --snapshot " + dir + "/HUGE.ZQRT --json"), rows);

  // The deep scan finds the volume at its true place.
  auto found = json("deep-scan " + img + range + " --json");
  ASSERT_FALSE(found["file_systems"].empty());
  bool atStart = false;
  for (const auto& f : found["file_systems"]) atStart = atStart || f["start"].get<std::uint64_t>() >= v.start;
  EXPECT_TRUE(atStart) << found.dump();
}

INSTANTIATE_TEST_SUITE_P(Volumes, CliHugeDisk,
                         ::testing::Values(HugeVolume{"p1", "NTFS", 2048, 67583},
                                           HugeVolume{"p2", "FAT32", 5368709120ull, 5368848383ull}),
                         [](const auto& info) { return std::string(info.param.fs); });

}  // namespace
}  // namespace osprin
