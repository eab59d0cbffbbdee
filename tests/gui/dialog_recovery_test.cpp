// "&Recover Selected..." / "Recover &All...": the destination chooser, the
// warning about the source disk, and the "Saving the data please wait"
// dialog around the copy.
#include <sys/stat.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <nlohmann/json.hpp>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include <QListWidget>
#include <QTest>
#include <cstring>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "dialog_support.h"

namespace fs = std::filesystem;
using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

// Every file under dir: lower-cased relative path -> sha256.
std::map<std::string, std::string> filesUnder(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      out[lower("/" + fs::relative(e.path(), dir).string())] = osprin::test::sha256File(e.path().string());
  return out;
}

// Reads through to the image, but stops once, on the second read inside a
// byte range, until the test lets it go on.
class GateSource : public BlockSource {
 public:
  GateSource(std::unique_ptr<BlockSource> inner, std::uint64_t from, std::uint64_t to)
      : inner_(std::move(inner)), from_(from), to_(to) {}
  bool readAt(std::uint64_t off, void* buf, std::size_t len) override {
    if (off < to_ && off + len > from_) {
      std::unique_lock lock(mu_);
      if (++reads_ == 2) {
        blocked_ = true;
        cv_.wait(lock, [this] { return released_; });
        blocked_ = false;
      }
    }
    return inner_->readAt(off, buf, len);
  }
  std::uint64_t sizeBytes() const override { return inner_->sizeBytes(); }
  bool blocked() {
    std::lock_guard lock(mu_);
    return blocked_;
  }
  void release() {
    {
      std::lock_guard lock(mu_);
      released_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::unique_ptr<BlockSource> inner_;
  std::uint64_t from_, to_;
  std::mutex mu_;
  std::condition_variable cv_;
  int reads_ = 0;
  bool blocked_ = false, released_ = false;
};

class Recovery : public DialogTest {
 protected:
  // Recovery into the scratch folder, which is on the image's file system:
  // the warning comes up and is answered Yes unless a test says otherwise.
  void SetUp() override {
    DialogTest::SetUp();
    answer = [this](BoxKind k, const QString& t) {
      if (t.contains(QString::fromUtf8(texts::kDestinationOnSourceQuestion.data()).trimmed()))
        return int(onSourceAnswer);
      if (k == BoxKind::ErrorQuestion) return int(errorAnswer);
      return int(QMessageBox::Ok);
    };
  }
  int warnings() const {
    int n = 0;
    for (const Box& b : boxes)
      if (b.text.contains("is on the same file system as the image file being recovered")) ++n;
    return n;
  }
  // Puts a gate on the data of the FAT file `name` of the root folder.
  GateSource* gateFile(Session& s, const std::string& name) {
    const auto rows = s.listFolder(s.rootIdentity());
    const ListRow* file = findRow(rows, name);
    EXPECT_NE(file, nullptr);
    const std::int64_t i = s.tree.findFatFileByIndex(static_cast<std::uint32_t>(file->id));
    EXPECT_GE(i, 0);
    const FatFileNode& f = s.tree.fatFiles[static_cast<std::size_t>(i)];
    const std::uint64_t from =
        (std::uint64_t{s.vp.clusterBase} + std::uint64_t{f.firstCluster} * s.vp.sectorsPerCluster) * 512;
    std::string err;
    auto src = FileBlockSource::open(s.drive()->path, err);
    EXPECT_TRUE(src) << err;
    auto gate = std::make_unique<GateSource>(std::move(src), from, from + f.size);
    GateSource* g = gate.get();
    s.reader = std::make_unique<SectorReader>(std::move(gate));
    return g;
  }

  QMessageBox::StandardButton onSourceAnswer = QMessageBox::Yes;
  QMessageBox::StandardButton errorAnswer = QMessageBox::Yes;
};

}  // namespace

TEST_F(Recovery, RecoverAllOfTheRootGivesTheManifestsFiles) {
  const struct {
    std::size_t partition;
    const char* key;
  } volumes[] = {{0, "p1"}, {1, "p2"}};
  for (const auto& v : volumes) {
    auto s = sampleSession(v.partition);
    const std::string dest = osprin::test::makeTempDir(v.key);
    const auto rows = s->listFolder(s->rootIdentity());
    ASSERT_TRUE(recoverRows(nullptr, *s, rows, QString::fromStdString(dest)));
    const auto got = filesUnder(dest);
    int live = 0;
    for (const auto& e : osprin::test::readManifestEntries("sample", v.key)) {
      if (e.kind != "file" || e.deleted) continue;
      ++live;
      auto it = got.find(lower(e.path));
      ASSERT_NE(it, got.end()) << v.key << " " << e.path;
      EXPECT_EQ(it->second, e.sha256) << v.key << " " << e.path;
    }
    EXPECT_EQ(live, 4) << v.key;
    // A folder beside the image file cannot touch the image's bytes: no question at all.
    EXPECT_EQ(warnings(), 0) << boxTexts().join('|').toStdString();
    EXPECT_TRUE(boxes.empty()) << boxTexts().join('|').toStdString();
    boxes.clear();
  }
}

TEST_F(Recovery, TheChooserAndGoingBackToIt) {
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());

