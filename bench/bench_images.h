#pragma once
// Synthetic images for the benchmarks, shared by deepscan_bench and
// osprin-benchgen.
//
// - A deep-scan image: pseudo-random bytes with an NTFS file record, an
//   index block and a FAT sub-directory head every 64 KiB, so that the
//   recognisers of both passes have work to do.
// - A file-record image: nothing but valid NTFS file records of 1024 bytes,
//   one after the other, each with its own name and a resident data
//   attribute; a deep scan records every one of them.
// - An NTFS volume whose MFT holds millions of such files in folders, for
//   the standard scan and listing at scale.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace osprin::bench {

inline void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, static_cast<std::uint16_t>(v));
  put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  put32(p, static_cast<std::uint32_t>(v));
  put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint32_t rd32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A small NTFS file record with one file name, an index block owned by
// record 64, and a FAT directory head, written over random bytes at `at`
// (which must hold 64 KiB).
inline void plantStructures(std::uint8_t* at, std::uint64_t n) {
  std::uint8_t* rec = at;
  std::memset(rec, 0, 1024);
  std::memcpy(rec, "FILE", 4);
  put16(rec + 4, 48);
  put16(rec + 20, 56);
  rec[22] = static_cast<std::uint8_t>(n & 1);
  put32(rec + 28, 1024);
  std::uint8_t* a = rec + 56;
  put32(a, 0x30);
  put32(a + 4, 112);
  put32(a + 16, 82);
  put16(a + 20, 24);
  put32(a + 24, 5);
  a[24 + 64] = 8;
  a[24 + 65] = 1;
  const char name[] = "file.txt";
  for (int i = 0; i < 8; ++i) put16(a + 24 + 66 + 2 * i, static_cast<std::uint16_t>(name[i]));
  put32(a + 112, 0xFFFFFFFFu);

  std::uint8_t* blk = at + 8192;
  std::memset(blk, 0, 4096);
  std::memcpy(blk, "INDX", 4);
  put32(blk + 24, 40);
  put32(blk + 32, 4096 - 24);
  put32(blk + 64 + 16, 64);

  std::uint8_t* head = at + 16384;
  std::memset(head, ' ', 64);
  head[0] = '.';
  head[32] = head[33] = '.';
  put16(head + 20, 0);
  put16(head + 26, static_cast<std::uint16_t>(3 + n % 1000));
  put16(head + 52, 0);
  put16(head + 58, 0);
}

// Writes `bytes` (a multiple of 4 MiB) of the deep-scan image to path
// (through path.part, renamed at the end). False when it cannot be written.
inline bool writeDeepScanImage(const std::string& path, std::uint64_t bytes) {
  std::ofstream out(path + ".part", std::ios::binary | std::ios::trunc);
  if (!out) return false;
  std::vector<std::uint8_t> chunk(4u << 20);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t done = 0; done < bytes; done += chunk.size()) {
    auto* words = reinterpret_cast<std::uint64_t*>(chunk.data());
    for (std::size_t i = 0; i < chunk.size() / 8; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      words[i] = x;
    }
    for (std::size_t off = 0; off + 65536 <= chunk.size(); off += 65536)
      plantStructures(chunk.data() + off, (done + off) >> 16);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
  }
  out.close();
  if (!out) return false;
  std::error_code ec;
  std::filesystem::rename(path + ".part", path, ec);
  return !ec;
}

