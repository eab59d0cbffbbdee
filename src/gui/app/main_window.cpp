#include "app/main_window.h"
#include "app/preview_pane.h"
#include "app/progress_texts.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
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
#include <QSettings>
#include <QShortcut>
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
#include "app/gui_texts.h"
#include "app/list_order.h"
#include "app/qt_observer.h"
#include "app/settings_store.h"
#include "app/wizard_controller.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

constexpr int kItemRole = Qt::UserRole + 1;  // drive, partition, found file system or folder item number
constexpr const char* kHomePage = OSPRIN_HOME_PAGE;

QIcon styleIcon(QStyle::StandardPixmap p) { return QApplication::style()->standardIcon(p); }

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

// ---- construction ---------------------------------------------------------------------

MainWindow::MainWindow(const QStringList& images, QWidget* parent, const QString& sysRoot, DesktopIntegration desktop)
    : QMainWindow(parent),
      ctl_(new WizardController(this, this)),
      session_(ctl_->session()),
      observer_(ctl_->observer()),
      desktop_(desktop.withDefaults()) {
  setObjectName("mainWindow");
  setWindowTitle(qs(texts::kCaption));
  setWindowIcon(styleIcon(QStyle::SP_DriveHDIcon));

  connect(observer_, &QtObserver::progressChanged, this, [this](int p) { progress_->setValue(std::min(p, 100)); });
  connect(observer_, &QtObserver::progressShown, this, [this](bool v) { progress_->setVisible(v); });
  connect(observer_, &QtObserver::counterChanged, this, &MainWindow::onCounter);
  connect(observer_, &QtObserver::textChanged, this, &MainWindow::onText);
  connect(observer_, &QtObserver::phaseChanged, this, [this](const PhaseInfo& p) {
    if (ctl_->job() == Job::None) return;  // a late report of a job that has ended
    const QString t = guiText(p);
    status_->setText(t);
    status_->setVisible(!t.isEmpty());
  });
  connect(observer_, &QtObserver::stopShown, this, [this](bool v) {
    if (ctl_->job() != Job::None) showButton(stopButton_, v);
  });

  buildCentral();
  buildMenus();
  buildToolbar();

  ctl_->setDeviceOpener(desktop_.openDevice);
  connect(ctl_, &WizardController::jobStarted, this, [this] { jobStarted(); });
  connect(ctl_, &WizardController::jobEnded, this, [this] { jobEnded(); });
  // The preview belongs to the browse step.
  connect(ctl_, &WizardController::stepChanged, this, [this] {
    preview_->setVisible(actPreview_->isChecked() && step() == 3);
    updatePreview();
  });

  // Start-up: the drive list (no step while it is built), then the Disk step.
  sysRoot_ = sysRoot;
  ctl_->listDrives(images, sysRoot, startupErrors_);
  fillDriveTree();
  diskLayout();
  applyMenuState(MenuState::Disk);
  panel_->setMode(InfoPanel::Mode::Drive);
  setQuickHelp(texts::kHelpDisk);
  standardRadio_->setChecked(true);
  showButton(nextButton_, false);
  showButton(stopButton_, false);
  resize(940, 680);
  // The panes get the room; the information area and the quick help what they need.
  vSplit_->setSizes({440, infoArea_->sizeHint().height(), quickHelp_->fontMetrics().lineSpacing() * 5 + 8});
  loadRecoverySettings(session_.settings);
  restoreLayout();
}

