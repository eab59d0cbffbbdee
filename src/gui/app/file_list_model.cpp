#include "app/file_list_model.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QFileInfo>
#include <QLineEdit>
#include <QStyle>
#include <algorithm>
#include <numeric>

#include "app/list_order.h"
#include "recovery/verdict.h"

#include "widgets/message_box.h"

namespace osprin::gui {

// ---- ShellTypes ------------------------------------------------------------------

namespace {
QIcon styleIcon(QStyle::StandardPixmap p) { return QApplication::style()->standardIcon(p); }

QString extensionOf(const QString& fileName) {
  qsizetype dot = fileName.lastIndexOf('.');
  if (dot < 0 || dot + 1 >= fileName.size()) return {};
  return fileName.mid(dot + 1).toLower();
}
}  // namespace

const ShellTypes::Entry& ShellTypes::lookup(const QString& fileName) {
  QString ext = extensionOf(fileName);
  auto it = byExtension_.constFind(ext);
  if (it != byExtension_.constEnd()) return *it;
  Entry e;
  // By the name only, so a name that matches no pattern gives the default
  // type ("application/octet-stream") rather than a guess from the content.
  QMimeType mime = db_.mimeTypeForFile(ext.isEmpty() ? fileName : QStringLiteral("x.") + ext,
                                       QMimeDatabase::MatchExtension);
  if (mime.isValid() && !mime.isDefault() && !mime.comment().isEmpty()) {
    e.type = mime.comment();
    e.icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
  } else {
    e.type = qs(plainTypeName(us(fileName)));
  }
  if (e.icon.isNull()) e.icon = styleIcon(QStyle::SP_FileIcon);
  return *byExtension_.insert(ext, e);
}

QString ShellTypes::typeName(const QString& fileName) { return lookup(fileName).type; }
QIcon ShellTypes::fileIcon(const QString& fileName) { return lookup(fileName).icon; }

QIcon ShellTypes::folderIcon() {
  if (folderIcon_.isNull()) folderIcon_ = QIcon::fromTheme("folder", styleIcon(QStyle::SP_DirIcon));
  return folderIcon_;
}

// ---- verdicts -------------------------------------------------------------------------

QString verdictCellText(const Recoverability& r) { return qs(verdictText(r)); }

QColor verdictTextColour(Verdict v) {
  switch (v) {
    case Verdict::Intact: return QColor(0, 110, 0);
    case Verdict::Guessed: return QColor(0, 70, 160);
    case Verdict::Partial: return QColor(150, 80, 0);
    case Verdict::Overwritten: return QColor(90, 90, 90);
    case Verdict::Unknown: return QColor(100, 100, 100);
    case Verdict::None: break;
  }
  return QColor(0, 0, 0);
}

QColor verdictBackground(Verdict v) {
  switch (v) {
    case Verdict::Intact: return QColor(220, 245, 220);
    case Verdict::Guessed: return QColor(220, 232, 250);
    case Verdict::Partial: return QColor(255, 236, 200);
    case Verdict::Overwritten: return QColor(225, 225, 225);
    case Verdict::Unknown: return QColor(245, 245, 245);
    case Verdict::None: break;
  }
  return QColor(255, 255, 255);
}

int verdictRank(const Recoverability& r) {
  switch (r.verdict) {
    case Verdict::Intact: return 0;
    case Verdict::Guessed: return 1;
    // 2 .. 1002: the larger the share overwritten, the later.
    case Verdict::Partial: return 2 + static_cast<int>(r.claimedFraction() * 1000.0);
    case Verdict::Unknown: return 1003;
    case Verdict::Overwritten: return 1004;
    case Verdict::None: break;
  }
  return 1005;
}

// ---- FileListModel -----------------------------------------------------------------

const QString& FileListModel::detailsTitle() {
  static const QString t = QString(44, ' ') + "Details";
  return t;
}

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::setColumns(Columns c, bool sizeRight) {
  beginResetModel();
  columns_ = c;
  sizeRight_ = sizeRight;
  rows_.clear();
  types_.clear();
  icons_.clear();
  endResetModel();
}

void FileListModel::setNoColumns() { setColumns(Columns::None, true); }
void FileListModel::setDetailsColumn() { setColumns(Columns::Details, true); }
void FileListModel::setFileColumns(bool sizeRightAligned) { setColumns(Columns::Files, sizeRightAligned); }

void FileListModel::setRows(std::vector<ListRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  given_.resize(rows_.size());
  std::iota(given_.begin(), given_.end(), std::size_t{0});
  types_.clear();
  icons_.clear();
  types_.reserve(rows_.size());
  icons_.reserve(rows_.size());
  for (const ListRow& r : rows_) {
    QString name = qs(r.name);
    if (r.folder) {
      types_.push_back(qs(rowTypeText(r, "")));
      icons_.push_back(shell_.folderIcon());
    } else {
      types_.push_back(qs(rowTypeText(r, us(shell_.typeName(name)))));
      icons_.push_back(shell_.fileIcon(name));
    }
  }
  applySort();
  endResetModel();
}

void FileListModel::sort(int column, Qt::SortOrder order) {
  if (column >= ColumnCount) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<std::size_t> oldGiven = given_;
  sortColumn_ = column;
  sortOrder_ = order;
  applySort();
  // Where each row went: by its place in the order given.
  std::vector<int> newRowOfGiven(given_.size());
  for (std::size_t r = 0; r < given_.size(); ++r) newRowOfGiven[given_[r]] = static_cast<int>(r);
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& i : before) {
    const auto old = static_cast<std::size_t>(i.row());
    after << (old < oldGiven.size() ? index(newRowOfGiven[oldGiven[old]], i.column()) : QModelIndex());
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FileListModel::applySort() {
  const std::size_t n = rows_.size();
  std::vector<std::size_t> perm(n);
  std::iota(perm.begin(), perm.end(), std::size_t{0});
  const bool desc = sortOrder_ == Qt::DescendingOrder;
  const int col = sortColumn_;
  std::vector<std::uint64_t> dates;
  if (col == CreatedCol || col == ModifiedCol) {
    dates.resize(n);
    for (std::size_t i = 0; i < n; ++i) dates[i] = dateKey(qs(col == CreatedCol ? rows_[i].created : rows_[i].modified));
  }
  std::vector<QString> names;
  if (col == NameCol || col == TypeCol) {
    names.resize(n);
    for (std::size_t i = 0; i < n; ++i) names[i] = qs(rows_[i].name);
  }
  auto cmp = [&](std::size_t a, std::size_t b) -> int {
    switch (col) {
      case NameCol:
        return naturalCompare(names[a], names[b]);
      case TypeCol: {
        int c = naturalCompare(types_[a], types_[b]);
        return c != 0 ? c : naturalCompare(names[a], names[b]);
      }
      case SizeCol:
        return rows_[a].size < rows_[b].size ? -1 : (rows_[a].size > rows_[b].size ? 1 : 0);
      case CreatedCol:
      case ModifiedCol:
        return dates[a] < dates[b] ? -1 : (dates[a] > dates[b] ? 1 : 0);
      case IdCol:
        return rows_[a].id < rows_[b].id ? -1 : (rows_[a].id > rows_[b].id ? 1 : 0);
      case RecoverableCol: {
        const int ra = verdictRank(rows_[a].recoverable), rb = verdictRank(rows_[b].recoverable);
        return ra < rb ? -1 : (ra > rb ? 1 : 0);
      }
      default:
        return given_[a] < given_[b] ? -1 : (given_[a] > given_[b] ? 1 : 0);
    }
  };
  std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) {
    // Folders stay before files in either direction.
    if (rows_[a].folder != rows_[b].folder) return rows_[a].folder;
    const int c = cmp(a, b);
    if (c != 0) return desc ? c > 0 : c < 0;
    return given_[a] < given_[b];
  });
  auto permute = [&](auto& v) {
    std::remove_reference_t<decltype(v)> out;
    out.reserve(n);
    for (std::size_t i : perm) out.push_back(std::move(v[i]));
    v = std::move(out);
  };
  if (col < 0) {
    // The order given, folders first as the lists come.
    std::sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) { return given_[a] < given_[b]; });
  }
  permute(rows_);
  permute(types_);
  permute(icons_);
  permute(given_);
}

