// The NTFS side of the standard scan: every record of the master file table,
// in use or deleted, becomes a folder or a file of the tree.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "common/page_buffer.h"
#include "common/text.h"
#include "ntfs/data_attr.h"
#include "volume/walkers.h"
#include "ntfs/record_header.h"

namespace osprin {

namespace {

// Records are read a run piece at a time: one request for many records
// instead of one per record. A piece that fails is read again sector by
// sector inside the reader, and a sector that never reads stays zero.
constexpr std::uint32_t kChunkSectors = 256;
// Names of one file listed at most (hard links).
constexpr std::size_t kMaxLinks = 1024;

// Hands out the sectors of the MFT in order, reading the runs in pieces.
class MftSectorStream {
 public:
  MftSectorStream(SectorReader& reader, const MftRuns& runs) : reader_(reader), runs_(runs) {}

  // Positions on sector offset g of the runs (g never decreases between
  // calls). False when g lies beyond the last run.
  bool seek(std::uint64_t g) {
    while (run_ < runs_.size() && g >= runBase_ + runs_.runLength[run_]) {
      runBase_ += runs_.runLength[run_];
      ++run_;
    }
    if (run_ >= runs_.size()) return false;
    off_ = static_cast<std::uint32_t>(g - runBase_);
    return true;
  }
  // The sector at the current position as the user sees it (run start plus
  // offset), and as a record address (0 in a sparse run).
  SectorNo shownSector() const { return runs_.runStart[run_] + off_; }
  SectorNo diskSector() const { return runs_.runStart[run_] == 0 ? 0 : runs_.runStart[run_] + off_; }

  // Copies the sector at the current position into dst (zeros for a sparse
  // run or an unreadable sector). False when the sector could not be read.
  bool copy(std::uint8_t* dst) {
    const SectorNo start = runs_.runStart[run_];
    if (start == 0) {
      std::memset(dst, 0, kSectorSize);
      return true;
    }
    if (chunkRun_ != run_ || off_ < chunkOff_ || off_ >= chunkOff_ + chunkLen_) {
      chunkRun_ = run_;
      chunkOff_ = off_;
      chunkLen_ = std::min(kChunkSectors, runs_.runLength[run_] - off_);
      // One buffer for every chunk. Sectors that do not read are cleared by
      // the read itself.
      if (chunk_.empty()) chunk_ = PageBuffer(std::size_t{kChunkSectors} * kSectorSize);
      unread_.clear();
      reader_.readSectorsClearing(start + off_, chunkLen_, chunk_.data(), &unread_);
    }
    std::memcpy(dst, chunk_.data() + std::size_t{off_ - chunkOff_} * kSectorSize, kSectorSize);
    const std::uint64_t at = std::uint64_t{start} + off_;
    for (const SectorRange& r : unread_)
      if (at >= r.first && at < r.first + r.count) return false;
    return true;
  }

 private:
  SectorReader& reader_;
  const MftRuns& runs_;
  std::size_t run_ = 0;
  std::uint64_t runBase_ = 0;
  std::uint32_t off_ = 0;
  std::size_t chunkRun_ = static_cast<std::size_t>(-1);
  std::uint32_t chunkOff_ = 0, chunkLen_ = 0;
  PageBuffer chunk_;
  std::vector<SectorRange> unread_;
};

// The records named by one record's attribute list, read once per record in
// work however often they are asked.
class RefRecords {
 public:
  RefRecords(SectorReader& reader, const MftRuns& runs) : reader_(reader), runs_(runs) {}

  void reset(std::uint32_t base) {
    base_ = base;
    loaded_.clear();
  }
  // The extension record n of the record in work, or an empty span when it
  // cannot be read as a file record or now belongs to another file (the
  // list of a deleted file may name records that were used again).
  Bytes get(std::uint32_t n) {
    for (auto& [num, ok, buf] : loaded_)
      if (num == n) return ok ? Bytes(buf) : Bytes();
    auto& e = loaded_.emplace_back();
    std::get<0>(e) = n;
    std::get<1>(e) =
        readMftRecord(reader_, runs_, n, std::get<2>(e)) && rd32(std::get<2>(e), ntfsrec::kBaseReference) == base_;
    return std::get<1>(e) ? Bytes(std::get<2>(e)) : Bytes();
  }

