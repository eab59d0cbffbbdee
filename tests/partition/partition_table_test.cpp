#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <nlohmann/json.hpp>
#include <fstream>

#include "disk/faulty_source.h"
#include "partition/lost_search.h"
#include "partition/partition_table.h"
#include "support/fixtures.h"
#include "support/gpt_builder.h"

namespace osprin {
namespace {

// A disk in memory, written sector by sector.
struct Disk {
  std::string bytes;
  explicit Disk(std::uint64_t sectors) : bytes(sectors * kSectorSize, '\0') {}
  char* at(std::uint64_t sector) { return bytes.data() + sector * kSectorSize; }
  void signature(std::uint64_t sector) {
    at(sector)[510] = 0x55;
    at(sector)[511] = static_cast<char>(0xAA);
  }
  void entry(std::uint64_t table, int i, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    char* e = at(table) + 446 + 16 * i;
    e[4] = static_cast<char>(type);
    std::memcpy(e + 8, &first, 4);
    std::memcpy(e + 12, &count, 4);
    signature(table);
  }
  void text(std::uint64_t sector, std::size_t off, const char* t) { std::memcpy(at(sector) + off, t, std::strlen(t)); }
  void u32(std::uint64_t sector, std::size_t off, std::uint32_t v) { std::memcpy(at(sector) + off, &v, 4); }
  SectorReader reader() { return SectorReader(std::make_unique<MemoryBlockSource>(bytes)); }
};

TEST(PartitionTable, OneNtfsPrimaryAndItsPanel) {
  Disk d(64);
  d.entry(0, 0, 0x07, 63, 40965687);
  auto r = d.reader();
  auto list = readPartitionTable(r, 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(partitionLabel(0, list[0]), "Partition 1 - NTFS");
  EXPECT_EQ(list[0].start, 63u);
  EXPECT_EQ(list[0].length, 40965687u);
  auto panel = partitionInfoPanel(list[0].fsType, 63, 63 + 40965687 - 1, 40965687);
  EXPECT_EQ(panel[0].value, "NTFS");
  EXPECT_EQ(panel[2].label, "Partition End");
  EXPECT_EQ(panel[2].value, "40965749");
  EXPECT_EQ(panel[3].value, "20002 MB ( Aprox )");
}

TEST(PartitionTable, ExtendedChainWithRelativeOffsets) {
  Disk d(30200);
  d.entry(0, 0, 0x0C, 63, 1000);
  d.entry(0, 1, 0x0F, 20000, 10200);
  d.entry(20000, 0, 0x0C, 63, 5000);     // data entry: relative to its record
  d.entry(20000, 1, 0x05, 10000, 200);   // link: relative to the extended start
  d.entry(30000, 0, 0x0B, 63, 100);
  auto r = d.reader();
  auto list = readPartitionTable(r, 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].start, 63u);
  EXPECT_EQ(list[1].start, 20063u);
  EXPECT_EQ(list[2].start, 30063u);
  EXPECT_EQ(list[2].fsType, FsType::Fat32);
}

TEST(PartitionTable, ClassificationByTextBeforeTypeByte) {
  Disk d(600);
  d.entry(0, 0, 0x01, 100, 10);  // type 1 without a text: not listed as a primary
  d.entry(0, 1, 0x83, 200, 10);  // a Linux type byte, but the boot sector says NTFS
  d.text(200, 3, "NTFS");
  d.entry(0, 2, 0x07, 300, 10);  // type 7 whose boot sector says FAT32
  d.text(300, 82, "FAT32");
  d.entry(0, 3, 0x0F, 400, 100);
  d.entry(400, 0, 0x01, 50, 10);  // type 1 inside an extended partition: FAT16
  auto r = d.reader();
  auto list = readPartitionTable(r, 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].fsType, FsType::Ntfs);
  EXPECT_EQ(list[0].start, 200u);
  EXPECT_EQ(list[1].fsType, FsType::Fat32);
  EXPECT_EQ(list[2].fsType, FsType::Fat16);
  EXPECT_EQ(list[2].start, 450u);
}

TEST(PartitionTable, BadSignatureGivesNothing) {
  Disk d(4);
  d.entry(0, 0, 0x07, 1, 2);
  d.at(0)[511] = 0x00;
  auto r = d.reader();
  EXPECT_TRUE(readPartitionTable(r, 0).empty());
}

TEST(PartitionTable, UnreadableBootSectorIsClassifiedByTypeAlone) {
  // Sector 100 holds a FAT32 text but cannot be read; the primary at 200
  // read before it must not leak its text into the classification.
  Disk d(300);
  d.entry(0, 0, 0x07, 200, 10);
  d.text(200, 82, "FAT32");
  d.entry(0, 1, 0x06, 100, 10);
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.bytes));
  faulty->failSector(100);
  SectorReader r(std::move(faulty));
  auto list = readPartitionTable(r, 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].fsType, FsType::Fat32);
  EXPECT_EQ(list[1].fsType, FsType::Fat16);
}

