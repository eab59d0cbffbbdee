#pragma once
// The recovery report: for every file a recovery run copies, where it came
// from on the disk, where it went, its verdict, what came of the copy, and
// the SHA-256 and MD5 of the bytes written, computed while they are copied
// (OpenSSL's libcrypto). Written as JSON, CSV or DFXML (the Digital
// Forensics XML that fiwalk writes), chosen by the file's extension.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "recovery/extract.h"
#include "tree/file_nodes.h"

namespace osprin {

struct ReportRun {
  std::uint64_t fileOffset = 0;
  std::uint64_t diskOffset = 0;  // bytes from the start of the disk; 0 for a hole
  std::uint64_t length = 0;
  bool sparse = false;  // a hole, written as zeros
};

struct ReportEntry {
  std::string sourcePath;   // on the volume, "/DIR/a.txt"
  std::string destination;  // the file written
  std::uint64_t size = 0;
  bool deleted = false;
  Recoverability recoverable;
  // ISO 8601 times as list --json writes them (FAT: local, without an
  // offset; NTFS: UTC); "" when the file system keeps none.
  std::string created, modified, accessed, changed;
  std::vector<ReportRun> runs;
  // "whole", "incomplete" (see zeroFilled and written), "not decoded" or
  // "failed", as RecoveryResult::files has it. Files refused by the filters
  // and policies, and files skipped ("Skip duplicate file(s)", "S&kip File"),
  // are not entered.
  std::string outcome;
  std::string reason;  // what went wrong, when something did
  std::vector<std::pair<std::uint64_t, std::uint64_t>> zeroFilled;  // (file offset, length): unreadable sectors
  std::uint64_t written = 0;
  std::string sha256, md5;  // of the bytes written (lower-case hex); "" when nothing was written
};

struct ReportInfo {
  std::string program = "osprin";
  std::string version;
  std::string commandLine;
  std::string diskPath, diskModel;
  std::uint64_t diskBytes = 0;
  std::uint32_t sectorSize = 512;
  std::string fsType;                   // "FAT16", "FAT32", "NTFS"
  std::uint64_t volumeStartSector = 0;  // offsets of byte runs on the volume count from here
  std::uint64_t volumeSectors = 0;      // 0 when unknown
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t clusterBase = 0;        // sector of cluster 0
  std::uint64_t fat1Start = 0, fat2Start = 0, mftStart = 0;
  bool deepScan = false;
  std::string destination;
  std::string started, finished;  // ISO 8601 UTC
};

class RecoveryReport : public CopySink {
 public:
  // Fills an entry's source path, deleted flag, verdict and times from the
  // request's record.
  using Describe = std::function<void(const FileCopyRequest&, ReportEntry&)>;
  explicit RecoveryReport(Describe describe);
  ~RecoveryReport() override;
  RecoveryReport(const RecoveryReport&) = delete;
  RecoveryReport& operator=(const RecoveryReport&) = delete;

  ReportInfo info;
  // The entries so far (waits for the MD5 of the files copied).
  const std::vector<ReportEntry>& entries() const;

  void begin(const FileCopyRequest& req) override;
  void source(std::uint64_t diskOffset, std::uint64_t length, bool sparse) override;
  void data(const std::uint8_t* p, std::size_t n) override;
  void zeros(std::uint64_t n) override;
  void unreadable(std::uint64_t fileOffset, std::uint64_t length) override;
  void end(const FileCopyRequest& req, const CopyResult& r, const FileResult* file) override;

  std::string json() const;
  std::string csv() const;
  std::string dfxml() const;
  // Writes the report in the format of path's extension (.json, .csv, .xml);
  // false with a message otherwise.
  bool write(const std::string& path, std::string& error) const;

 private:
  Describe describe_;
  void* sha_ = nullptr;  // EVP_MD_CTX, fed by the copying thread
  struct Md5Worker;      // MD5 (the slower of the two) on a thread of its own
  std::unique_ptr<Md5Worker> md5_;
  ReportEntry current_;
  std::uint64_t fileOffset_ = 0;
  mutable std::vector<ReportEntry> entries_;  // MD5s are filled in by entries()
};

// True when a report can be written to a file of this name (.json, .csv, .xml).
bool reportFormatKnown(const std::string& path);

// The current time, "2026-12-08T09:00:00Z".
std::string isoTimeNow();

}  // namespace osprin