 private:
  SectorReader& reader_;
  const MftRuns& runs_;
  std::uint32_t base_ = 0;
  std::vector<std::tuple<std::uint32_t, bool, std::array<std::uint8_t, kMaxMftRecordSize>>> loaded_;
};

int percent(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  return static_cast<int>(std::min<std::uint64_t>(99, done * 100 / total));
}

// Folders (and, in the standard scan, files) whose parent folder was not
// found get a placeholder folder "Dir0", "Dir1", ... under the root, named
// by the missing record number.
void placeLostFolders(FileTree& tree, StopFlag& stop, Observer& obs) {
  // Runs inside the walk's ProgressScope.
  obs.phase({Phase::SearchingLostData});
  obs.progress(0);
  std::uint32_t placeholders = 0;
  auto place = [&](std::uint32_t parent) {
    if (parent == kNtfsRootRecord || tree.findNtfsFolder(parent) >= 0) return;
    tree.addNtfsFolder("Dir" + dec(placeholders), parent, kNtfsRootRecord, 0, 0, false, ScanType::Standard);
    ++placeholders;
  };
  std::uint64_t examined = 0;
  // The list grows while it is walked: placeholders are examined too.
  for (std::size_t i = 0; i < tree.ntfsFolders.size() && stop.load() != 1; ++i) {
    const std::uint32_t parent = tree.ntfsFolders[i].parentRecord;
    if (parent == kNtfsRootRecord) continue;
    place(parent);
    obs.progress(percent(++examined, tree.folderCount));
  }
  examined = 0;
  for (std::size_t i = 0; i < tree.ntfsFiles.size() && stop.load() != 1; ++i) {
    const std::uint32_t parent = tree.ntfsFiles[i].parentRecord;
    if (parent == kNtfsRootRecord) continue;
    place(parent);
    obs.progress(percent(++examined, tree.fileCount));
  }
  stop.store(0);
}

}  // namespace

void walkNtfsVolume(SectorReader& reader, const VolumeParams& vp, MftRuns& runs, FileTree& tree, StopFlag& stop,
                    Observer& obs) {
  tree.freeNtfsTree();
  stop.store(0);
  bool mirror = false;
  runs = readMftRuns(reader, vp.clusterBase, vp.mftStart, vp.sectorsPerCluster, vp.mftMirrorStart, &mirror);
  if (mirror)
    obs.warning("the MFT's first record at sector " + dec(vp.mftStart) +
                " could not be read or is damaged; its copy in the MFT mirror (sector " + dec(vp.mftMirrorStart) +
                ") was used");
  else if (runs.size() == 0)
    obs.warning("the MFT's first record at sector " + dec(vp.mftStart) +
                " could not be read, nor its copy in the MFT mirror; the volume is listed empty");
  obs.counter(Counter::FoldersFound, 0);
  ProgressScope bar(obs, ProgressScope::Stop::Shown);

  const std::uint64_t total = runs.totalSectors();
  tree.folderCount = 0;
  tree.fileCount = 0;
  std::uint64_t sectorsRead = 0;

  // Room for one file per record, up to the records the disk can hold (a
  // damaged run list cannot push further): growing a list of millions of
  // records by doubling holds the old and the new copy at once. Pages not
  // used are never touched; when the room cannot be had, a smaller one.
  const std::uint32_t spr = runs.sectorsPerRecord;  // sectors per record: 2, or 8 for 4,096 bytes
  std::uint64_t room = std::min<std::uint64_t>(total / spr, std::uint64_t{1} << 27);
  if (const std::uint64_t disk = reader.totalSectors(); disk != 0) room = std::min(room, disk / spr);
  try {
    tree.ntfsFiles.reserve(static_cast<std::size_t>(room));
  } catch (const std::bad_alloc&) {
    tree.ntfsFiles.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(room, 1u << 22)));
  }

  MftSectorStream stream(reader, runs);
  RefRecords others(reader, runs);
  std::array<std::uint8_t, kMaxMftRecordSize> buf{};
  const auto rec = std::span<std::uint8_t>(buf).first(std::size_t{spr} * kSectorSize);
  std::vector<std::uint32_t> refs;
  refs.reserve(kMaxRecordRefs);
  FileNameInfo name;

  std::uint64_t unreadable = 0;  // records with a sector that could not be read
  std::uint32_t firstUnreadable = 0;
  std::uint32_t h = 0;
  for (std::uint64_t g = 0; g < total; g += spr, ++h) {
    if (stop.load() == 1) break;
    if (!stream.seek(g)) break;
    obs.counter(Counter::CurrentSector, stream.shownSector());
    sectorsRead += spr;
    const SectorNo sector = stream.diskSector();
    bool readable = stream.copy(rec.data());
    for (std::uint32_t k = 1; k < spr; ++k) {
      if (stream.seek(g + k))
        readable = stream.copy(rec.data() + std::size_t{k} * kSectorSize) && readable;
      else
        std::memset(rec.data() + std::size_t{k} * kSectorSize, 0, kSectorSize);
    }
    // Records 0 to 3 ($MFT, $MFTMirr, $LogFile, $Volume) have copies in the
    // MFT mirror.
    if (!readable && h < 4 && vp.mftMirrorStart != 0) {
      std::array<std::uint8_t, kMaxMftRecordSize> copy{};
      if (reader.readSectorsClearing(std::uint64_t{vp.mftMirrorStart} + std::uint64_t{spr} * h, spr, copy.data())) {
        std::copy_n(copy.begin(), rec.size(), rec.begin());
        readable = true;
      }
    }
    if (!readable && unreadable++ == 0) firstUnreadable = h;

    if (!hasText(rec, 0, "FILE")) continue;
    applyFixup(rec);
    // An extension record holds attributes of the file whose base record
    // it names; it is read with that record, not listed on its own.
    if (rd32(rec, ntfsrec::kBaseReference) != 0) continue;

    refs.assign(1, h);
    collectAttributeList(reader, vp.clusterBase, vp.sectorsPerCluster, rec, refs);
    others.reset(h);
    auto recordOf = [&](std::size_t j) { return j == 0 ? Bytes(rec) : others.get(refs[j]); };
    const std::uint8_t flags = rd8(rec, ntfsrec::kFlags);

    bool named = false;
    for (std::size_t j = 0; j < refs.size() && !named; ++j) {
      Bytes r = recordOf(j);
      named = !r.empty() && findPreferredFileName(r, name);
    }
    if (!named) continue;
    // The times Windows shows: $STANDARD_INFORMATION's, which the base
    // record holds; the file name's only when it has none.
    standardInformationTimes(rec, name.creationTime, name.changeTime);

    if (flags == 2 || flags == 3) {
      if (name.name == ".") continue;  // the root directory itself
      tree.addNtfsFolder(name.name, h, name.parentRecord, name.creationTime, name.changeTime, flags == 2,
                         ScanType::Standard);
      obs.counter(Counter::FoldersFound, tree.folderCount);
    } else {
      std::uint64_t size = 0;
      SectorNo dataSector = 0;
      bool found = false;
      for (std::size_t k = 0; k < refs.size() && !found; ++k) {
        dataSector = k == 0 ? sector : runs.recordSector(refs[k]);
        Bytes r = recordOf(k);
        found = !r.empty() && findDataSize(r, size);
      }
      if (!found) size = 0;
      const std::size_t linksFrom = tree.ntfsFiles.size();
      tree.addNtfsFile(dataSector, name.name, h, name.parentRecord, name.creationTime, name.changeTime, flags == 0,
                       size);
      ++tree.fileCount;
      // Hard links: each other name (not a DOS short name) is a row of its own.
      for (std::size_t k = 0; k < refs.size(); ++k) {
        Bytes r = recordOf(k);
        if (r.empty()) continue;
        for (const FileNameInfo& link : linkNames(r)) {
          if (link.parentRecord == name.parentRecord && link.name == name.name) continue;
          bool seen = false;
          for (std::size_t i = linksFrom; i < tree.ntfsFiles.size() && !seen; ++i)
            seen = tree.ntfsFiles[i].parentRecord == link.parentRecord && tree.ntfsFiles[i].name == link.name;
          if (seen || tree.ntfsFiles.size() - linksFrom >= kMaxLinks) continue;
          tree.addNtfsFile(dataSector, link.name, h, link.parentRecord, name.creationTime, name.changeTime, flags == 0,
                           size);
          ++tree.fileCount;
        }
      }
      // Named streams: a row "NAME:STREAM" each, right after the file.
      for (std::size_t k = 0; k < refs.size(); ++k) {
        Bytes r = recordOf(k);
        if (r.empty()) continue;
        for (const NtfsDataAttr& d : namedDataAttributes(r))
          tree.addNtfsFile(k == 0 ? sector : runs.recordSector(refs[k]), name.name + ":" + d.stream, h,
                           name.parentRecord, name.creationTime, name.changeTime, flags == 0, d.dataSize, true);
      }
      obs.counter(Counter::FilesFound, tree.fileCount);
    }
    obs.text(TextField::LastFileFolder, name.name);
    obs.phase({Phase::ReadingSector, sectorsRead, total});
    obs.progress(percent(sectorsRead, total));
  }

  if (unreadable > 0)
    obs.warning(dec(unreadable) + " MFT record(s) could not be read (the first is record " + dec(firstUnreadable) +
                "); the files and folders they held are missing");
  stop.store(0);
  obs.progress(0);
  placeLostFolders(tree, stop, obs);
  obs.progress(0);
  bar.hideStop();
  obs.phase({Phase::CreatingDirectoryTree});
  tree.buildNtfsFolderTree(obs);
}

}  // namespace osprin
