#include "volume/fat_dir.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "fat/dir_entry.h"
#include "fat/fat_table.h"
#include "common/text.h"

namespace osprin {

namespace {
// A directory is followed up to 2 MiB: 65,536 entries of 32 bytes.
constexpr std::uint64_t kMaxDirectoryEntries = 65536;

}  // namespace

ClusterChain readDirectoryChain(SectorReader& reader, const VolumeParams& vp, std::uint32_t firstCluster) {
  if (vp.fat1Start == 0) return {firstCluster};
  const std::uint64_t sectorsPerCluster = std::max<std::uint32_t>(1, vp.sectorsPerCluster);
  const std::uint64_t maxClusters =
      std::max<std::uint64_t>(1, kMaxDirectoryEntries / (sectorsPerCluster * kEntriesPerSector));
  FatTable fat(reader, vp.fat1Start, vp.sectorsPerFat, vp.fsType);
  return fat.follow(firstCluster, maxClusters).clusters;
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