void MainWindow::restoreLayout() {
  const WindowLayout l = loadWindowLayout();
  if (!l.geometry.isEmpty()) restoreGeometry(l.geometry);
  if (!l.panes.isEmpty()) paneSplit_->restoreState(l.panes);
  if (!l.sections.isEmpty()) vSplit_->restoreState(l.sections);
  if (!l.preview.isEmpty()) previewSplit_->restoreState(l.preview);
  actPreview_->setChecked(l.previewShown);
  preview_->setVisible(l.previewShown && step() == 3);
  actInfoPanel_->setChecked(l.infoPanel);
  actQuickHelp_->setChecked(l.quickHelp);
  infoArea_->setVisible(l.infoPanel);
  quickHelp_->setVisible(l.quickHelp);
  viewMode_ = l.viewMode;
  setViewMode(viewMode_);
  if (l.sortColumn >= 0 && l.sortColumn < FileListModel::ColumnCount)
    detailsView_->sortByColumn(l.sortColumn, l.sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void MainWindow::saveLayout() {
  WindowLayout l;
  l.geometry = saveGeometry();
  l.panes = paneSplit_->saveState();
  l.sections = vSplit_->saveState();
  l.preview = previewSplit_->saveState();
  l.previewShown = actPreview_->isChecked();
  l.viewMode = viewMode_;
  l.infoPanel = actInfoPanel_->isChecked();
  l.quickHelp = actQuickHelp_->isChecked();
  l.sortColumn = listModel_->sortColumn();
  l.sortDescending = listModel_->sortOrder() == Qt::DescendingOrder;
  saveWindowLayout(l);
  saveRecoverySettings(session_.settings);
}

MainWindow::~MainWindow() {
  preview_->stop();
  ctl_->requestStop();
  ctl_->waitForJob();
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

  // Right pane: the filter mark over the file list (or a blank page while
  // it is hidden).
  auto* right = new QWidget(split);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(2);
  filterMark_ = new QLabel(right);
  filterMark_->setObjectName("filterMark");
  filterMark_->setTextFormat(Qt::PlainText);
  filterMark_->setAutoFillBackground(true);
  filterMark_->setMargin(3);
  {
    QPalette fp = filterMark_->palette();
    fp.setColor(QPalette::Window, QColor(255, 236, 179));
    filterMark_->setPalette(fp);
  }
  filterMark_->hide();
  rightLayout->addWidget(filterMark_);
  // The list and, beside it, the preview of the selected file.
  previewSplit_ = new QSplitter(Qt::Horizontal, right);
  previewSplit_->setObjectName("previewSplitter");
  previewSplit_->setChildrenCollapsible(false);
  rightLayout->addWidget(previewSplit_, 1);
  listStack_ = new QStackedWidget(previewSplit_);
  previewSplit_->addWidget(listStack_);
  preview_ = new PreviewPane(previewSplit_);
  previewSplit_->addWidget(preview_);
  previewSplit_->setStretchFactor(0, 3);
  previewSplit_->setStretchFactor(1, 2);
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
  // Column titles sort; columns can be resized and are fitted to each folder.
  detailsView_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  detailsView_->horizontalHeader()->setSortIndicatorShown(true);
  detailsView_->horizontalHeader()->setSectionsClickable(true);
  detailsView_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  detailsView_->setSortingEnabled(true);
  detailsView_->setTextElideMode(Qt::ElideMiddle);
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
  connect(detailsView_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { updatePreview(); });
  connect(detailsView_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { updatePreview(); });
  listStack_->addWidget(viewStack_);
  listStack_->setCurrentWidget(viewStack_);
  split->addWidget(treeStack_);
  split->addWidget(right);
  split->setStretchFactor(0, 0);
  split->setStretchFactor(1, 1);
  split->setSizes({250, 650});
  paneSplit_ = split;
  // The panes over the information area and the quick help: both can be
  // shrunk or closed (View menu), so the list gets the room on small screens.
  vSplit_ = new QSplitter(Qt::Vertical, central);
  vSplit_->setObjectName("mainSplitter");
  vSplit_->setChildrenCollapsible(true);
  vSplit_->addWidget(split);
  v->addWidget(vSplit_, 1);

  // The information panel and the controls of the selection steps.
  infoArea_ = new QWidget(vSplit_);
  infoArea_->setObjectName("infoArea");
  auto* mid = new QHBoxLayout(infoArea_);
  mid->setContentsMargins(0, 0, 0, 0);
  panel_ = new InfoPanel(infoArea_);
  panel_->setTitle("Information");
  panel_->setMinimumWidth(240);
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
  fsCombo_->addItems({"FAT16", "FAT32", "NTFS", "exFAT"});  // index i: FsType (i + 1) * 100
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
  auto* controlsBox = new QWidget(infoArea_);
  controlsBox->setLayout(controls);
  controlsBox->setMinimumWidth(220);
  mid->addWidget(controlsBox, 0);
  vSplit_->addWidget(infoArea_);

  // Quick help.
  quickHelp_ = new QLabel(vSplit_);
  quickHelp_->setObjectName("quickHelp");
  quickHelp_->setTextFormat(Qt::PlainText);
  quickHelp_->setWordWrap(true);
  quickHelp_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  quickHelp_->setFrameShape(QFrame::StyledPanel);
  quickHelp_->setMinimumHeight(quickHelp_->fontMetrics().lineSpacing() * 2 + 8);
  quickHelp_->setAutoFillBackground(true);
  QPalette qp = quickHelp_->palette();
  qp.setColor(QPalette::Window, QColor(255, 255, 231));
  quickHelp_->setPalette(qp);
  vSplit_->addWidget(quickHelp_);
  vSplit_->setStretchFactor(0, 1);
  vSplit_->setStretchFactor(1, 0);
  vSplit_->setStretchFactor(2, 0);

  // Status line, progress and the wizard's buttons.
  auto* bottom = new QHBoxLayout;
  status_ = new QLabel(central);
  status_->setObjectName("statusLine");
  status_->setMinimumWidth(120);
  status_->hide();
  progress_ = new QProgressBar(central);
  progress_->setObjectName("progressBar");
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setMinimumWidth(120);
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
  backButton_ = new QPushButton("< &Back", central);
  backButton_->setObjectName("backButton");
  backButton_->setToolTip("Go to previous step");
  nextButton_ = new QPushButton("&Next >", central);
  nextButton_->setObjectName("nextButton");
  nextButton_->setToolTip("Go to next step");
  nextButton_->setDefault(true);
  stopButton_ = new QPushButton("Stop", central);
  stopButton_->setObjectName("stopButton");
  stopButton_->setToolTip("Stops the current process");
  for (QPushButton* b : {searchButton_, backButton_, nextButton_, stopButton_}) b->setMinimumWidth(80);
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
  actRecoverSelected_->setShortcut(QKeySequence("Ctrl+R"));
  actRecoverAll_ = add(recovery, "Recover &All...", "actRecoverAll", &MainWindow::recoverAll);
  recovery->addSeparator();
  actSaveSnapshot_ = add(recovery, "&Save Recovery Snapshot...", "actSaveSnapshot", &MainWindow::saveSnapshot);
  actLoadSnapshot_ = add(recovery, "&Load Recovery Snapshot...", "actLoadSnapshot", &MainWindow::loadSnapshot);
  recovery->addSeparator();
  actOpenImage_ = add(recovery, "Open Disk Image...", "actOpenImage", &MainWindow::openDiskImage);
  actRescan_ = add(recovery, "Sca&n Again", "actRescan", &MainWindow::rescan);
  actRescan_->setShortcut(QKeySequence(Qt::Key_F5));
  recovery->addSeparator();
  actExit_ = add(recovery, "E&xit...", "actExit", &MainWindow::exitCommand);
  actExit_->setShortcut(QKeySequence("Ctrl+Q"));

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
  view->addSeparator();
  actInfoPanel_ = view->addAction("&Information Panel");
  actInfoPanel_->setObjectName("actInfoPanel");
  actInfoPanel_->setCheckable(true);
  actInfoPanel_->setChecked(true);
  connect(actInfoPanel_, &QAction::toggled, this, [this](bool on) { infoArea_->setVisible(on); });
  actQuickHelp_ = view->addAction("&Quick Help");
  actQuickHelp_->setObjectName("actQuickHelp");
  actQuickHelp_->setCheckable(true);
  actQuickHelp_->setChecked(true);
  connect(actQuickHelp_, &QAction::toggled, this, [this](bool on) { quickHelp_->setVisible(on); });
  actPreview_ = view->addAction("&Preview");
  actPreview_->setObjectName("actPreview");
  actPreview_->setCheckable(true);
  actPreview_->setChecked(true);
  connect(actPreview_, &QAction::toggled, this, [this](bool on) {
    preview_->setVisible(on && step() == 3);
    if (on) updatePreview();
    else preview_->clear();
  });

  QMenu* tools = bar->addMenu("&Tools");
  tools->setObjectName("menuTools");
  actFindFiles_ = add(tools, "&Find Files...", "actFindFiles", &MainWindow::findFiles);
  actFindFiles_->setShortcut(QKeySequence("Ctrl+F"));
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
  actHomePage_ = add(help, "&Home Page", "actHomePage", &MainWindow::homePage);
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
    auto* it = new QTreeWidgetItem(root, {driveItemLabel(k)});
    it->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
    it->setData(0, kItemRole, static_cast<int>(k));
    it->setToolTip(0, qs(session_.drives[k].path));
  }
  root->setExpanded(true);
}

QString MainWindow::driveItemLabel(std::size_t k) const {
  // "Storage Device0 \u2014 WDC WD20EZRZ (1.8 TB)": the name, the model and the size.
  const DriveInfo& d = session_.drives[k];
  return qs(driveLabel(k)) + " \u2014 " + qs(d.model).simplified() + " (" +
         humanSize(d.totalSectors * std::uint64_t{kSectorSize}) + ")";
}

void MainWindow::resetPartitionTree() {
  partitionTree_->clear();
  auto* root = new QTreeWidgetItem(partitionTree_, {"Storage Device " + QString::number(ctl_->selectedDrive())});
  root->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
  root->setData(0, kItemRole, -1);
  root->setExpanded(true);
}

void MainWindow::fillPartitionItems() {
  QTreeWidgetItem* root = partitionTree_->topLevelItem(0);
  if (!root) return;
  qDeleteAll(root->takeChildren());
  for (std::size_t i = 0; i < session_.partitions.size(); ++i) {
    const PartitionEntry& p = session_.partitions[i];
    // A GPT partition's name follows its label.
    QString label = qs(partitionLabel(i, p));
    if (!p.name.empty()) label += " (" + qs(p.name) + ")";
    auto* it = new QTreeWidgetItem(root, {label});
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
    if (folderDeleted(ti)) it->setForeground(0, QBrush(QColor(255, 0, 0)));  // as in the list
    folderItems_[id] = it;
  }
  root->setExpanded(true);
}

bool MainWindow::folderDeleted(const TreeItem& ti) const {
  if (ti.folder < 0) return false;
  const auto k = static_cast<std::size_t>(ti.folder);
  if (session_.usesFatTree()) return k < session_.tree.fatFolders.size() && session_.tree.fatFolders[k].deleted;
  return k < session_.tree.ntfsFolders.size() && session_.tree.ntfsFolders[k].deleted;
}

QTreeWidgetItem* MainWindow::folderItem(std::uint32_t item) const {
  return item < folderItems_.size() ? folderItems_[item] : nullptr;
}

// ---- small helpers ------------------------------------------------------------------------

ScanType MainWindow::scanType() const {
  return advanceRadio_->isChecked() ? ScanType::Advanced : ScanType::Standard;
}

bool MainWindow::busy() const { return ctl_->busy(); }
int MainWindow::step() const { return static_cast<int>(ctl_->step()); }
int MainWindow::selectedDrive() const { return ctl_->selectedDrive(); }

void MainWindow::waitForJob() { ctl_->waitForJob(); }

QString MainWindow::quickHelpText() const { return quickHelp_->text(); }
QString MainWindow::statusText() const { return status_->text(); }

void MainWindow::setQuickHelp(std::string_view text) { quickHelp_->setText(quickHelpDisplay(text)); }

void MainWindow::showButton(QPushButton* b, bool on) {
  // Back, Next and Stop keep their places: they are disabled, never hidden.
  // Search Partitions, left of them, belongs to the partition step only.
  b->setEnabled(on);
  if (b == searchButton_) b->setVisible(on || step() == 1);
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
  setEnabledAction(actSettings_, tbSettings_, s == MenuState::Disk ? step() == 0 : true);
  actOpenImage_->setEnabled(s == MenuState::Disk && step() == 0 && ctl_->job() == Job::None);
}

QAbstractItemView* MainWindow::listView() const {
  return viewMode_ == 2 ? static_cast<QAbstractItemView*>(detailsView_) : static_cast<QAbstractItemView*>(iconView_);
}

bool MainWindow::listShown() const { return listStack_->currentWidget() == viewStack_; }

void MainWindow::setListShown(bool on) { listStack_->setCurrentWidget(on ? static_cast<QWidget*>(viewStack_) : listStack_->widget(0)); }

static std::vector<int> selectedRowNumbers(QItemSelectionModel* sm);

void MainWindow::updatePreview() {
  if (!preview_ || !actPreview_ || !actPreview_->isChecked()) return;
  const std::vector<int> rows = selectedRowNumbers(detailsView_->selectionModel());
  if (step() != 3 || busy() || rows.size() != 1) {
    preview_->clear();
    return;
  }
  preview_->showRow(session_, listModel_->row(rows.front()));
}

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
  detailsView_->horizontalHeader()->show();
  listModel_->setRenameEnabled(true);
  setListShown(true);
  showTree(folderTree_);
  folderTree_->setEnabled(true);
}

