#include "recovery/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "common/bytes.h"
#include "common/text.h"
#include "volume/ntfs_record.h"

namespace osprin {

namespace {

// Sectors per read request when a stretch of the disk is contiguous: many
// read units at once, a multiple of every unit (1, 8, 16).
constexpr std::uint64_t kChunkSectors = 2048;  // 1 MiB
constexpr std::size_t kMaxComponent = 255;     // NAME_MAX of Linux file systems
constexpr std::uint32_t kMaxDuplicateTries = 1000000;

std::string joinPath(const std::string& folder, std::string_view component) {
  std::string p = folder;
  if (p.empty() || p.back() != '/') p += '/';
  p += component;
  return p;
}

bool pathExists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

std::string errnoText(int e) { return std::strerror(e); }

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool setTimes(const std::string& path, const timespec& t) {
  timespec times[2] = {t, t};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

int percentOf(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  auto p = static_cast<unsigned __int128>(done) * 100 / total;
  return static_cast<int>(std::min<unsigned __int128>(p, 99));
}

}  // namespace

// ---------------------------------------------------------------------------
// Names, paths and time stamps

std::string safeComponent(std::string_view name) {
  if (name.empty()) return "_";
  if (name == ".") return "_.";
  if (name == "..") return "_..";
  std::string s(name);
  for (char& c : s)
    if (c == '/' || c == '\0') c = '_';
  if (s.size() <= kMaxComponent) return s;
  // Shorten the stem, keeping a short extension, without cutting a UTF-8
  // sequence in half.
  std::string ext;
  auto dot = s.rfind('.');
  if (dot != std::string::npos && dot > 0 && s.size() - dot <= 32) ext = s.substr(dot);
  std::size_t keep = kMaxComponent - ext.size();
  while (keep > 0 && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) --keep;
  std::string out = s.substr(0, keep) + ext;
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

std::string duplicateName(std::string_view name, std::uint32_t n) {
  return "Copy (" + dec(n) + " ) of " + std::string(name);
}

bool makeDirectoryPath(const std::string& path) {
  std::string cur;
  std::size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    cur = "/";
    i = 1;
  }
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      cur.append(path, i, j - i);
      ::mkdir(cur.c_str(), 0777);  // an existing directory is simply kept
      cur += '/';
    }
    i = j + 1;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool setTimesFromFatDate(const std::string& path, std::uint16_t fatDate) {
  const unsigned day = fatDate & 0x1Fu;
  const unsigned month = (fatDate >> 5) & 0x0Fu;
  const std::int64_t year = 1980 + (fatDate >> 9);
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > mdays[month - 1] + (month == 2 && leap ? 1u : 0u)) return false;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t timeOfDay = ((now.tv_sec % 86400) + 86400) % 86400;
  timespec t{};
  t.tv_sec = static_cast<time_t>(daysFromCivil(year, month, day) * 86400 + timeOfDay);
  t.tv_nsec = now.tv_nsec / 1000000 * 1000000;  // milliseconds, as the clock of the day is kept
  return setTimes(path, t);
}

bool setTimesFromFiletime(const std::string& path, std::uint64_t filetime) {
  constexpr std::int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  timespec t{};
  t.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(filetime / 10000000ULL) - kEpochDelta);
  t.tv_nsec = static_cast<long>(filetime % 10000000ULL) * 100;
  return setTimes(path, t);
}

std::uint32_t readUnit(std::uint32_t sectorsPerCluster) {
  if (sectorsPerCluster < 8) return 1;
  if (sectorsPerCluster == 8) return 8;
  return 16;
}

// ---------------------------------------------------------------------------
// NTFS records

DataAttribute findUnnamedData(Bytes rec) {
  DataAttribute a;
  const std::size_t limit = std::min<std::size_t>(rec.size(), kMftRecordSize);
  std::size_t off = rd16(rec, 20);
  while (off < limit - 1 && off < 1023) {
    const std::uint32_t type = rd32(rec, off);
    if (type == 0 || type == 0xFFFFFFFFu) return a;
    const std::uint32_t len = rd32(rec, off + 4);
    if (type == 0x80) {
      if (rd8(rec, off + 9) != 0) {  // a named stream
        if (len == 0 || len > 1023) return a;
        off += len;
        continue;
      }
      const std::uint8_t nonResident = rd8(rec, off + 8);
      if (nonResident > 1) return a;
      a.found = true;
      a.resident = nonResident == 0;
      a.offset = off;
      return a;
    }
    if (len == 0 || len > 1022) return a;
    off += len;
  }
  return a;
}

