#include "cli_common.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "common/text.h"
#include "partition/lost_search.h"
#include "progress_texts.h"

#include <unordered_set>

namespace osprin::cli {

namespace {
int g_exit = 0;
StopFlag g_stop{0};
std::atomic<int> g_interrupted{0};
std::atomic<RecoveryFlags*> g_recovery{nullptr};
extern "C" void onInterrupt(int) {
  g_stop.store(1);
  g_interrupted.store(1);
  if (RecoveryFlags* f = g_recovery.load()) f->saveStopRequested.store(1);
}
}  // namespace

void fail(const std::string& text, int code) {
  std::fprintf(stderr, "osprin: %s\n", terminalSafe(text).c_str());
  setExitCode(code);
}

void setExitCode(int code) {
  if (code > g_exit) g_exit = code;
}

int exitCode() { return g_exit; }

int outOfMemory() {
  std::fprintf(stderr, "osprin: Out of memory, close other applications and run again\n");
  return kExitFailed;
}

StopFlag& stopFlag() { return g_stop; }

bool interrupted() { return g_interrupted.load() != 0; }

void setRecoveryFlags(RecoveryFlags* flags) {
  g_recovery.store(flags);
  if (flags && interrupted()) flags->saveStopRequested.store(1);
}

void installInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

TerminalObserver::TerminalObserver(bool answerYes) : tty_(isatty(2) != 0), answerYes_(answerYes) {}

TerminalObserver::~TerminalObserver() { finish(); }

void TerminalObserver::progress(int percent) {
  if (percent == percent_) return;
  percent_ = percent;
  draw(false);
}

void TerminalObserver::counter(Counter which, std::uint64_t value) {
  if (!tty_) return;
  detail_ = std::string(cliText(which)) + ": " + dec(value);
  draw(false);
}

void TerminalObserver::text(TextField which, std::string_view value) {
  if (!tty_) return;
  detail_ = std::string(cliText(which)) + ": " + terminalQuoted(value);
  draw(false);
}

void TerminalObserver::phase(const PhaseInfo& p) {
  status_ = cliText(p);
  draw(true);
}

void TerminalObserver::message(MsgKind, std::string_view text) {
  finish();
  std::fprintf(stderr, "%s\n", terminalSafe(text).c_str());
}

bool TerminalObserver::ask(std::string_view text) {
  finish();
  std::fprintf(stderr, "%s%s\n", terminalSafe(text).c_str(), answerYes_ ? "yes" : "no");
  return answerYes_;
}

void TerminalObserver::warning(std::string_view text) {
  finish();
  warnings_.emplace_back(text);
  std::fprintf(stderr, "osprin: warning: %s\n", terminalSafe(text).c_str());
}

void TerminalObserver::draw(bool force) {
  if (!tty_) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - last_ < std::chrono::milliseconds(150)) return;
  last_ = now;
  std::string line = "\r\033[K";
  if (percent_ >= 0) {
    int filled = percent_ / 5;
    line += "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(20 - filled), ' ') +
            "] " + std::to_string(percent_) + "% ";
  }
  line += status_;
  if (!detail_.empty()) line += (status_.empty() ? "" : "  ") + detail_;
  if (line.size() > 120) line.resize(120);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

void TerminalObserver::finish() {
  if (tty_ && drawn_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  drawn_ = false;
}

void addMapOption(CLI::App* cmd, std::string& mapFile) {
  cmd->add_option("--bad-sectors-map", mapFile,
                  "a GNU ddrescue map file of DISK: the areas it does not give as finished are never read and "
                  "count as unreadable");
}

unsigned& sectorSizeOption() {
  static unsigned size = 0;
  return size;
}

void addSectorSizeOption(CLI::App& app) {
  app.add_option("--sector-size", sectorSizeOption(),
                 "the disk's logical sector size in bytes (512, 1024, 2048 or 4096); by default the device's own, "
                 "or what the disk's partition table and boot sectors show")
      ->check(CLI::IsMember({512u, 1024u, 2048u, 4096u}));
}

std::optional<OpenDisk> openDisk(const std::string& path, const std::string& badSectorsMap) {
  OpenDisk d;
  std::string err;
  if (!driveInfoForPath(path, d.drive, err)) {
    fail(err);
    return std::nullopt;
  }
  auto src = openBlockSource(path, err);
  if (!src) {
    fail(err);
    return std::nullopt;
  }
  d.reader = std::make_unique<SectorReader>(std::move(src));
  d.reader->setSectorSize(sectorSizeOption() != 0 ? sectorSizeOption() : detectSectorSize(*d.reader->source()));
  d.drive.sectorSize = d.reader->sectorSize();
  if (!badSectorsMap.empty()) {
    std::vector<SectorRange> unreadable;
    if (!loadRescueMap(badSectorsMap, unreadable, err)) {
      fail(err);
      return std::nullopt;
    }
    d.reader->setUnreadable(std::move(unreadable));
  }
  return d;
}

void addSelectionOptions(CLI::App* cmd, SelectionArgs& args) {
  cmd->add_option("--partition", args.partition, "entry N (1-based) of the partition list");
  cmd->add_option("--fs", args.fs, "file system of a range: FAT16, FAT32, NTFS or EXFAT");
  cmd->add_option("--start", args.start, "first sector of the range");
  cmd->add_option("--end", args.end, "last sector of the range");
}

bool resolveSelection(const SelectionArgs& args, SectorReader& reader, const DriveInfo& drive, Selection& sel,
                      Observer& obs) {
  if (args.partition > 0) {
    auto found = discoverPartitions(reader, drive, stopFlag(), obs);
    if (args.partition > found.partitions.size()) {
      fail("there is no partition " + std::to_string(args.partition) + " (the disk has " +
           std::to_string(found.partitions.size()) + ")");
      return false;
    }
    const auto& p = found.partitions[args.partition - 1];
    if (p.fsType == FsType::None) {
      fail("partition " + std::to_string(args.partition) +
           " holds no FAT16, FAT32, NTFS or exFAT volume (its first sector is none of their boot sectors); "
           "a deep scan of its range may still find one: --deep --fs TYPE --start " +
           std::to_string(p.start / reader.unitsPerSector()) + " --end " +
           std::to_string((std::uint64_t{p.start} + p.length) / reader.unitsPerSector() - 1));
      return false;
    }
    sel.fsType = p.fsType;
    sel.rangeStart = p.start;
    sel.rangeLength = p.length;
    sel.rangeEnd = p.start + p.length - 1;
    sel.rangeTag = static_cast<std::uint16_t>(args.partition - 1);
    return true;
  }
  if (args.fs.empty() || !args.start || !args.end) {
    fail("choose a volume with --partition N, or with --fs TYPE --start S --end E");
    return false;
  }
  FsType t = parseFsType(args.fs);
  if (t == FsType::None) {
    fail("--fs must be FAT16, FAT32, NTFS or EXFAT, not " + args.fs);
    return false;
  }
  if (*args.start >= kSectorNoLimit || *args.end >= kSectorNoLimit) {
    fail("sector numbers must be below " + std::to_string(kSectorNoLimit));
    return false;
  }
  if (*args.start > *args.end) {
    fail("the end sector must not lie before the start sector");
    return false;
  }
  // The disk's own sectors, as the partition list shows them; the selection
  // counts 512-byte units.
  const std::uint64_t u = reader.unitsPerSector();
  sel.fsType = t;
  sel.rangeStart = static_cast<SectorNo>(*args.start * u);
  sel.rangeEnd = static_cast<SectorNo>((*args.end + 1) * u - 1);
  sel.rangeLength = static_cast<SectorNo>((*args.end - *args.start + 1) * u);
  sel.rangeTag = 0;
  return true;
}

void addVolumeOptions(CLI::App* cmd, VolumeArgs& args) {
  addSelectionOptions(cmd, args.selection);
  cmd->add_flag("--deep", args.deep, "rebuild the volume with a deep scan of --fs/--start/--end");
  cmd->add_option("--pick", args.pick, "with --deep: the found file system K (1-based), as deep-scan lists them");
  cmd->add_option("--sectors-per-read", args.sectorsPerRead, "with --deep: sectors per read request, 1 to 100")
      ->check(CLI::Range(1, 100));
  cmd->add_option("--snapshot", args.snapshot, "load this snapshot instead of scanning");
  addMapOption(cmd, args.badSectorsMap);
}

bool mountVolume(const std::string& diskPath, const VolumeArgs& a, Session& s, TerminalObserver& term) {
  std::string err;
  s.sectorSizeOverride = sectorSizeOption();
  if (!s.addImage(diskPath, err) || !s.openDrive(static_cast<int>(s.drives.size()) - 1, err)) {
    fail(err);
    return false;
  }
  if (!a.badSectorsMap.empty() && !s.setBadSectorsMap(a.badSectorsMap, err)) {
    fail(err);
    return false;
  }
  installInterruptHandler();
  ScanObserver obs(term);

  if (!a.snapshot.empty()) {
    if (a.deep || a.selection.partition || !a.selection.fs.empty()) {
      fail("--snapshot replaces the scan: give no --partition, --fs or --deep with it");
      return false;
    }
    std::string otherDisk;
    if (s.loadSnapshot(a.snapshot, err, &otherDisk) != SnapshotLoadStatus::Ok) {
      fail(err);
      return false;
    }
    if (!otherDisk.empty()) term.warning(otherDisk);
    return true;
  }

  if (a.deep) {
    FsType t = parseFsType(a.selection.fs);
    if (t == FsType::None || !a.selection.start || !a.selection.end) {
      fail("--deep needs --fs FAT16|FAT32|NTFS|EXFAT --start S --end E");
      return false;
    }
    if (a.pick == 0) {
      fail("--deep needs --pick K: run `osprin deep-scan` to see the found file systems");
      return false;
    }
    std::string msg = s.setScanRange(t, std::to_string(*a.selection.start), std::to_string(*a.selection.end));
    if (!msg.empty()) {
      fail(msg.substr(msg.find_first_not_of(' ')));
      return false;
    }
    s.settings.setSectorsPerRead(a.sectorsPerRead);
    s.deepScan(stopFlag(), obs);
    if (interrupted()) {
      term.finish();
      fail("the deep scan was stopped; what it found is partial", kExitInterrupted);
      return false;
    }
    if (s.deep.foundFileSystems.empty()) {
      term.finish();
      fail("the deep scan found no file system in that range");
      return false;
    }
    if (a.pick > s.deep.foundFileSystems.size()) {
      term.finish();
      fail("there is no found file system " + std::to_string(a.pick) + " (the deep scan found " +
           std::to_string(s.deep.foundFileSystems.size()) + ")");
      return false;
    }
    s.selectFoundFileSystem(a.pick);
    s.mountFound(stopFlag(), obs);
    term.finish();
    if (interrupted()) {
      fail("the scan was stopped; the tree it rebuilt is partial", kExitInterrupted);
      return false;
    }
    return true;
  }

  if (!resolveSelection(a.selection, *s.reader, *s.drive(), s.sel, term)) return false;
  if (interrupted()) {
    fail("the partition search was stopped", kExitInterrupted);
    return false;
  }
  ScanOutcome outcome = s.standardScan(stopFlag(), obs);
  term.finish();
  if (interrupted()) {
    fail("the scan was stopped; the tree it read is partial", kExitInterrupted);
    return false;
  }
  if (outcome != ScanOutcome::Done) {
    fail(obs.error.empty() ? std::string("the standard scan could not mount the volume") : obs.error);
    return false;
  }
  return true;
}

void walkRows(Session& s, const std::function<void(const std::string& path, const ListRow& row)>& visit) {
  struct Frame {
    std::uint32_t identity;
    std::string path;
    std::vector<ListRow> rows;
    std::size_t next = 0;
  };
  const std::uint32_t root = s.rootIdentity();
  std::vector<Frame> stack;
  stack.push_back({root, "", s.listFolder(root)});
  std::unordered_set<std::uint32_t> onPath{root};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.rows.size()) {
      onPath.erase(top.identity);
      stack.pop_back();
      continue;
    }
    const ListRow& row = top.rows[top.next++];
    std::string path = top.path + "/" + row.name;
    visit(path, row);
    // A folder without a tree item (unreachable parent) is not entered.
    if (!row.folder || row.id == 0 || row.id > UINT32_MAX) continue;
    if (s.tree.folderOfItem(static_cast<std::uint32_t>(row.id)) < 0) continue;
    const std::uint32_t identity = s.identityOfItem(static_cast<std::uint32_t>(row.id));
    if (!onPath.insert(identity).second) continue;
    auto rows = s.listFolder(identity);
    stack.push_back({identity, std::move(path), std::move(rows)});
  }
}

}  // namespace osprin::cli