void MainWindow::showPartitionPanel(const PartitionEntry* chosen) {
  panel_->setMode(InfoPanel::Mode::Partition);
  const Selection& s = session_.sel;
  if (s.fsType != FsType::None || chosen)
    panel_->setRows(partitionInfoPanel(s.fsType, session_.diskSector(s.rangeStart), session_.diskSector(s.rangeEnd),
                                       s.rangeLength));
  if (chosen && chosen->fsType == FsType::None) panel_->setValue("Partition Type", "Unknown");
  if (chosen && !chosen->name.empty()) panel_->setImageRows({{"Partition Name", chosen->name}});
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
  endEdit_->setText(QString::number(d ? diskSectorCount(*d) : 0));
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
  startEdit_->setText(QString::number(session_.diskSector(p.start)));
  endEdit_->setText(QString::number(session_.diskSector(p.start + p.length)));
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
  if (tree == driveTree_ && step() == 0) driveChosen(item);
  else if (tree == partitionTree_ && step() == 1) partitionChosen(item);
  else if (tree == foundTree_ && step() == 2) foundFsChosen(item);
  else if (tree == folderTree_ && step() == 3) folderChosen(item);
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
  ctl_->chooseDrive(k);
  panel_->setMode(InfoPanel::Mode::Drive);
  panel_->setRows(driveInfoPanel(session_.drives[static_cast<std::size_t>(k)]));
  panel_->setImageRows(imageInfoPanel(session_.drives[static_cast<std::size_t>(k)]));
  showButton(nextButton_, true);
}