RunList decodeDataRuns(Bytes rec, std::size_t attrOffset) {
  RunList out;
  const std::size_t limit = std::min<std::size_t>(rec.size(), kMftRecordSize);
  std::size_t pos = attrOffset + rd16(rec, attrOffset + 32);
  std::int64_t previous = 0;
  bool first = true;
  while (pos < limit) {
    const std::uint8_t header = rec[pos];
    if (header == 0) break;
    const unsigned lenWidth = header & 0x0Fu;
    const unsigned offWidth = header >> 4;
    if (lenWidth == 0 || lenWidth > 4 || offWidth > 4 || limit - pos < 1 + lenWidth + offWidth) {
      out.damaged = true;
      break;
    }
    std::uint64_t length = 0;
    for (unsigned i = 0; i < lenWidth; ++i) length |= static_cast<std::uint64_t>(rec[pos + 1 + i]) << (8 * i);
    DataRun run;
    run.length = length;
    if (offWidth == 0) {
      run.sparse = true;
    } else {
      std::uint64_t raw = 0;
      for (unsigned i = 0; i < offWidth; ++i) raw |= static_cast<std::uint64_t>(rec[pos + 1 + lenWidth + i]) << (8 * i);
      std::int64_t delta;
      if (first) {
        delta = static_cast<std::int64_t>(raw);
      } else {
        const unsigned bits = 8 * offWidth;
        delta = (raw & (1ULL << (bits - 1))) ? static_cast<std::int64_t>(raw | (~0ULL << bits))
                                             : static_cast<std::int64_t>(raw);
      }
      const std::int64_t start = previous + delta;
      if (start < 0) {  // a run before the start of the volume
        out.damaged = true;
        break;
      }
      run.startCluster = start;
      previous = start;
      first = false;
    }
    out.runs.push_back(run);
    pos += 1 + lenWidth + offWidth;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Extractor

struct Extractor::Output {
  int fd = -1;
  std::string path;
  std::uint64_t written = 0;
  bool holes = false;       // sparse stretches skipped with lseek
  bool readFailed = false;  // some sectors could not be read (written as zeros)
  bool pastEnd = false;     // the data reaches past the end of the disk
  bool runsDamaged = false; // the run list ended at a field that cannot be taken
  int writeErrno = 0;
  ~Output() {
    if (fd >= 0) ::close(fd);
  }
  bool writeAll(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, p, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        writeErrno = errno;
        return false;
      }
      if (w == 0) {
        writeErrno = EIO;
        return false;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }
};

Extractor::Extractor(RecoveryContext& ctx, RecoveryFlags& flags, Observer& obs)
    : ctx_(ctx), flags_(flags), obs_(obs), buf_(kChunkSectors * kSectorSize), fatCache_(kSectorSize) {
  if (ctx_.sink) {
    std::random_device rd;
    std::mt19937_64 gen((std::uint64_t{rd()} << 32) ^ rd());
    for (std::size_t i = 0; i < unreadMark_.size(); i += 8) {
      const std::uint64_t w = gen();
      std::memcpy(unreadMark_.data() + i, &w, 8);
    }
  }
}

Extractor::~Extractor() = default;

bool Extractor::stopRequested() const { return flags_.saveStopRequested.load() != 0; }

bool Extractor::interrupted() const {
  return flags_.saveStopRequested.load() != 0 || flags_.skipFileRequested.load() != 0;
}

void Extractor::progress(std::uint64_t done, std::uint64_t total, RecoverMode mode) {
  if (mode != RecoverMode::Recover) return;
  int p = percentOf(done, total);
  if (p == lastPercent_) return;
  lastPercent_ = p;
  obs_.progress(p);
}

bool Extractor::applyPolicies(FileCopyRequest& req, std::string& target) {
  if (!ctx_.filters.passes(req.name)) return false;
  if (!ctx_.settings.takesDeletedState(req.deleted)) return false;
  if (req.deleted && ctx_.settings.onlyIntact && req.recoverable.verdict != Verdict::Intact) return false;
  if (!pathExists(target)) return true;
  switch (ctx_.settings.duplicatePolicy) {
    case DuplicatePolicy::Skip:
      return false;
    case DuplicatePolicy::Overwrite:
      return true;
    case DuplicatePolicy::Rename:
      break;
  }
  for (std::uint32_t n = 1; n <= kMaxDuplicateTries; ++n) {
    std::string candidate = duplicateName(req.name, n);
    std::string t = joinPath(req.targetFolder, safeComponent(candidate));
    if (!pathExists(t)) {
      req.name = std::move(candidate);
      target = std::move(t);
      return true;
    }
  }
  return true;  // every candidate taken: creating the target reports the clash
}

bool Extractor::createTarget(const std::string& target, Output& out) {
  out.path = target;
  out.fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out.fd >= 0) return true;
  const int e = errno;
  result_.errors.push_back("cannot create " + target + ": " + errnoText(e));
  if (!obs_.ask("Error creating file : " + target + ".  Continue Recovery ? ")) flags_.saveStopRequested.store(1);
  return false;
}

Extractor::Stretch Extractor::copyStretch(Output& out, std::uint64_t firstSector, std::uint64_t sectors,
                                          std::uint64_t size, RecoverMode mode) {
  const std::uint64_t unit = readUnit(ctx_.vp.sectorsPerCluster);
  const std::uint64_t total = ctx_.reader.totalSectors();
  std::uint64_t done = 0;
  if (ctx_.sink && out.written < size)
    ctx_.sink->source(firstSector * kSectorSize, std::min(sectors * kSectorSize, size - out.written), false);
  while (out.written < size && done < sectors) {
    if (interrupted()) return Stretch::Interrupted;
    const std::uint64_t remaining = size - out.written;
    std::uint64_t n = std::min(sectors - done, (remaining + kSectorSize - 1) / kSectorSize);
    n = std::min(sectors - done, (n + unit - 1) / unit * unit);  // whole read units
    n = std::min(n, kChunkSectors);
    const std::uint64_t start = firstSector + done;
    if (total > 0) {
      if (start >= total) {
        out.pastEnd = true;
        return Stretch::PastEnd;
      }
      n = std::min(n, total - start);
    }
    const std::uint64_t want = std::min<std::uint64_t>(n * kSectorSize, remaining);
    // From an image file the kernel copies the bytes itself, without a trip
    // through our buffer; whatever it did not copy goes the usual way. A
    // sink sees the bytes of our own read of the chunk (writing them from
    // the buffer would cost far more than the kernel's copy).
    bool chunkRead = false, chunkOk = true;
    if (ctx_.sink) {
      chunkOk = readForSink(start, static_cast<std::uint32_t>(n));
      chunkRead = true;
    }
    const std::uint64_t writtenBefore = out.written;
    const std::uint64_t copied = chunkOk ? copyInKernel(out, start, want) : 0;
    if (copied > 0) {
      out.written += copied;
      const std::uint64_t whole = copied / kSectorSize;
      done += whole;
      if (copied < want && copied % kSectorSize != 0) {
        // A copy that stopped inside a sector: the file is rewound to the
        // sector's start and the sector goes through the buffer.
        const std::uint64_t part = copied % kSectorSize;
        if (::lseek(out.fd, -static_cast<off_t>(part), SEEK_CUR) < 0) {
          out.writeErrno = errno;
          return Stretch::WriteFailed;
        }
        out.written -= part;
        if (::ftruncate(out.fd, static_cast<off_t>(out.written)) != 0) {
          out.writeErrno = errno;
          return Stretch::WriteFailed;
        }
      }
      if (ctx_.sink) ctx_.sink->data(buf_.data(), static_cast<std::size_t>(out.written - writtenBefore));
      progress(out.written, size, mode);
      continue;
    }
    // A sector that cannot be read is written as zeros, never as the bytes
    // of an earlier read.
    const bool readOk =
        chunkRead ? chunkOk : ctx_.reader.readSectorsClearing(start, static_cast<std::uint32_t>(n), buf_.data());
    if (!readOk) {
      out.readFailed = true;
      ++result_.failedReads;
    }
    const std::uint64_t bytes = std::min<std::uint64_t>(n * kSectorSize, remaining);
    if (!out.writeAll(buf_.data(), static_cast<std::size_t>(bytes))) return Stretch::WriteFailed;
    if (ctx_.sink) {
      for (std::uint32_t k : failedSectors_) {
        const std::uint64_t off = std::uint64_t{k} * kSectorSize;
        if (off < bytes) ctx_.sink->unreadable(out.written + off, std::min<std::uint64_t>(kSectorSize, bytes - off));
      }
      ctx_.sink->data(buf_.data(), static_cast<std::size_t>(bytes));
    }
    out.written += bytes;
    done += n;
    progress(out.written, size, mode);
  }
  return Stretch::Ok;
}

bool Extractor::readForSink(std::uint64_t start, std::uint32_t n) {
  failedSectors_.clear();
  // A sector that never reads keeps what the buffer held: the mark, which
  // no sector of a disk holds by chance. Such sectors become zeros.
  for (std::uint32_t k = 0; k < n; ++k)
    std::memcpy(buf_.data() + std::size_t{k} * kSectorSize, unreadMark_.data(), kSectorSize);
  if (ctx_.reader.readSectors64(start, n, buf_.data())) return true;
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint8_t* sector = buf_.data() + std::size_t{k} * kSectorSize;
    if (std::memcmp(sector, unreadMark_.data(), kSectorSize) != 0) continue;
    std::memset(sector, 0, kSectorSize);
    failedSectors_.push_back(k);
  }
  return false;
}

