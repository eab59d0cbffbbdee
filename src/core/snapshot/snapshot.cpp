#include "snapshot/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/bytes.h"
#include "common/text.h"

namespace osprin {

namespace {

// Fixed parts of the records: the bytes after the length field, name excluded.
// Version 1.1 adds the FAT times that 1.0 lacks (write time, creation date,
// time and hundredths: 7 bytes) after the fields of 1.0.
constexpr std::size_t kFatFolderFixed10 = 15;
constexpr std::size_t kFatFileFixed10 = 21;
constexpr std::size_t kFatTimesExtra = 7;
constexpr std::size_t kFatFolderFixed = kFatFolderFixed10 + kFatTimesExtra;
constexpr std::size_t kFatFileFixed = kFatFileFixed10 + kFatTimesExtra;
// exFAT records (code 400) carry after the FAT fields: the 64-bit size (files)
// or folder length, the valid data length (files), the NoFatChain flag and
// the times' write hundredths and UTC offsets.
constexpr std::size_t kExfatFolderExtra = 8 + 1 + 3;
constexpr std::size_t kExfatFileExtra = 8 + 8 + 1 + 3;
constexpr std::size_t kExfatFolderFixed = kFatFolderFixed + kExfatFolderExtra;
constexpr std::size_t kExfatFileFixed = kFatFileFixed + kExfatFileExtra;
constexpr std::size_t kExfatExtensionSize = 16;
constexpr std::size_t kNtfsFolderFixed = 27;
constexpr std::size_t kNtfsFileFixed = 37;
constexpr std::size_t kNtfsFileFixedWide = 41;  // version 1.2: the data-record sector in 64 bits
constexpr std::size_t kWideHeaderSize = 114;   // version 1.2: the nine sector fields in 64 bits

const char kOpenFailed[] = "Unable to open the file";
const char kBadMagic[] = "    Invalid version of the file found : ";
const char kBadVersion[] = "              version of file does not match with current version 1.1";
const char kDamaged[] = "The snapshot file is damaged: ";

bool knownCode(std::uint16_t code) { return isKnownFsType(static_cast<FsType>(code)); }

std::string sysError(int err) { return std::strerror(err); }

// ---------------------------------------------------------------- writing

// Little-endian field output into a byte vector.
constexpr std::uint16_t kDiskFieldSize = 44;  // tag 1: u64 size, u32 sector size, SHA-256

class Encoder {
 public:
  explicit Encoder(std::vector<std::uint8_t>& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void text(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

// A name the loader would refuse is not written either, so that every file
// we write loads again.
bool checkName(std::string_view name, const char* kind, std::size_t index, std::string& error) {
  const char* problem = nullptr;
  if (name.size() > kSnapshotMaxName)
    problem = "is longer than 765 bytes";
  else if (name.find('\0') != std::string_view::npos)
    problem = "contains a NUL byte";
  else if (name.find('/') != std::string_view::npos)
    problem = "contains '/'";
  if (!problem) return true;
  error = "Unable to save the snapshot: the name of " + std::string(kind) + " record " + dec(index + 1) + " " +
          problem;
  return false;
}

bool checkCount(std::size_t n, const char* what, std::string& error) {
  if (n <= 0xFFFFFFFFu) return true;
  error = std::string("Unable to save the snapshot: too many ") + what;
  return false;
}

std::uint16_t recordLength(std::string_view name, std::size_t fixed) {
  return static_cast<std::uint16_t>(name.size() + fixed);  // at most 765 + 37
}

// The FAT times that version 1.1 adds to each FAT record.
void fatTimes(Encoder& e, const FatTimes& t) {
  e.u16(t.writeTime);
  e.u16(t.createDate);
  e.u16(t.createTime);
  e.u8(t.createHundredths);
}

FatTimes readFatTimes(Bytes b, std::size_t at, std::uint16_t writeDate, std::uint16_t accessDate) {
  FatTimes t;
  t.writeDate = writeDate;
  t.accessDate = accessDate;
  t.writeTime = rd16(b, at);
  t.createDate = rd16(b, at + 2);
  t.createTime = rd16(b, at + 4);
  t.createHundredths = rd8(b, at + 6);
  return t;
}

// Version 1.2 is written only when a sector number does not fit in 32 bits
// (a volume past 2 TiB); everything else stays version 1.1.
bool needsWideFields(const SnapshotSource& src) {
  const Selection& sel = src.selection;
  const VolumeParams& p = src.params;
  for (SectorNo v : {sel.rangeStart, sel.rangeLength, sel.rangeEnd, p.clusterBase, p.fat1Start, p.fat2Start,
                     p.mftStart, p.mftMirrorStart, p.volumeEnd})
    if (v > 0xFFFFFFFFu) return true;
  if (p.fsType != FsType::Ntfs || !src.tree) return false;
  bool wide = false;
  auto check = [&](const NtfsFileNode& f) { wide = wide || f.dataRecordSector > 0xFFFFFFFFu; };
  if (src.ntfsFiles.valid())
    src.ntfsFiles.forEach([&](std::size_t i) { check(src.ntfsFiles.list()[i]); });
  else
    for (const NtfsFileNode& f : src.tree->ntfsFiles) check(f);
  return wide;
}

void exfatTimes(Encoder& e, const FatTimes& t) {
  e.u8(t.writeHundredths);
  e.u8(t.createUtc);
  e.u8(t.writeUtc);
}

void readExfatTimes(Bytes b, std::size_t at, FatTimes& t) {
  t.writeHundredths = rd8(b, at);
  t.createUtc = rd8(b, at + 1);
  t.writeUtc = rd8(b, at + 2);
}

bool encodeFatBody(Encoder& e, const FileTree& t, bool exfat, std::string& error) {
  if (!checkCount(t.fatFolders.size(), "folders", error) || !checkCount(t.fatFiles.size(), "files", error))
    return false;
  e.u32(static_cast<std::uint32_t>(t.fatFolders.size()));
  for (std::size_t i = 0; i < t.fatFolders.size(); ++i) {
    const FatFolderNode& f = t.fatFolders[i];
    if (!checkName(f.name, "folder", i, error)) return false;
    e.u16(recordLength(f.name, exfat ? kExfatFolderFixed : kFatFolderFixed));
    e.text(f.name);
    e.u32(f.firstCluster);
    e.u32(f.parentCluster);
    e.u16(f.writeDate);
    e.u16(f.accessDate);
    e.u8(f.deleted ? 1 : 0);
    e.u16(0);  // reserved
    fatTimes(e, f.times());
    if (exfat) {
      e.u64(f.dataLength);
      e.u8(f.contiguous ? 1 : 0);
      exfatTimes(e, f.times());
    }
  }
  e.u32(static_cast<std::uint32_t>(t.fatFiles.size()));
  for (std::size_t i = 0; i < t.fatFiles.size(); ++i) {
    const FatFileNode& f = t.fatFiles[i];
    if (!checkName(f.name, "file", i, error)) return false;
    e.u16(recordLength(f.name, exfat ? kExfatFileFixed : kFatFileFixed));
    e.text(f.name);
    e.u32(f.firstCluster);
    e.u32(f.parentCluster);
    e.u16(f.writeDate);
    e.u16(f.accessDate);
    e.u32(static_cast<std::uint32_t>(std::min<std::uint64_t>(f.size, 0xFFFFFFFFu)));
    e.u8(f.deleted ? 1 : 0);
    e.u32(f.fileIndex);
    fatTimes(e, f.times());
    if (exfat) {
      e.u64(f.size);
      e.u64(f.validLength);
      e.u8(f.contiguous ? 1 : 0);
      exfatTimes(e, f.times());
    }
  }
  return true;
}

bool encodeNtfsBody(Encoder& e, const FileTree& t, const NtfsFileSet& set, bool wide, std::string& error) {
  if (!checkCount(t.ntfsFolders.size(), "folders", error)) return false;
  e.u32(static_cast<std::uint32_t>(t.ntfsFolders.size()));
  for (std::size_t i = 0; i < t.ntfsFolders.size(); ++i) {
    const NtfsFolderNode& f = t.ntfsFolders[i];
    if (!checkName(f.name, "folder", i, error)) return false;
    e.u16(recordLength(f.name, kNtfsFolderFixed));
    e.text(f.name);
    e.u32(f.recordNumber);
    e.u32(f.parentRecord);
    e.u64(f.creationTime);
    e.u64(f.changeTime);
    e.u8(f.deleted ? 1 : 0);
    e.u16(0);  // reserved
  }

  // The count comes first, so the files that qualify are counted in a pass
  // of their own (a deep scan's list holds the records of every file system
  // found; only those of the chosen one are written).
  std::size_t count = 0;
  if (set.valid())
    set.forEach([&](std::size_t) { ++count; });
  else
    count = t.ntfsFiles.size();
  if (!checkCount(count, "files", error)) return false;
  e.u32(static_cast<std::uint32_t>(count));

  std::size_t written = 0;
  bool ok = true;
  auto put = [&](const NtfsFileNode& f) {
    if (!ok) return;
    if (!checkName(f.name, "file", written, error)) {
      ok = false;
      return;
    }
    e.u16(recordLength(f.name, wide ? kNtfsFileFixedWide : kNtfsFileFixed));
    if (wide)
      e.u64(f.dataRecordSector);
    else
      e.u32(static_cast<std::uint32_t>(f.dataRecordSector));
    e.text(f.name);
    e.u32(f.recordNumber);
    e.u32(f.parentRecord);
    e.u64(f.creationTime);
    e.u64(f.changeTime);
    // Bit 0 deleted; bit 1 a named stream (older files always hold 0 there).
    e.u8(static_cast<std::uint8_t>((f.deleted ? 1 : 0) | (f.stream ? 2 : 0)));
    e.u64(f.size);
    ++written;
  };
  if (set.valid())
    set.forEach([&](std::size_t i) { put(set.list()[i]); });
  else
    for (const NtfsFileNode& f : t.ntfsFiles) put(f);
  return ok;
}

// ---------------------------------------------------------------- reading

// Bytes in memory.
class MemorySource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> b) : b_(b) {}
  std::size_t read(std::uint8_t* dst, std::size_t n) {
    std::size_t k = std::min(n, b_.size() - pos_);
    if (k) std::memcpy(dst, b_.data() + pos_, k);
    pos_ += k;
    return k;
  }
  std::uint64_t remaining() const { return b_.size() - pos_; }
  int error() const { return 0; }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

// A file read through a buffer. remaining() is measured against the size the
// file had when it was opened; reads go on until the file really ends.
class FileSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size), buf_(1 << 16) {}
  std::size_t read(std::uint8_t* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      if (at_ == len_ && !fill()) break;
      std::size_t k = std::min(n - done, len_ - at_);
      std::memcpy(dst + done, buf_.data() + at_, k);
      at_ += k;
      done += k;
    }
    pos_ += done;
    return done;
  }
  std::uint64_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }
  int error() const { return err_; }

