// osprin drives [--image FILE]... [--json]
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "disk/drives.h"

namespace osprin::cli {

void addDrivesCommand(CLI::App& app) {
  struct Args {
    std::vector<std::string> images;
    bool json = false;
  };
  auto args = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("drives", "list the disks of this machine and the given image files");
  cmd->add_option("--image", args->images, "add a disk image file as a drive (repeatable)");
  cmd->add_flag("--json", args->json, "print JSON");
  cmd->callback([args] {
    for (const auto& img : args->images) {
      DriveInfo d;
      std::string err;
      if (!driveInfoForPath(img, d, err)) {
        fail(err);
        return;
      }
    }
    auto drives = enumerateDrives(args->images);
    if (args->json) {
      nlohmann::json out = nlohmann::json::array();
      for (std::size_t k = 0; k < drives.size(); ++k) {
        const auto& d = drives[k];
        auto panel = driveInfoPanel(d);
        out.push_back({{"slot", k},
                       {"label", driveLabel(k)},
                       {"path", d.path},
                       {"image", d.isImage},
                       {"model", d.model},
                       {"capacity", panel[1].value},
                       {"cylinders", d.cylinders},
                       {"heads", d.heads},
                       {"sectors_per_track", d.sectorsPerTrack},
                       {"sector_size", d.sectorSize},
                       {"total_sectors", diskSectorCount(d)}});
        if (d.isImage) {
          auto& o = out.back();
          o["format"] = imageFormatName(d.image.format);
          o["segments"] = d.image.segments;
          nlohmann::json details = nlohmann::json::object();
          for (const auto& det : d.image.details) details[det.key] = det.value;
          o["image_details"] = details;
        }
      }
      std::printf("%s\n", out.dump(1).c_str());
      return;
    }
    if (drives.empty()) std::printf("No disks found (add an image with --image FILE).\n");
    for (std::size_t k = 0; k < drives.size(); ++k) {
      std::printf("%s  %s\n", driveLabel(k).c_str(), drives[k].path.c_str());
      auto rows = driveInfoPanel(drives[k]);
      for (auto& row : imageInfoPanel(drives[k])) rows.push_back(std::move(row));
      for (const auto& row : rows)
        std::printf("    %-18s %s\n", row.label.c_str(), row.value.c_str());
    }
  });
}

}  // namespace osprin::cli
