#pragma once
// Recovery snapshots: the tree of a scan with its selection and volume
// geometry, saved to a ".ZQRT" file and loaded again without scanning.
//
// Layout of version 1.1, the one written (little-endian, no padding):
//   header, 78 bytes: magic "zqr4.03", version "1.1", selection fsType (u16),
//   rangeStart, rangeLength, rangeEnd (u32), rangeTag (u16), the volume's
//   fsType (u16), sectorsPerFat, sectorsPerCluster, rootDirSectors,
//   reservedSectors, clusterBase, fat1Start, fat2Start, mftStart,
//   mftMirrorStart, sectorsPerMftRecord, sectorsPerIndexRecord, volumeEnd
//   (u32 each; rootDirStart is not stored), chosenFsIndex (u16).
//   header extension: u32 N, then N bytes of tagged fields {u16 tag,
//   u16 length, length bytes}; a loader skips tags it does not know.
//   Tag 1, the disk the snapshot was taken from (44 bytes): the disk's size
//   in bytes (u64), its sector size (u32) and the SHA-256 of the volume's
//   first sector (32 bytes).
//   FAT body: folder count (u32) and records {u16 L = name + 22, name,
//   firstCluster, parentCluster, writeDate, accessDate, deleted (u8),
//   2 reserved bytes, writeTime, createDate, createTime (u16),
//   createHundredths (u8)}; file count (u32) and records {u16 L = name + 28,
//   name, firstCluster, parentCluster, writeDate, accessDate, size,
//   deleted (u8), fileIndex, writeTime, createDate, createTime (u16),
//   createHundredths (u8)}.
//   NTFS body: folder count and records {u16 L = name + 27, name,
//   recordNumber, parentRecord, creationTime, changeTime (u64), deleted (u8),
//   2 reserved bytes}; file count and records {u16 L = name + 37,
//   dataRecordSector, name, recordNumber, parentRecord, creationTime,
//   changeTime, deleted (u8), size (u64)}.
// Names are stored as the records hold them (UTF-8), without terminator.
// Version 1.2, written only when a sector number does not fit in 32 bits
// (a volume past 2 TiB), is 1.1 with rangeStart, rangeLength, rangeEnd,
// clusterBase, fat1Start, fat2Start, mftStart, mftMirrorStart, volumeEnd and
// the NTFS files' dataRecordSector as u64 (a header of 114 bytes, NTFS file
// records of L = name + 41).
// Version 1.0 files still load: they have no header extension, and their FAT
// records end after fileIndex / the reserved bytes (L = name + 21 / + 15),
// so their folders and files get write time and creation times 0.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"
#include "volume/volume_params.h"

namespace osprin {

constexpr std::string_view kSnapshotMagic = "zqr4.03";
constexpr std::string_view kSnapshotVersion = "1.1";
constexpr std::string_view kSnapshotVersion10 = "1.0";  // still loaded
// Written instead of 1.1 when a sector number needs more than 32 bits.
constexpr std::string_view kSnapshotVersionWide = "1.2";
constexpr std::string_view kSnapshotExtension = ".ZQRT";
constexpr std::size_t kSnapshotHeaderSize = 78;  // before the header extension
// A file name is at most 255 UTF-16 units, whose UTF-8 takes at most 765
// bytes. Longer names are neither written nor accepted.
constexpr std::size_t kSnapshotMaxName = 765;

// What identifies the disk a snapshot was taken from.
struct SnapshotDisk {
  std::uint64_t diskBytes = 0;
  std::uint32_t sectorSize = 0;
  std::array<std::uint8_t, 32> bootSha256{};  // of the volume's first sector
  bool operator==(const SnapshotDisk&) const = default;
};
constexpr std::uint16_t kSnapshotTagDisk = 1;
// exFAT volumes (code 400): u32 cluster count, u32 bitmap cluster, u64 bitmap bytes.
constexpr std::uint16_t kSnapshotTagExfat = 2;

// What a snapshot is written from.
struct SnapshotSource {
  Selection selection;
  VolumeParams params;  // params.fsType chooses the FAT or the NTFS body
  std::uint16_t chosenFsIndex = 0;
  const FileTree* tree = nullptr;  // folders (and FAT files) come from here
  // NTFS only: the files in use. After a standard scan, tree->ntfsFiles;
  // after an advanced scan, the deep scan's file records limited to the
  // chosen file system (clusterBase < sector <= volumeEnd). When left
  // invalid, every record of tree->ntfsFiles is written.
  NtfsFileSet ntfsFiles;
  std::optional<SnapshotDisk> disk;  // written as tag 1 when known
};

// The content of a snapshot file, loaded into fresh objects. The caller
// takes it over only when the load succeeded.
struct LoadedSnapshot {
  Selection selection;
  // The thirteen stored fields. rootDirStart is not in the file and stays 0
  // here: the caller keeps its own current value.
  VolumeParams params;
  std::uint16_t chosenFsIndex = 0;
  // FAT: fatFolders/fatFiles, fileIndex numbered afresh from 0. NTFS:
  // ntfsFolders/ntfsFiles as a standard-scan tree. folderCount and fileCount
  // are set; the folder tree is not built yet.
  FileTree tree;
  // The disk it was taken from, when the file records it (tag 1).
  std::optional<SnapshotDisk> disk;
};

enum class SnapshotLoadStatus {
  Ok,
  OpenFailed,  // "Unable to open the file"
  ReadFailed,  // an input/output error while reading
  BadMagic,    // "    Invalid version of the file found : " + the 7 bytes
  BadVersion,  // "              version of file does not match with current version 1.1"
  Damaged,     // "The snapshot file is damaged: ..."
};

// The name a chosen save path becomes: its last component upper-cased (the
// folders are left as they are), with ".ZQRT" appended unless it already
// ends so. "case1" -> "CASE1.ZQRT", "/tmp/dir/case1.zqrt" -> "/tmp/dir/CASE1.ZQRT".
std::string snapshotFileName(std::string_view path);

// The bytes of a snapshot of src. False, with error set, when the source
// cannot be written as a snapshot (no FAT or NTFS code, a name the format
// cannot hold, more than 2^32 - 1 records).
bool encodeSnapshot(const SnapshotSource& src, std::vector<std::uint8_t>& out, std::string& error);

// Writes a snapshot of src to path exactly as given (the save command passes
// the chosen name through snapshotFileName first). The data goes to a
// temporary file in the same folder, which replaces path only when all of it
// was written, so a failed save leaves an earlier file at path intact.
// On failure error holds "Unable to open the file" (the file cannot be
// created or put in place), "Unable to write the file: ..." or the reason
// encodeSnapshot gives.
bool saveSnapshot(const std::string& path, const SnapshotSource& src, std::string& error);

// Reads the snapshot at path (opened read-only). On success out is replaced
// by the loaded content; on any failure out is left as it was and error
// holds the message for the user.
SnapshotLoadStatus loadSnapshot(const std::string& path, LoadedSnapshot& out, std::string& error);

// The same over bytes in memory.
SnapshotLoadStatus loadSnapshotBytes(std::span<const std::uint8_t> bytes, LoadedSnapshot& out, std::string& error);

}  // namespace osprin
