#include "support/fixtures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;

namespace osprin::test {

namespace {

std::mutex g_mu;

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

struct Scratch {
  std::string dir;
  Scratch() {
    std::string base = fs::temp_directory_path().string() + "/osprin-test-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    char* d = mkdtemp(buf.data());
    dir = d ? d : fs::temp_directory_path().string();
  }
  ~Scratch() {
    std::error_code ec;
    if (!std::getenv("OSPRIN_KEEP_SCRATCH")) fs::remove_all(dir, ec);
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

// Unpacks archive (gz, tar or tgz) whose content is the file `member` into
// the scratch folder, once per test program.
std::string unpack(const std::string& archive, const std::string& member) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::string out = scratch().dir + "/" + member;
  if (fs::exists(out)) return out;
  std::string cmd;
  const bool xz = archive.size() > 3 && archive.substr(archive.size() - 3) == ".xz";
  if ((archive.size() > 3 && archive.substr(archive.size() - 3) == ".gz" &&
       archive.find(".tar.gz") == std::string::npos) || xz) {
    // Keep holes: the images are mostly zeros.
    cmd = std::string(xz ? "xz" : "gzip") + " -dc " + shellQuote(archive) + " | cp --sparse=always /dev/stdin " +
          shellQuote(out + ".part") + " && mv " + shellQuote(out + ".part") + " " + shellQuote(out);
  } else {
    cmd = "tar -xf " + shellQuote(archive) + " -C " + shellQuote(scratch().dir) + " " + shellQuote(member);
  }
  int rc = std::system(cmd.c_str());
  if (rc != 0 || !fs::exists(out)) return "";
  return out;
}

std::string corpusDir() {
  if (const char* env = std::getenv("OSPRIN_CORPUS")) return env;
  return std::string(OSPRIN_SOURCE_DIR) + "/../shared/corpus";
}

}  // namespace

std::string scratchDir() { return scratch().dir; }

std::string makeTempDir(const std::string& hint) {
  static int counter = 0;
  std::lock_guard<std::mutex> lock(g_mu);
  std::string d = scratch().dir + "/" + hint + "-" + std::to_string(++counter);
  fs::create_directories(d);
  return d;
}

std::string fixtureImage(const std::string& name) {
  std::string archive = std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + name + ".img.gz";
  // Disks of terabytes come as sparse tar archives, which unpack to sparse files.
  const std::string sparse = std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + name + ".img.tar.gz";
  if (!fs::exists(archive) && fs::exists(sparse)) archive = sparse;
  if (!fs::exists(archive)) {
    ADD_FAILURE() << "missing fixture " << archive << " (run tests/fixtures/make-fixtures.sh)";
    return "";
  }
  std::string p = unpack(archive, name + ".img");
  if (p.empty()) ADD_FAILURE() << "cannot unpack " << archive;
  return p;
}

std::string fixtureFile(const std::string& fileName) {
  std::string archive = std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + fileName + ".gz";
  if (!fs::exists(archive)) {
    ADD_FAILURE() << "missing fixture " << archive << " (run tests/fixtures/make-fixtures.sh)";
    return "";
  }
  std::string p = unpack(archive, fileName);
  if (p.empty()) ADD_FAILURE() << "cannot unpack " << archive;
  return p;
}

std::string fixtureManifestPath(const std::string& name) {
  return std::string(OSPRIN_SOURCE_DIR) + "/tests/fixtures/data/" + name + ".manifest.json";
}

std::optional<std::string> corpusFile(const std::string& fileName) {
  std::string p = corpusDir() + "/" + fileName;
  if (!fs::exists(p)) return std::nullopt;
  return p;
}

std::optional<std::string> corpusImage(const std::string& fileName) {
  const std::string dir = corpusDir();
  for (const char* ext : {".gz", ".tgz", ".tar.gz", ".xz"}) {
    std::string archive = dir + "/" + fileName + ext;
    if (fs::exists(archive)) {
      std::string p = unpack(archive, fileName);
      if (p.empty()) return std::nullopt;
      return p;
    }
  }
  // Archives named differently from their member.
  static const std::pair<const char*, const char*> named[] = {
      {"vss_2003.raw", "vss_2003.tgz"}, {"vss_1_vol.raw", "vss_1_vol.tar.gz"}};
  for (auto& [member, archive] : named) {
    if (fileName == member && fs::exists(dir + "/" + archive)) {
      std::string p = unpack(dir + "/" + archive, member);
      if (p.empty()) return std::nullopt;
      return p;
    }
  }
  if (fs::exists(dir + "/" + fileName)) return dir + "/" + fileName;
  return std::nullopt;
}

std::unique_ptr<SectorReader> openReader(const std::string& path) {
  std::string err;
  auto src = FileBlockSource::open(path, err);
  if (!src) {
    ADD_FAILURE() << err;
    return std::make_unique<SectorReader>();
  }
  auto reader = std::make_unique<SectorReader>(std::move(src));
  reader->setSectorSize(detectSectorSize(*reader->source()));
  return reader;
}

ReadOnlyLoop::ReadOnlyLoop(const std::string& image, unsigned sectorSize) {
  int status = 0;
  const std::string size = sectorSize != 0 ? " --sector-size " + std::to_string(sectorSize) : "";
  device_ = runCommand("losetup -r" + size + " -f --show '" + image + "' 2>/dev/null", &status);
  while (!device_.empty() && (device_.back() == '\n' || device_.back() == ' ')) device_.pop_back();
  if (status != 0 || device_.rfind("/dev/", 0) != 0) device_.clear();
}

ReadOnlyLoop::~ReadOnlyLoop() {
  if (!device_.empty()) runCommand("losetup -d '" + device_ + "' 2>/dev/null");
}

unsigned manifestSectorSize(const std::string& name) {
  std::ifstream in(fixtureManifestPath(name));
  return nlohmann::json::parse(in).value("sector_size", 512u);
}

std::vector<ManifestEntry> readManifestEntries(const std::string& name, const std::string& volumeKey) {
  std::vector<ManifestEntry> out;
  std::ifstream in(fixtureManifestPath(name));
  if (!in) {
    ADD_FAILURE() << "missing manifest for " << name;
    return out;
  }
  nlohmann::json j = nlohmann::json::parse(in);
  const nlohmann::json* entries = nullptr;
  if (j.contains("volumes")) {
    auto& vols = j["volumes"];
    std::string key = volumeKey.empty() ? vols.begin().key() : volumeKey;
    if (!vols.contains(key)) {
      ADD_FAILURE() << "manifest " << name << " has no volume " << key;
      return out;
    }
    entries = &vols[key]["entries"];
  } else if (j.contains("entries")) {
    entries = &j["entries"];
  }
  if (!entries) return out;
  for (auto& e : *entries) {
    ManifestEntry m;
    m.path = e.value("path", "");
    m.kind = e.value("kind", "file");
    m.size = e.value("size", std::uint64_t{0});
    m.sha256 = e.value("sha256", "");
    m.deleted = e.value("deleted", false);
    m.recoverable = e.value("recoverable", true);
    out.push_back(m);
  }
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string sha256File(const std::string& path) { return sha256Hex(readFile(path)); }

std::string runCommand(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

}  // namespace osprin::test
