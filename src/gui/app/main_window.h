#pragma once
// The desktop program's one window, run as a wizard (WizardController holds
// the steps, the Session and the running job): 0 choose a disk and a scan
// type, 1 choose a partition or a range, 2 choose a found file system
// (advanced scan), 3 browse the rebuilt tree and recover.
#include <QMainWindow>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "app/desktop_integration.h"
#include "app/session.h"
#include "tree/folder_tree.h"

class QAction;
class QAbstractItemView;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSplitter;
class QStackedWidget;
class QTableView;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace osprin::gui {

class FileListModel;
class InfoPanel;
class PreviewPane;
class JobRunner;
class QtObserver;
class WizardController;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  // `images` are listed as drives after the machine's disks (found under
  // `sysRoot`; tests pass a folder without disks).
  // `desktop`: how web pages, files and programs are opened (members left
  // empty use the running desktop's).
  explicit MainWindow(const QStringList& images, QWidget* parent = nullptr, const QString& sysRoot = "/sys/block",
                      DesktopIntegration desktop = {});
  ~MainWindow() override;

  // Images of the command line that could not be opened, with the reason.
  const QStringList& startupErrors() const { return startupErrors_; }

  // ---- state, for the tests and the screenshot mode ----------------------------
  int step() const;
  WizardController& controller() { return *ctl_; }
  ScanType scanType() const;
  Session& session() { return session_; }
  bool busy() const;
  // Waits until the running job (if any) has ended and the window has taken
  // its result.
  void waitForJob();
  int openFromTree() const { return openFromTree_; }
  bool backPressed() const { return backPressed_; }
  bool renaming() const { return renaming_; }
  int selectedDrive() const;
  FileListModel* listModel() const { return listModel_; }
  // The list view shown now (Details: the table; Icons and List: the list view).
  QAbstractItemView* listView() const;
  bool listShown() const;
  QTreeWidget* driveTree() const { return driveTree_; }
  QTreeWidget* partitionTree() const { return partitionTree_; }
  QTreeWidget* foundTree() const { return foundTree_; }
  QTreeWidget* folderTree() const { return folderTree_; }
  // The left tree shown now.
  QTreeWidget* currentTree() const;
  InfoPanel* infoPanel() const { return panel_; }
  QString quickHelpText() const;
  QString statusText() const;
  // The list's context menu as it would be shown now (nullptr when it would
  // not be shown); the caller owns it.
  QMenu* buildListContextMenu();
  // The folder tree item of a tree item number (nullptr when none).
  QTreeWidgetItem* folderItem(std::uint32_t item) const;

  // The installed manual, or the one of the build tree ("" when neither is there).
  static QString manualPath();
  // The rows Recover All copies: the list shown, without the NTFS system
  // files of the root unless the settings ask for them.
  std::vector<ListRow> recoverAllRows() const;
  // A hit of Find: its folder listed with the file selected; false when it
  // is not reachable (a file whose folder is not in the tree, or filtered out).
  bool goToHit(const FindHit& hit);
  QLabel* filterMark() const { return filterMark_; }
  PreviewPane* previewPane() const { return preview_; }

 public slots:
  // Wizard buttons.
  void next();
  void back();
  void stopCommand();
  void searchPartitions();
  // Commands of the menus, the toolbar and the context menu.
  void recoverSelected();
  void recoverAll();
  void saveSnapshot();
  void loadSnapshot();
  void openDiskImage();
  // Asks, and on Yes frees everything and closes the window.
  void exitCommand();
  void setViewIcons();
  void setViewList();
  void setViewDetails();
  void findFiles();
  void fileFilters();
  void settings();
  void driveInformation();
  void liveUpdate();
  void helpContents();
  void buyOnline();
  void homePage();
  void about();
  // F5: the drive list again (Disk step), the partition search (Partition
  // step), the same standard scan again (Browse step).
  void rescan();
  void openCommand();
  void openWithCommand();
  void renameCommand();
  void propertiesCommand();
  // Opens the current target (a list row or the selected folder), as a
  // double click or Enter does.
  void openSelectedItem();
  // Adds an image file as the next drive; false with a message box.
  bool addImage(const QString& path);
  // Makes `item` of the tree shown now current and acts as a click on it.
  void chooseTreeItem(QTreeWidgetItem* item);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  enum class MenuState { Disk, Selection, Browse };

  void buildMenus();
  void buildToolbar();
  void buildCentral();
  QTreeWidget* makeTree(const QString& name);
  void showTree(QTreeWidget* t);
  void fillDriveTree();
  QString driveItemLabel(std::size_t k) const;
  void resetPartitionTree();
  void fillPartitionItems();
  void resetFoundTree();
  void fillFoundItems();
  void resetFolderTree();
  void fillFolderTree();

  void setQuickHelp(std::string_view text);
  void applyMenuState(MenuState s);
  void setEnabledAction(QAction* menu, QAction* tool, bool on);
  void showButton(QPushButton* b, bool on);

  // Layouts.
  void diskLayout();
  void partitionLayout();
  void foundFsLayout();
  void browseLayout(bool sizeRightAligned);
  void showPartitionPanel(const PartitionEntry* chosen = nullptr);
  void showFoundFsPanel();
  void fillRangeFullDisk();
  void fillRangeFirstPartition();
  void selectComboFor(FsType t);
  void fullDiskToggled(bool on);

