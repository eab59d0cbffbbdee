#include <malloc.h>

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "cli_common.h"
#include "commands.h"

int main(int argc, char** argv) {
  // Memory freed after one folder's rows stays with the process for the
  // next folder's instead of going back to the system each time: handing
  // back the top of the heap costs a TLB flush on every core.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  CLI::App app{"osprin: recovers files from FAT16, FAT32, NTFS and exFAT disks and disk images (read-only)", "osprin"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("osprin ") + OSPRIN_VERSION);
  app.fallthrough();  // program options (--sector-size) may follow the command
  osprin::cli::addSectorSizeOption(app);
  osprin::cli::addDrivesCommand(app);
  osprin::cli::addPartitionsCommands(app);
  osprin::cli::addListCommand(app);
  osprin::cli::addRecoverCommand(app);
  osprin::cli::addDeepScanCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::bad_alloc&) {
    return osprin::cli::outOfMemory();
  }
  return osprin::cli::exitCode();
}
