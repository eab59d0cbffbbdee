// "&Save Recovery Snapshot..." and "&Load Recovery Snapshot...".
#include <QFileDialog>
#include <QLineEdit>
#include <filesystem>
#include <fstream>

#include "app/dialogs.h"
#include "dialog_support.h"

namespace fs = std::filesystem;
using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A session with the sample disk open and nothing scanned (the selection step).
std::unique_ptr<Session> openSession() {
  auto s = std::make_unique<Session>();
  s->enumerateDrives({osprin::test::fixtureImage("sample")}, osprin::test::makeTempDir("nosys"));
  std::string err;
  EXPECT_TRUE(s->openDrive(0, err)) << err;
  EXPECT_TRUE(s->readPartitionTables());
  return s;
}

std::vector<std::string> names(const std::vector<ListRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.name);
  return out;
}

class Snapshots : public DialogTest {
 protected:
  // Saves through the dialog, typing `typed` in folder `dir`.
  void save(Session& s, const std::string& dir, const QString& typed) {
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QStringList filters;
    onModal<QFileDialog>([&](QFileDialog* d) {
      mode = d->acceptMode();
      filters = d->nameFilters();
      d->setDirectory(QString::fromStdString(dir));
      d->selectFile(typed);
      static_cast<QDialog*>(d)->accept();
    });
    saveSnapshotCommand(nullptr, s);
    EXPECT_EQ(mode, QFileDialog::AcceptSave);
    EXPECT_EQ(filters, QStringList{"*.ZQRT"});
  }
  bool load(Session& s, const std::string& path) {
    QFileDialog::AcceptMode mode = QFileDialog::AcceptSave;
    QStringList filters;
    onModal<QFileDialog>([&](QFileDialog* d) {
      mode = d->acceptMode();
      filters = d->nameFilters();
      chooseInFileDialog(d, QString::fromStdString(path));
    });
    const bool ok = loadSnapshotCommand(nullptr, s);
    EXPECT_EQ(mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(filters, QStringList{"*.ZQRT"});
    return ok;
  }
};

}  // namespace

TEST_F(Snapshots, SavedAndLoadedBack) {
  for (std::size_t part : {0u, 1u}) {  // FAT32 and NTFS
    auto s = sampleSession(part);
    const std::string dir = osprin::test::makeTempDir("snap");
    save(*s, dir, "case1");
    EXPECT_TRUE(boxes.empty()) << boxTexts().join('|').toStdString();
    ASSERT_TRUE(fs::exists(dir + "/CASE1.ZQRT"));
    EXPECT_FALSE(fs::exists(dir + "/case1"));

    auto t = openSession();
    ASSERT_TRUE(load(*t, dir + "/CASE1.ZQRT"));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(t->vp.fsType, s->vp.fsType);
    EXPECT_EQ(t->vp.clusterBase, s->vp.clusterBase);
    EXPECT_EQ(t->sel.rangeStart, s->sel.rangeStart);
    EXPECT_EQ(t->sel.rangeTag, s->sel.rangeTag);
    EXPECT_EQ(names(t->listFolder(t->rootIdentity())), names(s->listFolder(s->rootIdentity())));
    EXPECT_EQ(t->tree.fileCount, s->tree.fileCount);
    EXPECT_EQ(t->tree.folderCount, s->tree.folderCount);

    // The loaded tree recovers like the scanned one.
    const auto rows = t->listFolder(t->rootIdentity());
    const std::string out = osprin::test::makeTempDir("fromsnap");
    answer = [](BoxKind k, const QString&) { return k == BoxKind::ErrorQuestion ? int(QMessageBox::Yes) : int(QMessageBox::Ok); };
    ASSERT_TRUE(recoverRows(nullptr, *t, rows, QString::fromStdString(out)));
    answer = nullptr;
    boxes.clear();
    for (const auto& e : osprin::test::readManifestEntries("sample", part == 0 ? "p1" : "p2")) {
      if (e.kind != "file" || e.deleted) continue;
      std::string found;
      for (const auto& f : fs::recursive_directory_iterator(out))
        if (lower("/" + fs::relative(f.path(), out).string()) == lower(e.path)) found = f.path().string();
      ASSERT_FALSE(found.empty()) << e.path;
      EXPECT_EQ(osprin::test::sha256File(found), e.sha256) << e.path;
    }
  }
}

TEST_F(Snapshots, TheNameIsUpperCasedWithOneExtension) {
  auto s = sampleSession(0);
  const std::string dir = osprin::test::makeTempDir("names");
  save(*s, dir, "case2.zqrt");
  EXPECT_TRUE(fs::exists(dir + "/CASE2.ZQRT"));
  EXPECT_FALSE(fs::exists(dir + "/CASE2.ZQRT.ZQRT"));
  EXPECT_FALSE(fs::exists(dir + "/case2.zqrt"));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Snapshots, AnotherFileUnderTheFinalNameIsNotReplacedUnasked) {
  auto s = sampleSession(0);
  const std::string dir = osprin::test::makeTempDir("replace");
  const std::string target = dir + "/CASE3.ZQRT";
  writeBytes(target, "keep me");
  save(*s, dir, "case3");  // the dialog asked about "case3", which does not exist
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QString::fromStdString(target) + " already exists.\nDo you want to replace it ?");
  EXPECT_EQ(boxes[0].kind, BoxKind::Question);
  EXPECT_EQ(osprin::test::readFile(target), "keep me");  // answered No

  answer = [](BoxKind, const QString&) { return int(QMessageBox::Yes); };
  save(*s, dir, "case3");
  EXPECT_EQ(osprin::test::readFile(target).substr(0, 10), "zqr4.031.1");
}