  // Cancelling the chooser opens nothing.
  QString title;
  onModal<QFileDialog>([&](QFileDialog* d) {
    title = d->windowTitle();
    d->reject();
  });
  EXPECT_FALSE(recoverRows(nullptr, *s, rows));
  EXPECT_EQ(title, "Please select the path to recover the data");
  EXPECT_TRUE(boxes.empty());

  // A folder chosen beside the image file: no warning, the copy goes on.
  const std::string dest = osprin::test::makeTempDir("chosen");
  onModal<QFileDialog>([&](QFileDialog* d) {
    chooseInFileDialog(d, QString::fromStdString(dest));
  });
  EXPECT_TRUE(recoverRows(nullptr, *s, {*findRow(rows, "readme.txt")}));
  EXPECT_EQ(warnings(), 0);
  EXPECT_EQ(filesUnder(dest).count("/readme.txt"), 1u);
}

// "Save report": the same report as `osprin recover --report`, in the
// format of its name, with the hashes of the files written.
TEST_F(Recovery, SaveReportWritesTheReportOfTheCopyInEachFormat) {
  auto s = sampleSession(0);
  s->assessRecoverability();
  const auto rows = s->listFolder(s->rootIdentity());
  for (const char* ext : {"json", "csv", "xml"}) {
    const std::string dest = osprin::test::makeTempDir("report");
    const std::string report = dest + "-report." + ext;
    ASSERT_TRUE(recoverRows(nullptr, *s, rows, QString::fromStdString(dest), {}, QString::fromStdString(report)));
    const auto written = filesUnder(dest);
    ASSERT_FALSE(written.empty());
    const std::string text = osprin::test::readFile(report);
    if (std::string(ext) == "json") {
      const auto j = nlohmann::json::parse(text);
      EXPECT_EQ(j["files"].size(), written.size());
      for (const auto& f : j["files"]) {
        EXPECT_EQ(f["outcome"], "whole") << f["source"];
        EXPECT_EQ(f["sha256"], osprin::test::sha256File(f["destination"].get<std::string>())) << f["source"];
        EXPECT_EQ(f["md5"].get<std::string>().size(), 32u);
      }
      EXPECT_EQ(j["program"]["command_line"], "osprin-gui");
    }
    // Every format names every file's SHA-256.
    for (const auto& [path, sha] : written) EXPECT_NE(text.find(sha), std::string::npos) << ext << " " << path;
  }
  EXPECT_TRUE(boxes.empty() || warnings() == static_cast<int>(boxes.size())) << boxTexts().join('|').toStdString();
}