void FileListModel::clearRows() { setRows({}); }

void FileListModel::setRowName(int i, const std::string& name) {
  if (i < 0 || i >= count()) return;
  rows_[static_cast<std::size_t>(i)].name = name;
  emit dataChanged(index(i, NameCol), index(i, NameCol));
}

int FileListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || columns_ == Columns::None) return 0;
  return count();
}

int FileListModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  switch (columns_) {
    case Columns::None:
      return 0;
    case Columns::Details:
      return 1;
    case Columns::Files:
      return ColumnCount;
  }
  return 0;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count() || columns_ != Columns::Files) return {};
  const auto r = static_cast<std::size_t>(index.row());
  const ListRow& row = rows_[r];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      switch (index.column()) {
        case NameCol:
          return qs(row.name);
        case TypeCol:
          return types_[r];
        case SizeCol:
          return row.folder ? QString() : humanSize(row.size);
        case CreatedCol:
          return qs(row.created);
        case ModifiedCol:
          return qs(row.modified);
        case IdCol:
          return QString::number(row.id);
        case RecoverableCol:
          return verdictCellText(row.recoverable);
      }
      return {};
    case Qt::DecorationRole:
      if (index.column() == NameCol) return icons_[r];
      return {};
    case Qt::ForegroundRole:
      if (index.column() == RecoverableCol) return QBrush(verdictTextColour(row.recoverable.verdict));
      return QBrush(types_[r].startsWith("Deleted") ? QColor(255, 0, 0) : QColor(0, 0, 0));
    case Qt::BackgroundRole:
      if (index.column() == RecoverableCol) return QBrush(verdictBackground(row.recoverable.verdict));
      return QBrush(QColor(255, 255, 255));
    case Qt::TextAlignmentRole:
      if (index.column() == SizeCol && sizeRight_) return int(Qt::AlignRight | Qt::AlignVCenter);
      return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (index.column() == NameCol) return qs(row.name);
      if (index.column() == SizeCol && !row.folder) return exactBytes(row.size);
      if (index.column() == RecoverableCol && row.recoverable.verdict != Verdict::None) {
        QString tip = verdictCellText(row.recoverable);
        if (row.recoverable.clusters > 0)
          tip += QString(": %1 of %2 clusters in use").arg(row.recoverable.claimed).arg(row.recoverable.clusters);
        if (row.recoverable.guessedChain) tip += " (clusters assumed to follow the first one)";
        return tip;
      }
      return {};
  }
  return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) {
    if (columns_ == Columns::Details && section == 0) return detailsTitle();
    static const char* const titles[ColumnCount] = {"Name", "Type", "Size", "Created", "Modified", "ID", "Recoverable"};
    if (columns_ == Columns::Files && section >= 0 && section < ColumnCount) return QString::fromLatin1(titles[section]);
  }
  if (role == Qt::TextAlignmentRole && columns_ == Columns::Files) {
    if (section == SizeCol && sizeRight_) return int(Qt::AlignRight | Qt::AlignVCenter);
    return int(Qt::AlignLeft | Qt::AlignVCenter);
  }
  return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == NameCol && renameEnabled_) f |= Qt::ItemIsEditable;
  return f;
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.column() != NameCol || index.row() >= count()) return false;
  QString text = value.toString();
  // An empty name keeps the old one.
  if (text.isEmpty() || !renameHandler) return false;
  if (text == qs(rows_[static_cast<std::size_t>(index.row())].name)) return false;
  if (!renameHandler(index.row(), text)) return false;
  setRowName(index.row(), us(text));
  return true;
}

// ---- RenameDelegate ------------------------------------------------------------------

QWidget* RenameDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) const {
  QWidget* w = QStyledItemDelegate::createEditor(parent, option, index);
  if (w) {
    w->setObjectName("renameEditor");
    emit editingChanged(true);
  }
  return w;
}

void RenameDelegate::destroyEditor(QWidget* editor, const QModelIndex& index) const {
  QStyledItemDelegate::destroyEditor(editor, index);
  emit editingChanged(false);
}

}  // namespace osprin::gui
