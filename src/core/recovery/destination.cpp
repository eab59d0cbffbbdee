#include "recovery/destination.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace osprin {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxDepth = 8;

std::string devText(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

// Reads "MAJ:MIN" from a sysfs "dev" file.
bool readDevFile(const fs::path& file, dev_t& out) {
  std::ifstream in(file);
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  out = makedev(maj, min);
  return true;
}

bool onDisk(dev_t dev, dev_t disk, const std::string& sysRoot, int depth) {
  if (dev == disk) return true;
  if (depth > kMaxDepth || major(dev) == 0) return false;  // major 0: no block device behind it
  std::error_code ec;
  const fs::path dir = fs::canonical(fs::path(sysRoot) / "dev" / "block" / devText(dev), ec);
  if (ec) return false;
  // A partition's directory sits inside its disk's directory.
  if (fs::exists(dir / "partition", ec)) {
    dev_t parent = 0;
    if (readDevFile(dir.parent_path() / "dev", parent) && onDisk(parent, disk, sysRoot, depth + 1)) return true;
  }
  // device-mapper, md, bcache...: the devices this one is built on.
  if (fs::is_directory(dir / "slaves", ec)) {
    for (const auto& e : fs::directory_iterator(dir / "slaves", ec)) {
      dev_t below = 0;
      if (readDevFile(e.path() / "dev", below) && onDisk(below, disk, sysRoot, depth + 1)) return true;
    }
  }
  // A loop device writes into its backing file.
  std::ifstream backing(dir / "loop" / "backing_file");
  std::string file;
  if (backing && std::getline(backing, file) && !file.empty()) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && onDisk(st.st_dev, disk, sysRoot, depth + 1)) return true;
  }
  return false;
}

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountField(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

bool pathUnder(const std::string& path, const std::string& mountPoint) {
  if (mountPoint == "/") return !path.empty() && path[0] == '/';
  if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
  return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

// The nearest existing ancestor of p (p itself when it exists), absolute and
// without symbolic links.
fs::path existingAncestor(const std::string& p) {
  std::error_code ec;
  fs::path cur = fs::absolute(fs::path(p), ec);
  if (ec) return {};
  for (int i = 0; i < 4096 && !cur.empty(); ++i) {
    if (fs::exists(cur, ec)) {
      fs::path c = fs::canonical(cur, ec);
      return ec ? cur : c;
    }
    if (!cur.has_relative_path()) break;
    cur = cur.parent_path();
  }
  return {};
}

}  // namespace

bool blockDeviceOnDisk(dev_t dev, dev_t disk, const std::string& sysRoot) { return onDisk(dev, disk, sysRoot, 0); }

bool deviceIsImage(dev_t dev, const std::string& path, const std::string& image, const SystemPaths& sys) {
  struct stat img {};
  if (::stat(image.c_str(), &img) != 0) return false;
  // Loop devices whose backing file is the image. (opendir rather than a
  // directory_iterator, whose non-throwing constructor ends the program
  // when memory runs out.)
  const std::string blockDir = sys.sysRoot + "/dev/block";
  if (DIR* d = ::opendir(blockDir.c_str())) {
    bool hit = false;
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const fs::path entry = fs::path(blockDir) / name;
      std::ifstream backing(entry / "loop" / "backing_file");
      std::string file;
      if (!backing || !std::getline(backing, file) || file.empty()) continue;
      struct stat bf {};
      dev_t loop = 0;
      if (::stat(file.c_str(), &bf) != 0 || bf.st_dev != img.st_dev || bf.st_ino != img.st_ino) continue;
      if (readDevFile(entry / "dev", loop) && blockDeviceOnDisk(dev, loop, sys.sysRoot)) {
        hit = true;
        break;
      }
    }
    ::closedir(d);
    if (hit) return true;
  }
  // A FUSE mount of the image file.
  const std::string source = mountSourceOf(path, sys.mountInfo);
  struct stat ms {};
  return !source.empty() && source[0] == '/' && ::stat(source.c_str(), &ms) == 0 && ms.st_dev == img.st_dev &&
         ms.st_ino == img.st_ino;
}

std::string mountSourceOf(const std::string& path, const std::string& mountInfo) {
  std::ifstream in(mountInfo);
  std::string line, best, bestSource;
  bool found = false;
  while (std::getline(in, line)) {
    // id parent maj:min root mountpoint options [optional...] - fstype source superoptions
    std::istringstream ls(line);
    std::string id, parent, devs, root, mountPoint;
    if (!(ls >> id >> parent >> devs >> root >> mountPoint)) continue;
    std::string field;
    bool sep = false;
    while (ls >> field) {
      if (field == "-") {
        sep = true;
        break;
      }
    }
    std::string fstype, source;
    if (!sep || !(ls >> fstype >> source)) continue;
    mountPoint = unescapeMountField(mountPoint);
    if (!pathUnder(path, mountPoint)) continue;
    // Later lines of the same mount point hide earlier ones, so >= keeps the last.
    if (!found || mountPoint.size() >= best.size()) {
      best = mountPoint;
      bestSource = unescapeMountField(source);
      found = true;
    }
  }
  return found ? bestSource : std::string();
}

DestinationCheck checkDestination(const std::string& destination, const std::string& source, const SystemPaths& sys) {
  DestinationCheck r;
  struct stat src {};
  if (source.empty() || ::stat(source.c_str(), &src) != 0) return r;
  const fs::path dest = existingAncestor(destination);
  struct stat dst {};
  if (dest.empty() || ::stat(dest.c_str(), &dst) != 0) return r;

  if (S_ISBLK(src.st_mode)) {
    const dev_t disk = src.st_rdev;
    bool hit = blockDeviceOnDisk(dst.st_dev, disk, sys.sysRoot);
    if (!hit) {
      // FUSE (ntfs-3g), btrfs and the like give their files an anonymous
      // device; the mount table still names the device they read.
      const std::string dev = mountSourceOf(dest.string(), sys.mountInfo);
      struct stat ms {};
      if (dev.rfind("/dev/", 0) == 0 && ::stat(dev.c_str(), &ms) == 0 && S_ISBLK(ms.st_mode))
        hit = blockDeviceOnDisk(ms.st_rdev, disk, sys.sysRoot);
    }
    if (hit) {
      r.onSource = true;
      r.reason = "The folder " + destination + " is on the disk being recovered (" + source + ").";
    }
    return r;
  }
  if (S_ISREG(src.st_mode) && deviceIsImage(dst.st_dev, dest.string(), source, sys)) {
    r.onSource = true;
    r.reason = "The folder " + destination + " is on the image file being recovered (" + source +
               "), mounted.";
  }
  return r;
}

}  // namespace osprin
