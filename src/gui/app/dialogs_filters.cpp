// "File Filters".
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

FileFiltersDialog::FileFiltersDialog(QWidget* parent, Session& s) : QDialog(parent), s_(s) {
  setObjectName("fileFiltersDialog");
  setWindowTitle(qs(texts::kFileFiltersTitle));
  setModal(true);

  auto* label = new QLabel("Enter Filter", this);
  edit = new QLineEdit(this);
  edit->setObjectName("filterEdit");
  label->setBuddy(edit);
  list = new QListWidget(this);
  list->setObjectName("filterList");
  list->setMinimumSize(220, 180);

  addButton = new QPushButton("&Add", this);
  addButton->setObjectName("addButton");
  addButton->setDefault(true);
  removeButton = new QPushButton("&Remove", this);
  removeButton->setObjectName("removeButton");
  removeButton->setAutoDefault(false);
  closeButton = new QPushButton("&Close", this);
  closeButton->setObjectName("closeButton");
  closeButton->setAutoDefault(false);
  connect(addButton, &QPushButton::clicked, this, [this] { add(); });
  connect(removeButton, &QPushButton::clicked, this, &FileFiltersDialog::remove);
  connect(closeButton, &QPushButton::clicked, this, &FileFiltersDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->addWidget(label, 0, 0);
  grid->addWidget(edit, 0, 1);
  grid->addWidget(addButton, 0, 2);
  grid->addWidget(list, 1, 0, 3, 2);
  grid->addWidget(removeButton, 1, 2);
  grid->addWidget(closeButton, 2, 2);
  grid->setRowStretch(3, 1);
  grid->setColumnStretch(1, 1);

  // The table's patterns, in table order.
  for (const std::string& f : s_.filters.filters()) list->addItem(qs(f));
  work_.assign(s_.filters.filters());
  edit->setFocus();
}

bool FileFiltersDialog::add() {
  const QString text = edit->text();
  const FilterAddResult r = work_.insertFront(us(text));
  if (r == FilterAddResult::Added) {
    list->insertItem(0, text);
    edit->clear();
    edit->setFocus();
    return true;
  }
  okBox(this, MsgKind::Error, qs(filterAddMessage(r)));
  edit->setFocus();
  if (r == FilterAddResult::TooLong) edit->setSelection(0, static_cast<int>(FilterTable::kMaxLength));
  else if (r == FilterAddResult::AlreadyExists) edit->selectAll();
  return false;
}

void FileFiltersDialog::remove() {
  const int row = list->currentRow();
  if (row < 0 || !list->item(row) || !list->item(row)->isSelected()) return;
  delete list->takeItem(row);
  work_.removeAt(static_cast<std::size_t>(row));
}

std::vector<std::string> FileFiltersDialog::entries() const {
  std::vector<std::string> out;
  for (int i = 0; i < list->count(); ++i) out.push_back(us(list->item(i)->text()));
  return out;
}

// "&Close", Escape and the close box all store the list.
void FileFiltersDialog::done(int r) {
  s_.filters.assign(entries());
  QDialog::done(r);
}

void showFileFilters(QWidget* parent, Session& s) {
  FileFiltersDialog dlg(parent, s);
  dlg.exec();
}

}  // namespace osprin::gui