TEST_F(Snapshots, AFileThatCannotBeCreated) {
  auto s = sampleSession(0);
  const std::string dir = osprin::test::makeTempDir("cannot");
  // The final name is taken by a folder.
  fs::create_directory(dir + "/CASE5.ZQRT");
  answer = [](BoxKind k, const QString&) { return k == BoxKind::Question ? int(QMessageBox::Yes) : int(QMessageBox::Ok); };
  save(*s, dir, "case5");
  ASSERT_EQ(boxes.size(), 2u) << boxTexts().join('|').toStdString();
  EXPECT_EQ(boxes[1].text, "Unable to open the file");
  EXPECT_EQ(boxes[1].kind, BoxKind::Error);
  EXPECT_TRUE(fs::is_directory(dir + "/CASE5.ZQRT"));
}

TEST_F(Snapshots, CancelDoesNothing) {
  auto s = sampleSession(0);
  onModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  saveSnapshotCommand(nullptr, *s);
  onModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  EXPECT_FALSE(loadSnapshotCommand(nullptr, *s));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Snapshots, BadFilesAreRefusedWithTheirMessagesAndChangeNothing) {
  auto s = sampleSession(0);
  const std::string dir = osprin::test::makeTempDir("bad");
  save(*s, dir, "good");
  const std::string good = osprin::test::readFile(dir + "/GOOD.ZQRT");
  ASSERT_GT(good.size(), 78u);

  // Another tree is loaded: the bad files must leave it as it is.
  auto t = sampleSession(1);
  const auto before = names(t->listFolder(t->rootIdentity()));
  const FsType fsBefore = t->vp.fsType;

  struct Case {
    const char* file;
    std::string bytes;
    QString message;
    bool prefixOnly;
  } cases[] = {
      {"MAGIC.ZQRT", "zqr4.04" + good.substr(7), "    Invalid version of the file found : zqr4.04", false},
      {"VERSION.ZQRT", good.substr(0, 7) + "1.3" + good.substr(10),
       "              version of file does not match with current version 1.1", false},
      {"SHORT.ZQRT", good.substr(0, 100), "The snapshot file is damaged: ", true},
      {"EMPTY.ZQRT", "", "", true},
  };
  for (const Case& c : cases) {
    writeBytes(dir + "/" + c.file, c.bytes);
    boxes.clear();
    EXPECT_FALSE(load(*t, dir + "/" + c.file)) << c.file;
    ASSERT_EQ(boxes.size(), 1u) << c.file;
    EXPECT_EQ(boxes[0].kind, BoxKind::Error);
    if (c.prefixOnly) EXPECT_TRUE(boxes[0].text.startsWith(c.message)) << boxes[0].text.toStdString();
    else EXPECT_EQ(boxes[0].text, c.message);
    EXPECT_EQ(t->vp.fsType, fsBefore);
    EXPECT_EQ(names(t->listFolder(t->rootIdentity())), before);
  }

  // A magic in upper case is accepted.
  boxes.clear();
  writeBytes(dir + "/UPPER.ZQRT", "ZQR4.03" + good.substr(7));
  EXPECT_TRUE(load(*t, dir + "/UPPER.ZQRT"));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(t->vp.fsType, FsType::Fat32);
}

TEST_F(Snapshots, WithSeveralChosenTheLastIsLoaded) {
  auto s = sampleSession(0);
  const std::string dir = osprin::test::makeTempDir("multi");
  save(*s, dir, "first");
  writeBytes(dir + "/BROKEN.ZQRT", "nothing");
  auto t = openSession();
  QStringList chosen;
  onModal<QFileDialog>([&](QFileDialog* d) {
    d->setDirectory(QString::fromStdString(dir));
    // Two names typed into the file name field, as the dialog quotes them.
    auto* edit = d->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->setText("\"BROKEN.ZQRT\" \"FIRST.ZQRT\"");
    static_cast<QDialog*>(d)->accept();
    chosen = d->selectedFiles();
  });
  EXPECT_TRUE(loadSnapshotCommand(nullptr, *t));
  ASSERT_EQ(chosen.size(), 2);
  EXPECT_TRUE(chosen.last().endsWith("FIRST.ZQRT"));
  EXPECT_TRUE(boxes.empty()) << boxTexts().join('|').toStdString();
}

TEST_F(Snapshots, ASnapshotOfAnotherDiskIsUsedOnlyWhenTheUserSaysSo) {
  auto s = sampleSession(1);
  const std::string dir = osprin::test::makeTempDir("otherdisk");
  save(*s, dir, "case1");
  std::string disk = osprin::test::readFile(osprin::test::fixtureImage("sample"));
  disk.append(1 << 20, '\0');
  writeBytes(dir + "/larger.img", disk);
  Session t;
  t.enumerateDrives({dir + "/larger.img"}, osprin::test::makeTempDir("nosys"));
  std::string err;
  ASSERT_TRUE(t.openDrive(0, err)) << err;

  EXPECT_FALSE(load(t, dir + "/CASE1.ZQRT"));  // answered No
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, BoxKind::Question);
  EXPECT_TRUE(boxes[0].text.contains("another disk")) << boxes[0].text.toStdString();
  EXPECT_EQ(t.vp.fsType, FsType::None);

  boxes.clear();
  answer = [](BoxKind, const QString&) { return int(QMessageBox::Yes); };
  EXPECT_TRUE(load(t, dir + "/CASE1.ZQRT"));
  answer = nullptr;
  EXPECT_EQ(t.vp.fsType, FsType::Ntfs);
  EXPECT_EQ(t.tree.fileCount, s->tree.fileCount);
}
