#pragma once
// What the subcommands share: errors, progress on a terminal, opening the
// disk, and the selection options (--partition, --fs/--start/--end).
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/observer.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "app/session.h"
#include "volume/volume_params.h"

namespace osprin::cli {

// Exit statuses (README, "Exit status").
constexpr int kExitOk = 0;          // done; recover: every chosen file written whole
constexpr int kExitFailed = 1;      // the command could not do its work (options, disk, volume, memory)
constexpr int kExitNotWhole = 2;    // recover: some chosen files failed, are incomplete or were not written
constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C: what was shown or written is partial

// Prints "osprin: <text>" on stderr and records exit code 1 (or code).
void fail(const std::string& text, int code = kExitFailed);
// Records an exit code without a message (a higher one is kept).
void setExitCode(int code);
// The exit code recorded by the subcommand that ran.
int exitCode();
// Prints the out-of-memory message and returns the exit code for it.
int outOfMemory();

// The stop flag of the running command; SIGINT sets it (the scans clear it
// when they act on it).
StopFlag& stopFlag();
// SIGINT also stops a recovery in progress through these flags.
void setRecoveryFlags(RecoveryFlags* flags);
void installInterruptHandler();
// True once SIGINT was received (never cleared).
bool interrupted();

// Progress bar and panel values on stderr, only when stderr is a terminal
// (throttled to a few updates a second); messages always go to stderr.
class TerminalObserver : public Observer {
 public:
  explicit TerminalObserver(bool answerYes = true);
  ~TerminalObserver() override;
  void progress(int percent) override;
  void counter(Counter which, std::uint64_t value) override;
  void text(TextField which, std::string_view value) override;
  void phase(const PhaseInfo& p) override;
  void message(MsgKind kind, std::string_view text) override;
  bool ask(std::string_view text) override;
  void warning(std::string_view text) override;
  void finish();  // clears the progress line
  // The warnings printed so far ("warnings" of the JSON output).
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  void draw(bool force);
  bool tty_;
  bool answerYes_;
  std::vector<std::string> warnings_;
  int percent_ = -1;
  std::string status_;
  std::string detail_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

// --sector-size: the disk's logical sector size as the user gave it (512,
// 1024, 2048 or 4096); 0 when not given (the device's own, or what the
// disk's contents show).
unsigned& sectorSizeOption();
// Adds --sector-size to the program (accepted before or after the command).
void addSectorSizeOption(CLI::App& app);

// Opens DISK (device or image) read-only; with a map file, the areas the
// map does not give as finished are never read. The reader works in the
// disk's sector size (--sector-size, else detected).
struct OpenDisk {
  DriveInfo drive;
  std::unique_ptr<SectorReader> reader;
};
std::optional<OpenDisk> openDisk(const std::string& path, const std::string& badSectorsMap = "");
// Adds --bad-sectors-map FILE.
void addMapOption(CLI::App* cmd, std::string& mapFile);

// --partition N | --fs TYPE --start S --end E
struct SelectionArgs {
  unsigned partition = 0;
  std::string fs;
  std::optional<std::uint64_t> start;
  std::optional<std::uint64_t> end;
};
void addSelectionOptions(CLI::App* cmd, SelectionArgs& args);
// Turns the options into a Selection (building the partition list for
// --partition). False after reporting the error.
bool resolveSelection(const SelectionArgs& args, SectorReader& reader, const DriveInfo& drive, Selection& sel,
                      Observer& obs);

// The volume a command works on: a partition or range mounted by the
// standard scan, a found file system of a deep scan (--deep ... --pick K),
// or a snapshot loaded instead of scanning (--snapshot FILE).
struct VolumeArgs {
  SelectionArgs selection;
  bool deep = false;
  unsigned pick = 0;
  unsigned sectorsPerRead = 60;
  std::string snapshot;
  std::string badSectorsMap;
};
void addVolumeOptions(CLI::App* cmd, VolumeArgs& args);

// Observer for scans: forwards progress to the terminal, keeps the error
// message that ends a failed scan, drops information hints.
class ScanObserver : public Observer {
 public:
  explicit ScanObserver(TerminalObserver& term) : term_(term) {}
  std::string error;
  void progress(int p) override { term_.progress(p); }
  void counter(Counter c, std::uint64_t v) override { term_.counter(c, v); }
  void text(TextField f, std::string_view v) override { term_.text(f, v); }
  void phase(const PhaseInfo& p) override { term_.phase(p); }
  void message(MsgKind kind, std::string_view t) override {
    if (kind == MsgKind::Error) error.assign(t);
    if (kind == MsgKind::Warning) {
      warnings.emplace_back(t);
      term_.message(kind, "osprin: warning: " + std::string(t));
    }
  }
  std::vector<std::string> warnings;
  bool ask(std::string_view t) override { return term_.ask(t); }
  void warning(std::string_view t) override { term_.warning(t); }

 private:
  TerminalObserver& term_;
};

// Opens DISK in s (as its only drive) and mounts the volume the options
// name. False after reporting the error.
bool mountVolume(const std::string& diskPath, const VolumeArgs& args, Session& s, TerminalObserver& term);

// Visits every row reachable from the root of the mounted tree, depth first
// (each folder's subfolders, each followed by its content, then its files),
// with its "/" joined path. A folder is entered once, and never when its
// identity is already on its own path.
void walkRows(Session& s, const std::function<void(const std::string& path, const ListRow& row)>& visit);

}  // namespace osprin::cli
