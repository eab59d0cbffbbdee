#pragma once
// Small disks in memory with hand-made structures for the deep scan: FAT
// boot sectors, sub-directory heads, NTFS boot sectors, file records and
// index blocks, exFAT boot sectors and entry sets, each written at a chosen
// sector.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/observer.h"
#include "disk/block_source.h"
#include "disk/sector_reader.h"
#include "support/phase_print.h"

namespace osprin::test {

class MemDisk {
 public:
  explicit MemDisk(std::uint64_t sectors) : data_(sectors * 512, '\0') {}

  std::uint8_t* at(std::uint64_t sector) { return reinterpret_cast<std::uint8_t*>(data_.data()) + sector * 512; }
  void put8(std::uint64_t sector, std::size_t off, std::uint8_t v) { at(sector)[off] = v; }
  void put16(std::uint64_t sector, std::size_t off, std::uint16_t v) {
    at(sector)[off] = static_cast<std::uint8_t>(v);
    at(sector)[off + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void put32(std::uint64_t sector, std::size_t off, std::uint32_t v) {
    put16(sector, off, static_cast<std::uint16_t>(v));
    put16(sector, off + 2, static_cast<std::uint16_t>(v >> 16));
  }
  void put64(std::uint64_t sector, std::size_t off, std::uint64_t v) {
    put32(sector, off, static_cast<std::uint32_t>(v));
    put32(sector, off + 4, static_cast<std::uint32_t>(v >> 32));
  }
  void text(std::uint64_t sector, std::size_t off, const std::string& t) { std::memcpy(at(sector) + off, t.data(), t.size()); }
  void bytes(std::uint64_t sector, const std::vector<std::uint8_t>& b) { std::memcpy(at(sector), b.data(), b.size()); }
  void signature(std::uint64_t sector) {
    put8(sector, 510, 0x55);
    put8(sector, 511, 0xAA);
  }

  // A FAT32 boot sector.
  void fat32Boot(std::uint64_t s, std::uint8_t spc, std::uint16_t reserved, std::uint32_t total, std::uint32_t spf,
                 std::uint32_t rootCluster = 2) {
    text(s, 0, "\xEB\x58\x90MSWIN4.1");
    put16(s, 11, 512);
    put8(s, 13, spc);
    put16(s, 14, reserved);
    put8(s, 16, 2);
    put32(s, 32, total);
    put32(s, 36, spf);
    put32(s, 44, rootCluster);
    text(s, 82, "FAT32   ");
    signature(s);
  }
  // A FAT16 boot sector (total in the 32-bit field).
  void fat16Boot(std::uint64_t s, std::uint8_t spc, std::uint16_t reserved, std::uint32_t total, std::uint16_t spf,
                 std::uint16_t rootEntries = 512) {
    text(s, 0, "\xEB\x3C\x90MSWIN4.1");
    put16(s, 11, 512);
    put8(s, 13, spc);
    put16(s, 14, reserved);
    put8(s, 16, 2);
    put16(s, 17, rootEntries);
    put16(s, 22, spf);
    put32(s, 32, total);
    text(s, 54, "FAT16   ");
    signature(s);
  }
  // A sub-directory head: "." naming cluster, ".." naming parent.
  void dirHead(std::uint64_t s, std::uint32_t cluster, std::uint32_t parent, std::uint16_t writeDate = 0x3A21,
               std::uint16_t accessDate = 0x3A22) {
    text(s, 0, ".          ");
    put8(s, 11, 0x10);
    put16(s, 18, accessDate);
    put16(s, 20, static_cast<std::uint16_t>(cluster >> 16));
    put16(s, 24, writeDate);
    put16(s, 26, static_cast<std::uint16_t>(cluster));
    text(s, 32, "..         ");
    put8(s, 43, 0x10);
    put16(s, 52, static_cast<std::uint16_t>(parent >> 16));
    put16(s, 58, static_cast<std::uint16_t>(parent));
  }
  // A 32-byte directory entry (8.3 name, no long name) at index e of sector s.
  void dirEntry(std::uint64_t s, int e, const std::string& name11, std::uint8_t attr, std::uint32_t cluster,
                std::uint32_t size) {
    const std::size_t o = static_cast<std::size_t>(e) * 32;
    text(s, o, name11);
    put8(s, o + 11, attr);
    put16(s, o + 20, static_cast<std::uint16_t>(cluster >> 16));
    put16(s, o + 26, static_cast<std::uint16_t>(cluster));
    put32(s, o + 28, size);
  }
  // An NTFS boot sector.
  void ntfsBoot(std::uint64_t s, std::uint8_t spc, std::uint32_t total, std::uint32_t mftCluster,
                std::uint32_t mirrorCluster, std::uint32_t perIndex = 1) {
    text(s, 0, "\xEB\x52\x90NTFS    ");
    put16(s, 11, 512);
    put8(s, 13, spc);
    put32(s, 40, total);
    put32(s, 48, mftCluster);
    put32(s, 56, mirrorCluster);
    put32(s, 64, 0xF6);
    put32(s, 68, perIndex);
    signature(s);
  }

  // An exFAT boot sector of 512-byte sectors, one FAT, 2^spcShift sectors
  // per cluster.
  void exfatBoot(std::uint64_t s, std::uint64_t volumeLength, std::uint32_t fatOffset, std::uint32_t fatLength,
                 std::uint32_t heapOffset, std::uint32_t clusterCount, std::uint8_t spcShift,
                 std::uint32_t rootCluster = 4) {
    text(s, 0, "\xEB\x76\x90" "EXFAT   ");
    put64(s, 72, volumeLength);
    put32(s, 80, fatOffset);
    put32(s, 84, fatLength);
    put32(s, 88, heapOffset);
    put32(s, 92, clusterCount);
    put32(s, 96, rootCluster);
    put16(s, 104, 0x0100);
    put8(s, 108, 9);
    put8(s, 109, spcShift);
    put8(s, 110, 1);
    put8(s, 111, 0x80);
    signature(s);
  }
  // The first entries of an exFAT FAT (media F8, end of chain).
  void exfatFatHead(std::uint64_t s) {
    put32(s, 0, 0xFFFFFFF8u);
    put32(s, 4, 0xFFFFFFFFu);
  }
  // An exFAT entry set (file entry, stream extension, name entries) at
  // byte offset off of sector s, running on into the next sectors when it
  // is longer; its checksum computed here. Returns its length in bytes.
  std::size_t exfatSet(std::uint64_t s, std::size_t off, const std::u16string& name, bool folder,
                       std::uint32_t firstCluster, std::uint64_t length, bool noFatChain = true, bool deleted = false,
                       bool breakChecksum = false) {
    const std::size_t nameEntries = (name.size() + 14) / 15;
    const std::size_t count = 2 + nameEntries;
    std::vector<std::uint8_t> e(count * 32, 0);
    auto p16 = [&](std::size_t o, std::uint16_t v) {
      e[o] = static_cast<std::uint8_t>(v);
      e[o + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    auto p32 = [&](std::size_t o, std::uint32_t v) {
      p16(o, static_cast<std::uint16_t>(v));
      p16(o + 2, static_cast<std::uint16_t>(v >> 16));
    };
    e[0] = 0x85;
    e[1] = static_cast<std::uint8_t>(count - 1);
    p16(4, folder ? 0x10 : 0x20);
    p32(8, 0x3C210000u);   // created 2010-01-01 00:00:00
    p32(12, 0x3C210001u);  // modified 2010-01-01 00:00:02
    e[32] = 0xC0;
    e[33] = static_cast<std::uint8_t>(0x01 | (noFatChain ? 0x02 : 0));
    e[35] = static_cast<std::uint8_t>(name.size());
    p32(40, static_cast<std::uint32_t>(length));
    p32(44, static_cast<std::uint32_t>(length >> 32));
    p32(52, firstCluster);
    p32(56, static_cast<std::uint32_t>(length));
    p32(60, static_cast<std::uint32_t>(length >> 32));
    for (std::size_t i = 0; i < nameEntries; ++i) {
      e[64 + i * 32] = 0xC1;
      for (std::size_t k = 0; k < 15 && i * 15 + k < name.size(); ++k) p16(64 + i * 32 + 2 + 2 * k, name[i * 15 + k]);
    }
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < e.size(); ++i)
      if (i != 2 && i != 3) sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + e[i]);
    p16(2, static_cast<std::uint16_t>(breakChecksum ? sum ^ 1 : sum));
    if (deleted)
      for (std::size_t i = 0; i < count; ++i) e[i * 32] &= 0x7F;
    std::memcpy(at(s) + off, e.data(), e.size());
    return e.size();
  }

  std::unique_ptr<SectorReader> reader() const {
    return std::make_unique<SectorReader>(std::make_unique<MemoryBlockSource>(data_));
  }
  std::string& data() { return data_; }
  std::uint64_t sectors() const { return data_.size() / 512; }

 private:
  std::string data_;
};

// An NTFS file record (1024 bytes, no update sequence) built attribute by
// attribute.
class FileRecordBuilder {
 public:
  explicit FileRecordBuilder(std::uint8_t flags) : rec_(1024, 0) {
    std::memcpy(rec_.data(), "FILE", 4);
    put16(4, 48);  // update sequence offset
    put16(6, 0);   // no update sequence entries
    put16(20, 56);
    rec_[22] = flags;
    put32(24, 0);
    put32(28, 1024);
    pos_ = 56;
    end();
  }
  FileRecordBuilder& fileName(const std::u16string& name, std::uint32_t parent, std::uint8_t nameSpace,
                              std::uint64_t created = 0x01D0000000000000ull, std::uint64_t changed = 0) {
    const std::size_t valueLen = 66 + 2 * name.size();
    const std::size_t len = align8(24 + valueLen);
    std::size_t a = pos_;
    put32(a, 0x30);
    put32(a + 4, static_cast<std::uint32_t>(len));
    put32(a + 16, static_cast<std::uint32_t>(valueLen));
    put16(a + 20, 24);
    std::size_t v = a + 24;
    put32(v, parent);
    put16(v + 6, 1);  // sequence number
    put64(v + 8, created);
    put64(v + 16, changed);  // last write, the time shown as modified
    put64(v + 24, changed);
    rec_[v + 64] = static_cast<std::uint8_t>(name.size());
    rec_[v + 65] = nameSpace;
    for (std::size_t i = 0; i < name.size(); ++i) put16(v + 66 + 2 * i, name[i]);
    advance(len);
    return *this;
  }
  FileRecordBuilder& residentData(std::uint32_t size) {
    const std::size_t len = align8(24 + size);
    put32(pos_, 0x80);
    put32(pos_ + 4, static_cast<std::uint32_t>(len));
    put32(pos_ + 16, size);
    put16(pos_ + 20, 24);
    advance(len);
    return *this;
  }
  FileRecordBuilder& nonResidentData(std::uint64_t size) {
    put32(pos_, 0x80);
    put32(pos_ + 4, 72);
    rec_[pos_ + 8] = 1;
    put16(pos_ + 32, 64);
    put64(pos_ + 48, size);
    rec_[pos_ + 64] = 0x11;
    rec_[pos_ + 65] = 1;
    rec_[pos_ + 66] = 10;
    advance(72);
    return *this;
  }
  // A "$I30" index root whose first entry's key names parent `self` (the
  // directory's own record number) with a name of nameLength characters.
  FileRecordBuilder& indexRoot(std::uint32_t self, std::uint8_t nameLength = 3) {
    const std::size_t len = 160;
    std::size_t a = pos_;
    put32(a, 0x90);
    put32(a + 4, static_cast<std::uint32_t>(len));
    rec_[a + 9] = 4;
    put16(a + 10, 24);
    put16(a + 20, 32);
    put16(a + 24, '$');
    put16(a + 26, 'I');
    put16(a + 28, '3');
    put16(a + 30, '0');
    put32(a + 80, self);
    rec_[a + 144] = nameLength;
    advance(len);
    return *this;
  }
  // A "$I30" index allocation whose run list is `runs` (raw bytes).
  FileRecordBuilder& indexAllocation(const std::vector<std::uint8_t>& runs) {
    const std::size_t len = align8(72 + runs.size() + 1);
    std::size_t a = pos_;
    put32(a, 0xA0);
    put32(a + 4, static_cast<std::uint32_t>(len));
    rec_[a + 8] = 1;
    rec_[a + 9] = 4;
    put16(a + 10, 64);
    put16(a + 32, 72);
    put16(a + 64, '$');
    put16(a + 66, 'I');
    put16(a + 68, '3');
    put16(a + 70, '0');
    for (std::size_t i = 0; i < runs.size(); ++i) rec_[a + 72 + i] = runs[i];
    advance(len);
    return *this;
  }
  // Index allocation starting at cluster lcn (4-byte offset field).
  FileRecordBuilder& indexAt(std::uint32_t lcn) {
    return indexAllocation({0x41, 1, static_cast<std::uint8_t>(lcn), static_cast<std::uint8_t>(lcn >> 8),
                            static_cast<std::uint8_t>(lcn >> 16), static_cast<std::uint8_t>(lcn >> 24)});
  }
  std::vector<std::uint8_t> build() const { return rec_; }
  std::vector<std::uint8_t>& raw() { return rec_; }

 private:
  static std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
  void advance(std::size_t len) {
    pos_ += len;
    end();
  }
  void end() { put32(pos_, 0xFFFFFFFFu); }
  void put16(std::size_t o, std::uint16_t v) {
    rec_[o] = static_cast<std::uint8_t>(v);
    rec_[o + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void put32(std::size_t o, std::uint32_t v) {
    put16(o, static_cast<std::uint16_t>(v));
    put16(o + 2, static_cast<std::uint16_t>(v >> 16));
  }
  void put64(std::size_t o, std::uint64_t v) {
    put32(o, static_cast<std::uint32_t>(v));
    put32(o + 4, static_cast<std::uint32_t>(v >> 32));
  }
  std::vector<std::uint8_t> rec_;
  std::size_t pos_ = 56;
};

// An index block ("INDX") of `sectors` sectors (no update sequence).
class IndexBlockBuilder {
 public:
  IndexBlockBuilder(std::uint32_t vcn, std::uint32_t sectors = 8) : blk_(sectors * 512, 0) {
    std::memcpy(blk_.data(), "INDX", 4);
    put16(4, 40);
    put16(6, 0);
    put32(16, vcn);
    put32(24, 40);  // entries begin at 24 + 40 = 64
    put32(32, static_cast<std::uint32_t>(blk_.size() - 24));
    pos_ = 64;
  }
  // A directory entry naming record `ref` with name, parent and creation time.
  IndexBlockBuilder& entry(std::uint32_t ref, const std::u16string& name, std::uint32_t parent, std::uint64_t created,
                           bool directory = true) {
    const std::size_t len = (82 + 2 * name.size() + 7) & ~std::size_t{7};
    std::size_t o = pos_;
    put32(o, ref);
    put16(o + 8, static_cast<std::uint16_t>(len));
    put16(o + 10, static_cast<std::uint16_t>(66 + 2 * name.size()));
    put32(o + 16, parent);
    put64(o + 24, created);
    put32(o + 72, directory ? 0x10000000u : 0x20u);
    blk_[o + 80] = static_cast<std::uint8_t>(name.size());
    blk_[o + 81] = 1;
    for (std::size_t i = 0; i < name.size(); ++i) put16(o + 82 + 2 * i, name[i]);
    pos_ += len;
    return *this;
  }
  // The first entry's parent reference alone (the owner of the block).
  IndexBlockBuilder& owner(std::uint32_t parent) {
    if (pos_ == 64) return entry(parent + 1000, u"x", parent, 0, false);
    put32(64 + 16, parent);
    return *this;
  }
  std::vector<std::uint8_t> build() const { return blk_; }
  std::vector<std::uint8_t>& raw() { return blk_; }
  void put16(std::size_t o, std::uint16_t v) {
    blk_[o] = static_cast<std::uint8_t>(v);
    blk_[o + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void put32(std::size_t o, std::uint32_t v) {
    put16(o, static_cast<std::uint16_t>(v));
    put16(o + 2, static_cast<std::uint16_t>(v >> 16));
  }
  void put64(std::size_t o, std::uint64_t v) {
    put32(o, static_cast<std::uint32_t>(v));
    put32(o + 4, static_cast<std::uint32_t>(v >> 32));
  }

 private:
  std::vector<std::uint8_t> blk_;
  std::size_t pos_ = 64;
};

// Records what a scan reports.
class RecordingObserver : public Observer {
 public:
  void progress(int p) override { progressCalls.push_back(p); }
  void counter(Counter which, std::uint64_t value) override {
    lastCounter[which] = value;
    ++counterCalls;
  }
  void phase(const PhaseInfo& p) override { phases.push_back(p); }
  void message(MsgKind kind, std::string_view text) override { messages.emplace_back(kind, std::string(text)); }

  std::vector<int> progressCalls;
  std::map<Counter, std::uint64_t> lastCounter;
  std::uint64_t counterCalls = 0;
  std::vector<PhaseInfo> phases;
  std::vector<std::pair<MsgKind, std::string>> messages;
};

}  // namespace osprin::test
