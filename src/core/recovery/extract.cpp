#include "recovery/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "common/bytes.h"
#include "common/text.h"
#include "fat/fat_table.h"
#include "ntfs/compression.h"
#include "ntfs/lznt1.h"
#include "ntfs/record.h"

namespace osprin {

namespace {

// Sectors per read request when a stretch of the disk is contiguous: many
// read units at once, a multiple of every unit (1, 8, 16).
constexpr std::uint64_t kChunkSectors = 2048;  // 1 MiB
constexpr std::size_t kMaxComponent = 255;     // NAME_MAX of Linux file systems
constexpr std::uint32_t kMaxDuplicateTries = 1000000;
// The name of a file while it is written: ".osprin-partial-PID-N".
constexpr std::string_view kPartialPrefix = ".osprin-partial-";

std::string joinPath(const std::string& folder, std::string_view component) {
  std::string p = folder;
  if (p.empty() || p.back() != '/') p += '/';
  p += component;
  return p;
}

std::string errnoText(int e) { return std::strerror(e); }

bool setTimes(const std::string& path, const timespec& t) {
  timespec times[2] = {t, t};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string hexTag(std::uint32_t tag) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, tag >>= 4) out[static_cast<std::size_t>(i)] = digits[tag & 0xF];
  return out;
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

namespace {

// FAT keeps the wall-clock time of the machine that wrote the entry and no
// zone: it is taken in this machine's zone, so that the copy shows the clock
// time that Windows showed (as the kernel's vfat driver does). A damaged
// time of day leaves the date alone; a date that is not a calendar date
// gives no time.
bool timeFromFatTime(std::uint16_t fatDate, std::uint16_t fatTime, timespec& t) {
  const unsigned day = fatDate & 0x1Fu;
  const unsigned month = (fatDate >> 5) & 0x0Fu;
  const int year = 1980 + (fatDate >> 9);
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > mdays[month - 1] + (month == 2 && leap ? 1u : 0u)) return false;
  unsigned hour = fatTime >> 11, minute = (fatTime >> 5) & 0x3Fu, second = (fatTime & 0x1Fu) * 2u;
  if (hour > 23 || minute > 59 || second > 59) hour = minute = second = 0;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = static_cast<int>(month) - 1;
  tm.tm_mday = static_cast<int>(day);
  tm.tm_hour = static_cast<int>(hour);
  tm.tm_min = static_cast<int>(minute);
  tm.tm_sec = static_cast<int>(second);
  tm.tm_isdst = -1;
  const time_t when = ::mktime(&tm);
  if (when == static_cast<time_t>(-1)) return false;
  t = timespec{};
  t.tv_sec = when;
  return true;
}

bool timeFromFiletime(std::uint64_t filetime, timespec& t) {
  constexpr std::int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
  t = timespec{};
  t.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(filetime / 10000000ULL) - kEpochDelta);
  t.tv_nsec = static_cast<long>(filetime % 10000000ULL) * 100;
  return true;
}

}  // namespace

bool setTimesFromFatTime(const std::string& path, std::uint16_t fatDate, std::uint16_t fatTime) {
  timespec t{};
  return timeFromFatTime(fatDate, fatTime, t) && setTimes(path, t);
}

bool setTimesFromFiletime(const std::string& path, std::uint64_t filetime) {
  timespec t{};
  timeFromFiletime(filetime, t);
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
  eachAttribute(rec, [&](std::size_t off, std::uint32_t type, std::uint32_t) {
    if (type != 0x80 || rd8(rec, off + 9) != 0) return false;  // not $DATA, or a named stream
    const std::uint8_t nonResident = rd8(rec, off + 8);
    if (nonResident > 1) return true;
    a.found = true;
    a.resident = nonResident == 0;
    a.offset = off;
    return true;
  });
  return a;
}

// ---------------------------------------------------------------------------
// Extractor

