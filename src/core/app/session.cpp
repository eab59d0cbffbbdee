#include "app/session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>

#include "app/texts.h"
#include "recovery/destination.h"
#include "common/text.h"
#include "deepscan/deep_scan.h"
#include "partition/lost_search.h"

namespace osprin {

// ---- drives --------------------------------------------------------------------

void Session::enumerateDrives(const std::vector<std::string>& images, const std::string& sysRoot) {
  drives = osprin::enumerateDrives(images, sysRoot);
}

bool Session::addImage(const std::string& path, std::string& error) {
  DriveInfo d;
  if (!driveInfoForPath(path, d, error)) return false;
  drives.push_back(std::move(d));
  return true;
}

bool Session::openDrive(int index, std::string& error) {
  closeDrive();
  if (index < 0 || static_cast<std::size_t>(index) >= drives.size()) {
    error = "no such drive";
    return false;
  }
  auto src = openBlockSource(drives[static_cast<std::size_t>(index)].path, error);
  if (!src) return false;
  openDriveFrom(index, std::move(src));
  return true;
}

void Session::openDriveFrom(int index, std::unique_ptr<BlockSource> source) {
  closeDrive();
  reader = std::make_unique<SectorReader>(std::move(source));
  reader->setBadSectorRetries(settings.badSectorRetries);
  reader->setSectorSize(isSectorSize(sectorSizeOverride) ? sectorSizeOverride : detectSectorSize(*reader->source()));
  selectedDrive = index;
  if (index >= 0 && static_cast<std::size_t>(index) < drives.size())
    drives[static_cast<std::size_t>(index)].sectorSize = reader->sectorSize();
}

void Session::closeDrive() { reader.reset(); }

bool Session::setBadSectorsMap(const std::string& path, std::string& error) {
  if (!reader) {
    error = "no disk is open";
    return false;
  }
  std::vector<SectorRange> unreadable;
  if (!loadRescueMap(path, unreadable, error)) return false;
  reader->setUnreadable(std::move(unreadable));
  return true;
}

const DriveInfo* Session::drive() const {
  if (selectedDrive < 0 || static_cast<std::size_t>(selectedDrive) >= drives.size()) return nullptr;
  return &drives[static_cast<std::size_t>(selectedDrive)];
}

// ---- partitions and selection ---------------------------------------------------

bool Session::readPartitionTables() {
  partitions.clear();
  partitionWarnings.clear();
  if (!reader) return false;
  partitions = osprin::readPartitionTables(*reader, &partitionWarnings);
  return !partitions.empty();
}

void Session::searchLostPartitions(StopFlag& stop, Observer& obs) {
  partitions.clear();
  partitionWarnings.clear();
  const DriveInfo* d = drive();
  if (!reader || !d) return;
  SectorReader::StopScope scope(*reader, [&stop] { return stop.load() == 1; });
  partitions = osprin::searchLostPartitions(*reader, *d, stop, obs);
}

bool Session::selectPartition(std::size_t i) {
  if (i >= partitions.size()) return false;
  const auto& p = partitions[i];
  sel.fsType = p.fsType;
  sel.rangeStart = p.start;
  sel.rangeLength = p.length;
  sel.rangeEnd = p.start + p.length - 1;
  sel.rangeTag = static_cast<std::uint16_t>(i);
  return true;
}

void Session::selectWholeDrive(FsType fsType) {
  const DriveInfo* d = drive();
  sel.fsType = fsType;
  sel.rangeTag = 0;
  sel.rangeStart = 0;
  sel.rangeLength = d ? d->totalSectors : 0;
  sel.rangeEnd = sel.rangeLength;
}

std::string Session::setScanRange(FsType fsType, std::string_view startText, std::string_view endText) {
  std::uint64_t start = 0, end = 0;
  if (!parseUnsigned(startText, start) || start >= kSectorNoLimit) return std::string(texts::kStartInvalid);
  if (!parseUnsigned(endText, end) || end >= kSectorNoLimit) return std::string(texts::kEndInvalid);
  if (start >= end) return std::string(texts::kEndNotBigger);
  // Typed in the disk's own sectors; kept in 512-byte units.
  const std::uint64_t units = reader ? reader->unitsPerSector() : 1;
  sel.fsType = fsType;
  sel.rangeStart = static_cast<SectorNo>(start * units);
  sel.rangeEnd = static_cast<SectorNo>(end * units);
  sel.rangeLength = static_cast<SectorNo>((end - start) * units);
  return "";
}

// ---- scans ------------------------------------------------------------------------

ScanOutcome Session::standardScan(StopFlag& stop, Observer& obs) {
  scanType = ScanType::Standard;
  freeTrees();
  standardFileParents.clear();
  if (!reader) return ScanOutcome::Failed;
  SectorReader::StopScope scope(*reader, [&stop] { return stop.load() == 1; });
  return runStandardScan(*reader, sel, vp, mftRuns, tree, stop, obs);
}

void Session::deepScan(StopFlag& stop, Observer& obs) {
  scanType = ScanType::Advanced;
  freeTrees();
  freeDeepScan();
  if (!reader) return;
  SectorReader::StopScope scope(*reader, [&stop] { return stop.load() == 1; });
  runDeepScan(*reader, sel, settings.sectorsPerRead, deep, stop, obs);
}

std::vector<PanelRow> Session::selectFoundFileSystem(std::size_t number) {
  auto rows = osprin::selectFoundFileSystem(deep, number, vp);
  if (!rows.empty()) chosenFsIndex = static_cast<std::uint16_t>(number);
  return rows;
}

void Session::mountFound(StopFlag& stop, Observer& obs) {
  scanType = ScanType::Advanced;
  freeTrees();
  if (!reader || chosenFsIndex == 0) return;
  SectorReader::StopScope scope(*reader, [&stop] { return stop.load() == 1; });
  runMount(*reader, deep, chosenFsIndex, vp, tree, stop, obs);
}

// ---- browsing -----------------------------------------------------------------------

NtfsFileSet Session::ntfsFiles() {
  if (scanType == ScanType::Advanced) return deep.fileSetFor(vp);
  return NtfsFileSet(tree.ntfsFiles, standardFileParents);
}

std::uint32_t Session::identityOfItem(std::uint32_t item) const {
  std::int64_t f = tree.folderOfItem(item);
  if (f < 0) return rootIdentity();
  auto i = static_cast<std::size_t>(f);
  if (usesFatTree()) return i < tree.fatFolders.size() ? tree.fatFolders[i].firstCluster : rootIdentity();
  return i < tree.ntfsFolders.size() ? tree.ntfsFolders[i].recordNumber : rootIdentity();
}

std::vector<ListRow> Session::listFolder(std::uint32_t identity) {
  FileFilter filter = filters.fileFilter();
  if (usesFatTree()) return listFatFolder(tree, identity, filter);
  if (vp.fsType == FsType::Ntfs) return listNtfsFolder(tree, ntfsFiles(), identity, filter);
  return {};
}

VerdictCounts Session::assessRecoverability(const StopFlag* stop) {
  if (!reader) return {};
  return osprin::assessRecoverability(*reader, vp, tree, ntfsFiles(), scanType == ScanType::Standard ? mftRuns : MftRuns{},
                                      stop);
}

bool Session::renameRow(const ListRow& row, std::string_view newName) {
  if (newName.empty()) return false;
  if (row.folder) {
    std::int64_t f = tree.folderOfItem(static_cast<std::uint32_t>(row.id));
    if (f < 0) return false;
    if (usesFatTree()) tree.renameFatFolderAt(static_cast<std::size_t>(f), newName);
    else tree.renameNtfsFolderAt(static_cast<std::size_t>(f), newName);
    return true;
  }
  if (usesFatTree()) {
    std::int64_t i = tree.findFatFileByIndex(static_cast<std::uint32_t>(row.id));
    if (i < 0) return false;
    tree.fatFiles[static_cast<std::size_t>(i)].name.assign(newName);
    return true;
  }
  if (!row.stream.empty()) return false;  // a stream is named after its file
  NtfsFileSet files = ntfsFiles();
  std::int64_t i = files.findBySector(static_cast<SectorNo>(row.id));
  if (i < 0) return false;
  files.list()[static_cast<std::size_t>(i)].name.assign(newName);
  return true;
}

// ---- recovery -----------------------------------------------------------------------

RecoveryContext Session::recoveryContext() {
  static SectorReader noDisk;
  return RecoveryContext{reader ? *reader : noDisk, vp, tree, ntfsFiles(), scanType, settings, filters};
}

RecoveryResult Session::recoverRows(const std::vector<ListRow>& rows, const std::string& destination,
                                    RecoveryFlags& flags, Observer& obs, RecoveryReport* report) {
  if (reader) reader->setBadSectorRetries(settings.badSectorRetries);
  RecoveryContext ctx = recoveryContext();
  if (report) {
    ReportInfo& in = report->info;
    in.version = OSPRIN_VERSION;
    if (const DriveInfo* d = drive()) {
      in.diskPath = d->path;
      in.diskModel = d->model;
    }
    in.diskBytes = reader ? reader->totalSectors() * kSectorSize : 0;
    in.sectorSize = kSectorSize;  // the unit of the sector numbers the report holds
    in.fsType = std::string(fsTypeText(vp.fsType));
    in.deepScan = scanType == ScanType::Advanced;
    in.sectorsPerCluster = vp.sectorsPerCluster;
    in.clusterBase = vp.clusterBase;
    in.fat1Start = vp.fat1Start;
    in.fat2Start = vp.fat2Start;
    in.mftStart = vp.mftStart;
    if (vp.fsType == FsType::Ntfs)
      in.volumeStartSector = vp.clusterBase;
    else if (in.deepScan && vp.fat1Start >= vp.reservedSectors && vp.fat1Start != 0)
      in.volumeStartSector = vp.fat1Start - vp.reservedSectors;
    else
      in.volumeStartSector = sel.rangeStart;
    if (!in.deepScan)
      in.volumeSectors = sel.rangeLength;
    else if (vp.volumeEnd > in.volumeStartSector)
      in.volumeSectors = vp.volumeEnd - in.volumeStartSector;
    in.destination = destination;
    if (in.started.empty()) in.started = isoTimeNow();
    ctx.sink = report;
  }
  RecoveryResult result = recoverListRows(ctx, rows, destination, flags, obs);
  if (report) report->info.finished = isoTimeNow();
  return result;
}

std::string Session::filePath(std::size_t index) {
  std::string path;
  std::uint32_t parent;
  if (usesFatTree()) {
    if (index >= tree.fatFiles.size()) return "";
    path = "/" + tree.fatFiles[index].name;
    parent = tree.fatFiles[index].parentCluster;
  } else {
    NtfsFileSet files = ntfsFiles();
    if (!files.valid() || index >= files.list().size()) return "";
    path = "/" + files.list()[index].name;
    parent = files.list()[index].parentRecord;
  }
  // Up the parents to the root; a damaged chain of parents ends after as
  // many steps as there are folders.
  const std::size_t limit = usesFatTree() ? tree.fatFolders.size() : tree.ntfsFolders.size();
  for (std::size_t step = 0; step <= limit && parent != rootIdentity(); ++step) {
    const std::int64_t f = usesFatTree() ? tree.findFatFolder(parent) : tree.findNtfsFolder(parent);
    if (f < 0) break;
    const auto i = static_cast<std::size_t>(f);
    if (usesFatTree()) {
      path = "/" + tree.fatFolders[i].name + path;
      parent = tree.fatFolders[i].parentCluster;
    } else {
      path = "/" + tree.ntfsFolders[i].name + path;
      parent = tree.ntfsFolders[i].parentRecord;
    }
  }
  return path;
}

std::unique_ptr<RecoveryReport> Session::makeReport() {
  return std::make_unique<RecoveryReport>([this](const FileCopyRequest& req, ReportEntry& e) {
    if (req.record < 0) {
      e.sourcePath = "/" + req.name;
      return;
    }
    const auto i = static_cast<std::size_t>(req.record);
    e.sourcePath = filePath(i);
    if (usesFatTree()) {
      if (i >= tree.fatFiles.size()) return;
      const FatFileNode& f = tree.fatFiles[i];
      e.modified = isoFatTime(f.writeDate, 0, false);
      e.accessed = isoFatTime(f.accessDate, 0, false);
    } else {
      NtfsFileSet files = ntfsFiles();
      if (!files.valid() || i >= files.list().size()) return;
      const NtfsFileNode& f = files.list()[i];
      e.created = isoFileTime(f.creationTime);
      e.changed = isoFileTime(f.changeTime);
    }
  });
}

CopyResult Session::openRow(const ListRow& row, const std::string& folder, RecoveryFlags& flags, Observer& obs) {
  RecoveryContext ctx = recoveryContext();
  return copyRowForOpen(ctx, row, folder, flags, obs);
}

namespace {

// Keeps the first bytes a copy writes and ends the copy once it has them.
class MemorySink : public CopySink {
 public:
  MemorySink(std::vector<std::uint8_t>& out, std::size_t limit, RecoveryFlags& flags, const std::atomic<int>& cancel)
      : out_(out), limit_(limit), flags_(flags), cancel_(cancel) {}
  void begin(const FileCopyRequest&) override {}
  void source(std::uint64_t, std::uint64_t, bool) override {}
  void data(const std::uint8_t* p, std::size_t n) override {
    const std::size_t take = std::min(n, limit_ - std::min(limit_, out_.size()));
    if (take > 0) out_.insert(out_.end(), p, p + take);
    check();
  }
  void zeros(std::uint64_t n) override {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit_ - std::min(limit_, out_.size())));
    out_.resize(out_.size() + take, 0);
    check();
  }
  void unreadable(std::uint64_t, std::uint64_t) override {}
  void end(const FileCopyRequest&, const CopyResult&, const FileResult*) override {}