// An NTFS file record of 1024 bytes: in use (flags 1, or 3 for a folder),
// a Win32 name under parent, times from n and a resident data attribute of
// dataLen bytes (none when dataLen is negative). The update sequence array
// is in place.
inline void makeRecord(std::uint8_t* rec, std::uint64_t n, const char* name, std::uint64_t parent, std::uint16_t flags,
                       int dataLen) {
  std::memset(rec, 0, 1024);
  std::memcpy(rec, "FILE", 4);
  put16(rec + 4, 48);  // update sequence array offset
  put16(rec + 6, 3);   // update sequence number and two sector entries
  put16(rec + 16, 1);  // sequence number
  put16(rec + 18, 1);  // hard links
  put16(rec + 20, 56); // first attribute
  put16(rec + 22, flags);
  put32(rec + 28, 1024);
  // Update sequence number 1: the last two bytes of each sector hold it,
  // the array holds the bytes they replace (zeros).
  put16(rec + 48, 1);
  const std::size_t chars = std::strlen(name);

  std::size_t p = 56;
  // $FILE_NAME, resident.
  const std::size_t valueLen = 66 + 2 * chars;
  const std::size_t attrLen = (24 + valueLen + 7) / 8 * 8;
  std::uint8_t* a = rec + p;
  put32(a, 0x30);
  put32(a + 4, static_cast<std::uint32_t>(attrLen));
  put32(a + 16, static_cast<std::uint32_t>(valueLen));
  put16(a + 20, 24);
  std::uint8_t* v = a + 24;
  put64(v, parent | (std::uint64_t{1} << 48));
  put64(v + 8, 132000000000000000ull + n * 10000000ull);       // created
  put64(v + 16, 132000000000000000ull + n * 10000000ull);      // modified
  put64(v + 24, 132000000000000000ull + n * 10000000ull + 1);  // record changed
  put64(v + 32, 132000000000000000ull + n * 10000000ull);      // read
  v[64] = static_cast<std::uint8_t>(chars);
  v[65] = 1;  // Win32
  for (std::size_t i = 0; i < chars; ++i) put16(v + 66 + 2 * i, static_cast<std::uint16_t>(name[i]));
  p += attrLen;

  if (dataLen >= 0) {
    const auto len = static_cast<std::uint32_t>(dataLen);
    const std::size_t dataAttrLen = (24 + len + 7) / 8 * 8;
    a = rec + p;
    put32(a, 0x80);
    put32(a + 4, static_cast<std::uint32_t>(dataAttrLen));
    put32(a + 16, len);
    put16(a + 20, 24);
    std::memset(a + 24, 'x', len);
    p += dataAttrLen;
  }

  put32(rec + p, 0xFFFFFFFFu);
  put32(rec + 24, static_cast<std::uint32_t>(p + 8));  // bytes in use
  // The sector ends hold the update sequence number.
  put16(rec + 510, 1);
  put16(rec + 1022, 1);
}

// One NTFS file record for file number n: parent the root directory
// (record 5), a name "bench-file-NNNNNNN.txt" (22 characters, distinct for
// every n below ten million) and a resident data attribute of n % 700 bytes.
inline void makeFileRecord(std::uint8_t* rec, std::uint64_t n, std::uint64_t parent = 5) {
  char name[32];
  std::snprintf(name, sizeof name, "bench-file-%07llu.txt", static_cast<unsigned long long>(n % 10000000));
  makeRecord(rec, n, name, parent, 1, static_cast<int>(n % 700));
}

// Writes count file records one after the other (after one empty sector
// pair at the start) to path. False when it cannot be written.
inline bool writeFileRecordImage(const std::string& path, std::uint64_t count) {
  std::ofstream out(path + ".part", std::ios::binary | std::ios::trunc);
  if (!out) return false;
  std::vector<std::uint8_t> chunk(4096u * 1024u);
  std::uint64_t n = 0;
  std::memset(chunk.data(), 0, 1024);
  out.write(reinterpret_cast<const char*>(chunk.data()), 1024);
  while (n < count) {
    std::size_t used = 0;
    for (; used + 1024 <= chunk.size() && n < count; used += 1024, ++n) makeFileRecord(chunk.data() + used, n);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(used));
  }
  // Whole 4 MiB at the end so the image's size is a round number of sectors.
  std::memset(chunk.data(), 0, chunk.size());
  out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() - 1024));
  out.close();
  if (!out) return false;
  std::error_code ec;
  std::filesystem::rename(path + ".part", path, ec);
  return !ec;
}

