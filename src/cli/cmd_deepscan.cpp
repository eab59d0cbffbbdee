// osprin deep-scan DISK --fs FAT16|FAT32|NTFS --start S --end E [--sectors-per-read N] [--json]
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "common/text.h"
#include "deepscan/deep_scan.h"
#include "recovery/settings.h"

namespace osprin::cli {

namespace {

struct Args {
  std::string disk;
  std::string fs;
  std::optional<std::uint64_t> start;
  std::optional<std::uint64_t> end;
  std::uint32_t sectorsPerRead = kDefaultSectorsPerRead;
  bool json = false;
  std::string badSectorsMap;
};

// The scan reports a status line every few thousand sectors and a counter
// after every batch; a terminal needs a few updates a second, not that.
class ThrottledObserver : public Observer {
 public:
  explicit ThrottledObserver(TerminalObserver& inner) : inner_(inner) {}
  void progress(int percent) override { inner_.progress(percent); }
  void counter(Counter which, std::uint64_t value) override {
    if (due()) inner_.counter(which, value);
  }
  void text(TextField which, std::string_view value) override {
    if (due()) inner_.text(which, value);
  }
  // A new phase (reading sectors, assigning MFT numbers, ...) shows at
  // once; the same phase with new numbers a few times a second.
  void phase(const PhaseInfo& p) override {
    if (p.phase != lastPhase_ || due(true)) {
      lastPhase_ = p.phase;
      inner_.phase(p);
    }
  }
  void message(MsgKind kind, std::string_view text) override { inner_.message(kind, text); }
  bool ask(std::string_view text) override { return inner_.ask(text); }
  void warning(std::string_view text) override { inner_.warning(text); }

 private:
  bool due(bool statusLine = false) {
    auto now = std::chrono::steady_clock::now();
    auto& last = statusLine ? lastStatusAt_ : lastAt_;
    if (now - last < std::chrono::milliseconds(200)) return false;
    last = now;
    return true;
  }
  TerminalObserver& inner_;
  Phase lastPhase_ = Phase::None;
  std::chrono::steady_clock::time_point lastAt_{}, lastStatusAt_{};
};

void printResults(const DeepScanResults& r, FsType fsType, bool json, const std::vector<std::string>& warnings,
                  bool partial) {
  // Sectors of the disk's own size.
  const std::uint32_t u = r.unitsPerSector == 0 ? 1 : r.unitsPerSector;
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < r.foundFileSystems.size(); ++i) {
      const FoundFileSystem& fs = r.foundFileSystems[i];
      nlohmann::json e = {{"index", i + 1},
                          {"label", fs.label},
                          {"type", std::string(fsTypeText(fs.fsType))},
                          {"start", fs.clusterBase / u},
                          {"sectors_per_cluster", fs.sectorsPerCluster / u},
                          {"size", foundFileSystemSizeText(fs)}};
      if (fs.fsType == FsType::Ntfs) {
        e["mft_start"] = fs.mftStart / u;
        e["mft_mirror_start"] = fs.mftMirrorStart / u;
      }
      list.push_back(std::move(e));
    }
    nlohmann::json counters = {{"boot_sectors", r.bootSectorCount}, {"folders", r.folderHitCount}};
    if (fsType == FsType::Ntfs) {
      counters["files"] = r.fileHitCount;
      counters["index_entries"] = r.indexBlockCount;
    }
    nlohmann::json out = {{"file_systems", list}, {"counters", counters}, {"warnings", warnings}, {"partial", partial}};
    std::printf("%s\n", out.dump(1).c_str());
    return;
  }
  std::printf("Boot Sector(s) Found: %u\n", r.bootSectorCount);
  if (fsType == FsType::Ntfs) {
    std::printf("Index Entries Found: %u\n", r.indexBlockCount);
    std::printf("File(s) Found: %u\n", r.fileHitCount);
  }
  std::printf("Folder(s) Found: %u\n", r.folderHitCount);
  if (r.foundFileSystems.empty()) {
    std::printf("No file system found.\n");
    return;
  }
  std::printf("\n%-4s %-18s %12s %8s %12s", "#", "File System", "Start", "Cluster", "Size");
  if (fsType == FsType::Ntfs) std::printf(" %12s %12s", "MFT Start", "MFT Mirror");
  std::printf("\n");
  for (std::size_t i = 0; i < r.foundFileSystems.size(); ++i) {
    const FoundFileSystem& fs = r.foundFileSystems[i];
    std::printf("%-4zu %-18s %12llu %8u %12s", i + 1, fs.label.c_str(),
                static_cast<unsigned long long>(fs.clusterBase / u), fs.sectorsPerCluster / u,
                foundFileSystemSizeText(fs).c_str());
    if (fs.fsType == FsType::Ntfs)
      std::printf(" %12llu %12llu", static_cast<unsigned long long>(fs.mftStart / u),
                  static_cast<unsigned long long>(fs.mftMirrorStart / u));
    std::printf("\n");
  }
}

}  // namespace

void addDeepScanCommand(CLI::App& app) {
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand(
      "deep-scan", "read every sector of a range and list the FAT or NTFS file systems found in it");
  cmd->add_option("DISK", a->disk, "disk device or image file")->required();
  cmd->add_option("--fs", a->fs, "kind of file system to look for: FAT16, FAT32, NTFS or EXFAT")->required();
  cmd->add_option("--start", a->start, "first sector of the range")->required();
  cmd->add_option("--end", a->end, "end sector of the range (the range holds end - start sectors)")->required();
  cmd->add_option("--sectors-per-read", a->sectorsPerRead,
                  "\"Sectors to read in single attempt\": the batch of the scan (1 to 100, default 60)")
      ->check(CLI::Range(RecoverySettings::kMinSectorsPerRead, RecoverySettings::kMaxSectorsPerRead));
  cmd->add_flag("--json", a->json, "print JSON");
  addMapOption(cmd, a->badSectorsMap);
  cmd->callback([a] {
    Selection sel;
    sel.fsType = parseFsType(a->fs);
    if (sel.fsType == FsType::None) return fail("--fs must be FAT16, FAT32, NTFS or EXFAT, not " + a->fs);
    if (*a->start >= kSectorNoLimit || *a->end >= kSectorNoLimit)
      return fail("sector numbers must be below " + std::to_string(kSectorNoLimit));
    if (*a->start >= *a->end) return fail("End sector should be bigger than start sector");
    auto disk = openDisk(a->disk, a->badSectorsMap);
    if (!disk) return;
    // The disk's own sectors; the scan counts 512-byte units.
    const std::uint64_t u = disk->reader->unitsPerSector();
    sel.rangeStart = static_cast<SectorNo>(*a->start * u);
    sel.rangeEnd = static_cast<SectorNo>(*a->end * u);
    sel.rangeLength = sel.rangeEnd - sel.rangeStart;
    installInterruptHandler();
    TerminalObserver terminal;
    ThrottledObserver obs(terminal);
    DeepScanResults results;
    runDeepScan(*disk->reader, sel, a->sectorsPerRead, results, stopFlag(), obs);
    terminal.finish();
    printResults(results, sel.fsType, a->json, terminal.warnings(), interrupted());
    if (interrupted()) fail("the deep scan was stopped; the list above is partial", kExitInterrupted);
  });
}

}  // namespace osprin::cli
