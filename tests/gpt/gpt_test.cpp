#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "disk/faulty_source.h"
#include "gpt/gpt.h"
#include "support/gpt_builder.h"

namespace osprin {
namespace {

using test::GptDisk;
using test::GptPart;

TEST(Gpt, Crc32AndGuidText) {
  const std::string check = "123456789";
  EXPECT_EQ(gpt::crc32Of(Bytes(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xCBF43926u);
  EXPECT_EQ(gpt::crc32Of(Bytes()), 0u);
  // The Microsoft basic data type as it lies on the disk.
  const std::uint8_t basic[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                  0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  EXPECT_EQ(gpt::readGuid(Bytes(basic), 0).text(), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_TRUE(gpt::readGuid(Bytes(basic), 16).isZero());  // past the end: zeros
}

TEST(Gpt, ProtectiveAndHybridMbr) {
  GptDisk d(200);
  d.protectiveMbr();
  EXPECT_TRUE(gpt::hasProtectiveEntry(Bytes(reinterpret_cast<const std::uint8_t*>(d.at(0)), kSectorSize)));
  EXPECT_TRUE(gpt::isProtectiveOnly(Bytes(reinterpret_cast<const std::uint8_t*>(d.at(0)), kSectorSize)));
  d.protectiveMbr(0x0C, 100, 50);
  EXPECT_TRUE(gpt::hasProtectiveEntry(Bytes(reinterpret_cast<const std::uint8_t*>(d.at(0)), kSectorSize)));
  EXPECT_FALSE(gpt::isProtectiveOnly(Bytes(reinterpret_cast<const std::uint8_t*>(d.at(0)), kSectorSize)));
  d.at(0)[511] = 0;  // no boot signature: no MBR at all
  EXPECT_FALSE(gpt::hasProtectiveEntry(Bytes(reinterpret_cast<const std::uint8_t*>(d.at(0)), kSectorSize)));
}

// A header changed in one field, CRC made right again unless the case is
// about the CRC itself: the status that parseHeader gives.
struct HeaderCase {
  const char* what;
  std::function<void(GptDisk&)> change;
  gpt::HeaderStatus status;
};

class GptHeaderCases : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(GptHeaderCases, GiveTheirStatus) {
  const auto& c = GetParam();
  GptDisk d(400);
  d.protectiveMbr();
  d.write({{40, 99, u"one"}});
  c.change(d);
  gpt::Header h;
  const Bytes sector(reinterpret_cast<const std::uint8_t*>(d.at(1)), kSectorSize);
  EXPECT_EQ(gpt::parseHeader(sector, 1, 400, h), c.status) << c.what;
}

void field32(GptDisk& d, std::size_t off, std::uint32_t v) {
  GptDisk::put32(d.at(1) + off, v);
  d.fixCrc(1);
}
void field64(GptDisk& d, std::size_t off, std::uint64_t v) {
  GptDisk::put64(d.at(1) + off, v);
  d.fixCrc(1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GptHeaderCases,
    ::testing::Values(
        HeaderCase{"sound", [](GptDisk&) {}, gpt::HeaderStatus::Ok},
        HeaderCase{"signature", [](GptDisk& d) { d.at(1)[0] = 'X'; }, gpt::HeaderStatus::NoSignature},
        HeaderCase{"revision 2", [](GptDisk& d) { field32(d, 8, 0x00020000); }, gpt::HeaderStatus::BadRevision},
        HeaderCase{"header size 91", [](GptDisk& d) { field32(d, 12, 91); }, gpt::HeaderStatus::BadHeaderSize},
        HeaderCase{"header size 513", [](GptDisk& d) { field32(d, 12, 513); }, gpt::HeaderStatus::BadHeaderSize},
        HeaderCase{"a byte changed", [](GptDisk& d) { d.at(1)[60] ^= 1; }, gpt::HeaderStatus::BadHeaderCrc},
        HeaderCase{"a byte inside a larger header size",
                   [](GptDisk& d) {
                     field32(d, 12, 120);
                     d.at(1)[100] = 7;  // now counted by the CRC
                   },
                   gpt::HeaderStatus::BadHeaderCrc},
        HeaderCase{"names another sector", [](GptDisk& d) { field64(d, 24, 2); }, gpt::HeaderStatus::WrongLba},
        HeaderCase{"no entries", [](GptDisk& d) { field32(d, 80, 0); }, gpt::HeaderStatus::BadEntryFormat},
        HeaderCase{"too many entries", [](GptDisk& d) { field32(d, 80, 1025); }, gpt::HeaderStatus::BadEntryFormat},
        HeaderCase{"entry size 100", [](GptDisk& d) { field32(d, 84, 100); }, gpt::HeaderStatus::BadEntryFormat},
        HeaderCase{"entry size 132", [](GptDisk& d) { field32(d, 84, 132); }, gpt::HeaderStatus::BadEntryFormat},
        HeaderCase{"entry size 8192", [](GptDisk& d) { field32(d, 84, 8192); }, gpt::HeaderStatus::BadEntryFormat},
        HeaderCase{"array past the disk", [](GptDisk& d) { field64(d, 72, 390); }, gpt::HeaderStatus::BadLimits},
        HeaderCase{"array at the header", [](GptDisk& d) { field64(d, 72, 1); }, gpt::HeaderStatus::BadLimits},
        HeaderCase{"array at 2^64 - 1", [](GptDisk& d) { field64(d, 72, ~0ull); }, gpt::HeaderStatus::BadLimits},
        HeaderCase{"last usable past the disk", [](GptDisk& d) { field64(d, 48, 400); }, gpt::HeaderStatus::BadLimits},
        HeaderCase{"first usable after last", [](GptDisk& d) { field64(d, 40, 380); }, gpt::HeaderStatus::BadLimits}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(Gpt, EntriesWithNamesUnusedSlotsAndLargerEntries) {
  GptDisk d(600, 16, 256);  // 16 entries of 256 bytes: 8 sectors of array
  d.protectiveMbr();
  d.write({{40, 99, u"Données"},
           {0, 0, u"", 0},  // unused slot
           {100, 99, u"backwards"},  // last before first: left out
           {200, 299, u"abcdefghijklmnopqrstuvwxyz0123456789"},  // 36 units, no terminator
           {300, 300, u"\U0001F600 one sector"}});
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  const auto t = gpt::readTable(r);
  ASSERT_TRUE(t);
  EXPECT_FALSE(t->fromBackup);
  EXPECT_EQ(t->headerLba, 1u);
  EXPECT_EQ(t->header.entrySize, 256u);
  EXPECT_EQ(t->header.entryCount, 16u);
  ASSERT_EQ(t->entries.size(), 3u);
  EXPECT_EQ(t->entries[0].index, 0u);
  EXPECT_EQ(t->entries[0].name, "Données");
  EXPECT_EQ(t->entries[0].firstLba, 40u);
  EXPECT_EQ(t->entries[0].lastLba, 99u);
  EXPECT_EQ(t->entries[1].index, 3u);
  EXPECT_EQ(t->entries[1].name, "abcdefghijklmnopqrstuvwxyz0123456789");
  EXPECT_EQ(t->entries[2].name, "\xF0\x9F\x98\x80 one sector");
  EXPECT_EQ(t->entries[2].uniqueGuid.bytes[0], 5);
}

// The primary header or its array damaged: the backup lists the partitions,
// and the warning names it.
struct DamageCase {
  const char* what;
  std::function<void(GptDisk&)> damage;
  const char* problem;  // "" when the primary stays in use
  bool readable = true;
};

class GptDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(GptDamage, FallsBackToTheBackupHeader) {
  const auto& c = GetParam();
  GptDisk d(400);
  d.protectiveMbr();
  d.write({{40, 99, u"one"}, {100, 199, u"two"}});
  c.damage(d);
  auto faulty = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(d.bytes));
  if (std::string(c.what) == "primary unreadable") faulty->failSector(1);
  SectorReader r(std::move(faulty));
  std::string why;
  const auto t = gpt::readTable(r, &why);
  if (!c.readable) {
    EXPECT_FALSE(t);
    EXPECT_NE(why.find(c.problem), std::string::npos) << why;
    return;
  }
  ASSERT_TRUE(t) << why;
  ASSERT_EQ(t->entries.size(), 2u);
  EXPECT_EQ(t->entries[1].name, "two");
  if (std::string(c.problem).empty()) {
    EXPECT_FALSE(t->fromBackup);
    return;
  }
  EXPECT_TRUE(t->fromBackup);
  EXPECT_EQ(t->headerLba, 399u);
  EXPECT_EQ(gpt::backupWarning(*t), std::string("The primary GPT header is damaged (") + c.problem +
                                        "); the partitions come from the backup header at sector 399.");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GptDamage,
    ::testing::Values(
        DamageCase{"sound", [](GptDisk&) {}, ""},
        DamageCase{"backup damaged only", [](GptDisk& d) { d.at(399)[0] = 0; }, ""},
        DamageCase{"primary zeroed", [](GptDisk& d) { std::memset(d.at(1), 0, kSectorSize); },
                   "no \"EFI PART\" signature"},
        DamageCase{"primary unreadable", [](GptDisk&) {}, "its sector cannot be read"},
        DamageCase{"primary crc", [](GptDisk& d) { d.at(1)[40] ^= 0x55; }, "its CRC32 does not match"},
        DamageCase{"primary array", [](GptDisk& d) { d.at(2)[60] ^= 1; },
                   "the CRC32 of its entry array does not match"},
        DamageCase{"both headers",
                   [](GptDisk& d) {
                     d.at(1)[0] = 0;
                     d.at(399)[20] ^= 1;
                   },
                   "and so is the backup header (its CRC32 does not match)", false},
        DamageCase{"both arrays",
                   [](GptDisk& d) {
                     d.at(2)[0] ^= 1;
                     d.at(d.backupArrayLba())[0] ^= 1;
                   },
                   "the backup header (the CRC32 of its entry array does not match)", false}),
    [](const auto& info) {
      std::string n;
      for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(Gpt, BackupWhereThePrimaryNamesIt) {
  // The disk grew after partitioning: the backup is not at the last LBA but
  // where the primary (whose array is damaged) says.
  GptDisk d(400);
  d.protectiveMbr();
  d.write({{40, 99, u"one"}});
  d.at(2)[0] ^= 1;
  d.bytes.append(100 * kSectorSize, '\0');
  SectorReader r(std::make_unique<MemoryBlockSource>(d.bytes));
  const auto t = gpt::readTable(r);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->fromBackup);
  EXPECT_EQ(t->headerLba, 399u);
}

}  // namespace
}  // namespace osprin
