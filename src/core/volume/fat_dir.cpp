#include "volume/fat_dir.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "common/text.h"

namespace osprin {

namespace {

constexpr std::size_t kEntrySize = 32;
constexpr int kEntriesPerSector = static_cast<int>(kSectorSize / kEntrySize);
constexpr std::uint8_t kLongNameAttr = 0x0F;
constexpr std::uint8_t kFolderAttr = 0x10;
constexpr std::uint8_t kVolumeLabelAttr = 0x08;
constexpr std::size_t kMaxLongNameUnits = 255;
// The most UTF-8 that 255 UTF-16 units make: the bound of every name in the
// tree (a snapshot holds no longer one).
constexpr std::size_t kMaxNameBytes = 3 * kMaxLongNameUnits;
// A directory is followed up to 2 MiB: 65,536 entries of 32 bytes.
constexpr std::uint64_t kMaxDirectoryEntries = 65536;

// Offsets of the thirteen UTF-16 units of a long-name entry.
constexpr std::array<std::size_t, 13> kNameUnitOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The entries that precede a short entry, nearest first: the entries of the
// same sector before it, then the entries of the bytes before that sector
// (their last entry first). Each span holds whole entries.
class BackwardEntries {
 public:
  BackwardEntries(Bytes sector, int entryIndex, Bytes before)
      : spans_{sector.first(std::min<std::size_t>(sector.size(), static_cast<std::size_t>(entryIndex) * kEntrySize)),
               before.last(before.size() - before.size() % kEntrySize)} {}
  // The next entry going backwards, or an empty span at the start.
  Bytes next() {
    while (span_ < 2) {
      Bytes& s = spans_[span_];
      if (s.size() >= kEntrySize) {
        Bytes e = s.last(kEntrySize);
        s = s.first(s.size() - kEntrySize);
        return e;
      }
      ++span_;
    }
    return {};
  }

