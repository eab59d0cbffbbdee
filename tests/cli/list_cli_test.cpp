// osprin list: the standard scan's tree on the command line.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "support/fixtures.h"
#include "volume/fat_listing.h"

namespace osprin {
namespace {

std::string stderrPath() { return test::scratchDir() + "/list-stderr.txt"; }

std::string osprin(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " " + args + " 2>" + stderrPath(), status);
}

nlohmann::json listJson(const std::string& args) {
  int status = -1;
  std::string out = osprin("list " + args + " --json", &status);
  EXPECT_EQ(status, 0) << test::readFile(stderrPath());
  return nlohmann::json::parse(out);
}

std::vector<test::Line> lines(const nlohmann::json& rows) {
  std::vector<test::Line> out;
  for (const auto& r : rows)
    out.push_back({r["kind"].get<std::string>(), r["path"].get<std::string>(), r["size"].get<std::uint64_t>(),
                   r["deleted"].get<bool>()});
  return out;
}

std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

TEST(CliList, Fat16JsonMatchesTheManifest) {
  auto rows = listJson(test::fixtureImage("fat16vol") + " --fs FAT16 --start 0 --end 32767");
  test::expectSameListing(lines(rows), test::expectedListing("fat16vol", "fat16"));
  for (const auto& r : rows) {
    // FAT keeps local times without a zone: ISO 8601 without an offset.
    EXPECT_EQ(r["created"].get<std::string>().size(), 19u) << r;  // "2010-01-01T00:00:00"
    EXPECT_EQ(r["created"].get<std::string>()[4], '-') << r;
    EXPECT_EQ(r["created"].get<std::string>()[10], 'T') << r;
    EXPECT_TRUE(r.contains("modified") && r.contains("id")) << r;
  }
}

TEST(CliList, Fat32JsonMatchesTheManifestInTreeOrder) {
  auto rows = listJson(test::fixtureImage("fat32vol") + " --fs fat32 --start 0 --end 81919");
  test::expectSameListing(lines(rows), test::expectedListing("fat32vol", "fat32"));

  // Depth first: a folder comes before everything below it and its subtree
  // is not interrupted; in a folder, the subfolders come before the files.
  std::map<std::string, std::size_t> position;
  std::set<std::string> closed;      // folders whose subtree has ended
  std::vector<std::string> open{""};  // the path from the root to the current folder
  std::map<std::string, bool> sawFile;
  std::set<std::uint64_t> fileIds;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string path = rows[i]["path"];
    const std::string parent = parentOf(path);
    while (!open.empty() && open.back() != parent) {
      closed.insert(open.back());
      open.pop_back();
    }
    ASSERT_FALSE(open.empty()) << path << " comes after its folder's subtree ended";
    EXPECT_FALSE(closed.count(parent)) << path;
    if (rows[i]["kind"] == "folder") {
      EXPECT_FALSE(sawFile[parent]) << "folder " << path << " after a file of its folder";
      open.push_back(path);
    } else {
      sawFile[parent] = true;
      EXPECT_TRUE(fileIds.insert(rows[i]["id"].get<std::uint64_t>()).second) << path;
    }
  }
}

// exFAT names in several scripts, a deleted folder with its files, the
// folder of 1,100 files; its times carry a UTC offset: ISO 8601 in UTC.
TEST(CliList, ExfatJsonMatchesTheManifestWithUtcTimes) {
  auto rows = listJson(test::fixtureImage("exfatvol") + " --fs EXFAT --start 0 --end 65535");
  std::vector<test::Line> want;  // exFAT keeps deleted names whole
  for (const auto& e : test::readManifestEntries("exfatvol", "v"))
    want.push_back({e.kind, e.path, e.kind == "file" ? e.size : 0, e.deleted});
  test::expectSameListing(lines(rows), want);
  for (const auto& r : rows) {
    EXPECT_EQ(r["modified"], "2010-01-01T00:00:00Z") << r;
    EXPECT_EQ(r["created"], "2010-01-01T00:00:01Z") << r;  // 00:00:00 and 137 hundredths
  }
}

