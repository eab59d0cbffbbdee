#pragma once
// The four recovery settings of a run: sectors per read request of the deep
// scan, what to do with duplicate names and with deleted files, and how often
// a bad sector is retried. They live in memory for the run only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace osprin {

// What happens when a recovered file's name already exists in the destination.
enum class DuplicatePolicy : std::uint16_t {
  Rename = 1,     // "Rename duplicate file(s)": "Copy (n ) of NAME"
  Overwrite = 2,  // "Overwrite duplicate file(s)"
  Skip = 3,       // "Skip duplicate file(s)"
};

// Which files are taken with respect to their deleted state.
enum class DeletedPolicy : std::uint16_t {
  Include = 1,         // "Include deleted file(s)"
  OnlyDeleted = 2,     // "Recover only deleted file(s)"
  ExcludeDeleted = 3,  // "Exclude deleted file(s)"
};

struct RecoverySettings {
  static constexpr std::uint32_t kMinSectorsPerRead = 1;
  static constexpr std::uint32_t kMaxSectorsPerRead = 100;
  static constexpr std::uint16_t kMinRetries = 1;
  static constexpr std::uint16_t kMaxRetries = 10;

  std::uint32_t sectorsPerRead = 60;  // deep scan read request, 1..100
  DuplicatePolicy duplicatePolicy = DuplicatePolicy::Rename;
  DeletedPolicy deletedPolicy = DeletedPolicy::Include;
  std::uint16_t badSectorRetries = 3;  // 1..10
  // NTFS: a file copied with its folder (or chosen) brings its named streams,
  // written as NAME:STREAM beside it. A stream chosen on its own is always copied.
  bool recoverStreams = false;
  // Whether copying a folder takes the NTFS system files of the volume's
  // root ($MFT, $LogFile, ...); a file chosen by itself is always copied.
  bool includeSystemFiles = false;
  // Deleted files are taken only when their verdict is "intact" (the
  // verdicts must have been assessed first).
  bool onlyIntact = false;

  // True when every field holds one of its allowed values.
  bool valid() const;

  // Setters that refuse values out of range (the field is then unchanged).
  bool setSectorsPerRead(std::uint32_t n);
  bool setBadSectorRetries(std::uint32_t n);
  bool setDuplicatePolicy(std::uint32_t code);  // 1, 2 or 3
  bool setDeletedPolicy(std::uint32_t code);    // 1, 2 or 3

  // Whether a file with this deleted flag is taken by the deleted-file policy.
  bool takesDeletedState(bool deleted) const;
};

// The dialog's labels.
std::string_view duplicatePolicyText(DuplicatePolicy p);
std::string_view deletedPolicyText(DeletedPolicy p);

// Command-line words: "rename", "overwrite", "skip"; "include", "only",
// "exclude" (any case). nullopt for anything else.
std::optional<DuplicatePolicy> parseDuplicatePolicy(std::string_view word);
std::optional<DeletedPolicy> parseDeletedPolicy(std::string_view word);

}  // namespace osprin
