#pragma once
// Test volumes: the committed fixtures (compressed images with manifests)
// and the shared corpus of volumes made by others, unpacked on demand into
// a scratch folder that lives as long as the test program.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/sector_reader.h"

namespace osprin::test {

// Scratch folder of this test program (created on first use, removed at exit).
std::string scratchDir();
// A fresh empty folder under the scratch folder.
std::string makeTempDir(const std::string& hint = "t");

// Unpacked path of tests/fixtures/data/<name>.img.gz; fails the test when missing.
std::string fixtureImage(const std::string& name);
// Unpacked path of tests/fixtures/data/<fileName>.gz under its own name
// (image files that come in sets, such as sample.E01 and sample.E02, land
// side by side); fails the test when missing.
std::string fixtureFile(const std::string& fileName);
// Path of tests/fixtures/data/<name>.manifest.json.
std::string fixtureManifestPath(const std::string& name);

// Unpacked path of a corpus volume (e.g. "fat16.raw", "mbr-win-512.raw",
// "debugfatfs-2020-fat16.img" from its .xz),
// or nullopt when the corpus or the file is absent (callers GTEST_SKIP).
std::optional<std::string> corpusImage(const std::string& fileName);
// Path of a corpus file that is used as it is (e.g. "orphan.fls"), or nullopt.
std::optional<std::string> corpusFile(const std::string& fileName);

// A sector reader over an image file (read-only).
// A reader of the image in the disk's sector size, as the program finds it.
std::unique_ptr<SectorReader> openReader(const std::string& path);
// A loop device over an image, attached read-only (with logical sectors of
// sectorSize bytes when not 0) and detached in every case; device() is
// empty when none could be attached (no rights, no loop driver).
class ReadOnlyLoop {
 public:
  explicit ReadOnlyLoop(const std::string& image, unsigned sectorSize = 0);
  ~ReadOnlyLoop();
  ReadOnlyLoop(const ReadOnlyLoop&) = delete;
  ReadOnlyLoop& operator=(const ReadOnlyLoop&) = delete;
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

// The sector size a fixture's manifest counts its sectors in (512 unless it says).
unsigned manifestSectorSize(const std::string& name);

struct ManifestEntry {
  std::string path;  // "/DIR/a.txt"
  std::string kind;  // "file" or "folder"
  std::uint64_t size = 0;
  std::string sha256;  // of the content, when known
  bool deleted = false;
  bool recoverable = true;  // deleted files whose clusters were not reused
};
std::vector<ManifestEntry> readManifestEntries(const std::string& name, const std::string& volumeKey = "");

std::string sha256Hex(const std::string& data);
std::string sha256File(const std::string& path);
std::string readFile(const std::string& path);

// Runs a shell command, returning its stdout; exit status in *status.
std::string runCommand(const std::string& cmd, int* status = nullptr);

}  // namespace osprin::test
