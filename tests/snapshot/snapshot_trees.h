#pragma once
// Hand-built trees and comparisons shared by the snapshot tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "snapshot/snapshot.h"

namespace osprin::test {

// 255 three-byte characters: the longest name a real file can have.
inline std::string longestName() {
  std::string s;
  for (int i = 0; i < 255; ++i) s += "\xE2\x82\xAC";  // U+20AC
  return s;
}

inline Selection sampleSelection(FsType t) {
  Selection s;
  s.fsType = t;
  s.rangeStart = 2048;
  s.rangeLength = 409600;
  s.rangeEnd = 2048 + 409600 - 1;
  s.rangeTag = 3;
  return s;
}

inline VolumeParams sampleParams(FsType t) {
  VolumeParams p;
  p.fsType = t;
  p.sectorsPerFat = 0x11223344;
  p.sectorsPerCluster = 8;
  p.rootDirSectors = t == FsType::Fat16 ? 32 : 0;
  p.rootDirStart = 0xDEADBEEF;  // never stored
  p.reservedSectors = 0x55667788;
  p.clusterBase = 4000;
  p.fat1Start = 0x99AABBCC;
  p.fat2Start = 0xDDEEFF00;
  p.mftStart = 0x01020304;
  p.mftMirrorStart = 0x05060708;
  p.sectorsPerMftRecord = 2;
  p.sectorsPerIndexRecord = 8;
  p.volumeEnd = 9000;
  return p;
}

// A FAT tree with nesting, deleted entries, a folder whose parent is
// missing, an empty name and the longest possible name. File indexes start
// at 10, as after files of an earlier list, so renumbering shows.
inline void fillFatTree(FileTree& t) {
  t.addFatFolder("DOCS", 3, 0, 0x5021, 0x5022, false);
  t.addFatFolder("Sub folder with a long name", 7, 3, 0x4A10, 0x4A11, false);
  t.addFatFolder("OLD", 9, 0, 0x3000, 0x3001, true);
  t.addFatFolder("orphan", 12, 4000, 0, 0, true);
  t.addFatFolder(longestName(), 20, 7, 1, 2, false);
  t.fileCount = 10;
  auto file = [&](std::string_view n, std::uint32_t c, std::uint32_t p, std::uint16_t w, std::uint16_t a,
                  std::uint32_t size, bool del) {
    t.addFatFile(n, c, p, w, a, size, del);
    ++t.fileCount;
  };
  file("README.TXT", 30, 0, 0x5121, 0x5122, 1234, false);
  file("r\xC3\xA9sum\xC3\xA9.doc", 31, 3, 0x5123, 0x5124, 0xFFFFFFFF, false);
  file("gone.bin", 0, 9, 0x2000, 0x2001, 0, true);
  file("", 44, 7, 0, 0, 17, false);
  file(longestName(), 45, 20, 0xFFFF, 0xFFFF, 1, true);
  file("in-orphan", 46, 12, 3, 4, 5, true);
  // Full times on a folder and a file (version 1.1 keeps them).
  t.fatFolders[0].setTimes(FatTimes{0x5020, 0xBF7D, 199, 0x5021, 0x6000, 0x5022});
  t.fatFiles[0].setTimes(FatTimes{0x5120, 0x0001, 7, 0x5121, 0xFFFF, 0x5122});
}

// An NTFS standard-scan tree.
inline void fillNtfsTree(FileTree& t) {
  t.addNtfsFolder("Windows", 40, 5, 0x01D2000000000001ull, 0x01D2000000000002ull, false, ScanType::Standard);
  t.addNtfsFolder("System32", 41, 40, 0x01D2000000000003ull, 0xFFFFFFFFFFFFFFFFull, false, ScanType::Standard);
  t.addNtfsFolder("Deleted stuff", 77, 5, 0, 1, true, ScanType::Standard);
  t.addNtfsFolder(longestName(), 78, 77, 5, 6, true, ScanType::Standard);
  auto file = [&](SectorNo s, std::string_view n, std::uint32_t r, std::uint32_t p, std::uint64_t c, std::uint64_t ch,
                  bool del, std::uint64_t size) {
    t.addNtfsFile(s, n, r, p, c, ch, del, size);
    ++t.fileCount;
  };
  file(4096 + 200, "boot.ini", 100, 5, 11, 12, false, 211);
  file(4096 + 202, "kernel32.dll", 101, 41, 13, 14, false, 0x0000000123456789ull);
  file(4096 + 204, "\xE6\x97\xA5\xE6\x9C\xAC.txt", 102, 77, 15, 16, true, 0);
  file(0xFFFFFFFF, longestName(), 0xFFFFFFFF, 78, 0xFFFFFFFFFFFFFFFFull, 0, true, 0xFFFFFFFFFFFFFFFFull);
}

// Deep-scan file records over several file systems, in ascending sector
// order; the chosen file system spans clusterBase 4000 < s <= volumeEnd 9000.
inline std::vector<NtfsFileRecord> deepScanRecords() {
  std::vector<NtfsFileRecord> v;
  auto add = [&](SectorNo s, std::string n, std::uint32_t parent, bool del, std::uint64_t size) {
    NtfsFileRecord r;
    r.name = std::move(n);
    r.dataRecordSector = s;
    r.recordNumber = 0;
    r.parentRecord = parent;
    r.creationTime = 1000 + s;
    r.changeTime = 2000 + s;
    r.deleted = del;
    r.size = size;
    v.push_back(r);
  };
  add(100, "before.txt", 5, false, 1);
  add(3998, "just-before.txt", 5, false, 2);
  add(4000, "at-cluster-base.txt", 5, false, 3);  // excluded: the bound is strict
  add(4001, "first-inside.txt", 5, false, 4);
  add(5000, "inside.txt", 40, true, 5);
  add(7000, "lost.txt", 12345, false, 6);
  add(9000, "at-volume-end.txt", 40, false, 7);  // included
  add(9001, "after.txt", 5, false, 8);
  add(200000, "other-volume.txt", 5, false, 9);
  return v;
}

// The folders of an advanced NTFS mount, placeholders included.
inline void fillDeepNtfsFolders(FileTree& t) {
  t.addNtfsFolder("Windows", 40, 5, 1, 2, false, ScanType::Advanced);
  t.addNtfsFolder("Windows again", 40, 5, 1, 2, false, ScanType::Advanced);  // dropped
  t.addNtfsFolder("Dir0", 12345, 5, 0, 0, false, ScanType::Advanced);
}

inline void expectSameFat(const FileTree& a, const FileTree& b) {
  ASSERT_EQ(a.fatFolders.size(), b.fatFolders.size());
  for (std::size_t i = 0; i < a.fatFolders.size(); ++i) {
    SCOPED_TRACE("folder " + std::to_string(i));
    const auto &x = a.fatFolders[i], &y = b.fatFolders[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.firstCluster, y.firstCluster);
    EXPECT_EQ(x.parentCluster, y.parentCluster);
    EXPECT_EQ(x.writeDate, y.writeDate);
    EXPECT_EQ(x.accessDate, y.accessDate);
    EXPECT_EQ(x.writeTime, y.writeTime);
    EXPECT_EQ(x.createDate, y.createDate);
    EXPECT_EQ(x.createTime, y.createTime);
    EXPECT_EQ(x.createHundredths, y.createHundredths);
    EXPECT_EQ(x.deleted, y.deleted);
    // exFAT's fields (0 and false on FAT).
    EXPECT_EQ(x.writeHundredths, y.writeHundredths);
    EXPECT_EQ(x.createUtc, y.createUtc);
    EXPECT_EQ(x.writeUtc, y.writeUtc);
    EXPECT_EQ(x.dataLength, y.dataLength);
    EXPECT_EQ(x.contiguous, y.contiguous);
  }
  ASSERT_EQ(a.fatFiles.size(), b.fatFiles.size());
  for (std::size_t i = 0; i < a.fatFiles.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    const auto &x = a.fatFiles[i], &y = b.fatFiles[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.firstCluster, y.firstCluster);
    EXPECT_EQ(x.parentCluster, y.parentCluster);
    EXPECT_EQ(x.writeDate, y.writeDate);
    EXPECT_EQ(x.accessDate, y.accessDate);
    EXPECT_EQ(x.writeTime, y.writeTime);
    EXPECT_EQ(x.createDate, y.createDate);
    EXPECT_EQ(x.createTime, y.createTime);
    EXPECT_EQ(x.createHundredths, y.createHundredths);
    EXPECT_EQ(x.size, y.size);
    EXPECT_EQ(x.deleted, y.deleted);
    EXPECT_EQ(x.validLength, y.validLength);
    EXPECT_EQ(x.contiguous, y.contiguous);
    EXPECT_EQ(x.writeHundredths, y.writeHundredths);
    EXPECT_EQ(x.createUtc, y.createUtc);
    EXPECT_EQ(x.writeUtc, y.writeUtc);
  }
}

inline void expectSameNtfsFolders(const std::vector<NtfsFolderNode>& a, const std::vector<NtfsFolderNode>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE("folder " + std::to_string(i));
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].recordNumber, b[i].recordNumber);
    EXPECT_EQ(a[i].parentRecord, b[i].parentRecord);
    EXPECT_EQ(a[i].creationTime, b[i].creationTime);
    EXPECT_EQ(a[i].changeTime, b[i].changeTime);
    EXPECT_EQ(a[i].deleted, b[i].deleted);
  }
}

