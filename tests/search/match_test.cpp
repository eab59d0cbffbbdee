#include "search/match.h"

#include <gtest/gtest.h>

#include "tree/file_list.h"
#include "tree/file_tree.h"

namespace osprin {
namespace {

TEST(MatchName, EmptyTextsNeverMatch) {
  EXPECT_FALSE(MatchName("", "*"));
  EXPECT_FALSE(MatchName("A.TXT", ""));
  EXPECT_FALSE(MatchName("", ""));
}

TEST(MatchName, PatternWithoutStarLongerThanNameFails) {
  EXPECT_FALSE(MatchName("ABC", "ABCD"));
  EXPECT_FALSE(MatchName("ABC", "????"));
  EXPECT_TRUE(MatchName("ABC", "???"));
  // With a star the length test does not apply.
  EXPECT_TRUE(MatchName("AB", "AB*"));
}

TEST(MatchName, StarMatchesEveryName) {
  EXPECT_TRUE(MatchName("README", "*"));
  EXPECT_TRUE(MatchName("A.TXT", "*"));
  EXPECT_TRUE(MatchName(".", "*"));
}

TEST(MatchName, StarDotStarNeedsADot) {
  EXPECT_TRUE(MatchName("A.TXT", "*.*"));
  EXPECT_TRUE(MatchName("ARCHIVE.TAR.GZ", "*.*"));
  EXPECT_FALSE(MatchName("README", "*.*"));
}

TEST(MatchName, PlainPatternIsASubstring) {
  EXPECT_TRUE(MatchName("MYDOC.TXT", "DOC"));
  EXPECT_TRUE(MatchName("DOC", "DOC"));
  EXPECT_TRUE(MatchName("X.DOC", ".DOC"));
  EXPECT_FALSE(MatchName("MYDOC.TXT", "DOCX"));
  EXPECT_FALSE(MatchName("MYDOC.TXT", "doc"));  // callers upper-case both sides
}

TEST(MatchName, TrailingLiteralMustEndTheName) {
  EXPECT_FALSE(MatchName("MYDOC.TXT", "*.DOC"));
  EXPECT_TRUE(MatchName("REPORT.DOC", "*.DOC"));
  EXPECT_FALSE(MatchName("REPORT.DOCX", "*.DOC"));
  EXPECT_TRUE(MatchName("A.DOC.DOC", "*.DOC"));
  EXPECT_TRUE(MatchName("XABAB", "*AB"));
}

TEST(MatchName, StarsAroundALiteralFindItAnywhere) {
  EXPECT_TRUE(MatchName("AB", "*AB*"));
  EXPECT_TRUE(MatchName("XXABYY", "*AB*"));
  EXPECT_TRUE(MatchName("XXAB", "*AB*"));
  EXPECT_FALSE(MatchName("AXB", "*AB*"));
}

TEST(MatchName, QuestionMarkPrefixWithoutStar) {
  EXPECT_TRUE(MatchName("ABCD", "?BC"));  // the rest of the name is free
  EXPECT_TRUE(MatchName("ABC", "?BC"));
  EXPECT_FALSE(MatchName("XABC", "?BC"));
  EXPECT_TRUE(MatchName("FILE1.TXT", "FILE?.TXT"));
  EXPECT_FALSE(MatchName("FILE10.TXT", "FILE?.TXT"));
}

TEST(MatchName, PrefixBeforeFirstStarIsAnchored) {
  EXPECT_TRUE(MatchName("REPORT.DOC", "REP*"));
  EXPECT_FALSE(MatchName("MYREPORT.DOC", "REP*"));
  EXPECT_TRUE(MatchName("REPORT.DOC", "R?P*.DOC"));
  EXPECT_FALSE(MatchName("REPORT.DOCX", "R?P*.DOC"));
  EXPECT_FALSE(MatchName("RE", "REP*"));
}

TEST(MatchName, RunsOfStars) {
  EXPECT_TRUE(MatchName("ABC", "A**"));
  EXPECT_TRUE(MatchName("ABC", "A***"));
  EXPECT_TRUE(MatchName("AXXC", "A**C"));
  EXPECT_TRUE(MatchName("A1B2C", "A*B*C"));
  EXPECT_FALSE(MatchName("A1C2B", "A*B*C"));
  EXPECT_TRUE(MatchName("AB.TXT", "*B*.T?T"));
}

TEST(FilterTable, EmptyTablePassesEverything) {
  FilterTable t;
  EXPECT_TRUE(t.passes("anything.bin"));
  EXPECT_FALSE(static_cast<bool>(t.fileFilter()));
}

TEST(FilterTable, ComparesUpperCasedNamesAndPatterns) {
  FilterTable t;
  ASSERT_EQ(t.append("*.txt"), FilterAddResult::Added);
  EXPECT_TRUE(t.passes("notes.TXT"));
  EXPECT_TRUE(t.passes("NOTES.txt"));
  EXPECT_FALSE(t.passes("notes.doc"));
  ASSERT_EQ(t.append("doc"), FilterAddResult::Added);
  EXPECT_TRUE(t.passes("mydoc.bin"));  // any pattern in the table will do
  EXPECT_FALSE(t.passes("image.png"));
}

TEST(FilterTable, AddChecksInDialogOrder) {
  FilterTable t;
  EXPECT_EQ(t.insertFront(""), FilterAddResult::Blank);
  EXPECT_EQ(t.insertFront(std::string(20, 'x')), FilterAddResult::TooLong);
  EXPECT_EQ(t.insertFront(std::string(19, 'x')), FilterAddResult::Added);
  EXPECT_EQ(t.insertFront("a"), FilterAddResult::Added);
  EXPECT_EQ(t.insertFront("A"), FilterAddResult::Added);  // the duplicate test is case-sensitive
  EXPECT_EQ(t.insertFront("a"), FilterAddResult::AlreadyExists);
  // The newest stands at the top.
  ASSERT_EQ(t.filterCount(), 3u);
  EXPECT_EQ(t.filters()[0], "A");
  EXPECT_EQ(t.filters()[1], "a");
  EXPECT_EQ(t.filters()[2], std::string(19, 'x'));
  EXPECT_EQ(filterAddMessage(FilterAddResult::TooLong), "      Filter too long     ");
  EXPECT_EQ(filterAddMessage(FilterAddResult::TableFull), "      You cannot add more Filters     ");
}

TEST(FilterTable, HoldsAtMostNinetyNinePatterns) {
  FilterTable t;
  // Names built by appending: GCC 12 at -O3 warns (-Wrestrict) inside the
  // standard library on "literal" + std::string.
  auto named = [](const char* prefix, int i, std::size_t pad) {
    std::string s(prefix);
    s += std::to_string(i);
    s.append(pad, 'z');
    return s;
  };
  for (int i = 0; i < 99; ++i) ASSERT_EQ(t.append(named("P", i, 0)), FilterAddResult::Added);
  // A full table refuses before any other check.
  EXPECT_EQ(t.insertFront(""), FilterAddResult::TableFull);
  EXPECT_EQ(t.append("NEW"), FilterAddResult::TableFull);
  EXPECT_EQ(t.filterCount(), 99u);
  EXPECT_TRUE(t.removeAt(0));
  EXPECT_FALSE(t.removeAt(98));
  EXPECT_EQ(t.append("NEW"), FilterAddResult::Added);

  std::vector<std::string> many(120, "");
  for (int i = 0; i < 120; ++i) many[i] = named("Q", i, 30);
  t.assign(many);
  EXPECT_EQ(t.filterCount(), 99u);
  EXPECT_EQ(t.filters()[0].size(), 19u);
}

TEST(FilterTable, FoldersAreNeverFilteredInTheList) {
  FileTree tree;
  tree.addFatFolder("PICS", 10, 0, 0, 0, false);
  tree.addFatFile("a.txt", 20, 0, 0, 0, 5, false);
  tree.fileCount++;
  tree.addFatFile("b.JPG", 21, 0, 0, 0, 5, false);
  tree.fileCount++;
  tree.addFatFile("C.TXT", 22, 0, 0, 0, 5, true);
  tree.fileCount++;
  tree.buildFatFolderTree();
  FilterTable t;
  ASSERT_EQ(t.append("*.TXT"), FilterAddResult::Added);
  auto rows = listFatFolder(tree, 0, t.fileFilter());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0].folder);
  EXPECT_EQ(rows[0].name, "PICS");
  EXPECT_EQ(rows[1].name, "a.txt");
  EXPECT_EQ(rows[2].name, "C.TXT");
}

}  // namespace
}  // namespace osprin
