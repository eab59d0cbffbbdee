#include "recovery/settings.h"

#include <gtest/gtest.h>

namespace osprin {
namespace {

TEST(RecoverySettings, Defaults) {
  RecoverySettings s;
  EXPECT_EQ(s.sectorsPerRead, 60u);
  EXPECT_EQ(s.duplicatePolicy, DuplicatePolicy::Rename);
  EXPECT_EQ(s.deletedPolicy, DeletedPolicy::Include);
  EXPECT_EQ(s.badSectorRetries, 3u);
  EXPECT_TRUE(s.valid());
  EXPECT_EQ(duplicatePolicyText(s.duplicatePolicy), "Rename duplicate file(s)");
  EXPECT_EQ(deletedPolicyText(s.deletedPolicy), "Include deleted file(s)");
}

TEST(RecoverySettings, SettersKeepValuesInRange) {
  RecoverySettings s;
  EXPECT_TRUE(s.setSectorsPerRead(100));
  EXPECT_TRUE(s.setBadSectorRetries(10));
  EXPECT_EQ(s.sectorsPerRead, 100u);
  EXPECT_EQ(s.badSectorRetries, 10u);
  EXPECT_FALSE(s.setSectorsPerRead(0));
  EXPECT_FALSE(s.setSectorsPerRead(101));
  EXPECT_FALSE(s.setBadSectorRetries(0));
  EXPECT_FALSE(s.setBadSectorRetries(11));
  EXPECT_EQ(s.sectorsPerRead, 100u);
  EXPECT_EQ(s.badSectorRetries, 10u);
  EXPECT_TRUE(s.setDuplicatePolicy(3));
  EXPECT_EQ(s.duplicatePolicy, DuplicatePolicy::Skip);
  EXPECT_FALSE(s.setDuplicatePolicy(0));
  EXPECT_FALSE(s.setDeletedPolicy(4));
  EXPECT_EQ(s.deletedPolicy, DeletedPolicy::Include);
  EXPECT_TRUE(s.valid());
  s.sectorsPerRead = 0;
  EXPECT_FALSE(s.valid());
  s.sectorsPerRead = 1;
  s.duplicatePolicy = static_cast<DuplicatePolicy>(7);
  EXPECT_FALSE(s.valid());
}

TEST(RecoverySettings, DeletedPolicyDecidesWhichFilesAreTaken) {
  RecoverySettings s;
  EXPECT_TRUE(s.takesDeletedState(false));
  EXPECT_TRUE(s.takesDeletedState(true));
  s.deletedPolicy = DeletedPolicy::OnlyDeleted;
  EXPECT_FALSE(s.takesDeletedState(false));
  EXPECT_TRUE(s.takesDeletedState(true));
  s.deletedPolicy = DeletedPolicy::ExcludeDeleted;
  EXPECT_TRUE(s.takesDeletedState(false));
  EXPECT_FALSE(s.takesDeletedState(true));
}

TEST(RecoverySettings, CommandLineWords) {
  EXPECT_EQ(parseDuplicatePolicy("rename"), DuplicatePolicy::Rename);
  EXPECT_EQ(parseDuplicatePolicy("Overwrite"), DuplicatePolicy::Overwrite);
  EXPECT_EQ(parseDuplicatePolicy("SKIP"), DuplicatePolicy::Skip);
  EXPECT_FALSE(parseDuplicatePolicy("ask").has_value());
  EXPECT_EQ(parseDeletedPolicy("include"), DeletedPolicy::Include);
  EXPECT_EQ(parseDeletedPolicy("only"), DeletedPolicy::OnlyDeleted);
  EXPECT_EQ(parseDeletedPolicy("exclude"), DeletedPolicy::ExcludeDeleted);
  EXPECT_FALSE(parseDeletedPolicy("").has_value());
}

}  // namespace
}  // namespace osprin
