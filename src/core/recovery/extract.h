#pragma once
// The extraction engine: copies files and folders of a rebuilt tree out of
// the raw disk into a destination folder. FAT files are read along their
// cluster chain (or contiguously when the chain does not fit the size), NTFS
// files from their MFT record (resident data or data runs). The same copy
// routines serve Open, which copies one file into a temporary folder without
// any policy or filter.
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"
#include "recovery/settings.h"
#include "search/match.h"
#include "tree/file_list.h"
#include "tree/file_tree.h"
#include "tree/file_nodes.h"
#include "tree/ntfs_file_set.h"
#include "volume/volume_params.h"

namespace osprin {

// The two buttons of the saving dialog. The window thread sets them; the
// copy polls them before every read and between files.
struct RecoveryFlags {
  std::atomic<int> saveStopRequested{0};  // "&Stop Saving", or No to "Continue Recovery ?"
  std::atomic<int> skipFileRequested{0};  // "S&kip File": abandons the file being copied
};

// 1: recovery (observer texts, filters and policies); 0: Open into a
// temporary folder (none of them; an existing file of that name is replaced).
enum class RecoverMode : std::uint32_t { Open = 0, Recover = 1 };

// What a file copy needs.
struct FileCopyRequest {
  std::string targetFolder;
  std::string name;  // replaced by the name actually written (renamed duplicates)
  std::uint64_t size = 0;
  std::uint32_t location = 0;  // FAT: first cluster; NTFS: sector of the 1024-byte MFT record
  std::uint32_t listId = 0;    // FAT: the file's fileIndex (carried along)
  RecoverMode recoverMode = RecoverMode::Recover;
  bool deleted = false;
  // The time stamp the finished file receives. FAT: the packed write date;
  // NTFS: a FILETIME. Not applied when hasTime is false.
  std::uint16_t fatDate = 0;
  std::uint64_t fileTime = 0;
  bool hasTime = true;
  // The file's record: an index into the tree's fatFiles, or into the NTFS
  // file list in use; -1 when not known. Its verdict, for "--only-intact".
  std::int64_t record = -1;
  Recoverability recoverable;
};

enum class CopyStatus {
  Written,         // a file was written (possibly only in part: see CopyResult::complete)
  NothingToWrite,  // NTFS: no data run decoded, so no file was created
  Empty,           // NTFS: a file of 0 bytes, which is not created
  Refused,         // filter, deleted-file policy or "Skip duplicate file(s)"
  Stopped,         // the run was stopped before this file began
  CreateFailed,    // the target could not be created
  NoData,          // NTFS: no usable unnamed data attribute, or resident data past the record
  Unreadable,      // the volume geometry gives no way to read the file
};

struct CopyResult {
  CopyStatus status = CopyStatus::Refused;
  std::string path;       // the file written (or that could not be created)
  bool complete = true;   // false when the file holds less than its size
  std::uint64_t written = 0;
  // The routine's 1: a file was written, or there was nothing to write.
  bool ok() const { return status == CopyStatus::Written || status == CopyStatus::NothingToWrite; }
};

struct RecoveryResult {
  std::uint32_t filesSaved = 0;
  // One line per problem: files that could not be created, files cut short
  // by damaged structures, files with unreadable sectors (written as zeros).
  std::vector<std::string> errors;
  // Paths of files written only in part (damage, "S&kip File", "&Stop Saving").
  std::vector<std::string> incomplete;
  std::uint64_t failedReads = 0;  // read requests that did not read every sector
  bool stopped = false;           // "&Stop Saving" (or No to the question) ended the run
};

struct CopyResult;

// Watches the copies of a recovery run (the report): for each file, begin,
// then the stretches of the disk it is read from and every byte written (in
// file order), then end. Only recovery copies are watched, not Open.
class CopySink {
 public:
  virtual ~CopySink() = default;
  virtual void begin(const FileCopyRequest& req) = 0;
  // The next part of the file comes from length bytes at a byte offset of
  // the disk; a sparse part is a hole, written as zeros (offset 0).
  virtual void source(std::uint64_t diskOffset, std::uint64_t length, bool sparse) = 0;
  // Bytes written to the file, in order; zeros() for holes left by lseek.
  virtual void data(const std::uint8_t* p, std::size_t n) = 0;
  virtual void zeros(std::uint64_t n) = 0;
  // [fileOffset, fileOffset + length) was written as zeros: sectors there did not read.
  virtual void unreadable(std::uint64_t fileOffset, std::uint64_t length) = 0;
  // The copy ended; problems are the run's error lines that this file added.
  virtual void end(const FileCopyRequest& req, const CopyResult& r, const std::vector<std::string>& problems) = 0;
};

// Everything a copy reads. ntfsFiles are the NTFS files of the tree in use
// (the standard scan's list, or the deep scan's records of the chosen file
// system); tree.folderTree() must be built for the file system in use.
struct RecoveryContext {
  SectorReader& reader;
  const VolumeParams& vp;
  FileTree& tree;
  NtfsFileSet ntfsFiles;
  ScanType scanType = ScanType::Standard;
  const RecoverySettings& settings;
  const FilterTable& filters;
  CopySink* sink = nullptr;  // the report's, when one is written
};

// One data run of a non-resident NTFS attribute.
struct DataRun {
  std::int64_t startCluster = 0;  // meaningless for a sparse run
  std::uint64_t length = 0;       // clusters
  bool sparse = false;            // no offset field: a hole, read as zeros
};

struct RunList {
  std::vector<DataRun> runs;
  // The list ended at a field this decoder cannot take (a length or offset
  // wider than 4 bytes, a field past the record, a run before cluster 0).
  bool damaged = false;
};

// Decodes the data runs of the non-resident attribute at attrOffset of a
// 1024-byte record. The first run's offset is unsigned, later ones are signed
// and relative to the previous non-sparse run.
RunList decodeDataRuns(Bytes record, std::size_t attrOffset);

// Where the unnamed data attribute of a record is. found is false when the
// record has none that can be used.
struct DataAttribute {
  bool found = false;
  bool resident = false;
  std::size_t offset = 0;
};
DataAttribute findUnnamedData(Bytes record);

// The read unit of a cluster size: 1 below 8 sectors, 8 at 8, 16 above.
std::uint32_t readUnit(std::uint32_t sectorsPerCluster);

// Creates every directory along path (failures ignored). True when path is a
// directory afterwards.
bool makeDirectoryPath(const std::string& path);

// A name from the disk made safe to use as one path component inside the
// destination: "" -> "_", "." -> "_.", ".." -> "_..", '/' and NUL -> '_',
// and shortened (keeping the extension) to 255 bytes.
std::string safeComponent(std::string_view name);

// "Copy (n ) of NAME".
std::string duplicateName(std::string_view name, std::uint32_t n);

// Time stamps of a written file: access and modification time (Linux keeps
// no creation time). FAT: the date of the packed write date with the current
// UTC time of day; a date that is not a calendar date leaves the times alone.
// NTFS: the FILETIME unchanged. False when the times could not be set.
bool setTimesFromFatDate(const std::string& path, std::uint16_t fatDate);
bool setTimesFromFiletime(const std::string& path, std::uint64_t filetime);

class Extractor {
 public:
  Extractor(RecoveryContext& ctx, RecoveryFlags& flags, Observer& obs);
  ~Extractor();
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  CopyResult copyFatFile(FileCopyRequest& req);
  CopyResult copyNtfsFile(FileCopyRequest& req);

