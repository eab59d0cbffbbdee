#pragma once
// Subcommands of the osprin command; each file adds one.
#include <CLI/CLI.hpp>

namespace osprin::cli {

void addDrivesCommand(CLI::App& app);
void addPartitionsCommands(CLI::App& app);  // partitions, search-partitions
void addListCommand(CLI::App& app);
void addRecoverCommand(CLI::App& app);
void addDeepScanCommand(CLI::App& app);

}  // namespace osprin::cli
