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

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

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

  auto* foundLabel = new QLabel("Files Found", this);
  foundValue = new QLabel("0", this);
  foundValue->setObjectName("foundValue");
  auto* lastLabel = new QLabel("Last File", this);
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
      items << item;
    }
    results->addTopLevelItems(items);
    foundValue->setText(QString::number(results->topLevelItemCount()));
    lastValue->setText(qs(batch.back().name));
  }
  if (more) QMetaObject::invokeMethod(this, [this] { deliver(); }, Qt::QueuedConnection);
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

void showFindFiles(QWidget* parent, Session& s) {
  FindFilesDialog dlg(parent, s);
  dlg.exec();
}

}  // namespace osprin::gui
