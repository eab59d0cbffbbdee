#pragma once
// What the NTFS walker tests compare: the walked tree as paths, the fixture
// manifests, The Sleuth Kit's fls listings, and an observer that records
// what the walk shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/observer.h"
#include "support/fixtures.h"
#include "support/phase_print.h"
#include "tree/file_tree.h"
#include "volume/volume_params.h"

namespace osprin::test {

struct NtfsEntry {
  std::string kind;  // "file", "folder" or "stream" (a named stream, "file:stream")
  std::string path;  // "/a/b.txt"
  std::uint64_t size = 0;
  bool deleted = false;
  std::uint32_t record = 0;
  bool operator<(const NtfsEntry& o) const { return std::tie(path, kind) < std::tie(o.path, o.kind); }
};

inline std::ostream& operator<<(std::ostream& os, const NtfsEntry& e) {
  return os << e.kind << " " << e.path << " " << e.size << (e.deleted ? " deleted" : "") << " #" << e.record;
}

// Every folder with a tree item and every file whose parent is the root or
// such a folder, with the path the folder tree gives it.
inline std::vector<NtfsEntry> ntfsListing(FileTree& tree) {
  std::vector<NtfsEntry> out;
  const FolderTree& ft = tree.folderTree();
  for (const auto& f : tree.ntfsFolders)
    if (f.treeItem != 0) out.push_back({"folder", ft.path(f.treeItem), 0, f.deleted, f.recordNumber});
  for (const auto& f : tree.ntfsFiles) {
    std::string parent;
    if (f.parentRecord != kNtfsRootRecord) {
      auto idx = tree.findNtfsFolder(f.parentRecord);
      if (idx < 0 || tree.ntfsFolders[static_cast<std::size_t>(idx)].treeItem == 0) continue;
      parent = ft.path(tree.ntfsFolders[static_cast<std::size_t>(idx)].treeItem);
    }
    out.push_back({f.stream ? "stream" : "file", parent + "/" + f.name, f.size, f.deleted, f.recordNumber});
  }
  std::sort(out.begin(), out.end());
  return out;
}

// True for NTFS's own files and folders ("$MFT", "$Extend/...").
inline bool isSystemPath(const std::string& path) {
  return path.find("/$") != std::string::npos || (!path.empty() && path[0] == '$');
}

// One line of `fls -r -p -l`.
struct FlsEntry {
  std::string type;  // "r/r", "d/d", "-/r", ...
  bool deleted = false;
  std::uint32_t inode = 0;
  std::string path;  // as fls prints it, without a leading "/"
  std::uint64_t size = 0;
};

inline std::vector<FlsEntry> parseFls(const std::string& text) {
  std::vector<FlsEntry> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    FlsEntry e;
    std::istringstream head(line.substr(0, tab));
    std::string tok;
    head >> e.type;
    head >> tok;
    if (tok == "*") {
      e.deleted = true;
      head >> tok;
    }
    e.inode = static_cast<std::uint32_t>(std::strtoul(tok.c_str(), nullptr, 10));
    std::vector<std::string> cols;
    for (std::size_t p = tab + 1, q; p <= line.size(); p = q + 1) {
      q = line.find('\t', p);
      if (q == std::string::npos) q = line.size();
      cols.push_back(line.substr(p, q - p));
    }
    e.path = cols[0];
    if (cols.size() > 5) e.size = std::strtoull(cols[5].c_str(), nullptr, 10);
    out.push_back(e);
  }
  return out;
}

inline bool haveSleuthKit() {
  int status = -1;
  test::runCommand("fls -V >/dev/null 2>&1", &status);
  return status == 0;
}

// Volume parameters of the NTFS volume at start, read from its boot sector.
inline VolumeParams ntfsParams(SectorReader& reader, SectorNo start, SectorNo length) {
  Selection sel;
  sel.fsType = FsType::Ntfs;
  sel.rangeStart = start;
  sel.rangeLength = length;
  sel.rangeEnd = start + length - 1;
  VolumeParams vp;
  EXPECT_TRUE(readVolumeParams(reader, sel, vp));
  return vp;
}

// Sectors of a bare NTFS volume from its boot sector (total sectors + 1 for
// the backup boot sector behind them).
inline SectorNo ntfsVolumeSectors(SectorReader& reader, SectorNo start) {
  std::uint8_t boot[512] = {};
  reader.readSectors(start, 1, boot);
  return static_cast<SectorNo>(rd64(Bytes(boot), 40) + 1);
}

// Records what a walk shows; can press Stop after a number of records.
class WalkRecorder : public Observer {
 public:
  std::map<Counter, std::uint64_t> counters;
  std::map<TextField, std::string> texts;
  std::vector<PhaseInfo> phaseList;
  std::vector<int> progressValues;
  std::uint64_t recordsShown = 0;  // Counter::CurrentSector updates
  StopFlag* stop = nullptr;
  std::uint64_t stopAfter = 0;
  bool stopShown = false;
  bool progressShown = false;

  void counter(Counter which, std::uint64_t value) override {
    counters[which] = value;
    if (which == Counter::CurrentSector) {
      ++recordsShown;
      if (stop && stopAfter != 0 && recordsShown == stopAfter) stop->store(1);
    }
  }
  void text(TextField which, std::string_view value) override { texts[which] = value; }
  void phase(const PhaseInfo& p) override { phaseList.push_back(p); }
  void progress(int p) override { progressValues.push_back(p); }
  void stopVisible(bool v) override { stopShown = v; }
  void progressVisible(bool v) override { progressShown = v; }

  // The phases without the repeated Phase::ReadingSector reports.
  std::vector<Phase> phases() const {
    std::vector<Phase> out;
    for (const PhaseInfo& p : phaseList)
      if (p.phase != Phase::ReadingSector) out.push_back(p.phase);
    return out;
  }
};

}  // namespace osprin::test
