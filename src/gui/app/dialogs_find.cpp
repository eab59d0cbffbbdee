// "Find File(s)".
#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <QBrush>
#include <QColor>
#include <QMenu>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/progress_texts.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {
constexpr int kHitIdRole = Qt::UserRole + 1;
constexpr int kHitDeletedRole = Qt::UserRole + 2;
constexpr int kHitSizeRole = Qt::UserRole + 3;
}  // namespace

namespace {

// The small icon of a file name by its type, one lookup per extension.
QIcon iconForName(const QString& name) {
  static QHash<QString, QIcon> cache;
  const qsizetype dot = name.lastIndexOf('.');
  const QString ext = dot >= 0 ? name.mid(dot + 1).toLower() : QString();
  auto it = cache.find(ext);
  if (it != cache.end()) return *it;
  const QMimeType t = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
  QIcon icon = QIcon::fromTheme(t.iconName());
  if (icon.isNull()) icon = QIcon::fromTheme(t.genericIconName());
  if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
  cache.insert(ext, icon);
  return icon;
}

constexpr int kDeliverBatch = 2000;  // rows added per pass of the event loop

}  // namespace

FindFilesDialog::FindFilesDialog(QWidget* parent, Session& s) : QDialog(parent), s_(s) {
  setObjectName("findFilesDialog");
  setWindowTitle(qs(texts::kFindFilesTitle));
  setModal(true);
  setSizeGripEnabled(true);

  auto* patternLabel = new QLabel("Enter pattern to search", this);
  patternEdit = new QLineEdit(this);
  patternEdit->setObjectName("patternEdit");
  patternLabel->setBuddy(patternEdit);

  startButton = new QPushButton("&Start Search", this);
  startButton->setObjectName("startButton");
  startButton->setDefault(true);
  stopButton = new QPushButton("S&top Search", this);
  stopButton->setObjectName("stopButton");
  stopButton->setAutoDefault(false);
  stopButton->setEnabled(false);
  connect(startButton, &QPushButton::clicked, this, &FindFilesDialog::startSearch);
  connect(stopButton, &QPushButton::clicked, this, &FindFilesDialog::stopSearch);

  results = new QTreeWidget(this);
  results->setObjectName("results");
  results->setColumnCount(3);
  results->setHeaderLabels({"File Name", "Path", "Size"});
  results->setRootIsDecorated(false);
  results->setUniformRowHeights(true);
  results->setAlternatingRowColors(true);
  results->setSelectionBehavior(QAbstractItemView::SelectRows);
  results->setIconSize(QSize(16, 16));
  results->header()->setStretchLastSection(false);
  results->setColumnWidth(0, 150);
  results->setColumnWidth(1, 250);
  results->setColumnWidth(2, 95);
  results->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  results->setMinimumSize(150 + 250 + 95 + 24, 240);
  // A hit leads somewhere: double-click goes to it, the menu recovers or opens it.
  results->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(results, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* it) { goToItem(it); });
  connect(results, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
    QMenu* m = buildHitMenu(results->itemAt(p));
    if (!m) return;
    m->exec(results->viewport()->mapToGlobal(p));
    m->deleteLater();
  });

  auto* foundLabel = new QLabel(guiText(Counter::MatchesFound), this);
  foundValue = new QLabel("0", this);
  foundValue->setObjectName("foundValue");
  auto* lastLabel = new QLabel(guiText(TextField::LastMatch), this);
  lastValue = new QLabel(this);
  lastValue->setObjectName("lastValue");
  lastValue->setTextFormat(Qt::PlainText);
  lastValue->setMinimumWidth(200);

  auto* patternRow = new QHBoxLayout;
  patternRow->addWidget(patternLabel);
  patternRow->addWidget(patternEdit, 1);
  patternRow->addWidget(startButton);
  patternRow->addWidget(stopButton);

  auto* status = new QGridLayout;
  status->addWidget(foundLabel, 0, 0);
  status->addWidget(foundValue, 0, 1);
  status->addWidget(lastLabel, 1, 0);
  status->addWidget(lastValue, 1, 1);
  status->setColumnStretch(1, 1);
  status->setHorizontalSpacing(16);

  auto* top = new QVBoxLayout(this);
  top->addLayout(patternRow);
  top->addWidget(results, 1);
  top->addLayout(status);
  patternEdit->setFocus();
}

FindFilesDialog::~FindFilesDialog() { abandon(); }

void FindFilesDialog::startSearch() {
  if (runner_.running()) return;
  startButton->setEnabled(false);
  stopButton->setEnabled(true);
  results->clear();
  foundValue->setText("0");
  lastValue->clear();
  {
    std::lock_guard lock(mu_);
    queue_.clear();
    paused_ = false;
  }
  cancel_.store(0);
  const std::string pattern = us(patternEdit->text());
  runner_.start(
      [this, pattern] {
        s_.findFiles(pattern, cancel_, [this](const FindHit& h) { workerHit(h); }, nullObserver());
      },
      [this] {
        deliver();
        stopButton->setEnabled(false);
        startButton->setEnabled(true);
        emit searchFinished();
      });
}

// Worker thread: waits while the stop question is open, then queues the hit.
void FindFilesDialog::workerHit(const FindHit& hit) {
  if (onWorkerHit) onWorkerHit(hit);
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return !paused_ || cancel_.load() != 0; });
  if (cancel_.load() != 0) return;
  queue_.push_back(hit);
  if (!deliveryQueued_) {
    deliveryQueued_ = true;
    QMetaObject::invokeMethod(this, [this] { deliver(); }, Qt::QueuedConnection);
  }
}