TEST(PartitionTable, ChainThatLoopsEndsAndTheListStopsAtTwentyFive) {
  Disk d(2000);
  d.entry(0, 0, 0x0F, 100, 1000);
  // Each record links to the next; the last links back to the first.
  for (int k = 0; k < 40; ++k) {
    std::uint32_t rec = 100 + 10 * static_cast<std::uint32_t>(k);
    d.entry(rec, 0, 0x06, 5, 1);
    d.entry(rec, 1, 0x05, k == 39 ? 0 : 10 * static_cast<std::uint32_t>(k + 1), 10);
  }
  auto r = d.reader();
  auto list = readPartitionTable(r, 0);
  EXPECT_EQ(list.size(), kMaxPartitions);

  Disk loop(300);
  loop.entry(0, 0, 0x05, 100, 100);
  loop.entry(100, 0, 0x06, 5, 1);
  loop.entry(100, 1, 0x05, 0, 100);  // links to itself
  auto r2 = loop.reader();
  EXPECT_EQ(readPartitionTable(r2, 0).size(), 1u);
}

// The fixtures were made with sfdisk, mkfs.fat and mkntfs; their manifests
// hold what `mmls` lists for them.
void expectManifestPartitions(const std::string& name, const std::vector<PartitionEntry>& got) {
  std::ifstream in(test::fixtureManifestPath(name));
  auto j = nlohmann::json::parse(in);
  ASSERT_EQ(got.size(), j["partitions"].size()) << name;
  // The manifest counts the disk's own sectors; the list 512-byte units.
  const SectorNo units = j.value("sector_size", 512u) / kSectorSize;
  for (std::size_t i = 0; i < got.size(); ++i) {
    auto& p = j["partitions"][i];
    EXPECT_EQ(partitionLabel(i, got[i]), p["label"].get<std::string>());
    EXPECT_EQ(got[i].start, p["start"].get<SectorNo>() * units);
    EXPECT_EQ(got[i].length, p["length"].get<SectorNo>() * units);
    EXPECT_EQ(got[i].name, p.value("name", std::string())) << i;
  }
}

