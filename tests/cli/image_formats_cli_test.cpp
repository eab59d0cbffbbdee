// Every command reads an image in any of its formats as it reads the raw
// disk: partition list, lost-partition search, listing, deep scan, snapshots
// and byte-identical recovery, the sample disk as EnCase, VHD, VHDX, VMDK,
// qcow2 and split raw image against the raw image itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace osprin {
namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

std::string errPath() { return test::scratchDir() + "/formats.err"; }

// Output of `osprin ARGS`; the test fails when the command does.
std::string run(const std::string& args) {
  int status = -1;
  std::string out = test::runCommand(std::string(OSPRIN_CLI) + " " + args + " 2>" + errPath(), &status);
  EXPECT_EQ(status, 0) << args << "\n" << test::readFile(errPath());
  return out;
}

// The image of each format, made ready once.
std::string imagePath(const std::string& format) {
  static std::mutex mu;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = made.find(format); it != made.end()) return it->second;
  std::string path;
  if (format == "raw") {
    path = test::fixtureImage("sample");
  } else if (format == "split") {
    const std::string dir = test::makeTempDir("split");
    int status = -1;
    test::runCommand("split -d -a 3 --numeric-suffixes=1 -b 40000000 " + q(test::fixtureImage("sample")) + " " +
                         q(dir + "/sample.img."),
                     &status);
    EXPECT_EQ(status, 0);
    path = dir + "/sample.img.001";
  } else {
    if (format == "E01") test::fixtureFile("sample.E02");
    path = test::fixtureFile("sample." + format);
  }
  made[format] = path;
  return path;
}

// What a command prints for the raw disk, computed once per command.
std::string rawOutput(const std::string& argsAfterDisk) {
  static std::mutex mu;
  static std::map<std::string, std::string> out;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (auto it = out.find(argsAfterDisk); it != out.end()) return it->second;
  }
  std::string text = run(argsAfterDisk.substr(0, argsAfterDisk.find(' ')) + " " + q(imagePath("raw")) +
                         argsAfterDisk.substr(argsAfterDisk.find(' ')));
  std::lock_guard<std::mutex> lock(mu);
  out[argsAfterDisk] = text;
  return text;
}

std::string onImage(const std::string& format, const std::string& argsAfterDisk) {
  return run(argsAfterDisk.substr(0, argsAfterDisk.find(' ')) + " " + q(imagePath(format)) +
             argsAfterDisk.substr(argsAfterDisk.find(' ')));
}

class ImageFormatsCli : public ::testing::TestWithParam<std::string> {};

TEST_P(ImageFormatsCli, PartitionsAndTheLostPartitionSearch) {
  // (The sample's partitions start on 1 MiB boundaries: the lost partition
  // search, which reads the whole disk, finds the four volumes too.)
  for (const char* cmd : {"partitions --json", "search-partitions --json"}) {
    SCOPED_TRACE(cmd);
    const std::string raw = rawOutput(cmd);
    EXPECT_EQ(nlohmann::json::parse(raw).size(), 4u);
    EXPECT_EQ(onImage(GetParam(), cmd), raw);
  }
}

TEST_P(ImageFormatsCli, ListingsOfEveryPartition) {
  for (int p = 1; p <= 4; ++p) {
    const std::string cmd = "list --partition " + std::to_string(p) + " --json";
    SCOPED_TRACE(cmd);
    const std::string raw = rawOutput(cmd);
    EXPECT_GT(nlohmann::json::parse(raw).size(), 5u);
    EXPECT_EQ(onImage(GetParam(), cmd), raw);
  }
}

TEST_P(ImageFormatsCli, RecoveryIsByteIdentical) {
  for (int p = 1; p <= 4; ++p) {
    SCOPED_TRACE(p);
    const std::string fromRaw = test::makeTempDir("from-raw");
    const std::string fromImage = test::makeTempDir("from-image");
    const std::string args = " --partition " + std::to_string(p) + " --all --force --to ";
    run("recover " + q(imagePath("raw")) + args + q(fromRaw));
    run("recover " + q(imagePath(GetParam())) + args + q(fromImage));
    int status = -1;
    std::string diff = test::runCommand("diff -r " + q(fromRaw) + " " + q(fromImage) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << diff;
    std::size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(fromImage)) files += e.is_regular_file();
    EXPECT_GT(files, 5u);
  }
}

TEST_P(ImageFormatsCli, DeepScanAndSnapshots) {
  const std::string range = " --fs NTFS --start 71680 --end 104447";
  EXPECT_EQ(onImage(GetParam(), "deep-scan" + range + " --json"), rawOutput("deep-scan" + range + " --json"));
  // The snapshot's name is upper-cased and gets .ZQRT.
  const std::string dir = test::makeTempDir("snap");
  const std::string listed = onImage(GetParam(), "list --deep" + range + " --pick 1 --json --save-snapshot " + q(dir + "/ntfs"));
  EXPECT_EQ(listed, rawOutput("list --deep" + range + " --pick 1 --json"));
  EXPECT_EQ(onImage(GetParam(), "list --snapshot " + q(dir + "/NTFS.ZQRT") + " --json"), listed);
}

TEST_P(ImageFormatsCli, DrivesNamesTheFormat) {
  auto drives = nlohmann::json::parse(run("drives --image " + q(imagePath(GetParam())) + " --json"));
  const auto& d = drives.back();
  EXPECT_EQ(d["path"], imagePath(GetParam()));
  EXPECT_TRUE(d["image"].get<bool>());
  EXPECT_GE(d["total_sectors"].get<std::uint64_t>(), 262144u);
  static const std::map<std::string, std::string> names{{"E01", "EnCase (EWF)"}, {"vhd", "VHD"},
                                                        {"vhdx", "VHDX"},        {"vmdk", "VMDK"},
                                                        {"qcow2", "QCOW"},       {"split", "Split raw"}};
  EXPECT_EQ(d["format"], names.at(GetParam()));
  if (GetParam() == "E01") {
    EXPECT_EQ(d["segments"], 2);
    EXPECT_EQ(d["image_details"]["case_number"], "CASE-19");
    EXPECT_EQ(d["image_details"]["examiner"], "A. Examiner");
    EXPECT_EQ(d["image_details"]["md5"].get<std::string>().size(), 32u);
    EXPECT_EQ(d["image_details"]["sha1"].get<std::string>().size(), 40u);
  }
  if (GetParam() == "split") {
    EXPECT_EQ(d["segments"], 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageFormatsCli, ::testing::Values("E01", "vhd", "vhdx", "vmdk", "qcow2", "split"));

TEST(ImageFormatsCli, ADamagedImageIsAnErrorWithExitStatus) {
  const std::string dir = test::makeTempDir("damaged");
  std::filesystem::copy_file(test::fixtureFile("sample.E01"), dir + "/sample.E01");
  int status = -1;
  test::runCommand(std::string(OSPRIN_CLI) + " partitions " + q(dir + "/sample.E01") + " 2>" + errPath(), &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(test::readFile(errPath()), "osprin: cannot open " + dir +
                                           "/sample.E01 as an EnCase image: one of its segment files is damaged, "
                                           "cut short or missing\n");
}

}  // namespace
}  // namespace osprin