 private:
  void check() {
    if (out_.size() >= limit_ || cancel_.load() != 0) flags_.saveStopRequested.store(1);
  }
  std::vector<std::uint8_t>& out_;
  std::size_t limit_;
  RecoveryFlags& flags_;
  const std::atomic<int>& cancel_;
};

}  // namespace

Session::Preview Session::previewRow(const ListRow& row, std::size_t limit, const std::atomic<int>& cancel) {
  Preview p;
  p.size = row.size;
  if (row.folder || !reader || !drive()) {
    p.error = "nothing to show";
    return p;
  }
  // A reader of its own: the window's reader may be busy with other work.
  std::unique_ptr<BlockSource> src;
  std::string err;
  if (auto* file = dynamic_cast<FileBlockSource*>(reader->source())) {
    const int fd = ::fcntl(file->fd(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) src = FileBlockSource::adopt(fd, drive()->path, err);
  }
  if (!src) src = openBlockSource(drive()->path, err);
  if (!src) {
    p.error = err.empty() ? "the disk cannot be read" : err;
    return p;
  }
  SectorReader own(std::move(src));
  own.setBadSectorRetries(1);
  own.setUnreadable(reader->unreadable());
  // The copy passes through a temporary folder, in memory where the system
  // has one ($XDG_RUNTIME_DIR, /dev/shm), and never on the disk being read:
  // writing there could overwrite the deleted files.
  std::string folder;
  std::vector<std::string> places;
  if (const char* v = std::getenv("XDG_RUNTIME_DIR"); v && *v) places.emplace_back(v);
  places.emplace_back("/dev/shm");
  if (const char* v = std::getenv("TMPDIR"); v && *v) places.emplace_back(v);
  places.emplace_back("/tmp");
  for (const std::string& place : places) {
    std::string f = place + "/osprin-preview-XXXXXX";
    if (!::mkdtemp(f.data())) continue;
    if (!checkDestination(f, drive()->path).onSource) {
      folder = std::move(f);
      break;
    }
    ::rmdir(f.c_str());
  }
  if (folder.empty()) {
    p.error = "no temporary folder off the disk being recovered";
    return p;
  }
  RecoveryFlags flags;
  MemorySink sink(p.bytes, limit, flags, cancel);
  RecoveryContext ctx{own, vp, tree, ntfsFiles(), scanType, settings, filters, &sink};
  const CopyResult r = copyRowForOpen(ctx, row, folder, flags, nullObserver());
  if (!r.path.empty()) ::unlink(r.path.c_str());
  ::rmdir(folder.c_str());
  if (cancel.load() != 0) {
    p.error = "cancelled";
    return p;
  }
  // Cut short on purpose once the bytes wanted were there; otherwise the
  // copy must have run.
  p.ok = r.ok() || r.status == CopyStatus::NotDecoded || p.bytes.size() >= std::min<std::uint64_t>(limit, row.size);
  if (!p.ok) p.error = r.path.empty() ? "the file cannot be read" : "the file's data cannot be read";
  return p;
}

FindResult Session::findFiles(std::string_view pattern, const std::atomic<int>& cancel,
                              const std::function<void(const FindHit&)>& onHit, Observer& obs) {
  return osprin::findFiles(tree, vp.fsType, ntfsFiles(), pattern, onHit, cancel, obs);
}

// ---- snapshots ------------------------------------------------------------------------

std::optional<SnapshotDisk> Session::diskIdentity(const VolumeParams& params, const Selection& selection) {
  if (!reader || !reader->isOpen()) return std::nullopt;
  // The volume's first sector: the boot sector NTFS counts its clusters
  // from, or the one before FAT's reserved sectors.
  SectorNo first = selection.rangeStart;
  if (params.fsType == FsType::Ntfs && params.clusterBase != 0)
    first = params.clusterBase;
  else if (params.fsType != FsType::Ntfs && params.fat1Start >= params.reservedSectors && params.fat1Start != 0)
    first = params.fat1Start - params.reservedSectors;
  std::vector<std::uint8_t> sector(kSectorSize);
  if (!reader->readSectors64(first, 1, sector.data())) return std::nullopt;
  SnapshotDisk d;
  d.diskBytes = reader->source() ? reader->source()->sizeBytes() : 0;
  d.sectorSize = reader->sectorSize();
  unsigned int len = 0;
  if (EVP_Digest(sector.data(), sector.size(), d.bootSha256.data(), &len, EVP_sha256(), nullptr) != 1 ||
      len != d.bootSha256.size())
    return std::nullopt;
  return d;
}

bool Session::saveSnapshot(const std::string& path, std::string& error, std::string* written) {
  SnapshotSource src;
  src.selection = sel;
  src.params = vp;
  src.chosenFsIndex = chosenFsIndex;
  src.tree = &tree;
  if (vp.fsType == FsType::Ntfs) src.ntfsFiles = ntfsFiles();
  src.disk = diskIdentity(vp, sel);
  std::string target = snapshotFileName(path);
  if (written) *written = target;
  return osprin::saveSnapshot(target, src, error);
}

std::string Session::otherDiskWarning(const LoadedSnapshot& loaded) {
  if (!loaded.disk) return {};
  const auto here = diskIdentity(loaded.params, loaded.selection);
  const SnapshotDisk& then = *loaded.disk;
  std::string why;
  if (!here) {
    why = "the volume's first sector cannot be read on this disk";
  } else if (here->diskBytes != then.diskBytes || here->sectorSize != then.sectorSize) {
    why = "that disk had " + dec(then.diskBytes) + " bytes in sectors of " + dec(then.sectorSize) +
          " bytes; this one has " + dec(here->diskBytes) + " bytes in sectors of " +
          dec(here->sectorSize) + " bytes";
  } else if (here->bootSha256 != then.bootSha256) {
    why = "the volume's first sector differs";
  } else {
    return {};
  }
  return "The snapshot was taken from another disk: " + why + ".";
}

SnapshotLoadStatus Session::readSnapshot(const std::string& path, LoadedSnapshot& out, std::string& error) {
  return osprin::loadSnapshot(path, out, error);
}

void Session::useSnapshot(LoadedSnapshot&& loaded) {
  sel = loaded.selection;
  const SectorNo keepRoot = vp.rootDirStart;
  vp = loaded.params;
  vp.rootDirStart = keepRoot;
  chosenFsIndex = loaded.chosenFsIndex;
  tree = std::move(loaded.tree);
  standardFileParents.clear();
  scanType = ScanType::Standard;
  if (vp.fsType == FsType::Ntfs) {
    mftRuns = reader ? readMftRuns(*reader, vp.clusterBase, vp.mftStart, vp.sectorsPerCluster) : MftRuns{};
    tree.buildNtfsFolderTree();
  } else if (usesFatTree()) {
    tree.buildFatFolderTree();
  }
}

SnapshotLoadStatus Session::loadSnapshot(const std::string& path, std::string& error, std::string* otherDisk) {
  LoadedSnapshot loaded;
  SnapshotLoadStatus st = readSnapshot(path, loaded, error);
  if (st != SnapshotLoadStatus::Ok) return st;
  if (otherDisk) *otherDisk = otherDiskWarning(loaded);
  useSnapshot(std::move(loaded));
  return st;
}

// ---- going back ------------------------------------------------------------------------

void Session::freeTrees() {
  tree.freeFatTree();
  tree.freeNtfsTree();
  standardFileParents.clear();
}

void Session::freeDeepScan() {
  deep.freeDeepScanLists();
  chosenFsIndex = 0;
}

// ---- information -------------------------------------------------------------------------

FolderStats folderStats(Session& s, std::uint32_t treeItem) {
  FolderStats st;
  const FolderTree& ft = s.tree.folderTree();
  if (!ft.valid(treeItem)) return st;
  NtfsFileSet files = s.ntfsFiles();
  std::vector<std::uint32_t> stack{treeItem};
  while (!stack.empty()) {
    std::uint32_t item = stack.back();
    stack.pop_back();
    ++st.folders;
    std::uint32_t id = s.identityOfItem(item);
    if (s.usesFatTree()) {
      for (std::uint32_t i : s.tree.fatFileChildren(id)) {
        ++st.files;
        st.bytes += s.tree.fatFiles[i].size;
      }
    } else {
      files.forEachChild(id, [&](std::size_t i) {
        ++st.files;
        st.bytes += files.list()[i].size;
      });
    }
    for (std::uint32_t c : ft.item(item).children) stack.push_back(c);
  }
  return st;
}

std::vector<PanelRow> volumeInformation(const Session& s) {
  const VolumeParams& vp = s.vp;
  bool ntfs = vp.fsType == FsType::Ntfs;
  // After a deep scan the NTFS files are the records it found; after a
  // standard scan they are the walker's (showing the deep scan's count, 0,
  // there would be plainly wrong).
  std::uint64_t files = (ntfs && s.scanType == ScanType::Advanced) ? s.deep.fileHitCount : s.tree.fileCount;
  return {{"File System          :", std::string(fsTypeText(vp.fsType))},
          {"Start Sector         :", dec(vp.clusterBase)},
          {"Directories           :", dec(s.tree.folderCount)},
          {"Files                     :", dec(files)},
          {"SPC                     :", dec(vp.sectorsPerCluster)},
          {"First FAT              :", ntfs ? "N/A" : dec(vp.fat1Start)},
          {"Second FAT        :", ntfs ? "N/A" : dec(vp.fat2Start)},
          {"MFT Start            :", ntfs ? dec(vp.mftStart) : "N/A"}};
}

}  // namespace osprin