 private:
  bool fill() {
    if (eof_ || err_) return false;
    for (;;) {
      ssize_t r = ::read(fd_, buf_.data(), buf_.size());
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        err_ = errno;
        return false;
      }
      if (r == 0) {
        eof_ = true;
        return false;
      }
      at_ = 0;
      len_ = static_cast<std::size_t>(r);
      return true;
    }
  }

  int fd_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  std::vector<std::uint8_t> buf_;
  std::size_t at_ = 0, len_ = 0;
  bool eof_ = false;
  int err_ = 0;
};

template <class Source>
class Parser {
 public:
  Parser(Source& src, std::string& error) : src_(src), error_(error) {}

  SnapshotLoadStatus run(LoadedSnapshot& s) {
    // Magic, compared without regard to case.
    std::uint8_t magic[7] = {};
    std::size_t got = src_.read(magic, sizeof magic);
    if (src_.error()) return readFailed();
    if (got < sizeof magic || !sameIgnoringCase(magic, kSnapshotMagic)) {
      std::string shown(reinterpret_cast<const char*>(magic), got);
      shown = shown.substr(0, shown.find('\0'));  // the bytes as text end at a NUL
      error_ = kBadMagic + shown;
      return SnapshotLoadStatus::BadMagic;
    }
    std::uint8_t version[3] = {};
    got = src_.read(version, sizeof version);
    if (src_.error()) return readFailed();
    if (got == sizeof version && sameIgnoringCase(version, kSnapshotVersion))
      v10_ = false;
    else if (got == sizeof version && sameIgnoringCase(version, kSnapshotVersionWide))
      wide_ = true;
    else if (got == sizeof version && sameIgnoringCase(version, kSnapshotVersion10))
      v10_ = true;
    else {
      error_ = kBadVersion;
      return SnapshotLoadStatus::BadVersion;
    }

    std::uint8_t h[kWideHeaderSize - 10];
    const std::size_t headerSize = (wide_ ? kWideHeaderSize : kSnapshotHeaderSize) - 10;
    if (!need(h, headerSize, "the header")) return status_;
    Bytes hb(h, headerSize);
    std::size_t at = 0;
    auto u16 = [&] { return rd16(hb, (at += 2) - 2); };
    auto u32 = [&] { return rd32(hb, (at += 4) - 4); };
    auto sector = [&]() -> SectorNo { return wide_ ? rd64(hb, (at += 8) - 8) : u32(); };
    const std::uint16_t selCode = u16();
    s.selection.rangeStart = sector();
    s.selection.rangeLength = sector();
    s.selection.rangeEnd = sector();
    s.selection.rangeTag = u16();
    const std::uint16_t volCode = u16();
    VolumeParams& p = s.params;
    p.sectorsPerFat = u32();
    p.sectorsPerCluster = u32();
    p.rootDirSectors = u32();
    p.reservedSectors = u32();
    p.clusterBase = sector();
    p.fat1Start = sector();
    p.fat2Start = sector();
    p.mftStart = sector();
    p.mftMirrorStart = sector();
    p.sectorsPerMftRecord = u32();
    p.sectorsPerIndexRecord = u32();
    p.volumeEnd = sector();
    s.chosenFsIndex = u16();
    if (!knownCode(selCode)) return damaged("unknown file-system code " + dec(selCode) + " in the selection");
    if (!knownCode(volCode)) return damaged("unknown file-system code " + dec(volCode) + " of the volume");
    s.selection.fsType = static_cast<FsType>(selCode);
    p.fsType = static_cast<FsType>(volCode);
    if (!v10_ && !headerExtension(s)) return status_;

    bool ok = p.fsType == FsType::Ntfs ? ntfsBody(s.tree) : fatBody(s.tree, p.fsType == FsType::Exfat);
    if (!ok) return status_;

    std::uint8_t extra = 0;
    if (src_.read(&extra, 1) != 0) {
      std::uint64_t more = 1 + src_.remaining();
      return damaged(dec(more) + (more == 1 ? " byte follows" : " bytes follow") + " the end of the file list");
    }
    if (src_.error()) return readFailed();
    return SnapshotLoadStatus::Ok;
  }

