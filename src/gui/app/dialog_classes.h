#pragma once
// The dialog windows behind the entry points of dialogs.h. The entry points
// build one, run it modally and act on the answer; tests build them directly.
#include <QDialog>
#include <QElapsedTimer>
#include <functional>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "app/desktop_apps.h"
#include "app/dialogs.h"
#include "app/qt_observer.h"
#include "app/session.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QTreeWidgetItem;
class QMenu;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace osprin::gui {

// "Saving the data please wait": shows the copy's progress; "&Stop Saving"
// (the default button, also Enter) and "S&kip File" set the flags. Escape and
// the close box do nothing: the dialog closes only when finish() is called,
// that is when the worker has ended.
class SavingDialog : public QDialog {
  Q_OBJECT
 public:
  SavingDialog(QWidget* parent, RecoveryFlags& flags);
  // Shows the observer's text values (the folder and the file being
  // written), its count of files saved and progress.
  void follow(QtObserver& obs);
  // The files and bytes the run is to copy: "Overall" shows n of N and the
  // time left.
  void setPlanned(std::uint64_t files, std::uint64_t bytes);
  void finish();
  bool finished() const { return finished_; }
  void reject() override;

  QLabel* pathValue = nullptr;
  QLabel* nameValue = nullptr;
  QLabel* totalValue = nullptr;
  QLabel* overallValue = nullptr;
  QProgressBar* bar = nullptr;
  QPushButton* stopButton = nullptr;
  QPushButton* skipButton = nullptr;

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void showOverall(std::uint64_t done);
  RecoveryFlags& flags_;
  bool finished_ = false;
  std::uint64_t plannedFiles_ = 0;
  std::uint64_t plannedBytes_ = 0;
  QElapsedTimer clock_;
};

// The end of a recovery: how many files were written where (a button opens
// the folder in the file manager), and each file that failed or was left
// incomplete, with its reason.
class RecoverySummaryDialog : public QDialog {
  Q_OBJECT
 public:
  // `report`: the report written, shown under the folder ("" for none).
  RecoverySummaryDialog(QWidget* parent, const RecoveryResult& r, const QString& folder,
                        std::function<bool(const QUrl&)> openUrl, const QString& report = {});
  QLabel* headline = nullptr;
  QLabel* folderValue = nullptr;
  QLabel* reportValue = nullptr;  // null without a report
  QPushButton* openFolderButton = nullptr;
  QListWidget* problems = nullptr;
};

// "Recovery Settings": the four settings; accept() stores them.
class RecoverySettingsDialog : public QDialog {
  Q_OBJECT
 public:
  RecoverySettingsDialog(QWidget* parent, RecoverySettings& settings);
  void accept() override;

  QComboBox* sectorsCombo = nullptr;
  QComboBox* retriesCombo = nullptr;
  QButtonGroup* duplicateGroup = nullptr;  // ids 1, 2, 3
  QButtonGroup* deletedGroup = nullptr;    // ids 1, 2, 3
  QCheckBox* systemFilesCheck = nullptr;
  QCheckBox* onlyIntactCheck = nullptr;  // deleted files only when their data is intact
  QPushButton* okButton = nullptr;
  QPushButton* cancelButton = nullptr;

 private:
  RecoverySettings& settings_;
};

// "File Filters": the list of filters, newest on top. Closing it (button,
// Escape or close box) stores the list into the session's filter table.
class FileFiltersDialog : public QDialog {
  Q_OBJECT
 public:
  FileFiltersDialog(QWidget* parent, Session& s);
  // "&Add": the checks and their messages; true when the filter was added.
  bool add();
  // "&Remove": the selected entry, if any.
  void remove();
  // The list, top to bottom.
  std::vector<std::string> entries() const;
  void done(int r) override;

  QLineEdit* edit = nullptr;
  QListWidget* list = nullptr;
  QPushButton* addButton = nullptr;
  QPushButton* removeButton = nullptr;
  QPushButton* closeButton = nullptr;

 private:
  Session& s_;
  FilterTable work_;  // mirrors the list
};

// "Find File(s)": a pattern, the results, and a search on a worker thread
// that "S&top Search" pauses, then abandons or resumes.
class FindFilesDialog : public QDialog {
  Q_OBJECT
 public:
  FindFilesDialog(QWidget* parent, Session& s);
  ~FindFilesDialog() override;
  void startSearch();
  void stopSearch();
  bool searching() const { return runner_.running(); }
  // Waits for a running search (tests, closing).
  void waitForSearch();
  void done(int r) override;

  QLineEdit* patternEdit = nullptr;
  QTreeWidget* results = nullptr;
  QPushButton* startButton = nullptr;
  QPushButton* stopButton = nullptr;
  QLabel* foundValue = nullptr;
  QLabel* lastValue = nullptr;

  // Tests: called on the worker thread before each hit is queued.
  std::function<void(const FindHit&)> onWorkerHit;
  // What a hit leads to (set by the window).
  FindActions actions;
  // The context menu of a hit (nullptr for none); the caller owns it.
  QMenu* buildHitMenu(QTreeWidgetItem* item);
  // Double-click: closes the dialog and goes to the hit's folder.
  void goToItem(QTreeWidgetItem* item);
  static FindHit hitOf(const QTreeWidgetItem* item);
  static ListRow rowOf(const FindHit& h);

 signals:
  void searchFinished();

 private:
  void deliver();  // window thread: queued hits into the list
  void workerHit(const FindHit& hit);
  void abandon();

  Session& s_;
  JobRunner runner_;
  std::atomic<int> cancel_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  bool paused_ = false;
  bool deliveryQueued_ = false;
  std::deque<FindHit> queue_;
};

// "Drive Information": the mounted volume's figures.
class DriveInformationDialog : public QDialog {
  Q_OBJECT
 public:
  DriveInformationDialog(QWidget* parent, const Session& s);
  std::vector<QLabel*> labels;
  std::vector<QLabel*> values;
};

// "File/Folder Properties" of one list row.
class PropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  PropertiesDialog(QWidget* parent, Session& s, const ListRow& row);
  QLabel* nameValue = nullptr;
  QLabel* sizeValue = nullptr;
  QLabel* containsLabel = nullptr;
  QLabel* containsValue = nullptr;
  QLabel* createdValue = nullptr;
  QLabel* modifiedValue = nullptr;
};

// The texts of "File/Folder Properties".
QString folderSizeMbText(std::uint64_t bytes);               // "N MB" or "Less than 1 MB"
QString folderContainsText(const FolderStats& st);           // "F File(s) and D Folder(s)"

// The chooser of "Open &With...": the applications registered for the
// file's type, and a field for a command of the user's own.
class OpenWithDialog : public QDialog {
  Q_OBJECT
 public:
  OpenWithDialog(QWidget* parent, const QString& file, std::vector<DesktopApp> apps);
  // After accept(): the command line to run for the file (the chosen
  // application's, or the typed one), already expanded.
  QStringList commandLine() const;
  void accept() override;

  QListWidget* appList = nullptr;
  QLineEdit* commandEdit = nullptr;
  QPushButton* okButton = nullptr;

 private:
  QString file_;
  std::vector<DesktopApp> apps_;
};

}  // namespace osprin::gui
