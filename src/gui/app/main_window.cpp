#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QPalette>
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <new>

#include "app/dialogs.h"
#include "deepscan/deep_scan.h"
#include "app/file_list_model.h"
#include "app/help_tips.h"
#include "app/info_panel.h"
#include "app/qt_observer.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

constexpr int kItemRole = Qt::UserRole + 1;  // drive, partition, found file system or folder item number
constexpr const char* kHelpFileName = "Vantrel Osprin for FAT and NTFS.chm";
constexpr const char* kUpdaterName = "Osprin Live Update.exe";
constexpr const char* kHomePage = "https://example.com/osprin";
constexpr const char* kBuyPage = "https://example.com/osprin/buy";

MainWindow::UrlOpener& urlOpener() {
  static MainWindow::UrlOpener o;
  return o;
}
MainWindow::ProgramStarter& programStarter() {
  static MainWindow::ProgramStarter s;
  return s;
}

MainWindow::FileOpener& fileOpener() {
  static MainWindow::FileOpener o;
  return o;
}

QIcon styleIcon(QStyle::StandardPixmap p) { return QApplication::style()->standardIcon(p); }

// Passes a job's reports on to the window's observer. Before an information
// box (the standard scan's closing hint) it lets the window show the tree
// that was found, so the box appears over the finished listing.
class JobObserver : public Observer {
 public:
  JobObserver(Observer& to, QObject* window) : to_(to), window_(window) {}
  std::function<void()> beforeInfo;

  void progress(int p) override { to_.progress(p); }
  void progressVisible(bool v) override { to_.progressVisible(v); }
  void counter(std::string_view l, std::uint64_t v) override { to_.counter(l, v); }
  void text(std::string_view l, std::string_view v) override { to_.text(l, v); }
  void status(std::string_view t) override { to_.status(t); }
  void stopVisible(bool v) override { to_.stopVisible(v); }
  void message(MsgKind kind, std::string_view t) override {
    if (kind == MsgKind::Info && beforeInfo) {
      auto fn = beforeInfo;
      if (QThread::currentThread() == window_->thread()) fn();
      else QMetaObject::invokeMethod(window_, fn, Qt::BlockingQueuedConnection);
    }
    to_.message(kind, t);
  }
  bool ask(std::string_view t) override { return to_.ask(t); }

 private:
  Observer& to_;
  QObject* window_;
};

QString quickHelpDisplay(std::string_view text) {
  QString t = qs(text);
  t.replace("\r\n", "\n");
  return t;
}

// The editor of a rename swallows Tab (a rename is ended with Enter or by
// leaving it, never by moving to the next cell).
class ListRenameDelegate : public RenameDelegate {
 public:
  using RenameDelegate::RenameDelegate;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::KeyPress) {
      int k = static_cast<QKeyEvent*>(e)->key();
      if (k == Qt::Key_Tab || k == Qt::Key_Backtab || k == Qt::Key_F2) return true;
    }
    return RenameDelegate::eventFilter(o, e);
  }
};

}  // namespace

void MainWindow::setUrlOpener(UrlOpener opener) { urlOpener() = std::move(opener); }
void MainWindow::setProgramStarter(ProgramStarter starter) { programStarter() = std::move(starter); }
void MainWindow::setFileOpener(FileOpener opener) { fileOpener() = std::move(opener); }

// ---- construction ---------------------------------------------------------------------

MainWindow::MainWindow(const QStringList& images, QWidget* parent, const QString& sysRoot) : QMainWindow(parent) {
  setObjectName("mainWindow");
  setWindowTitle(qs(texts::kCaption));
  setWindowIcon(styleIcon(QStyle::SP_DriveHDIcon));

  jobs_ = new JobRunner(this);
  observer_ = new QtObserver(this, this);
  connect(observer_, &QtObserver::progressChanged, this, [this](int p) { progress_->setValue(std::min(p, 100)); });
  connect(observer_, &QtObserver::progressShown, this, [this](bool v) { progress_->setVisible(v); });
  connect(observer_, &QtObserver::counterChanged, this, &MainWindow::onCounter);
  connect(observer_, &QtObserver::textChanged, this, &MainWindow::onText);
  connect(observer_, &QtObserver::statusChanged, this, [this](const QString& t) {
    if (job_ == Job::None) return;  // a late report of a job that has ended
    status_->setText(t);
    status_->setVisible(!t.isEmpty());
  });
  connect(observer_, &QtObserver::stopShown, this, [this](bool v) {
    if (job_ != Job::None) showButton(stopButton_, v);
  });

  buildCentral();
  buildMenus();
  buildToolbar();

  // Start-up: the drive list (step -1 while it is built), then step 0.
  session_.enumerateDrives({}, sysRoot.toStdString());
  for (const QString& img : images) {
    std::string err;
    if (!session_.addImage(us(img), err)) startupErrors_ << img + ": " + qs(err);
  }
  fillDriveTree();
  step_ = 0;
  diskLayout();
  applyMenuState(MenuState::Disk);
  panel_->setMode(InfoPanel::Mode::Drive);
  setQuickHelp(texts::kHelpDisk);
  standardRadio_->setChecked(true);
  showButton(nextButton_, false);
  showButton(stopButton_, false);
  resize(940, 680);
}

MainWindow::~MainWindow() {
  stop_.store(1);
  jobs_->wait();
}

QTreeWidget* MainWindow::makeTree(const QString& name) {
  auto* t = new QTreeWidget(treeStack_);
  t->setObjectName(name);
  t->setHeaderHidden(true);
  t->setColumnCount(1);
  t->setIconSize(QSize(16, 16));
  t->setUniformRowHeights(true);
  t->installEventFilter(this);
  connect(t, &QTreeWidget::itemClicked, this, [this, t](QTreeWidgetItem* it) { treeItemChosen(t, it); });
  connect(t, &QTreeWidget::currentItemChanged, this, [this, t](QTreeWidgetItem* it) {
    if (!syncingTree_ && treeKeyNav_ && it) treeItemChosen(t, it);
  });
  treeStack_->addWidget(t);
  return t;
}