 private:
  static bool sameIgnoringCase(const std::uint8_t* got, std::string_view want) {
    for (std::size_t i = 0; i < want.size(); ++i) {
      auto a = static_cast<unsigned char>(got[i]);
      auto b = static_cast<unsigned char>(want[i]);
      if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
      if (a != b) return false;
    }
    return true;
  }

  SnapshotLoadStatus readFailed() {
    error_ = "Unable to read the file: " + sysError(src_.error());
    status_ = SnapshotLoadStatus::ReadFailed;
    return status_;
  }
  SnapshotLoadStatus damaged(const std::string& what) {
    error_ = kDamaged + what;
    status_ = SnapshotLoadStatus::Damaged;
    return status_;
  }
  bool fail(const std::string& what) {
    damaged(what);
    return false;
  }

  // Reads exactly n bytes; otherwise sets the status (the file ends inside
  // `where`, or reading failed) and returns false.
  bool need(std::uint8_t* dst, std::size_t n, const std::string& where) {
    std::size_t got = src_.read(dst, n);
    if (got == n) return true;
    if (src_.error())
      readFailed();
    else
      damaged("it ends early, inside " + where);
    return false;
  }

  bool count(std::uint32_t& n, const char* kind, std::size_t minRecord, std::uint64_t after) {
    std::uint8_t b[4];
    if (!need(b, 4, std::string("the ") + kind + " count")) return false;
    n = rd32(Bytes(b, 4), 0);
    // Checked before anything is reserved: a count cannot promise more
    // records than the rest of the file can hold.
    std::uint64_t least = static_cast<std::uint64_t>(n) * minRecord + after;
    if (least > src_.remaining())
      return fail("the " + std::string(kind) + " count " + dec(n) + " needs at least " + dec(least) +
                  " bytes, but only " + dec(src_.remaining()) + " are left");
    return true;
  }

