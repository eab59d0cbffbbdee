// The wizard's steps without a window: Next and Back on the sample disk
// through WizardController alone.
#include <gtest/gtest.h>

#include <QMessageBox>

#include "app/wizard_controller.h"
#include "support/fixtures.h"
#include "widgets/message_box.h"

namespace osprin::gui::test {
namespace {

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setMessageBoxHook([this](BoxKind, const QString& t) {
      boxes << t;
      return int(QMessageBox::Ok);
    });
    QStringList errors;
    c.listDrives({QString::fromStdString(osprin::test::fixtureImage("sample"))}, "/nonexistent/osprin-test-sys",
                 errors);
    ASSERT_TRUE(errors.isEmpty());
    QObject::connect(&c, &WizardController::stepChanged, [this](Step s) { steps.push_back(s); });
  }
  void TearDown() override { setMessageBoxHook({}); }

  WizardController c{nullptr};
  QStringList boxes;
  std::vector<Step> steps;
};

TEST_F(ControllerTest, StandardScanToBrowseAndBackKeepsTheSelections) {
  EXPECT_EQ(c.step(), Step::Disk);
  std::string err;
  // Next without a chosen drive does nothing.
  EXPECT_EQ(c.openChosenDrive(err), WizardController::OpenOutcome::Failed);
  EXPECT_FALSE(c.chooseDrive(5));
  ASSERT_TRUE(c.chooseDrive(0));
  ASSERT_EQ(c.openChosenDrive(err), WizardController::OpenOutcome::Partitions) << err;
  EXPECT_EQ(c.step(), Step::Partition);
  ASSERT_FALSE(c.session().partitions.empty());
  // A standard scan needs a partition.
  EXPECT_FALSE(c.startStandardScan({}, {}));
  ASSERT_TRUE(c.session().selectPartition(0));
  bool done = false;
  ASSERT_TRUE(c.startStandardScan({}, [&] { done = true; }));
  EXPECT_TRUE(c.busy());
  EXPECT_EQ(c.back(), Step::Partition);  // Back waits while a job runs
  c.waitForJob();
  EXPECT_TRUE(done);
  EXPECT_FALSE(c.busy());
  EXPECT_EQ(c.step(), Step::Browse);
  EXPECT_GT(c.session().tree.fileCount, 0u);

  EXPECT_EQ(c.back(), Step::Partition);
  EXPECT_EQ(c.session().sel.rangeTag, 0u);  // the partition stays chosen
  EXPECT_NE(c.session().reader, nullptr);
  EXPECT_EQ(c.back(), Step::Disk);
  EXPECT_EQ(c.selectedDrive(), 0);  // and so does the drive
  EXPECT_EQ(c.session().reader, nullptr);
  EXPECT_EQ(steps, (std::vector<Step>{Step::Partition, Step::Browse, Step::Partition, Step::Disk}));
}

TEST_F(ControllerTest, AdvancedScanGoesThroughTheFoundFileSystems) {
  std::string err;
  ASSERT_TRUE(c.chooseDrive(0));
  c.setScanType(ScanType::Advanced);
  ASSERT_NE(c.openChosenDrive(err), WizardController::OpenOutcome::Failed);
  const DriveInfo* d = c.session().drive();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(c.session().setScanRange(FsType::Fat32, "0", std::to_string(d->totalSectors)), "");
  EXPECT_FALSE(c.startMount({}));  // nothing found yet
  ASSERT_TRUE(c.startDeepScan({}));
  c.waitForJob();
  ASSERT_EQ(c.step(), Step::FoundFs);
  ASSERT_GT(c.session().deep.foundFsCount(), 0u);
  c.session().selectFoundFileSystem(1);
  ASSERT_TRUE(c.startMount({}));
  c.waitForJob();
  EXPECT_EQ(c.step(), Step::Browse);
  EXPECT_EQ(c.back(), Step::FoundFs);
  EXPECT_EQ(c.back(), Step::Partition);
  EXPECT_EQ(c.session().deep.foundFsCount(), 0u);
}

}  // namespace
}  // namespace osprin::gui::test
