#pragma once
// The state of one run of the program and the jobs that change it: the
// drives, the open disk, the partition list, the selection, the mounted
// volume's geometry and tree, the deep scan's results, the recovery settings
// and the filter table. The desktop program and the command line drive the
// same Session; tests make as many as they like.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/observer.h"
#include "common/types.h"
#include "deepscan/deep_results.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "partition/partition_table.h"
#include "recovery/extract.h"
#include "recovery/report.h"
#include "recovery/settings.h"
#include "recovery/verdict.h"
#include "search/find_files.h"
#include "search/match.h"
#include "snapshot/snapshot.h"
#include "tree/file_list.h"
#include "tree/file_tree.h"
#include "ntfs/record.h"
#include "volume/volume_params.h"
#include "volume/walkers.h"

namespace osprin {

class Session {
 public:
  // ---- drives ----------------------------------------------------------------
  std::vector<DriveInfo> drives;
  int selectedDrive = -1;
  std::unique_ptr<SectorReader> reader;  // the open disk (read-only)
  // The logical sector size the user gave (512 to 4,096); 0: the device's
  // own, or what the disk's contents show (detectSectorSize).
  unsigned sectorSizeOverride = 0;
  // A position in 512-byte units as the disk's own sector number (what the
  // window shows and the range fields take).
  std::uint64_t diskSector(SectorNo unit) const { return reader ? unit / reader->unitsPerSector() : unit; }

  // Lists the machine's disks followed by the given images.
  void enumerateDrives(const std::vector<std::string>& images, const std::string& sysRoot = "/sys/block");
  // Adds an image file as the next drive slot; false with a message.
  bool addImage(const std::string& path, std::string& error);
  // Opens drive `index` read-only; false with a message.
  bool openDrive(int index, std::string& error);
  // Opens drive `index` from a source opened elsewhere (a device opened
  // through the desktop's disk service).
  void openDriveFrom(int index, std::unique_ptr<BlockSource> source);
  void closeDrive();
  const DriveInfo* drive() const;
  // Reads a GNU ddrescue map file of the open disk: the areas it does not
  // give as finished are never read and count as unreadable. False with a
  // message (nothing changed).
  bool setBadSectorsMap(const std::string& path, std::string& error);

  // ---- partitions and selection -----------------------------------------------
  std::vector<PartitionEntry> partitions;
  Selection sel;
  ScanType scanType = ScanType::Standard;

  // What reading the partition list had to say (a GPT read from its backup
  // header, one that could not be read); the window shows it.
  std::vector<std::string> partitionWarnings;

  // Reads the partition tables at sectors 0, 0, 61, 62 (the first that lists
  // something wins; a protective MBR gives the GPT), then a GPT behind a wiped
  // sector 0. True when a partition was found.
  bool readPartitionTables();
  // The lost partition search; replaces the partition list.
  void searchLostPartitions(StopFlag& stop, Observer& obs);
  // Sets the selection from partition i (rangeTag = i). A partition of an
  // unknown file system gives fsType None: a range for the advanced scan only.
  bool selectPartition(std::size_t i);
  // The whole drive as a range (0 .. the drive's sector count), as the
  // drive item of the partition step sets it.
  void selectWholeDrive(FsType fsType);
  // The range of an advanced scan from the text of the two fields: the
  // message when a field is not a number or start is not below end, "" and
  // the selection set otherwise (rangeLength = end - start).
  std::string setScanRange(FsType fsType, std::string_view startText, std::string_view endText);

  // ---- the mounted volume -------------------------------------------------------
  VolumeParams vp;
  MftRuns mftRuns;
  FileTree tree;
  ParentIndex standardFileParents;  // parents of tree.ntfsFiles

  ScanOutcome standardScan(StopFlag& stop, Observer& obs);

  // ---- deep scan ---------------------------------------------------------------
  DeepScanResults deep;
  std::uint16_t chosenFsIndex = 0;

  // Signature scan and classification over the selection's range.
  void deepScan(StopFlag& stop, Observer& obs);
  // Copies found file system `number` (1-based) into vp; its panel texts.
  std::vector<PanelRow> selectFoundFileSystem(std::size_t number);
  // Rebuilds the chosen found file system's tree.
  void mountFound(StopFlag& stop, Observer& obs);

  // ---- browsing -----------------------------------------------------------------
  RecoverySettings settings;
  FilterTable filters;

