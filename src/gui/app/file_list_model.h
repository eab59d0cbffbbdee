#pragma once
// The right-hand list of the browse step: the rows of one folder (its
// subfolders, then its files) with the desktop's icon and type name, the
// size, the two dates and the identifier. Deleted rows are drawn red.
#include <QAbstractTableModel>
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

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum class Columns { None, Details, Files };
  enum Column { NameCol = 0, TypeCol, SizeCol, CreatedCol, ModifiedCol, IdCol };
  static constexpr int kFileColumnWidths[6] = {150, 100, 70, 100, 70, 70};
  static constexpr int kDetailsWidth = 500;
  // The title of the single column shown after going back from the browse step.
  static const QString& detailsTitle();

  explicit FileListModel(QObject* parent = nullptr);

  // Before the first scan: no columns.
  void setNoColumns();
  // After going back: one column "Details".
  void setDetailsColumn();
  // The six file columns; "Size" right-aligned after a standard scan.
  void setFileColumns(bool sizeRightAligned);
  Columns columns() const { return columns_; }
  bool sizeRightAligned() const { return sizeRight_; }

  void setRows(std::vector<ListRow> rows);
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