 private:
  std::array<Bytes, 2> spans_;
  int span_ = 0;
};

// The long name before an entry, walking back through `entries`.
bool assemble(BackwardEntries entries, std::string& out) {
  std::array<char16_t, kMaxLongNameUnits + 13> units;
  std::size_t count = 0;
  int parts = 0;
  // Decodes into out, reusing its storage; an empty name is no name.
  auto finish = [&] {
    if (count == 0) return false;
    out.clear();
    for (std::size_t i = 0; i < count; ++i) {
      char32_t c = units[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;  // unpaired surrogate
      }
      // A damaged directory can chain twenty full parts, 260 units: the
      // name keeps the whole characters that fit the bytes of 255 units.
      const std::size_t before = out.size();
      appendUtf8(out, c);
      if (out.size() > kMaxNameBytes) {
        out.resize(before);
        break;
      }
    }
    return true;
  };
  while (true) {
    Bytes e = entries.next();
    // The start of the directory (or of what is known of it) ends the name
    // as a short entry would.
    if (e.empty() || rd8(e, 11) != kLongNameAttr) {
      if (count > 0 && count % 13 == 0) return finish();
      return false;
    }
    ++parts;
    for (std::size_t off : kNameUnitOffsets) {
      char16_t u = rd16(e, off);
      if (u == 0) return finish();
      units[count++] = u;
    }
    if (rd8(e, 0) == 0x40 + parts) return finish();
    if (count > kMaxLongNameUnits) return finish();
  }
}

std::uint32_t entryCluster(Bytes e, FsType fs) {
  std::uint32_t low = rd16(e, 26);
  if (fs == FsType::Fat16) return low;
  return (static_cast<std::uint32_t>(rd16(e, 20)) << 16) | low;
}

// The 8.3 name of an entry, 'x' for a deleted entry's first character.
// Byte 12 holds the case flags of Windows NT: 0x08 shows the base name in
// lower case, 0x10 the extension ("sing.dat" is stored "SING    DAT").
std::string_view shortName(Bytes e, std::array<char, 12>& buf, bool& deleted) {
  const std::uint8_t caseFlags = rd8(e, 12);
  auto shown = [](char c, bool lower) {
    return lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::size_t n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    char c = static_cast<char>(rd8(e, i));
    if (c != ' ') buf[n++] = shown(c, caseFlags & 0x08);
  }
  if (rd8(e, 8) != ' ') {
    buf[n++] = '.';
    for (std::size_t i = 8; i < 11; ++i) {
      char c = static_cast<char>(rd8(e, i));
      if (c != ' ') buf[n++] = shown(c, caseFlags & 0x10);
    }
  }
  if (n > 0 && static_cast<std::uint8_t>(buf[0]) == 0xE5) {
    buf[0] = 'x';
    deleted = true;
  }
  // The name is read as text that a NUL byte ends: a damaged entry with a
  // NUL inside its 8.3 name gives the characters before it.
  std::string_view name(buf.data(), n);
  return name.substr(0, name.find('\0'));
}

// What the two parsers share: one entry turned into a name, or skipped.
struct EntryName {
  std::string_view name;
  bool deleted = false;
  std::uint32_t firstCluster = 0;
};

enum class EntryKind { End, Skip, Named };

// Steps common to both variants: end marker, long-name parts, the volume
// label, folders without a first cluster, the 8.3 name, the long name, the
// name check. A file with first cluster 0 is an empty file (no cluster was
// ever given to it) and is named like any other.
EntryKind nameEntry(Bytes sector, int e, Bytes before, FsType fs, bool parentDeleted, std::array<char, 12>& shortBuf,
                    std::string& longName, EntryName& out, bool& hadCluster) {
  Bytes entry = sector.subspan(static_cast<std::size_t>(e) * kEntrySize, kEntrySize);
  if (rd8(entry, 0) == 0) return EntryKind::End;
  out.deleted = parentDeleted;
  const std::uint8_t attr = rd8(entry, 11);
  if (attr == kLongNameAttr || (attr & kVolumeLabelAttr)) return EntryKind::Skip;
  out.firstCluster = entryCluster(entry, fs);
  if (out.firstCluster == 0 && (attr & kFolderAttr)) return EntryKind::Skip;
  if (out.firstCluster != 0) hadCluster = true;
  out.name = shortName(entry, shortBuf, out.deleted);
  bool fromLong = false;
  if (assemble(BackwardEntries(sector, e, before), longName)) {
    out.name = longName;
    fromLong = true;
  }
  if (!isValidName(out.name, fromLong)) return EntryKind::Skip;
  return EntryKind::Named;
}

}  // namespace

FatTimes fatEntryTimes(Bytes e) {
  FatTimes t;
  t.createHundredths = rd8(e, 13);
  t.createTime = rd16(e, 14);
  t.createDate = rd16(e, 16);
  t.accessDate = rd16(e, 18);
  t.writeTime = rd16(e, 22);
  t.writeDate = rd16(e, 24);
  return t;
}

ClusterChain readDirectoryChain(SectorReader& reader, const VolumeParams& vp, std::uint32_t firstCluster) {
  ClusterChain chain;
  chain.push_back(firstCluster);
  if (vp.fat1Start == 0) return chain;
  const bool fat16 = vp.fsType == FsType::Fat16;
  const std::uint32_t perSector = fat16 ? 256 : 128;
  // Entries that the FAT can hold: a cluster beyond them is outside the volume.
  const std::uint64_t clusterLimit = static_cast<std::uint64_t>(vp.sectorsPerFat) * perSector;
  const std::uint64_t sectorsPerCluster = std::max<std::uint32_t>(1, vp.sectorsPerCluster);
  const std::uint64_t maxClusters =
      std::max<std::uint64_t>(1, kMaxDirectoryEntries / (sectorsPerCluster * kEntriesPerSector));

  std::array<std::uint8_t, kSectorSize> fat{};
  std::uint64_t cachedSector = ~0ull;
  std::unordered_set<std::uint32_t> seen;  // filled once the chain gets long
  constexpr std::size_t kLinearSearch = 64;

  std::uint32_t c = firstCluster;
  while (chain.size() < maxClusters) {
    if (c >= clusterLimit) break;
    const std::uint64_t sector = c / perSector;
    if (sector != cachedSector) {
      if (!reader.readSectors(static_cast<SectorNo>(vp.fat1Start + sector), 1, fat.data())) break;
      cachedSector = sector;
    }
    Bytes fb(fat.data(), fat.size());
    const std::uint32_t idx = c % perSector;
    std::uint32_t next;
    if (fat16) {
      next = rd16(fb, idx * 2);
      if (next < 2 || next == 0xFFFF) break;
    } else {
      next = rd32(fb, idx * 4);
      if (next < 2 || next >= 0x0FFFFFFF) break;
    }
    if (next >= clusterLimit) break;
    // A cluster already in the chain would loop.
    if (chain.size() < kLinearSearch) {
      if (std::find(chain.begin(), chain.end(), next) != chain.end()) break;
    } else {
      if (seen.empty()) seen.insert(chain.begin(), chain.end());
      if (!seen.insert(next).second) break;
    }
    chain.push_back(next);
    c = next;
  }
  return chain;
}

bool assembleLongName(Bytes sector, Bytes previousSector, int entryIndex, std::string& out) {
  if (entryIndex < 0 || static_cast<std::size_t>(entryIndex) * kEntrySize > sector.size()) return false;
  return assemble(BackwardEntries(sector, entryIndex, previousSector), out);
}

bool isValidName(std::string_view name, bool fromLongName) {
  // Names that would address the folder itself or its parent are never
  // file names, whatever the directory claims.
  if (name.empty() || name == "." || name == "..") return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 31) return false;  // control characters, NUL included
    if (c >= 128 && !fromLongName) return false;
    switch (c) {
      case '"': case '\\': case '/': case '?': case '*': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

void parseDirectorySector(Bytes sector, const DirContext& ctx, std::uint32_t parentCluster, bool& end,
                          SectorNo sectorNo, bool parentDeleted, int firstEntry, FileTree& tree,
                          std::uint64_t progressDivisor, Observer& obs) {
  obs.counter(Counter::CurrentSector, sectorNo);
  const int entries = static_cast<int>(std::min<std::size_t>(kEntriesPerSector, sector.size() / kEntrySize));
  const std::uint64_t divisor = progressDivisor == 0 ? 1 : progressDivisor;
  std::array<char, 12> shortBuf;
  std::string longName;
  for (int e = std::max(0, firstEntry); e < entries; ++e) {
    EntryName en;
    bool hadCluster = false;
    EntryKind kind = nameEntry(sector, e, ctx.previousSector, ctx.fsType, parentDeleted, shortBuf, longName, en,
                               hadCluster);
    if (kind == EntryKind::End) {
      end = true;
      return;
    }
    if (kind == EntryKind::Skip) continue;
    Bytes entry = sector.subspan(static_cast<std::size_t>(e) * kEntrySize, kEntrySize);
    const FatTimes times = fatEntryTimes(entry);
    if (rd8(entry, 11) & kFolderAttr) {
      tree.addFatFolder(en.name, en.firstCluster, parentCluster, times, en.deleted);
      obs.counter(Counter::FoldersFound, tree.folderCount);
    } else {
      tree.addFatFile(en.name, en.firstCluster, parentCluster, times, rd32(entry, 28), en.deleted);
      ++tree.fileCount;
      obs.counter(Counter::FilesFound, tree.fileCount);
    }
    ++tree.entriesSeen;
    obs.progress(static_cast<int>(std::min<std::uint64_t>(99, std::uint64_t{tree.entriesSeen} * 100 / divisor)));
    obs.text(TextField::LastFileFolder, en.name);
  }
}

void parseDirectoryCluster(Bytes buffer, const DirContext& ctx, std::uint32_t parentCluster, bool& end,
                           SectorNo /*firstSector*/, std::uint32_t sectorCount, bool parentDeleted, int firstEntry,
                           FileTree& tree) {
  const std::size_t sectors = std::min<std::size_t>(sectorCount, buffer.size() / kSectorSize);
  std::array<char, 12> shortBuf;
  std::string longName;
  bool handledCluster = false;  // once an entry with a first cluster was handled, sectors start at entry 0
  for (std::size_t s = 0; s < sectors; ++s) {
    Bytes sector = buffer.subspan(s * kSectorSize, kSectorSize);
    // The bytes before this sector: up to two sectors of the buffer, or the
    // caller's previous sector for the buffer's first one.
    Bytes before = s == 0 ? ctx.previousSector : buffer.subspan((s >= 2 ? s - 2 : 0) * kSectorSize,
                                                                 (s >= 2 ? 2 : 1) * kSectorSize);
    const int start = handledCluster ? 0 : std::max(0, firstEntry);
    for (int e = start; e < kEntriesPerSector; ++e) {
      EntryName en;
      bool hadCluster = false;
      EntryKind kind =
          nameEntry(sector, e, before, ctx.fsType, parentDeleted, shortBuf, longName, en, hadCluster);
      if (hadCluster) handledCluster = true;
      if (kind == EntryKind::End) {
        end = true;
        return;
      }
      if (kind == EntryKind::Skip) continue;
      Bytes entry = sector.subspan(static_cast<std::size_t>(e) * kEntrySize, kEntrySize);
      const FatTimes times = fatEntryTimes(entry);
      const std::uint32_t size = rd32(entry, 28);
      if ((rd8(entry, 11) & kFolderAttr) && size == 0) {
        tree.renameFatFolder(parentCluster, en.firstCluster, en.name, times, en.deleted);
      } else {
        tree.addFatFile(en.name, en.firstCluster, parentCluster, times, size, en.deleted);
        ++tree.fileCount;
      }
    }
  }
}

}  // namespace osprin
