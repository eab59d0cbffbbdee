#pragma once
// Runs core jobs on a worker thread and brings their observer calls to the
// window thread. Progress, counters and texts are queued (and coalesced, so
// a fast job cannot flood the event loop); message() and ask() block the
// worker until the window has shown the box and the user has answered.
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <map>

#include "common/observer.h"

namespace osprin::gui {

class QtObserver : public QObject, public Observer {
  Q_OBJECT
 public:
  // Boxes are shown with `boxParent` as their parent.
  explicit QtObserver(QWidget* boxParent, QObject* parent = nullptr);

  // Observer, called on the worker thread.
  void progress(int percent) override;
  void progressVisible(bool visible) override;
  void counter(Counter which, std::uint64_t value) override;
  void text(TextField which, std::string_view value) override;
  void phase(const PhaseInfo& p) override;
  void stopVisible(bool visible) override;
  void message(MsgKind kind, std::string_view text) override;
  bool ask(std::string_view text) override;

  // A question that reports an error ("Error creating file : ...") shows the
  // error icon; others the question icon.
  void setAskWithErrorIcon(bool e) { askErrorIcon_ = e; }

 signals:
  // Delivered on the window thread, at most every 50 ms for each kind.
  void progressChanged(int percent);
  void progressShown(bool visible);
  void counterChanged(osprin::Counter which, quint64 value);
  void textChanged(osprin::TextField which, const QString& value);
  void phaseChanged(const osprin::PhaseInfo& phase);
  void stopShown(bool visible);

 private:
  void flush();  // window thread
  void scheduleFlush();
  QWidget* boxParent_;
  bool askErrorIcon_ = false;
  QMutex mu_;
  bool flushQueued_ = false;
  int percent_ = -1;
  bool percentDirty_ = false;
  std::map<Counter, quint64> counters_;
  std::map<TextField, QString> texts_;
  PhaseInfo phase_;
  bool phaseDirty_ = false;
};

// Runs fn on a new thread; `done` runs on the window thread when it ends.
// Only one job runs at a time: start() returns false while one runs.
class JobRunner : public QObject {
  Q_OBJECT
 public:
  explicit JobRunner(QObject* parent = nullptr) : QObject(parent) {}
  ~JobRunner() override;
  bool start(std::function<void()> fn, std::function<void()> done);
  bool running() const { return thread_ != nullptr; }
  // Waits for the running job (used at exit and in tests).
  void wait();

 signals:
  void finished();

 private:
  QThread* thread_ = nullptr;
  std::function<void()> done_;
};

}  // namespace osprin::gui