TEST(CliList, ReadableListingMarksDeletedEntries) {
  int status = -1;
  std::string out = osprin("list " + test::fixtureImage("fat16vol") + " --fs FAT16 --start 0 --end 32767", &status);
  EXPECT_EQ(status, 0);
  auto lineWith = [&](const std::string& needle) {
    auto p = out.find(needle);
    if (p == std::string::npos) return std::string();
    auto b = out.rfind('\n', p);
    return out.substr(b == std::string::npos ? 0 : b + 1, out.find('\n', p) - (b == std::string::npos ? 0 : b + 1));
  };
  EXPECT_EQ(lineWith("/xILE.TXT").rfind("Deleted File", 0), 0u) << out;
  EXPECT_EQ(lineWith("/Old Stuff\n").rfind("Deleted Folder", 0), 0u);
  EXPECT_EQ(lineWith("/README.TXT").rfind("File ", 0), 0u);
  EXPECT_NE(lineWith("/Report 2004.doc").find(" 3000 "), std::string::npos);
  EXPECT_NE(out.find("folder(s)"), std::string::npos);
}

TEST(CliList, PartitionsOfADisk) {
  std::string img = test::fixtureImage("sample");
  for (int p : {1, 2}) {
    auto rows = listJson(img + " --partition " + std::to_string(p));
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& r : rows) byPath[r["path"]] = r;
    ASSERT_TRUE(byPath.count("/Documents/Letters/letter one.txt")) << "partition " << p;
    EXPECT_EQ(byPath["/Documents/Letters/letter one.txt"]["size"], 700);
    ASSERT_TRUE(byPath.count("/Old")) << "partition " << p;
    EXPECT_EQ(byPath["/Old"]["deleted"], true);
    EXPECT_EQ(byPath["/Old"]["kind"], "folder");
  }
}

// JSON dates are ISO 8601 with the zone the volume implies: FAT stores
// local dates without a zone, NTFS stores UTC.
TEST(CliList, JsonDatesAreIso8601) {
  std::string img = test::fixtureImage("sample");
  auto isDigits = [](const std::string& s, std::size_t from, std::size_t n) {
    for (std::size_t i = from; i < from + n; ++i)
      if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
  };
  for (int p : {1, 2, 3}) {
    SCOPED_TRACE(p);
    auto rows = listJson(img + " --partition " + std::to_string(p));
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
      for (const char* key : {"created", "modified"}) {
        ASSERT_TRUE(r[key].is_string()) << r;
        const std::string t = r[key];
        ASSERT_TRUE(isDigits(t, 0, 4) && t[4] == '-' && isDigits(t, 5, 2) && t[7] == '-' && isDigits(t, 8, 2)) << t;
        if (p == 2) {  // NTFS: UTC, with its time of day
          ASSERT_EQ(t.size(), 20u) << t;
          EXPECT_TRUE(t[10] == 'T' && t[13] == ':' && t[16] == ':' && t.back() == 'Z') << t;
        } else {  // FAT: no zone
          EXPECT_EQ(t.find('Z'), std::string::npos) << t;
          EXPECT_TRUE(t.size() == 10u || (t.size() == 19u && t[10] == 'T')) << t;
        }
      }
    }
  }
  // The text output keeps the display form.
  int status = -1;
  std::string text = osprin("list " + img + " --partition 2", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text.find("Z "), std::string::npos);
  EXPECT_NE(text.find("-2026 "), std::string::npos) << text.substr(0, 400);
}

TEST(CliList, FailedScanIsOneClearLineAndAnExitCode) {
  int status = 0;
  std::string out = osprin("list " + test::fixtureImage("fat16vol") + " --fs NTFS --start 0 --end 32767 --json", &status);
  EXPECT_NE(status, 0);
  EXPECT_TRUE(out.empty()) << out;
  EXPECT_NE(test::readFile(stderrPath()).find("osprin: Recovery is not possible in Standard scan, use Sdvance scan\n"),
            std::string::npos)
      << test::readFile(stderrPath());

  osprin("list " + test::fixtureImage("fat16vol"), &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(test::readFile(stderrPath()).find("--partition"), std::string::npos);
}

TEST(CliList, DestroyedNtfsBootSectors) {
  auto img = test::corpusImage("ntfs3.raw");
  if (!img) GTEST_SKIP() << "ntfs3.raw is not in the corpus";
  std::string copy = test::copyImage(*img, "ntfs-cli");
  const std::uint64_t last = std::filesystem::file_size(copy) / 512 - 1;
  test::patchFile(copy, 0, std::string(512, '\0'));
  test::patchFile(copy, last * 512, std::string(512, '\0'));
  int status = 0;
  osprin("list " + copy + " --fs NTFS --start 0 --end " + std::to_string(last), &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(test::readFile(stderrPath()).find("Recovery is not possible in Standard scan, use Sdvance scan"),
            std::string::npos);
}

}  // namespace
}  // namespace osprin