void MainWindow::partitionChosen(QTreeWidgetItem* item) {
  const PartitionEntry* chosen = nullptr;
  if (!item->parent()) {
    // The drive itself: the whole disk as the range of an advanced scan.
    if (scanType() != ScanType::Advanced) return;
    session_.selectWholeDrive(FsType::Fat32);
  } else {
    int i = item->data(0, kItemRole).toInt();
    if (i < 0 || !session_.selectPartition(static_cast<std::size_t>(i))) return;
    chosen = &session_.partitions[static_cast<std::size_t>(i)];
  }
  const Selection& s = session_.sel;
  selectComboFor(s.fsType);
  startEdit_->setText(QString::number(session_.diskSector(s.rangeStart)));
  endEdit_->setText(QString::number(session_.diskSector(s.rangeEnd)));
  showPartitionPanel(chosen);
  // A partition of no known file system: a range for the advanced scan only.
  if (s.fsType == FsType::None && scanType() != ScanType::Advanced) {
    showButton(nextButton_, false);
    okBox(this, MsgKind::Error, qs(texts::kPartitionUnknownFs));
    return;
  }
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

void MainWindow::updateFilterMark() {
  if (session_.filters.empty() || step() != 3) {
    filterMark_->hide();
    return;
  }
  // How many of the volume's files pass the filter.
  std::uint64_t total = 0, shown = 0;
  if (session_.usesFatTree()) {
    for (const FatFileNode& f : session_.tree.fatFiles) {
      ++total;
      if (session_.filters.passes(f.name)) ++shown;
    }
  } else {
    NtfsFileSet set = session_.ntfsFiles();
    if (set.valid())
      for (const NtfsFileNode& f : set.list())
        if (set.includes(f)) {
          ++total;
          if (session_.filters.passes(f.name)) ++shown;
        }
  }
  QStringList patterns;
  for (const std::string& f : session_.filters.filters()) patterns << qs(f);
  QString count = exactBytes(shown);
  count.chop(count.endsWith(" bytes") ? 6 : 5);
  QString all = exactBytes(total);
  all.chop(all.endsWith(" bytes") ? 6 : 5);
  filterMark_->setText(QString("Filter: %1 \u2014 %2 of %3 files shown").arg(patterns.join(", "), count, all));
  filterMark_->show();
}

void MainWindow::listIdentity(std::uint32_t identity) {
  listModel_->setRows(session_.listFolder(identity));
  backPressed_ = false;
  setListShown(true);
  fitColumns();
  if (viewMode_ != 2) setViewMode(viewMode_);
}

void MainWindow::fitColumns() {
  // Each column as wide as its title and the widest value shown, the name
  // column at most half the view.
  if (listModel_->columns() != FileListModel::Columns::Files) return;
  QHeaderView* h = detailsView_->horizontalHeader();
  const int maxName = std::max(200, detailsView_->viewport()->width() / 2);
  for (int c = 0; c < FileListModel::ColumnCount; ++c) {
    int wanted = std::max(h->sectionSizeHint(c), static_cast<QAbstractItemView*>(detailsView_)->sizeHintForColumn(c)) + 8;
    if (c == FileListModel::NameCol) wanted = std::min(std::max(wanted, 150), maxName);
    detailsView_->setColumnWidth(c, wanted);
  }
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
  if (step() == 3) openSelectedItem();
}

void MainWindow::openSelectedItem() {
  if (step() != 3 || busy() || renaming_) return;
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
  desktop_.openFile(this, session_, row, openWith_);
}

QMenu* MainWindow::buildListContextMenu() {
  if (step() != 3 || openFromTree_ != 0 || backPressed_ || busy()) return nullptr;
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
  if (step() != 3 || row < 0 || row >= listModel_->count()) return false;
  preview_->stop();  // the worker reads the records
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
    // Names are shown whole where there is room: the cells are as wide as
    // the longest name (up to a limit, past which the middle is left out).
    const QFontMetrics fm = iconView_->fontMetrics();
    int longest = 0;
    for (int r = 0; r < listModel_->count() && r < 5000; ++r)
      longest = std::max(longest, fm.horizontalAdvance(qs(listModel_->row(r).name)));
    if (mode == 0) {
      iconView_->setViewMode(QListView::IconMode);
      iconView_->setFlow(QListView::LeftToRight);
      iconView_->setWrapping(true);
      iconView_->setIconSize(QSize(32, 32));
      const int width = std::clamp(longest / 2 + 16, 96, 200);  // up to two lines of the longest
      iconView_->setGridSize(QSize(width, 32 + 8 + fm.lineSpacing() * 3));
      iconView_->setWordWrap(true);
      iconView_->setTextElideMode(Qt::ElideMiddle);
      actIcons_->setChecked(true);
    } else {
      iconView_->setViewMode(QListView::ListMode);
      iconView_->setFlow(QListView::TopToBottom);
      iconView_->setWrapping(true);
      iconView_->setIconSize(QSize(16, 16));
      iconView_->setGridSize(QSize(std::clamp(longest + 16 + 16, 120, 420), fm.lineSpacing() + 6));
      iconView_->setWordWrap(false);
      iconView_->setTextElideMode(Qt::ElideMiddle);
      actList_->setChecked(true);
    }
    iconView_->setMovement(QListView::Static);
    viewStack_->setCurrentWidget(iconView_);
  }
}

