#pragma once
// The extraction engine: copies files and folders of a rebuilt tree out of
// the raw disk into a destination folder. FAT files are read along their
// cluster chain (or contiguously when the chain does not fit the size), NTFS
// files from their MFT record (resident data or data runs). The same copy
// routines serve Open, which copies one file into a temporary folder without
// any policy or filter.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/page_buffer.h"
#include "common/observer.h"
#include "common/types.h"
#include "disk/sector_reader.h"
#include "fat/fat_table.h"
#include "ntfs/data_attr.h"
#include "ntfs/run_list.h"
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
  std::uint64_t location = 0;  // FAT: first cluster; NTFS: sector of the 1024-byte MFT record
  // exFAT: the bytes written (what follows reads as zeros), and the
  // NoFatChain flag (contiguous clusters, no FAT chain). FAT: size, false.
  std::uint64_t validLength = UINT64_MAX;
  bool contiguous = false;
  std::uint32_t listId = 0;    // FAT: the file's fileIndex (carried along)
  RecoverMode recoverMode = RecoverMode::Recover;
  bool deleted = false;
  // The time stamp the finished file receives. FAT: the packed write date
  // and time; NTFS (and exFAT with a UTC offset): a FILETIME, used when not
  // 0. Not applied when hasTime is false.
  std::uint16_t fatDate = 0;
  std::uint16_t fatTime = 0;
  std::uint64_t fileTime = 0;
  bool hasTime = true;
  // NTFS: the named stream to copy (its $DATA attribute of that name); empty
  // for the file's own data.
  std::string stream;
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
  NotDecoded,      // NTFS: written as stored (encrypted, or held by a reparse point not decoded here)
};

// What became of one file that recovery was asked for. New kinds go before
// Skipped; a summary treats every kind but Whole and Skipped as a problem.
enum class FileOutcome : std::uint8_t {
  Whole,       // written to its end from readable sectors
  Incomplete,  // written, but zero-filled ranges (unreadable sectors) or shorter than its size
  NotDecoded,  // its data is stored in a way that is not decoded here
  Failed,      // not written (see reason); no file of its name was left behind
  Skipped,     // not written by the user's choice ("Skip duplicate file(s)", "S&kip File", an empty NTFS file)
};
// "written whole", "incomplete", "not decoded", "failed", "skipped".
const char* fileOutcomeText(FileOutcome o);
inline bool isProblem(FileOutcome o) { return o != FileOutcome::Whole && o != FileOutcome::Skipped; }

// Bytes offset .. offset + length - 1 of a file.
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

struct FileResult {
  FileOutcome outcome = FileOutcome::Whole;
  std::string path;                   // where the file was (or would have been) written
  std::uint64_t size = 0;             // its size on the volume
  std::uint64_t written = 0;          // bytes the written file holds
  std::vector<ByteRange> zeroFilled;  // ranges written as zeros: their sectors could not be read
  std::string reason;                 // why, for every outcome but Whole
};

struct CopyResult {
  CopyStatus status = CopyStatus::Refused;
  std::string path;       // the file written (or that could not be created)
  bool complete = true;   // false when the file holds less than its data (short, zero-filled, cut off)
  std::uint64_t written = 0;
  FileOutcome outcome = FileOutcome::Skipped;
  // The routine's 1: a file was written, or there was nothing to write.
  bool ok() const { return status == CopyStatus::Written || status == CopyStatus::NothingToWrite; }
};