inline void expectSameNtfsFiles(const std::vector<NtfsFileNode>& a, const std::vector<NtfsFileNode>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].dataRecordSector, b[i].dataRecordSector);
    EXPECT_EQ(a[i].recordNumber, b[i].recordNumber);
    EXPECT_EQ(a[i].parentRecord, b[i].parentRecord);
    EXPECT_EQ(a[i].creationTime, b[i].creationTime);
    EXPECT_EQ(a[i].changeTime, b[i].changeTime);
    EXPECT_EQ(a[i].size, b[i].size);
    EXPECT_EQ(a[i].deleted, b[i].deleted);
    EXPECT_EQ(a[i].stream, b[i].stream);
  }
}

inline void expectSameHeader(const LoadedSnapshot& got, const Selection& sel, const VolumeParams& p,
                             std::uint16_t chosen) {
  EXPECT_EQ(got.selection.fsType, sel.fsType);
  EXPECT_EQ(got.selection.rangeStart, sel.rangeStart);
  EXPECT_EQ(got.selection.rangeLength, sel.rangeLength);
  EXPECT_EQ(got.selection.rangeEnd, sel.rangeEnd);
  EXPECT_EQ(got.selection.rangeTag, sel.rangeTag);
  const VolumeParams& q = got.params;
  EXPECT_EQ(q.fsType, p.fsType);
  EXPECT_EQ(q.sectorsPerFat, p.sectorsPerFat);
  EXPECT_EQ(q.sectorsPerCluster, p.sectorsPerCluster);
  EXPECT_EQ(q.rootDirSectors, p.rootDirSectors);
  EXPECT_EQ(q.rootDirStart, 0u);  // not in the file
  EXPECT_EQ(q.reservedSectors, p.reservedSectors);
  EXPECT_EQ(q.clusterBase, p.clusterBase);
  EXPECT_EQ(q.fat1Start, p.fat1Start);
  EXPECT_EQ(q.fat2Start, p.fat2Start);
  EXPECT_EQ(q.mftStart, p.mftStart);
  EXPECT_EQ(q.mftMirrorStart, p.mftMirrorStart);
  EXPECT_EQ(q.sectorsPerMftRecord, p.sectorsPerMftRecord);
  EXPECT_EQ(q.sectorsPerIndexRecord, p.sectorsPerIndexRecord);
  EXPECT_EQ(q.volumeEnd, p.volumeEnd);
  EXPECT_EQ(q.clusterCount, p.clusterCount);
  EXPECT_EQ(q.bitmapCluster, p.bitmapCluster);
  EXPECT_EQ(q.bitmapBytes, p.bitmapBytes);
  EXPECT_EQ(got.chosenFsIndex, chosen);
}

// Bytes from hex text; blanks, newlines and "|" separators are skipped.
inline std::vector<std::uint8_t> hexBytes(std::string_view text) {
  std::vector<std::uint8_t> out;
  int hi = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::vector<std::uint8_t> textBytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace osprin::test