  // One record: its length field, then for NTFS files the data-record sector
  // before the name, the name, and the fixed fields after it into `fields`.
  bool record(const char* kind, std::uint32_t index, std::uint32_t total, std::size_t fixed, std::size_t lead,
              std::uint8_t* leadBytes, std::string& name, std::uint8_t* fields) {
    std::string where = std::string(kind) + " record " + dec(index + 1) + " of " + dec(total);
    std::uint8_t lb[2];
    if (!need(lb, 2, where)) return false;
    std::size_t len = rd16(Bytes(lb, 2), 0);
    if (len < fixed)
      return fail(where + " has a record length of " + dec(len) + ", less than its fixed " + dec(fixed) + " bytes");
    std::size_t nameLen = len - fixed;
    if (nameLen > kSnapshotMaxName) return fail(where + " has a name of " + dec(nameLen) + " bytes (at most 765)");
    if (lead && !need(leadBytes, lead, where)) return false;
    name.resize(nameLen);
    if (nameLen && !need(reinterpret_cast<std::uint8_t*>(name.data()), nameLen, where)) return false;
    if (name.find('\0') != std::string::npos) return fail("the name of " + where + " contains a NUL byte");
    if (name.find('/') != std::string::npos) return fail("the name of " + where + " contains '/'");
    return need(fields, fixed - lead, where);
  }