struct RecoveryResult {
  std::uint32_t filesSaved = 0;
  // One entry per file that recovery was asked for and that the filters and
  // the deleted-file policy let through, in the order they were taken.
  std::vector<FileResult> files;
  // One line per problem: files that could not be created, files cut short
  // by damaged structures, files with unreadable sectors (written as zeros),
  // folders that could not be made.
  std::vector<std::string> errors;
  // Paths of files written, but not whole (zero-filled ranges, cut short).
  std::vector<std::string> incomplete;
  // Paths of files written as stored because their content cannot be decoded
  // (EFS encryption, a reparse point of a kind not decoded): never counted
  // in filesSaved.
  std::vector<std::string> notDecoded;
  std::uint64_t failedReads = 0;  // read requests that did not read every sector
  bool stopped = false;           // "&Stop Saving" (or No to the question) ended the run
  bool destinationFull = false;   // the destination ran out of space (or quota): the run ended there
  // Files whose outcome is a problem (isProblem).
  std::size_t problemCount() const;
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
  // The copy ended. file is the file's entry in RecoveryResult::files (its
  // outcome and reason as the summary gives them), or null when the file was
  // not taken (refused by a filter or policy, or the run stopped first).
  virtual void end(const FileCopyRequest& req, const CopyResult& r, const FileResult* file) = 0;
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
// directory afterwards. For the destination folder the user names; the
// folders of a recovery are made below it without following symbolic links.
bool makeDirectoryPath(const std::string& path);

// The name a file has while it is being written, in its own folder; it gets
// its real name only when it is written to its end.
bool isPartialName(std::string_view name);

// A name from the disk made safe to use as one path component inside the
// destination: "" -> "_", "." -> "_.", ".." -> "_..", '/' and NUL -> '_',
// and shortened (keeping the extension) to 255 bytes.
std::string safeComponent(std::string_view name);

// "Copy (n ) of NAME".
std::string duplicateName(std::string_view name, std::uint32_t n);

// Time stamps of a written file: access and modification time (Linux keeps
// no creation time). FAT: the packed last-write date and time, read as a
// local time of this machine's zone (FAT stores the writer's wall clock
// without a zone); a date that is not a calendar date leaves the times
// alone, a time that is not a clock time gives midnight. NTFS: the FILETIME
// unchanged. False when the times could not be set.
bool setTimesFromFatTime(const std::string& path, std::uint16_t fatDate, std::uint16_t fatTime);
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
  struct Folder {
    int fd = -1;        // open folder, or -1 when it could not be made
    std::string error;  // why not
    int refs = 0;       // 0: kept until the end (a folder given by path)
  };
  bool stopRequested() const;
  bool interrupted() const;
  // Filters, deleted-file policy and duplicates; false when the file is refused.
  bool applyPolicies(FileCopyRequest& req, std::string& target);
  bool createTarget(const std::string& target, Output& out);
  // createTarget, unless the destination is full already; false, with r
  // filled (the file's entry added for a full destination), when there is
  // no file to write.
  bool openTarget(const std::string& target, std::uint64_t size, CopyResult& r, Output& out);
  bool beginRunListFile(const std::string& target, std::uint64_t size, const RunList& runs, RecoverMode mode,
                        CopyResult& r, Output& out);
  // Copies size - written bytes (at most) of a contiguous stretch of sectors.
  enum class Stretch { Ok, Interrupted, PastEnd, WriteFailed };
  // Adds bytes of zeros to the file (a hole), as a sink sees them (with
  // listed, as a source of zeros in its list of disk ranges). False when
  // the file could not be extended.
  bool skipZeros(Output& out, std::uint64_t bytes, std::uint64_t size, RecoverMode mode, bool listed);
  Stretch copyStretch(Output& out, std::uint64_t firstSector, std::uint64_t sectors, std::uint64_t size,
                      RecoverMode mode);
  // Copies up to `bytes` from firstSector of an image file straight into
  // the target with copy_file_range; returns the bytes copied (0 when the
  // disk is not an image file or the kernel cannot copy between the two).
  std::uint64_t copyInKernel(Output& out, std::uint64_t firstSector, std::uint64_t bytes);
  void finishFile(Output& out, CopyResult& r, std::uint64_t size, const FileCopyRequest& req);
  void copyFolder(bool fat, std::uint32_t item, std::uint32_t identity, const std::string& parentPath,
                  std::string_view name);
  void copyFolderFiles(bool fat, std::uint32_t identity, const std::string& path);
  // A non-resident NTFS stream that is compressed or whose initialised size
  // is below its size: LZNT1 units decoded, bytes past the initialised size
  // written as zeros.
  CopyResult writeNtfsDecoded(const std::string& target, std::uint64_t size, const RunList& runs,
                              const NtfsDataAttr& info, RecoverMode mode);
  // Copies the named streams listed right after file `index` (with
  // recoverStreams), written as NAME:STREAM beside it.
  void copyStreamsOf(std::size_t index, const std::string& folder);
  void copyFatRecord(std::size_t index, const std::string& folder);
  void copyNtfsRecord(std::size_t index, const std::string& folder);
  // A recovery copy with the sink told of its beginning and end.
  CopyResult copyWatched(FileCopyRequest& req, bool fat);
  std::int64_t ntfsFileBySector(SectorNo s, std::string_view stream = {});
  void progress(std::uint64_t done, std::uint64_t total, RecoverMode mode);
  // The open folder of a path: a folder made by this run, or one given by
  // path (the destination, Open's folder), opened on first use.
  const Folder& folderAt(const std::string& path);
  // Makes (or opens) the folder `name` inside parentPath without following a
  // symbolic link; returns its path. leaveFolder closes it again.
  std::string enterFolder(const std::string& parentPath, std::string_view name);
  void leaveFolder(const std::string& path);
  // Whether `name` exists in the folder of target (not following links).
  bool existsInFolder(const std::string& target);
  // Adds the file's entry to the result.
  void addResult(const std::string& path, std::uint64_t size, std::uint64_t written, FileOutcome outcome,
              std::string reason, std::vector<ByteRange> zeroFilled = {});

  RecoveryContext& ctx_;
  RecoveryFlags& flags_;
  Observer& obs_;
  RecoveryResult result_;
  PageBuffer buf_;  // one chunk (kChunkSectors)
  int lastPercent_ = -1;
  // The two FAT copies buildClusterChain reads, made on first use.
  std::optional<FatTable> fat1_, fat2_;
  bool kernelCopy_ = true;  // copy_file_range still worth trying
  std::unordered_multimap<SectorNo, std::uint32_t> ntfsBySector_;
  bool ntfsIndexed_ = false;
  std::unordered_map<std::string, Folder> folders_;
  std::uint64_t partialCount_ = 0;
  // The reader asks interrupted() between single reads of bad sectors.
  std::unique_ptr<SectorReader::StopScope> readerStop_;
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
