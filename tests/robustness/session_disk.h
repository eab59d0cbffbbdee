#pragma once
// What the robustness tests share: a Session over a fixture image read
// through a FaultySource, the whole flow of a run (standard scan, recovery,
// deep scan, mount, recovery again), and the files a recovery wrote.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/session.h"
#include "disk/faulty_source.h"
#include "support/fixtures.h"

namespace osprin::test {

// An observer that answers Yes and keeps the error messages and warnings.
struct KeepErrors : Observer {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  void message(MsgKind kind, std::string_view text) override {
    if (kind == MsgKind::Error) errors.emplace_back(text);
  }
  bool ask(std::string_view) override { return true; }
  void warning(std::string_view text) override { warnings.emplace_back(text); }
  // The warnings that hold `part`.
  std::size_t warned(const std::string& part) const {
    std::size_t n = 0;
    for (const auto& w : warnings) n += w.find(part) != std::string::npos;
    return n;
  }
};

// A Session whose disk is an image file read through a FaultySource.
struct FaultyDisk {
  Session s;
  FaultySource* faults = nullptr;
  StopFlag stop{0};
  KeepErrors obs;

  explicit FaultyDisk(const std::string& image) {
    std::string err;
    auto file = FileBlockSource::open(image, err);
    EXPECT_TRUE(file) << err;
    auto faulty = std::make_unique<FaultySource>(std::move(file));
    faults = faulty.get();
    s.reader = std::make_unique<SectorReader>(std::move(faulty));
    DriveInfo d;
    EXPECT_TRUE(driveInfoForPath(image, d, err)) << err;
    s.drives.push_back(d);
    s.selectedDrive = 0;
  }

  // The standard scan of partition i of the partition list.
  ScanOutcome scanPartition(std::size_t i) {
    if (s.partitions.empty()) s.readPartitionTables();
    if (!s.selectPartition(i)) return ScanOutcome::Failed;
    return s.standardScan(stop, obs);
  }

  // Recovers every row of the root folder into dest.
  RecoveryResult recoverAll(const std::string& dest) {
    RecoveryFlags flags;
    return s.recoverRows(s.listFolder(s.rootIdentity()), dest, flags, obs);
  }

  // The deep scan of partition i's sectors (rangeEnd = start + length), the
  // mount of the first file system found and the recovery of its root.
  // Returns the number of file systems found.
  std::size_t deepScanPartition(std::size_t i, const std::string& dest, RecoveryResult* result = nullptr) {
    if (s.partitions.empty()) s.readPartitionTables();
    const PartitionEntry p = s.partitions.at(i);
    const std::string err = s.setScanRange(p.fsType, std::to_string(p.start), std::to_string(std::uint64_t{p.start} + p.length));
    EXPECT_EQ(err, "");
    s.deepScan(stop, obs);
    const std::size_t found = s.deep.foundFileSystems.size();
    if (found == 0) return 0;
    EXPECT_FALSE(s.selectFoundFileSystem(1).empty());
    s.mountFound(stop, obs);
    RecoveryResult r = recoverAll(dest);
    if (result) *result = std::move(r);
    return found;
  }
};

// The regular files below dir: relative path -> bytes.
inline std::map<std::string, std::string> filesBelow(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec); it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file()) out[it->path().string().substr(dir.size())] = readFile(it->path().string());
  }
  return out;
}

inline std::string lowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace osprin::test
