#include "app/qt_observer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include "widgets/message_box.h"

namespace osprin::gui {

QtObserver::QtObserver(QWidget* boxParent, QObject* parent) : QObject(parent), boxParent_(boxParent) {}

void QtObserver::scheduleFlush() {
  // mu_ held by the caller.
  if (flushQueued_) return;
  flushQueued_ = true;
  QMetaObject::invokeMethod(
      this, [this] { QTimer::singleShot(50, this, [this] { flush(); }); }, Qt::QueuedConnection);
}

void QtObserver::flush() {
  int percent = -1;
  std::map<Counter, quint64> counters;
  std::map<TextField, QString> texts;
  PhaseInfo phase;
  bool phaseDirty = false;
  {
    QMutexLocker lock(&mu_);
    flushQueued_ = false;
    if (percentDirty_) percent = percent_;
    percentDirty_ = false;
    counters.swap(counters_);
    texts.swap(texts_);
    phase = phase_;
    phaseDirty = phaseDirty_;
    phaseDirty_ = false;
  }
  if (percent >= 0) emit progressChanged(percent);
  for (const auto& [which, value] : counters) emit counterChanged(which, value);
  for (const auto& [which, value] : texts) emit textChanged(which, value);
  if (phaseDirty) emit phaseChanged(phase);
}

void QtObserver::progress(int percent) {
  QMutexLocker lock(&mu_);
  if (percent == percent_ && !percentDirty_) return;
  percent_ = percent;
  percentDirty_ = true;
  scheduleFlush();
}

void QtObserver::counter(Counter which, std::uint64_t value) {
  QMutexLocker lock(&mu_);
  counters_[which] = value;
  scheduleFlush();
}

void QtObserver::text(TextField which, std::string_view value) {
  QMutexLocker lock(&mu_);
  texts_[which] = qs(value);
  scheduleFlush();
}

void QtObserver::phase(const PhaseInfo& p) {
  QMutexLocker lock(&mu_);
  phase_ = p;
  phaseDirty_ = true;
  scheduleFlush();
}

void QtObserver::progressVisible(bool visible) {
  QMetaObject::invokeMethod(this, [this, visible] { emit progressShown(visible); }, Qt::QueuedConnection);
}

void QtObserver::stopVisible(bool visible) {
  QMetaObject::invokeMethod(this, [this, visible] { emit stopShown(visible); }, Qt::QueuedConnection);
}

void QtObserver::message(MsgKind kind, std::string_view text) {
  QString t = qs(text);
  auto show = [this, kind, t] {
    flush();
    okBox(boxParent_, kind, t);
  };
  if (QThread::currentThread() == thread()) show();
  else QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
}

bool QtObserver::ask(std::string_view text) {
  QString t = qs(text);
  bool answer = false;
  auto show = [this, t, &answer] {
    flush();
    answer = yesNoBox(boxParent_, t, askErrorIcon_);
  };
  if (QThread::currentThread() == thread()) show();
  else QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
  return answer;
}

JobRunner::~JobRunner() { wait(); }

bool JobRunner::start(std::function<void()> fn, std::function<void()> done) {
  if (thread_) return false;
  done_ = std::move(done);
  thread_ = QThread::create(std::move(fn));
  connect(thread_, &QThread::finished, this, [this] {
    QThread* t = thread_;
    thread_ = nullptr;
    t->deleteLater();
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done();
    emit finished();
  });
  thread_->start();
  return true;
}

void JobRunner::wait() {
  if (!thread_) return;
  // Keep the window thread's events flowing: a job may be waiting for a box.
  while (thread_ && !thread_->wait(10)) QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

}  // namespace osprin::gui