// A report that cannot be written is an error shown to the user; the
// files are written all the same.
TEST_F(Recovery, AReportThatCannotBeWrittenIsAnError) {
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  const std::string dest = osprin::test::makeTempDir("noreport");
  const std::string report = dest + "-missing/folder/report.json";
  ASSERT_TRUE(recoverRows(nullptr, *s, {*findRow(rows, "readme.txt")}, QString::fromStdString(dest), {},
                          QString::fromStdString(report)));
  EXPECT_EQ(filesUnder(dest).count("/readme.txt"), 1u);
  int errors = 0;
  for (const Box& b : boxes)
    if (b.kind == BoxKind::Error && b.text.startsWith("The report was not saved: ") && b.text.contains("report.json"))
      ++errors;
  EXPECT_EQ(errors, 1) << boxTexts().join('|').toStdString();
  EXPECT_FALSE(fs::exists(report));
}

// The chooser's "Save report": checked with a name without an extension,
// the report is written as JSON beside the chosen folder.
TEST_F(Recovery, TheChoosersSaveReport) {
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  const std::string dest = osprin::test::makeTempDir("chosenreport");
  bool wasOff = false;
  onModal<QFileDialog>([&](QFileDialog* d) {
    auto* check = d->findChild<QCheckBox*>("reportCheck");
    auto* edit = d->findChild<QLineEdit*>("reportEdit");
    ASSERT_TRUE(check && edit);
    wasOff = !check->isChecked() && !edit->isEnabled();
    check->setChecked(true);
    EXPECT_TRUE(edit->isEnabled());
    edit->setText("typed-report");
    chooseInFileDialog(d, QString::fromStdString(dest));
  });
  EXPECT_TRUE(recoverRows(nullptr, *s, {*findRow(rows, "readme.txt")}));
  EXPECT_TRUE(wasOff);
  const std::string report = fs::path(dest).parent_path().string() + "/typed-report.json";
  ASSERT_TRUE(fs::exists(report));
  const auto j = nlohmann::json::parse(osprin::test::readFile(report));
  ASSERT_EQ(j["files"].size(), 1u);
  EXPECT_EQ(j["files"][0]["sha256"], filesUnder(dest).at("/readme.txt"));
  fs::remove(report);
}

TEST(ReportFileName, DefaultsBesideTheFolderAndJson) {
  EXPECT_EQ(reportFileName("", "/home/u/saved"), "/home/u/saved-report.json");
  EXPECT_EQ(reportFileName("", "/home/u/saved/"), "/home/u/saved-report.json");
  EXPECT_EQ(reportFileName("case 7", "/home/u/saved"), "/home/u/case 7.json");
  EXPECT_EQ(reportFileName("/tmp/r.CSV", "/home/u/saved"), "/tmp/r.CSV");
  EXPECT_EQ(reportFileName("/tmp/r.xml", "/home/u/saved"), "/tmp/r.xml");
  EXPECT_EQ(reportFileName("/tmp/r.txt", "/home/u/saved"), "/tmp/r.txt.json");
}

