// The whole program's flow over a small damaged disk, as the desktop program
// and the command line run it through a Session: the partition list (or the
// lost partition search), the standard scan of a partition, the verdicts of
// the deleted files, recovery of every file with a report, a snapshot saved
// and loaded back, then the deep scan of the whole disk, the mount of the
// file systems it found and recovery again.
//
// Input: see fuzz_image.h (at most 16 MiB of disk). Options: bits 0-1 what
// to scan: 0 a partition of the partition list (bits 2-3 choose which), 1
// FAT16, 2 FAT32, 3 NTFS over the whole disk.
//
// Per input the work is bounded: recovered files are cut to 16 KiB (their
// records say how long they are; a damaged record can claim 4 GiB), at most
// 256 files are recovered per tree, and the destination is emptied after
// each input. The first few NTFS files that claim 2^63 bytes or more keep
// a size that large (near 2^64): no disk holds that much, so their copy
// ends at the end of their runs or of the 16 MiB disk, and sizes near 2^64
// reach the copy loop.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/session.h"
#include "common/text.h"
#include "disk/sector_reader.h"
#include "fuzz_image.h"
#include "fuzz_check.h"

namespace {

using namespace osprin;

constexpr std::uint32_t kMaxSectors = 32768;
constexpr std::uint64_t kMaxFileBytes = 16384;
constexpr std::size_t kMaxFiles = 256;
constexpr std::size_t kMaxFolders = 256;
constexpr std::size_t kMaxHugeFiles = 4;

using osprin::fuzz::check;

// Answers Yes to "Continue Recovery ?" so that one failed file does not end
// the run.
struct YesObserver : Observer {
  bool ask(std::string_view) override { return true; }
};

// The destination folder of this process, removed at exit (kept in a
// string that is never destroyed, so that the exit handler can use it).
const std::string& scratch() {
  static const std::string* dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string tmpl = base + "/osprin-session-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) __builtin_trap();
    auto* d = new std::string(tmpl);
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch(), ec);
    });
    return d;
  }();
  return *dir;
}

void emptyScratch() {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(scratch(), ec)) std::filesystem::remove_all(e.path(), ec);
}

// Every file row reachable from the root, folders of the folder tree in
// item order, at most `limit` of them.
std::vector<ListRow> fileRows(Session& s, std::size_t limit) {
  std::vector<ListRow> out;
  const FolderTree& ft = s.tree.folderTree();
  for (std::uint32_t item = FolderTree::kRoot; item < ft.size() && out.size() < limit; ++item) {
    for (ListRow& row : s.listItem(item)) {
      if (row.folder) continue;
      out.push_back(std::move(row));
      if (out.size() >= limit) break;
    }
  }
  return out;
}

// Recovers the tree in work: "Recover All" of the root when the tree is
// small, otherwise the first kMaxFiles files one by one.
void recoverEverything(Session& s, bool open) {
  std::size_t files = 0;
  if (s.usesFatTree()) {
    for (auto& f : s.tree.fatFiles) f.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(f.size, kMaxFileBytes));
    files = s.tree.fatFiles.size();
  } else if (s.vp.fsType == FsType::Ntfs) {
    NtfsFileSet set = s.ntfsFiles();
    std::size_t huge = 0;
    if (set.valid())
      for (auto& f : set.list()) {
        if (f.size >= (1ull << 63) && huge < kMaxHugeFiles) {
          ++huge;
          f.size = UINT64_MAX - (f.size & 0x3FF);
        } else {
          f.size = std::min<std::uint64_t>(f.size, kMaxFileBytes);
        }
      }
    set.forEach([&](std::size_t) { ++files; });
  } else {
    return;
  }
  RecoveryFlags flags;
  YesObserver obs;
  const std::string dest = scratch() + "/out";
  std::vector<ListRow> rows;
  if (files <= kMaxFiles && s.tree.folderCount <= kMaxFolders)
    rows = s.listItem(FolderTree::kRoot);
  else
    rows = fileRows(s, kMaxFiles);
  std::unique_ptr<RecoveryReport> report = s.makeReport();
  RecoveryResult r = s.recoverRows(rows, dest, flags, obs, report.get());
  check(!r.stopped);
  // A file is whole only when it holds all its bytes, none of them zeros
  // for unreadable sectors; only files given their names are counted.
  std::size_t named = 0;
  for (const FileResult& f : r.files) {
    if (f.outcome == FileOutcome::Whole) check(f.written == f.size && f.zeroFilled.empty());
    if (f.outcome == FileOutcome::Whole || f.outcome == FileOutcome::Incomplete) ++named;
  }
  check(named == r.filesSaved);
  // The report: a hash for every file written whole.
  for (const ReportEntry& e : report->entries()) check(e.outcome != "whole" || e.sha256.size() == 64);
  (void)report->dfxml();
  (void)report->csv();
  (void)report->json();
  // A damaged NTFS root record that is not named "." is listed as a folder
  // (of the root when it names itself as parent, else wherever its parent
  // leads); its row shows the root's files again, and recovering it copies
  // them again.
  std::size_t views = 1;
  for (const auto& f : s.tree.ntfsFolders)
    if (f.recordNumber == kNtfsRootRecord && f.treeItem != 0) ++views;
  check(r.filesSaved <= files * views);

  // Open of the first file row, as a double click does.
  for (const ListRow& row : rows) {
    if (row.folder || !open) continue;
    CopyResult c = s.openRow(row, scratch() + "/open", flags, obs);
    (void)c;
    break;
  }
  emptyScratch();
}

