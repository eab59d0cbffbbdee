// "Recovery Settings".
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

QComboBox* numberCombo(QWidget* parent, int last, const char* name) {
  auto* c = new QComboBox(parent);
  c->setObjectName(QString::fromLatin1(name));
  for (int i = 1; i <= last; ++i) c->addItem(QString::number(i));
  c->setMaxVisibleItems(12);
  return c;
}

// A group box with a label and a drop-down list of numbers.
QGroupBox* numberGroup(QWidget* parent, const char* title, const char* label, QComboBox* combo) {
  auto* box = new QGroupBox(QString::fromLatin1(title), parent);
  auto* row = new QHBoxLayout(box);
  auto* l = new QLabel(QString::fromLatin1(label), box);
  l->setBuddy(combo);
  row->addWidget(l);
  row->addStretch();
  row->addWidget(combo);
  return box;
}

// A group box with three radio buttons, ids 1, 2, 3 in order.
QGroupBox* radioGroup(QWidget* parent, const char* title, const std::array<std::string_view, 3>& labels,
                      QButtonGroup*& group, const char* name) {
  auto* box = new QGroupBox(QString::fromLatin1(title), parent);
  auto* col = new QVBoxLayout(box);
  group = new QButtonGroup(box);
  group->setObjectName(QString::fromLatin1(name));
  for (int i = 0; i < 3; ++i) {
    auto* r = new QRadioButton(qs(labels[static_cast<std::size_t>(i)]), box);
    group->addButton(r, i + 1);
    col->addWidget(r);
  }
  return box;
}

}  // namespace

RecoverySettingsDialog::RecoverySettingsDialog(QWidget* parent, RecoverySettings& settings)
    : QDialog(parent), settings_(settings) {
  setObjectName("recoverySettingsDialog");
  setWindowTitle(qs(texts::kRecoverySettingsTitle));
  setModal(true);

  sectorsCombo = numberCombo(this, static_cast<int>(RecoverySettings::kMaxSectorsPerRead), "sectorsCombo");
  retriesCombo = numberCombo(this, RecoverySettings::kMaxRetries, "retriesCombo");

  auto* top = new QVBoxLayout(this);
  top->addWidget(numberGroup(this, "Sectors to read in single attempt", "Sectors to read in single attempt",
                             sectorsCombo));
  top->addWidget(radioGroup(this, "Setting of duplicate file(s)",
                            {duplicatePolicyText(DuplicatePolicy::Rename), duplicatePolicyText(DuplicatePolicy::Overwrite),
                             duplicatePolicyText(DuplicatePolicy::Skip)},
                            duplicateGroup, "duplicateGroup"));
  QGroupBox* deletedBox = radioGroup(this, "Setting for deleted file(s)",
                                     {deletedPolicyText(DeletedPolicy::Include), deletedPolicyText(DeletedPolicy::OnlyDeleted),
                                      deletedPolicyText(DeletedPolicy::ExcludeDeleted)},
                                     deletedGroup, "deletedGroup");
  // Under the deleted-file policy it narrows.
  onlyIntactCheck = new QCheckBox("Recover only files whose data is &intact", deletedBox);
  onlyIntactCheck->setObjectName("onlyIntactCheck");
  onlyIntactCheck->setToolTip("Deleted files are copied only when the Recoverable column says Intact");
  deletedBox->layout()->addWidget(onlyIntactCheck);
  top->addWidget(deletedBox);
  top->addWidget(numberGroup(this, "Setting for bad sectors", "Number of retries on bad sector(s)", retriesCombo));
  auto* streams = new QCheckBox("Recover named streams with their files (NTFS)", this);
  streams->setObjectName("streamsCheck");
  streams->setChecked(settings_.recoverStreams);
  top->addWidget(streams);
  auto* systemBox = new QGroupBox("Setting for NTFS system files", this);
  auto* systemRow = new QVBoxLayout(systemBox);
  systemFilesCheck = new QCheckBox("Recover the NTFS system files ($MFT, $LogFile, ...) with their folder", systemBox);
  systemFilesCheck->setObjectName("systemFilesCheck");
  systemRow->addWidget(systemFilesCheck);
  top->addWidget(systemBox);

  auto* buttons = new QDialogButtonBox(this);
  okButton = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
  cancelButton = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
  okButton->setObjectName("okButton");
  cancelButton->setObjectName("cancelButton");
  okButton->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &RecoverySettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &RecoverySettingsDialog::reject);
  top->addWidget(buttons);

  // Entry index i shows the number i + 1; a value outside the list selects nothing.
  auto select = [](QComboBox* c, std::uint32_t value) {
    c->setCurrentIndex(value >= 1 && value <= static_cast<std::uint32_t>(c->count()) ? static_cast<int>(value) - 1 : -1);
  };
  select(sectorsCombo, settings_.sectorsPerRead);
  select(retriesCombo, settings_.badSectorRetries);
  if (auto* b = duplicateGroup->button(static_cast<int>(settings_.duplicatePolicy))) b->setChecked(true);
  if (auto* b = deletedGroup->button(static_cast<int>(settings_.deletedPolicy))) b->setChecked(true);
  systemFilesCheck->setChecked(settings_.includeSystemFiles);
  onlyIntactCheck->setChecked(settings_.onlyIntact);
}

void RecoverySettingsDialog::accept() {
  // A list or a group without a selection leaves its field as it was.
  if (sectorsCombo->currentIndex() >= 0) settings_.setSectorsPerRead(static_cast<std::uint32_t>(sectorsCombo->currentIndex()) + 1);
  if (retriesCombo->currentIndex() >= 0) settings_.setBadSectorRetries(static_cast<std::uint32_t>(retriesCombo->currentIndex()) + 1);
  if (duplicateGroup->checkedId() > 0) settings_.setDuplicatePolicy(static_cast<std::uint32_t>(duplicateGroup->checkedId()));
  if (deletedGroup->checkedId() > 0) settings_.setDeletedPolicy(static_cast<std::uint32_t>(deletedGroup->checkedId()));
  if (auto* streams = findChild<QCheckBox*>("streamsCheck")) settings_.recoverStreams = streams->isChecked();
  settings_.includeSystemFiles = systemFilesCheck->isChecked();
  settings_.onlyIntact = onlyIntactCheck->isChecked();
  QDialog::accept();
}

void showRecoverySettings(QWidget* parent, Session& s) {
  RecoverySettingsDialog dlg(parent, s.settings);
  if (dlg.exec() == QDialog::Accepted && s.reader) s.reader->setBadSectorRetries(s.settings.badSectorRetries);
}

}  // namespace osprin::gui