std::uint64_t Extractor::copyInKernel(Output& out, std::uint64_t firstSector, std::uint64_t bytes) {
  if (!kernelCopy_) return 0;
  auto* file = dynamic_cast<FileBlockSource*>(ctx_.reader.source());
  if (!file) {
    kernelCopy_ = false;
    return 0;
  }
  loff_t from = static_cast<loff_t>(firstSector * kSectorSize);
  std::uint64_t copied = 0;
  while (copied < bytes) {
    const ssize_t n = ::copy_file_range(file->fd(), &from, out.fd, nullptr, static_cast<std::size_t>(bytes - copied), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Not between these files (another file system, a device, an old
      // kernel): read and write from now on. A failed read or the end of
      // the image is left to the usual path, which handles both.
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF))
        kernelCopy_ = false;
      break;
    }
    copied += static_cast<std::uint64_t>(n);
  }
  return copied;
}

void Extractor::finishFile(Output& out, CopyResult& r, std::uint64_t size, const FileCopyRequest& req) {
  if (out.holes && out.writeErrno == 0 && ::ftruncate(out.fd, static_cast<off_t>(out.written)) != 0)
    out.writeErrno = errno;
  if (::close(out.fd) != 0 && out.writeErrno == 0) out.writeErrno = errno;
  out.fd = -1;
  if (req.hasTime) {
    if (isFat(ctx_.vp.fsType))
      setTimesFromFatDate(out.path, req.fatDate);
    else
      setTimesFromFiletime(out.path, req.fileTime);
  }
  r.status = CopyStatus::Written;
  r.path = out.path;
  r.written = out.written;
  r.complete = out.written >= size && out.writeErrno == 0;
  const std::string counts = dec(out.written) + " of " + dec(size) + " bytes written";
  if (out.writeErrno != 0)
    result_.errors.push_back(out.path + ": write failed: " + errnoText(out.writeErrno) + "; " + counts);
  else if (out.pastEnd)
    result_.errors.push_back(out.path + ": the file's data reaches past the end of the disk; " + counts);
  else if (out.written < size && !interrupted())
    result_.errors.push_back(out.path + (out.runsDamaged ? ": the data runs are damaged; " : ": the data runs end early; ") +
                             counts);
  if (out.readFailed)
    result_.errors.push_back(out.path + ": some sectors could not be read and were written as zeros");
  if (!r.complete) result_.incomplete.push_back(out.path);
}

