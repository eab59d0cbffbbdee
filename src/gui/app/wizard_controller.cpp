#include "app/wizard_controller.h"

#include <QMetaObject>
#include <QThread>
#include <unistd.h>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <utility>

#include "app/gui_texts.h"
#include "app/qt_observer.h"
#include "disk/block_source.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

// Passes a job's reports on to the window's observer; before an information
// box it runs `beforeInfo` on the window thread.
class JobObserver : public Observer {
 public:
  JobObserver(Observer& to, QObject* home) : to_(to), home_(home) {}
  std::function<void()> beforeInfo;
  // Runs once on the worker, before the first information box (the work
  // is over then; the box closes the job).
  std::function<void()> beforeInfoWork;

  void progress(int p) override { to_.progress(p); }
  void progressVisible(bool v) override { to_.progressVisible(v); }
  void counter(Counter c, std::uint64_t v) override { to_.counter(c, v); }
  void text(TextField f, std::string_view v) override { to_.text(f, v); }
  void phase(const PhaseInfo& p) override { to_.phase(p); }
  void stopVisible(bool v) override { to_.stopVisible(v); }
  void message(MsgKind kind, std::string_view t) override {
    if (kind == MsgKind::Info && beforeInfoWork) std::exchange(beforeInfoWork, {})();
    if (kind == MsgKind::Info && beforeInfo) {
      auto fn = beforeInfo;
      if (QThread::currentThread() == home_->thread()) fn();
      else QMetaObject::invokeMethod(home_, fn, Qt::BlockingQueuedConnection);
    }
    to_.message(kind, t);
  }
  bool ask(std::string_view t) override { return to_.ask(t); }

 private:
  Observer& to_;
  QObject* home_;
};

}  // namespace

WizardController::WizardController(QWidget* boxParent, QObject* parent) : QObject(parent) {
  jobs_ = new JobRunner(this);
  observer_ = new QtObserver(boxParent, this);
}

WizardController::~WizardController() {
  stop_.store(1);
  jobs_->wait();
}

bool WizardController::busy() const { return jobs_->running() || job_ != Job::None; }

void WizardController::waitForJob() { jobs_->wait(); }

void WizardController::listDrives(const QStringList& images, const QString& sysRoot, QStringList& errors) {
  session_.enumerateDrives({}, sysRoot.toStdString());
  for (const QString& img : images) {
    std::string err;
    if (!session_.addImage(us(img), err)) errors << img + ": " + qs(err);
  }
  setStep(Step::Disk);
}

bool WizardController::chooseDrive(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= session_.drives.size()) return false;
  selectedDrive_ = index;
  return true;
}

WizardController::OpenOutcome WizardController::openChosenDrive(std::string& error) {
  if (step_ != Step::Disk || busy()) return OpenOutcome::Failed;
  if (selectedDrive_ < 0) {
    error = "no drive is chosen";
    return OpenOutcome::Failed;
  }
  if (!session_.openDrive(selectedDrive_, error) && !openThroughService(error)) return OpenOutcome::Failed;
  session_.sel = Selection{};
  session_.filters.clear();
  const bool found = session_.readPartitionTables();
  setStep(Step::Partition);
  return found ? OpenOutcome::Partitions : OpenOutcome::NoPartitions;
}

bool WizardController::openThroughService(std::string& error) {
  const DriveInfo& d = session_.drives[static_cast<std::size_t>(selectedDrive_)];
  // Only a device the user lacks the rights to read: other failures (a
  // missing medium, an image gone) stand as they are.
  if (d.isImage || ::access(d.path.c_str(), F_OK) != 0 || ::access(d.path.c_str(), R_OK) == 0) return false;
  QString why;
  bool missing = true;
  const int fd = deviceOpener_ ? deviceOpener_(qs(d.path), why, missing) : -1;
  if (fd >= 0) {
    std::string err;
    auto src = FileBlockSource::adopt(fd, d.path, err);
    if (src) {
      session_.openDriveFrom(selectedDrive_, std::move(src));
      return true;
    }
    why = qs(err);
  }
  error = us(QString(missing ? guitexts::kNoRightsNoService : guitexts::kNoRightsRefused).arg(qs(d.path), why));
  return false;
}

