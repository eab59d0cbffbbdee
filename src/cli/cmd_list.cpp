// osprin list DISK (--partition N | --fs TYPE --start S --end E) [--json]
//
// Runs the standard scan on the chosen volume and prints the tree reachable
// from the root, depth first: each folder's subfolders (each followed by its
// own content), then its files, in the order of the file list.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "cli_common.h"
#include "commands.h"
#include "tree/file_list.h"
#include "volume/walkers.h"

namespace osprin::cli {

namespace {

struct Args {
  std::string disk;
  SelectionArgs selection;
  bool json = false;
};

// Keeps the scan's error message for the one line on stderr that ends the
// command; everything else is shown as the terminal observer shows it.
class ListObserver : public TerminalObserver {
 public:
  std::string error;
  void message(MsgKind kind, std::string_view text) override {
    if (kind == MsgKind::Error) {
      error.assign(text);
      return;
    }
    TerminalObserver::message(kind, text);
  }
};

// Visits every row reachable from the root with its "/" joined path. A folder
// is entered once, and never when its identity is already on its own path.
template <class Visit>
void walkTree(FileTree& tree, bool ntfs, const NtfsFileSet& files, Visit visit) {
  auto rowsOf = [&](std::uint32_t identity) {
    return ntfs ? listNtfsFolder(tree, files, identity) : listFatFolder(tree, identity);
  };
  struct Frame {
    std::uint32_t identity;
    std::string path;
    std::vector<ListRow> rows;
    std::size_t next = 0;
  };
  const std::uint32_t root = ntfs ? kNtfsRootRecord : kFatRootCluster;
  std::vector<Frame> stack;
  stack.push_back({root, "", rowsOf(root)});
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
    if (!row.folder || row.id == 0) continue;  // a folder without a tree item is not entered
    const std::int64_t index = tree.folderOfItem(static_cast<std::uint32_t>(row.id));
    if (index < 0) continue;
    const std::uint32_t identity = ntfs ? tree.ntfsFolders[static_cast<std::size_t>(index)].recordNumber
                                        : tree.fatFolders[static_cast<std::size_t>(index)].firstCluster;
    if (!onPath.insert(identity).second) continue;
    auto rows = rowsOf(identity);
    stack.push_back({identity, std::move(path), std::move(rows)});
  }
}

std::string trimmed(const std::string& s) {
  auto end = s.find_last_not_of(' ');
  return end == std::string::npos ? "" : s.substr(0, end + 1);
}

void runList(const Args& a) {
  auto disk = openDisk(a.disk);
  if (!disk) return;
  installInterruptHandler();
  ListObserver obs;
  Selection sel;
  if (!resolveSelection(a.selection, *disk, sel, obs)) return;

  VolumeParams vp;
  MftRuns runs;
  FileTree tree;
  const ScanOutcome outcome = runStandardScan(*disk->reader, sel, vp, runs, tree, stopFlag(), obs);
  obs.finish();
  if (outcome != ScanOutcome::Done) {
    fail(obs.error.empty() ? std::string("the standard scan could not mount the volume") : obs.error);
    return;
  }

  const bool ntfs = vp.fsType == FsType::Ntfs;
  ParentIndex ntfsIndex;
  NtfsFileSet files(tree.ntfsFiles, ntfsIndex);
  std::uint64_t folders = 0, fileCount = 0, deleted = 0;

  if (a.json) {
    std::fputs("[", stdout);
    bool first = true;
    walkTree(tree, ntfs, files, [&](const std::string& path, const ListRow& row) {
      nlohmann::json o = {{"path", path},
                          {"kind", row.folder ? "folder" : "file"},
                          {"size", row.size},
                          {"deleted", row.deleted},
                          {"created", row.created},
                          {"modified", row.modified},
                          {"id", row.id}};
      std::fputs(first ? "\n " : ",\n ", stdout);
      std::fputs(o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str(), stdout);
      first = false;
    });
    std::fputs(first ? "]\n" : "\n]\n", stdout);
    return;
  }

  std::printf("%-14s %12s  %-20s %-20s %s\n", "Type", "Size", "Created", "Modified", "Path");
  walkTree(tree, ntfs, files, [&](const std::string& path, const ListRow& row) {
    (row.folder ? folders : fileCount)++;
    if (row.deleted) ++deleted;
    const std::string type = rowTypeText(row, "File");
    const std::string size = row.folder ? "" : std::to_string(row.size);
    std::printf("%-14s %12s  %-20s %-20s %s\n", type.c_str(), size.c_str(), trimmed(row.created).c_str(),
                trimmed(row.modified).c_str(), path.c_str());
  });
  std::printf("%llu folder(s), %llu file(s), %llu of them deleted\n", static_cast<unsigned long long>(folders),
              static_cast<unsigned long long>(fileCount), static_cast<unsigned long long>(deleted));
}

}  // namespace

void addListCommand(CLI::App& app) {
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("list", "mount a volume with the standard scan and list its files and folders");
  cmd->add_option("DISK", a->disk, "disk device or image file")->required();
  addSelectionOptions(cmd, a->selection);
  cmd->add_flag("--json", a->json, "print JSON");
  cmd->callback([a] { runList(*a); });
}

}  // namespace osprin::cli