  // Version 1.1: the header extension, u32 N and N bytes of tagged fields
  // {u16 tag, u16 length, length bytes}. Unknown tags are skipped, so later
  // versions of the program can add fields that this one passes over.
  bool headerExtension(LoadedSnapshot& s) {
    std::uint8_t nb[4];
    if (!need(nb, 4, "the header extension length")) return false;
    const std::uint32_t n = rd32(Bytes(nb, 4), 0);
    if (n > src_.remaining())
      return fail("the header extension of " + dec(n) + " bytes is longer than the " + dec(src_.remaining()) +
                  " bytes left");
    std::uint32_t done = 0;
    std::uint8_t field[256];
    while (done < n) {
      std::uint8_t th[4];
      if (n - done < 4) return fail("the header extension ends inside a field's tag");
      if (!need(th, 4, "the header extension")) return false;
      done += 4;
      const std::uint16_t tag = rd16(Bytes(th, 4), 0);
      const std::uint32_t len = rd16(Bytes(th, 4), 2);
      if (len > n - done) return fail("a field of the header extension runs past its end");
      if (tag == kSnapshotTagDisk && len == kDiskFieldSize) {
        if (!need(field, len, "the disk field")) return false;
        const Bytes f(field, len);
        SnapshotDisk d;
        d.diskBytes = rd64(f, 0);
        d.sectorSize = rd32(f, 8);
        std::copy(field + 12, field + 44, d.bootSha256.begin());
        s.disk = d;
        done += len;
        continue;
      }
      if (tag == kSnapshotTagExfat && len == kExfatExtensionSize) {
        if (!need(field, len, "the exFAT field")) return false;
        const Bytes f(field, len);
        s.params.clusterCount = rd32(f, 0);
        s.params.bitmapCluster = rd32(f, 4);
        s.params.bitmapBytes = rd64(f, 8);
        done += len;
        continue;
      }
      for (std::uint32_t left = len; left > 0;) {
        const std::uint32_t k = std::min<std::uint32_t>(left, sizeof field);
        if (!need(field, k, "the header extension")) return false;
        left -= k;
      }
      done += len;
    }
    return true;
  }

