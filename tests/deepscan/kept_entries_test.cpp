// The signature pass keeps the directory entries of the index blocks it
// finds; numbering the directory records from them must give the numbers
// that reading every block again gives.
#include <gtest/gtest.h>

#include <vector>

#include "deepscan/classify_ntfs.h"
#include "deepscan/deep_scan.h"
#include "deepscan/signature_scan.h"
#include "support/fixtures.h"

namespace osprin {
namespace {

std::vector<std::uint32_t> numbers(const DeepScanResults& r) {
  std::vector<std::uint32_t> out;
  for (const auto& d : r.ntfsDirRecords) out.push_back(d.recordNumber);
  return out;
}

void expectSameNumbers(const std::string& image, SectorNo end) {
  SCOPED_TRACE(image);
  auto reader = test::openReader(image);
  ASSERT_TRUE(reader);
  Selection sel;
  sel.fsType = FsType::Ntfs;
  sel.rangeStart = 0;
  sel.rangeEnd = end;
  sel.rangeLength = end;
  StopFlag stop{0};
  DeepScanResults kept;
  scanNtfsSignatures(*reader, sel, 60, kept, stop, nullObserver());
  ASSERT_FALSE(kept.indexBlockHits.empty());
  ASSERT_FALSE(kept.ntfsDirRecords.empty());
  ASSERT_TRUE(kept.indexEntriesKept());
  EXPECT_FALSE(kept.indexEntries.empty());

  // The same findings without the kept entries: the blocks are read again.
  DeepScanResults reread;
  reread.ntfsDirRecords = kept.ntfsDirRecords;
  reread.indexBlockHits = kept.indexBlockHits;
  reread.indexBlockCount = kept.indexBlockCount;
  reread.folderHitCount = kept.folderHitCount;
  ASSERT_FALSE(reread.indexEntriesKept());

  assignRecordNumbers(*reader, kept, nullObserver());
  assignRecordNumbers(*reader, reread, nullObserver());
  EXPECT_EQ(numbers(kept), numbers(reread));
  // Some records got their numbers from the entries, not only from the
  // distance to the record before.
  std::size_t fromEntries = 0;
  for (const auto& d : kept.ntfsDirRecords) fromEntries += d.recordNumber > 11 ? 1 : 0;
  EXPECT_GT(fromEntries, 0u);
  // The entries are given back once used.
  EXPECT_TRUE(kept.indexEntries.empty());
  EXPECT_TRUE(kept.indexEntryNames.empty());
}

TEST(KeptIndexEntries, NumberTheDirectoriesAsReadingTheBlocksAgain) {
  expectSameNumbers(test::fixtureImage("ntfs"), 2 * 32768);
  expectSameNumbers(test::fixtureImage("deep_ntfs"), 2 * 32768);
}

TEST(KeptIndexEntries, FreedWithTheOtherLists) {
  DeepScanResults r;
  r.indexEntries.resize(3);
  r.indexEntryStart = {0, 3};
  r.indexEntryNames = "abc";
  r.indexBlockHits.resize(1);
  EXPECT_TRUE(r.indexEntriesKept());
  r.freeDeepScanLists();
  EXPECT_TRUE(r.indexEntries.empty() && r.indexEntryStart.empty() && r.indexEntryNames.empty());
  EXPECT_FALSE(r.indexEntriesKept());
}

}  // namespace
}  // namespace osprin
