#pragma once
// What the subcommands share: errors, progress on a terminal, opening the
// disk, and the selection options (--partition, --fs/--start/--end).
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/observer.h"
#include "disk/drives.h"
#include "disk/sector_reader.h"
#include "volume/volume_params.h"

namespace osprin::cli {

// Prints "osprin: <text>" on stderr and records exit code 1 (or code).
void fail(const std::string& text, int code = 1);
// The exit code recorded by the subcommand that ran.
int exitCode();
// Prints the out-of-memory message and returns the exit code for it.
int outOfMemory();

// The stop flag of the running command; SIGINT sets it.
StopFlag& stopFlag();
void installInterruptHandler();

// Progress bar and panel values on stderr, only when stderr is a terminal
// (throttled to a few updates a second); messages always go to stderr.
class TerminalObserver : public Observer {
 public:
  explicit TerminalObserver(bool answerYes = true);
  ~TerminalObserver() override;
  void progress(int percent) override;
  void counter(std::string_view label, std::uint64_t value) override;
  void text(std::string_view label, std::string_view value) override;
  void status(std::string_view text) override;
  void message(MsgKind kind, std::string_view text) override;
  bool ask(std::string_view text) override;
  void finish();  // clears the progress line

 private:
  void draw(bool force);
  bool tty_;
  bool answerYes_;
  int percent_ = -1;
  std::string status_;
  std::string detail_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

// Opens DISK (device or image) read-only.
struct OpenDisk {
  DriveInfo drive;
  std::unique_ptr<SectorReader> reader;
};
std::optional<OpenDisk> openDisk(const std::string& path);

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
bool resolveSelection(const SelectionArgs& args, OpenDisk& disk, Selection& sel, Observer& obs);

}  // namespace osprin::cli