  // The chain of a FAT file from FAT copy 1 or 2: the first cluster, then
  // entries followed until an end mark, a free or reserved entry, a failed
  // read, or more than count + 1 entries.
  std::vector<std::uint32_t> buildClusterChain(std::uint32_t first, std::uint32_t count, int copy);

  // Copies the runs into target (created here). Returns the copy result.
  CopyResult writeRunList(const std::string& target, std::uint64_t size, const RunList& runs, RecoverMode mode);

  // Copies a folder and everything below it: the folder's files, then its
  // sub-folders as the folder tree shows them (labels as directory names).
  void copyFatFolder(std::uint32_t item, std::uint32_t firstCluster, const std::string& parentPath,
                     std::string_view name);
  void copyNtfsFolder(std::uint32_t item, std::uint32_t recordNumber, const std::string& parentPath,
                      std::string_view name);

  // Copies list rows (folders with everything below them) into destination.
  void recoverRows(std::span<const ListRow> rows, const std::string& destination);

  RecoveryResult& result() { return result_; }

 private:
  struct Output;
  bool stopRequested() const;
  bool interrupted() const;
  // Filters, deleted-file policy and duplicates; false when the file is refused.
  bool applyPolicies(FileCopyRequest& req, std::string& target);
  bool createTarget(const std::string& target, Output& out);
  // Copies size - written bytes (at most) of a contiguous stretch of sectors.
  enum class Stretch { Ok, Interrupted, PastEnd, WriteFailed };
  Stretch copyStretch(Output& out, std::uint64_t firstSector, std::uint64_t sectors, std::uint64_t size,
                      RecoverMode mode);
  // Copies up to `bytes` from firstSector of an image file straight into
  // the target with copy_file_range; returns the bytes copied (0 when the
  // disk is not an image file or the kernel cannot copy between the two).
  std::uint64_t copyInKernel(Output& out, std::uint64_t firstSector, std::uint64_t bytes);
  // With a sink: reads n sectors into the buffer, sectors that never read
  // as zeros and listed in failedSectors_. False when one did not read.
  bool readForSink(std::uint64_t start, std::uint32_t n);
  void finishFile(Output& out, CopyResult& r, std::uint64_t size, const FileCopyRequest& req);
  void copyFolder(bool fat, std::uint32_t item, std::uint32_t identity, const std::string& parentPath,
                  std::string_view name);
  void copyFolderFiles(bool fat, std::uint32_t identity, const std::string& path);
  void copyFatRecord(std::size_t index, const std::string& folder);
  void copyNtfsRecord(std::size_t index, const std::string& folder);
  // A recovery copy with the sink told of its beginning and end.
  CopyResult copyWatched(FileCopyRequest& req, bool fat);
  std::int64_t ntfsFileBySector(SectorNo s);
  void progress(std::uint64_t done, std::uint64_t total, RecoverMode mode);

