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
  std::vector<std::pair<TextField, std::string>> texts;
  std::vector<std::pair<Counter, std::uint64_t>> counters;
  std::vector<std::string> questions;
  std::vector<int> percents;
  bool answer = true;
  std::function<void(int)> onProgress;

  void progress(int p) override {
    percents.push_back(p);
    if (onProgress) onProgress(p);
  }
  void counter(Counter c, std::uint64_t v) override { counters.emplace_back(c, v); }
  void text(TextField f, std::string_view v) override { texts.emplace_back(f, std::string(v)); }
  bool ask(std::string_view q) override {
    questions.emplace_back(q);
    return answer;
  }
  std::vector<std::string> textsOf(TextField which) const {
    std::vector<std::string> out;
    for (const auto& [f, v] : texts)
      if (f == which) out.push_back(v);
    return out;
  }
  std::vector<std::uint64_t> countersOf(Counter which) const {
    std::vector<std::uint64_t> out;
    for (const auto& [c, v] : counters)
      if (c == which) out.push_back(v);
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
