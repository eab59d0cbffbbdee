#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/text.h"
#include "volume/fat_dir.h"
#include "volume/walkers.h"

namespace osprin {

namespace {

// Reads the sectors of one directory in order and keeps the two sectors
// parsed before the current one, so that a long name that began there is
// assembled whole.
class DirectoryReader {
 public:
  DirectoryReader(SectorReader& reader, FsType fs) : reader_(reader) { ctx_.fsType = fs; }

  void restart() { kept_ = 0; }

  // Reads the count sectors from lba (a cluster of the directory) in one
  // request for the read() calls that follow. When the request fails
  // nothing is kept and read() asks for each sector as before, so a healthy
  // disk costs a request per cluster instead of one per sector.
  void prefetch(SectorNo lba, std::uint32_t count) {
    aheadCount_ = 0;
    count = std::min(count, kMaxAhead);
    BlockSource* src = reader_.source();
    if (count < 2 || !src || std::uint64_t{lba} + count > 0x100000000ull) return;
    ahead_.resize(std::size_t{count} * kSectorSize);
    if (!src->readAt(std::uint64_t{lba} * kSectorSize, ahead_.data(), ahead_.size())) return;
    aheadFirst_ = lba;
    aheadCount_ = count;
  }

  // Reads sector lba as the directory's next sector. False when it could not
  // be read: it is then left out and the sectors before it are forgotten.
  bool read(SectorNo lba) {
    if (kept_ == 3) {
      std::memmove(window_.data(), window_.data() + kSectorSize, 2 * kSectorSize);
      kept_ = 2;
    }
    std::uint8_t* cur = window_.data() + kept_ * kSectorSize;
    if (aheadCount_ != 0 && lba - aheadFirst_ < aheadCount_) {
      std::memcpy(cur, ahead_.data() + std::size_t{lba - aheadFirst_} * kSectorSize, kSectorSize);
    } else if (!reader_.readSectors(lba, 1, cur)) {
      kept_ = 0;
      return false;
    }
    ctx_.previousSector = Bytes(window_.data(), kept_ * kSectorSize);
    current_ = Bytes(cur, kSectorSize);
    return true;
  }
  // After the current sector was parsed: it becomes a previous sector.
  void advance() { ++kept_; }

  Bytes sector() const { return current_; }
  const DirContext& context() const { return ctx_; }