// Find Files, the folder statistics and the drive information.
void browse(Session& s) {
  // Verdicts: deleted records only.
  const VerdictCounts v = s.assessRecoverability();
  (void)v;
  for (const auto& f : s.tree.fatFiles) check(f.deleted || f.recoverable.verdict == Verdict::None);
  for (const auto& f : s.tree.ntfsFolders) check(f.deleted || f.recoverable.verdict == Verdict::None);
  StopFlag cancel{0};
  std::uint64_t hits = 0;
  s.findFiles("*", cancel, [&](const FindHit&) { ++hits; }, nullObserver());
  (void)folderStats(s, FolderTree::kRoot);
  (void)volumeInformation(s);
}

// A scanned tree saves, and what was saved loads back.
void snapshotCycle(Session& s) {
  std::string error, written;
  if (!s.saveSnapshot(scratch() + "/snap", error, &written)) return;
  const std::size_t folders = s.tree.fatFolders.size() + s.tree.ntfsFolders.size();
  const SnapshotLoadStatus st = s.loadSnapshot(written, error);
  check(st == SnapshotLoadStatus::Ok);
  // Loading keeps every folder but a duplicate record (a scan writes none).
  check(s.tree.fatFolders.size() + s.tree.ntfsFolders.size() <= folders);
  (void)s.listItem(FolderTree::kRoot);
  emptyScratch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageBuffer img(kMaxSectors);
  img.decode(data, size);
  const std::uint32_t sectors = img.sectors();
  const std::uint8_t options = img.options();

  Session s;
  s.reader = std::make_unique<SectorReader>(std::make_unique<fuzz::ImageSource>(img));
  DriveInfo drive = translatedGeometry(sectors);
  drive.path = "fuzz input";
  drive.isImage = true;
  s.drives.push_back(drive);
  s.selectedDrive = 0;
  StopFlag stop{0};
  YesObserver obs;

  // ---- the standard scan
  static const FsType kinds[4] = {FsType::None, FsType::Fat16, FsType::Fat32, FsType::Ntfs};
  FsType kind = kinds[options & 3];
  bool selected = false;
  if (kind == FsType::None) {
    if (!s.readPartitionTables()) s.searchLostPartitions(stop, obs);
    if (!s.partitions.empty()) {
      selected = s.selectPartition(((options >> 2) & 3) % s.partitions.size());
      kind = s.sel.fsType;
    } else {
      kind = FsType::Fat32;
    }
  }
  if (!selected) check(s.setScanRange(kind, "0", dec(sectors)).empty());
  if (s.standardScan(stop, obs) == ScanOutcome::Done) {
    check(stop.load() == 0);
    browse(s);
    recoverEverything(s, true);
    snapshotCycle(s);
  }

  // ---- the deep scan of the whole disk
  check(s.setScanRange(kind, "0", dec(sectors)).empty());
  s.deepScan(stop, obs);
  check(stop.load() == 0);
  const std::size_t found = s.deep.foundFileSystems.size();
  for (std::size_t pick = 1; pick <= found && pick <= 2; ++pick) {
    check(!s.selectFoundFileSystem(pick).empty());
    s.mountFound(stop, obs);
    browse(s);
    recoverEverything(s, false);
    snapshotCycle(s);
  }
  return 0;
}
