#pragma once
// How long work reports to whoever runs it (the desktop window, the command
// line, a test). Every method has a do-nothing default, so a caller overrides
// only what it shows. Observers are called often: a screen throttles by time.
//
// The work reports in its own terms: which counter moved, which phase it is
// in, with the numbers of that phase. The texts shown for them belong to
// whoever shows them (the window's and the command line's own tables).
#include <cstdint>
#include <string_view>

namespace osprin {

// Warning: the work goes on, but what it shows may be incomplete (a volume
// that claims more sectors than its disk has).
enum class MsgKind { Info = 1, Error = 2, Warning = 3 };

// A number the work counts up as it goes.
enum class Counter : std::uint8_t {
  FoldersFound,       // folders listed by a scan, or folder records found by a deep scan
  FilesFound,         // files listed by a scan, or file records found by a deep scan
  CurrentSector,      // the sector being read
  BootSectorsFound,   // deep scan: boot sectors of the chosen file system type
  IndexEntriesFound,  // deep scan: NTFS index blocks
  PartitionsFound,    // lost-partition search
  MatchesFound,       // Find Files: files whose name matches
  FilesSaved,         // recovery: files written so far
};
inline constexpr int kCounterKinds = static_cast<int>(Counter::FilesSaved) + 1;

// A text value the work reports (the value is data: a name, a folder).
enum class TextField : std::uint8_t {
  LastFileFolder,  // the last file or folder a scan listed
  LastMatch,       // Find Files: the last file found
  SaveFolder,      // recovery: the folder being written to
  SaveFileName,    // recovery: the file being written
};
inline constexpr int kTextFieldKinds = static_cast<int>(TextField::SaveFileName) + 1;

// What the work is doing (the status line under the progress bar).
enum class Phase : std::uint8_t {
  None,                     // nothing to say: the status line is cleared
  SearchingPartitions,      // lost-partition search
  CalculatingParameters,    // standard scan: a FAT volume's geometry from its directories
  MountingVolume,           // standard scan of a FAT volume
  ReadingSector,            // n sectors read of `of`
  SearchingLostData,        // placing folders whose parent is missing
  CreatingDirectoryTree,    // standard scan of an NTFS volume: building the folder tree
  AnalysingFatData,         // deep scan: grouping FAT hits into file systems
  AssigningMftNumbers,      // deep scan: index block n of `of` (opens with n = 0)
  DeletingUnusedItems,      // deep scan: dropping later index blocks
  AnalyzingClassification,  // deep scan: folder record n of `of` (opens with n = 0)
  MountStep,                // mounting a found FAT file system: step n of `of`
  ExtractingEntries,        // mounting a found NTFS file system: its folder records
  CreatingTreeStructure,    // mounting a found NTFS file system: building the folder tree
};
inline constexpr int kPhaseKinds = static_cast<int>(Phase::CreatingTreeStructure) + 1;

// A phase and its numbers (0 where the phase has none).
struct PhaseInfo {
  Phase phase = Phase::None;
  std::uint64_t n = 0;
  std::uint64_t of = 0;
  bool operator==(const PhaseInfo&) const = default;
};

class Observer {
 public:
  virtual ~Observer() = default;

  // Percentage of the current operation, already capped at 99 while it runs.
  virtual void progress(int /*percent*/) {}
  // Shows or hides the progress bar (the work uses ProgressScope).
  virtual void progressVisible(bool /*visible*/) {}
  // A counter's new value.
  virtual void counter(Counter /*which*/, std::uint64_t /*value*/) {}
  // A text value.
  virtual void text(TextField /*which*/, std::string_view /*value*/) {}
  // The phase the work is in (Phase::None clears the status line).
  virtual void phase(const PhaseInfo& /*phase*/) {}
  // The Stop button's visibility while a worker runs (the work uses
  // ProgressScope or StopScope).
  virtual void stopVisible(bool /*visible*/) {}
  // An OK box with an information or error icon.
  virtual void message(MsgKind /*kind*/, std::string_view /*text*/) {}
  // A Yes/No question; returns true for Yes. The worker waits for the answer.
  virtual bool ask(std::string_view /*text*/) { return false; }
  // Something that could not be read and is therefore missing from what the
  // work shows: an unreadable folder, file record or boot sector ("the folder
  // /DOCS (cluster 812) could not be read; it is listed empty").
  virtual void warning(std::string_view /*text*/) {}
};

// An observer that shows nothing and answers No.
inline Observer& nullObserver() {
  static Observer o;
  return o;
}

// Shows the progress bar at 0 % while it lives, and the Stop button too when
// asked. When it goes (at the end, on an early return or an exception) the
// Stop button and the bar are hidden, and the hidden bar is set back to 0.
class ProgressScope {
 public:
  enum class Stop { Hidden, Shown };
  explicit ProgressScope(Observer& obs, Stop stop = Stop::Hidden) : obs_(obs), stopShown_(stop == Stop::Shown) {
    if (stopShown_) obs_.stopVisible(true);
    obs_.progress(0);
    obs_.progressVisible(true);
  }
  ~ProgressScope() {
    hideStop();
    obs_.progressVisible(false);
    obs_.progress(0);
  }
  // The work can no longer be stopped: the Stop button goes now.
  void hideStop() {
    if (stopShown_) obs_.stopVisible(false);
    stopShown_ = false;
  }
  // The caller's work goes on and can still be stopped: the Stop button
  // stays when the scope goes.
  void keepStop() { stopShown_ = false; }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  Observer& obs_;
  bool stopShown_;
};

// Shows the Stop button while it lives.
class StopScope {
 public:
  explicit StopScope(Observer& obs) : obs_(obs) { obs_.stopVisible(true); }
  ~StopScope() { obs_.stopVisible(false); }
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  Observer& obs_;
};

// Reports a phase, and clears the status line (Phase::None) when it goes.
class PhaseScope {
 public:
  PhaseScope(Observer& obs, const PhaseInfo& first) : obs_(obs) { obs_.phase(first); }
  ~PhaseScope() { obs_.phase({}); }
  PhaseScope(const PhaseScope&) = delete;
  PhaseScope& operator=(const PhaseScope&) = delete;

 private:
  Observer& obs_;
};

}  // namespace osprin