// sample: logical partitions; ebr_loop: a chain that links to itself;
// ebr_slots: links in slot 4 of their record and a logical volume in slot 2
// (mmls reads them all); gpt_disk: a GPT with FAT32, NTFS and an unknown
// partition, named; gpt_backup: the same with its primary header zeroed;
// gpt4k: a GPT of 4,096-byte sectors; exfat_mbr: exFAT and NTFS partitions
// of the same type 0x07, told apart by their boot sectors; exfat_gpt: exFAT
// in a basic-data partition.
class PartitionFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(PartitionFixture, ListsTheManifestPartitions) {
  auto r = test::openReader(test::fixtureImage(GetParam()));
  std::vector<std::string> warnings;
  expectManifestPartitions(GetParam(), readPartitionTable(*r, 0, &warnings));
  if (std::string(GetParam()) == "gpt_backup") {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "The primary GPT header is damaged (no \"EFI PART\" signature); the partitions come from the backup "
              "header at sector 108543.");
  } else {
    EXPECT_TRUE(warnings.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PartitionFixture,
                         ::testing::Values("sample", "ebr_loop", "ebr_slots", "gpt_disk", "gpt_backup", "gpt4k",
                                           "exfat_mbr", "exfat_gpt"));

// GPT partitions from crafted tables: the file system from each one's first
// sector, the MBR's own entries ignored (hybrid MBR) unless the GPT cannot
// be read, a wiped sector 0 in front of a sound GPT.
void fat32Boot(test::GptDisk& d, std::uint64_t at, std::uint32_t sectors) {
  const unsigned char boot[] = {0xEB, 0x58, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1', 0x00, 0x02, 1, 32, 0, 2,
                                0x00, 0x00, 0x00, 0x00, 0xF8, 0, 0};
  std::memcpy(d.at(at), boot, sizeof boot);
  test::GptDisk::put32(d.at(at) + 32, sectors);
  test::GptDisk::put32(d.at(at) + 36, 100);  // sectors per FAT
  d.at(at)[510] = 0x55;
  d.at(at)[511] = static_cast<char>(0xAA);
}

TEST(PartitionTableGpt, FileSystemsNamesAndUnknownPartitions) {
  test::GptDisk d(2000);
  d.protectiveMbr();
  d.write({{100, 599, u"data"}, {600, 999, u"linux"}, {1000, 1099, u""}});
  fat32Boot(d, 100, 500);
  std::memset(d.at(1000), 0x66, kSectorSize);  // garbage
  auto r = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  std::vector<std::string> warnings;
  auto list = readPartitionTable(r, 0, &warnings);
  EXPECT_TRUE(warnings.empty());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(partitionLabel(0, list[0]), "Partition 1 - FAT32");
  EXPECT_EQ(list[0].name, "data");
  EXPECT_EQ(list[0].start, 100u);
  EXPECT_EQ(list[0].length, 500u);
  EXPECT_EQ(list[0].typeGuid, "131211A2-1514-1716-1819-1A1B1C1D1E1F");
  EXPECT_EQ(partitionLabel(1, list[1]), "Partition 2 - Unknown");
  EXPECT_EQ(list[1].fsType, FsType::None);
  EXPECT_EQ(partitionLabel(2, list[2]), "Partition 3 - Unknown");
  EXPECT_EQ(list[2].length, 100u);
  // The discovery takes the GPT as it is and does not search.
  StopFlag stop{0};
  auto found = discoverPartitions(r, translatedGeometry(2000), stop, nullObserver());
  EXPECT_FALSE(found.searched);
  EXPECT_EQ(found.partitions.size(), 3u);
}

TEST(PartitionTableGpt, ManyEntriesAreAllListed) {
  test::GptDisk d(4000);
  d.protectiveMbr();
  std::vector<test::GptPart> parts;
  for (std::uint64_t i = 0; i < 100; ++i) parts.push_back({100 + 30 * i, 100 + 30 * i + 29, u"p"});
  d.write(parts);
  auto r = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  EXPECT_EQ(readPartitionTable(r, 0).size(), 100u);
}

struct HybridCase {
  const char* what;
  bool breakGpt;
  std::size_t listed;
  FsType first;
  const char* warning;  // the start of the one warning, "" for none
};

class HybridMbr : public ::testing::TestWithParam<HybridCase> {};

TEST_P(HybridMbr, TheGptIsAuthoritative) {
  const auto& c = GetParam();
  test::GptDisk d(2000);
  d.protectiveMbr(0x0C, 100, 500);  // the MBR also lists the FAT32 volume
  d.write({{100, 599, u"fat"}, {600, 999, u"other"}});
  fat32Boot(d, 100, 500);
  if (c.breakGpt) {
    d.at(1)[0] = 0;
    d.at(1999)[0] = 0;
  }
  auto r = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  std::vector<std::string> warnings;
  auto list = readPartitionTable(r, 0, &warnings);
  ASSERT_EQ(list.size(), c.listed);
  EXPECT_EQ(list[0].fsType, c.first);
  EXPECT_EQ(list[0].start, 100u);
  if (std::string(c.warning).empty()) {
    EXPECT_TRUE(warnings.empty());
  } else {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(c.warning, 0), 0u) << warnings[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HybridMbr,
                         ::testing::Values(HybridCase{"sound", false, 2, FsType::Fat32, ""},
                                           HybridCase{"gpt_broken", true, 1, FsType::Fat32,
                                                      "Sector 0 announces a GPT, but the primary GPT header is damaged "
                                                      "(no \"EFI PART\" signature) and so is the backup header (no "
                                                      "\"EFI PART\" signature); the partitions come from the MBR entries."}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(PartitionTableGpt, ProtectiveMbrWithoutAUsableGptListsNothingAndSaysWhy) {
  test::GptDisk d(2000);
  d.protectiveMbr();
  auto r = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  std::vector<std::string> warnings;
  EXPECT_TRUE(readPartitionTables(r, &warnings).empty());
  ASSERT_EQ(warnings.size(), 1u);  // once, though sector 0 is read twice
  EXPECT_NE(warnings[0].find("no partition is listed from it"), std::string::npos);
}

TEST(PartitionTableGpt, WipedSectorZeroInFrontOfAGpt) {
  test::GptDisk d(2000);
  d.write({{100, 599, u"fat"}});
  fat32Boot(d, 100, 500);
  auto r = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  EXPECT_TRUE(readPartitionTable(r, 0).empty());  // no protective MBR: no table in sector 0
  std::vector<std::string> warnings;
  auto list = readPartitionTables(r, &warnings);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].fsType, FsType::Fat32);
  EXPECT_EQ(list[0].name, "fat");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "Sector 0 holds no protective MBR; the partitions come from the GPT header at sector 1.");
  // An MBR that is there but lists nothing of interest is no wiped sector 0.
  d.at(0)[510] = 0x55;
  d.at(0)[511] = static_cast<char>(0xAA);
  auto r2 = SectorReader(std::make_unique<MemoryBlockSource>(d.bytes));
  EXPECT_TRUE(readPartitionTables(r2).empty());
}

// Volumes made without a partition table: sector 0 is their boot sector,
// whose boot code is no table. The one volume is listed, to its own end.
struct BareCase {
  const char* fixture;
  FsType fs;
  SectorNo length;
};

class BareVolumeFixture : public ::testing::TestWithParam<BareCase> {};

TEST_P(BareVolumeFixture, IsListedAsOneVolumeFromSectorZero) {
  const auto& c = GetParam();
  auto r = test::openReader(test::fixtureImage(c.fixture));
  auto list = readPartitionTable(*r, 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].fsType, c.fs);
  EXPECT_EQ(list[0].start, 0u);
  EXPECT_EQ(list[0].length, c.length);
  StopFlag stop{0};
  DriveInfo drive;
  std::string err;
  ASSERT_TRUE(driveInfoForPath(test::fixtureImage(c.fixture), drive, err)) << err;
  auto found = discoverPartitions(*r, drive, stop, nullObserver());
  EXPECT_FALSE(found.searched);
  ASSERT_EQ(found.partitions.size(), 1u);
  EXPECT_EQ(found.partitions[0].length, c.length);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, BareVolumeFixture,
                         ::testing::Values(BareCase{"fat16vol", FsType::Fat16, 32768},
                                           BareCase{"fatwin16", FsType::Fat16, 16384},
                                           BareCase{"fat32vol", FsType::Fat32, 81920},
                                           BareCase{"ntfs", FsType::Ntfs, 65536},
                                           BareCase{"exfatvol", FsType::Exfat, 65536}),
                         [](const auto& info) { return std::string(info.param.fixture); });