// An NTFS volume of 4 KiB clusters whose MFT holds count files in
// folders of 10,000 (records 16 on: the folders, then the files): a boot
// sector, the MFT mirror at cluster 2, the MFT at cluster 4 ($MFT's record
// lists it as one run, the root folder is record 5), then 1 MiB of nothing.
// Only the MFT is written; the rest of the image is a hole. A standard scan
// lists every record, a deep scan finds every one.
inline bool writeNtfsVolumeImage(const std::string& path, std::uint64_t count) {
  constexpr std::uint64_t kPerFolder = 10000, kMftCluster = 4, kMirrorCluster = 2;
  const std::uint64_t folders = (count + kPerFolder - 1) / kPerFolder;
  const std::uint64_t records = 16 + folders + count;
  const std::uint64_t mftClusters = (records + 3) / 4;
  const std::uint64_t totalClusters = kMftCluster + mftClusters + 256;
  std::ofstream out(path + ".part", std::ios::binary | std::ios::trunc);
  if (!out) return false;

  std::vector<std::uint8_t> boot(512, 0);
  std::memcpy(boot.data(), "\xEB\x52\x90NTFS    ", 11);
  put16(boot.data() + 11, 512);
  boot[13] = 8;            // sectors per cluster
  boot[21] = 0xF8;         // fixed disk
  put64(boot.data() + 40, totalClusters * 8 - 1);
  put64(boot.data() + 48, kMftCluster);
  put64(boot.data() + 56, kMirrorCluster);
  boot[64] = 0xF6;         // records of 2^10 bytes
  boot[68] = 1;            // index blocks of one cluster
  put64(boot.data() + 72, 0x0123456789ABCDEFull);
  boot[510] = 0x55;
  boot[511] = 0xAA;

  // $MFT (record 0): one non-resident $DATA run over the whole MFT.
  std::vector<std::uint8_t> first(4096, 0);
  makeRecord(first.data(), 0, "$MFT", 5, 1, -1);
  {
    std::uint8_t* rec = first.data();
    std::size_t p = 56;
    while (rd32(rec + p) != 0xFFFFFFFFu) p += rd32(rec + p + 4);
    std::uint8_t* a = rec + p;
    std::memset(a, 0, 88);
    put32(a, 0x80);
    put32(a + 4, 80);
    a[8] = 1;  // non-resident
    put64(a + 24, mftClusters - 1);  // last VCN
    put16(a + 32, 64);               // run list offset
    put64(a + 40, mftClusters * 4096);
    put64(a + 48, records * 1024);
    put64(a + 56, records * 1024);
    std::uint8_t* run = a + 64;  // one run: 4-byte length, 1-byte start
    run[0] = 0x14;
    put32(run + 1, static_cast<std::uint32_t>(mftClusters));
    run[5] = static_cast<std::uint8_t>(kMftCluster);
    put32(rec + p + 80, 0xFFFFFFFFu);
    put32(rec + 24, static_cast<std::uint32_t>(p + 88));
    put16(rec + 510, 1);
    put16(rec + 1022, 1);
  }

  auto pad = [&](std::uint64_t upTo) {
    const std::uint64_t at = static_cast<std::uint64_t>(out.tellp());
    if (at < upTo) out.seekp(static_cast<std::streamoff>(upTo));
  };
  out.write(reinterpret_cast<const char*>(boot.data()), 512);
  pad(kMirrorCluster * 4096);
  out.write(reinterpret_cast<const char*>(first.data()), 1024);  // the mirror's copy of record 0
  pad(kMftCluster * 4096);

  std::vector<std::uint8_t> chunk(4096u * 1024u);
  std::uint64_t r = 0;
  while (r < records) {
    std::size_t used = 0;
    for (; used + 1024 <= chunk.size() && r < records; used += 1024, ++r) {
      std::uint8_t* rec = chunk.data() + used;
      if (r == 0) {
        std::memcpy(rec, first.data(), 1024);
      } else if (r == 5) {
        makeRecord(rec, 5, ".", 5, 3, -1);
      } else if (r < 16) {
        std::memset(rec, 0, 1024);
      } else if (r < 16 + folders) {
        char name[32];
        std::snprintf(name, sizeof name, "Folder %05llu", static_cast<unsigned long long>(r - 16));
        makeRecord(rec, r, name, 5, 3, -1);
      } else {
        const std::uint64_t n = r - 16 - folders;
        makeFileRecord(rec, n, 16 + n / kPerFolder);
      }
    }
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(used));
  }
  // The rest of the volume (and its last sector) as a hole.
  pad(totalClusters * 4096 - 1);
  out.put('\0');
  out.close();
  if (!out) return false;
  std::error_code ec;
  std::filesystem::rename(path + ".part", path, ec);
  return !ec;
}

}  // namespace osprin::bench
