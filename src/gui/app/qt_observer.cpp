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
  QHash<QString, quint64> counters;
  QHash<QString, QString> texts;
  QString status;
  bool statusDirty = false;
  {
    QMutexLocker lock(&mu_);
    flushQueued_ = false;
    if (percentDirty_) percent = percent_;
    percentDirty_ = false;
    counters.swap(counters_);
    texts.swap(texts_);
    status = status_;
    statusDirty = statusDirty_;
    statusDirty_ = false;
  }
  if (percent >= 0) emit progressChanged(percent);
  for (auto it = counters.begin(); it != counters.end(); ++it) emit counterChanged(it.key(), it.value());
  for (auto it = texts.begin(); it != texts.end(); ++it) emit textChanged(it.key(), it.value());
  if (statusDirty) emit statusChanged(status);
}

void QtObserver::progress(int percent) {
  QMutexLocker lock(&mu_);
  if (percent == percent_ && !percentDirty_) return;
  percent_ = percent;
  percentDirty_ = true;
  scheduleFlush();
}

void QtObserver::counter(std::string_view label, std::uint64_t value) {
  QMutexLocker lock(&mu_);
  counters_.insert(qs(label), value);
  scheduleFlush();
}

void QtObserver::text(std::string_view label, std::string_view value) {
  QMutexLocker lock(&mu_);
  texts_.insert(qs(label), qs(value));
  scheduleFlush();
}

void QtObserver::status(std::string_view text) {
  QMutexLocker lock(&mu_);
  status_ = qs(text);
  statusDirty_ = true;
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