std::vector<std::uint32_t> Extractor::buildClusterChain(std::uint32_t first, std::uint32_t count, int copy) {
  std::vector<std::uint32_t> chain{first};
  const SectorNo fatStart = copy == 1 ? ctx_.vp.fat1Start : ctx_.vp.fat2Start;
  if (fatStart == 0) return chain;
  const bool fat32 = ctx_.vp.fsType == FsType::Fat32;
  const std::uint32_t perSector = fat32 ? 128 : 256;
  std::uint32_t c = first;
  while (!interrupted()) {
    const std::uint32_t index = c / perSector;
    // An entry beyond the table cannot belong to a chain.
    if (ctx_.vp.sectorsPerFat != 0 && index >= ctx_.vp.sectorsPerFat) break;
    const std::uint64_t sector = static_cast<std::uint64_t>(fatStart) + index;
    if (sector != fatCacheSector_) {
      fatCacheOk_ = ctx_.reader.readSectorsClearing(sector, 1, fatCache_.data());
      fatCacheSector_ = sector;
    }
    if (!fatCacheOk_) break;
    const Bytes s(fatCache_.data(), fatCache_.size());
    std::uint32_t v;
    if (fat32) {
      v = rd32(s, (c % 128) * 4);
      if (v < 2 || v > 0x0FFFFFFEu) break;
    } else {
      v = rd16(s, (c % 256) * 2);
      if (v < 2 || v == 0xFFFFu) break;
    }
    chain.push_back(v);
    c = v;
    if (chain.size() > count) break;
  }
  return chain;
}