  // Tree clicks.
  void treeItemChosen(QTreeWidget* tree, QTreeWidgetItem* item);
  void driveChosen(QTreeWidgetItem* item);
  void partitionChosen(QTreeWidgetItem* item);
  void foundFsChosen(QTreeWidgetItem* item);
  void folderChosen(QTreeWidgetItem* item);

  // The list.
  void listIdentity(std::uint32_t identity);
  // Shows the one selected file in the preview pane (cleared otherwise).
  void updatePreview();
  void fitColumns();
  void openFolderItem(std::uint32_t item);
  void selectFolderItem(QTreeWidgetItem* it);
  int currentRow() const;
  std::vector<ListRow> selectedRows() const;
  std::vector<ListRow> allRows() const;
  void listDoubleClicked();
  void showListContextMenu(const QPoint& globalPos);
  bool renameRow(int row, const QString& name);
  void setListShown(bool on);
  void setViewMode(int mode);

  // Jobs.
  void jobStarted();
  void jobEnded();
  void startLostSearch();
  void lostSearchDone();
  void startStandardScan();
  void standardScanWalking();
  void standardScanShowTree();
  void standardScanDone();
  void startDeepScan();
  void deepScanDone();
  void startMount();
  void mountDone();
  void onCounter(Counter which, quint64 value);
  void onText(TextField which, const QString& value);

  bool openUrl(const QUrl& url);
  void openProjectPage();
  void updateFilterMark();
  bool folderDeleted(const TreeItem& ti) const;
  void restoreLayout();
  void saveLayout();
  void freeAll();

  WizardController* ctl_;
  Session& session_;
  QtObserver* observer_;
  DesktopIntegration desktop_;
  QStringList startupErrors_;
  QString sysRoot_;
  QSplitter* paneSplit_ = nullptr;
  QSplitter* vSplit_ = nullptr;
  QSplitter* previewSplit_ = nullptr;  // the list and the preview
  PreviewPane* preview_ = nullptr;
  QAction* actPreview_ = nullptr;
  QWidget* infoArea_ = nullptr;
  QLabel* filterMark_ = nullptr;
  QAction* actRescan_ = nullptr;
  QAction* actInfoPanel_ = nullptr;
  QAction* actQuickHelp_ = nullptr;
  QAction* actHomePage_ = nullptr;
  int openFromTree_ = 0;
  bool openWith_ = false;
  bool renaming_ = false;
  bool backPressed_ = false;
  bool exitConfirmed_ = false;
  bool syncingTree_ = false;
  bool treeKeyNav_ = false;
  bool scanTreeShown_ = false;

  // Left pane.
  QStackedWidget* treeStack_ = nullptr;
  QTreeWidget* driveTree_ = nullptr;
  QTreeWidget* partitionTree_ = nullptr;
  QTreeWidget* foundTree_ = nullptr;
  QTreeWidget* folderTree_ = nullptr;
  std::vector<QTreeWidgetItem*> folderItems_;  // by tree item number

  // Right pane.
  QStackedWidget* listStack_ = nullptr;
  QStackedWidget* viewStack_ = nullptr;
  QTableView* detailsView_ = nullptr;
  QListView* iconView_ = nullptr;
  FileListModel* listModel_ = nullptr;
  int viewMode_ = 2;  // 0 icons, 1 list, 2 details

  // Wizard controls.
  InfoPanel* panel_ = nullptr;
  QLabel* quickHelp_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* nextButton_ = nullptr;
  QPushButton* backButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QGroupBox* scanTypeGroup_ = nullptr;
  QRadioButton* standardRadio_ = nullptr;
  QRadioButton* advanceRadio_ = nullptr;
  QToolButton* scanTypeHelp_ = nullptr;
  QGroupBox* rangeGroup_ = nullptr;
  QComboBox* fsCombo_ = nullptr;
  QLineEdit* startEdit_ = nullptr;
  QLineEdit* endEdit_ = nullptr;
  QCheckBox* fullDiskCheck_ = nullptr;
  QToolButton* rangeHelp_ = nullptr;

  // Commands.
  QAction* actRecoverSelected_ = nullptr;
  QAction* actRecoverAll_ = nullptr;
  QAction* actSaveSnapshot_ = nullptr;
  QAction* actLoadSnapshot_ = nullptr;
  QAction* actOpenImage_ = nullptr;
  QAction* actExit_ = nullptr;
  QAction* actIcons_ = nullptr;
  QAction* actList_ = nullptr;
  QAction* actDetails_ = nullptr;
  QAction* actFindFiles_ = nullptr;
  QAction* actFileFilters_ = nullptr;
  QAction* actSettings_ = nullptr;
  QAction* actDriveInfo_ = nullptr;
  QAction* actLiveUpdate_ = nullptr;
  QAction* actContents_ = nullptr;
  QAction* actBuyOnline_ = nullptr;
  QAction* actAbout_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QAction* tbRecoverSelected_ = nullptr;
  QAction* tbRecoverAll_ = nullptr;
  QAction* tbSaveSnapshot_ = nullptr;
  QAction* tbLoadSnapshot_ = nullptr;
  QAction* tbFindFiles_ = nullptr;
  QAction* tbSettings_ = nullptr;
  QAction* tbLiveUpdate_ = nullptr;
};

}  // namespace osprin::gui
