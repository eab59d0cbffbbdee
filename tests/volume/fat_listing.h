#pragma once
// What the FAT tests compare: the tree reachable from the root as
// "kind path size deleted" lines, the same lines from a fixture manifest,
// an observer that records what a scan shows, and damaged copies of images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/block_source.h"
#include "support/fixtures.h"
#include "support/phase_print.h"
#include "tree/file_tree.h"

namespace osprin::test {

struct Line {
  std::string kind;  // "file" or "folder"
  std::string path;
  std::uint64_t size = 0;
  bool deleted = false;
  bool operator<(const Line& o) const {
    return std::tie(path, kind, size, deleted) < std::tie(o.path, o.kind, o.size, o.deleted);
  }
  bool operator==(const Line& o) const {
    return path == o.path && kind == o.kind && size == o.size && deleted == o.deleted;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Line& l) {
  return os << l.kind << " " << l.path << " " << l.size << (l.deleted ? " deleted" : "");
}

// Every folder and file reachable from the root of the FAT folder tree.
inline std::vector<Line> fatListing(FileTree& tree) {
  std::vector<Line> out;
  const FolderTree& ft = tree.folderTree();
  for (std::uint32_t item = FolderTree::kRoot; item < ft.size(); ++item) {
    const TreeItem& ti = ft.item(item);
    std::string path = ft.path(item);
    std::uint32_t identity = kFatRootCluster;
    if (ti.folder >= 0) {
      const auto& f = tree.fatFolders[static_cast<std::size_t>(ti.folder)];
      out.push_back({"folder", path, 0, f.deleted});
      identity = f.firstCluster;
    }
    for (std::uint32_t i : tree.fatFileChildren(identity)) {
      const auto& f = tree.fatFiles[i];
      out.push_back({"file", path + "/" + f.name, f.size, f.deleted});
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// True for a name that fits 8.3 in upper case, which mtools writes without
// a long name: such a name shows with 'x' for its first letter once deleted.
inline bool isPlainShortName(const std::string& name) {
  auto dot = name.find('.');
  std::string base = name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  for (char c : base + ext)
    if (!(std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_'))
      return false;
  return true;
}

// The lines a scan must show for a fixture volume (empty files included:
// they have no first cluster but are listed); deleted 8.3 names start with 'x'.
inline std::vector<Line> expectedListing(const std::string& fixture, const std::string& volume,
                                         const std::set<std::string>& alsoDeleted = {}) {
  std::vector<Line> out;
  for (const auto& e : readManifestEntries(fixture, volume)) {
    Line l{e.kind, e.path, e.kind == "file" ? e.size : 0, e.deleted};
    for (const auto& d : alsoDeleted)
      if (l.path == d || l.path.rfind(d + "/", 0) == 0) l.deleted = true;
    auto slash = l.path.rfind('/');
    std::string name = l.path.substr(slash + 1);
    if (e.deleted && isPlainShortName(name)) {
      // Only the entries that were themselves deleted lose their first letter;
      // mdeltree marks every entry below a deleted folder.
      l.path = l.path.substr(0, slash + 1) + "x" + name.substr(1);
    }
    out.push_back(l);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Reports the differences line by line.
inline void expectSameListing(std::vector<Line> got, std::vector<Line> want) {
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  std::vector<Line> missing, extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  for (const auto& l : missing) ADD_FAILURE() << "missing: " << l;
  for (const auto& l : extra) ADD_FAILURE() << "unexpected: " << l;
}

// Records what a scan shows.
class ScanRecorder : public Observer {
 public:
  std::vector<PhaseInfo> phases;
  std::vector<std::pair<MsgKind, std::string>> messages;
  std::map<Counter, std::uint64_t> counters;
  std::vector<std::string> visibility;  // "progress+", "progress-", "stop+", "stop-"
  int lastProgress = -1;  // the last percentage reported while the bar was shown
  bool barShown = false;
  void phase(const PhaseInfo& p) override { phases.push_back(p); }
  void message(MsgKind k, std::string_view t) override { messages.emplace_back(k, std::string(t)); }
  void counter(Counter c, std::uint64_t v) override { counters[c] = v; }
  void progress(int p) override {
    if (barShown) lastProgress = p;
  }
  void progressVisible(bool v) override {
    barShown = v;
    visibility.push_back(v ? "progress+" : "progress-");
  }
  void stopVisible(bool v) override { visibility.push_back(v ? "stop+" : "stop-"); }
  bool sawPhase(Phase p) const {
    return std::find_if(phases.begin(), phases.end(), [p](const PhaseInfo& i) { return i.phase == p; }) != phases.end();
  }
};

// A private copy of an image, for damaging it.
inline std::string copyImage(const std::string& src, const std::string& hint) {
  std::string dst = makeTempDir(hint) + "/image";
  std::filesystem::copy_file(src, dst);
  return dst;
}

// Overwrites bytes of a file at a byte offset.
inline void patchFile(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The image placed `offset` sectors into a disk, so that the arithmetic on
// rangeStart is exercised; at() gives a sector of the volume to change
// before reading. The image file itself is never written.
class OverlaySource : public BlockSource {
 public:
  OverlaySource(const std::string& image, std::uint64_t offsetBytes, std::map<SectorNo, std::string> patches)
      : offset_(offsetBytes), patches_(std::move(patches)) {
    std::string err;
    inner_ = FileBlockSource::open(image, err);
  }
  bool readAt(std::uint64_t off, void* buf, std::size_t len) override {
    if (off + len > sizeBytes()) return false;
    auto* out = static_cast<char*>(buf);
    std::memset(out, 0, len);
    if (off + len > offset_) {
      const std::uint64_t from = std::max(off, offset_);
      if (!inner_->readAt(from - offset_, out + (from - off), static_cast<std::size_t>(off + len - from))) return false;
    }
    for (const auto& [sector, bytes] : patches_) {
      const std::uint64_t at = offset_ + std::uint64_t{sector} * 512;
      if (at + 512 <= off || at >= off + len) continue;
      const std::uint64_t lo = std::max(at, off), hi = std::min(at + 512, off + len);
      std::memcpy(out + (lo - off), bytes.data() + (lo - at), static_cast<std::size_t>(hi - lo));
    }
    return true;
  }
  std::uint64_t sizeBytes() const override { return offset_ + inner_->sizeBytes(); }

 private:
  std::unique_ptr<FileBlockSource> inner_;
  std::uint64_t offset_;
  std::map<SectorNo, std::string> patches_;
};

struct Disk {
  std::string image;
  SectorNo offset;
  std::map<SectorNo, std::string> patches;
  Disk(std::string img, SectorNo off) : image(std::move(img)), offset(off) {}
  char* at(SectorNo volumeSector) {
    std::string& p = patches[volumeSector];
    if (p.empty()) {
      p = std::string(512, '\0');
      std::string err;
      auto f = FileBlockSource::open(image, err);
      f->readAt(std::uint64_t{volumeSector} * 512, p.data(), 512);
    }
    return p.data();
  }
  SectorNo lastSector() const {
    std::string err;
    return static_cast<SectorNo>(FileBlockSource::open(image, err)->sizeBytes() / 512 - 1);
  }
  std::unique_ptr<SectorReader> reader() const {
    return std::make_unique<SectorReader>(
        std::make_unique<OverlaySource>(image, std::uint64_t{offset} * 512, patches));
  }
};

}  // namespace osprin::test