CopyResult Extractor::copyFatFile(FileCopyRequest& req) {
  CopyResult r;
  if (stopRequested()) {
    r.status = CopyStatus::Stopped;
    return r;
  }
  flags_.skipFileRequested.store(0);
  std::string target = joinPath(req.targetFolder, safeComponent(req.name));
  r.path = target;
  const std::uint32_t spc = ctx_.vp.sectorsPerCluster;
  if (spc == 0) {
    r.status = CopyStatus::Unreadable;
    result_.errors.push_back(target + ": the volume has no cluster size");
    return r;
  }
  if (req.recoverMode == RecoverMode::Recover && !applyPolicies(req, target)) {
    r.status = CopyStatus::Refused;
    r.path = target;
    return r;
  }
  Output out;
  if (!createTarget(target, out)) {
    r.status = CopyStatus::CreateFailed;
    r.path = target;
    return r;
  }
  if (req.recoverMode == RecoverMode::Recover) {
    ++result_.filesSaved;
    obs_.text("Path", req.targetFolder);
    obs_.text("File Name", req.name);
    obs_.counter("Total Files", result_.filesSaved - 1);
    obs_.progress(0);
    lastPercent_ = 0;
  }
  const std::uint64_t size = req.size;
  const std::uint64_t clusterSectors = spc;
  if (size > 0) {
    const std::uint64_t clusters = (size + clusterSectors * kSectorSize - 1) / (clusterSectors * kSectorSize);
    const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, UINT32_MAX - 1));
    std::vector<std::uint32_t> chain = buildClusterChain(req.location, k, 1);
    if (chain.size() != k) chain = buildClusterChain(req.location, k, 2);
    if (chain.size() != k) chain.clear();  // read contiguously from the first cluster

    auto stretchOf = [&](std::uint64_t cluster) { return ctx_.vp.clusterBase + cluster * clusterSectors; };
    Stretch st = Stretch::Ok;
    if (chain.empty()) {
      st = copyStretch(out, stretchOf(req.location), clusters * clusterSectors, size, req.recoverMode);
    } else {
      // Consecutive clusters of the chain are read as one stretch.
      for (std::size_t i = 0; i < chain.size() && st == Stretch::Ok && out.written < size;) {
        std::size_t j = i + 1;
        while (j < chain.size() && chain[j] == chain[j - 1] + 1) ++j;
        st = copyStretch(out, stretchOf(chain[i]), (j - i) * clusterSectors, size, req.recoverMode);
        i = j;
      }
    }
  }
  finishFile(out, r, size, req);
  return r;
}

CopyResult Extractor::writeRunList(const std::string& target, std::uint64_t size, const RunList& runs,
                                   RecoverMode mode) {
  CopyResult r;
  r.path = target;
  if (mode == RecoverMode::Recover && stopRequested()) {
    r.status = CopyStatus::Stopped;
    return r;
  }
  if (mode == RecoverMode::Recover) {
    obs_.progress(0);
    lastPercent_ = 0;
  }
  Output out;
  if (!createTarget(target, out)) {
    r.status = CopyStatus::CreateFailed;
    return r;
  }
  out.runsDamaged = runs.damaged;
  const std::uint64_t clusterSectors = ctx_.vp.sectorsPerCluster;
  const std::uint64_t clusterBytes = clusterSectors * kSectorSize;
  for (const DataRun& run : runs.runs) {
    if (out.written >= size || interrupted()) break;
    if (run.sparse) {
      // A hole of a sparse file: zeros, left as a hole in the target too.
      const auto bytes = static_cast<std::uint64_t>(
          std::min<unsigned __int128>(static_cast<unsigned __int128>(run.length) * clusterBytes, size - out.written));
      if (::lseek(out.fd, static_cast<off_t>(bytes), SEEK_CUR) < 0) {
        out.writeErrno = errno;
        break;
      }
      out.holes = true;
      if (ctx_.sink) {
        ctx_.sink->source(0, bytes, true);
        ctx_.sink->zeros(bytes);
      }
      out.written += bytes;
      progress(out.written, size, mode);
      continue;
    }
    const std::uint64_t first = ctx_.vp.clusterBase + static_cast<std::uint64_t>(run.startCluster) * clusterSectors;
    Stretch st = copyStretch(out, first, run.length * clusterSectors, size, mode);
    if (st != Stretch::Ok) break;
  }
  FileCopyRequest none;
  none.hasTime = false;
  finishFile(out, r, size, none);
  return r;
}