  RecoveryContext& ctx_;
  RecoveryFlags& flags_;
  Observer& obs_;
  RecoveryResult result_;
  std::vector<std::uint8_t> buf_;
  int lastPercent_ = -1;
  // FAT sector cache of buildClusterChain.
  std::uint64_t fatCacheSector_ = UINT64_MAX;
  bool fatCacheOk_ = false;
  std::vector<std::uint8_t> fatCache_;
  bool kernelCopy_ = true;  // copy_file_range still worth trying
  std::array<std::uint8_t, kSectorSize> unreadMark_{};  // random, per run with a sink
  std::vector<std::uint32_t> failedSectors_;
  std::unordered_map<SectorNo, std::uint32_t> ntfsBySector_;
  bool ntfsIndexed_ = false;
};

// Recovery of list rows as the browse step has them: "Recover Selected"
// passes the selected rows, "Recover All" every row of the listed folder.
// Clears saveStopRequested when it starts and when it ends.
RecoveryResult recoverListRows(RecoveryContext& ctx, std::span<const ListRow> rows, const std::string& destination,
                               RecoveryFlags& flags, Observer& obs);

// Open: copies one file row into folder without policies or filters and
// without observer texts; result.path is the file to hand to a program.
CopyResult copyRowForOpen(RecoveryContext& ctx, const ListRow& row, const std::string& folder, RecoveryFlags& flags,
                          Observer& obs);

}  // namespace osprin