  // Whether the tree in use is in the FAT lists (FAT16, FAT32, exFAT).
  bool usesFatTree() const { return osprin::usesFatTree(vp.fsType); }
  // The NTFS files of the tree in use (standard scan list, or the deep
  // scan's records of the chosen file system).
  NtfsFileSet ntfsFiles();
  // The identity of the root folder (FAT 0, NTFS 5).
  std::uint32_t rootIdentity() const { return usesFatTree() ? kFatRootCluster : kNtfsRootRecord; }
  // The identity of the folder shown by a tree item (the root's for the root
  // item or an unknown item).
  std::uint32_t identityOfItem(std::uint32_t item) const;
  // The rows of a folder (by identity), with the filter table applied.
  std::vector<ListRow> listFolder(std::uint32_t identity);
  // The rows of the folder of a tree item.
  std::vector<ListRow> listItem(std::uint32_t item) { return listFolder(identityOfItem(item)); }
  // Judges whether each deleted file and folder of the tree in use can still
  // be recovered (from the FAT or $Bitmap, without reading file data); the
  // verdicts stay in the records and show in the rows.
  VerdictCounts assessRecoverability(const StopFlag* stop = nullptr);
  // Gives the record of a row a new name (and its tree item for folders).
  bool renameRow(const ListRow& row, std::string_view newName);

  // ---- recovery, open, find ---------------------------------------------------
  // With a report, every file copied is entered in it (source runs, outcome,
  // hashes of the bytes written) and its disk, volume and times are filled.
  RecoveryResult recoverRows(const std::vector<ListRow>& rows, const std::string& destination, RecoveryFlags& flags,
                             Observer& obs, RecoveryReport* report = nullptr);
  // A report that describes the files of this session's tree.
  std::unique_ptr<RecoveryReport> makeReport();
  // The path of a file record on the volume ("/DIR/a.txt"): an index into
  // tree.fatFiles, or into the NTFS file list in use.
  std::string filePath(std::size_t index);
  CopyResult openRow(const ListRow& row, const std::string& folder, RecoveryFlags& flags, Observer& obs);
  // The first `limit` bytes of a file row as recovery would write them (the
  // same extraction: FAT chains, NTFS runs, compressed units, zeros for
  // unreadable sectors), read into memory through a reader of its own on
  // the open disk, so that it may run beside the window's work on the same
  // tree (but not beside a change of the tree). The file passes through a
  // temporary folder, in memory where the system has one ($XDG_RUNTIME_DIR,
  // /dev/shm, then $TMPDIR, /tmp), never on the disk being read, and
  // removed at the end. `cancel` non-zero stops it early.
  struct Preview {
    bool ok = false;
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;  // the file's size on the volume
    std::string error;
  };
  Preview previewRow(const ListRow& row, std::size_t limit, const std::atomic<int>& cancel);
  FindResult findFiles(std::string_view pattern, const std::atomic<int>& cancel,
                       const std::function<void(const FindHit&)>& onHit, Observer& obs);

  // ---- snapshots ----------------------------------------------------------------
  // Saves the tree in work under snapshotFileName(path); the written path in *written.
  bool saveSnapshot(const std::string& path, std::string& error, std::string* written = nullptr);
  // Loads a snapshot; on success the selection, vp (but rootDirStart),
  // chosenFsIndex and the tree are replaced, the MFT runs re-read for NTFS,
  // scanType becomes Standard and the folder tree is built. On failure
  // nothing changes.
  // *otherDisk, when given, is set to a warning when the snapshot records a
  // disk that is not the one open (empty otherwise); the snapshot is used
  // all the same.
  SnapshotLoadStatus loadSnapshot(const std::string& path, std::string& error, std::string* otherDisk = nullptr);
  // The two halves of loadSnapshot, for a caller that asks the user before
  // using a snapshot of another disk: reads the file without changing the
  // session, then takes the loaded content over.
  SnapshotLoadStatus readSnapshot(const std::string& path, LoadedSnapshot& out, std::string& error);
  void useSnapshot(LoadedSnapshot&& loaded);
  // What identifies the open disk for the volume in work (its size, sector
  // size and the hash of the volume's first sector); none without a disk or
  // when that sector cannot be read.
  std::optional<SnapshotDisk> diskIdentity(const VolumeParams& params, const Selection& selection);
  // Empty when the snapshot names no disk or names the open one; otherwise
  // what differs, for the user.
  std::string otherDiskWarning(const LoadedSnapshot& loaded);

  // ---- going back ---------------------------------------------------------------
  // Frees both trees (Back from the browse step).
  void freeTrees();
  // Frees the deep scan's results (Back from the found-file-system step).
  void freeDeepScan();

 private:
  RecoveryContext recoveryContext();
};

// The sizes a folder holds, for "File/Folder Properties".
struct FolderStats {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;  // the folder itself included
  std::uint64_t bytes = 0;
};
FolderStats folderStats(Session& s, std::uint32_t treeItem);

// The "Drive Information" rows of the mounted volume.
std::vector<PanelRow> volumeInformation(const Session& s);

}  // namespace osprin