// A FAT boot sector at sector 0 whose entry bytes are or are not a table.
struct EntryCase {
  const char* what;
  std::uint8_t flag, type;
  std::uint32_t first, count;
  bool secondOverlaps;
  bool table;  // read as a table (else: the bare volume)
};

class BootSectorEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(BootSectorEntries, AreATableOnlyWhenConsistent) {
  const auto& c = GetParam();
  Disk d(4000);
  // A FAT16 boot sector of 3000 sectors: jump, 512 bytes per sector, 4
  // sectors per cluster, 1 reserved, 2 FATs, media F8, 8 sectors per FAT.
  const unsigned char boot[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0', 0x00, 0x02, 4, 1, 0, 2,
                                0x00, 0x02, 0xB8, 0x0B, 0xF8, 8, 0};
  std::memcpy(d.at(0), boot, sizeof boot);
  d.text(0, 54, "FAT16   ");
  d.signature(0);
  if (c.type != 0) {
    d.entry(0, 0, c.type, c.first, c.count);
    d.at(0)[446] = static_cast<char>(c.flag);
    d.text(c.first < 4000 ? c.first : 0, 54, c.first < 4000 ? "FAT16   " : "");
  }
  if (c.secondOverlaps) d.entry(0, 1, 0x06, c.first + 1, 10);
  auto r = d.reader();
  auto list = readPartitionTable(r, 0);
  if (c.table) {
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].start, c.first);
  } else {
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].start, 0u);
    EXPECT_EQ(list[0].length, 3000u);
    EXPECT_EQ(list[0].fsType, FsType::Fat16);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BootSectorEntries,
    ::testing::Values(EntryCase{"no entries", 0, 0, 0, 0, false, false},
                      EntryCase{"a consistent entry", 0x80, 0x06, 100, 2000, false, true},
                      EntryCase{"past the disk", 0x00, 0x06, 100, 5000, false, false},
                      EntryCase{"unknown type", 0x00, 0x9C, 100, 2000, false, false},
                      EntryCase{"boot flag neither 0 nor 0x80", 0x12, 0x06, 100, 2000, false, false},
                      EntryCase{"length 0", 0x00, 0x06, 100, 0, false, false},
                      EntryCase{"overlapping entries", 0x00, 0x06, 100, 2000, true, false}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(PartitionTable, APartitionPastTheDiskIsNamedInAWarning) {
  EXPECT_EQ(partitionBeyondDiskWarning(PartitionEntry{100, 900, FsType::Fat16}, 1000), "");
  EXPECT_EQ(partitionBeyondDiskWarning(PartitionEntry{100, 901, FsType::Fat16}, 1000),
            "The partition at sector 100 claims 901 sectors (to sector 1000), but the disk has only 1000 sectors");
  EXPECT_EQ(partitionBeyondDiskWarning(PartitionEntry{100, 901, FsType::Fat16}, 0), "");  // size unknown
}

struct WindowsDisk {
  const char* image;     // in the shared corpus
  const char* mmlsKind;  // the mmls rows that are partitions: "" for every numbered slot
  FsType fs;             // the file system every partition has (None: not checked) ...
  FsType someFs;         // ... or that at least one has
};

class PartitionTableWindows : public ::testing::TestWithParam<WindowsDisk> {};

// Disks partitioned by Windows (MBR, GPT) list what The Sleuth Kit lists.
TEST_P(PartitionTableWindows, MatchesTheSleuthKit) {
  const WindowsDisk& c = GetParam();
  auto img = test::corpusImage(c.image);
  if (!img) GTEST_SKIP() << "corpus not available";
  int status = 0;
  std::string mmls = test::runCommand("mmls " + *img + " 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "mmls not available";
  // mmls rows: "004:  000       0000000034   0000032767   0000032734   Microsoft reserved partition"
  std::vector<std::pair<SectorNo, SectorNo>> expected;
  std::istringstream in(mmls);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string slot, part;
    unsigned long long start = 0, end = 0, len = 0;
    ls >> slot >> part >> start >> end >> len;
    if (part.empty() || !std::isdigit(static_cast<unsigned char>(part[0]))) continue;
    if (*c.mmlsKind != '\0' && line.find(c.mmlsKind) == std::string::npos) continue;
    expected.emplace_back(start, len);
  }
  ASSERT_FALSE(expected.empty());
  auto r = test::openReader(*img);
  auto list = readPartitionTable(*r, 0);
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].start, expected[i].first) << i;
    EXPECT_EQ(list[i].length, expected[i].second) << i;
    if (c.fs != FsType::None) {
      EXPECT_EQ(list[i].fsType, c.fs) << i;
    }
  }
  if (c.someFs != FsType::None) {
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const PartitionEntry& p) { return p.fsType == c.someFs; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, PartitionTableWindows,
                         ::testing::Values(WindowsDisk{"mbr-win-512.raw", "FAT1", FsType::Fat16, FsType::None},
                                           WindowsDisk{"vss_1_vol.raw", "", FsType::None, FsType::Ntfs}),
                         [](const auto& info) { return info.index == 0 ? std::string("Mbr") : std::string("Gpt"); });

TEST(PartitionTable, NtfsIndexDiskFromWindows7) {
  auto img = test::corpusImage("ntfs_index.raw");
  if (!img) GTEST_SKIP() << "corpus not available";
  auto r = test::openReader(*img);
  auto list = readPartitionTable(*r, 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].fsType, FsType::Ntfs);
  EXPECT_EQ(list[0].start, 128u);
}

}  // namespace
}  // namespace osprin