TEST_F(Recovery, FolderOnAnotherFileSystemIsNotWarned) {
  struct stat a {}, b {};
  const std::string shm = "/dev/shm";
  if (::stat(shm.c_str(), &a) != 0 || ::stat(osprin::test::scratchDir().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no other file system at " << shm;
  const std::string dest = shm + "/osprin-dialog-test-" + std::to_string(::getpid());
  if (!fs::create_directory(dest)) GTEST_SKIP() << "cannot write to " << shm;
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  EXPECT_TRUE(recoverRows(nullptr, *s, {*findRow(rows, "readme.txt")}, QString::fromStdString(dest)));
  EXPECT_EQ(warnings(), 0);
  EXPECT_EQ(filesUnder(dest).count("/readme.txt"), 1u);
  fs::remove_all(dest);
}

TEST_F(Recovery, NoRowsOpensAndClosesTheDialog) {
  auto s = sampleSession(0);
  const std::string dest = osprin::test::makeTempDir("none");
  EXPECT_TRUE(recoverRows(nullptr, *s, {}, QString::fromStdString(dest)));
  EXPECT_TRUE(fs::is_empty(dest));
}

// The bigfile disk: BIG.BIN (3 MiB, copied in 1 MiB requests), then AFTER.TXT.

TEST_F(Recovery, SkipRemovesThePartialFileAndGoesOn) {
  auto s = scannedSession("bigfile", 0);
  GateSource* gate = gateFile(*s, "BIG.BIN");
  const std::string dest = osprin::test::makeTempDir("skip");
  QString shownName, shownPath;
  onModal<SavingDialog>([&](SavingDialog* d) {
    auto* t = new QTimer(d);
    QObject::connect(t, &QTimer::timeout, d, [&, d, t] {
      if (!gate->blocked() || d->nameValue->text() != "BIG.BIN") return;
      t->stop();
      shownName = d->nameValue->text();
      shownPath = d->pathValue->text();
      QTest::mouseClick(d->skipButton, Qt::LeftButton);
      gate->release();
    });
    t->start(5);
  });
  ASSERT_TRUE(recoverRows(nullptr, *s, s->listFolder(s->rootIdentity()), QString::fromStdString(dest)));
  EXPECT_EQ(shownName, "BIG.BIN");
  EXPECT_EQ(shownPath.toStdString(), dest);  // FAT: the folder the file goes to
  // The file cut short is never left under its name, nor under its partial one.
  EXPECT_FALSE(fs::exists(dest + "/BIG.BIN"));
  EXPECT_EQ(filesUnder(dest).size(), 1u);
  // The next file was copied.
  EXPECT_EQ(osprin::test::readFile(dest + "/AFTER.TXT"), "written after the big file\n");
}

TEST_F(Recovery, StopRemovesThePartialFileAndEndsTheRun) {
  auto s = scannedSession("bigfile", 0);
  GateSource* gate = gateFile(*s, "BIG.BIN");
  const std::string dest = osprin::test::makeTempDir("stop");
  bool stillOpen = false;
  onModal<SavingDialog>([&](SavingDialog* d) {
    auto* t = new QTimer(d);
    QObject::connect(t, &QTimer::timeout, d, [&, d, t] {
      if (!gate->blocked()) return;
      t->stop();
      QTest::keyClick(d, Qt::Key_Return);  // Enter is "&Stop Saving"
      QApplication::processEvents();
      stillOpen = d->isVisible();  // open until the worker ends
      gate->release();
    });
    t->start(5);
  });
  ASSERT_TRUE(recoverRows(nullptr, *s, s->listFolder(s->rootIdentity()), QString::fromStdString(dest)));
  EXPECT_TRUE(stillOpen);
  EXPECT_TRUE(fs::is_empty(dest));  // neither the cut file nor its partial copy stays
}

TEST_F(Recovery, TheBigFileWholeWhenNobodyInterrupts) {
  auto s = scannedSession("bigfile", 0);
  const std::string dest = osprin::test::makeTempDir("whole");
  ASSERT_TRUE(recoverRows(nullptr, *s, s->listFolder(s->rootIdentity()), QString::fromStdString(dest)));
  for (const auto& e : osprin::test::readManifestEntries("bigfile", "p1"))
    EXPECT_EQ(osprin::test::sha256File(dest + e.path), e.sha256) << e.path;
}

TEST_F(Recovery, CreationErrorAsksWithTheErrorIconAndNoStops) {
  auto s = sampleSession(0);
  s->settings.duplicatePolicy = DuplicatePolicy::Overwrite;
  const auto root = s->listFolder(s->rootIdentity());
  const ListRow* docs = findRow(root, "Documents");
  ASSERT_NE(docs, nullptr);
  const auto inDocs = s->listItem(static_cast<std::uint32_t>(docs->id));
  const ListRow* report = findRow(inDocs, "report.bin");
  ASSERT_NE(report, nullptr);

  for (auto reply : {QMessageBox::Yes, QMessageBox::No}) {
    const std::string dest = osprin::test::makeTempDir("err");
    // A folder where the file should go: it cannot be created.
    const std::string blocker = dest + "/" + docs->name + "/" + report->name;
    fs::create_directories(blocker);
    boxes.clear();
    errorAnswer = reply;
    QWidget window;
    std::vector<QUrl> opened;
    ASSERT_TRUE(recoverRows(&window, *s, root, QString::fromStdString(dest), [&](const QUrl& u) {
      opened.push_back(u);
      return true;
    }));
    // The summary: files written, the folder with its button, the file that
    // failed with the system's reason.
    auto* sum = window.findChild<RecoverySummaryDialog*>();
    ASSERT_NE(sum, nullptr);
    EXPECT_TRUE(sum->isVisible());
    EXPECT_TRUE(sum->headline->text().contains(reply == QMessageBox::Yes ? "file(s) were written" : "Recovery stopped"))
        << sum->headline->text().toStdString();
    EXPECT_EQ(sum->folderValue->text(), QString::fromStdString(dest));
    ASSERT_GE(sum->problems->count(), 1);
    // Written under its partial name, it cannot take its own: the folder is in the way.
    EXPECT_EQ(sum->problems->item(0)->text(), QString::fromStdString(blocker + ": a folder of that name is in the way"));
    QTest::mouseClick(sum->openFolderButton, Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(dest)));
    QStringList questions;
    for (const Box& b : boxes)
      if (b.kind == BoxKind::ErrorQuestion && b.text.startsWith("Error creating file")) questions << b.text;
    ASSERT_EQ(questions.size(), 1) << boxTexts().join('|').toStdString();
    EXPECT_TRUE(questions[0].startsWith("Error creating file : " + QString::fromStdString(blocker) + " (")) << questions[0].toStdString();
    EXPECT_TRUE(questions[0].endsWith(").  Continue Recovery ? "));  // the system's reason between
    EXPECT_TRUE(fs::is_directory(blocker));
    const auto got = filesUnder(dest);
    // Yes goes on with the next files, No stops the run.
    EXPECT_EQ(got.count("/readme.txt"), reply == QMessageBox::Yes ? 1u : 0u);
    EXPECT_EQ(got.count("/pictures/photo.jpg"), reply == QMessageBox::Yes ? 1u : 0u);
  }
}

TEST(SavingDialog, ButtonsKeysAndClosing) {
  RecoveryFlags flags;
  SavingDialog d(nullptr, flags);
  d.show();
  QApplication::processEvents();
  EXPECT_EQ(d.windowTitle(), "Saving the data please wait");
  QStringList labels;
  for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
  EXPECT_TRUE(labels.contains("Path"));
  EXPECT_TRUE(labels.contains("File Name"));
  EXPECT_TRUE(labels.contains("Total Files"));
  EXPECT_EQ(d.stopButton->text(), "&Stop Saving");
  EXPECT_EQ(d.skipButton->text(), "S&kip File");
  EXPECT_TRUE(d.stopButton->isDefault());
  EXPECT_EQ(d.bar->minimum(), 0);
  EXPECT_EQ(d.bar->maximum(), 100);

  // Escape and the close box do nothing.
  QTest::keyClick(&d, Qt::Key_Escape);
  d.close();
  d.reject();
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(flags.saveStopRequested.load(), 0);

  QTest::mouseClick(d.skipButton, Qt::LeftButton);
  EXPECT_EQ(flags.skipFileRequested.load(), 1);
  EXPECT_EQ(flags.saveStopRequested.load(), 0);
  // Enter is "&Stop Saving"; the dialog stays open.
  QTest::keyClick(&d, Qt::Key_Return);
  EXPECT_EQ(flags.saveStopRequested.load(), 1);
  EXPECT_TRUE(d.isVisible());

  // The observer's texts reach the labels.
  QtObserver obs(&d);
  d.follow(obs);
  obs.text(TextField::SaveFolder, "/out/DIR");
  obs.text(TextField::SaveFileName, "A.TXT");
  obs.counter(Counter::FilesSaved, 41);
  obs.progress(57);
  ASSERT_TRUE(waitFor([&] { return d.bar->value() == 57; }));
  EXPECT_EQ(d.pathValue->text(), "/out/DIR");
  EXPECT_EQ(d.nameValue->text(), "A.TXT");
  EXPECT_EQ(d.totalValue->text(), "41");

  d.finish();
  EXPECT_FALSE(d.isVisible());
}
