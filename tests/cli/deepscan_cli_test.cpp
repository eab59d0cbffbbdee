#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/fixtures.h"

namespace osprin {
namespace {

std::string cli(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " " + args + " 2>" + test::scratchDir() + "/deep-stderr.txt",
                          status);
}
std::string lastStderr() { return test::readFile(test::scratchDir() + "/deep-stderr.txt"); }

nlohmann::json expected(const std::string& fixture) {
  std::ifstream in(test::fixtureManifestPath(fixture));
  return nlohmann::json::parse(in)["expected"];
}

TEST(CliDeepScan, FatVolumesOfADiskWithoutPartitionTable) {
  const std::string img = test::fixtureImage("deep_disk");
  const auto geometry = expected("deep_disk");
  int status = -1;
  auto out = nlohmann::json::parse(cli("deep-scan " + img + " --fs FAT16 --start 0 --end 67584 --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out["file_systems"].size(), 2u);
  const auto& first = out["file_systems"][0];
  const int base1 = geometry["p1"]["cluster_base"];
  EXPECT_EQ(first["index"], 1);
  EXPECT_EQ(first["label"], "FAT16 @" + std::to_string(base1));
  EXPECT_EQ(first["type"], "FAT16");
  EXPECT_EQ(first["start"], base1);
  EXPECT_EQ(first["sectors_per_cluster"], 4);
  EXPECT_EQ(first["size"], "11 MB");
  EXPECT_FALSE(first.contains("mft_start"));
  const auto& second = out["file_systems"][1];
  EXPECT_EQ(second["start"], geometry["p3"]["cluster_base"]);
  EXPECT_EQ(second["size"], "7 MB");  // its boot sector counts its sectors in the 16-bit field
  EXPECT_EQ(out["counters"]["boot_sectors"], 2);
  EXPECT_GE(out["counters"]["folders"].get<int>(), 5);

  // The same scan with batches of one sector finds the same.
  auto small = nlohmann::json::parse(
      cli("deep-scan " + img + " --fs FAT16 --start 0 --end 67584 --sectors-per-read 1 --json", &status));
  EXPECT_EQ(small, out);
}

TEST(CliDeepScan, NtfsFoundFromBootSectorAndFromIndexBlocks) {
  int status = -1;
  const std::string disk = test::fixtureImage("deep_disk");
  const auto p2 = expected("deep_disk")["p2"];
  auto out = nlohmann::json::parse(cli("deep-scan " + disk + " --fs NTFS --start 0 --end 67584 --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out["file_systems"].size(), 1u);
  const auto& fs = out["file_systems"][0];
  EXPECT_EQ(fs["label"], "NTFS @26624");
  EXPECT_EQ(fs["type"], "NTFS");
  EXPECT_EQ(fs["mft_start"], p2["mft_start"]);
  EXPECT_EQ(fs["mft_mirror_start"], p2["mft_mirror_start"]);
  EXPECT_EQ(fs["sectors_per_cluster"], 8);
  EXPECT_TRUE(out["counters"].contains("files"));
  EXPECT_TRUE(out["counters"].contains("index_entries"));

  const std::string wiped = test::fixtureImage("deep_ntfs");
  auto found = nlohmann::json::parse(cli("deep-scan " + wiped + " --fs NTFS --start 0 --end 53248 --json", &status));
  ASSERT_EQ(found["file_systems"].size(), 1u);
  EXPECT_EQ(found["file_systems"][0]["label"], "NTFS @2048");
  EXPECT_EQ(found["file_systems"][0]["mft_start"], 0);
  EXPECT_EQ(found["file_systems"][0]["size"], "25 MB");

  // Text output: one line per file system.
  std::string text = cli("deep-scan " + wiped + " --fs NTFS --start 0 --end 53248", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("NTFS @2048"), std::string::npos);
  EXPECT_NE(text.find("Index Entries Found:"), std::string::npos);
}

TEST(CliDeepScan, NothingFoundIsAnEmptyList) {
  const std::string img = test::fixtureImage("deep_fat16");
  int status = -1;
  auto out = nlohmann::json::parse(cli("deep-scan " + img + " --fs NTFS --start 0 --end 32768 --json", &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(out["file_systems"].empty());
}

TEST(CliDeepScan, BadRangesAndKindsAreClearErrors) {
  const std::string img = test::fixtureImage("deep_fat16");
  int status = 0;
  EXPECT_TRUE(cli("deep-scan " + img + " --fs FAT16 --start 100 --end 100", &status).empty());
  EXPECT_NE(status, 0);
  EXPECT_NE(lastStderr().find("End sector should be bigger than start sector"), std::string::npos);
  cli("deep-scan " + img + " --fs EXT4 --start 0 --end 100", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(lastStderr().find("FAT16, FAT32, NTFS or EXFAT"), std::string::npos);
  cli("deep-scan " + img + " --fs FAT16 --start 0 --end 281474976710656", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(lastStderr().find("sector numbers must be below 281474976710656"), std::string::npos);
  cli("deep-scan " + img + " --fs FAT16 --start 0 --end 100 --sectors-per-read 0", &status);
  EXPECT_NE(status, 0);
  cli("deep-scan /no/such/disk.img --fs FAT16 --start 0 --end 100", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(lastStderr().find("cannot open /no/such/disk.img"), std::string::npos);
}

TEST(CliDeepScan, ExfatFormattedAgainIsFoundListedAndRecovered) {
  const std::string img = test::fixtureImage("exfat_reformat");
  int status = -1;
  auto out = nlohmann::json::parse(cli("deep-scan " + img + " --fs EXFAT --start 0 --end 32768 --json", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out["file_systems"].size(), 1u);
  const auto& fs = out["file_systems"][0];
  EXPECT_EQ(fs["label"], "exFAT @4080");
  EXPECT_EQ(fs["type"], "exFAT");
  EXPECT_EQ(fs["start"], 4080);
  EXPECT_EQ(fs["sectors_per_cluster"], 8);
  EXPECT_EQ(fs["size"], "14 MB");
  EXPECT_FALSE(fs.contains("mft_start"));
  EXPECT_EQ(out["counters"]["boot_sectors"], 2);  // the boot sector and its backup
  EXPECT_GE(out["counters"]["files"].get<int>(), 20);
  EXPECT_GE(out["counters"]["folders"].get<int>(), 1);
  std::string text = cli("deep-scan " + img + " --fs EXFAT --start 0 --end 32768", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("exFAT @4080"), std::string::npos);
  EXPECT_NE(text.find("File(s) Found:"), std::string::npos);

  // The old photos show under the placeholder of their folder's cluster,
  // deleted, and come back as they were written.
  const std::string range = " --deep --fs EXFAT --start 0 --end 32768 --pick 1";
  auto rows = nlohmann::json::parse(cli("list " + img + range + " --json", &status));
  EXPECT_EQ(status, 0);
  std::string photo;
  for (const auto& r : rows)
    if (r["path"].get<std::string>().find("/DSC00003.JPG") != std::string::npos) {
      photo = r["path"];
      EXPECT_TRUE(r["deleted"].get<bool>());
      EXPECT_EQ(r["size"], 12000);
    }
  ASSERT_EQ(photo.rfind("/Dir", 0), 0u) << photo;
  std::string want;
  std::ifstream in(test::fixtureManifestPath("exfat_reformat"));
  const auto manifest = nlohmann::json::parse(in);
  for (const auto& e : manifest["volumes"]["v"]["entries"])
    if (e["path"] == "/Holiday 2009/DSC00003.JPG") want = e["sha256"];
  const std::string dest = test::makeTempDir("exre");
  cli("recover " + img + range + " --all --to " + dest, &status);
  EXPECT_EQ(status, 0) << lastStderr();
  EXPECT_EQ(test::sha256File(dest + photo), want);
}

// Ctrl-C while a scan runs: the command ends with status 130 and says that
// what it found is partial (a deep scan of a 512 GiB sparse image takes
// long enough to be interrupted; the interrupt is sent again later if the
// program had not yet started to listen for it).
struct InterruptCase {
  const char* name;
  std::vector<std::string> args;  // after the disk
  const char* said;
};
class CliInterrupt : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(CliInterrupt, CtrlCDuringTheScanEndsWithStatus130) {
  static const std::string big = [] {
    const std::string p = test::makeTempDir("big-sparse") + "/big.img";
    std::ofstream(p).close();
    EXPECT_EQ(::truncate(p.c_str(), 512LL << 30), 0);
    return p;
  }();
  const std::string dest = test::makeTempDir("interrupt-dest");
  const std::string errFile = test::scratchDir() + "/interrupt.err";
  for (int delayMs : {300, 1000, 3000}) {
    std::vector<std::string> args{OSPRIN_CLI};
    for (const auto& a : GetParam().args) args.push_back(a == "BIG" ? big : a == "DEST" ? dest : a);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::FILE* err = std::freopen(errFile.c_str(), "w", stderr);
      std::FILE* out = std::freopen("/dev/null", "w", stdout);
      (void)err, (void)out;
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      std::_Exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) continue;  // not yet listening: try again, later
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << test::readFile(errFile);
    EXPECT_NE(test::readFile(errFile).find(GetParam().said), std::string::npos) << test::readFile(errFile);
    EXPECT_TRUE(std::filesystem::is_empty(dest));
    return;
  }
  FAIL() << "the command never ended by itself after Ctrl-C";
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliInterrupt,
    ::testing::Values(InterruptCase{"DeepScan", {"deep-scan", "BIG", "--fs", "NTFS", "--start", "0", "--end", "1073741824"},
                                    "partial"},
                      InterruptCase{"RecoverDeep",
                                    {"recover", "BIG", "--deep", "--fs", "FAT32", "--start", "0", "--end", "1073741824",
                                     "--pick", "1", "--to", "DEST", "--all", "--force"},
                                    "partial"},
                      InterruptCase{"ListDeep",
                                    {"list", "BIG", "--deep", "--fs", "NTFS", "--start", "0", "--end", "1073741824",
                                     "--pick", "1"},
                                    "partial"}),
    [](const ::testing::TestParamInfo<InterruptCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace osprin