struct Extractor::Output {
  // Every byte of a recovered file reaches it through writeAll, a hole
  // (sparse runs), or Extractor::copyInKernel; `written` counts them all.
  int fd = -1;
  int dirFd = -1;           // the folder the file goes into (not owned)
  std::string path;         // the final path, as the user is told it
  std::string name;         // the final name inside the folder
  std::string temp;         // the name while it is being written ("" once renamed)
  std::uint64_t written = 0;
  bool holes = false;       // sparse stretches skipped with lseek
  bool readFailed = false;  // some sectors could not be read (written as zeros)
  bool pastEnd = false;     // the data reaches past the end of the disk
  bool runsDamaged = false; // the run list ended at a field that cannot be taken
  int writeErrno = 0;
  bool interrupted = false;  // a stop, "S&kip File" or a full destination cut the copy short
  std::vector<ByteRange> zeroFilled;
  ~Output() {
    if (fd >= 0) ::close(fd);
    if (!temp.empty() && dirFd >= 0) ::unlinkat(dirFd, temp.c_str(), 0);  // a partial file never stays
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
  // Bytes offset .. offset + length - 1 were written as zeros.
  void zeroFilledAt(std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return;
    if (!zeroFilled.empty() && zeroFilled.back().offset + zeroFilled.back().length == offset)
      zeroFilled.back().length += length;
    else
      zeroFilled.push_back({offset, length});
  }
};

const char* fileOutcomeText(FileOutcome o) {
  switch (o) {
    case FileOutcome::Whole: return "written whole";
    case FileOutcome::Incomplete: return "incomplete";
    case FileOutcome::NotDecoded: return "not decoded";
    case FileOutcome::Failed: return "failed";
    case FileOutcome::Skipped: return "skipped";
  }
  return "failed";
}

std::size_t RecoveryResult::problemCount() const {
  return static_cast<std::size_t>(
      std::count_if(files.begin(), files.end(), [](const FileResult& f) { return isProblem(f.outcome); }));
}

bool isPartialName(std::string_view name) { return name.rfind(kPartialPrefix, 0) == 0; }

Extractor::Extractor(RecoveryContext& ctx, RecoveryFlags& flags, Observer& obs)
    : ctx_(ctx), flags_(flags), obs_(obs), buf_(kChunkSectors * kSectorSize) {
  readerStop_ = std::make_unique<SectorReader::StopScope>(ctx_.reader, [this] { return interrupted(); });
}

Extractor::~Extractor() {
  for (auto& [path, f] : folders_)
    if (f.fd >= 0) ::close(f.fd);
}

bool Extractor::stopRequested() const { return flags_.saveStopRequested.load() != 0; }

bool Extractor::interrupted() const {
  return flags_.saveStopRequested.load() != 0 || flags_.skipFileRequested.load() != 0 || result_.destinationFull;
}

void Extractor::progress(std::uint64_t done, std::uint64_t total, RecoverMode mode) {
  if (mode != RecoverMode::Recover) return;
  int p = percentOf(done, total);
  if (p == lastPercent_) return;
  lastPercent_ = p;
  obs_.progress(p);
}

void Extractor::addResult(const std::string& path, std::uint64_t size, std::uint64_t written, FileOutcome outcome,
                       std::string reason, std::vector<ByteRange> zeroFilled) {
  FileResult f;
  f.outcome = outcome;
  f.path = path;
  f.size = size;
  f.written = written;
  f.zeroFilled = std::move(zeroFilled);
  f.reason = std::move(reason);
  result_.files.push_back(std::move(f));
}

const Extractor::Folder& Extractor::folderAt(const std::string& path) {
  auto it = folders_.find(path);
  if (it != folders_.end()) return it->second;
  Folder f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (f.fd < 0 && errno == ENOENT && makeDirectoryPath(path)) f.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (f.fd < 0) f.error = "cannot open the folder " + path + ": " + errnoText(errno);
  return folders_.emplace(path, std::move(f)).first->second;
}

std::string Extractor::enterFolder(const std::string& parentPath, std::string_view name) {
  const std::string component = safeComponent(name);
  std::string path = joinPath(parentPath, component);
  auto known = folders_.find(path);
  if (known != folders_.end()) {
    if (known->second.refs > 0) ++known->second.refs;
    return path;
  }
  const Folder& parent = folderAt(parentPath);
  Folder f;
  f.refs = 1;
  if (parent.fd < 0) {
    f.error = parent.error;
  } else {
    // Made and opened relative to its parent; a symbolic link in the way is
    // never followed (it could lead out of the destination).
    if (::mkdirat(parent.fd, component.c_str(), 0777) != 0 && errno != EEXIST) {
      f.error = "cannot create the folder " + path + ": " + errnoText(errno);
    } else {
      f.fd = ::openat(parent.fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (f.fd < 0) {
        const int e = errno;
        struct stat st {};
        if (::fstatat(parent.fd, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
          f.error = path + " is a symbolic link in the destination; it is not followed, and nothing is written below it";
        else if (e == ENOTDIR)
          f.error = path + " is a file in the destination where a folder should go";
        else
          f.error = "cannot open the folder " + path + ": " + errnoText(e);
      }
    }
    if (f.fd < 0) result_.errors.push_back(f.error);
  }
  folders_.emplace(path, std::move(f));
  return path;
}

void Extractor::leaveFolder(const std::string& path) {
  auto it = folders_.find(path);
  if (it == folders_.end() || it->second.refs == 0) return;
  if (--it->second.refs > 0) return;
  if (it->second.fd >= 0) ::close(it->second.fd);
  folders_.erase(it);
}

namespace {

// The folder part and the name of a target path.
std::pair<std::string, std::string> splitTarget(const std::string& target) {
  const auto slash = target.rfind('/');
  if (slash == std::string::npos) return {".", target};
  return {slash == 0 ? std::string("/") : target.substr(0, slash), target.substr(slash + 1)};
}

}  // namespace

bool Extractor::existsInFolder(const std::string& target) {
  auto [folder, name] = splitTarget(target);
  const Folder& f = folderAt(folder);
  if (f.fd < 0) return false;
  struct stat st {};
  return ::fstatat(f.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Extractor::applyPolicies(FileCopyRequest& req, std::string& target) {
  if (!ctx_.filters.passes(req.name)) return false;
  if (!ctx_.settings.takesDeletedState(req.deleted)) return false;
  if (req.deleted && ctx_.settings.onlyIntact && req.recoverable.verdict != Verdict::Intact) return false;
  if (!existsInFolder(target)) return true;
  switch (ctx_.settings.duplicatePolicy) {
    case DuplicatePolicy::Skip:
      addResult(target, req.size, 0, FileOutcome::Skipped, "a file of that name exists (Skip duplicate file(s))");
      return false;
    case DuplicatePolicy::Overwrite:
      return true;
    case DuplicatePolicy::Rename:
      break;
  }
  for (std::uint32_t n = 1; n <= kMaxDuplicateTries; ++n) {
    std::string candidate = duplicateName(req.name, n);
    std::string t = joinPath(req.targetFolder, safeComponent(candidate));
    if (!existsInFolder(t)) {
      req.name = std::move(candidate);
      target = std::move(t);
      return true;
    }
  }
  return true;  // every candidate taken: giving the file its name reports the clash
}

bool Extractor::createTarget(const std::string& target, Output& out) {
  out.path = target;
  auto [folder, name] = splitTarget(target);
  out.name = name;
  const Folder& f = folderAt(folder);
  std::string error;
  int e = 0;
  if (f.fd < 0) {
    // The folder was reported once when it could not be made.
    addResult(target, 0, 0, FileOutcome::Failed, f.error);
    return false;
  } else {
    // Written under a name that says it is partial; finishFile gives it its
    // real name once it is written to its end.
    out.dirFd = f.fd;
    out.temp = std::string(kPartialPrefix) + dec(static_cast<std::uint64_t>(::getpid())) + "-" + dec(++partialCount_);
    out.fd = ::openat(f.fd, out.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.fd >= 0) return true;
    e = errno;
    out.temp.clear();
    error = "cannot create " + target + ": " + errnoText(e);
    if (e == ENOSPC || e == EDQUOT) result_.destinationFull = true;
  }
  result_.errors.push_back(error);
  addResult(target, 0, 0, FileOutcome::Failed, error);
  if (!result_.destinationFull && !obs_.ask("Error creating file : " + target + " (" + errnoText(e) + ").  Continue Recovery ? "))
    flags_.saveStopRequested.store(1);
  return false;
}

bool Extractor::openTarget(const std::string& target, std::uint64_t size, CopyResult& r, Output& out) {
  r.path = target;
  if (result_.destinationFull) {
    r.status = CopyStatus::Stopped;
    r.outcome = FileOutcome::Failed;
    addResult(target, size, 0, FileOutcome::Failed, "not written: the destination is full");
    return false;
  }
  if (!createTarget(target, out)) {
    r.status = CopyStatus::CreateFailed;
    r.outcome = FileOutcome::Failed;
    return false;
  }
  return true;
}

Extractor::Stretch Extractor::copyStretch(Output& out, std::uint64_t firstSector, std::uint64_t sectors,
                                          std::uint64_t size, RecoverMode mode) {
  const std::uint64_t unit = readUnit(ctx_.vp.sectorsPerCluster);
  const std::uint64_t total = ctx_.reader.totalSectors();
  std::uint64_t done = 0;
  if (ctx_.sink && out.written < size)
    ctx_.sink->source(firstSector * kSectorSize, std::min(sectors * kSectorSize, size - out.written), false);
  while (out.written < size && done < sectors) {
    if (interrupted()) {
      out.interrupted = true;
      return Stretch::Interrupted;
    }
    // Every quantity is bounded before it is rounded, so that a size near
    // 2^64 cannot wrap to a request of nothing.
    const std::uint64_t remaining = size - out.written;
    std::uint64_t n = std::min(sectors - done, remaining / kSectorSize + (remaining % kSectorSize != 0 ? 1 : 0));
    n = std::min(n, kChunkSectors);
    n = std::min(sectors - done, (n + unit - 1) / unit * unit);  // whole read units
    n = std::min(n, kChunkSectors);
    if (firstSector > UINT64_MAX - done) {
      out.pastEnd = true;
      return Stretch::PastEnd;
    }
    const std::uint64_t start = firstSector + done;
    if (total > 0) {
      if (start >= total) {
        out.pastEnd = true;
        return Stretch::PastEnd;
      }
      n = std::min(n, total - start);
    }
    if (n == 0) return Stretch::PastEnd;  // cannot happen; every pass must advance
    const std::uint64_t want = std::min<std::uint64_t>(n * kSectorSize, remaining);
    // From an image file the kernel copies the bytes itself, without a trip
    // through our buffer; whatever it did not copy goes the usual way. A
    // sink sees the bytes of our own read of the chunk (writing them from
    // the buffer would cost far more than the kernel's copy).
    std::vector<SectorRange> unread;
    bool chunkRead = false, chunkOk = true;
    if (ctx_.sink) {
      chunkOk = ctx_.reader.readSectorsClearing(start, static_cast<std::uint32_t>(n), buf_.data(), &unread);
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
    // of an earlier read; the file's ranges of them are kept.
    const bool readOk =
        chunkRead ? chunkOk : ctx_.reader.readSectorsClearing(start, static_cast<std::uint32_t>(n), buf_.data(), &unread);
    if (!readOk) {
      // A stop while bad sectors were narrowed down leaves sectors unread
      // that are not known to be bad: the file ends here.
      if (interrupted()) {
        out.interrupted = true;
        return Stretch::Interrupted;
      }
      out.readFailed = true;
      ++result_.failedReads;
    }
    const std::uint64_t bytes = std::min<std::uint64_t>(n * kSectorSize, remaining);
    for (const SectorRange& r : unread) {
      const std::uint64_t from = (r.first - start) * kSectorSize;
      if (from >= bytes) break;
      out.zeroFilledAt(out.written + from, std::min(r.count * kSectorSize, bytes - from));
    }
    if (!out.writeAll(buf_.data(), static_cast<std::size_t>(bytes))) return Stretch::WriteFailed;
    if (ctx_.sink) {
      for (const SectorRange& r : unread) {
        const std::uint64_t from = (r.first - start) * kSectorSize;
        if (from >= bytes) break;
        ctx_.sink->unreadable(out.written + from, std::min(r.count * kSectorSize, bytes - from));
      }
      ctx_.sink->data(buf_.data(), static_cast<std::size_t>(bytes));
    }
    out.written += bytes;
    done += n;
    progress(out.written, size, mode);
  }
  return Stretch::Ok;
}

std::uint64_t Extractor::copyInKernel(Output& out, std::uint64_t firstSector, std::uint64_t bytes) {
  if (!kernelCopy_) return 0;
  auto* file = dynamic_cast<FileBlockSource*>(ctx_.reader.source());
  if (!file || !ctx_.reader.unreadable().empty()) {
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
      // the image is left to the usual path, which handles both (and a full
      // destination shows there as a failed write).
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
  // "S&kip File", "&Stop Saving", a full destination.
  const bool cut = out.interrupted || (interrupted() && out.written < size);
  if (out.writeErrno == 0 && !cut && req.hasTime) {
    timespec t{};
    const bool haveTime = usesFatTree(ctx_.vp.fsType) && req.fileTime == 0 ? timeFromFatTime(req.fatDate, req.fatTime, t)
                                                                          : timeFromFiletime(req.fileTime, t);
    if (haveTime) {
      timespec times[2] = {t, t};
      ::futimens(out.fd, times);
    }
  }
  if (::close(out.fd) != 0 && out.writeErrno == 0) out.writeErrno = errno;
  out.fd = -1;
  if (out.writeErrno == ENOSPC || out.writeErrno == EDQUOT) result_.destinationFull = true;
  r.path = out.path;
  r.written = out.written;
  const std::string counts = dec(out.written) + " of " + dec(size) + " bytes written";
  std::string reason;
  if (out.writeErrno != 0 || cut) {
    // Never left under its real name, and never counted as saved: the
    // partial file is removed (by ~Output).
    r.status = CopyStatus::Stopped;
    r.complete = false;
    r.written = 0;
    if (result_.destinationFull) {
      reason = "the destination is full; the partial file was removed";
    } else if (out.writeErrno != 0) {
      reason = "write failed: " + errnoText(out.writeErrno) + "; the partial file was removed";
    } else if (flags_.skipFileRequested.load() != 0) {
      r.outcome = FileOutcome::Skipped;
      addResult(out.path, size, 0, FileOutcome::Skipped, "skipped while it was being written (S&kip File)");
      return;
    } else {
      reason = "the recovery was stopped while it was being written; the partial file was removed";
    }
    r.outcome = FileOutcome::Failed;
    result_.errors.push_back(out.path + ": " + reason + " (" + counts + ")");
    addResult(out.path, size, 0, FileOutcome::Failed, reason);
    return;
  }
  // Written to its end: it gets its real name. Overwrite (and Open) may
  // replace a file of that name; otherwise an existing name is never
  // replaced. A symbolic link of that name is replaced, never followed.
  const bool replace =
      req.recoverMode == RecoverMode::Open || ctx_.settings.duplicatePolicy == DuplicatePolicy::Overwrite;
  int rc = replace ? ::renameat(out.dirFd, out.temp.c_str(), out.dirFd, out.name.c_str())
                   : ::renameat2(out.dirFd, out.temp.c_str(), out.dirFd, out.name.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && !replace && errno == EINVAL) {
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    rc = ::linkat(out.dirFd, out.temp.c_str(), out.dirFd, out.name.c_str(), 0);
    if (rc == 0) ::unlinkat(out.dirFd, out.temp.c_str(), 0);
  }
  if (rc != 0) {
    const int e = errno;
    struct stat st {};
    if ((e == EISDIR || e == EEXIST || e == ENOTEMPTY) &&
        ::fstatat(out.dirFd, out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      reason = "a folder of that name is in the way";
    else if (e == EEXIST)
      reason = "a file of that name appeared while it was written";
    else
      reason = "the destination refuses the name: " + errnoText(e);
    r.status = CopyStatus::CreateFailed;
    r.complete = false;
    r.written = 0;
    r.outcome = FileOutcome::Failed;
    result_.errors.push_back(out.path + ": " + reason);
    addResult(out.path, size, 0, FileOutcome::Failed, reason);
    if (!obs_.ask("Error creating file : " + out.path + " (" + reason + ").  Continue Recovery ? ")) flags_.saveStopRequested.store(1);
    return;
  }
  out.temp.clear();
  r.status = CopyStatus::Written;
  if (req.recoverMode == RecoverMode::Recover) ++result_.filesSaved;
  r.complete = out.written >= size && out.zeroFilled.empty();
  r.outcome = r.complete ? FileOutcome::Whole : FileOutcome::Incomplete;
  if (out.pastEnd)
    reason = "the file's data reaches past the end of the disk; " + counts;
  else if (out.written < size)
    reason = std::string(out.runsDamaged ? "the data runs are damaged; " : "the data runs end early; ") + counts;
  if (!reason.empty()) result_.errors.push_back(out.path + ": " + reason);
  if (!out.zeroFilled.empty()) {
    result_.errors.push_back(out.path + ": some sectors could not be read and were written as zeros");
    if (!reason.empty()) reason += "; ";
    reason += "unreadable sectors written as zeros";
  }
  if (!r.complete) result_.incomplete.push_back(out.path);
  addResult(out.path, size, out.written, r.outcome, reason, std::move(out.zeroFilled));
}

std::vector<std::uint32_t> Extractor::buildClusterChain(std::uint32_t first, std::uint32_t count, int copy) {
  std::optional<FatTable>& fat = copy == 1 ? fat1_ : fat2_;
  if (!fat) fat.emplace(ctx_.reader, copy == 1 ? ctx_.vp.fat1Start : ctx_.vp.fat2Start, ctx_.vp.sectorsPerFat,
                        ctx_.vp.fsType);
  // One cluster more than the size needs: a longer chain does not fit it.
  return fat->follow(first, std::uint64_t{count} + 1, [this] { return interrupted(); }).clusters;
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
  if (req.recoverMode == RecoverMode::Recover && !applyPolicies(req, target)) {
    r.status = CopyStatus::Refused;
    r.path = target;
    return r;
  }
  if (spc == 0) {
    r.status = CopyStatus::Unreadable;
    r.outcome = FileOutcome::Failed;
    result_.errors.push_back(target + ": the volume has no cluster size");
    addResult(target, req.size, 0, FileOutcome::Failed, "the volume has no cluster size");
    return r;
  }
  Output out;
  if (!openTarget(target, req.size, r, out)) return r;
  if (req.recoverMode == RecoverMode::Recover) {
    obs_.text(TextField::SaveFolder, req.targetFolder);
    obs_.text(TextField::SaveFileName, req.name);
    obs_.counter(Counter::FilesSaved, result_.filesSaved);
    obs_.progress(0);
    lastPercent_ = 0;
  }
  const std::uint64_t size = req.size;
  // exFAT: past the valid data length every reader of the volume sees zeros.
  const std::uint64_t valid = std::min(size, req.validLength);
  const std::uint64_t clusterSectors = spc;
  // An entry without a first cluster (an empty file) has nothing to read;
  // one that claims a size without a cluster ends short and is reported.
  if (valid > 0 && req.location >= 2 && req.location <= 0xFFFFFFFFu) {  // a FAT cluster number
    const std::uint64_t clusters = (size + clusterSectors * kSectorSize - 1) / (clusterSectors * kSectorSize);
    const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, UINT32_MAX - 1));
    const auto first = static_cast<std::uint32_t>(req.location);
    // exFAT's NoFatChain: the clusters are contiguous and the FAT holds no chain.
    std::vector<std::uint32_t> chain;
    if (!req.contiguous) {
      chain = buildClusterChain(first, k, 1);
      if (chain.size() != k && ctx_.vp.fat2Start != 0) chain = buildClusterChain(first, k, 2);
      if (chain.size() != k) chain.clear();  // read contiguously from the first cluster
    }

    auto stretchOf = [&](std::uint64_t cluster) { return ctx_.vp.clusterBase + cluster * clusterSectors; };
    Stretch st = Stretch::Ok;
    if (chain.empty()) {
      st = copyStretch(out, stretchOf(req.location), clusters * clusterSectors, valid, req.recoverMode);
    } else {
      // Consecutive clusters of the chain are read as one stretch.
      for (std::size_t i = 0; i < chain.size() && st == Stretch::Ok && out.written < valid;) {
        std::size_t j = i + 1;
        while (j < chain.size() && chain[j] == chain[j - 1] + 1) ++j;
        st = copyStretch(out, stretchOf(chain[i]), (j - i) * clusterSectors, valid, req.recoverMode);
        i = j;
      }
    }
  }
  if (out.written == valid && valid < size && out.writeErrno == 0 && !interrupted())
    skipZeros(out, size - valid, size, req.recoverMode, true);
  finishFile(out, r, size, req);
  return r;
}

// The start that a file written from a run list shares: a stop or a full
// destination before it begins, the target created. False, with r filled,
// when nothing is to be written.
bool Extractor::beginRunListFile(const std::string& target, std::uint64_t size, const RunList& runs,
                                 RecoverMode mode, CopyResult& r, Output& out) {
  r.path = target;
  if (mode == RecoverMode::Recover && stopRequested()) {
    r.status = CopyStatus::Stopped;
    return false;
  }
  if (mode == RecoverMode::Recover) {
    obs_.progress(0);
    lastPercent_ = 0;
  }
  if (!openTarget(target, size, r, out)) return false;
  out.runsDamaged = runs.damaged;
  return true;
}

CopyResult Extractor::writeRunList(const std::string& target, std::uint64_t size, const RunList& runs,
                                   RecoverMode mode) {
  CopyResult r;
  Output out;
  if (!beginRunListFile(target, size, runs, mode, r, out)) return r;
  const std::uint64_t clusterSectors = ctx_.vp.sectorsPerCluster;
  const std::uint64_t clusterBytes = clusterSectors * kSectorSize;
  for (const DataRun& run : runs.runs) {
    if (out.written >= size || interrupted()) break;
    if (run.sparse) {
      // A hole of a sparse file: zeros, left as a hole in the target too.
      const auto bytes = static_cast<std::uint64_t>(
          std::min<unsigned __int128>(static_cast<unsigned __int128>(run.length) * clusterBytes, size - out.written));
      if (bytes > static_cast<std::uint64_t>(INT64_MAX) - out.written) {
        out.writeErrno = EFBIG;
        break;
      }
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
    // Sector numbers are bounded before they are formed: a run far beyond
    // any disk reads as past its end.
    const auto firstWide = static_cast<unsigned __int128>(ctx_.vp.clusterBase) +
                           static_cast<unsigned __int128>(static_cast<std::uint64_t>(run.startCluster)) * clusterSectors;
    const auto sectorsWide = static_cast<unsigned __int128>(run.length) * clusterSectors;
    const auto first = static_cast<std::uint64_t>(std::min<unsigned __int128>(firstWide, UINT64_MAX));
    const auto sectors = static_cast<std::uint64_t>(std::min<unsigned __int128>(sectorsWide, UINT64_MAX));
    Stretch st = copyStretch(out, first, sectors, size, mode);
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
  flags_.skipFileRequested.store(0);
  std::string target = joinPath(req.targetFolder, safeComponent(req.name));
  r.path = target;
  if (req.recoverMode == RecoverMode::Recover) {
    if (!applyPolicies(req, target)) {
      r.status = CopyStatus::Refused;
      r.path = target;
      return r;
    }
    r.path = target;
    obs_.text(TextField::SaveFolder, target);
    obs_.text(TextField::SaveFileName, req.name);
    obs_.counter(Counter::FilesSaved, result_.filesSaved);
    obs_.progress(0);
    lastPercent_ = 0;
  }
  if (ctx_.vp.sectorsPerCluster == 0) {
    r.status = CopyStatus::Unreadable;
    r.outcome = FileOutcome::Failed;
    result_.errors.push_back(target + ": the volume has no cluster size");
    addResult(target, req.size, 0, FileOutcome::Failed, "the volume has no cluster size");
    return r;
  }

  if (req.size == 0) {
    // An empty file is written empty, with its times, whatever its record
    // holds now.
    Output out;
    if (!openTarget(target, 0, r, out)) return r;
    finishFile(out, r, 0, req);
    return r;
  }

  // The record's header gives its size (1,024 or 4,096 bytes).
  std::vector<std::uint8_t> rec(kMaxMftRecordSize, 0);
  ctx_.reader.readSectorsClearing(req.location, 2, rec.data());
  const std::uint32_t units = recordUnits(rec);
  if (units > 2) ctx_.reader.readSectorsClearing(req.location + 2, units - 2, rec.data() + 2 * kSectorSize);
  rec.resize(std::size_t{units} * kSectorSize);
  applyFixup(std::span<std::uint8_t>(rec));
  auto locate = [&](Bytes r) {
    DataAttribute found;
    if (req.stream.empty()) return findUnnamedData(r);
    const NtfsDataAttr named = findDataAttribute(r, req.stream);
    found.found = named.found;
    found.resident = named.resident;
    found.offset = named.offset;
    return found;
  };
  DataAttribute a = locate(Bytes(rec.data(), rec.size()));
  if (!a.found) {
    // The record found by a deep scan may be an extension record holding
    // the name, or a base record whose streams lie in extension records.
    const auto records = recordsOfFile(ctx_.reader, Bytes(rec.data(), rec.size()), req.location, ctx_.vp.clusterBase,
                                       ctx_.vp.sectorsPerCluster);
    for (std::size_t k = 1; k < records.size() && !a.found; ++k) {
      a = locate(Bytes(records[k].bytes));
      if (a.found) rec.assign(records[k].bytes.begin(), records[k].bytes.end());
    }
  }
  const Bytes record(rec.data(), rec.size());
  if (!a.found) {
    r.status = CopyStatus::NoData;
    r.outcome = FileOutcome::Failed;
    result_.errors.push_back(target + ": the file record at sector " + dec(req.location) + " holds no usable data");
    addResult(target, req.size, 0, FileOutcome::Failed, "the file record holds no usable data");
    return r;
  }
  const NtfsDataAttr info = dataAttributeAt(record, a.offset);
  const StoredForm form = storedFormOf(record, info);
  // Content that cannot be decoded is written as stored and reported, never
  // counted as saved.
  auto notDecoded = [&](CopyResult& done, RecoverMode mode) {
    if (done.status != CopyStatus::Written) return;
    done.status = CopyStatus::NotDecoded;
    done.outcome = FileOutcome::NotDecoded;
    if (mode == RecoverMode::Recover && result_.filesSaved > 0) --result_.filesSaved;
    const std::string why = form == StoredForm::Encrypted
                                ? "the file is encrypted (EFS); written as stored, not decoded"
                                : "the file's data is held by a reparse point (tag 0x" + hexTag(reparseTag(record)) +
                                      "); written as stored, not decoded";
    result_.notDecoded.push_back(done.path);
    result_.errors.push_back(done.path + ": " + why);
    if (!result_.files.empty() && result_.files.back().path == done.path) {
      result_.files.back().outcome = FileOutcome::NotDecoded;
      result_.files.back().reason = why;
    }
  };

  if (a.resident) {
    // The file's own data begins 24 bytes into the attribute; a named
    // stream's after its name, where the value offset says.
    const std::size_t value = req.stream.empty() ? a.offset + 24 : a.offset + rd16(record, a.offset + 20);
    if (value > record.size() || req.size > record.size() - value) {
      r.status = CopyStatus::NoData;
      r.outcome = FileOutcome::Failed;
      result_.errors.push_back(target + ": the resident data runs past the end of its file record");
      addResult(target, req.size, 0, FileOutcome::Failed, "the resident data runs past the end of its file record");
      return r;
    }
    Output out;
    if (!openTarget(target, req.size, r, out)) return r;
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
    finishFile(out, r, req.size, req);
    if (form != StoredForm::Plain) notDecoded(r, req.recoverMode);
    return r;
  }

  const RunList runs = decodeDataRuns(record, a.offset);
  if (runs.runs.empty()) {
    r.status = CopyStatus::NothingToWrite;
    r.outcome = FileOutcome::Failed;
    const std::string why = runs.damaged ? "the data runs are damaged" : "the file record lists no data";
    result_.errors.push_back(target + ": " + why + "; nothing written");
    addResult(target, req.size, 0, FileOutcome::Failed, why + "; nothing written");
    return r;
  }
  if (form == StoredForm::Plain && info.found && (info.compressed() || info.initSize < req.size))
    r = writeNtfsDecoded(target, req.size, runs, info, req.recoverMode);
  else
    r = writeRunList(target, req.size, runs, req.recoverMode);
  if (r.status == CopyStatus::Written) {
    if (req.hasTime) setTimesFromFiletime(r.path, req.fileTime);
    if (form != StoredForm::Plain) notDecoded(r, req.recoverMode);
  }
  return r;
}

bool Extractor::skipZeros(Output& out, std::uint64_t bytes, std::uint64_t size, RecoverMode mode, bool listed) {
  if (::lseek(out.fd, static_cast<off_t>(bytes), SEEK_CUR) < 0) {
    out.writeErrno = errno;
    return false;
  }
  if (ctx_.sink) {
    if (listed) ctx_.sink->source(0, bytes, true);
    ctx_.sink->zeros(bytes);
  }
  out.holes = true;
  out.written += bytes;
  progress(out.written, size, mode);
  return true;
}

CopyResult Extractor::writeNtfsDecoded(const std::string& target, std::uint64_t size, const RunList& runs,
                                       const NtfsDataAttr& info, RecoverMode mode) {
  CopyResult r;
  Output out;
  if (!beginRunListFile(target, size, runs, mode, r, out)) return r;
  const std::uint64_t clusterSectors = ctx_.vp.sectorsPerCluster;
  const std::uint64_t clusterBytes = clusterSectors * kSectorSize;
  // Past the initialised size every reader of the volume sees zeros.
  const std::uint64_t valid = std::min(size, info.initSize);
  // A report hashes every byte; the disk runs of a compressed stream are
  // not listed (its bytes are decoded, not read as they lie).
  CopySink* sink = ctx_.sink;
  auto skipZeros = [&](std::uint64_t bytes) { return this->skipZeros(out, bytes, size, mode, !info.compressed()); };
  bool undecodable = false;

  if (!info.compressed()) {
    for (const DataRun& run : runs.runs) {
      if (out.written >= valid || interrupted()) break;
      if (run.sparse) {
        const auto bytes = static_cast<std::uint64_t>(std::min<unsigned __int128>(
            static_cast<unsigned __int128>(run.length) * clusterBytes, valid - out.written));
        if (!skipZeros(bytes)) break;
        continue;
      }
      const std::uint64_t first = ctx_.vp.clusterBase + static_cast<std::uint64_t>(run.startCluster) * clusterSectors;
      if (copyStretch(out, first, run.length * clusterSectors, valid, mode) != Stretch::Ok) break;
    }
    if (out.written == valid && valid < size && out.writeErrno == 0 && !interrupted()) skipZeros(size - valid);
  } else {
    const std::uint64_t unitClusters = std::uint64_t{1} << info.compressionUnit;
    const std::uint64_t unitBytes = unitClusters * clusterBytes;
    // Windows writes units of 16 clusters of at most 4 KiB; a unit beyond
    // 16 MiB is not one any volume holds.
    if (unitBytes > (std::uint64_t{16} << 20)) {
      undecodable = true;
    } else {
      std::vector<ClusterExtent> extents;
      extents.reserve(runs.runs.size());
      for (const DataRun& run : runs.runs)
        extents.push_back(ClusterExtent{static_cast<std::uint64_t>(run.startCluster), run.length, run.sparse});
      UnitWalker units(extents);
      std::vector<std::uint8_t> packed(static_cast<std::size_t>(unitBytes)), plain(static_cast<std::size_t>(unitBytes));
      const std::uint64_t total = ctx_.reader.totalSectors();
      while (out.written < size && !interrupted() && out.writeErrno == 0) {
        const UnitPlan plan = units.next(unitClusters);
        if (plan.listed == 0) break;  // the runs end: the file stays short, reported as such
        const std::uint64_t n = std::min(unitBytes, size - out.written);
        if (plan.kind == UnitKind::Sparse) {
          if (!skipZeros(n)) break;
          continue;
        }
        std::fill(packed.begin(), packed.end(), 0);
        std::size_t got = 0;
        bool unitUnread = false;
        for (const ClusterExtent& piece : plan.pieces) {
          const std::uint64_t first = ctx_.vp.clusterBase + piece.lcn * clusterSectors;
          const std::uint64_t sectors = piece.count * clusterSectors;
          if (total > 0 && (first >= total || sectors > total - first)) out.pastEnd = true;
          if (!ctx_.reader.readSectorsClearing(first, static_cast<std::uint32_t>(sectors), packed.data() + got)) {
            if (interrupted()) {
              out.interrupted = true;
              break;
            }
            // The whole unit's bytes depend on every packed byte.
            out.readFailed = true;
            unitUnread = true;
            ++result_.failedReads;
          }
          got += static_cast<std::size_t>(sectors * kSectorSize);
        }
        if (out.interrupted) break;
        if (unitUnread) out.zeroFilledAt(out.written, n);
        const std::uint8_t* data = packed.data();
        if (plan.kind == UnitKind::Compressed) {
          std::fill(plain.begin(), plain.end(), 0);
          const Lznt1Result d = lznt1Decompress(Bytes(packed.data(), got), plain);
          if (d.damaged) undecodable = true;
          data = plain.data();
        }
        if (out.written + n > valid) {
          // Bytes past the initialised size are zeros.
          const std::uint64_t keep = valid > out.written ? valid - out.written : 0;
          if (data == packed.data()) data = static_cast<const std::uint8_t*>(std::memcpy(plain.data(), packed.data(), n));
          std::fill(plain.begin() + static_cast<std::ptrdiff_t>(keep), plain.begin() + static_cast<std::ptrdiff_t>(n), 0);
        }
        if (!out.writeAll(data, static_cast<std::size_t>(n))) break;
        if (sink) sink->data(data, static_cast<std::size_t>(n));
        out.written += n;
        progress(out.written, size, mode);
      }
    }
  }
  FileCopyRequest none;
  none.hasTime = false;
  finishFile(out, r, size, none);
  if (undecodable && r.status == CopyStatus::Written) {
    const char* why = "the compressed data is damaged; what could not be decoded was written as zeros";
    result_.errors.push_back(r.path + ": " + why);
    if (r.complete) result_.incomplete.push_back(r.path);
    r.complete = false;
    r.outcome = FileOutcome::Incomplete;
    if (!result_.files.empty() && result_.files.back().path == r.path) {
      FileResult& f = result_.files.back();
      f.outcome = FileOutcome::Incomplete;
      f.reason = f.reason.empty() ? why : f.reason + "; " + why;
    }
  }
  return r;
}

namespace {

// The request for a file of the FAT lists (FAT16, FAT32, exFAT).
void fatRequest(const FatFileNode& f, FileCopyRequest& req) {
  req.name = f.name;
  req.size = f.size;
  req.validLength = f.validLength;
  req.contiguous = f.contiguous;
  req.location = f.firstCluster;
  req.listId = f.fileIndex;
  req.deleted = f.deleted;
  req.fatDate = f.writeDate;
  req.fatTime = f.writeTime;
  // exFAT names the zone of its times: the copy gets the moment itself.
  std::uint64_t ft = 0;
  if (exfatUtcFileTime(f.writeDate, f.writeTime, f.writeHundredths, f.writeUtc, ft)) req.fileTime = ft;
}

}  // namespace

void Extractor::copyFatRecord(std::size_t index, const std::string& folder) {
  const FatFileNode& f = ctx_.tree.fatFiles[index];
  FileCopyRequest req;
  req.targetFolder = folder;
  req.recoverMode = RecoverMode::Recover;
  fatRequest(f, req);
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
  req.fileTime = f.changeTime;  // the last write, as Windows shows it
  req.stream = std::string(streamNameOf(f));
  req.record = static_cast<std::int64_t>(index);
  req.recoverable = f.recoverable;
  copyWatched(req, false);
}

CopyResult Extractor::copyWatched(FileCopyRequest& req, bool fat) {
  if (!ctx_.sink) return fat ? copyFatFile(req) : copyNtfsFile(req);
  const std::size_t filesBefore = result_.files.size();
  ctx_.sink->begin(req);
  CopyResult r = fat ? copyFatFile(req) : copyNtfsFile(req);
  // The file's entry, with what became of it after the copy (not decoded,
  // damaged compressed data), as the summary has it.
  ctx_.sink->end(req, r, result_.files.size() > filesBefore ? &result_.files.back() : nullptr);
  return r;
}

void Extractor::copyStreamsOf(std::size_t index, const std::string& folder) {
  if (!ctx_.settings.recoverStreams) return;
  const auto& list = ctx_.ntfsFiles.list();
  for (std::size_t i = index + 1; i < list.size() && list[i].stream && !stopRequested(); ++i)
    if (ctx_.ntfsFiles.includes(list[i])) copyNtfsRecord(i, folder);
}

// The NTFS metadata files of the root ($MFT, $LogFile, ... the first 16
// records, or in a deep scan's records, whose numbers are unknown, the
// names) and the root's $Extend folder. Copying a folder leaves them out
// unless the settings ask for them.
static bool isNtfsSystemName(std::string_view name) { return !name.empty() && name.front() == '$'; }

void Extractor::copyFolderFiles(bool fat, std::uint32_t identity, const std::string& path) {
  if (fat) {
    const std::vector<std::uint32_t> files = ctx_.tree.fatFileChildren(identity);
    for (std::uint32_t i : files) {
      if (stopRequested()) return;
      copyFatRecord(i, path);
    }
  } else {
    const bool skipSystem = identity == kNtfsRootRecord && !ctx_.settings.includeSystemFiles;
    // A file's streams follow it in the list: they go with it only when
    // streams are asked for.
    ctx_.ntfsFiles.forEachChild(identity, [&](std::size_t i) {
      if (stopRequested()) return;
      const NtfsFileNode& f = ctx_.ntfsFiles.list()[i];
      if (f.stream && !ctx_.settings.recoverStreams) return;
      if (skipSystem && f.recordNumber < 16 && isNtfsSystemName(f.name)) return;
      copyNtfsRecord(i, path);
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
  std::string path = enterFolder(parentPath, name);
  copyFolderFiles(fat, identity, path);
  // Depth first over the folder tree, without recursion: a damaged volume
  // can nest folders very deeply.
  std::vector<Frame> stack{{item, std::move(path), 0}};
  while (!stack.empty() && !stopRequested()) {
    Frame& top = stack.back();
    if (!tree.valid(top.item) || top.next >= tree.item(top.item).children.size()) {
      leaveFolder(top.path);
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
      const NtfsFolderNode& nf = ctx_.tree.ntfsFolders[static_cast<std::size_t>(folder)];
      childId = nf.recordNumber;
      if (!ctx_.settings.includeSystemFiles && nf.parentRecord == kNtfsRootRecord && nf.recordNumber < 16 &&
          isNtfsSystemName(nf.name))
        continue;
    }
    std::string childPath = enterFolder(top.path, ci.label);
    copyFolderFiles(fat, childId, childPath);
    stack.push_back({child, std::move(childPath), 0});
  }
  for (const Frame& f : stack) leaveFolder(f.path);  // a stop leaves frames behind
}

void Extractor::copyFatFolder(std::uint32_t item, std::uint32_t firstCluster, const std::string& parentPath,
                              std::string_view name) {
  copyFolder(true, item, firstCluster, parentPath, name);
}

void Extractor::copyNtfsFolder(std::uint32_t item, std::uint32_t recordNumber, const std::string& parentPath,
                               std::string_view name) {
  copyFolder(false, item, recordNumber, parentPath, name);
}

std::int64_t Extractor::ntfsFileBySector(SectorNo s, std::string_view stream) {
  if (!ntfsIndexed_) {
    ctx_.ntfsFiles.forEach([&](std::size_t i) {
      ntfsBySector_.emplace(ctx_.ntfsFiles.list()[i].dataRecordSector, static_cast<std::uint32_t>(i));
    });
    ntfsIndexed_ = true;
  }
  // The first in list order of the nodes of that sector and stream.
  std::int64_t best = -1;
  auto [lo, hi] = ntfsBySector_.equal_range(s);
  for (auto it = lo; it != hi; ++it) {
    const NtfsFileNode& f = ctx_.ntfsFiles.list()[it->second];
    if (streamNameOf(f) != stream || f.stream != !stream.empty()) continue;
    if (best < 0 || it->second < best) best = it->second;
  }
  return best;
}

void Extractor::recoverRows(std::span<const ListRow> rows, const std::string& destination) {
  const FsType fs = ctx_.vp.fsType;
  if (!isKnownFsType(fs)) return;
  const bool fat = usesFatTree(fs);
  // A stream whose file is among the rows comes with its file when streams
  // are asked for; it is not copied twice.
  std::unordered_set<std::string_view> filesChosen;
  if (!fat && ctx_.settings.recoverStreams)
    for (const ListRow& row : rows)
      if (!row.folder && row.stream.empty()) filesChosen.insert(row.name);
  for (const ListRow& row : rows) {
    if (stopRequested()) break;
    if (!row.stream.empty() && row.name.size() > row.stream.size() &&
        filesChosen.count(std::string_view(row.name).substr(0, row.name.size() - row.stream.size() - 1)) != 0)
      continue;
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
    req.stream = row.stream;
    const std::int64_t idx = ntfsFileBySector(req.location, row.stream);
    if (idx >= 0) {
      const NtfsFileNode& f = ctx_.ntfsFiles.list()[static_cast<std::size_t>(idx)];
      req.deleted = f.deleted;
      req.fileTime = f.changeTime;
      req.record = idx;
      req.recoverable = f.recoverable;
    } else {
      req.hasTime = false;
    }
    copyWatched(req, false);
    if (idx >= 0 && row.stream.empty()) copyStreamsOf(static_cast<std::size_t>(idx), destination);
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
  if (usesFatTree(ctx.vp.fsType)) {
    const std::int64_t idx = ctx.tree.findFatFileByIndex(static_cast<std::uint32_t>(row.id));
    if (idx < 0) return r;
    fatRequest(ctx.tree.fatFiles[static_cast<std::size_t>(idx)], req);
    return ex.copyFatFile(req);
  }
  if (ctx.vp.fsType != FsType::Ntfs) return r;
  req.name = row.name;
  req.size = row.size;
  req.location = static_cast<SectorNo>(row.id);
  req.stream = row.stream;
  const std::int64_t idx = ctx.ntfsFiles.findBySector(req.location);
  if (idx >= 0 && row.stream.empty()) {
    const NtfsFileNode& f = ctx.ntfsFiles.list()[static_cast<std::size_t>(idx)];
    req.deleted = f.deleted;
    req.fileTime = f.changeTime;
  } else {
    req.hasTime = false;
  }
  return ex.copyNtfsFile(req);
}

}  // namespace osprin