void MainWindow::buildCentral() {
  auto* central = new QWidget(this);
  central->setObjectName("central");
  auto* v = new QVBoxLayout(central);
  v->setContentsMargins(6, 6, 6, 6);

  // Left pane: one tree per step, in the same place.
  auto* split = new QSplitter(Qt::Horizontal, central);
  split->setObjectName("paneSplitter");
  treeStack_ = new QStackedWidget(split);
  treeStack_->setObjectName("treeStack");
  treeStack_->setMinimumWidth(200);
  driveTree_ = makeTree("driveTree");
  partitionTree_ = makeTree("partitionTree");
  foundTree_ = makeTree("foundTree");
  folderTree_ = makeTree("folderTree");

  // Right pane: the file list (or a blank page while it is hidden).
  listStack_ = new QStackedWidget(split);
  listStack_->setObjectName("listStack");
  auto* blank = new QFrame(listStack_);
  blank->setObjectName("listBlank");
  blank->setFrameShape(QFrame::StyledPanel);
  blank->setAutoFillBackground(true);
  QPalette pal = blank->palette();
  pal.setColor(QPalette::Window, Qt::white);
  blank->setPalette(pal);
  listStack_->addWidget(blank);

  listModel_ = new FileListModel(this);
  listModel_->setObjectName("fileListModel");
  listModel_->renameHandler = [this](int row, const QString& name) { return renameRow(row, name); };
  viewStack_ = new QStackedWidget(listStack_);
  viewStack_->setObjectName("viewStack");
  detailsView_ = new QTableView(viewStack_);
  detailsView_->setObjectName("fileList");
  detailsView_->setModel(listModel_);
  detailsView_->verticalHeader()->hide();
  detailsView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  detailsView_->verticalHeader()->setDefaultSectionSize(20);
  detailsView_->horizontalHeader()->setHighlightSections(false);
  detailsView_->horizontalHeader()->setStretchLastSection(false);
  detailsView_->setShowGrid(true);
  detailsView_->setWordWrap(false);
  detailsView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  detailsView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  detailsView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  detailsView_->setTabKeyNavigation(false);
  detailsView_->setIconSize(QSize(16, 16));
  detailsView_->setContextMenuPolicy(Qt::CustomContextMenu);
  iconView_ = new QListView(viewStack_);
  iconView_->setObjectName("fileIcons");
  iconView_->setModel(listModel_);
  QItemSelectionModel* own = iconView_->selectionModel();
  iconView_->setSelectionModel(detailsView_->selectionModel());
  delete own;
  iconView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  iconView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  iconView_->setContextMenuPolicy(Qt::CustomContextMenu);
  iconView_->setUniformItemSizes(true);
  iconView_->setResizeMode(QListView::Adjust);
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(detailsView_), static_cast<QAbstractItemView*>(iconView_)}) {
    auto* delegate = new ListRenameDelegate(view);
    connect(delegate, &RenameDelegate::editingChanged, this, [this](bool on) { renaming_ = on; });
    view->setItemDelegate(delegate);
    view->installEventFilter(this);
    connect(view, &QAbstractItemView::pressed, this, [this] { openFromTree_ = 0; });
    connect(view, &QAbstractItemView::doubleClicked, this, [this] { listDoubleClicked(); });
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& p) { showListContextMenu(view->viewport()->mapToGlobal(p)); });
    viewStack_->addWidget(view);
  }
  viewStack_->setCurrentWidget(detailsView_);
  listStack_->addWidget(viewStack_);
  listStack_->setCurrentWidget(viewStack_);
  split->addWidget(treeStack_);
  split->addWidget(listStack_);
  split->setStretchFactor(0, 0);
  split->setStretchFactor(1, 1);
  split->setSizes({250, 650});
  v->addWidget(split, 1);

  // The information panel and the controls of the selection steps.
  auto* mid = new QHBoxLayout;
  panel_ = new InfoPanel(central);
  panel_->setTitle("Information");
  panel_->setMinimumWidth(360);
  mid->addWidget(panel_, 1);

  scanTypeGroup_ = new QGroupBox(central);
  scanTypeGroup_->setObjectName("scanTypeGroup");
  auto* sg = new QGridLayout(scanTypeGroup_);
  auto* scanTypeLabel = new QLabel("Scan Type", scanTypeGroup_);
  scanTypeLabel->setObjectName("scanTypeLabel");
  QFont bold = scanTypeLabel->font();
  bold.setBold(true);
  scanTypeLabel->setFont(bold);
  standardRadio_ = new QRadioButton("Standard Scan", scanTypeGroup_);
  standardRadio_->setObjectName("standardRadio");
  advanceRadio_ = new QRadioButton("Advance Scan", scanTypeGroup_);
  advanceRadio_->setObjectName("advanceRadio");
  auto* radios = new QButtonGroup(scanTypeGroup_);
  radios->addButton(standardRadio_, 1);
  radios->addButton(advanceRadio_, 2);
  scanTypeHelp_ = new QToolButton(scanTypeGroup_);
  scanTypeHelp_->setObjectName("scanTypeHelp");
  scanTypeHelp_->setText("?");
  scanTypeHelp_->setToolTip(richTipToQt(kScanTypeTip));
  scanTypeHelp_->setAutoRaise(true);
  sg->addWidget(scanTypeLabel, 0, 0);
  sg->addWidget(scanTypeHelp_, 0, 1, Qt::AlignRight);
  sg->addWidget(standardRadio_, 1, 0, 1, 2);
  sg->addWidget(advanceRadio_, 2, 0, 1, 2);
  sg->setRowStretch(3, 1);

  rangeGroup_ = new QGroupBox(central);
  rangeGroup_->setObjectName("rangeGroup");
  auto* rg = new QGridLayout(rangeGroup_);
  auto* fsLabel = new QLabel("Select File System", rangeGroup_);
  fsCombo_ = new QComboBox(rangeGroup_);
  fsCombo_->setObjectName("fsCombo");
  fsCombo_->addItems({"FAT16", "FAT32", "NTFS"});
  auto* startLabel = new QLabel("Start Sector", rangeGroup_);
  startEdit_ = new QLineEdit(rangeGroup_);
  startEdit_->setObjectName("startEdit");
  auto* endLabel = new QLabel("End Sector", rangeGroup_);
  endEdit_ = new QLineEdit(rangeGroup_);
  endEdit_->setObjectName("endEdit");
  fullDiskCheck_ = new QCheckBox("Scan full disk", rangeGroup_);
  fullDiskCheck_->setObjectName("fullDiskCheck");
  rangeHelp_ = new QToolButton(rangeGroup_);
  rangeHelp_->setObjectName("rangeHelp");
  rangeHelp_->setText("?");
  rangeHelp_->setToolTip(richTipToQt(kScanControlTip));
  rangeHelp_->setAutoRaise(true);
  rg->addWidget(fsLabel, 0, 0);
  rg->addWidget(fsCombo_, 0, 1);
  rg->addWidget(rangeHelp_, 0, 2);
  rg->addWidget(startLabel, 1, 0);
  rg->addWidget(startEdit_, 1, 1, 1, 2);
  rg->addWidget(endLabel, 2, 0);
  rg->addWidget(endEdit_, 2, 1, 1, 2);
  rg->addWidget(fullDiskCheck_, 3, 0, 1, 3);
  connect(fullDiskCheck_, &QCheckBox::toggled, this, &MainWindow::fullDiskToggled);

  auto* controls = new QVBoxLayout;
  controls->addWidget(scanTypeGroup_);
  controls->addWidget(rangeGroup_);
  controls->addStretch(1);
  auto* controlsBox = new QWidget(central);
  controlsBox->setLayout(controls);
  controlsBox->setMinimumWidth(300);
  mid->addWidget(controlsBox, 0);
  v->addLayout(mid);

  // Quick help.
  quickHelp_ = new QLabel(central);
  quickHelp_->setObjectName("quickHelp");
  quickHelp_->setTextFormat(Qt::PlainText);
  quickHelp_->setWordWrap(true);
  quickHelp_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  quickHelp_->setFrameShape(QFrame::StyledPanel);
  quickHelp_->setMinimumHeight(quickHelp_->fontMetrics().lineSpacing() * 5 + 8);
  quickHelp_->setAutoFillBackground(true);
  QPalette qp = quickHelp_->palette();
  qp.setColor(QPalette::Window, QColor(255, 255, 231));
  quickHelp_->setPalette(qp);
  v->addWidget(quickHelp_);

  // Status line, progress and the wizard's buttons.
  auto* bottom = new QHBoxLayout;
  status_ = new QLabel(central);
  status_->setObjectName("statusLine");
  status_->setMinimumWidth(220);
  status_->hide();
  progress_ = new QProgressBar(central);
  progress_->setObjectName("progressBar");
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setMinimumWidth(200);
  progress_->hide();
  bottom->addWidget(status_);
  bottom->addWidget(progress_, 1);
  bottom->addStretch(0);
  auto* homeButton = new QPushButton("Home Page", central);
  homeButton->setObjectName("homePageButton");
  homeButton->setToolTip("Click here to visit software home page");
  homeButton->setFlat(true);
  connect(homeButton, &QPushButton::clicked, this, &MainWindow::homePage);
  auto* buyButton = new QPushButton("Buy Now", central);
  buyButton->setObjectName("buyButton");
  buyButton->setToolTip("Click here to buy the software");
  buyButton->setFlat(true);
  connect(buyButton, &QPushButton::clicked, this, &MainWindow::buyOnline);
  searchButton_ = new QPushButton("Search Partitions", central);
  searchButton_->setObjectName("searchButton");
  searchButton_->setToolTip("Click here to make a quick search of lost partitions");
  backButton_ = new QPushButton("< Back", central);
  backButton_->setObjectName("backButton");
  backButton_->setToolTip("Go to previous step");
  nextButton_ = new QPushButton("Next >", central);
  nextButton_->setObjectName("nextButton");
  nextButton_->setToolTip("Go to next step");
  nextButton_->setDefault(true);
  stopButton_ = new QPushButton("Stop", central);
  stopButton_->setObjectName("stopButton");
  stopButton_->setToolTip("Stops the current process");
  for (QPushButton* b : {searchButton_, backButton_, nextButton_, stopButton_}) b->setMinimumWidth(90);
  connect(searchButton_, &QPushButton::clicked, this, &MainWindow::searchPartitions);
  connect(backButton_, &QPushButton::clicked, this, &MainWindow::back);
  connect(nextButton_, &QPushButton::clicked, this, &MainWindow::next);
  connect(stopButton_, &QPushButton::clicked, this, &MainWindow::stopCommand);
  bottom->addWidget(homeButton);
  bottom->addWidget(buyButton);
  bottom->addSpacing(12);
  bottom->addWidget(searchButton_);
  bottom->addWidget(backButton_);
  bottom->addWidget(nextButton_);
  bottom->addWidget(stopButton_);
  v->addLayout(bottom);

  setCentralWidget(central);
}