// ---- jobs ---------------------------------------------------------------------------------------

void MainWindow::jobStarted() {
  // Nothing that starts other work, or changes what a worker reads, is
  // available while it runs.
  applyMenuState(MenuState::Disk);
  showButton(stopButton_, true);
}

void MainWindow::jobEnded() {
  showButton(stopButton_, false);
  actOpenImage_->setEnabled(step() == 0);
}

void MainWindow::onCounter(Counter which, quint64 value) {
  if (ctl_->job() == Job::None) return;
  if (ctl_->job() == Job::StandardScan && panel_->mode() != InfoPanel::Mode::StandardScan &&
      InfoPanel::rowOf(InfoPanel::Mode::StandardScan, which) >= 0)
    standardScanWalking();
  panel_->setCounter(which, value);
}

void MainWindow::onText(TextField which, const QString& value) {
  if (ctl_->job() == Job::None) return;
  panel_->setText(which, value);
}

void MainWindow::stopCommand() {
  if (!busy()) return;
  if (yesNoBox(this, qs(texts::kStopQuestion))) ctl_->requestStop();
}

// Lost partition search.

void MainWindow::searchPartitions() {
  if (step() != 1 || busy()) return;
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
  ctl_->startLostSearch([this] { lostSearchDone(); });
}

void MainWindow::lostSearchDone() {
  progress_->hide();
  status_->clear();
  status_->hide();
  fillPartitionItems();
  const bool advanced = scanType() == ScanType::Advanced;
  if (session_.partitions.empty()) {
    okBox(this, MsgKind::Info, qs(advanced ? texts::kNoPartitionAdvanced : texts::kNoPartitionStandard));
  } else {
    status_->setText(tr(guitexts::kPartitionsFound, nullptr, static_cast<int>(session_.partitions.size())));
    status_->show();
  }
  if (advanced) {
    if (!fullDiskCheck_->isChecked()) fillRangeFirstPartition();
    showButton(nextButton_, true);
  }
  showButton(backButton_, true);
  showButton(searchButton_, true);
  partitionTree_->setEnabled(true);
  setQuickHelp(texts::kHelpPartition);
  applyMenuState(MenuState::Selection);
}

// Standard scan.

