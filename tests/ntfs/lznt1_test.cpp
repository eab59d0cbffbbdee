// LZNT1 chunks, the compression units of a compressed stream and the boot
// sector's geometry, on inputs built by hand; real volumes written by
// ntfs-3g and Windows are in the recovery tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntfs/boot_sector.h"
#include "ntfs/compression.h"
#include "ntfs/data_attr.h"
#include "ntfs/lznt1.h"

namespace osprin {
namespace {

using Buf = std::vector<std::uint8_t>;

// A chunk: header (data length - 1, signature 3, compressed flag) and data.
Buf chunk(const Buf& data, bool compressed) {
  const auto h = static_cast<std::uint16_t>((data.size() - 1) | 0x3000 | (compressed ? 0x8000 : 0));
  Buf out{static_cast<std::uint8_t>(h & 0xFF), static_cast<std::uint8_t>(h >> 8)};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
Buf cat(Buf a, const Buf& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "abc" then a phrase token: 9 bytes from 3 back (overlapping its source).
const Buf kAbc = {0x08, 'a', 'b', 'c', 0x06, 0x20};

struct Lznt1Case {
  const char* name;
  Buf in;
  std::size_t room;
  std::string want;  // the bytes produced
  bool damaged;
};

std::string str(const Buf& b, std::size_t n) { return std::string(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

class Lznt1 : public ::testing::TestWithParam<Lznt1Case> {};

TEST_P(Lznt1, DecodesAsWindowsReadsIt) {
  const Lznt1Case& c = GetParam();
  Buf out(c.room, 0xEE);
  const Lznt1Result r = lznt1Decompress(c.in, out);
  EXPECT_EQ(r.damaged, c.damaged);
  ASSERT_EQ(r.produced, c.want.size());
  EXPECT_EQ(str(out, r.produced), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, Lznt1,
    ::testing::Values(
        Lznt1Case{"phrase_overlapping_its_source", chunk(kAbc, true), 8192, "abcabcabcabc", false},
        Lznt1Case{"literals_only", chunk({0x00, 'h', 'e', 'l', 'l', 'o', '!', '!', '?'}, true), 100, "hello!!?",
                  false},
        Lznt1Case{"stored_chunk", cat(chunk(Buf(4096, 'x'), false), chunk(kAbc, true)), 8192,
                  std::string(4096, 'x') + "abcabcabcabc", false},
        // A short compressed chunk followed by another is padded to 4096.
        Lznt1Case{"short_chunk_padded", cat(chunk(kAbc, true), chunk(kAbc, true)), 8192,
                  "abcabcabcabc" + std::string(4084, '\0') + "abcabcabcabc", false},
        Lznt1Case{"end_marker", cat(cat(chunk(kAbc, true), {0, 0}), chunk(kAbc, true)), 8192, "abcabcabcabc", false},
        Lznt1Case{"output_full", chunk(kAbc, true), 5, "abcab", false},
        Lznt1Case{"reference_before_chunk", chunk({0x01, 0x00, 0x10}, true), 100, "", true},
        Lznt1Case{"reference_too_far_back", chunk({0x02, 'a', 0x00, 0x30}, true), 100, "", true},
        Lznt1Case{"chunk_past_input", Buf{0x10, 0xB0, 0x00, 'a'}, 100, "", true},
        Lznt1Case{"token_cut_short", chunk({0x02, 'a', 0x00}, true), 100, "", true},
        Lznt1Case{"empty_input", Buf{}, 100, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

// The offset of a phrase token takes more bits as the chunk fills: past
// position 16, 5 bits (and 11 of length).
TEST(Lznt1Phrase, OffsetWidthGrowsWithThePosition) {
  Buf data = {0x00, '0', '1', '2', '3', '4', '5', '6', '7', 0x00, '8', '9', 'a', 'b', 'c', 'd', 'e', 'f', 0x02, 'g'};
  // Phrase at position 17: back 16, length 4 -> ((16 - 1) << 11) | (4 - 3).
  const std::uint16_t token = (15u << 11) | 1u;
  data.push_back(static_cast<std::uint8_t>(token & 0xFF));
  data.push_back(static_cast<std::uint8_t>(token >> 8));
  Buf out(100);
  const Lznt1Result r = lznt1Decompress(chunk(data, true), out);
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(str(out, r.produced), "0123456789abcdefg1234");
}

struct UnitCase {
  const char* name;
  std::vector<ClusterExtent> runs;
  std::vector<UnitKind> kinds;        // of the units in order
  std::vector<std::uint64_t> listed;  // clusters each unit's runs cover
  std::uint64_t firstLcnOfUnit1;      // first allocated cluster of the second unit
};

class Units : public ::testing::TestWithParam<UnitCase> {};

TEST_P(Units, ClassifiesEachUnitOfFourClusters) {
  const UnitCase& c = GetParam();
  UnitWalker w(c.runs);
  for (std::size_t i = 0; i < c.kinds.size(); ++i) {
    const UnitPlan p = w.next(4);
    EXPECT_EQ(p.kind, c.kinds[i]) << "unit " << i;
    EXPECT_EQ(p.listed, c.listed[i]) << "unit " << i;
    if (i == 1 && !p.pieces.empty()) {
      EXPECT_EQ(p.pieces[0].lcn, c.firstLcnOfUnit1);
    }
  }
  EXPECT_EQ(w.next(4).listed, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Units,
    ::testing::Values(
        UnitCase{"compressed_then_raw", {{100, 2, false}, {0, 2, true}, {200, 4, false}},
                 {UnitKind::Compressed, UnitKind::Raw}, {4, 4}, 200},
        UnitCase{"raw_run_across_units", {{100, 6, false}, {0, 2, true}},
                 {UnitKind::Raw, UnitKind::Compressed}, {4, 4}, 104},
        UnitCase{"sparse_unit_between", {{100, 1, false}, {0, 7, true}, {300, 3, false}, {0, 1, true}},
                 {UnitKind::Compressed, UnitKind::Sparse, UnitKind::Compressed}, {4, 4, 4}, 0},
        UnitCase{"runs_end_inside_a_unit", {{100, 4, false}, {500, 2, false}},
                 {UnitKind::Raw, UnitKind::Raw}, {4, 2}, 500},
        UnitCase{"data_split_over_runs", {{100, 4, false}, {50, 1, false}, {60, 1, false}, {0, 2, true}},
                 {UnitKind::Raw, UnitKind::Compressed}, {4, 4}, 50}),
    [](const auto& info) { return std::string(info.param.name); });

// Attributes of a record: the named stream found by name, the unnamed one
// with its compression unit and initialised size, encryption and reparse
// points reported.
Buf recordWith(const std::vector<Buf>& attrs) {
  Buf rec(1024, 0);
  rec[0] = 'F'; rec[1] = 'I'; rec[2] = 'L'; rec[3] = 'E';
  rec[20] = 56;
  std::size_t p = 56;
  for (const Buf& a : attrs) {
    std::copy(a.begin(), a.end(), rec.begin() + static_cast<std::ptrdiff_t>(p));
    p += a.size();
  }
  rec[p] = rec[p + 1] = rec[p + 2] = rec[p + 3] = 0xFF;
  return rec;
}
void put16(Buf& b, std::size_t at, std::uint16_t v) { b[at] = v & 0xFF; b[at + 1] = static_cast<std::uint8_t>(v >> 8); }
void put32(Buf& b, std::size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i)); }
void put64(Buf& b, std::size_t at, std::uint64_t v) { for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i)); }

Buf nonResidentData(std::uint16_t flags, std::uint8_t unit, std::uint64_t size, std::uint64_t init) {
  Buf a(72, 0);
  put32(a, 0, 0x80);
  put32(a, 4, 72);
  a[8] = 1;
  put16(a, 12, flags);
  put16(a, 32, 64);
  a[34] = unit;
  put64(a, 48, size);
  put64(a, 56, init);
  a[64] = 0x11; a[65] = 1; a[66] = 5;  // one run
  return a;
}
Buf residentNamed(const std::u16string& name, const std::string& value) {
  const std::size_t valueAt = (24 + 2 * name.size() + 7) / 8 * 8;
  Buf a((valueAt + value.size() + 7) / 8 * 8, 0);
  put32(a, 0, 0x80);
  put32(a, 4, static_cast<std::uint32_t>(a.size()));
  a[9] = static_cast<std::uint8_t>(name.size());
  put16(a, 10, 24);
  put32(a, 16, static_cast<std::uint32_t>(value.size()));
  put16(a, 20, static_cast<std::uint16_t>(valueAt));
  for (std::size_t i = 0; i < name.size(); ++i) put16(a, 24 + 2 * i, name[i]);
  std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueAt));
  return a;
}
Buf reparsePoint(std::uint32_t tag) {
  Buf a(32, 0);
  put32(a, 0, 0xC0);
  put32(a, 4, 32);
  put32(a, 16, 8);
  put16(a, 20, 24);
  put32(a, 24, tag);
  return a;
}

TEST(DataAttributes, StreamsSizesAndStoredForms) {
  const Buf rec = recordWith({residentNamed(u"Zone.Identifier", "[ZoneTransfer]"),
                              nonResidentData(kAttrFlagCompressed, 4, 70000, 30000)});
  const NtfsDataAttr unnamed = findDataAttribute(rec, "");
  ASSERT_TRUE(unnamed.found);
  EXPECT_TRUE(unnamed.compressed());
  EXPECT_EQ(unnamed.compressionUnit, 4u);
  EXPECT_EQ(unnamed.dataSize, 70000u);
  EXPECT_EQ(unnamed.initSize, 30000u);
  EXPECT_EQ(storedFormOf(rec, unnamed), StoredForm::Plain);
  const NtfsDataAttr zone = findDataAttribute(rec, "Zone.Identifier");
  ASSERT_TRUE(zone.found);
  EXPECT_TRUE(zone.resident);
  EXPECT_EQ(zone.dataSize, 14u);
  EXPECT_FALSE(findDataAttribute(rec, "summary").found);
  const auto named = namedDataAttributes(rec);
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].stream, "Zone.Identifier");

  const Buf efs = recordWith({nonResidentData(kAttrFlagEncrypted, 0, 5000, 5000)});
  EXPECT_EQ(storedFormOf(efs, findDataAttribute(efs, "")), StoredForm::Encrypted);
  const Buf wof = recordWith({reparsePoint(0x80000017), nonResidentData(kAttrFlagSparse, 0, 5000, 5000)});
  EXPECT_EQ(storedFormOf(wof, findDataAttribute(wof, "")), StoredForm::Reparse);
  const Buf link = recordWith({reparsePoint(0xA000000C), nonResidentData(0, 0, 5000, 5000)});
  EXPECT_EQ(storedFormOf(link, findDataAttribute(link, "")), StoredForm::Plain);
}

struct BootCase {
  const char* what;
  std::uint16_t bytesPerSector;
  std::uint8_t clusterCode, recordCode, indexCode;
  std::uint64_t totalSectors;
  bool valid;
  std::uint32_t sectorsPerCluster, recordBytes, indexBytes;
};

class NtfsBoot : public ::testing::TestWithParam<BootCase> {};

// The geometry fields as mkntfs and Windows write them, cluster sizes of
// 64 KiB to 2 MiB included, and the values no volume has.
TEST_P(NtfsBoot, DecodesTheGeometry) {
  const BootCase& c = GetParam();
  std::vector<std::uint8_t> s(512, 0);
  const std::string oem = "NTFS    ";
  std::copy(oem.begin(), oem.end(), s.begin() + 3);
  s[11] = static_cast<std::uint8_t>(c.bytesPerSector);
  s[12] = static_cast<std::uint8_t>(c.bytesPerSector >> 8);
  s[13] = c.clusterCode;
  for (int i = 0; i < 8; ++i) s[40 + i] = static_cast<std::uint8_t>(c.totalSectors >> (8 * i));
  s[48] = 4;  // the MFT at cluster 4, its mirror at cluster 2
  s[56] = 2;
  s[64] = c.recordCode;
  s[68] = c.indexCode;
  s[510] = 0x55;
  s[511] = 0xAA;
  const auto b = parseNtfsBootSector(Bytes(s));
  ASSERT_EQ(b.has_value(), c.valid);
  if (!b) return;
  EXPECT_EQ(b->sectorsPerCluster, c.sectorsPerCluster);
  EXPECT_EQ(b->mftRecordBytes, c.recordBytes);
  EXPECT_EQ(b->indexBlockBytes, c.indexBytes);
  EXPECT_EQ(b->mftCluster, 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NtfsBoot,
    ::testing::Values(BootCase{"Clusters4K", 512, 8, 0xF6, 0xF4, 1 << 20, true, 8, 1024, 4096},
                      BootCase{"Clusters64K", 512, 128, 0xF6, 0xF4, 1 << 22, true, 128, 1024, 4096},
                      BootCase{"Clusters128K", 512, 0xF8, 0xF6, 0xF4, 1 << 22, true, 256, 1024, 4096},
                      BootCase{"Clusters2M", 512, 0xF4, 0xF6, 0xF4, 1 << 21, true, 4096, 1024, 4096},
                      BootCase{"Records4K", 4096, 1, 0xF4, 1, 1 << 20, true, 1, 4096, 4096},
                      BootCase{"ClusterCountedRecords", 512, 2, 1, 4, 1 << 20, true, 2, 1024, 4096},
                      BootCase{"ClustersOver2M", 512, 0xF3, 0xF6, 0xF4, 1 << 22, false, 0, 0, 0},
                      BootCase{"ClusterCodeNotAPower", 512, 3, 0xF6, 0xF4, 1 << 20, false, 0, 0, 0},
                      BootCase{"ClusterCodeNeverWritten", 512, 0xFF, 0xF6, 0xF4, 1 << 20, false, 0, 0, 0},
                      BootCase{"NoSectors", 512, 8, 0xF6, 0xF4, 0, false, 0, 0, 0},
                      BootCase{"SectorsPastAnyDisk", 512, 8, 0xF6, 0xF4, kSectorNoLimit, false, 0, 0, 0},
                      BootCase{"OddSectorSize", 520, 8, 0xF6, 0xF4, 1 << 20, false, 0, 0, 0},
                      BootCase{"RecordOf3Clusters", 512, 8, 3, 0xF4, 1 << 20, false, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace osprin