bool WizardController::startJob(Job kind, std::function<void(Observer&)> work, std::function<void()> done,
                                std::function<void()> beforeInfo, std::function<void()> beforeInfoWork) {
  if (busy()) return false;
  job_ = kind;
  stop_.store(0);
  emit jobStarted(kind);
  auto obs = std::make_shared<JobObserver>(*observer_, this);
  obs->beforeInfo = std::move(beforeInfo);
  obs->beforeInfoWork = std::move(beforeInfoWork);
  bool ok = jobs_->start(
      [obs, work = std::move(work)] {
        try {
          work(*obs);
          // The work is over: what was to run before its closing box runs now
          // if no box came.
          if (obs->beforeInfoWork) std::exchange(obs->beforeInfoWork, {})();
        } catch (const std::bad_alloc&) {
          obs->message(MsgKind::Error, texts::kOutOfMemory);
          std::_Exit(1);  // running out of memory is a failure of the program, never a success
        } catch (const std::exception& e) {
          // A fault of the core must not take the window down with it.
          obs->message(MsgKind::Error, std::string("The operation failed: ") + e.what());
        }
      },
      [this, kind, done = std::move(done)] {
        if (done) done();
        job_ = Job::None;
        stop_.store(0);
        emit jobEnded(kind);
      });
  if (!ok) {
    job_ = Job::None;
    emit jobEnded(kind);
  }
  return ok;
}

bool WizardController::startLostSearch(std::function<void()> done) {
  if (step_ != Step::Partition) return false;
  return startJob(
      Job::LostSearch, [this](Observer& o) { session_.searchLostPartitions(stop_, o); }, std::move(done));
}

bool WizardController::startStandardScan(std::function<void()> beforeInfo, std::function<void()> done) {
  if (step_ != Step::Partition || session_.sel.fsType == FsType::None) return false;
  scanOutcome_ = ScanOutcome::Failed;
  // The verdicts of the deleted files are judged once the walk is over,
  // before the closing box shows the tree.
  return startJob(
      Job::StandardScan, [this](Observer& o) { scanOutcome_ = session_.standardScan(stop_, o); },
      [this, done = std::move(done)] {
        setStep(scanOutcome_ == ScanOutcome::Done ? Step::Browse : Step::Partition);
        if (done) done();
      },
      std::move(beforeInfo), [this] { session_.assessRecoverability(&stop_); });
}

bool WizardController::startDeepScan(std::function<void()> done) {
  if (step_ != Step::Partition) return false;
  session_.freeDeepScan();
  return startJob(
      Job::DeepScan, [this](Observer& o) { session_.deepScan(stop_, o); },
      [this, done = std::move(done)] {
        setStep(Step::FoundFs);
        if (done) done();
      });
}

bool WizardController::startMount(std::function<void()> done) {
  if (step_ != Step::FoundFs || session_.chosenFsIndex == 0) return false;
  return startJob(
      Job::Mount,
      [this](Observer& o) {
        session_.mountFound(stop_, o);
        session_.assessRecoverability(&stop_);
      },
      [this, done = std::move(done)] {
        setStep(Step::Browse);
        if (done) done();
      });
}

void WizardController::setStep(Step s) {
  if (s == step_) return;
  step_ = s;
  emit stepChanged(s);
}

Step WizardController::back() {
  if (busy()) return step_;
  switch (step_) {
    case Step::Partition:
      session_.closeDrive();
      setStep(Step::Disk);
      break;
    case Step::FoundFs:
      session_.freeDeepScan();
      setStep(Step::Partition);
      break;
    case Step::Browse:
      session_.freeTrees();
      setStep(session_.scanType == ScanType::Advanced ? Step::FoundFs : Step::Partition);
      break;
    default:
      break;
  }
  return step_;
}

}  // namespace osprin::gui