void MainWindow::buildMenus() {
  auto add = [this](QMenu* m, const char* text, const char* name, void (MainWindow::*slot)()) {
    QAction* a = m->addAction(QString::fromLatin1(text));
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  QMenuBar* bar = menuBar();
  QMenu* recovery = bar->addMenu("&Recovery");
  recovery->setObjectName("menuRecovery");
  actRecoverSelected_ = add(recovery, "&Recover Selected...", "actRecoverSelected", &MainWindow::recoverSelected);
  actRecoverAll_ = add(recovery, "Recover &All...", "actRecoverAll", &MainWindow::recoverAll);
  recovery->addSeparator();
  actSaveSnapshot_ = add(recovery, "&Save Recovery Snapshot...", "actSaveSnapshot", &MainWindow::saveSnapshot);
  actLoadSnapshot_ = add(recovery, "&Load Recovery Snapshot...", "actLoadSnapshot", &MainWindow::loadSnapshot);
  recovery->addSeparator();
  actOpenImage_ = add(recovery, "Open Disk Image...", "actOpenImage", &MainWindow::openDiskImage);
  recovery->addSeparator();
  actExit_ = add(recovery, "E&xit...", "actExit", &MainWindow::exitCommand);

  QMenu* view = bar->addMenu("&View");
  view->setObjectName("menuView");
  actIcons_ = add(view, "Ico&ns", "actIcons", &MainWindow::setViewIcons);
  actList_ = add(view, "&List", "actList", &MainWindow::setViewList);
  actDetails_ = add(view, "&Details", "actDetails", &MainWindow::setViewDetails);
  auto* modes = new QActionGroup(this);
  for (QAction* a : {actIcons_, actList_, actDetails_}) {
    a->setCheckable(true);
    modes->addAction(a);
  }
  actDetails_->setChecked(true);

  QMenu* tools = bar->addMenu("&Tools");
  tools->setObjectName("menuTools");
  actFindFiles_ = add(tools, "&Find Files...", "actFindFiles", &MainWindow::findFiles);
  actFileFilters_ = add(tools, "File Fi&lters...", "actFileFilters", &MainWindow::fileFilters);
  actSettings_ = add(tools, "Se&ttings...", "actSettings", &MainWindow::settings);
  tools->addSeparator();
  actDriveInfo_ = add(tools, "&Drive Information", "actDriveInfo", &MainWindow::driveInformation);
  tools->addSeparator();
  actLiveUpdate_ = add(tools, "Live &Update", "actLiveUpdate", &MainWindow::liveUpdate);

  QMenu* help = bar->addMenu("&Help");
  help->setObjectName("menuHelp");
  actContents_ = add(help, "&Contents", "actContents", &MainWindow::helpContents);
  actContents_->setShortcut(QKeySequence(Qt::Key_F1));
  actContents_->setShortcutContext(Qt::ApplicationShortcut);
  actBuyOnline_ = add(help, "Buy &Online", "actBuyOnline", &MainWindow::buyOnline);
  actAbout_ = add(help, "&About Vantrel Osprin...", "actAbout", &MainWindow::about);
}

void MainWindow::buildToolbar() {
  toolbar_ = addToolBar("Tools");
  toolbar_->setObjectName("toolbar");
  toolbar_->setMovable(false);
  toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolbar_->setIconSize(QSize(24, 24));
  auto add = [this](QStyle::StandardPixmap icon, const char* text, const char* tip, const char* name,
                    void (MainWindow::*slot)()) {
    QAction* a = toolbar_->addAction(styleIcon(icon), QString::fromLatin1(text));
    a->setToolTip(QString::fromLatin1(tip));
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  tbRecoverSelected_ = add(QStyle::SP_DialogSaveButton, "Recover", "Copy the selected file(s) and folder(s) to your computer",
                           "tbRecoverSelected", &MainWindow::recoverSelected);
  tbRecoverAll_ = add(QStyle::SP_DriveHDIcon, "Recover All", "Copy all the file(s) and folder(s) to your computer",
                      "tbRecoverAll", &MainWindow::recoverAll);
  tbSaveSnapshot_ = add(QStyle::SP_FileDialogDetailedView, "Save Snapshot",
                        "Saves the snapshot of scan information, so that later on you need not to scan the disk again",
                        "tbSaveSnapshot", &MainWindow::saveSnapshot);
  tbLoadSnapshot_ = add(QStyle::SP_DialogOpenButton, "Load Snapshot",
                        "Loads the data from previously saved scan information", "tbLoadSnapshot",
                        &MainWindow::loadSnapshot);
  tbFindFiles_ = add(QStyle::SP_FileDialogContentsView, "Find", "Search the file(s) in the recovered data",
                     "tbFindFiles", &MainWindow::findFiles);
  tbSettings_ = add(QStyle::SP_FileDialogListView, "Settings", "Configures the software", "tbSettings",
                    &MainWindow::settings);
  tbLiveUpdate_ = add(QStyle::SP_BrowserReload, "Live Update", "Updates the software with latest changes from internet",
                      "tbLiveUpdate", &MainWindow::liveUpdate);
}

// ---- trees -----------------------------------------------------------------------------

void MainWindow::showTree(QTreeWidget* t) { treeStack_->setCurrentWidget(t); }

QTreeWidget* MainWindow::currentTree() const { return qobject_cast<QTreeWidget*>(treeStack_->currentWidget()); }

void MainWindow::fillDriveTree() {
  driveTree_->clear();
  auto* root = new QTreeWidgetItem(driveTree_, {"My Computer"});
  root->setIcon(0, styleIcon(QStyle::SP_ComputerIcon));
  root->setData(0, kItemRole, -1);
  for (std::size_t k = 0; k < session_.drives.size(); ++k) {
    auto* it = new QTreeWidgetItem(root, {qs(driveLabel(k))});
    it->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
    it->setData(0, kItemRole, static_cast<int>(k));
    it->setToolTip(0, qs(session_.drives[k].path));
  }
  root->setExpanded(true);
}

void MainWindow::resetPartitionTree() {
  partitionTree_->clear();
  auto* root = new QTreeWidgetItem(partitionTree_, {"Storage Device " + QString::number(selectedDrive_)});
  root->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
  root->setData(0, kItemRole, -1);
  root->setExpanded(true);
}

void MainWindow::fillPartitionItems() {
  QTreeWidgetItem* root = partitionTree_->topLevelItem(0);
  if (!root) return;
  qDeleteAll(root->takeChildren());
  for (std::size_t i = 0; i < session_.partitions.size(); ++i) {
    auto* it = new QTreeWidgetItem(root, {qs(partitionLabel(i, session_.partitions[i]))});
    it->setIcon(0, styleIcon(QStyle::SP_DirIcon));
    it->setData(0, kItemRole, static_cast<int>(i));
  }
  root->setExpanded(true);
}

void MainWindow::resetFoundTree() {
  foundTree_->clear();
  auto* root = new QTreeWidgetItem(foundTree_, {"File Systems"});
  root->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
  root->setData(0, kItemRole, 0);
}

void MainWindow::fillFoundItems() {
  QTreeWidgetItem* root = foundTree_->topLevelItem(0);
  if (!root) return;
  qDeleteAll(root->takeChildren());
  const auto& found = session_.deep.foundFileSystems;
  for (std::size_t i = 0; i < found.size(); ++i) {
    auto* it = new QTreeWidgetItem(root, {qs(found[i].label)});
    it->setIcon(0, styleIcon(QStyle::SP_DirIcon));
    it->setData(0, kItemRole, static_cast<int>(i + 1));
  }
  root->setExpanded(true);
}

void MainWindow::resetFolderTree() {
  folderTree_->clear();
  folderItems_.clear();
  auto* root = new QTreeWidgetItem(folderTree_, {"Root"});
  root->setIcon(0, styleIcon(QStyle::SP_DirIcon));
  root->setData(0, kItemRole, static_cast<uint>(FolderTree::kRoot));
  folderItems_.assign(2, nullptr);
  folderItems_[FolderTree::kRoot] = root;
}

void MainWindow::fillFolderTree() {
  resetFolderTree();
  const FolderTree& ft = session_.tree.folderTree();
  if (ft.empty()) return;
  QTreeWidgetItem* root = folderItems_[FolderTree::kRoot];
  root->setText(0, qs(ft.item(FolderTree::kRoot).label));
  folderItems_.assign(ft.size(), nullptr);
  folderItems_[FolderTree::kRoot] = root;
  const QIcon icon = listModel_->shell().folderIcon();
  // Items are numbered in insertion order, so a parent always comes first.
  for (std::uint32_t id = FolderTree::kRoot + 1; id < ft.size(); ++id) {
    const TreeItem& ti = ft.item(id);
    QTreeWidgetItem* parent = ti.parent < folderItems_.size() ? folderItems_[ti.parent] : nullptr;
    if (!parent) parent = root;
    auto* it = new QTreeWidgetItem(parent, {qs(ti.label)});
    it->setIcon(0, icon);
    it->setData(0, kItemRole, static_cast<uint>(id));
    folderItems_[id] = it;
  }
  root->setExpanded(true);
}

QTreeWidgetItem* MainWindow::folderItem(std::uint32_t item) const {
  return item < folderItems_.size() ? folderItems_[item] : nullptr;
}

// ---- small helpers ------------------------------------------------------------------------

ScanType MainWindow::scanType() const {
  return advanceRadio_->isChecked() ? ScanType::Advanced : ScanType::Standard;
}

bool MainWindow::busy() const { return jobs_->running() || job_ != Job::None; }

void MainWindow::waitForJob() { jobs_->wait(); }

QString MainWindow::quickHelpText() const { return quickHelp_->text(); }
QString MainWindow::statusText() const { return status_->text(); }

void MainWindow::setQuickHelp(std::string_view text) { quickHelp_->setText(quickHelpDisplay(text)); }

void MainWindow::showButton(QPushButton* b, bool on) {
  b->setEnabled(on);
  b->setVisible(on);
}

void MainWindow::setEnabledAction(QAction* menu, QAction* tool, bool on) {
  menu->setEnabled(on);
  if (tool) tool->setEnabled(on);
}

void MainWindow::applyMenuState(MenuState s) {
  const bool browse = s == MenuState::Browse;
  setEnabledAction(actRecoverSelected_, tbRecoverSelected_, browse);
  setEnabledAction(actRecoverAll_, tbRecoverAll_, browse);
  setEnabledAction(actSaveSnapshot_, tbSaveSnapshot_, browse);
  setEnabledAction(actLoadSnapshot_, tbLoadSnapshot_, s == MenuState::Selection);
  for (QAction* a : {actIcons_, actList_, actDetails_, actFindFiles_, actFileFilters_, actDriveInfo_})
    a->setEnabled(browse);
  tbFindFiles_->setEnabled(browse);
  setEnabledAction(actSettings_, tbSettings_, s == MenuState::Disk ? step_ == 0 : true);
  actOpenImage_->setEnabled(s == MenuState::Disk && step_ == 0 && job_ == Job::None);
}

QAbstractItemView* MainWindow::listView() const {
  return viewMode_ == 2 ? static_cast<QAbstractItemView*>(detailsView_) : static_cast<QAbstractItemView*>(iconView_);
}

bool MainWindow::listShown() const { return listStack_->currentWidget() == viewStack_; }

void MainWindow::setListShown(bool on) { listStack_->setCurrentWidget(on ? static_cast<QWidget*>(viewStack_) : listStack_->widget(0)); }

// ---- layouts --------------------------------------------------------------------------------

void MainWindow::diskLayout() {
  showTree(driveTree_);
  driveTree_->setEnabled(true);
  scanTypeGroup_->show();
  scanTypeHelp_->show();
  showButton(searchButton_, false);
  showButton(backButton_, false);
  rangeGroup_->hide();
  rangeHelp_->hide();
}

void MainWindow::partitionLayout() {
  showTree(partitionTree_);
  partitionTree_->setEnabled(true);
  scanTypeGroup_->hide();
  showButton(searchButton_, true);
  showButton(backButton_, true);
  if (scanType() == ScanType::Advanced) {
    rangeGroup_->show();
    rangeHelp_->show();
    {
      QSignalBlocker block(fullDiskCheck_);
      fullDiskCheck_->setChecked(false);
    }
    startEdit_->setEnabled(true);
    endEdit_->setEnabled(true);
    fillRangeFirstPartition();
    showButton(nextButton_, true);
  } else {
    rangeGroup_->hide();
    rangeHelp_->hide();
  }
}

void MainWindow::foundFsLayout() {
  partitionTree_->setEnabled(true);
  showTree(foundTree_);
  foundTree_->setEnabled(true);
  scanTypeGroup_->hide();
  rangeGroup_->hide();
  showButton(searchButton_, false);
  showButton(backButton_, true);
  progress_->setValue(0);
  progress_->hide();
}

void MainWindow::browseLayout(bool sizeRightAligned) {
  scanTypeGroup_->hide();
  rangeGroup_->hide();
  showButton(searchButton_, false);
  showButton(nextButton_, false);
  listModel_->setFileColumns(sizeRightAligned);
  for (int c = 0; c < 6; ++c) detailsView_->setColumnWidth(c, FileListModel::kFileColumnWidths[c]);
  detailsView_->horizontalHeader()->show();
  listModel_->setRenameEnabled(true);
  setListShown(true);
  showTree(folderTree_);
  folderTree_->setEnabled(true);
}

void MainWindow::showPartitionPanel() {
  panel_->setMode(InfoPanel::Mode::Partition);
  const Selection& s = session_.sel;
  if (s.fsType != FsType::None) panel_->setRows(partitionInfoPanel(s.fsType, s.rangeStart, s.rangeEnd, s.rangeLength));
}

void MainWindow::showFoundFsPanel() {
  panel_->setMode(session_.sel.fsType == FsType::Ntfs ? InfoPanel::Mode::FoundFsNtfs : InfoPanel::Mode::FoundFsFat);
  if (session_.chosenFsIndex != 0) {
    VolumeParams scratch = session_.vp;
    panel_->setRows(osprin::selectFoundFileSystem(session_.deep, session_.chosenFsIndex, scratch));
  }
}

void MainWindow::selectComboFor(FsType t) {
  int i = static_cast<int>(t) / 100 - 1;
  if (i >= 0 && i < fsCombo_->count()) fsCombo_->setCurrentIndex(i);
}

void MainWindow::fillRangeFullDisk() {
  const DriveInfo* d = session_.drive();
  endEdit_->setText(QString::number(d ? d->totalSectors : 0));
  startEdit_->setText("0");
  selectComboFor(FsType::Fat32);
}

void MainWindow::fillRangeFirstPartition() {
  if (session_.partitions.empty()) {
    fillRangeFullDisk();
    return;
  }
  const PartitionEntry& p = session_.partitions.front();
  selectComboFor(p.fsType);
  startEdit_->setText(QString::number(p.start));
  endEdit_->setText(QString::number(static_cast<SectorNo>(p.start + p.length)));
}

void MainWindow::fullDiskToggled(bool on) {
  partitionTree_->setEnabled(!on);
  searchButton_->setEnabled(!on);
  startEdit_->setEnabled(!on);
  endEdit_->setEnabled(!on);
  if (on) {
    showButton(nextButton_, true);
    fillRangeFullDisk();
  } else {
    showButton(nextButton_, false);
    fillRangeFirstPartition();
  }
}

// ---- tree clicks -------------------------------------------------------------------------------

void MainWindow::treeItemChosen(QTreeWidget* tree, QTreeWidgetItem* item) {
  if (!item || busy()) return;
  if (tree == driveTree_ && step_ == 0) driveChosen(item);
  else if (tree == partitionTree_ && step_ == 1) partitionChosen(item);
  else if (tree == foundTree_ && step_ == 2) foundFsChosen(item);
  else if (tree == folderTree_ && step_ == 3) folderChosen(item);
}

void MainWindow::chooseTreeItem(QTreeWidgetItem* item) {
  QTreeWidget* t = currentTree();
  if (!t || !item || item->treeWidget() != t) return;
  syncingTree_ = true;
  t->setCurrentItem(item);
  syncingTree_ = false;
  treeItemChosen(t, item);
}

void MainWindow::driveChosen(QTreeWidgetItem* item) {
  int k = item->data(0, kItemRole).toInt();
  if (!item->parent() || k < 0 || static_cast<std::size_t>(k) >= session_.drives.size()) return;
  selectedDrive_ = k;
  panel_->setMode(InfoPanel::Mode::Drive);
  panel_->setRows(driveInfoPanel(session_.drives[static_cast<std::size_t>(k)]));
  panel_->setImageRows(imageInfoPanel(session_.drives[static_cast<std::size_t>(k)]));
  showButton(nextButton_, true);
}

void MainWindow::partitionChosen(QTreeWidgetItem* item) {
  if (!item->parent()) {
    // The drive itself: the whole disk as the range of an advanced scan.
    if (scanType() != ScanType::Advanced) return;
    session_.selectWholeDrive(FsType::Fat32);
  } else {
    int i = item->data(0, kItemRole).toInt();
    if (i < 0 || !session_.selectPartition(static_cast<std::size_t>(i))) return;
  }
  const Selection& s = session_.sel;
  selectComboFor(s.fsType);
  startEdit_->setText(QString::number(s.rangeStart));
  endEdit_->setText(QString::number(s.rangeEnd));
  showPartitionPanel();
  showButton(nextButton_, true);
}

void MainWindow::foundFsChosen(QTreeWidgetItem* item) {
  if (!item->parent()) return;  // "File Systems" selects nothing
  int n = item->data(0, kItemRole).toInt();
  if (n <= 0) return;
  listModel_->clearRows();
  showButton(nextButton_, true);
  std::vector<PanelRow> rows = session_.selectFoundFileSystem(static_cast<std::size_t>(n));
  const auto& found = session_.deep.foundFileSystems;
  bool ntfs = static_cast<std::size_t>(n) <= found.size() ? found[static_cast<std::size_t>(n) - 1].fsType == FsType::Ntfs
                                                          : session_.sel.fsType == FsType::Ntfs;
  panel_->setMode(ntfs ? InfoPanel::Mode::FoundFsNtfs : InfoPanel::Mode::FoundFsFat);
  panel_->setRows(rows);
}

void MainWindow::folderChosen(QTreeWidgetItem* item) {
  selectFolderItem(item);
  openFromTree_ = 1;
  openSelectedItem();
}

// ---- the list ----------------------------------------------------------------------------------

void MainWindow::listIdentity(std::uint32_t identity) {
  listModel_->setRows(session_.listFolder(identity));
  backPressed_ = false;
  setListShown(true);
}

void MainWindow::selectFolderItem(QTreeWidgetItem* it) {
  if (!it) return;
  syncingTree_ = true;
  folderTree_->setCurrentItem(it);
  it->setSelected(true);
  for (QTreeWidgetItem* p = it->parent(); p; p = p->parent()) p->setExpanded(true);
  folderTree_->scrollToItem(it);
  syncingTree_ = false;
}

void MainWindow::openFolderItem(std::uint32_t item) {
  listIdentity(session_.identityOfItem(item));
  QTreeWidgetItem* it = folderItem(item);
  if (!it) it = folderItem(FolderTree::kRoot);
  selectFolderItem(it);
  folderTree_->setFocus(Qt::OtherFocusReason);
  openFromTree_ = 1;
}

// The rows with a selected cell (the icon and list views select the name
// column only), in list order.
static std::vector<int> selectedRowNumbers(QItemSelectionModel* sm) {
  std::vector<int> rows;
  for (const QModelIndex& i : sm->selectedIndexes()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

int MainWindow::currentRow() const {
  // The selection mark: the current row when it is selected, else the first
  // selected row.
  QItemSelectionModel* sm = detailsView_->selectionModel();
  QModelIndex cur = sm->currentIndex();
  if (cur.isValid() && sm->isSelected(listModel_->index(cur.row(), FileListModel::NameCol))) return cur.row();
  std::vector<int> rows = selectedRowNumbers(sm);
  return rows.empty() ? -1 : rows.front();
}

std::vector<ListRow> MainWindow::selectedRows() const {
  std::vector<ListRow> out;
  for (int r : selectedRowNumbers(detailsView_->selectionModel()))
    if (r >= 0 && r < listModel_->count()) out.push_back(listModel_->row(r));
  return out;
}

std::vector<ListRow> MainWindow::allRows() const {
  std::vector<ListRow> out;
  for (int r = 0; r < listModel_->count(); ++r) out.push_back(listModel_->row(r));
  return out;
}

void MainWindow::listDoubleClicked() {
  openWith_ = false;
  openFromTree_ = 0;
  if (step_ == 3) openSelectedItem();
}

void MainWindow::openSelectedItem() {
  if (step_ != 3 || busy() || renaming_) return;
  if (openFromTree_ == 1) {
    QTreeWidgetItem* it = folderTree_->currentItem();
    if (!it) return;
    openFolderItem(it->data(0, kItemRole).toUInt());
    return;
  }
  int r = currentRow();
  if (r < 0) return;
  const ListRow row = listModel_->row(r);
  if (isFolderTypeText(us(listModel_->typeText(r)))) {
    openFolderItem(static_cast<std::uint32_t>(row.id));
    return;
  }
  if (fileOpener()) fileOpener()(row, openWith_);
  else openFileRow(this, session_, row, openWith_);
}

QMenu* MainWindow::buildListContextMenu() {
  if (step_ != 3 || openFromTree_ != 0 || backPressed_ || busy()) return nullptr;
  int r = currentRow();
  if (r < 0) return nullptr;
  auto* m = new QMenu(this);
  m->setObjectName("listContextMenu");
  auto add = [this, m](const char* text, const char* name, void (MainWindow::*slot)()) {
    QAction* a = m->addAction(QString::fromLatin1(text));
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  QAction* open = add("&Open", "ctxOpen", &MainWindow::openCommand);
  m->setDefaultAction(open);
  QAction* openWith = add("Open &With...", "ctxOpenWith", &MainWindow::openWithCommand);
  openWith->setEnabled(!isFolderTypeText(us(listModel_->typeText(r))));
  m->addSeparator();
  add("&Recover Selected...", "ctxRecoverSelected", &MainWindow::recoverSelected);
  add("Recover &All...", "ctxRecoverAll", &MainWindow::recoverAll);
  m->addSeparator();
  add("Ico&ns", "ctxIcons", &MainWindow::setViewIcons);
  add("&List", "ctxList", &MainWindow::setViewList);
  add("&Details", "ctxDetails", &MainWindow::setViewDetails);
  m->addSeparator();
  add("&Find Files...", "ctxFindFiles", &MainWindow::findFiles);
  add("&Settings...", "ctxSettings", &MainWindow::settings);
  m->addSeparator();
  add("Re&name", "ctxRename", &MainWindow::renameCommand);
  add("&Properties...", "ctxProperties", &MainWindow::propertiesCommand);
  return m;
}

void MainWindow::showListContextMenu(const QPoint& globalPos) {
  QMenu* m = buildListContextMenu();
  if (!m) return;
  m->exec(globalPos);
  m->deleteLater();
}

bool MainWindow::renameRow(int row, const QString& name) {
  if (step_ != 3 || row < 0 || row >= listModel_->count()) return false;
  const ListRow r = listModel_->row(row);
  std::string newName = us(name);
  if (session_.renameRow(r, newName) && r.folder) {
    if (QTreeWidgetItem* it = folderItem(static_cast<std::uint32_t>(r.id))) it->setText(0, name);
  }
  return true;
}

void MainWindow::setViewMode(int mode) {
  viewMode_ = mode;
  if (mode == 2) {
    viewStack_->setCurrentWidget(detailsView_);
    actDetails_->setChecked(true);
  } else {
    if (mode == 0) {
      iconView_->setViewMode(QListView::IconMode);
      iconView_->setFlow(QListView::LeftToRight);
      iconView_->setWrapping(true);
      iconView_->setIconSize(QSize(32, 32));
      iconView_->setGridSize(QSize(96, 64));
      iconView_->setWordWrap(true);
      actIcons_->setChecked(true);
    } else {
      iconView_->setViewMode(QListView::ListMode);
      iconView_->setFlow(QListView::TopToBottom);
      iconView_->setWrapping(true);
      iconView_->setIconSize(QSize(16, 16));
      iconView_->setGridSize(QSize());
      iconView_->setWordWrap(false);
      actList_->setChecked(true);
    }
    iconView_->setMovement(QListView::Static);
    viewStack_->setCurrentWidget(iconView_);
  }
}

// ---- jobs ---------------------------------------------------------------------------------------

bool MainWindow::startJob(Job kind, std::function<void(Observer&)> work, std::function<void()> done) {
  if (busy()) return false;
  job_ = kind;
  stop_.store(0);
  jobStarted();
  auto obs = std::make_shared<JobObserver>(*observer_, this);
  if (kind == Job::StandardScan) obs->beforeInfo = [this] { standardScanShowTree(); };
  bool ok = jobs_->start(
      [obs, work = std::move(work)] {
        try {
          work(*obs);
        } catch (const std::bad_alloc&) {
          obs->message(MsgKind::Error, texts::kOutOfMemory);
          std::_Exit(1);  // running out of memory is a failure of the program, never a success
        } catch (const std::exception& e) {
          // A fault of the core must not take the window down with it.
          obs->message(MsgKind::Error, std::string("The operation failed: ") + e.what());
        }
      },
                         [this, done = std::move(done)] {
                           done();
                           job_ = Job::None;
                           jobEnded();
                         });
  if (!ok) {
    job_ = Job::None;
    jobEnded();
  }
  return ok;
}

void MainWindow::jobStarted() {
  // Nothing that starts other work, or changes what a worker reads, is
  // available while it runs.
  applyMenuState(MenuState::Disk);
  showButton(stopButton_, true);
}

void MainWindow::jobEnded() {
  showButton(stopButton_, false);
  actOpenImage_->setEnabled(step_ == 0);
}

void MainWindow::onCounter(const QString& label, quint64 value) {
  if (job_ == Job::None) return;
  if (job_ == Job::StandardScan && panel_->mode() != InfoPanel::Mode::StandardScan &&
      InfoPanel::labelsOf(InfoPanel::Mode::StandardScan).contains(label))
    standardScanWalking();
  panel_->setValue(label, QString::number(value));
}

void MainWindow::onText(const QString& label, const QString& value) {
  if (job_ == Job::None) return;
  panel_->setValue(label, value);
}

void MainWindow::stopCommand() {
  if (!busy()) return;
  if (yesNoBox(this, qs(texts::kStopQuestion))) stop_.store(1);
}

// Lost partition search.

void MainWindow::searchPartitions() {
  if (step_ != 1 || busy()) return;
  startLostSearch();
}

void MainWindow::startLostSearch() {
  setQuickHelp(texts::kHelpLostSearch);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  showButton(searchButton_, false);
  partitionTree_->setEnabled(false);
  // The old entries go, even when the search is stopped early.
  if (QTreeWidgetItem* root = partitionTree_->topLevelItem(0)) qDeleteAll(root->takeChildren());
  startJob(
      Job::LostSearch, [this](Observer& o) { session_.searchLostPartitions(stop_, o); },
      [this] { lostSearchDone(); });
}

void MainWindow::lostSearchDone() {
  progress_->hide();
  status_->clear();
  status_->hide();
  fillPartitionItems();
  const bool advanced = scanType() == ScanType::Advanced;
  if (session_.partitions.empty())
    okBox(this, MsgKind::Info, qs(advanced ? texts::kNoPartitionAdvanced : texts::kNoPartitionStandard));
  if (advanced) {
    if (!fullDiskCheck_->isChecked()) fillRangeFirstPartition();
    showButton(nextButton_, true);
  }
  showButton(backButton_, true);
  showButton(searchButton_, true);
  partitionTree_->setEnabled(true);
  setQuickHelp(texts::kHelpPartition);
  stop_.store(0);
  applyMenuState(MenuState::Selection);
}

// Standard scan.

void MainWindow::startStandardScan() {
  setQuickHelp(texts::kHelpStandardScan);
  resetFolderTree();
  scanTreeShown_ = false;
  scanOutcome_ = ScanOutcome::Failed;
  partitionTree_->setEnabled(false);
  showButton(searchButton_, false);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  startJob(
      Job::StandardScan, [this](Observer& o) { scanOutcome_ = session_.standardScan(stop_, o); },
      [this] { standardScanDone(); });
}

void MainWindow::standardScanWalking() {
  panel_->setMode(InfoPanel::Mode::StandardScan);
  step_ = 3;
  applyMenuState(MenuState::Disk);
}

void MainWindow::standardScanShowTree() {
  // Runs while the worker waits: the walk is over and its tree complete.
  if (scanTreeShown_) return;
  scanTreeShown_ = true;
  if (panel_->mode() != InfoPanel::Mode::StandardScan) standardScanWalking();
  fillFolderTree();
  openFromTree_ = 0;
  showButton(backButton_, true);
  applyMenuState(MenuState::Browse);
  browseLayout(true);
  listIdentity(session_.rootIdentity());
  selectFolderItem(folderItem(FolderTree::kRoot));
}

void MainWindow::standardScanDone() {
  if (scanOutcome_ == ScanOutcome::Done) {
    standardScanShowTree();
    setQuickHelp(texts::kHelpBrowse);
    applyMenuState(MenuState::Browse);
    // The walk is over: "Mounting volume, please wait..." no longer holds.
    status_->clear();
    status_->hide();
  } else {
    // No usable geometry: the partition can be chosen again.
    step_ = 1;
    partitionTree_->setEnabled(true);
    showButton(backButton_, true);
    showButton(nextButton_, true);
    status_->clear();
    status_->hide();
    applyMenuState(MenuState::Selection);
  }
  stop_.store(0);
}

// Deep scan.

void MainWindow::startDeepScan() {
  applyMenuState(MenuState::Disk);
  setQuickHelp(texts::kHelpDeepScan);
  session_.freeDeepScan();
  resetFoundTree();
  partitionTree_->setEnabled(false);
  rangeGroup_->hide();
  rangeHelp_->hide();
  showButton(searchButton_, false);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  status_->clear();
  status_->hide();
  progress_->setValue(0);
  progress_->hide();
  panel_->setMode(session_.sel.fsType == FsType::Ntfs ? InfoPanel::Mode::DeepScanNtfs : InfoPanel::Mode::DeepScanFat);
  startJob(
      Job::DeepScan, [this](Observer& o) { session_.deepScan(stop_, o); }, [this] { deepScanDone(); });
}

void MainWindow::deepScanDone() {
  status_->clear();
  status_->hide();
  fillFoundItems();
  foundFsLayout();
  panel_->setMode(session_.sel.fsType == FsType::Ntfs ? InfoPanel::Mode::FoundFsNtfs : InfoPanel::Mode::FoundFsFat);
  step_ = 2;
  if (session_.deep.foundFsCount() != 0) applyMenuState(MenuState::Selection);
  showButton(nextButton_, false);
  setQuickHelp(texts::kHelpFoundFs);
  stop_.store(0);
}

// Mount of a found file system.

void MainWindow::startMount() {
  resetFolderTree();
  setQuickHelp(texts::kHelpMount);
  foundTree_->setEnabled(false);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  startJob(
      Job::Mount, [this](Observer& o) { session_.mountFound(stop_, o); }, [this] { mountDone(); });
}

void MainWindow::mountDone() {
  setQuickHelp(texts::kHelpBrowse);
  applyMenuState(MenuState::Browse);
  panel_->setMode(InfoPanel::Mode::None);
  step_ = 3;
  fillFolderTree();
  browseLayout(false);
  openFromTree_ = 0;
  listIdentity(session_.rootIdentity());
  selectFolderItem(folderItem(FolderTree::kRoot));
  showButton(backButton_, true);
  status_->clear();
  status_->hide();
  stop_.store(0);
}

// ---- Next and Back --------------------------------------------------------------------------------

void MainWindow::next() {
  if (busy() || !nextButton_->isVisibleTo(this) || !nextButton_->isEnabled()) return;
  session_.filters.clear();
  showButton(nextButton_, false);
  switch (step_) {
    case 0: {
      if (selectedDrive_ < 0) return;
      std::string err;
      if (!session_.openDrive(selectedDrive_, err)) {
        okBox(this, MsgKind::Error, qs(err));
        showButton(nextButton_, true);
        return;
      }
      session_.sel = Selection{};
      resetPartitionTree();
      step_ = 1;
      bool found = session_.readPartitionTables();
      fillPartitionItems();
      partitionLayout();
      applyMenuState(MenuState::Selection);
      panel_->setMode(InfoPanel::Mode::Partition);
      setQuickHelp(texts::kHelpPartition);
      if (!found) {
        okBox(this, MsgKind::Error, qs(texts::kNoPartitionsSearching));
        startLostSearch();
      }
      return;
    }
    case 1:
      if (scanType() == ScanType::Standard) {
        if (session_.sel.fsType == FsType::None) return;
        startStandardScan();
      } else {
        auto fs = static_cast<FsType>((fsCombo_->currentIndex() + 1) * 100);
        std::string msg = session_.setScanRange(fs, us(startEdit_->text().trimmed()), us(endEdit_->text().trimmed()));
        if (!msg.empty()) {
          okBox(this, MsgKind::Error, qs(msg));
          showButton(nextButton_, true);
          return;
        }
        startDeepScan();
      }
      return;
    case 2: {
      QTreeWidgetItem* it = foundTree_->currentItem();
      if (!it || !it->parent()) return;
      startMount();
      return;
    }
    default:
      return;
  }
}

void MainWindow::back() {
  if (busy() || step_ <= 0 || !backButton_->isVisibleTo(this) || !backButton_->isEnabled()) return;
  backPressed_ = true;
  showButton(nextButton_, false);
  listModel_->clearRows();
  setListShown(false);
  if (step_ == 1) {
    session_.closeDrive();
    step_ = 0;
    diskLayout();
    applyMenuState(MenuState::Disk);
    panel_->setMode(InfoPanel::Mode::Drive);
    if (selectedDrive_ >= 0 && static_cast<std::size_t>(selectedDrive_) < session_.drives.size()) {
      panel_->setRows(driveInfoPanel(session_.drives[static_cast<std::size_t>(selectedDrive_)]));
      panel_->setImageRows(imageInfoPanel(session_.drives[static_cast<std::size_t>(selectedDrive_)]));
    }
    setQuickHelp(texts::kHelpDisk);
  } else if (step_ == 3) {
    listModel_->setDetailsColumn();
    listModel_->setRenameEnabled(false);
    detailsView_->setColumnWidth(0, FileListModel::kDetailsWidth);
    session_.freeTrees();
    resetFolderTree();
    if (session_.scanType == ScanType::Advanced) {
      foundFsLayout();
      step_ = 2;
      showFoundFsPanel();
      applyMenuState(MenuState::Selection);
      setQuickHelp(texts::kHelpFoundFs);
    } else {
      partitionLayout();
      if (scanType() == ScanType::Standard) showButton(nextButton_, false);
      step_ = 1;
      applyMenuState(MenuState::Selection);
      showPartitionPanel();
      setQuickHelp(texts::kHelpPartition);
    }
  } else if (step_ == 2) {
    step_ = 1;
    session_.freeDeepScan();
    resetFoundTree();
    partitionLayout();
    applyMenuState(MenuState::Selection);
    showPartitionPanel();
    setQuickHelp(texts::kHelpPartition);
  }
}

// ---- commands -------------------------------------------------------------------------------------

void MainWindow::recoverSelected() {
  if (busy() || step_ != 3 || !actRecoverSelected_->isEnabled()) return;
  recoverRows(this, session_, selectedRows());
}

void MainWindow::recoverAll() {
  if (busy() || step_ != 3 || !actRecoverAll_->isEnabled()) return;
  recoverRows(this, session_, allRows());
}

void MainWindow::saveSnapshot() {
  if (busy() || step_ != 3 || !actSaveSnapshot_->isEnabled()) return;
  saveSnapshotCommand(this, session_);
}

void MainWindow::loadSnapshot() {
  if (busy() || !actLoadSnapshot_->isEnabled()) return;
  if (!loadSnapshotCommand(this, session_)) return;
  // The loaded tree is browsed as after a scan.
  partitionTree_->setEnabled(false);
  foundTree_->setEnabled(false);
  {
    QSignalBlocker block(standardRadio_);
    (session_.scanType == ScanType::Advanced ? advanceRadio_ : standardRadio_)->setChecked(true);
  }
  panel_->setMode(InfoPanel::Mode::StandardScan);
  panel_->setValue("Folder(s) Found", QString::number(session_.tree.folderCount));
  panel_->setValue("File(s) Found", QString::number(session_.tree.fileCount));
  step_ = 3;
  stop_.store(0);
  fillFolderTree();
  browseLayout(session_.scanType != ScanType::Advanced);
  applyMenuState(MenuState::Browse);
  openFromTree_ = 0;
  listIdentity(session_.rootIdentity());
  selectFolderItem(folderItem(FolderTree::kRoot));
  showButton(backButton_, true);
  setQuickHelp(texts::kHelpBrowse);
}

void MainWindow::openDiskImage() {
  if (busy() || step_ != 0) return;
  QString path = QFileDialog::getOpenFileName(this, "Open Disk Image", QString(), qs(imageFileFilter()));
  if (path.isEmpty()) return;
  addImage(path);
}

bool MainWindow::addImage(const QString& path) {
  if (busy()) return false;
  std::string err;
  if (!session_.addImage(us(path), err)) {
    okBox(this, MsgKind::Error, "Unable to open the disk image " + path + " : " + qs(err));
    return false;
  }
  std::size_t k = session_.drives.size() - 1;
  QTreeWidgetItem* root = driveTree_->topLevelItem(0);
  auto* it = new QTreeWidgetItem(root, {qs(driveLabel(k))});
  it->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
  it->setData(0, kItemRole, static_cast<int>(k));
  it->setToolTip(0, path);
  root->setExpanded(true);
  return true;
}

void MainWindow::freeAll() {
  session_.freeTrees();
  session_.freeDeepScan();
  session_.closeDrive();
}

void MainWindow::exitCommand() {
  if (!yesNoBox(this, qs(texts::kExitQuestion))) return;
  exitConfirmed_ = true;
  stop_.store(1);
  jobs_->wait();
  freeAll();
  close();
  QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!exitConfirmed_) {
    if (!yesNoBox(this, qs(texts::kExitQuestion))) {
      e->ignore();
      return;
    }
    exitConfirmed_ = true;
    stop_.store(1);
    jobs_->wait();
    freeAll();
  }
  e->accept();
}

void MainWindow::setViewIcons() {
  if (actIcons_->isEnabled()) setViewMode(0);
}
void MainWindow::setViewList() {
  if (actList_->isEnabled()) setViewMode(1);
}
void MainWindow::setViewDetails() {
  if (actDetails_->isEnabled()) setViewMode(2);
}

void MainWindow::findFiles() {
  if (busy() || step_ != 3 || !actFindFiles_->isEnabled()) return;
  showFindFiles(this, session_);
}

void MainWindow::fileFilters() {
  if (busy() || step_ != 3 || !actFileFilters_->isEnabled()) return;
  showFileFilters(this, session_);
  // The filter takes effect at once: the root folder, listed again.
  folderTree_->setFocus(Qt::OtherFocusReason);
  selectFolderItem(folderItem(FolderTree::kRoot));
  openFromTree_ = 1;
  listIdentity(session_.rootIdentity());
}

void MainWindow::settings() {
  if (busy() || !actSettings_->isEnabled()) return;
  showRecoverySettings(this, session_);
}

void MainWindow::driveInformation() {
  if (busy() || step_ != 3 || !actDriveInfo_->isEnabled()) return;
  showDriveInformation(this, session_);
}

void MainWindow::openCommand() {
  openWith_ = false;
  openSelectedItem();
}

void MainWindow::openWithCommand() {
  int r = currentRow();
  if (r < 0 || isFolderTypeText(us(listModel_->typeText(r)))) return;
  openWith_ = true;
  openSelectedItem();
}

void MainWindow::renameCommand() {
  if (step_ != 3 || openFromTree_ != 0 || renaming_ || busy()) return;
  int r = currentRow();
  if (r < 0) return;
  QAbstractItemView* v = listView();
  QModelIndex idx = listModel_->index(r, FileListModel::NameCol);
  v->setCurrentIndex(idx);
  v->setFocus(Qt::OtherFocusReason);
  v->edit(idx);
}

void MainWindow::propertiesCommand() {
  if (step_ != 3 || busy()) return;
  int r = currentRow();
  if (r < 0) return;
  showProperties(this, session_, listModel_->row(r));
}

bool MainWindow::openUrl(const QUrl& url) {
  if (urlOpener()) return urlOpener()(url);
  return QDesktopServices::openUrl(url);
}

void MainWindow::liveUpdate() {
  if (busy()) return;
  if (!yesNoBox(this, qs(texts::kLiveUpdateQuestion))) return;
  QString updater = QDir(QCoreApplication::applicationDirPath()).filePath(kUpdaterName);
  if (!QFileInfo::exists(updater)) {
    okBox(this, MsgKind::Error, qs(texts::kLiveUpdateMissing));
    return;
  }
  const QStringList args{"<ZQRT>"};
  bool started = programStarter() ? programStarter()(updater, args) : QProcess::startDetached(updater, args);
  if (!started) {
    okBox(this, MsgKind::Error, qs(texts::kLiveUpdateMissing));
    return;
  }
  exitConfirmed_ = true;
  stop_.store(1);
  jobs_->wait();
  freeAll();
  close();
  QCoreApplication::quit();
}

void MainWindow::helpContents() {
  QString file = QDir(QCoreApplication::applicationDirPath()).filePath(kHelpFileName);
  if (!QFileInfo::exists(file) || !openUrl(QUrl::fromLocalFile(file)))
    okBox(this, MsgKind::Error, qs(texts::kHelpFileMissing));
}

void MainWindow::buyOnline() { openUrl(QUrl(kBuyPage)); }
void MainWindow::homePage() { openUrl(QUrl(kHomePage)); }

void MainWindow::about() {
  okBox(this, MsgKind::Info,
        "Vantrel Osprin FAT and NTFS\n\nRecovers files and folders from FAT16, FAT32 and NTFS disks and disk images. "
        "The disk is only ever read.");
}

// ---- keyboard -------------------------------------------------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    e->accept();  // Escape never closes the window
    return;
  }
  QMainWindow::keyPressEvent(e);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, e);
  auto* k = static_cast<QKeyEvent*>(e);
  const bool isList = watched == detailsView_ || watched == iconView_;
  const bool isFolderTree = watched == folderTree_;
  if (k->key() == Qt::Key_Escape) return true;
  if (qobject_cast<QTreeWidget*>(watched)) {
    // Keyboard moves in a tree choose the item as a click does.
    treeKeyNav_ = true;
    QTimer::singleShot(0, this, [this] { treeKeyNav_ = false; });
  }
  if (step_ != 3 || !(isList || isFolderTree)) return QMainWindow::eventFilter(watched, e);
  switch (k->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      if (renaming_) return true;
      if (isList) {
        folderTree_->setFocus(Qt::TabFocusReason);
        openFromTree_ = 1;
      } else {
        listView()->setFocus(Qt::TabFocusReason);
        openFromTree_ = 0;
      }
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (!renaming_) {
        openWith_ = false;
        openSelectedItem();
      }
      return true;
    case Qt::Key_F2:
      if (isList && openFromTree_ == 0 && !renaming_) renameCommand();
      return true;
    case Qt::Key_Menu:
      if (isList && !renaming_) {
        auto* view = static_cast<QAbstractItemView*>(watched);
        int r = currentRow();
        QPoint at = r >= 0 ? view->visualRect(listModel_->index(r, 0)).center() : view->viewport()->rect().center();
        showListContextMenu(view->viewport()->mapToGlobal(at));
        return true;
      }
      break;
    default:
      break;
  }
  return QMainWindow::eventFilter(watched, e);
}

}  // namespace osprin::gui