void MainWindow::startStandardScan() {
  setQuickHelp(texts::kHelpStandardScan);
  resetFolderTree();
  scanTreeShown_ = false;
  partitionTree_->setEnabled(false);
  showButton(searchButton_, false);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  ctl_->startStandardScan([this] { standardScanShowTree(); }, [this] { standardScanDone(); });
}

void MainWindow::standardScanWalking() {
  panel_->setMode(InfoPanel::Mode::StandardScan);
  ctl_->setStep(Step::Browse);
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
  if (ctl_->scanOutcome() == ScanOutcome::Done) {
    standardScanShowTree();
    setQuickHelp(texts::kHelpBrowse);
    applyMenuState(MenuState::Browse);
    // The walk is over: "Mounting volume, please wait..." no longer holds.
    status_->clear();
    status_->hide();
  } else {
    // No usable geometry: the partition can be chosen again.
    ctl_->setStep(Step::Partition);
    partitionTree_->setEnabled(true);
    showButton(backButton_, true);
    showButton(nextButton_, true);
    status_->clear();
    status_->hide();
    applyMenuState(MenuState::Selection);
  }
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
  ctl_->startDeepScan([this] { deepScanDone(); });
}

void MainWindow::deepScanDone() {
  status_->clear();
  status_->hide();
  fillFoundItems();
  foundFsLayout();
  panel_->setMode(session_.sel.fsType == FsType::Ntfs ? InfoPanel::Mode::FoundFsNtfs : InfoPanel::Mode::FoundFsFat);
  ctl_->setStep(Step::FoundFs);
  if (session_.deep.foundFsCount() != 0) applyMenuState(MenuState::Selection);
  showButton(nextButton_, false);
  setQuickHelp(texts::kHelpFoundFs);
}

// Mount of a found file system.

void MainWindow::startMount() {
  resetFolderTree();
  setQuickHelp(texts::kHelpMount);
  foundTree_->setEnabled(false);
  showButton(backButton_, false);
  showButton(nextButton_, false);
  ctl_->startMount([this] { mountDone(); });
}

void MainWindow::mountDone() {
  setQuickHelp(texts::kHelpBrowse);
  applyMenuState(MenuState::Browse);
  panel_->setMode(InfoPanel::Mode::None);
  ctl_->setStep(Step::Browse);
  fillFolderTree();
  browseLayout(false);
  openFromTree_ = 0;
  listIdentity(session_.rootIdentity());
  selectFolderItem(folderItem(FolderTree::kRoot));
  showButton(backButton_, true);
  status_->clear();
  status_->hide();
}

// ---- Next and Back --------------------------------------------------------------------------------