 private:
  static constexpr std::uint32_t kMaxAhead = 256;  // 128 KiB
  SectorReader& reader_;
  std::vector<std::uint8_t> ahead_;
  SectorNo aheadFirst_ = 0;
  std::uint32_t aheadCount_ = 0;
  std::array<std::uint8_t, 3 * kSectorSize> window_{};
  std::size_t kept_ = 0;  // sectors in the window, the current one included once parsed
  DirContext ctx_;
  Bytes current_;
};

bool isDotSector(Bytes s) {
  return rd8(s, 0) == '.' && rd8(s, 1) == ' ' && rd8(s, 32) == '.' && rd8(s, 33) == '.';
}

}  // namespace

void walkFatVolume(SectorReader& reader, const Selection& sel, const VolumeParams& vp, FileTree& tree,
                   StopFlag& stop, Observer& obs) {
  tree.freeFatTree();
  ProgressScope bar(obs, ProgressScope::Stop::Shown);

  const std::uint32_t spc = vp.sectorsPerCluster;
  const std::uint64_t divisor = spc == 0 ? 0 : sel.rangeLength / spc;
  DirectoryReader dir(reader, vp.fsType);
  bool end = false;
  // Sectors of the directory in work that could not be read: named in a
  // warning once the directory is done.
  std::uint64_t unreadable = 0;
  SectorNo firstUnreadable = 0;
  auto unreadableSector = [&](SectorNo lba) {
    if (unreadable++ == 0) firstUnreadable = lba;
  };
  auto warnUnreadable = [&](const std::string& what) {
    if (unreadable == 0) return;
    obs.warning(dec(unreadable) + " sector(s) of " + what + " could not be read (the first is sector " +
                dec(firstUnreadable) + "); entries it held are missing");
    unreadable = 0;
  };

  // Parses the directory's sectors cluster by cluster from the given chain.
  // The first sector of the chain is parsed from firstEntry, the others from
  // 0. checkStop tests the stop flag before each sector.
  DirectoryClusters read;
  auto walkChain = [&](const ClusterChain& chain, std::uint32_t parent, bool parentDeleted, int firstEntry,
                       bool checkStop, bool skipFirstRead) {
    bool first = true;
    for (std::size_t k = 0; k < chain.size(); ++k) {
      const std::uint32_t c = chain[k];
      // A chain that runs into a cluster another directory has read ends.
      if (!read.take(c) && k > 0) return;
      if (!(first && skipFirstRead)) dir.prefetch(vp.clusterBase + c * spc, spc);
      for (std::uint32_t i = 0; i < spc; ++i) {
        if (checkStop && stop.load() == 1) return;
        const SectorNo lba = vp.clusterBase + c * spc + i;
        if (!(first && skipFirstRead)) {
          if (!dir.read(lba)) {
            unreadableSector(lba);
            first = false;
            continue;
          }
        }
        parseDirectorySector(dir.sector(), dir.context(), parent, end, lba, parentDeleted, first ? firstEntry : 0,
                             tree, divisor, obs);
        first = false;
        if (end) return;
        dir.advance();
      }
    }
  };

  // Root directory. The stop flag is not tested here.
  dir.restart();
  end = false;
  if (vp.fsType == FsType::Fat32) {
    walkChain(readDirectoryChain(reader, vp, static_cast<std::uint32_t>(vp.rootDirStart)), kFatRootCluster, false, 0, false, false);
    warnUnreadable("the root folder");
  } else {
    const SectorNo rootFirst = sel.rangeStart + vp.reservedSectors + 2 * vp.sectorsPerFat;
    for (std::uint32_t i = 0; i < vp.rootDirSectors && !end; ++i) {
      const SectorNo lba = rootFirst + i;
      if (i % 256 == 0) dir.prefetch(lba, std::min<std::uint32_t>(256, vp.rootDirSectors - i));
      if (!dir.read(lba)) {
        unreadableSector(lba);
        continue;
      }
      parseDirectorySector(dir.sector(), dir.context(), kFatRootCluster, end, lba, false, 0, tree, divisor, obs);
      dir.advance();
    }
    warnUnreadable("the root folder");
  }

  // Folders, breadth first; the list grows while it is walked.
  for (std::size_t k = 0; k < tree.fatFolders.size() && stop.load() != 1; ++k) {
    const std::uint32_t firstCluster = tree.fatFolders[k].firstCluster;
    const bool deleted = tree.fatFolders[k].deleted;
    if (spc == 0) continue;
    dir.restart();
    end = false;
    if (stop.load() == 1) break;
    // A folder whose first sector is not a "." / ".." sector (its cluster
    // was reused, or never was a directory) keeps no children.
    dir.prefetch(vp.clusterBase + firstCluster * spc, spc);
    const std::string what = "the folder " + tree.fatFolders[k].name + " (cluster " + dec(firstCluster) + ")";
    if (!dir.read(vp.clusterBase + firstCluster * spc)) {
      obs.warning(what + " could not be read (sector " + dec(vp.clusterBase + firstCluster * spc) +
                  "); it is listed empty");
      continue;
    }
    if (!isDotSector(dir.sector())) continue;
    const ClusterChain chain = readDirectoryChain(reader, vp, firstCluster);
    walkChain(chain, firstCluster, deleted, 2, true, true);
    warnUnreadable(what);
  }

  stop.store(0);
  bar.hideStop();
  obs.progress(0);
  tree.buildFatFolderTree(obs);
}

}  // namespace osprin
