#pragma once
// The wizard without its widgets: which step is shown, what Next and Back
// do to the Session, and the one long job that may run at a time. The
// window (and the tests) drive it; it tells them what changed by signals.
//
//   Disk       choose a disk and a scan type
//   Partition  choose a partition (standard scan) or a range (advanced scan)
//   FoundFs    choose a file system the deep scan found
//   Browse     the rebuilt tree: browse, find, recover
#include <QObject>
#include <functional>
#include <string>

#include "app/session.h"

class QWidget;

namespace osprin::gui {

class JobRunner;
class QtObserver;

enum class Step { Starting = -1, Disk = 0, Partition = 1, FoundFs = 2, Browse = 3 };
enum class Job { None, LostSearch, StandardScan, DeepScan, Mount };

class WizardController : public QObject {
  Q_OBJECT
 public:
  // Message boxes of the jobs are shown over `boxParent`.
  explicit WizardController(QWidget* boxParent, QObject* parent = nullptr);
  ~WizardController() override;

  Session& session() { return session_; }
  const Session& session() const { return session_; }
  Step step() const { return step_; }
  Job job() const { return job_; }
  bool busy() const;
  QtObserver* observer() const { return observer_; }
  StopFlag& stopFlag() { return stop_; }
  // Waits until the running job (if any) has ended and its `done` has run.
  void waitForJob();
  // Asks the running job to stop.
  void requestStop() { stop_.store(1); }

  // ---- the Disk step ------------------------------------------------------------
  void listDrives(const QStringList& images, const QString& sysRoot, QStringList& errors);
  int selectedDrive() const { return selectedDrive_; }
  // A drive of the list (false for an index outside it).
  bool chooseDrive(int index);
  ScanType scanType() const { return scanType_; }
  void setScanType(ScanType t) { scanType_ = t; }

  // Next from the Disk step: opens the chosen drive and reads its partition
  // tables. Failed leaves the step as it was with a message in `error`.
  // A disk the user may not read is opened through `deviceOpener` (the
  // desktop's disk service); where that fails, `error` says what to do.
  enum class OpenOutcome { Failed, Partitions, NoPartitions };
  OpenOutcome openChosenDrive(std::string& error);
  using DeviceOpener = std::function<int(const QString& device, QString& error, bool& serviceMissing)>;
  void setDeviceOpener(DeviceOpener opener) { deviceOpener_ = std::move(opener); }

  // ---- jobs ---------------------------------------------------------------------
  // `done` runs on the window thread when the job has ended. The standard
  // scan's `beforeInfo` runs (on the window thread, the worker waiting) just
  // before its closing information box, so the tree can be shown under it.
  // The standard scan and the mount then judge the deleted files'
  // recoverability (Session::assessRecoverability), which the rows carry.
  bool startLostSearch(std::function<void()> done);
  bool startStandardScan(std::function<void()> beforeInfo, std::function<void()> done);
  bool startDeepScan(std::function<void()> done);
  bool startMount(std::function<void()> done);
  ScanOutcome scanOutcome() const { return scanOutcome_; }

  // The step the window shows; moving on after a job or a loaded snapshot.
  void setStep(Step s);

  // Back: frees what the step held and returns to the one before (Browse
  // goes to FoundFs after an advanced scan, to Partition after a standard
  // one). The selections of the earlier steps are kept.
  Step back();

 signals:
  void stepChanged(Step step);
  void jobStarted(Job job);
  void jobEnded(Job job);

 private:
  bool startJob(Job kind, std::function<void(Observer&)> work, std::function<void()> done,
                std::function<void()> beforeInfo = {}, std::function<void()> beforeInfoWork = {});

  bool openThroughService(std::string& error);
  Session session_;
  DeviceOpener deviceOpener_;
  Step step_ = Step::Starting;
  Job job_ = Job::None;
  int selectedDrive_ = -1;
  ScanType scanType_ = ScanType::Standard;
  ScanOutcome scanOutcome_ = ScanOutcome::Done;
  StopFlag stop_{0};
  JobRunner* jobs_ = nullptr;
  QtObserver* observer_ = nullptr;
};

}  // namespace osprin::gui
