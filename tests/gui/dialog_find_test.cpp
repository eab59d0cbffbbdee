// "Find File(s)".
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <condition_variable>
#include <mutex>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "dialog_support.h"

using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

struct Row {
  QString name, path, size;
  bool operator==(const Row&) const = default;
};

std::vector<Row> rowsOf(QTreeWidget* t) {
  std::vector<Row> out;
  for (int i = 0; i < t->topLevelItemCount(); ++i) {
    auto* it = t->topLevelItem(i);
    out.push_back({it->text(0), it->text(1), it->text(2)});
  }
  return out;
}

// What the core finds, as the dialog should list it.
std::vector<Row> coreRows(Session& s, const std::string& pattern) {
  std::vector<Row> out;
  std::atomic<int> cancel{0};
  s.findFiles(pattern, cancel, [&](const FindHit& h) {
    out.push_back({QString::fromStdString(h.name), QString::fromStdString(h.path), QString::number(h.size)});
  }, nullObserver());
  return out;
}

class FindFiles : public DialogTest {
 protected:
  void search(FindFilesDialog& d, const QString& pattern) {
    d.patternEdit->setText(pattern);
    QTest::mouseClick(d.startButton, Qt::LeftButton);
    d.waitForSearch();
    ASSERT_TRUE(waitFor([&] { return !d.searching() && d.startButton->isEnabled(); }));
    QApplication::processEvents();
  }

  // Holds the worker at its `at`-th hit until released.
  struct Hold {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::atomic<bool> holding{false};
    std::atomic<int> hits{0};
    void attach(FindFilesDialog& d, int at) {
      d.onWorkerHit = [this, at](const FindHit&) {
        if (++hits != at) return;
        std::unique_lock l(m);
        holding = true;
        cv.wait(l, [this] { return released; });
        holding = false;
      };
    }
    void release() {
      {
        std::lock_guard l(m);
        released = true;
      }
      cv.notify_all();
    }
  };
};

}  // namespace

TEST_F(FindFiles, LayoutAndButtons) {
  auto s = sampleSession(0);
  FindFilesDialog d(nullptr, *s);
  EXPECT_EQ(d.windowTitle(), "Find File(s)");
  QStringList labels;
  for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
  for (const char* l : {"Enter pattern to search", "Files Found", "Last File"}) EXPECT_TRUE(labels.contains(l)) << l;
  EXPECT_EQ(d.startButton->text(), "&Start Search");
  EXPECT_EQ(d.stopButton->text(), "S&top Search");
  EXPECT_TRUE(d.startButton->isDefault());
  EXPECT_TRUE(d.startButton->isEnabled());
  EXPECT_FALSE(d.stopButton->isEnabled());  // until a search runs
  auto* h = d.results->headerItem();
  EXPECT_EQ(h->text(0), "File Name");
  EXPECT_EQ(h->text(1), "Path");
  EXPECT_EQ(h->text(2), "Size");
  EXPECT_EQ(d.results->columnWidth(0), 150);
  EXPECT_EQ(d.results->columnWidth(1), 250);
  EXPECT_EQ(d.results->columnWidth(2), 95);
}

TEST_F(FindFiles, PatternsListWhatTheCoreFinds) {
  for (std::size_t part : {0u, 1u}) {  // FAT32 and NTFS
    auto s = sampleSession(part);
    FindFilesDialog d(nullptr, *s);
    d.show();

    // An empty pattern finds nothing.
    search(d, "");
    EXPECT_EQ(d.results->topLevelItemCount(), 0);
    EXPECT_EQ(d.foundValue->text(), "0");

    // "*" lists every file record, deleted ones included.
    search(d, "*");
    const auto all = rowsOf(d.results);
    const std::size_t records = s->usesFatTree() ? s->tree.fatFiles.size() : s->ntfsFiles().list().size();
    EXPECT_EQ(all.size(), records) << part;
    EXPECT_EQ(all, coreRows(*s, "*"));
    EXPECT_EQ(d.foundValue->text(), QString::number(all.size()));
    EXPECT_EQ(d.lastValue->text(), all.back().name);
    EXPECT_FALSE(d.stopButton->isEnabled());
    EXPECT_TRUE(d.startButton->isEnabled());
    for (int i = 0; i < d.results->topLevelItemCount(); ++i)
      EXPECT_FALSE(d.results->topLevelItem(i)->icon(0).isNull());

    // The folder path and the size of one hit.
    bool letter = false;
    for (const Row& r : all)
      if (r.name.toLower() == "letter one.txt") {
        letter = true;
        EXPECT_EQ(r.path.toLower(), "/documents/letters");
        EXPECT_EQ(r.size, "700");
      }
    EXPECT_TRUE(letter);

    // Without wildcards: every name that contains the text, in any case.
    search(d, "txt");
    const auto txt = rowsOf(d.results);
    EXPECT_EQ(txt, coreRows(*s, "txt"));
    EXPECT_GE(txt.size(), 3u);
    for (const Row& r : txt) EXPECT_TRUE(r.name.toUpper().contains("TXT")) << r.name.toStdString();
    std::size_t expected = 0;
    for (const Row& r : all)
      if (r.name.toUpper().contains("TXT")) ++expected;
    EXPECT_EQ(txt.size(), expected);

    // A new search replaces the rows.
    search(d, "*.BIN");
    ASSERT_EQ(d.results->topLevelItemCount(), 1);
    EXPECT_EQ(d.results->topLevelItem(0)->text(0).toLower(), "report.bin");
    EXPECT_EQ(d.results->topLevelItem(0)->text(1).toLower(), "/documents");
  }
}