  bool fatBody(FileTree& t, bool exfat) {
    // Version 1.0 records lack the times that 1.1 adds; they load with
    // those times 0, as that version had them.
    const std::size_t folderFixed = exfat ? kExfatFolderFixed : v10_ ? kFatFolderFixed10 : kFatFolderFixed;
    const std::size_t fileFixed = exfat ? kExfatFileFixed : v10_ ? kFatFileFixed10 : kFatFileFixed;
    std::uint32_t n = 0;
    if (!count(n, "folder", 2 + folderFixed, 4)) return false;
    std::string name;
    std::uint8_t f[kExfatFileFixed];
    static_assert(kExfatFolderFixed <= kExfatFileFixed && kFatFileFixed <= kExfatFileFixed);
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!record("folder", i, n, folderFixed, 0, nullptr, name, f)) return false;
      Bytes b(f, folderFixed);
      FatTimes times = v10_ ? readFatTimes(Bytes(), 0, rd16(b, 8), rd16(b, 10))
                            : readFatTimes(b, kFatFolderFixed10, rd16(b, 8), rd16(b, 10));
      if (exfat) readExfatTimes(b, kFatFolderFixed + 9, times);
      // A second folder with a first cluster already listed is dropped.
      if (t.addFatFolder(name, rd32(b, 0), rd32(b, 4), times, rd8(b, 12) != 0) && exfat) {
        t.fatFolders.back().dataLength = rd64(b, kFatFolderFixed);
        t.fatFolders.back().contiguous = rd8(b, kFatFolderFixed + 8) != 0;
      }
    }
    std::uint32_t m = 0;
    if (!count(m, "file", 2 + fileFixed, 0)) return false;
    for (std::uint32_t i = 0; i < m; ++i) {
      if (!record("file", i, m, fileFixed, 0, nullptr, name, f)) return false;
      Bytes b(f, fileFixed);
      FatTimes times = v10_ ? readFatTimes(Bytes(), 0, rd16(b, 8), rd16(b, 10))
                            : readFatTimes(b, kFatFileFixed10, rd16(b, 8), rd16(b, 10));
      if (exfat) readExfatTimes(b, kFatFileFixed + 17, times);
      // The stored fileIndex (bytes 17-20) is not used: files are numbered afresh.
      t.addFatFile(name, rd32(b, 0), rd32(b, 4), times, exfat ? rd64(b, kFatFileFixed) : rd32(b, 12),
                   rd8(b, 16) != 0);
      if (exfat) {
        t.fatFiles.back().validLength = std::min(rd64(b, kFatFileFixed + 8), t.fatFiles.back().size);
        t.fatFiles.back().contiguous = rd8(b, kFatFileFixed + 16) != 0;
      }
      ++t.fileCount;
    }
    return true;
  }

  bool ntfsBody(FileTree& t) {
    std::uint32_t n = 0;
    if (!count(n, "folder", 2 + kNtfsFolderFixed, 4)) return false;
    std::string name;
    std::uint8_t f[kNtfsFileFixed];
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!record("folder", i, n, kNtfsFolderFixed, 0, nullptr, name, f)) return false;
      Bytes b(f, kNtfsFolderFixed);
      // A record number listed again is dropped: duplicate folder records
      // would each show the folder's whole content again, nested ones
      // multiplying it (a scan never writes two).
      t.addNtfsFolder(name, rd32(b, 0), rd32(b, 4), rd64(b, 8), rd64(b, 16), rd8(b, 24) != 0, ScanType::Advanced);
    }
    std::uint32_t m = 0;
    const std::size_t fixed = wide_ ? kNtfsFileFixedWide : kNtfsFileFixed;
    const std::size_t leadSize = wide_ ? 8 : 4;
    if (!count(m, "file", 2 + fixed, 0)) return false;
    std::uint8_t lead[8];
    for (std::uint32_t i = 0; i < m; ++i) {
      if (!record("file", i, m, fixed, leadSize, lead, name, f)) return false;
      Bytes b(f, fixed - leadSize);
      const std::uint8_t flags = rd8(b, 24);
      const bool stream = (flags & 2) != 0 && name.find(':') != std::string::npos;
      const SectorNo recordSector = wide_ ? rd64(Bytes(lead, 8), 0) : rd32(Bytes(lead, 4), 0);
      t.addNtfsFile(recordSector, name, rd32(b, 0), rd32(b, 4), rd64(b, 8), rd64(b, 16), (flags & 1) != 0,
                    rd64(b, 25), stream);
      if (!stream) ++t.fileCount;
    }
    return true;
  }

  Source& src_;
  std::string& error_;
  SnapshotLoadStatus status_ = SnapshotLoadStatus::Ok;
  bool v10_ = false;   // a file of version 1.0: no header extension, FAT records without the 1.1 times
  bool wide_ = false;  // a file of version 1.2: sector numbers in 64 bits
};

