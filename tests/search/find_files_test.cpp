#include "search/find_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace osprin {
namespace {

// Root: DIR (cluster 10) holding SUB (cluster 11); files spread over them.
FileTree fatTree() {
  FileTree t;
  t.addFatFolder("DIR", 10, 0, 0, 0, false);
  t.addFatFolder("SUB", 11, 10, 0, 0, false);
  t.addFatFolder("LOST", 12, 99, 0, 0, false);  // parent never found: not in the folder tree
  auto file = [&](const char* name, std::uint32_t parent, std::uint32_t size, bool deleted) {
    t.addFatFile(name, 100 + t.fileCount, parent, 0, 0, size, deleted);
    ++t.fileCount;
  };
  file("Report.doc", 0, 11, false);
  file("notes.txt", 10, 22, false);
  file("old.TXT", 11, 33, true);
  file("README", 11, 44, false);
  file("orphan.txt", 12, 55, false);
  t.buildFatFolderTree();
  return t;
}

std::vector<FindHit> run(FileTree& t, FsType fs, const NtfsFileSet& set, const char* pattern) {
  std::vector<FindHit> hits;
  StopFlag cancel{0};
  findFiles(t, fs, set, pattern, [&](const FindHit& h) { hits.push_back(h); }, cancel);
  return hits;
}

TEST(FindFiles, StarListsEveryFileDeletedOnesIncluded) {
  FileTree t = fatTree();
  auto hits = run(t, FsType::Fat16, {}, "*");
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].name, "Report.doc");
  EXPECT_EQ(hits[0].path, "/");
  EXPECT_EQ(hits[0].size, 11u);
  EXPECT_EQ(hits[1].path, "/DIR");
  EXPECT_EQ(hits[2].name, "old.TXT");
  EXPECT_EQ(hits[2].path, "/DIR/SUB");
  EXPECT_TRUE(hits[2].deleted);
  EXPECT_EQ(hits[2].id, 2u);
  EXPECT_EQ(hits[4].path, "");  // its folder is not reachable from the root
}

TEST(FindFiles, PatternAndNamesAreUpperCased) {
  FileTree t = fatTree();
  auto hits = run(t, FsType::Fat32, {}, "*.txt");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].name, "notes.txt");
  EXPECT_EQ(hits[1].name, "old.TXT");  // as stored, not upper-cased
  EXPECT_EQ(hits[2].name, "orphan.txt");
  // No wildcard: a substring of the name.
  auto sub = run(t, FsType::Fat16, {}, "ead");
  ASSERT_EQ(sub.size(), 1u);
  EXPECT_EQ(sub[0].name, "README");
}

TEST(FindFiles, EmptyPatternFindsNothing) {
  FileTree t = fatTree();
  EXPECT_TRUE(run(t, FsType::Fat16, {}, "").empty());
}

TEST(FindFiles, CancelEndsTheSearchAtOnceKeepingHits) {
  FileTree t = fatTree();
  std::vector<FindHit> hits;
  StopFlag cancel{0};
  auto res = findFiles(t, FsType::Fat16, {}, "*",
                       [&](const FindHit& h) {
                         hits.push_back(h);
                         cancel.store(1);  // the window abandons the search after the first hit
                       },
                       cancel);
  EXPECT_TRUE(res.cancelled);
  EXPECT_EQ(res.found, 1u);
  EXPECT_EQ(hits.size(), 1u);
}

struct Panel : Observer {
  std::uint64_t found = 0;
  std::string last;
  void counter(Counter c, std::uint64_t v) override {
    if (c == Counter::MatchesFound) found = v;
  }
  void text(TextField f, std::string_view v) override {
    if (f == TextField::LastMatch) last = v;
  }
};

TEST(FindFiles, NtfsDeepScanRecordsOutsideTheFileSystemAreLeftOut) {
  FileTree t;
  t.addNtfsFolder("Docs", 40, kNtfsRootRecord, 0, 0, false, ScanType::Advanced);
  t.buildNtfsFolderTree();
  // Records of a deep scan, in ascending sector order; the chosen file
  // system covers sectors 1001..2000.
  std::vector<NtfsFileNode> records;
  auto rec = [&](SectorNo s, const char* name, std::uint32_t parent, std::uint64_t size) {
    NtfsFileNode n;
    n.dataRecordSector = s;
    n.name = name;
    n.parentRecord = parent;
    n.size = size;
    records.push_back(n);
  };
  rec(1000, "outside.txt", 5, 1);
  rec(1500, "a.txt", 40, 5000000000ULL);
  rec(2000, "b.txt", 5, 2);
  rec(2002, "beyond.txt", 5, 3);
  ParentIndex idx;
  NtfsFileSet set(records, idx, 1000, 2000);
  Panel panel;
  std::vector<FindHit> hits;
  StopFlag cancel{0};
  findFiles(t, FsType::Ntfs, set, "*.TXT", [&](const FindHit& h) { hits.push_back(h); }, cancel, panel);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].name, "a.txt");
  EXPECT_EQ(hits[0].path, "/Docs");
  EXPECT_EQ(hits[0].size, 5000000000ULL);
  EXPECT_EQ(hits[0].id, 1500u);
  EXPECT_EQ(hits[1].path, "/");
  EXPECT_EQ(panel.found, 2u);
  EXPECT_EQ(panel.last, "b.txt");
}

}  // namespace
}  // namespace osprin
