// "Recovery Settings".
#include <QCheckBox>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "dialog_support.h"

using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

QStringList comboTexts(QComboBox* c) {
  QStringList out;
  for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
  return out;
}

QStringList radioTexts(QButtonGroup* g) {
  QStringList out;
  for (int id = 1; id <= 3; ++id) out << (g->button(id) ? g->button(id)->text() : QString());
  return out;
}

}  // namespace

TEST(RecoverySettingsDialog, ShowsTheDefaultsAndItsFourGroups) {
  RecoverySettings st;
  RecoverySettingsDialog d(nullptr, st);
  EXPECT_EQ(d.windowTitle(), "Recovery Settings");
  EXPECT_EQ(d.sectorsCombo->currentText(), "60");
  EXPECT_EQ(d.retriesCombo->currentText(), "3");
  EXPECT_EQ(d.duplicateGroup->checkedButton()->text(), "Rename duplicate file(s)");
  EXPECT_EQ(d.deletedGroup->checkedButton()->text(), "Include deleted file(s)");

  QStringList hundred, ten;
  for (int i = 1; i <= 100; ++i) hundred << QString::number(i);
  for (int i = 1; i <= 10; ++i) ten << QString::number(i);
  EXPECT_EQ(comboTexts(d.sectorsCombo), hundred);
  EXPECT_EQ(comboTexts(d.retriesCombo), ten);
  EXPECT_EQ(radioTexts(d.duplicateGroup),
            QStringList({"Rename duplicate file(s)", "Overwrite duplicate file(s)", "Skip duplicate file(s)"}));
  EXPECT_EQ(radioTexts(d.deletedGroup),
            QStringList({"Include deleted file(s)", "Recover only deleted file(s)", "Exclude deleted file(s)"}));

  QStringList groups;
  for (auto* g : d.findChildren<QGroupBox*>()) groups << g->title();
  EXPECT_EQ(groups, QStringList({"Sectors to read in single attempt", "Setting of duplicate file(s)",
                                 "Setting for deleted file(s)", "Setting for bad sectors",
                                 "Setting for NTFS system files"}));
  EXPECT_FALSE(d.systemFilesCheck->isChecked());  // off unless asked
  QStringList labels;
  for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
  EXPECT_TRUE(labels.contains("Sectors to read in single attempt"));
  EXPECT_TRUE(labels.contains("Number of retries on bad sector(s)"));
  EXPECT_TRUE(d.okButton->isDefault());
  EXPECT_EQ(d.okButton->text(), "OK");
  EXPECT_EQ(d.cancelButton->text(), "Cancel");

  // The legacy default of 8 sectors is shown as "8".
  st.sectorsPerRead = 8;
  RecoverySettingsDialog d8(nullptr, st);
  EXPECT_EQ(d8.sectorsCombo->currentText(), "8");
}

