// Subcommands not built yet. Each moves to its own file when it is written.
#include "commands.h"

namespace osprin::cli {
}  // namespace osprin::cli
