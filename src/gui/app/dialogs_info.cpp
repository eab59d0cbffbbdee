// "Drive Information" and "File/Folder Properties".
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/list_order.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

QLabel* valueLabel(QWidget* parent, const QString& text, const char* name) {
  auto* v = new QLabel(text, parent);
  v->setObjectName(QString::fromLatin1(name));
  v->setTextFormat(Qt::PlainText);
  v->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return v;
}

QDialogButtonBox* okButtons(QDialog* d) {
  auto* b = new QDialogButtonBox(QDialogButtonBox::Ok, d);
  b->button(QDialogButtonBox::Ok)->setDefault(true);
  QObject::connect(b, &QDialogButtonBox::accepted, d, &QDialog::accept);
  return b;
}

}  // namespace


QString folderSizeMbText(std::uint64_t bytes) {
  const std::uint64_t mb = bytes / 1024 / 1024;
  return (mb == 0 ? QString("Less than 1") : QString::number(mb)) + " MB";
}

QString folderContainsText(const FolderStats& st) {
  // The folder itself is not counted among the folders it contains.
  const std::uint64_t sub = st.folders > 0 ? st.folders - 1 : 0;
  return QString::number(st.files) + " File(s) and " + QString::number(sub) + " Folder(s)";
}

DriveInformationDialog::DriveInformationDialog(QWidget* parent, const Session& s) : QDialog(parent) {
  setObjectName("driveInformationDialog");
  setWindowTitle(qs(texts::kDriveInformationTitle));
  setModal(true);
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  int r = 0;
  for (const PanelRow& row : volumeInformation(s)) {
    auto* l = new QLabel(qs(row.label), this);
    l->setTextFormat(Qt::PlainText);
    auto* v = valueLabel(this, qs(row.value), "value");
    v->setObjectName(QString("value%1").arg(r));
    v->setMinimumWidth(90);
    grid->addWidget(l, r, 0);
    grid->addWidget(v, r, 1);
    labels.push_back(l);
    values.push_back(v);
    ++r;
  }
  grid->setColumnStretch(1, 1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addWidget(okButtons(this));
}

PropertiesDialog::PropertiesDialog(QWidget* parent, Session& s, const ListRow& row) : QDialog(parent) {
  setObjectName("propertiesDialog");
  setWindowTitle(qs(texts::kPropertiesTitle));
  setModal(true);

  nameValue = valueLabel(this, qs(row.name), "nameValue");
  nameValue->setWordWrap(true);
  nameValue->setMinimumWidth(260);
  if (row.folder) {
    const FolderStats st = folderStats(s, static_cast<std::uint32_t>(row.id));
    sizeValue = valueLabel(this, folderSizeMbText(st.bytes), "sizeValue");
    containsValue = valueLabel(this, folderContainsText(st), "containsValue");
  } else {
    sizeValue = valueLabel(this, sizeWithBytes(row.size), "sizeValue");
  }
  createdValue = valueLabel(this, qs(row.created), "createdValue");
  modifiedValue = valueLabel(this, qs(row.modified), "modifiedValue");

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(16);
  int r = 0;
  auto add = [&](const char* label, QLabel* value) {
    auto* l = new QLabel(QString::fromLatin1(label), this);
    grid->addWidget(l, r, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(value, r, 1);
    ++r;
    return l;
  };
  add("Name", nameValue);
  add("Size", sizeValue);
  if (containsValue) containsLabel = add("Contains", containsValue);
  add("Creation Date", createdValue);
  add("Modification Date", modifiedValue);
  grid->setColumnStretch(1, 1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addWidget(okButtons(this));
}

void showDriveInformation(QWidget* parent, Session& s) {
  DriveInformationDialog dlg(parent, s);
  dlg.exec();
}

void showProperties(QWidget* parent, Session& s, const ListRow& row) {
  PropertiesDialog dlg(parent, s, row);
  dlg.exec();
}

}  // namespace osprin::gui
