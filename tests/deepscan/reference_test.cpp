// The classification looks structures up through indexes instead of walking
// the lists. These tests run the plain list walks, written out here step by
// step, on many random inputs and require the same file systems and the same
// marks.
#include <gtest/gtest.h>

#include <random>

#include "common/text.h"
#include "deep_builders.h"
#include "deepscan/classify_fat.h"
#include "deepscan/classify_ntfs.h"

namespace osprin {
namespace {

using test::IndexBlockBuilder;
using test::MemDisk;

bool clusterSize(std::uint32_t v) {
  for (std::uint32_t k = 1; k <= 128; k *= 2)
    if (v == k) return true;
  return false;
}

std::vector<std::uint8_t> readSector(SectorReader& reader, SectorNo s) {
  std::vector<std::uint8_t> b(512, 0);
  reader.readSectors(s, 1, b.data());
  return b;
}

// --- FAT, walked ----------------------------------------------------------

void walkedFat(SectorReader& reader, FsType fsType, DeepScanResults& r) {
  auto& heads = r.dirHeadHits;
  for (SectorNo at : r.bootSectorHits) {
    auto b = readSector(reader, at);
    const Bytes s(b);
    const bool fat32 = s[85] == '3' && s[86] == '2';
    const bool fat16 = !fat32 && s[57] == '1' && s[58] == '6';
    if (!fat32 && !fat16) continue;
    const std::uint32_t spc = s[13];
    if (!clusterSize(spc)) continue;
    const std::uint32_t reserved = rd16(s, 14);
    const SectorNo end = at + rd32(s, 32);
    VolumeParams f;
    f.sectorsPerCluster = spc;
    f.reservedSectors = reserved;
    f.fat1Start = at + reserved;
    f.volumeEnd = end;
    if (fat32) {
      const std::uint32_t spf = rd32(s, 36);
      f.fsType = FsType::Fat32;
      f.sectorsPerFat = spf;
      f.rootDirStart = rd32(s, 44);
      f.fat2Start = f.fat1Start + spf;
      f.clusterBase = at + reserved + 2 * spf - 2 * spc;
    } else {
      const std::uint32_t spf = rd16(s, 22);
      const std::uint32_t rs = rd16(s, 17) / 16u;
      f.fsType = FsType::Fat16;
      f.sectorsPerFat = spf;
      f.rootDirSectors = rs;
      f.rootDirStart = at + reserved + 2 * spf;
      f.fat2Start = f.fat1Start + spf;
      f.clusterBase = f.rootDirStart + rs - 2 * spc;
    }
    // A base below sector 63, or before the disk's start (the data area
    // begins before two clusters' room), is no volume.
    const SectorNo dataStart = f.clusterBase + 2 * spc;
    if (f.clusterBase < 63 || dataStart < 2 * spc) continue;
    bool any = false;
    for (auto& h : heads) {
      if (h.fsIndex != 0) continue;
      if (h.sector > end) break;
      if (h.sector == f.clusterBase + spc * h.firstCluster) {
        h.fsIndex = static_cast<std::int16_t>(r.foundFileSystems.size() + 1);
        ++r.classifiedCount;
        any = true;
      }
    }
    if (any) addFoundFileSystem(r, std::string(fat32 ? "FAT32 @" : "FAT16 @") + dec(f.clusterBase), f);
  }
  for (std::size_t h = 0; h < heads.size(); ++h) {
    if (heads[h].fsIndex != 0) continue;
    const std::uint32_t a = heads[h].sector, b = heads[h].firstCluster;
    bool found = false;
    std::uint32_t spc = 0, base = 0;
    for (std::size_t q = h + 1; q < heads.size() && !found; ++q) {
      if (heads[q].fsIndex != 0) continue;
      const std::uint32_t d = heads[q].firstCluster, e = heads[q].sector;
      if (!(d > b && e > a && d < e && b < a)) continue;
      if ((e - a) % (d - b) != 0) continue;
      const std::uint32_t k = (e - a) / (d - b);
      if (!clusterSize(k) || !(a > k * b) || !(e > k * d) || a - k * b != e - k * d) continue;
      found = true;
      spc = k;
      base = a - k * b;
    }
    if (!found) {
      heads[h].fsIndex = -1;
      ++r.classifiedCount;
      continue;
    }
    std::uint32_t largest = 0;
    for (auto& q : heads) {
      if (q.fsIndex == 0 && q.sector == base + spc * q.firstCluster) {
        q.fsIndex = static_cast<std::int16_t>(r.foundFileSystems.size() + 1);
        ++r.classifiedCount;
        largest = std::max(largest, q.firstCluster);
      }
    }
    const bool fat32 = fsType == FsType::Fat32 || largest > 0xFFFF;
    VolumeParams f;
    f.fsType = fat32 ? FsType::Fat32 : FsType::Fat16;
    f.sectorsPerCluster = spc;
    f.clusterBase = base;
    f.rootDirStart = fat32 ? 2 : 0;
    addFoundFileSystem(r, std::string(fat32 ? "FAT32 @" : "FAT16 @") + dec(base), f);
  }
}

void expectSameFileSystems(const DeepScanResults& a, const DeepScanResults& b) {
  ASSERT_EQ(a.foundFileSystems.size(), b.foundFileSystems.size());
  for (std::size_t i = 0; i < a.foundFileSystems.size(); ++i) {
    const auto &x = a.foundFileSystems[i], &y = b.foundFileSystems[i];
    EXPECT_EQ(x.label, y.label);
    EXPECT_EQ(x.fsType, y.fsType);
    EXPECT_EQ(x.sectorsPerCluster, y.sectorsPerCluster);
    EXPECT_EQ(x.sectorsPerFat, y.sectorsPerFat);
    EXPECT_EQ(x.rootDirStart, y.rootDirStart);
    EXPECT_EQ(x.rootDirSectors, y.rootDirSectors);
    EXPECT_EQ(x.fat1Start, y.fat1Start);
    EXPECT_EQ(x.fat2Start, y.fat2Start);
    EXPECT_EQ(x.mftStart, y.mftStart);
    EXPECT_EQ(x.mftMirrorStart, y.mftMirrorStart);
    EXPECT_EQ(x.sectorsPerIndexRecord, y.sectorsPerIndexRecord);
    EXPECT_EQ(x.volumeEnd, y.volumeEnd);
  }
  EXPECT_EQ(a.classifiedCount, b.classifiedCount);
}

TEST(IndexedClassification, FatGivesWhatTheListWalksGive) {
  std::mt19937 rng(11);
  std::size_t found = 0, fromBoot = 0;
  for (int round = 0; round < 150; ++round) {
    MemDisk d(3000);
    DeepScanResults r;
    // A few volumes with boot sectors, a few geometries without, and noise.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> geometries;  // (spc, base)
    const int volumes = 1 + static_cast<int>(rng() % 3);
    for (int v = 0; v < volumes; ++v) {
      const SectorNo at = 1 + rng() % 2900;
      const std::uint8_t spc = static_cast<std::uint8_t>(1u << (rng() % 8));
      if (rng() % 2) {
        d.fat32Boot(at, spc, static_cast<std::uint16_t>(rng() % 40), rng() % 3 ? 200000 : rng() % 3000,
                    rng() % 2000, 2);
      } else {
        d.fat16Boot(at, rng() % 5 ? spc : 3, static_cast<std::uint16_t>(rng() % 8), rng() % 4 ? 100000 : 0,
                    static_cast<std::uint16_t>(rng() % 300));
      }
      r.bootSectorHits.push_back(at);
      auto b = d.at(at);
      const bool fat32 = b[85] == '3';
      const std::uint32_t spf = fat32 ? rd32(Bytes(b, 512), 36) : rd16(Bytes(b, 512), 22);
      const std::uint32_t res = rd16(Bytes(b, 512), 14);
      geometries.emplace_back(spc, at + res + 2 * spf + (fat32 ? 0 : 32) - 2 * spc);
    }
    for (int g = 0; g < 3; ++g) geometries.emplace_back(1u << (rng() % 8), rng() % 400000);
    std::map<SectorNo, DirHeadHit> heads;
    for (int i = 0; i < 300; ++i) {
      DirHeadHit h;
      if (rng() % 4 == 0) {
        h.sector = rng() % 500000;
        h.firstCluster = rng() % (h.sector + 1);
      } else {
        auto [spc, base] = geometries[rng() % geometries.size()];
        h.firstCluster = 3 + rng() % 5000;
        h.sector = base + spc * h.firstCluster;
        if (h.firstCluster >= h.sector) continue;
      }
      heads.emplace(h.sector, h);
    }
    for (auto& [s, h] : heads) r.dirHeadHits.push_back(h);
    r.folderHitCount = static_cast<std::uint32_t>(r.dirHeadHits.size());
    std::sort(r.bootSectorHits.begin(), r.bootSectorHits.end());

    auto reader = d.reader();
    const FsType chosen = rng() % 2 ? FsType::Fat16 : FsType::Fat32;
    DeepScanResults indexed = r, walked = r;
    analyseFoundFat(*reader, chosen, indexed, nullObserver());
    walkedFat(*reader, chosen, walked);
    SCOPED_TRACE(round);
    expectSameFileSystems(indexed, walked);
    for (std::size_t i = 0; i < r.dirHeadHits.size(); ++i)
      ASSERT_EQ(indexed.dirHeadHits[i].fsIndex, walked.dirHeadHits[i].fsIndex) << i;
    found += indexed.foundFileSystems.size();
    for (const auto& fs : indexed.foundFileSystems) fromBoot += fs.volumeEnd != 0;
  }
  // The inputs do exercise both ways of finding a file system.
  EXPECT_GT(found, 300u);
  EXPECT_GT(fromBoot, 50u);
}

// --- NTFS, walked ---------------------------------------------------------

bool walkedConfirm(SectorReader& reader, DeepScanResults& r, std::uint32_t spc, SectorNo low, SectorNo high) {
  bool result = false;
  for (auto& d : r.ntfsDirRecords) {
    if (d.sector > high) break;
    if (d.sector <= low || d.fsIndex != 0 || d.indexLcn == 0) continue;
    auto b = readSector(reader, low + spc * d.indexLcn);
    if (hasText(Bytes(b), 0, "INDX")) {
      d.fsIndex = static_cast<std::int16_t>(r.foundFileSystems.size() + 1);
      ++r.classifiedCount;
      result = true;
    }
  }
  return result;
}

void walkedNtfs(SectorReader& reader, SectorNo rangeEnd, DeepScanResults& r) {
  for (SectorNo at : r.bootSectorHits) {
    auto b = readSector(reader, at);
    const Bytes s(b);
    const std::uint32_t spc = s[13];
    if (!clusterSize(spc)) continue;
    const std::uint32_t total = rd32(s, 40), x = rd32(s, 68);
    if (x == 0 || total == 0) continue;
    VolumeParams f;
    f.fsType = FsType::Ntfs;
    f.sectorsPerCluster = spc;
    f.clusterBase = at;
    f.mftStart = at + spc * rd32(s, 48);
    f.mftMirrorStart = at + spc * rd32(s, 56);
    f.sectorsPerIndexRecord = x == 244 ? 8 : spc * x;
    f.volumeEnd = at + total;
    if (walkedConfirm(reader, r, spc, at, f.volumeEnd)) addFoundFileSystem(r, "NTFS @" + dec(at), f);
  }
  auto& recs = r.ntfsDirRecords;
  auto firstBlock = [&](std::uint32_t owner) -> const IndexBlockHit* {
    for (const auto& h : r.indexBlockHits)
      if (h.vcn == 0 && h.mark == -1 && h.ownerRecord == owner) return &h;
    return nullptr;
  };
  for (std::size_t p = 0; p < recs.size(); ++p) {
    if (recs[p].fsIndex != 0) continue;
    if (recs[p].indexLcn == 0) {
      recs[p].fsIndex = -1;
      continue;
    }
    const IndexBlockHit* ph = firstBlock(recs[p].recordNumber);
    if (!ph || ph->sector == 0) {
      recs[p].fsIndex = -1;
      continue;
    }
    const std::uint32_t c = recs[p].indexLcn;
    const SectorNo d = ph->sector;
    for (std::size_t s = p + 1; s < recs.size(); ++s) {
      if (recs[s].fsIndex != 0 || recs[s].indexLcn == 0) continue;
      const std::uint32_t e = recs[s].indexLcn;
      const IndexBlockHit* sh = firstBlock(recs[s].recordNumber);
      if (!sh || sh->sector == 0 || sh->sector == d) continue;
      const SectorNo f = sh->sector;
      std::uint32_t k;
      if (e < c) {
        if ((d - f) % (c - e) != 0) continue;
        k = (d - f) / (c - e);
      } else if (e > c) {
        if ((f - d) % (e - c) != 0) continue;
        k = (f - d) / (e - c);
      } else {
        continue;
      }
      const SectorNo start = d - k * c;
      if (static_cast<std::int32_t>(k) > 0 && static_cast<std::int32_t>(start) >= 0 && clusterSize(k) &&
          walkedConfirm(reader, r, k, start, rangeEnd)) {
        VolumeParams f2;
        f2.fsType = FsType::Ntfs;
        f2.sectorsPerCluster = k;
        f2.clusterBase = start;
        f2.sectorsPerIndexRecord = 8;
        f2.volumeEnd = rangeEnd;
        addFoundFileSystem(r, "NTFS @" + dec(start), f2);
      }
    }
  }
  std::int16_t last = 1;
  for (auto& d : recs) {
    if (d.fsIndex == -1) d.fsIndex = last;
    last = d.fsIndex;
  }
}

TEST(IndexedClassification, NtfsGivesWhatTheListWalksGive) {
  std::mt19937 rng(5);
  std::size_t found = 0, fromBoot = 0;
  const auto indx = IndexBlockBuilder(0, 1).build();
  for (int round = 0; round < 120; ++round) {
    const SectorNo disk = 40000;
    MemDisk d(disk);
    DeepScanResults r;
    // Volumes: (start, spc); some directories of each have their first index
    // block where the geometry puts it, the rest are strays.
    std::vector<std::pair<SectorNo, std::uint32_t>> volumes;
    const int nv = 1 + static_cast<int>(rng() % 3);
    for (int v = 0; v < nv; ++v) volumes.emplace_back(rng() % 20000, 1u << (rng() % 4));
    std::map<SectorNo, NtfsDirRecord> recs;
    std::map<std::uint32_t, SectorNo> blocks;  // owner -> first block
    for (int i = 0; i < 120; ++i) {
      NtfsDirRecord rec;
      rec.sector = 1 + rng() % disk;
      rec.recordNumber = 16 + rng() % 400;
      rec.name = "d" + std::to_string(i);
      const int kind = static_cast<int>(rng() % 5);
      if (kind == 0) {
        rec.indexLcn = 0;
      } else {
        rec.indexLcn = 1 + rng() % 2000;
        if (kind <= 3) {
          auto [start, spc] = volumes[rng() % volumes.size()];
          const SectorNo at = start + spc * rec.indexLcn;
          if (at < disk) {
            d.bytes(at, indx);
            if (rng() % 4) blocks.try_emplace(rec.recordNumber, at);
          }
        } else if (rng() % 2) {
          blocks.try_emplace(rec.recordNumber, rng() % disk);
        }
      }
      recs.emplace(rec.sector, rec);
    }
    for (auto& [s, rec] : recs) r.ntfsDirRecords.push_back(rec);
    for (auto& [owner, at] : blocks) r.indexBlockHits.push_back(IndexBlockHit{at, owner, 0, -1, 1});
    std::sort(r.indexBlockHits.begin(), r.indexBlockHits.end(),
              [](const IndexBlockHit& a, const IndexBlockHit& b) { return a.sector < b.sector; });
    if (rng() % 2) {
      auto [start, spc] = volumes[0];
      d.ntfsBoot(start, static_cast<std::uint8_t>(spc), rng() % 3 ? 30000 : 0, 4, 8);
      r.bootSectorHits.push_back(start);
    }
    r.folderHitCount = static_cast<std::uint32_t>(r.ntfsDirRecords.size());
    r.indexBlockCount = static_cast<std::uint32_t>(r.indexBlockHits.size());

    auto reader = d.reader();
    DeepScanResults indexed = r, walked = r;
    StopFlag stop{0};
    classifyNtfsByBootSector(*reader, indexed, stop, nullObserver());
    classifyNtfsByIndexBlocks(*reader, disk, indexed, stop, nullObserver());
    finalNtfsNumbering(indexed);
    walkedNtfs(*reader, disk, walked);
    SCOPED_TRACE(round);
    expectSameFileSystems(indexed, walked);
    for (std::size_t i = 0; i < r.ntfsDirRecords.size(); ++i)
      ASSERT_EQ(indexed.ntfsDirRecords[i].fsIndex, walked.ntfsDirRecords[i].fsIndex) << i;
    found += indexed.foundFileSystems.size();
    for (const auto& fs : indexed.foundFileSystems) fromBoot += fs.mftStart != 0;
  }
  EXPECT_GT(found, 120u);
  EXPECT_GT(fromBoot, 20u);
}

TEST(IndexedClassification, RecordNumbersFromEntriesAsTheListWalksGiveThem) {
  std::mt19937 rng(3);
  const std::vector<std::u16string> names = {u"a", u"b", u"Docs", u"docs", u"\u00e9t\u00e9"};
  for (int round = 0; round < 60; ++round) {
    MemDisk d(400);
    DeepScanResults r;
    for (int i = 0; i < 60; ++i) {
      NtfsDirRecord rec;
      rec.sector = 1000 + 2 * i + (rng() % 2);
      rec.recordNumber = rng() % 4 ? 0 : 50 + i;
      rec.parentRecord = 5 + rng() % 3;
      rec.creationTime = rng() % 3;
      const auto& n = names[rng() % names.size()];
      rec.name = utf16ToUtf8(n.data(), n.size());
      r.ntfsDirRecords.push_back(rec);
    }
    for (int b = 0; b < 6; ++b) {
      IndexBlockBuilder blk(0, 2);
      for (int e = 0; e < 8; ++e)
        blk.entry(100 + rng() % 50, names[rng() % names.size()], 5 + rng() % 3, rng() % 3, rng() % 4 != 0);
      d.bytes(10 + 10 * b, blk.build());
      r.indexBlockHits.push_back(IndexBlockHit{static_cast<SectorNo>(10 + 10 * b), 5, 0, -1, 2});
    }
    r.indexBlockCount = 6;
    r.folderHitCount = 60;
    auto reader = d.reader();

    DeepScanResults walked = r;
    for (const auto& hit : walked.indexBlockHits) {
      std::vector<std::uint8_t> blk(1024, 0);
      reader->readSectors(hit.sector, 2, blk.data());
      const Bytes b(blk);
      for (std::size_t o = rd32(b, 24) + 24u; o < blk.size();) {
        const std::size_t len = rd8(b, o + 80);
        if (len == 0 || o + 82 + 2 * len > blk.size()) break;
        if (rd16(b, o + 74) & 0x1000) {
          const std::string name = utf16leToUtf8(b, o + 82, len);
          for (auto& rec : walked.ntfsDirRecords)
            if (rec.recordNumber == 0 && rec.creationTime == rd64(b, o + 24) && rec.parentRecord == rd32(b, o + 16) &&
                rec.name == name) {
              rec.recordNumber = rd32(b, o);
              break;
            }
        }
        if (rd16(b, o + 8) == 0) break;
        o += rd16(b, o + 8);
      }
    }
    std::uint32_t previous = 1;
    SectorNo previousSector = 0;
    for (auto& rec : walked.ntfsDirRecords) {
      if (rec.recordNumber == 0)
        rec.recordNumber = previousSector == 0 || (rec.sector - previousSector) % 2 ? previous + 1
                                                                                  : previous + (rec.sector - previousSector) / 2;
      previous = rec.recordNumber;
      previousSector = rec.sector;
    }

    assignRecordNumbers(*reader, r, nullObserver());
    SCOPED_TRACE(round);
    for (std::size_t i = 0; i < r.ntfsDirRecords.size(); ++i)
      ASSERT_EQ(r.ntfsDirRecords[i].recordNumber, walked.ntfsDirRecords[i].recordNumber) << i;
  }
}

}  // namespace
}  // namespace osprin