TEST(RecoverySettingsDialog, OkStoresAndCancelKeeps) {
  RecoverySettings st;
  {
    RecoverySettingsDialog d(nullptr, st);
    d.sectorsCombo->setCurrentIndex(99);
    d.retriesCombo->setCurrentIndex(9);
    d.duplicateGroup->button(3)->setChecked(true);
    d.deletedGroup->button(2)->setChecked(true);
    d.reject();
  }
  EXPECT_EQ(st.sectorsPerRead, 60u);
  EXPECT_EQ(st.badSectorRetries, 3);
  EXPECT_EQ(st.duplicatePolicy, DuplicatePolicy::Rename);
  EXPECT_EQ(st.deletedPolicy, DeletedPolicy::Include);
  {
    RecoverySettingsDialog d(nullptr, st);
    d.sectorsCombo->setCurrentIndex(99);
    d.retriesCombo->setCurrentIndex(9);
    d.duplicateGroup->button(3)->setChecked(true);
    d.deletedGroup->button(2)->setChecked(true);
    QTest::mouseClick(d.okButton, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
  }
  EXPECT_EQ(st.sectorsPerRead, 100u);
  EXPECT_EQ(st.badSectorRetries, 10);
  EXPECT_EQ(st.duplicatePolicy, DuplicatePolicy::Skip);
  EXPECT_EQ(st.deletedPolicy, DeletedPolicy::OnlyDeleted);
  {
    // Reopening shows what was stored; the first entries give 1.
    RecoverySettingsDialog d(nullptr, st);
    EXPECT_EQ(d.sectorsCombo->currentText(), "100");
    EXPECT_EQ(d.retriesCombo->currentText(), "10");
    EXPECT_TRUE(d.duplicateGroup->button(3)->isChecked());
    EXPECT_TRUE(d.deletedGroup->button(2)->isChecked());
    d.sectorsCombo->setCurrentIndex(0);
    d.retriesCombo->setCurrentIndex(0);
    d.duplicateGroup->button(2)->setChecked(true);
    d.deletedGroup->button(3)->setChecked(true);
    d.accept();
  }
  EXPECT_EQ(st.sectorsPerRead, 1u);
  EXPECT_EQ(st.badSectorRetries, 1);
  EXPECT_EQ(st.duplicatePolicy, DuplicatePolicy::Overwrite);
  EXPECT_EQ(st.deletedPolicy, DeletedPolicy::ExcludeDeleted);
}

TEST(RecoverySettingsDialog, EscapeChangesNothing) {
  RecoverySettings st;
  RecoverySettingsDialog d(nullptr, st);
  d.show();
  d.sectorsCombo->setCurrentIndex(4);
  d.deletedGroup->button(3)->setChecked(true);
  QTest::keyClick(&d, Qt::Key_Escape);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(st.sectorsPerRead, 60u);
  EXPECT_EQ(st.deletedPolicy, DeletedPolicy::Include);
}

TEST(RecoverySettingsDialog, StoredValuesOutOfRangeAreNotInventedByOk) {
  // A record that holds no allowed value (never made by the program) selects
  // nothing, and OK then leaves those fields alone.
  RecoverySettings st;
  st.sectorsPerRead = 0;
  st.badSectorRetries = 11;
  st.duplicatePolicy = static_cast<DuplicatePolicy>(0);
  RecoverySettingsDialog d(nullptr, st);
  EXPECT_EQ(d.sectorsCombo->currentIndex(), -1);
  EXPECT_EQ(d.retriesCombo->currentIndex(), -1);
  EXPECT_EQ(d.duplicateGroup->checkedId(), -1);
  d.accept();
  EXPECT_EQ(st.sectorsPerRead, 0u);
  EXPECT_EQ(st.badSectorRetries, 11);
  EXPECT_EQ(static_cast<int>(st.duplicatePolicy), 0);
}

class SettingsEntryPoint : public DialogTest {};

TEST_F(SettingsEntryPoint, NewRetriesReachTheOpenReader) {
  Session s;
  s.enumerateDrives({osprin::test::fixtureImage("sample")}, osprin::test::makeTempDir("nosys"));
  std::string err;
  ASSERT_TRUE(s.openDrive(0, err)) << err;
  ASSERT_EQ(s.reader->badSectorRetries(), 3);

  onModal<RecoverySettingsDialog>([](RecoverySettingsDialog* d) {
    d->retriesCombo->setCurrentIndex(6);
    d->sectorsCombo->setCurrentIndex(31);
    QTest::keyClick(d, Qt::Key_Return);  // OK is the default button
  });
  showRecoverySettings(nullptr, s);
  EXPECT_EQ(s.settings.badSectorRetries, 7);
  EXPECT_EQ(s.settings.sectorsPerRead, 32u);
  EXPECT_EQ(s.reader->badSectorRetries(), 7);

  onModal<RecoverySettingsDialog>([](RecoverySettingsDialog* d) {
    d->retriesCombo->setCurrentIndex(1);
    QTest::mouseClick(d->cancelButton, Qt::LeftButton);
  });
  showRecoverySettings(nullptr, s);
  EXPECT_EQ(s.settings.badSectorRetries, 7);
  EXPECT_EQ(s.reader->badSectorRetries(), 7);

  // Without an open disk the settings are still stored.
  s.closeDrive();
  onModal<RecoverySettingsDialog>([](RecoverySettingsDialog* d) {
    d->retriesCombo->setCurrentIndex(9);
    d->accept();
  });
  showRecoverySettings(nullptr, s);
  EXPECT_EQ(s.settings.badSectorRetries, 10);
}