CopyResult Extractor::copyNtfsFile(FileCopyRequest& req) {
  CopyResult r;
  if (stopRequested()) {
    r.status = CopyStatus::Stopped;
    return r;
  }
  if (req.size == 0) {
    r.status = CopyStatus::Empty;
    return r;
  }
  flags_.skipFileRequested.store(0);
  std::string target = joinPath(req.targetFolder, safeComponent(req.name));
  r.path = target;
  if (ctx_.vp.sectorsPerCluster == 0) {
    r.status = CopyStatus::Unreadable;
    result_.errors.push_back(target + ": the volume has no cluster size");
    return r;
  }
  if (req.recoverMode == RecoverMode::Recover) {
    if (!applyPolicies(req, target)) {
      r.status = CopyStatus::Refused;
      r.path = target;
      return r;
    }
    r.path = target;
    obs_.text("Path", target);
    obs_.text("File Name", req.name);
    obs_.counter("Total Files", result_.filesSaved);
    obs_.progress(0);
    lastPercent_ = 0;
  }

  std::vector<std::uint8_t> rec(kMftRecordSize, 0);
  ctx_.reader.readSectorsClearing(req.location, 2, rec.data());
  applyFixup(std::span<std::uint8_t>(rec));
  const Bytes record(rec.data(), rec.size());
  const DataAttribute a = findUnnamedData(record);
  if (!a.found) {
    r.status = CopyStatus::NoData;
    result_.errors.push_back(target + ": the file record at sector " + dec(req.location) + " holds no usable data");
    return r;
  }

  if (a.resident) {
    const std::size_t value = a.offset + 24;
    if (value + req.size > 1023) {
      r.status = CopyStatus::NoData;
      result_.errors.push_back(target + ": the resident data runs past the end of its file record");
      return r;
    }
    Output out;
    if (!createTarget(target, out)) {
      r.status = CopyStatus::CreateFailed;
      return r;
    }
    if (out.writeAll(rec.data() + value, static_cast<std::size_t>(req.size))) {
      out.written = req.size;
      if (ctx_.sink) {
        // On the disk the last two bytes of each sector of the record hold
        // the update sequence number; their true bytes are in the update
        // sequence array, and the source runs say so.
        const std::uint64_t at = static_cast<std::uint64_t>(req.location) * kSectorSize;
        const std::size_t usa = rd16(record, 4);
        const std::size_t end = value + static_cast<std::size_t>(req.size);
        for (std::size_t pos = value; pos < end;) {
          const std::size_t sector = pos / kSectorSize;
          const std::size_t tail = (sector + 1) * kSectorSize - 2;
          const std::size_t n = pos < tail ? std::min(end, tail) - pos : std::min(end, tail + 2) - pos;
          ctx_.sink->source(pos < tail ? at + pos : at + usa + 2 + 2 * sector + (pos - tail), n, false);
          pos += n;
        }
        ctx_.sink->data(rec.data() + value, static_cast<std::size_t>(req.size));
      }
    }
    if (req.recoverMode == RecoverMode::Recover) ++result_.filesSaved;
    finishFile(out, r, req.size, req);
    return r;
  }

  const RunList runs = decodeDataRuns(record, a.offset);
  if (runs.runs.empty()) {
    r.status = CopyStatus::NothingToWrite;
    result_.errors.push_back(target + (runs.damaged ? ": the data runs are damaged" : ": the file record lists no data") +
                             "; nothing written");
    return r;
  }
  r = writeRunList(target, req.size, runs, req.recoverMode);
  if (r.status == CopyStatus::Written) {
    if (req.hasTime) setTimesFromFiletime(r.path, req.fileTime);
    if (req.recoverMode == RecoverMode::Recover) ++result_.filesSaved;
  }
  return r;
}

void Extractor::copyFatRecord(std::size_t index, const std::string& folder) {
  const FatFileNode& f = ctx_.tree.fatFiles[index];
  FileCopyRequest req;
  req.targetFolder = folder;
  req.name = f.name;
  req.size = f.size;
  req.location = f.firstCluster;
  req.listId = f.fileIndex;
  req.recoverMode = RecoverMode::Recover;
  req.deleted = f.deleted;
  req.fatDate = f.writeDate;
  req.record = static_cast<std::int64_t>(index);
  req.recoverable = f.recoverable;
  copyWatched(req, true);
}

