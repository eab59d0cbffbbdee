#pragma once
// Helpers of the dialog tests: a scanned session on the sample disk, message
// boxes answered and recorded, and modal dialogs driven from a timer while the
// code under test waits in exec().
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/session.h"
#include "app/texts.h"
#include "support/fixtures.h"
#include "widgets/message_box.h"

namespace osprin::gui::dtest {

// Qt's file dialog keeps its history and last folder in the user's settings
// (QtProject.conf under $XDG_CONFIG_HOME). The tests keep theirs in the
// scratch folder, set before the QApplication reads it.
inline const bool kPrivateSettings = [] {
  const std::string dir = osprin::test::scratchDir() + "/config";
  std::filesystem::create_directories(dir);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return true;
}();

struct Box {
  BoxKind kind;
  QString text;
};

inline std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A session on a fixture disk (only it: the machine's disks are left out)
// with partition `index` scanned by the standard scan.
inline std::unique_ptr<Session> scannedSession(const std::string& fixture, std::size_t index) {
  auto s = std::make_unique<Session>();
  s->enumerateDrives({osprin::test::fixtureImage(fixture)}, osprin::test::makeTempDir("nosys"));
  std::string err;
  EXPECT_EQ(s->drives.size(), 1u);
  EXPECT_TRUE(s->openDrive(0, err)) << err;
  EXPECT_TRUE(s->readPartitionTables());
  EXPECT_TRUE(s->selectPartition(index));
  StopFlag stop{0};
  EXPECT_EQ(s->standardScan(stop, nullObserver()), ScanOutcome::Done);
  return s;
}
inline std::unique_ptr<Session> sampleSession(std::size_t index) { return scannedSession("sample", index); }

// The row named `name` (any case) of a list the caller keeps.
inline const ListRow* findRow(const std::vector<ListRow>& rows, const std::string& name) {
  for (const auto& r : rows)
    if (lower(r.name) == lower(name)) return &r;
  return nullptr;
}
const ListRow* findRow(std::vector<ListRow>&& rows, const std::string& name) = delete;

// Runs `act` on the next modal widget of type T once one is active (polled
// on the event loop). When none comes within the time limit the test fails
// and every modal dialog is closed so that the code under test returns.
template <class T>
void onModal(std::function<void(T*)> act, int timeoutMs = 20000) {
  auto* timer = new QTimer(qApp);
  auto deadline = std::make_shared<QDeadlineTimer>(timeoutMs);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act, deadline, timeoutMs] {
    if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
      timer->stop();
      timer->deleteLater();
      act(w);
      // A dialog that refused what the test did would keep the test waiting.
      QPointer<T> p(w);
      QTimer::singleShot(timeoutMs, qApp, [p] {
        if (!p || !p->isVisible()) return;
        ADD_FAILURE() << T::staticMetaObject.className() << " stayed open";
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->done(QDialog::Rejected);
        if (p) static_cast<QDialog*>(p.data())->done(QDialog::Rejected);
      });
      return;
    }
    if (deadline->hasExpired()) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "no modal " << T::staticMetaObject.className() << " came up";
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->done(QDialog::Rejected);
    }
  });
  timer->start(5);
}

// Records every modal dialog that comes up and rejects it (for code that
// must not show one).
class ModalGuard {
 public:
  ModalGuard() {
    timer_ = new QTimer(qApp);
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()); d && d->isVisible()) {
        seen.push_back(d->metaObject()->className());
        d->done(QDialog::Rejected);
      }
    });
    timer_->start(5);
  }
  ~ModalGuard() { delete timer_; }
  std::vector<std::string> seen;

 private:
  QTimer* timer_;
};

// Types `path` into a file dialog (the widget dialog of the offscreen
// platform) and accepts it as the user's OK would.
inline void chooseInFileDialog(QDialog* d, const QString& path) {
  if (auto* fd = qobject_cast<QFileDialog*>(d)) {
    const QFileInfo fi(path);
    if (fi.isDir() && fd->fileMode() == QFileDialog::Directory) {
      fd->setDirectory(path);
      fd->selectFile(path);
    } else {
      fd->setDirectory(fi.absolutePath());
      fd->selectFile(fi.fileName());
    }
  }
  d->accept();  // QDialog's virtual: QFileDialog checks the choice
}

// Processes events until pred holds or the time limit passes.
inline bool waitFor(const std::function<bool()>& pred, int timeoutMs = 20000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setMessageBoxHook([this](BoxKind k, const QString& t) {
      boxes.push_back({k, t});
      if (answer) return answer(k, t);
      return k == BoxKind::Info || k == BoxKind::Error ? int(QMessageBox::Ok) : int(QMessageBox::No);
    });
  }
  void TearDown() override {
    setMessageBoxHook({});
    QApplication::processEvents();
  }
  bool sawBox(const QString& text, BoxKind kind) const {
    return std::any_of(boxes.begin(), boxes.end(), [&](const Box& b) { return b.text == text && b.kind == kind; });
  }
  QStringList boxTexts() const {
    QStringList out;
    for (const Box& b : boxes) out << b.text;
    return out;
  }

  std::vector<Box> boxes;
  std::function<int(BoxKind, const QString&)> answer;
};

}  // namespace osprin::gui::dtest