template <class Source>
SnapshotLoadStatus parseInto(Source& src, LoadedSnapshot& out, std::string& error) {
  LoadedSnapshot fresh;
  std::string message;
  SnapshotLoadStatus st = Parser<Source>(src, message).run(fresh);
  if (st != SnapshotLoadStatus::Ok) {
    error = std::move(message);
    return st;
  }
  out = std::move(fresh);
  return st;
}

// ---------------------------------------------------------------- files

bool writeAll(int fd, const std::uint8_t* p, std::size_t n, int& err) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, std::min<std::size_t>(n, 1 << 20));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) {
      err = errno;
      return false;
    }
    if (w == 0) {
      err = EIO;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::pair<std::string, std::string> splitPath(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string(), std::string(path)};
  return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
}

// Creates a new temporary file next to target (mode 0666 less the umask, as
// a plainly created file would get); -1 with err set when it cannot.
int createTemp(const std::string& target, std::string& tempPath, int& err) {
  static std::atomic<unsigned> serial{0};
  // The target's own name is not part of it: a name near the length limit
  // would leave no room for a suffix.
  const std::string dir = splitPath(target).first;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto stamp = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    tempPath = dir + ".snapshot-" + dec(static_cast<std::uint64_t>(::getpid())) + "-" + dec(serial.fetch_add(1)) +
               "-" + dec(stamp % 1000000007ull) + ".tmp";
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      err = errno;
      return -1;
    }
  }
  err = EEXIST;
  return -1;
}

}  // namespace

std::string snapshotFileName(std::string_view path) {
  auto [dir, base] = splitPath(path);
  std::string name = asciiUpper(base);
  if (name.size() < kSnapshotExtension.size() ||
      name.compare(name.size() - kSnapshotExtension.size(), kSnapshotExtension.size(), kSnapshotExtension) != 0)
    name += kSnapshotExtension;
  return dir + name;
}