void FindFilesDialog::deliver() {
  std::deque<FindHit> batch;
  bool more = false;
  {
    std::lock_guard lock(mu_);
    deliveryQueued_ = false;
    // Hits are not shown while the stop question is open.
    if (paused_) return;
    const std::size_t n = std::min<std::size_t>(queue_.size(), kDeliverBatch);
    batch.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    more = !queue_.empty();
    if (more) deliveryQueued_ = true;
  }
  if (!batch.empty()) {
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(batch.size()));
    for (const FindHit& h : batch) {
      auto* item = new QTreeWidgetItem;
      const QString name = qs(h.name);
      item->setText(0, name);
      item->setIcon(0, iconForName(name));
      item->setText(1, qs(h.path));
      item->setText(2, QString::number(h.size));
      item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
      item->setData(0, kHitIdRole, QVariant::fromValue<qulonglong>(h.id));
      item->setData(0, kHitDeletedRole, h.deleted);
      item->setData(0, kHitSizeRole, QVariant::fromValue<qulonglong>(h.size));
      if (h.deleted)  // as in the list
        for (int c = 0; c < 3; ++c) item->setForeground(c, QBrush(QColor(255, 0, 0)));
      items << item;
    }
    results->addTopLevelItems(items);
    foundValue->setText(QString::number(results->topLevelItemCount()));
    lastValue->setText(qs(batch.back().name));
  }
  if (more) QMetaObject::invokeMethod(this, [this] { deliver(); }, Qt::QueuedConnection);
}

FindHit FindFilesDialog::hitOf(const QTreeWidgetItem* item) {
  FindHit h;
  if (!item) return h;
  h.name = us(item->text(0));
  h.path = us(item->text(1));
  h.id = item->data(0, kHitIdRole).toULongLong();
  h.size = item->data(0, kHitSizeRole).toULongLong();
  h.deleted = item->data(0, kHitDeletedRole).toBool();
  return h;
}

ListRow FindFilesDialog::rowOf(const FindHit& h) {
  ListRow r;
  r.name = h.name;
  r.size = h.size;
  r.deleted = h.deleted;
  r.id = h.id;
  return r;
}

void FindFilesDialog::goToItem(QTreeWidgetItem* item) {
  if (!item || !actions.goTo || item->text(1).isEmpty()) return;
  const FindHit h = hitOf(item);
  abandon();
  accept();
  actions.goTo(h);
}

QMenu* FindFilesDialog::buildHitMenu(QTreeWidgetItem* item) {
  if (!item) return nullptr;
  const FindHit h = hitOf(item);
  auto* m = new QMenu(this);
  m->setObjectName("hitContextMenu");
  QAction* go = m->addAction("&Go to File");
  go->setObjectName("hitGoTo");
  go->setEnabled(bool(actions.goTo) && !h.path.empty());
  connect(go, &QAction::triggered, this, [this, item] { goToItem(item); });
  m->setDefaultAction(go);
  m->addSeparator();
  QAction* recover = m->addAction("&Recover...");
  recover->setObjectName("hitRecover");
  recover->setEnabled(bool(actions.recover));
  connect(recover, &QAction::triggered, this, [this, h] { actions.recover({rowOf(h)}); });
  QAction* open = m->addAction("&Open");
  open->setObjectName("hitOpen");
  open->setEnabled(bool(actions.open));
  connect(open, &QAction::triggered, this, [this, h] { actions.open(rowOf(h), false); });
  QAction* openWith = m->addAction("Open &With...");
  openWith->setObjectName("hitOpenWith");
  openWith->setEnabled(bool(actions.open));
  connect(openWith, &QAction::triggered, this, [this, h] { actions.open(rowOf(h), true); });
  return m;
}

void FindFilesDialog::stopSearch() {
  if (!runner_.running()) return;
  stopButton->setEnabled(false);
  {
    std::lock_guard lock(mu_);
    paused_ = true;
  }
  const bool stop = yesNoBox(this, qs(texts::kFindStopQuestion));
  {
    std::lock_guard lock(mu_);
    // Yes abandons the search at once: the worker ends before its next
    // record, and a hit it is holding is dropped. The rows found before the
    // question stay (those still queued are shown now). No lets it go on.
    if (stop) cancel_.store(1);
    paused_ = false;
    if (!queue_.empty() && !deliveryQueued_) {
      deliveryQueued_ = true;
      QMetaObject::invokeMethod(this, [this] { deliver(); }, Qt::QueuedConnection);
    }
  }
  cv_.notify_all();
  // After Yes, Start comes back when the worker has ended (at once).
  if (!stop && runner_.running()) stopButton->setEnabled(true);
}

void FindFilesDialog::abandon() {
  {
    std::lock_guard lock(mu_);
    cancel_.store(1);
    paused_ = false;
  }
  cv_.notify_all();
  runner_.wait();
}

void FindFilesDialog::waitForSearch() { runner_.wait(); }

void FindFilesDialog::done(int r) {
  abandon();
  QDialog::done(r);
}

void showFindFiles(QWidget* parent, Session& s, FindActions actions) {
  FindFilesDialog dlg(parent, s);
  dlg.actions = std::move(actions);
  dlg.exec();
}

}  // namespace osprin::gui
