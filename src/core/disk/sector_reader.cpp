#include "disk/sector_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mbr/mbr.h"

namespace osprin {

namespace {

// The farthest a probe jumps ahead inside a run of failures.
constexpr std::uint64_t kMaxSkip = 1024;

}  // namespace

void addSectorRange(std::vector<SectorRange>& ranges, std::uint64_t first, std::uint64_t count) {
  if (count == 0) return;
  if (first > UINT64_MAX - count) count = UINT64_MAX - first;
  std::uint64_t end = first + count;
  // Ranges are mostly appended in order; the general case merges in place.
  auto it = std::lower_bound(ranges.begin(), ranges.end(), first,
                             [](const SectorRange& r, std::uint64_t v) { return r.first + r.count < v; });
  auto last = it;
  while (last != ranges.end() && last->first <= end) {
    first = std::min(first, last->first);
    end = std::max(end, last->first + last->count);
    ++last;
  }
  it = ranges.erase(it, last);
  ranges.insert(it, SectorRange{first, end - first});
}

bool SectorReader::readSectors64(std::uint64_t lba, std::uint32_t count, void* buf) {
  return read(lba, count, buf, false, nullptr);
}

bool SectorReader::readSectorsClearing(std::uint64_t lba, std::uint32_t count, void* buf,
                                       std::vector<SectorRange>* unread) {
  return read(lba, count, buf, true, unread);
}

bool SectorReader::attempt(std::uint64_t lba, std::uint64_t count, std::uint8_t* out) {
  const bool ok = source_->readAt(lba * kSectorSize, out, static_cast<std::size_t>(count * kSectorSize));
  if (!ok) failed_.fetch_add(1);
  return ok;
}

bool SectorReader::read(std::uint64_t lba, std::uint32_t count, void* buf, bool clearFailed,
                        std::vector<SectorRange>* unread) {
  auto* out = static_cast<std::uint8_t*>(buf);
  if (!source_ || count == 0) {
    if (clearFailed && count != 0) std::memset(out, 0, static_cast<std::size_t>(count) * kSectorSize);
    if (unread && count != 0) addSectorRange(*unread, lba, count);
    return source_ != nullptr;
  }
  std::vector<SectorRange> bad;
  const std::uint64_t end = lba + count;
  // Sectors past the end of the disk (when its size is known) do not exist:
  // they fail at once instead of being asked for.
  const std::uint64_t total = totalSectors();
  const std::uint64_t limit = total == 0 ? end : std::min(end, std::max(total, lba));
  std::uint64_t pos = lba;
  // Areas a map marks unreadable are not asked for either.
  auto next = std::lower_bound(unreadable_.begin(), unreadable_.end(), pos,
                               [](const SectorRange& r, std::uint64_t v) { return r.first + r.count <= v; });
  while (pos < limit) {
    if (next != unreadable_.end() && next->first <= pos) {
      const std::uint64_t stop = std::min(limit, next->first + next->count);
      addSectorRange(bad, pos, stop - pos);
      pos = stop;
      ++next;
      continue;
    }
    const std::uint64_t stop = next == unreadable_.end() ? limit : std::min(limit, next->first);
    readRange(pos, stop - pos, out + (pos - lba) * kSectorSize, bad);
    pos = stop;
  }
  if (limit < end) addSectorRange(bad, limit, end - limit);
  for (const SectorRange& r : bad) {
    if (clearFailed) std::memset(out + (r.first - lba) * kSectorSize, 0, static_cast<std::size_t>(r.count) * kSectorSize);
    if (unread) addSectorRange(*unread, r.first, r.count);
  }
  return bad.empty();
}

bool SectorReader::readRange(std::uint64_t lba, std::uint64_t count, std::uint8_t* out, std::vector<SectorRange>& bad) {
  if (attempt(lba, count, out)) return true;
  rescue(lba, count, out, bad);
  return false;
}

// The whole request [lba, lba + count) failed. As a rescue tool does it:
// the first bad sector is found by halving what remains (the halves that
// read are kept); inside a run of failures single sectors are probed ever
// farther ahead and the sectors jumped over are read last, one at a time;
// only an isolated bad sector is tried again. A run of n bad sectors so
// costs about n failed reads, and a stop is seen between single reads.
void SectorReader::rescue(std::uint64_t lba, std::uint64_t count, std::uint8_t* out, std::vector<SectorRange>& bad) {
  const std::uint64_t end = lba + count;
  auto at = [&](std::uint64_t s) { return out + (s - lba) * kSectorSize; };
  std::vector<std::uint64_t> failed;
  std::vector<SectorRange> skipped;
  std::uint64_t pos = lba;
  unsigned run = 0;        // consecutive failures just before pos
  bool restFails = true;   // [pos, end) is known to fail as a whole
  bool stopped = false;
  while (pos < end) {
    if (stopRequested()) {
      stopped = true;
      break;
    }
    if (run == 0) {
      if (!restFails && attempt(pos, end - pos, at(pos))) {
        pos = end;
        break;
      }
      // The rest holds a bad sector: its first sector alone, then halves.
      if (!attempt(pos, 1, at(pos))) {
        failed.push_back(pos++);
        run = 1;
        restFails = false;
        continue;
      }
      ++pos;
      std::uint64_t lo = pos, hi = end;
      bool single = false;  // [lo, hi) is one sector that failed on its own
      while (hi - lo > 1) {
        if (stopRequested()) {
          stopped = true;
          break;
        }
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (attempt(lo, mid - lo, at(lo))) {
          lo = mid;
          single = false;
        } else {
          hi = mid;
          single = hi - lo == 1;
        }
      }
      if (stopped) {
        pos = lo;
        break;
      }
      if (lo >= end) break;
      restFails = false;
      if (!single && attempt(lo, 1, at(lo))) {
        pos = lo + 1;
        continue;
      }
      failed.push_back(lo);
      pos = lo + 1;
      run = 1;
      continue;
    }
    // Inside a run of failures: jump ahead, leaving the sectors between for last.
    std::uint64_t skip = run < 2 ? 0 : std::min<std::uint64_t>(std::uint64_t{1} << std::min(run - 1, 20u), kMaxSkip);
    skip = std::min(skip, end - pos - 1);
    if (skip > 0) {
      skipped.push_back({pos, skip});
      pos += skip;
    }
    if (attempt(pos, 1, at(pos))) {
      run = 0;
    } else {
      failed.push_back(pos);
      ++run;
    }
    ++pos;
  }
  if (stopped) addSectorRange(bad, pos, end - pos);
  // The sectors jumped over, one at a time.
  for (const SectorRange& r : skipped) {
    for (std::uint64_t s = r.first; s < r.first + r.count; ++s) {
      if (stopped || stopRequested()) {
        stopped = true;
        addSectorRange(bad, s, r.first + r.count - s);
        break;
      }
      if (!attempt(s, 1, at(s))) failed.push_back(s);
    }
  }
  std::sort(failed.begin(), failed.end());
  // An isolated bad sector gets its remaining attempts; one in a run does not.
  const std::uint16_t attempts = badSectorRetries();
  for (std::size_t i = 0; i < failed.size(); ++i) {
    const std::uint64_t s = failed[i];
    const bool isolated = (i == 0 || failed[i - 1] + 1 != s) && (i + 1 == failed.size() || failed[i + 1] != s + 1);
    bool ok = false;
    for (std::uint16_t a = 1; isolated && !ok && a < attempts && !stopped; ++a) {
      if (stopRequested()) {
        stopped = true;
        break;
      }
      ok = attempt(s, 1, at(s));
    }
    if (!ok) addSectorRange(bad, s, 1);
  }
}

// ---------------------------------------------------------------------------
// Map files of GNU ddrescue

namespace {

bool parseNumber(std::string_view t, std::uint64_t& v) {
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.remove_prefix(2);
  } else if (t.size() > 1 && t[0] == '0') {
    base = 8;
    t.remove_prefix(1);
  }
  if (t.empty()) return false;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  return ec == std::errc() && p == t.data() + t.size();
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

}  // namespace

namespace {

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// The bytes per sector of a FAT or NTFS boot sector at byte off (0 when
// there is none): signature, jump, a sector size, a cluster size and, for
// FAT, reserved sectors and one or two FATs.
unsigned bootSectorSize(BlockSource& source, std::uint64_t off) {
  std::uint8_t b[512] = {};
  if (!source.readAt(off, b, sizeof b)) return 0;
  if (b[510] != 0x55 || b[511] != 0xAA || (b[0] != 0xEB && b[0] != 0xE9)) return 0;
  const unsigned bps = le16(b + 11);
  if (!isSectorSize(bps)) return 0;
  if (std::memcmp(b + 3, "NTFS    ", 8) == 0) return bps;
  const unsigned spc = b[13];
  if (spc == 0 || (spc & (spc - 1)) != 0 || le16(b + 14) == 0 || b[16] < 1 || b[16] > 2) return 0;
  return bps;
}

}  // namespace

unsigned detectSectorSize(BlockSource& source) {
  // A device's own size is the truth (only a block device's FileBlockSource
  // reports one); an image's record of it is used only when the image's
  // contents say nothing (a converting tool may record 512 for any disk).
  const unsigned recorded = source.logicalSectorSize();
  if (dynamic_cast<FileBlockSource*>(&source) != nullptr && isSectorSize(recorded)) return recorded;
  for (unsigned size : {512u, 4096u, 1024u, 2048u}) {
    char sig[8] = {};
    if (source.readAt(size, sig, sizeof sig) && std::memcmp(sig, "EFI PART", 8) == 0) return size;
  }
  if (const unsigned bps = bootSectorSize(source, 0)) return bps;
  std::uint8_t mbr[512] = {};
  if (source.readAt(0, mbr, sizeof mbr) && mbr[510] == 0x55 && mbr[511] == 0xAA) {
    for (const MbrSlot& e : readMbrSlots(Bytes(mbr, sizeof mbr))) {
      if (e.empty() || e.firstLba == 0) continue;
      for (unsigned size : {512u, 4096u, 1024u, 2048u})
        if (bootSectorSize(source, std::uint64_t{e.firstLba} * size) == size) return size;
    }
  }
  return isSectorSize(recorded) ? recorded : kSectorSize;
}

bool parseRescueMap(std::string_view text, std::vector<SectorRange>& unreadable, std::string& error) {
  unreadable.clear();
  bool statusSeen = false;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++lineNo;
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    const auto f = fields(line);
    if (f.empty()) continue;
    const std::string where = "line " + std::to_string(lineNo) + " of the map file";
    std::uint64_t pos = 0, size = 0;
    if (!statusSeen) {
      // current_pos current_status [current_pass]
      if (f.size() < 2 || f.size() > 3 || !parseNumber(f[0], pos) || f[1].size() != 1) {
        error = where + " is not the status line of a ddrescue map (position and status)";
        return false;
      }
      statusSeen = true;
      continue;
    }
    if (f.size() != 3 || !parseNumber(f[0], pos) || !parseNumber(f[1], size) || f[2].size() != 1 ||
        std::string_view("?*/-+").find(f[2][0]) == std::string_view::npos) {
      error = where + " is not an area of a ddrescue map (position, size and one of ?*/-+)";
      return false;
    }
    if (size == 0 || f[2][0] == '+') continue;
    if (pos > UINT64_MAX - size) {
      error = where + " names an area past the largest position";
      return false;
    }
    const std::uint64_t first = pos / kSectorSize;
    const std::uint64_t last = (pos + size - 1) / kSectorSize;
    addSectorRange(unreadable, first, last - first + 1);
  }
  if (!statusSeen) {
    error = "the map file holds no ddrescue map";
    return false;
  }
  return true;
}

bool loadRescueMap(const std::string& path, std::vector<SectorRange>& unreadable, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open the map file " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (!parseRescueMap(ss.str(), unreadable, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace osprin