bool encodeSnapshot(const SnapshotSource& src, std::vector<std::uint8_t>& out, std::string& error) {
  out.clear();
  if (!src.tree) {
    error = "Unable to save the snapshot: there is no tree in work";
    return false;
  }
  const auto selCode = static_cast<std::uint16_t>(src.selection.fsType);
  const auto volCode = static_cast<std::uint16_t>(src.params.fsType);
  if (!knownCode(selCode) || !knownCode(volCode)) {
    error = "Unable to save the snapshot: the file system in work is not FAT16, FAT32, NTFS or exFAT";
    return false;
  }
  const VolumeParams& p = src.params;
  const bool wide = needsWideFields(src);
  Encoder e(out);
  e.text(kSnapshotMagic);
  e.text(wide ? kSnapshotVersionWide : kSnapshotVersion);
  auto sector = [&](SectorNo v) {
    if (wide)
      e.u64(v);
    else
      e.u32(static_cast<std::uint32_t>(v));
  };
  e.u16(selCode);
  sector(src.selection.rangeStart);
  sector(src.selection.rangeLength);
  sector(src.selection.rangeEnd);
  e.u16(src.selection.rangeTag);
  e.u16(volCode);
  for (std::uint32_t v : {p.sectorsPerFat, p.sectorsPerCluster, p.rootDirSectors, p.reservedSectors}) e.u32(v);
  for (SectorNo v : {p.clusterBase, p.fat1Start, p.fat2Start, p.mftStart, p.mftMirrorStart}) sector(v);
  e.u32(p.sectorsPerMftRecord);
  e.u32(p.sectorsPerIndexRecord);
  sector(p.volumeEnd);
  e.u16(src.chosenFsIndex);
  // The header extension: the disk's identity, exFAT's geometry.
  const bool exfat = p.fsType == FsType::Exfat;
  e.u32(static_cast<std::uint32_t>((src.disk ? 4 + kDiskFieldSize : 0) + (exfat ? 4 + kExfatExtensionSize : 0)));
  if (src.disk) {
    e.u16(kSnapshotTagDisk);
    e.u16(kDiskFieldSize);
    e.u64(src.disk->diskBytes);
    e.u32(src.disk->sectorSize);
    for (std::uint8_t b : src.disk->bootSha256) e.u8(b);
  }
  if (exfat) {
    e.u16(kSnapshotTagExfat);
    e.u16(kExfatExtensionSize);
    e.u32(p.clusterCount);
    e.u32(p.bitmapCluster);
    e.u64(p.bitmapBytes);
  }

  bool ok = p.fsType == FsType::Ntfs ? encodeNtfsBody(e, *src.tree, src.ntfsFiles, wide, error)
                                     : encodeFatBody(e, *src.tree, p.fsType == FsType::Exfat, error);
  if (!ok) out.clear();
  return ok;
}

bool saveSnapshot(const std::string& path, const SnapshotSource& src, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!encodeSnapshot(src, bytes, error)) return false;

  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = kOpenFailed;
    return false;
  }
  std::string temp;
  int err = 0;
  int fd = createTemp(path, temp, err);
  if (fd < 0) {
    error = kOpenFailed;
    return false;
  }
  bool ok = writeAll(fd, bytes.data(), bytes.size(), err);
  if (ok && ::fsync(fd) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    error = "Unable to write the file: " + sysError(err);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    error = kOpenFailed;
    return false;
  }
  // Make the new name itself durable; a failure here loses nothing.
  std::string dir = splitPath(path).first;
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

SnapshotLoadStatus loadSnapshot(const std::string& path, LoadedSnapshot& out, std::string& error) {
  // Read-only; O_NONBLOCK keeps a FIFO from blocking the open (it is refused
  // below, and regular files ignore the flag).
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = kOpenFailed;
    return SnapshotLoadStatus::OpenFailed;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = kOpenFailed;
    return SnapshotLoadStatus::OpenFailed;
  }
  FileSource src(fd, static_cast<std::uint64_t>(st.st_size));
  SnapshotLoadStatus status = parseInto(src, out, error);
  ::close(fd);
  return status;
}

SnapshotLoadStatus loadSnapshotBytes(std::span<const std::uint8_t> bytes, LoadedSnapshot& out, std::string& error) {
  MemorySource src(bytes);
  return parseInto(src, out, error);
}

}  // namespace osprin