void MainWindow::next() {
  if (busy() || !nextButton_->isEnabled()) return;
  preview_->clear();
  session_.filters.clear();
  filterMark_->hide();
  showButton(nextButton_, false);
  switch (step()) {
    case 0: {
      std::string err;
      ctl_->setScanType(scanType());
      const auto outcome = ctl_->openChosenDrive(err);
      if (outcome == WizardController::OpenOutcome::Failed) {
        okBox(this, MsgKind::Error, qs(err));
        showButton(nextButton_, true);
        return;
      }
      resetPartitionTree();
      fillPartitionItems();
      partitionLayout();
      applyMenuState(MenuState::Selection);
      panel_->setMode(InfoPanel::Mode::Partition);
      setQuickHelp(texts::kHelpPartition);
      // A GPT read from its backup header, or one that could not be read.
      for (const std::string& w : session_.partitionWarnings) okBox(this, MsgKind::Warning, qs(w));
      if (outcome == WizardController::OpenOutcome::NoPartitions) {
        okBox(this, MsgKind::Info, qs(texts::kNoPartitionsSearching));
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
  if (busy() || step() <= 0 || !backButton_->isEnabled()) return;
  preview_->clear();  // before the tree is freed
  backPressed_ = true;
  showButton(nextButton_, false);
  filterMark_->hide();
  listModel_->clearRows();
  setListShown(false);
  const int from = step();
  if (from == 3) {
    listModel_->setDetailsColumn();
    listModel_->setRenameEnabled(false);
    detailsView_->setColumnWidth(0, FileListModel::kDetailsWidth);
    resetFolderTree();
  } else if (from == 2) {
    resetFoundTree();
  }
  // What was chosen in the step gone back to stays chosen, and Next takes it.
  switch (ctl_->back()) {
    case Step::Disk:
      diskLayout();
      applyMenuState(MenuState::Disk);
      panel_->setMode(InfoPanel::Mode::Drive);
      if (ctl_->selectedDrive() >= 0 && static_cast<std::size_t>(ctl_->selectedDrive()) < session_.drives.size()) {
        panel_->setRows(driveInfoPanel(session_.drives[static_cast<std::size_t>(ctl_->selectedDrive())]));
        panel_->setImageRows(imageInfoPanel(session_.drives[static_cast<std::size_t>(ctl_->selectedDrive())]));
        showButton(nextButton_, true);
      }
      setQuickHelp(texts::kHelpDisk);
      break;
    case Step::FoundFs:
      foundFsLayout();
      showFoundFsPanel();
      applyMenuState(MenuState::Selection);
      setQuickHelp(texts::kHelpFoundFs);
      if (session_.chosenFsIndex != 0) {
        if (QTreeWidgetItem* root = foundTree_->topLevelItem(0); root && session_.chosenFsIndex <= root->childCount()) {
          syncingTree_ = true;
          foundTree_->setCurrentItem(root->child(session_.chosenFsIndex - 1));
          syncingTree_ = false;
        }
        showButton(nextButton_, true);
      }
      break;
    case Step::Partition: {
      const Selection kept = session_.sel;
      partitionLayout();
      applyMenuState(MenuState::Selection);
      showPartitionPanel();
      setQuickHelp(texts::kHelpPartition);
      if (kept.fsType != FsType::None) {
        QTreeWidgetItem* root = partitionTree_->topLevelItem(0);
        for (int i = 0; root && i < root->childCount(); ++i) {
          const auto k = static_cast<std::size_t>(i);
          if (k < session_.partitions.size() && session_.partitions[k].start == kept.rangeStart) {
            syncingTree_ = true;
            partitionTree_->setCurrentItem(root->child(i));
            syncingTree_ = false;
            break;
          }
        }
        selectComboFor(kept.fsType);
        startEdit_->setText(QString::number(session_.diskSector(kept.rangeStart)));
        endEdit_->setText(QString::number(session_.diskSector(kept.rangeEnd)));
        showButton(nextButton_, true);
      }
      break;
    }
    default:
      break;
  }
}

// ---- commands -------------------------------------------------------------------------------------

void MainWindow::recoverSelected() {
  if (busy() || step() != 3 || !actRecoverSelected_->isEnabled()) return;
  recoverRows(this, session_, selectedRows(), {}, desktop_.openUrl);
}

void MainWindow::recoverAll() {
  if (busy() || step() != 3 || !actRecoverAll_->isEnabled()) return;
  recoverRows(this, session_, recoverAllRows(), {}, desktop_.openUrl);
}

std::vector<ListRow> MainWindow::recoverAllRows() const {
  std::vector<ListRow> rows = allRows();
  // The NTFS system files of the root ($MFT, $LogFile, ..., $Extend) stay
  // out unless the settings ask for them; Recover Selected takes them.
  const bool root = folderTree_->currentItem() == folderItem(FolderTree::kRoot);
  if (root && session_.vp.fsType == FsType::Ntfs && !session_.settings.includeSystemFiles)
    std::erase_if(rows, [](const ListRow& r) { return !r.name.empty() && r.name.front() == '$'; });
  return rows;
}

void MainWindow::saveSnapshot() {
  if (busy() || step() != 3 || !actSaveSnapshot_->isEnabled()) return;
  saveSnapshotCommand(this, session_);
}

void MainWindow::loadSnapshot() {
  if (busy() || !actLoadSnapshot_->isEnabled()) return;
  preview_->clear();  // the tree is replaced
  if (!loadSnapshotCommand(this, session_)) return;
  // A snapshot keeps no verdicts: they are judged again from the disk.
  session_.assessRecoverability();
  // The loaded tree is browsed as after a scan.
  partitionTree_->setEnabled(false);
  foundTree_->setEnabled(false);
  {
    QSignalBlocker block(standardRadio_);
    (session_.scanType == ScanType::Advanced ? advanceRadio_ : standardRadio_)->setChecked(true);
  }
  panel_->setMode(InfoPanel::Mode::StandardScan);
  panel_->setCounter(Counter::FoldersFound, session_.tree.folderCount);
  panel_->setCounter(Counter::FilesFound, session_.tree.fileCount);
  ctl_->setStep(Step::Browse);
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
  if (busy() || step() != 0) return;
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
  auto* it = new QTreeWidgetItem(root, {driveItemLabel(k)});
  it->setIcon(0, styleIcon(QStyle::SP_DriveHDIcon));
  it->setData(0, kItemRole, static_cast<int>(k));
  it->setToolTip(0, path);
  root->setExpanded(true);
  // The image just added is the one to scan: chosen at once.
  if (step() == 0) chooseTreeItem(it);
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
  ctl_->requestStop();
  ctl_->waitForJob();
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
    ctl_->requestStop();
    ctl_->waitForJob();
    freeAll();
  }
  saveLayout();
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
  if (busy() || step() != 3 || !actFindFiles_->isEnabled()) return;
  FindActions actions;
  actions.goTo = [this](const FindHit& h) { goToHit(h); };
  actions.recover = [this](const std::vector<ListRow>& rows) { recoverRows(this, session_, rows, {}, desktop_.openUrl); };
  actions.open = [this](const ListRow& row, bool openWith) { desktop_.openFile(this, session_, row, openWith); };
  showFindFiles(this, session_, std::move(actions));
}

bool MainWindow::goToHit(const FindHit& h) {
  if (step() != 3 || busy() || h.path.empty()) return false;
  // "/A/B": down the folder tree by the labels.
  QTreeWidgetItem* it = folderItem(FolderTree::kRoot);
  for (const QString& part : qs(h.path).split('/', Qt::SkipEmptyParts)) {
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; it && i < it->childCount() && !next; ++i)
      if (it->child(i)->text(0) == part) next = it->child(i);
    if (!next) return false;
    it = next;
  }
  if (!it) return false;
  openFolderItem(it->data(0, kItemRole).toUInt());
  for (int r = 0; r < listModel_->count(); ++r) {
    const ListRow& row = listModel_->row(r);
    if (!row.folder && row.id == h.id && row.name == h.name) {
      QAbstractItemView* v = listView();
      v->selectionModel()->setCurrentIndex(listModel_->index(r, FileListModel::NameCol),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      v->scrollTo(listModel_->index(r, FileListModel::NameCol));
      v->setFocus(Qt::OtherFocusReason);
      openFromTree_ = 0;
      return true;
    }
  }
  return false;
}

void MainWindow::fileFilters() {
  if (busy() || step() != 3 || !actFileFilters_->isEnabled()) return;
  showFileFilters(this, session_);
  // The filter takes effect at once: the root folder, listed again.
  folderTree_->setFocus(Qt::OtherFocusReason);
  selectFolderItem(folderItem(FolderTree::kRoot));
  openFromTree_ = 1;
  listIdentity(session_.rootIdentity());
  updateFilterMark();
}

void MainWindow::settings() {
  if (busy() || !actSettings_->isEnabled()) return;
  showRecoverySettings(this, session_);
  saveRecoverySettings(session_.settings);
}

void MainWindow::driveInformation() {
  if (busy() || step() != 3 || !actDriveInfo_->isEnabled()) return;
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
  if (step() != 3 || openFromTree_ != 0 || renaming_ || busy()) return;
  int r = currentRow();
  if (r < 0) return;
  QAbstractItemView* v = listView();
  QModelIndex idx = listModel_->index(r, FileListModel::NameCol);
  v->setCurrentIndex(idx);
  v->setFocus(Qt::OtherFocusReason);
  v->edit(idx);
}

void MainWindow::propertiesCommand() {
  if (step() != 3 || busy()) return;
  int r = currentRow();
  if (r < 0) return;
  showProperties(this, session_, listModel_->row(r));
}

bool MainWindow::openUrl(const QUrl& url) {
  return desktop_.openUrl(url);
}

void MainWindow::liveUpdate() {
  // Updates come with the system's packages; the window says so and which
  // version runs.
  okBox(this, MsgKind::Info, QString::fromUtf8(guitexts::kLiveUpdate).arg(QString::fromLatin1(OSPRIN_VERSION)));
}

QString MainWindow::manualPath() {
  for (const char* p : {OSPRIN_MANUAL_INSTALLED, OSPRIN_MANUAL_BUILD})
    if (QFileInfo::exists(QString::fromLocal8Bit(p))) return QString::fromLocal8Bit(p);
  // Installed beside the program (a relocated install).
  QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("../share/doc/osprin/osprin-manual.html");
  return QFileInfo::exists(beside) ? QFileInfo(beside).canonicalFilePath() : QString();
}

void MainWindow::helpContents() {
  const QString file = manualPath();
  if (file.isEmpty()) {
    okBox(this, MsgKind::Error, QString::fromUtf8(guitexts::kManualMissing).arg(QString::fromLocal8Bit(OSPRIN_MANUAL_INSTALLED)));
    return;
  }
  if (!openUrl(QUrl::fromLocalFile(file)))
    okBox(this, MsgKind::Info, QString::fromUtf8(guitexts::kNoBrowser).arg(file));
}

void MainWindow::openProjectPage() {
  if (!openUrl(QUrl(QString::fromLatin1(kHomePage))))
    okBox(this, MsgKind::Info, QString::fromUtf8(guitexts::kNoBrowser).arg(QString::fromLatin1(kHomePage)));
}

void MainWindow::buyOnline() { openProjectPage(); }
void MainWindow::homePage() { openProjectPage(); }

void MainWindow::about() {
  okBox(this, MsgKind::Info,
        QString::fromUtf8(guitexts::kAbout).arg(QString::fromLatin1(OSPRIN_VERSION), QString::fromLatin1(kHomePage)));
}

void MainWindow::rescan() {
  if (busy()) return;
  preview_->clear();
  if (step() == 0) {
    // The drive list again (a disk plugged in since), images kept.
    std::vector<DriveInfo> images;
    for (const DriveInfo& d : session_.drives)
      if (d.isImage) images.push_back(d);
    QStringList errors;
    ctl_->listDrives({}, sysRoot_, errors);
    for (DriveInfo& d : images) session_.drives.push_back(std::move(d));
    fillDriveTree();
    ctl_->chooseDrive(-1);
    showButton(nextButton_, false);
    return;
  }
  if (step() == 1 && ctl_->job() == Job::None) {
    searchPartitions();
    return;
  }
  if (step() == 3 && session_.scanType == ScanType::Standard && session_.sel.fsType != FsType::None &&
      backButton_->isEnabled()) {
    // The same partition, scanned again.
    back();
    if (step() == 1 && nextButton_->isEnabled()) next();
  }
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
  if ((k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) && step() < 3 &&
      (watched == driveTree_ || watched == partitionTree_ || watched == foundTree_)) {
    // Enter in the tree of a selection step chooses the item and goes on.
    auto* tree = static_cast<QTreeWidget*>(watched);
    if (QTreeWidgetItem* it = tree->currentItem()) treeItemChosen(tree, it);
    next();
    return true;
  }
  if (qobject_cast<QTreeWidget*>(watched)) {
    // Keyboard moves in a tree choose the item as a click does.
    treeKeyNav_ = true;
    QTimer::singleShot(0, this, [this] { treeKeyNav_ = false; });
  }
  if (step() != 3 || !(isList || isFolderTree)) return QMainWindow::eventFilter(watched, e);
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
