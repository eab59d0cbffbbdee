#pragma once
// The right-hand list of the browse step: the rows of one folder (its
// subfolders, then its files) with the desktop's icon and type name, the
// size, the two dates, the identifier and, for deleted rows, whether their
// data is still there (the verdict the Session assessed after the scan,
// carried by the row, in a colour of its own). Deleted names are drawn red.
// Clicking a column title sorts by it (folders stay before files): names in
// natural order, sizes and dates by value. A column is one entry of
// Column and one of the table in the .cpp.
#include <QAbstractTableModel>
#include <QColor>
#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QStyledItemDelegate>
#include <functional>
#include <vector>

#include "tree/file_list.h"

namespace osprin::gui {

// Type names and icons of file names, asked of the desktop's type database
// by the extension alone (the file is never touched), cached per extension.
class ShellTypes {
 public:
  // The type name of a file name ("Plain text document"); for an extension
  // the database does not know, "XYZ File", and "File" without one.
  QString typeName(const QString& fileName);
  QIcon fileIcon(const QString& fileName);
  QIcon folderIcon();

 private:
  struct Entry {
    QString type;
    QIcon icon;
  };
  const Entry& lookup(const QString& fileName);
  QMimeDatabase db_;
  QHash<QString, Entry> byExtension_;
  QIcon folderIcon_;
};

// The verdict's text ("Intact", "Partly overwritten 25%", ...; "" for none)
// and its colours: text and background of the Recoverable cell.
QString verdictCellText(const Recoverability& r);
QColor verdictTextColour(Verdict v);
QColor verdictBackground(Verdict v);
// Orders verdicts from the best chance to the worst: intact, guessed,
// partly overwritten (by the share still free), unknown, overwritten, then
// live rows (no verdict).
int verdictRank(const Recoverability& r);

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum class Columns { None, Details, Files };
  // Recoverable: the verdict of a deleted file or folder (nothing for live ones).
  enum Column { NameCol = 0, TypeCol, SizeCol, CreatedCol, ModifiedCol, IdCol, RecoverableCol, ColumnCount };
  static constexpr int kDetailsWidth = 500;
  // The title of the single column shown after going back from the browse step.
  static const QString& detailsTitle();

  explicit FileListModel(QObject* parent = nullptr);

  // Before the first scan: no columns.
  void setNoColumns();
  // After going back: one column "Details".
  void setDetailsColumn();
  // The file columns; "Size" right-aligned after a standard scan.
  void setFileColumns(bool sizeRightAligned);
  Columns columns() const { return columns_; }
  bool sizeRightAligned() const { return sizeRight_; }

  // The rows of a folder, in the order of the column sorted last (the
  // order given while no column was chosen).
  void setRows(std::vector<ListRow> rows);
  // Sorts by a column (-1: the order the rows were given in).
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  int sortColumn() const { return sortColumn_; }
  Qt::SortOrder sortOrder() const { return sortOrder_; }
  void clearRows();
  int count() const { return static_cast<int>(rows_.size()); }
  const ListRow& row(int i) const { return rows_.at(static_cast<std::size_t>(i)); }
  const QString& typeText(int i) const { return types_.at(static_cast<std::size_t>(i)); }
  // Replaces the name shown for a row (after a rename).
  void setRowName(int i, const std::string& name);

  // Renaming: column 0 is editable while enabled; a finished edit calls the
  // handler, which returns whether the new name was taken.
  void setRenameEnabled(bool on) { renameEnabled_ = on; }
  std::function<bool(int row, const QString& newName)> renameHandler;

  ShellTypes& shell() { return shell_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 private:
  void setColumns(Columns c, bool sizeRight);
  void applySort();
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  std::vector<std::size_t> given_;  // each row's place in the order given
  Columns columns_ = Columns::None;
  bool sizeRight_ = true;
  bool renameEnabled_ = false;
  std::vector<ListRow> rows_;
  std::vector<QString> types_;
  std::vector<QIcon> icons_;
  ShellTypes shell_;
};

// The inline editor of a rename; tells the window when it opens and closes.
class RenameDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void destroyEditor(QWidget* editor, const QModelIndex& index) const override;

 signals:
  void editingChanged(bool editing) const;
};

}  // namespace osprin::gui