void Extractor::copyNtfsRecord(std::size_t index, const std::string& folder) {
  const NtfsFileNode& f = ctx_.ntfsFiles.list()[index];
  FileCopyRequest req;
  req.targetFolder = folder;
  req.name = f.name;
  req.size = f.size;
  req.location = f.dataRecordSector;
  req.recoverMode = RecoverMode::Recover;
  req.deleted = f.deleted;
  req.fileTime = f.creationTime;
  req.record = static_cast<std::int64_t>(index);
  req.recoverable = f.recoverable;
  copyWatched(req, false);
}

CopyResult Extractor::copyWatched(FileCopyRequest& req, bool fat) {
  if (!ctx_.sink) return fat ? copyFatFile(req) : copyNtfsFile(req);
  const std::size_t errorsBefore = result_.errors.size();
  ctx_.sink->begin(req);
  CopyResult r = fat ? copyFatFile(req) : copyNtfsFile(req);
  const std::vector<std::string> problems(result_.errors.begin() + static_cast<std::ptrdiff_t>(errorsBefore),
                                          result_.errors.end());
  ctx_.sink->end(req, r, problems);
  return r;
}

void Extractor::copyFolderFiles(bool fat, std::uint32_t identity, const std::string& path) {
  if (fat) {
    const std::vector<std::uint32_t> files = ctx_.tree.fatFileChildren(identity);
    for (std::uint32_t i : files) {
      if (stopRequested()) return;
      copyFatRecord(i, path);
    }
  } else {
    ctx_.ntfsFiles.forEachChild(identity, [&](std::size_t i) {
      if (!stopRequested()) copyNtfsRecord(i, path);
    });
  }
}

