#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/session.h"
#include "recovery/extract.h"
#include "support/fixtures.h"
#include "ntfs/record.h"

namespace osprin {
namespace {

// Recovery with --force (harmless for images: the destination check refuses
// only a destination on the source disk itself).
std::string recoverCli(const std::string& args, int* status) {
  return test::runCommand(std::string(OSPRIN_CLI) + " recover --force " + args + " 2>" + test::scratchDir() +
                              "/recover.err",
                          status);
}
std::string recoverStderr() { return test::readFile(test::scratchDir() + "/recover.err"); }

std::string q(const std::string& s) { return "'" + s + "'"; }

// The live files of a manifest volume, by path.
std::map<std::string, std::string> liveFiles(const std::string& volume, const std::string& fixture = "sample") {
  std::map<std::string, std::string> m;
  for (const auto& e : test::readManifestEntries(fixture, volume))
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

// Partitions of a GPT disk, also when its primary header is gone, and exFAT
// in an MBR (beside NTFS, both type 0x07) and in a GPT: every file comes out
// byte for byte.
struct GptVolume {
  const char* fixture;
  int partition;
  const char* volume;
};

class CliRecoverGpt : public ::testing::TestWithParam<GptVolume> {};

TEST_P(CliRecoverGpt, EveryFileIsByteIdentical) {
  const auto& c = GetParam();
  const std::string dest = test::makeTempDir("cli-gpt");
  int status = -1;
  auto out = nlohmann::json::parse(recoverCli(test::fixtureImage(c.fixture) + " --partition " +
                                                  std::to_string(c.partition) + " --to " + q(dest) + " --all --json",
                                              &status));
  EXPECT_EQ(status, 0) << recoverStderr();
  EXPECT_TRUE(out["errors"].empty());
  const auto live = liveFiles(c.volume, c.fixture);
  ASSERT_FALSE(live.empty());
  for (const auto& [path, sha] : live) EXPECT_EQ(test::sha256File(caseless(dest, path)), sha) << path;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CliRecoverGpt,
                         ::testing::Values(GptVolume{"gpt_disk", 1, "p1"}, GptVolume{"gpt_disk", 2, "p2"},
                                           GptVolume{"gpt_backup", 1, "p1"}, GptVolume{"gpt_backup", 2, "p2"},
                                           GptVolume{"exfat_mbr", 1, "p1"}, GptVolume{"exfat_mbr", 2, "p2"},
                                           GptVolume{"exfat_gpt", 1, "p1"}),
                         [](const auto& info) {
                           return std::string(info.param.fixture) + "_" + info.param.volume;
                         });

// A sparse 3 TiB GPT disk (kept as a sparse tar) whose FAT32 partition
// starts past 2 TiB: both partitions listed as mmls lists them, and every
// file of both recovered byte for byte.
TEST(CliRecover, ThreeTebibyteGptDisk) {
  int status = -1;
  const std::string img = test::fixtureImage("huge_gpt");
  ASSERT_FALSE(img.empty());
  auto parts = nlohmann::json::parse(
      test::runCommand(std::string(OSPRIN_CLI) + " partitions " + q(img) + " --json 2>/dev/null", &status));
  EXPECT_EQ(status, 0);
  std::ifstream in(test::fixtureManifestPath("huge_gpt"));
  const auto expected = nlohmann::json::parse(in)["partitions"];
  ASSERT_EQ(parts.size(), expected.size());
  for (std::size_t i = 0; i < parts.size(); ++i)
    for (const char* key : {"label", "type", "start", "length", "end", "name"})
      EXPECT_EQ(parts[i][key], expected[i][key]) << key << " of " << i;
  for (auto [part, volume] : {std::pair{1, "p1"}, std::pair{2, "p2"}}) {
    SCOPED_TRACE(volume);
    const std::string dest = test::makeTempDir("gpt-3tib-out");
    recoverCli(q(img) + " --partition " + std::to_string(part) + " --to " + q(dest) + " --all", &status);
    EXPECT_EQ(status, 0) << recoverStderr();
    const auto live = liveFiles(volume, "huge_gpt");
    ASSERT_FALSE(live.empty());
    for (const auto& [path, sha] : live) EXPECT_EQ(test::sha256File(caseless(dest, path)), sha) << path;
  }
}

TEST(CliRecover, PathsNameFilesAndFolders) {
  const std::string img = test::fixtureImage("sample");
  const std::string dest = test::makeTempDir("cli-paths");
  int status = -1;
  auto out = nlohmann::json::parse(
      recoverCli(img + " --partition 1 --to " + q(dest) + " /Documents /readme.txt --json", &status));
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
  out = nlohmann::json::parse(recoverCli(img + " --partition 1 --to " + q(dest) + " /readme.txt --json", &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::readFile(dest + "/Copy (1 ) of readme.txt").size(), 14u);
  out = nlohmann::json::parse(
      recoverCli(img + " --partition 1 --to " + q(dest) + " /readme.txt --duplicates skip --json", &status));
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
  std::string out = recoverCli(img + " --partition 1 --to " + q(dest) + " /readme.txt /nothing/here", &status);
  EXPECT_EQ(status, 2);  // a chosen path was not written
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

// A destination on the same file system as the image file is not the
// source: no --force is needed (writing there cannot touch the image).
TEST(CliRecover, ADestinationBesideTheImageIsNotRefused) {
  std::string img = test::fixtureImage("sample");
  std::string dest = test::makeTempDir("same-fs");
  int status = 0;
  test::runCommand(std::string(OSPRIN_CLI) + " recover " + img + " --partition 1 --to " + q(dest) + " --all 2>" +
                       test::scratchDir() + "/recover.err",
                   &status);
  EXPECT_EQ(status, 0) << recoverStderr();
  EXPECT_EQ(recoverStderr().find("--force"), std::string::npos);
  EXPECT_FALSE(std::filesystem::is_empty(dest));
}

// The first data sector of a file of the sample disk's NTFS partition.
std::uint64_t firstDataSector(const std::string& img, const std::string& folder, const std::string& name) {
  Session s;
  std::string err;
  EXPECT_TRUE(s.addImage(img, err) && s.openDrive(0, err)) << err;
  EXPECT_TRUE(s.readPartitionTables());
  EXPECT_TRUE(s.selectPartition(1));
  StopFlag stop{0};
  EXPECT_EQ(s.standardScan(stop, nullObserver()), ScanOutcome::Done);
  std::vector<ListRow> rows;
  for (const ListRow& row : s.listFolder(s.rootIdentity()))
    if (row.folder && row.name == folder) rows = s.listItem(static_cast<std::uint32_t>(row.id));
  for (const ListRow& row : rows) {
    if (row.name != name) continue;
    std::array<std::uint8_t, kMftRecordSize> rec{};
    EXPECT_TRUE(s.reader->readSectors(static_cast<SectorNo>(row.id), 2, rec.data()));
    applyFixup(rec);
    const DataAttribute a = findUnnamedData(rec);
    const RunList runs = decodeDataRuns(rec, a.offset);
    EXPECT_FALSE(runs.runs.empty());
    return s.vp.clusterBase + static_cast<std::uint64_t>(runs.runs.at(0).startCluster) * s.vp.sectorsPerCluster;
  }
  ADD_FAILURE() << name << " not found";
  return 0;
}

// A ddrescue map that gives one sector of a file as bad: the sector is
// never read, the file is written with its 512 bytes zero-filled, named in
// the summary (text and JSON) with that range, and the exit status is 2.
TEST(CliRecover, FilesNotWrittenWholeAreNamedWithTheirZeroFilledRanges) {
  const std::string img = test::fixtureImage("sample");
  const std::uint64_t bad = firstDataSector(img, "Documents", "report.bin");
  ASSERT_NE(bad, 0u);
  const std::string map = test::makeTempDir("cli-map") + "/disk.map";
  {
    std::ofstream m(map);
    char line[128];
    std::snprintf(line, sizeof line, "0x%llX  0x200  -\n", static_cast<unsigned long long>(bad * 512));
    m << "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
      << "0x00000000     +               1\n#      pos        size  status\n"
      << line;
  }
  const auto live = liveFiles("p2");
  std::uint64_t size = 0;
  for (const auto& e : test::readManifestEntries("sample", "p2"))
    if (e.path == "/Documents/report.bin") size = e.size;
  ASSERT_GT(size, 0u);
  const std::uint64_t zeroed = std::min<std::uint64_t>(size, 512);

  const std::string dest = test::makeTempDir("cli-map-json");
  int status = -1;
  auto j = nlohmann::json::parse(recoverCli(img + " --partition 2 --to " + q(dest) + " /Documents/report.bin /Pictures --json " +
                                                "--bad-sectors-map " + q(map),
                                            &status));
  EXPECT_EQ(status, 2) << recoverStderr();
  EXPECT_EQ(j["files_not_whole"], 1);
  std::size_t whole = 0;
  for (const auto& f : j["files"]) {
    if (f["outcome"] == "written whole") {
      ++whole;
      continue;
    }
    EXPECT_EQ(f["path"], dest + "/report.bin");
    EXPECT_EQ(f["outcome"], "incomplete");
    EXPECT_EQ(f["written"], size);
    EXPECT_EQ(f["zero_filled"], nlohmann::json::parse("[{\"offset\":0,\"length\":" + std::to_string(zeroed) + "}]"));
  }
  EXPECT_GT(whole, 0u);
  const std::string got = test::readFile(dest + "/report.bin");
  ASSERT_EQ(got.size(), size);
  EXPECT_EQ(got.substr(0, zeroed), std::string(zeroed, '\0'));

  const std::string dest2 = test::makeTempDir("cli-map-text");
  const std::string out = recoverCli(img + " --partition 2 --to " + q(dest2) + " /Documents/report.bin --bad-sectors-map " +
                                         q(map),
                                     &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("Not written whole: 1\n  incomplete: " + dest2 + "/report.bin"), std::string::npos) << out;
  EXPECT_NE(out.find("(zero-filled bytes 0-" + std::to_string(zeroed - 1) + ")"), std::string::npos) << out;

  // Without the map the same file is written whole: status 0.
  const std::string dest3 = test::makeTempDir("cli-map-none");
  recoverCli(img + " --partition 2 --to " + q(dest3) + " /Documents/report.bin", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::sha256File(dest3 + "/report.bin"), live.at("/Documents/report.bin"));
  // A map that is not one is refused before anything is read.
  std::ofstream(map) << "not a map\n";
  recoverCli(img + " --partition 2 --to " + q(dest3) + " /Documents/report.bin --bad-sectors-map " + q(map), &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(recoverStderr().find("map"), std::string::npos);
}

// ---- verdicts and reports --------------------------------------------------

struct ReuseVolume {
  const char* name;
  const char* fs;
  const char* range;
  const char* oldDir;
};
const ReuseVolume kReuse[] = {
    {"reuse_fat16", "FAT16", "--fs FAT16 --start 0 --end 16383", "/OLD"},
    {"reuse_fat32", "FAT32", "--fs FAT32 --start 0 --end 67583", "/OLD"},
    {"reuse_ntfs", "NTFS", "--fs NTFS --start 0 --end 16383", "/old"},
};

class CliReport : public testing::TestWithParam<ReuseVolume> {};

// --only-intact takes the deleted files whose verdict is intact, and no
// other deleted file.
TEST_P(CliReport, OnlyIntactTakesIntactDeletedFiles) {
  const ReuseVolume& v = GetParam();
  const std::string img = test::fixtureImage(v.name);
  const std::string dest = test::makeTempDir("intact");
  int status = -1;
  recoverCli(q(img) + " " + v.range + " --to " + q(dest) + " --deleted only --only-intact " + v.oldDir, &status);
  ASSERT_EQ(status, 0) << recoverStderr();
  std::vector<std::string> want;
  for (const auto& e : test::readManifestEntries(v.name))
    if (e.deleted && e.kind == "file" && e.recoverable) want.push_back(e.path);
  std::ifstream mf(test::fixtureManifestPath(v.name));
  const auto manifest = nlohmann::json::parse(mf);
  std::vector<std::string> intact;
  for (const auto& e : manifest["volumes"][v.name]["entries"])
    if (e.value("verdict", "") == "intact") intact.push_back(lower(e["path"].get<std::string>()));
  std::sort(intact.begin(), intact.end());
  EXPECT_EQ(filesUnder(dest), intact);
}

// The report's hashes are those of the files written; the byte runs of the
// DFXML read back from the image give the same SHA-256; the JSON and CSV
// forms carry the same files.
TEST_P(CliReport, HashesAndByteRunsMatchTheFilesWritten) {
  const ReuseVolume& v = GetParam();
  const std::string img = test::fixtureImage(v.name);
  std::map<std::string, nlohmann::json> byDest;
  for (const char* ext : {"json", "csv", "xml"}) {
    SCOPED_TRACE(ext);
    const std::string dest = test::makeTempDir("report");
    const std::string report = dest + ".report." + ext;
    int status = -1;
    recoverCli(q(img) + " " + v.range + " --to " + q(dest) + " --all --report " + q(report), &status);
    ASSERT_EQ(status, 0) << recoverStderr();
    if (std::string(ext) == "json") {
      std::ifstream f(report);
      const auto j = nlohmann::json::parse(f);
      EXPECT_EQ(j["disk"]["path"], img);
      EXPECT_EQ(j["volume"]["type"], v.fs);
      EXPECT_FALSE(j["started"].get<std::string>().empty());
      EXPECT_FALSE(j["finished"].get<std::string>().empty());
      std::size_t deleted = 0, withVerdict = 0;
      for (const auto& f : j["files"]) {
        const std::string path = f["destination"];
        SCOPED_TRACE(path);
        EXPECT_EQ(f["sha256"], test::sha256File(path));
        const std::string md5 = test::runCommand("md5sum " + q(path));
        EXPECT_EQ(f["md5"], md5.substr(0, 32));
        EXPECT_EQ(f["outcome"], "whole");
        if (f["deleted"].get<bool>()) {
          ++deleted;
          if (f.contains("recoverable")) ++withVerdict;
        } else {
          EXPECT_FALSE(f.contains("recoverable")) << "live files get no verdict";
        }
        byDest[path.substr(dest.size())] = f;
      }
      EXPECT_GT(deleted, 0u);
      EXPECT_EQ(withVerdict, deleted);
    } else if (std::string(ext) == "csv") {
      const std::string csv = test::readFile(report);
      EXPECT_EQ(csv.substr(0, csv.find('\n')),
                "source,destination,size,deleted,recoverable,overwritten_fraction,created,modified,accessed,changed,"
                "outcome,reason,written,zero_filled,runs,sha256,md5");
      for (const auto& [rel, f] : byDest)
        EXPECT_NE(csv.find(f["sha256"].get<std::string>()), std::string::npos) << rel;
    } else {
      // Python's XML parser reads the DFXML; each fileobject has the main
      // elements, and its byte runs read from the image hash to its SHA-256.
      const std::string script = R"PY(
import hashlib, sys, xml.etree.ElementTree as ET
ns = {'d': 'http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML', 'o': 'urn:osprin:recovery-report'}
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == '{%s}dfxml' % ns['d'], root.tag
assert root.find('d:creator/d:program', ns).text == 'osprin'
assert root.find('d:source/d:image_filename', ns).text == sys.argv[2]
img = open(sys.argv[2], 'rb').read()
n = 0
for fo in root.iter('{%s}fileobject' % ns['d']):
    name = fo.find('d:filename', ns).text
    size = int(fo.find('d:filesize', ns).text)
    runs = fo.find('d:byte_runs', ns)
    h = {x.get('type'): x.text for x in fo.findall('d:hashdigest', ns)}
    data = b''
    for r in runs.findall('d:byte_run', ns):
        ln = int(r.get('len'))
        data += b'\0' * ln if r.get('fill') is not None else img[int(r.get('img_offset')):int(r.get('img_offset')) + ln]
    data = data[:size]
    written = open(fo.find('o:recovered_to', ns).text, 'rb').read()
    assert hashlib.sha256(data).hexdigest() == h['sha256'], name
    assert hashlib.sha256(written).hexdigest() == h['sha256'], name
    assert hashlib.md5(written).hexdigest() == h['md5'], name
    n += 1
print(n)
)PY";
      const std::string py = dest + ".check.py";
      std::ofstream(py) << script;
      int pyStatus = -1;
      const std::string out = test::runCommand("python3 " + q(py) + " " + q(report) + " " + q(img) + " 2>&1", &pyStatus);
      EXPECT_EQ(pyStatus, 0) << out;
      EXPECT_EQ(std::stoul(out), byDest.size()) << out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Reuse, CliReport, testing::ValuesIn(kReuse),
                         [](const testing::TestParamInfo<ReuseVolume>& i) { return std::string(i.param.name); });

TEST(CliReport, UnknownExtensionIsRefused) {
  const std::string img = test::fixtureImage("reuse_fat16");
  int status = -1;
  recoverCli(q(img) + " --fs FAT16 --start 0 --end 16383 --to " + q(test::makeTempDir("r")) +
                 " --all --report " + q(test::scratchDir() + "/report.txt"),
             &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(recoverStderr().find(".json, .csv or .xml"), std::string::npos) << recoverStderr();
}

}  // namespace
}  // namespace osprin
