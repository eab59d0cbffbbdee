#include "app/info_panel.h"

#include <QGridLayout>

#include "app/progress_texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

InfoPanel::InfoPanel(QWidget* parent) : QGroupBox(parent) {
  setObjectName("infoPanel");
  auto* grid = new QGridLayout(this);
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(12);
  for (int i = 0; i < kRows; ++i) {
    labels_[i] = new QLabel(this);
    labels_[i]->setObjectName(QString("panelLabel%1").arg(i));
    values_[i] = new QLabel(this);
    values_[i]->setObjectName(QString("panelValue%1").arg(i));
    values_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    values_[i]->setMinimumWidth(120);
    grid->addWidget(labels_[i], i, 0);
    grid->addWidget(values_[i], i, 1);
  }
  details_ = new QLabel(this);
  details_->setObjectName("panelImageDetails");
  details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  details_->setWordWrap(true);
  grid->addWidget(details_, kRows, 0, 1, 2);
  grid->setRowStretch(kRows + 1, 1);
  setMode(Mode::None);
}

std::vector<InfoPanel::Field> InfoPanel::fieldsOf(Mode m) {
  switch (m) {
    case Mode::StandardScan:
      return {Counter::FoldersFound, Counter::FilesFound, Counter::CurrentSector, TextField::LastFileFolder};
    case Mode::DeepScanFat:
      return {Counter::BootSectorsFound, Counter::FoldersFound, Counter::CurrentSector};
    case Mode::DeepScanNtfs:
      return {Counter::BootSectorsFound, Counter::IndexEntriesFound, Counter::FilesFound, Counter::FoldersFound,
              Counter::CurrentSector};
    default:
      return {};
  }
}

int InfoPanel::rowOf(Mode m, Field f) {
  const std::vector<Field> fields = fieldsOf(m);
  for (std::size_t i = 0; i < fields.size() && i < kRows; ++i)
    if (fields[i] == f) return static_cast<int>(i);
  return -1;
}

QStringList InfoPanel::labelsOf(Mode m) {
  switch (m) {
    case Mode::None:
      return {};
    case Mode::Drive:
      return {"Model", "Capacity", "Cylinders", "Head", "Sectors Per Track", "Sector Size"};
    case Mode::Partition:
      return {"Partition Type", "Partition Start", "Partition End", "Partition Size"};
    case Mode::StandardScan:
    case Mode::DeepScanFat:
    case Mode::DeepScanNtfs: {
      QStringList labels;
      for (const Field& f : fieldsOf(m)) labels << std::visit([](auto which) { return guiText(which); }, f);
      return labels;
    }
    case Mode::FoundFsFat:
      return {"File System Start", "Sectors Per Cluster", "File System Size"};
    case Mode::FoundFsNtfs:
      return {"File System Start", "Sectors Per Cluster", "File System Size", "MFT Start", "MFT Mirror Start"};
  }
  return {};
}

void InfoPanel::setImageRows(const std::vector<PanelRow>& rows) {
  QStringList lines;
  for (const PanelRow& r : rows) lines << qs(r.label) + ": " + qs(r.value);
  details_->setText(lines.join('\n'));
  details_->setVisible(!lines.isEmpty());
}

QString InfoPanel::imageText() const { return details_->text(); }

void InfoPanel::setMode(Mode m) {
  mode_ = m;
  details_->clear();
  details_->setVisible(false);
  QStringList names = labelsOf(m);
  const bool deep = m == Mode::DeepScanFat || m == Mode::DeepScanNtfs;
  for (int i = 0; i < kRows; ++i) {
    bool used = i < names.size();
    labels_[i]->setText(used ? names[i] : QString());
    values_[i]->setText(used && deep ? "0" : QString());
    labels_[i]->setVisible(used);
    values_[i]->setVisible(used);
  }
}

bool InfoPanel::setValue(const QString& label, const QString& value) {
  QStringList names = labelsOf(mode_);
  qsizetype i = names.indexOf(label);
  if (i < 0 || i >= kRows) return false;
  values_[i]->setText(value);
  return true;
}

bool InfoPanel::setCounter(Counter which, quint64 value) {
  const int i = rowOf(mode_, which);
  if (i < 0) return false;
  values_[i]->setText(QString::number(value));
  return true;
}

bool InfoPanel::setText(TextField which, const QString& value) {
  const int i = rowOf(mode_, which);
  if (i < 0) return false;
  values_[i]->setText(value);
  return true;
}

void InfoPanel::setRows(const std::vector<PanelRow>& rows) {
  for (const PanelRow& r : rows) setValue(qs(r.label), qs(r.value));
}

void InfoPanel::clearValues() {
  for (auto* v : values_) v->clear();
}

QString InfoPanel::value(const QString& label) const {
  qsizetype i = labelsOf(mode_).indexOf(label);
  return i < 0 || i >= kRows ? QString() : values_[i]->text();
}

QStringList InfoPanel::labels() const { return labelsOf(mode_); }

}  // namespace osprin::gui
