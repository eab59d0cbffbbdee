#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace osprin {
namespace {

// The images and the destinations share the scratch folder's file system,
// which the destination check refuses without --force.
std::string recoverCli(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " recover --force " + args + " 2>" + test::scratchDir() +
                              "/recover.err",
                          status);
}
std::string recoverStderr() { return test::readFile(test::scratchDir() + "/recover.err"); }

std::string q(const std::string& s) { return "'" + s + "'"; }

// The live files of a manifest volume, by path.
std::map<std::string, std::string> liveFiles(const std::string& volume) {
  std::map<std::string, std::string> m;
  for (const auto& e : test::readManifestEntries("sample", volume))
    if (e.kind == "file" && !e.deleted) m[e.path] = e.sha256;
  return m;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Files below dir, lower-cased (the FAT32 volume stores 8.3 names in upper
// case; the manifest has them as written), sorted.
std::vector<std::string> filesUnder(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(lower(e.path().string().substr(dir.size())));
  std::sort(out.begin(), out.end());
  return out;
}

// The file below dir whose path equals path without regard to case.
std::string caseless(const std::string& dir, const std::string& path) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (lower(e.path().string().substr(dir.size())) == lower(path)) return e.path().string();
  return dir + path;
}

TEST(CliRecover, AllOfAFatAndAnNtfsPartition) {
  const std::string img = test::fixtureImage("sample");
  for (auto [part, volume] : {std::pair{1, "p1"}, std::pair{2, "p2"}}) {
    SCOPED_TRACE(volume);
    const std::string dest = test::makeTempDir("cli-all");
    int status = -1;
    auto out = nlohmann::json::parse(recoverCli(img + " --partition " + std::to_string(part) + " --to " + q(dest) +
                                                    " --all --deleted exclude --json",
                                                &status));
    EXPECT_EQ(status, 0) << recoverStderr();
    EXPECT_TRUE(out["errors"].empty());
    const auto live = liveFiles(volume);
    for (const auto& [path, sha] : live) EXPECT_EQ(test::sha256File(caseless(dest, path)), sha) << path;
    if (part == 1) {
      EXPECT_EQ(out["files_saved"], live.size());  // NTFS adds its metadata files
    }
  }
}

TEST(CliRecover, PathsNameFilesAndFolders) {
  const std::string img = test::fixtureImage("sample");
  const std::string dest = test::makeTempDir("cli-paths");
  int status = -1;
  auto out = nlohmann::json::parse(
      recoverCli(img + " --partition 1 --to " + q(dest) + " /Documents /README.TXT --json", &status));
  EXPECT_EQ(status, 0) << recoverStderr();
  EXPECT_EQ(out["files_saved"], 3);
  EXPECT_EQ(filesUnder(dest), (std::vector<std::string>{"/documents/letters/letter one.txt",
                                                        "/documents/report.bin", "/readme.txt"}));
  const auto live = liveFiles("p1");
  EXPECT_EQ(test::sha256File(dest + "/Documents/Letters/letter one.txt"), live.at("/Documents/Letters/letter one.txt"));

  // A file deep down lands in the destination itself.
  const std::string one = test::makeTempDir("cli-one");
  recoverCli(img + " --partition 1 --to " + q(one) + " '/Documents/Letters/letter one.txt'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(filesUnder(one), std::vector<std::string>{"/letter one.txt"});

  // A second run with the default policy renames; with skip it writes nothing and is no error.
  out = nlohmann::json::parse(recoverCli(img + " --partition 1 --to " + q(dest) + " /README.TXT --json", &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::readFile(dest + "/Copy (1 ) of README.TXT").size(), 14u);
  out = nlohmann::json::parse(
      recoverCli(img + " --partition 1 --to " + q(dest) + " /README.TXT --duplicates skip --json", &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out["files_saved"], 0);
  EXPECT_TRUE(out["errors"].empty());
}

// Named streams: rows of kind "stream" in the listing; --all brings them
// with their files only with --streams; a stream named on its own is
// written beside nothing else; compressed files come back decompressed.
TEST(CliRecover, NtfsStreamsAndCompressedFiles) {
  const std::string img = test::fixtureImage("ntfs_windows");
  const std::string vol = " --fs NTFS --start 0 --end 12287";
  int status = -1;
  auto listing = nlohmann::json::parse(test::runCommand(std::string(OSPRIN_CLI) + " list " + img + vol + " --json", &status));
  ASSERT_EQ(status, 0);
  std::map<std::string, std::string> kinds;
  for (const auto& row : listing) kinds[row["path"].get<std::string>()] = row["kind"].get<std::string>();
  EXPECT_EQ(kinds["/Streams/report.txt"], "file");
  EXPECT_EQ(kinds["/Streams/report.txt:Zone.Identifier"], "stream");
  EXPECT_EQ(kinds["/Streams/report.txt:summary"], "stream");

  std::map<std::string, std::string> want;
  for (const auto& e : test::readManifestEntries("ntfs_windows"))
    if (e.kind == "file") want[e.path] = e.sha256;

  for (bool streams : {false, true}) {
    const std::string dest = test::makeTempDir("cli-streams");
    auto out = nlohmann::json::parse(recoverCli(img + vol + " --to " + q(dest) + " /Streams /Compressed/many_units.txt" +
                                                    (streams ? " --streams" : "") + " --json",
                                                &status));
    EXPECT_EQ(status, 0) << recoverStderr();
    EXPECT_EQ(out["files_saved"], streams ? 4 : 2);
    EXPECT_TRUE(out["not_decoded"].empty());
    EXPECT_EQ(test::sha256File(dest + "/many_units.txt"), want.at("/Compressed/many_units.txt"));
    EXPECT_EQ(test::sha256File(dest + "/Streams/report.txt"), want.at("/Streams/report.txt"));
    EXPECT_EQ(std::filesystem::exists(dest + "/Streams/report.txt:Zone.Identifier"), streams);
    if (streams) {
      EXPECT_EQ(test::sha256File(dest + "/Streams/report.txt:summary"), want.at("/Streams/report.txt:summary"));
    }
  }
  const std::string one = test::makeTempDir("cli-stream");
  recoverCli(img + vol + " --to " + q(one) + " /Streams/report.txt:summary", &status);
  EXPECT_EQ(status, 0) << recoverStderr();
  EXPECT_EQ(filesUnder(one), std::vector<std::string>{"/report.txt:summary"});
}

TEST(CliRecover, DeletedOnlyAndFilters) {
  const std::string img = test::fixtureImage("sample");
  const std::string dest = test::makeTempDir("cli-deleted");
  int status = -1;
  auto out = nlohmann::json::parse(
      recoverCli(img + " --partition 2 --to " + q(dest) + " --all --deleted only --json", &status));
  EXPECT_EQ(status, 0) << recoverStderr();
  EXPECT_EQ(filesUnder(dest), (std::vector<std::string>{"/deleted file.txt", "/old/notes.txt"}));
  for (const auto& e : test::readManifestEntries("sample", "p2")) {
    if (e.kind == "file" && e.deleted) {
      EXPECT_EQ(test::sha256File(dest + e.path), e.sha256) << e.path;
    }
  }

  const std::string filtered = test::makeTempDir("cli-filter");
  out = nlohmann::json::parse(recoverCli(img + " --partition 1 --to " + q(filtered) +
                                             " --all --filter '*.TXT' --filter 'photo' --deleted exclude --json",
                                         &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(filesUnder(filtered), (std::vector<std::string>{"/documents/letters/letter one.txt",
                                                            "/pictures/photo.jpg", "/readme.txt"}));
}

TEST(CliRecover, TextOutputAndMissingPaths) {
  const std::string img = test::fixtureImage("sample");
  const std::string dest = test::makeTempDir("cli-text");
  int status = -1;
  std::string out = recoverCli(img + " --partition 1 --to " + q(dest) + " /README.TXT /nothing/here", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Files saved: 1\n");
  EXPECT_NE(recoverStderr().find("no such file or folder: /nothing/here"), std::string::npos);
  // Nothing could be done: a non-zero exit.
  out = recoverCli(img + " --partition 1 --to " + q(dest) + " /nothing/here --json", &status);
  EXPECT_NE(status, 0);
  auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["files_saved"], 0);
  EXPECT_EQ(j["errors"].size(), 1u);
}

TEST(CliRecover, BadArgumentsAreRefused) {
  const std::string img = test::fixtureImage("sample");
  const std::string dest = test::makeTempDir("cli-bad");
  int status = 0;
  for (const std::string args : {" --all /README.TXT", "", " --all --duplicates ask", " --all --deleted some",
                                 " --all --retries 11", " --all --filter 12345678901234567890"}) {
    std::string out = recoverCli(img + " --partition 1 --to " + q(dest) + args, &status);
    EXPECT_NE(status, 0) << args;
    EXPECT_TRUE(out.empty()) << args;
  }
  EXPECT_TRUE(filesUnder(dest).empty());
  recoverCli(img + " --partition 9 --to " + q(dest) + " --all", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(recoverStderr().find("there is no partition 9"), std::string::npos);
}

TEST(CliRecover, RefusesADestinationOnTheSourceUnlessForced) {
  std::string img = test::fixtureImage("sample");
  std::string dest = test::makeTempDir("same-fs");
  int status = 0;
  std::string out = test::runCommand(std::string(OSPRIN_CLI) + " recover " + img + " --partition 1 --to " + q(dest) +
                                         " --all 2>" + test::scratchDir() + "/recover.err",
                                     &status);
  EXPECT_NE(status, 0);
  EXPECT_TRUE(out.empty());
  EXPECT_NE(recoverStderr().find("can overwrite the data being recovered"), std::string::npos) << recoverStderr();
  EXPECT_NE(recoverStderr().find("--force"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dest));
  recoverCli(img + " --partition 1 --to " + q(dest) + " --all", &status);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::is_empty(dest));
}

}  // namespace
}  // namespace osprin