TEST_F(FindFiles, StopAndNoGoesOnWhereItWas) {
  auto s = sampleSession(0);
  const auto expected = coreRows(*s, "*");
  ASSERT_GE(expected.size(), 4u);
  FindFilesDialog d(nullptr, *s);
  d.show();
  Hold hold;
  hold.attach(d, 2);
  d.patternEdit->setText("*");
  QTest::mouseClick(d.startButton, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return hold.holding.load() && d.results->topLevelItemCount() == 1; }));
  EXPECT_FALSE(d.startButton->isEnabled());
  EXPECT_TRUE(d.stopButton->isEnabled());

  bool stopDisabled = false;
  int rowsWhileAsked = -1;
  answer = [&](BoxKind, const QString&) {
    stopDisabled = !d.stopButton->isEnabled();
    // The worker goes on to its next hit, which is not shown while the question is open.
    hold.release();
    for (int i = 0; i < 20; ++i) {
      QApplication::processEvents();
      QThread::msleep(2);
    }
    rowsWhileAsked = d.results->topLevelItemCount();
    return int(QMessageBox::No);
  };
  QTest::mouseClick(d.stopButton, Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Do you want to stop file searching ?");
  EXPECT_EQ(boxes[0].kind, BoxKind::Question);
  EXPECT_TRUE(stopDisabled);
  EXPECT_EQ(rowsWhileAsked, 1);

  d.waitForSearch();
  ASSERT_TRUE(waitFor([&] { return d.results->topLevelItemCount() == static_cast<int>(expected.size()); }));
  EXPECT_EQ(rowsOf(d.results), expected);  // nothing lost, nothing twice
  EXPECT_TRUE(d.startButton->isEnabled());
  EXPECT_FALSE(d.stopButton->isEnabled());
}

TEST_F(FindFiles, StopAndYesAbandonsKeepingTheRowsFound) {
  auto s = sampleSession(0);
  const auto expected = coreRows(*s, "*");
  FindFilesDialog d(nullptr, *s);
  d.show();
  Hold hold;
  hold.attach(d, 3);
  d.patternEdit->setText("*");
  QTest::mouseClick(d.startButton, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return hold.holding.load() && d.results->topLevelItemCount() == 2; }));
  answer = [&](BoxKind, const QString&) {
    hold.release();
    return int(QMessageBox::Yes);
  };
  QTest::mouseClick(d.stopButton, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return !d.searching() && d.startButton->isEnabled(); }));
  QApplication::processEvents();
  EXPECT_EQ(d.results->topLevelItemCount(), 2);
  EXPECT_EQ(rowsOf(d.results), std::vector<Row>(expected.begin(), expected.begin() + 2));
  EXPECT_FALSE(d.stopButton->isEnabled());
  EXPECT_LT(hold.hits.load(), static_cast<int>(expected.size()));  // it did not walk on to the end

  // A new search runs as usual.
  d.onWorkerHit = nullptr;
  search(d, "*");
  EXPECT_EQ(rowsOf(d.results), expected);
}

TEST_F(FindFiles, ClosingDuringASearchEndsIt) {
  auto s = sampleSession(0);
  auto* d = new FindFilesDialog(nullptr, *s);
  d->show();
  Hold hold;
  hold.attach(*d, 1);
  d->patternEdit->setText("*");
  QTest::mouseClick(d->startButton, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return hold.holding.load(); }));
  QTimer::singleShot(20, [&] { hold.release(); });
  QTest::keyClick(d, Qt::Key_Escape);  // closes: the search is abandoned and waited for
  EXPECT_FALSE(d->isVisible());
  EXPECT_FALSE(d->searching());
  EXPECT_EQ(d->results->topLevelItemCount(), 0);
  delete d;
}

TEST_F(FindFiles, TheEntryPoint) {
  auto s = sampleSession(0);
  int found = -1;
  onModal<FindFilesDialog>([&](FindFilesDialog* d) {
    d->patternEdit->setText("*.JPG");
    QTest::keyClick(d->patternEdit, Qt::Key_Return);  // Enter starts the search
    d->waitForSearch();
    QApplication::processEvents();
    found = d->results->topLevelItemCount();
    d->reject();
  });
  showFindFiles(nullptr, *s);
  EXPECT_EQ(found, 1);
}
