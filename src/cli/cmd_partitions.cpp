// osprin partitions DISK [--json]
// osprin search-partitions DISK [--json]
#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "common/text.h"
#include "partition/lost_search.h"

namespace osprin::cli {

namespace {

// A partition that reaches past the end of the disk is listed with a
// warning: on stderr, and in --json as the row's "warnings".
// Starts and lengths in the disk's own sectors (units 512-byte units each).
void printPartitions(const std::vector<PartitionEntry>& parts, bool json, std::uint64_t diskSectors,
                     std::uint32_t units) {
  for (const auto& p : parts)
    if (const std::string w = partitionBeyondDiskWarning(p, diskSectors, units); !w.empty())
      std::fprintf(stderr, "osprin: warning: %s\n", w.c_str());
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const auto& p = parts[i];
      nlohmann::json row = {{"index", i + 1},
                            {"label", partitionLabel(i, p)},
                            {"type", p.fsType == FsType::None ? std::string("unknown") : std::string(fsTypeText(p.fsType))},
                            {"start", p.start / units},
                            {"length", p.length / units},
                            {"end", static_cast<SectorNo>((p.start + p.length) / units - 1)},
                            {"sector_size", units * kSectorSize}};
      // GPT partitions: their name and type GUID.
      if (!p.typeGuid.empty()) {
        row["name"] = p.name;
        row["type_guid"] = p.typeGuid;
      }
      if (const std::string w = partitionBeyondDiskWarning(p, diskSectors, units); !w.empty())
        row["warnings"] = nlohmann::json::array({w});
      out.push_back(std::move(row));
    }
    std::printf("%s\n", out.dump(1).c_str());
    return;
  }
  if (parts.empty()) {
    std::printf("No partition found.\n");
    return;
  }
  // A GPT disk's partitions have names: a column of their own.
  const bool names = std::any_of(parts.begin(), parts.end(), [](const PartitionEntry& p) { return !p.name.empty(); });
  std::printf("%-22s %12s %12s %12s %10s%s\n", "Partition", "Start", "End", "Length", "Size", names ? "  Name" : "");
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto& p = parts[i];
    std::printf("%-22s %12llu %12llu %12llu %7llu MB%s\n", partitionLabel(i, p).c_str(),
                static_cast<unsigned long long>(p.start / units),
                static_cast<unsigned long long>((p.start + p.length) / units - 1),
                static_cast<unsigned long long>(p.length / units), static_cast<unsigned long long>(p.length / 2048),
                names ? ("  " + terminalQuoted(p.name)).c_str() : "");
  }
}

struct Args {
  std::string disk;
  bool json = false;
};

}  // namespace

void addPartitionsCommands(CLI::App& app) {
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("partitions", "list the FAT16, FAT32, NTFS and exFAT partitions of a disk");
  cmd->add_option("DISK", a->disk, "disk device or image file")->required();
  cmd->add_flag("--json", a->json, "print JSON");
  cmd->callback([a] {
    auto disk = openDisk(a->disk);
    if (!disk) return;
    installInterruptHandler();
    TerminalObserver obs;
    std::array<std::uint8_t, kSectorSize> mbr{};
    if (!disk->reader->readSectors(0, 1, mbr.data()))
      obs.warning("sector 0 (the partition table) could not be read; partitions it lists are missing");
    auto found = discoverPartitions(*disk->reader, disk->drive, stopFlag(), obs);
    obs.finish();
    if (interrupted()) fail("the partition search was stopped; the list is partial", kExitInterrupted);
    if (found.searched && !a->json)
      std::fprintf(stderr, " No partitions found, going to make a quick search for missing partitions\n");
    printPartitions(found.partitions, a->json, disk->reader->totalSectors(), disk->reader->unitsPerSector());
  });

  auto b = std::make_shared<Args>();
  auto* search = app.add_subcommand("search-partitions", "search a disk for lost partitions: at cylinder starts, on 4 KiB boundaries, from backup boot sectors and a GPT's backup header");
  search->add_option("DISK", b->disk, "disk device or image file")->required();
  search->add_flag("--json", b->json, "print JSON");
  search->callback([b] {
    auto disk = openDisk(b->disk);
    if (!disk) return;
    installInterruptHandler();
    TerminalObserver obs;
    auto parts = searchLostPartitions(*disk->reader, disk->drive, stopFlag(), obs);
    obs.finish();
    printPartitions(parts, b->json, disk->reader->totalSectors(), disk->reader->unitsPerSector());
    if (interrupted()) fail("the partition search was stopped; the list is partial", kExitInterrupted);
  });
}

}  // namespace osprin::cli
