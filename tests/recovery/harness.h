#pragma once
// What the recovery tests share: an observer that records what the saving
// dialog would show, and helpers to look at the destination folder.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/observer.h"
#include "recovery/extract.h"
#include "support/fixtures.h"

namespace osprin::test {

struct Recorder : Observer {
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<std::pair<std::string, std::uint64_t>> counters;
  std::vector<std::string> questions;
  std::vector<int> percents;
  bool answer = true;
  std::function<void(int)> onProgress;

  void progress(int p) override {
    percents.push_back(p);
    if (onProgress) onProgress(p);
  }
  void counter(std::string_view l, std::uint64_t v) override { counters.emplace_back(std::string(l), v); }
  void text(std::string_view l, std::string_view v) override { texts.emplace_back(std::string(l), std::string(v)); }
  bool ask(std::string_view q) override {
    questions.emplace_back(q);
    return answer;
  }
  std::vector<std::string> textsOf(const std::string& label) const {
    std::vector<std::string> out;
    for (const auto& [l, v] : texts)
      if (l == label) out.push_back(v);
    return out;
  }
  std::vector<std::uint64_t> countersOf(const std::string& label) const {
    std::vector<std::uint64_t> out;
    for (const auto& [l, v] : counters)
      if (l == label) out.push_back(v);
    return out;
  }
};

// Every entry below dir, as "/a", "/a/b", sorted.
inline std::vector<std::string> treeOf(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    out.push_back(e.path().string().substr(dir.size()));
  std::sort(out.begin(), out.end());
  return out;
}

inline bool exists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace osprin::test