void Extractor::copyFolder(bool fat, std::uint32_t item, std::uint32_t identity, const std::string& parentPath,
                           std::string_view name) {
  if (stopRequested()) return;
  const FolderTree& tree = ctx_.tree.folderTree();
  struct Frame {
    std::uint32_t item;
    std::string path;
    std::size_t next;
  };
  std::string path = joinPath(parentPath, safeComponent(name));
  makeDirectoryPath(path);
  copyFolderFiles(fat, identity, path);
  // Depth first over the folder tree, without recursion: a damaged volume
  // can nest folders very deeply.
  std::vector<Frame> stack{{item, std::move(path), 0}};
  while (!stack.empty() && !stopRequested()) {
    Frame& top = stack.back();
    if (!tree.valid(top.item) || top.next >= tree.item(top.item).children.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t child = tree.item(top.item).children[top.next++];
    const TreeItem& ci = tree.item(child);
    const std::int64_t folder = ci.folder;
    std::uint32_t childId;
    if (fat) {
      if (folder < 0 || static_cast<std::size_t>(folder) >= ctx_.tree.fatFolders.size()) continue;
      childId = ctx_.tree.fatFolders[static_cast<std::size_t>(folder)].firstCluster;
    } else {
      if (folder < 0 || static_cast<std::size_t>(folder) >= ctx_.tree.ntfsFolders.size()) continue;
      childId = ctx_.tree.ntfsFolders[static_cast<std::size_t>(folder)].recordNumber;
    }
    std::string childPath = joinPath(top.path, safeComponent(ci.label));
    makeDirectoryPath(childPath);
    copyFolderFiles(fat, childId, childPath);
    stack.push_back({child, std::move(childPath), 0});
  }
}

void Extractor::copyFatFolder(std::uint32_t item, std::uint32_t firstCluster, const std::string& parentPath,
                              std::string_view name) {
  copyFolder(true, item, firstCluster, parentPath, name);
}

void Extractor::copyNtfsFolder(std::uint32_t item, std::uint32_t recordNumber, const std::string& parentPath,
                               std::string_view name) {
  copyFolder(false, item, recordNumber, parentPath, name);
}

std::int64_t Extractor::ntfsFileBySector(SectorNo s) {
  if (!ntfsIndexed_) {
    ctx_.ntfsFiles.forEach([&](std::size_t i) {
      ntfsBySector_.try_emplace(ctx_.ntfsFiles.list()[i].dataRecordSector, static_cast<std::uint32_t>(i));
    });
    ntfsIndexed_ = true;
  }
  auto it = ntfsBySector_.find(s);
  return it == ntfsBySector_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

void Extractor::recoverRows(std::span<const ListRow> rows, const std::string& destination) {
  const FsType fs = ctx_.vp.fsType;
  if (fs != FsType::Fat16 && fs != FsType::Fat32 && fs != FsType::Ntfs) return;
  const bool fat = isFat(fs);
  for (const ListRow& row : rows) {
    if (stopRequested()) break;
    if (row.folder) {
      if (row.id > UINT32_MAX) continue;
      const auto item = static_cast<std::uint32_t>(row.id);
      const std::int64_t idx = ctx_.tree.folderOfItem(item);
      if (idx < 0) continue;  // no folder record: the row is passed over
      const auto i = static_cast<std::size_t>(idx);
      if (fat) {
        if (i >= ctx_.tree.fatFolders.size()) continue;
        const FatFolderNode& f = ctx_.tree.fatFolders[i];
        copyFatFolder(item, f.firstCluster, destination, f.name);
      } else {
        if (i >= ctx_.tree.ntfsFolders.size()) continue;
        const NtfsFolderNode& f = ctx_.tree.ntfsFolders[i];
        copyNtfsFolder(item, f.recordNumber, destination, f.name);
      }
      continue;
    }
    if (row.id > UINT32_MAX) continue;
    if (fat) {
      const std::int64_t idx = ctx_.tree.findFatFileByIndex(static_cast<std::uint32_t>(row.id));
      if (idx >= 0) copyFatRecord(static_cast<std::size_t>(idx), destination);
      continue;
    }
    FileCopyRequest req;
    req.targetFolder = destination;
    req.name = row.name;
    req.size = row.size;
    req.location = static_cast<SectorNo>(row.id);
    req.recoverMode = RecoverMode::Recover;
    const std::int64_t idx = ntfsFileBySector(req.location);
    if (idx >= 0) {
      const NtfsFileNode& f = ctx_.ntfsFiles.list()[static_cast<std::size_t>(idx)];
      req.deleted = f.deleted;
      req.fileTime = f.creationTime;
      req.record = idx;
      req.recoverable = f.recoverable;
    } else {
      req.hasTime = false;
    }
    copyWatched(req, false);
  }
}

RecoveryResult recoverListRows(RecoveryContext& ctx, std::span<const ListRow> rows, const std::string& destination,
                               RecoveryFlags& flags, Observer& obs) {
  flags.saveStopRequested.store(0);
  Extractor ex(ctx, flags, obs);
  if (destination.empty()) {
    ex.result().errors.push_back("no destination folder");
  } else {
    ex.recoverRows(rows, destination);
  }
  ex.result().stopped = flags.saveStopRequested.load() != 0;
  flags.saveStopRequested.store(0);
  return std::move(ex.result());
}

CopyResult copyRowForOpen(RecoveryContext& ctx, const ListRow& row, const std::string& folder, RecoveryFlags& flags,
                          Observer& obs) {
  flags.saveStopRequested.store(0);
  flags.skipFileRequested.store(0);
  CopyResult r;
  if (row.folder || row.id > UINT32_MAX) return r;
  Extractor ex(ctx, flags, obs);
  FileCopyRequest req;
  req.targetFolder = folder;
  req.recoverMode = RecoverMode::Open;
  if (isFat(ctx.vp.fsType)) {
    const std::int64_t idx = ctx.tree.findFatFileByIndex(static_cast<std::uint32_t>(row.id));
    if (idx < 0) return r;
    const FatFileNode& f = ctx.tree.fatFiles[static_cast<std::size_t>(idx)];
    req.name = f.name;
    req.size = f.size;
    req.location = f.firstCluster;
    req.listId = f.fileIndex;
    req.deleted = f.deleted;
    req.fatDate = f.writeDate;
    return ex.copyFatFile(req);
  }
  if (ctx.vp.fsType != FsType::Ntfs) return r;
  req.name = row.name;
  req.size = row.size;
  req.location = static_cast<SectorNo>(row.id);
  const std::int64_t idx = ctx.ntfsFiles.findBySector(req.location);
  if (idx >= 0) {
    const NtfsFileNode& f = ctx.ntfsFiles.list()[static_cast<std::size_t>(idx)];
    req.deleted = f.deleted;
    req.fileTime = f.creationTime;
  } else {
    req.hasTime = false;
  }
  return ex.copyNtfsFile(req);
}

}  // namespace osprin
