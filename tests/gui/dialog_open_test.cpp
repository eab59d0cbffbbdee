// "&Open" and "Open &With...": the desktop's applications for a type, the
// chooser, and the temporary copy.
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>

#include "app/desktop_apps.h"
#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "dialog_support.h"

namespace fs = std::filesystem;
using namespace osprin;
using namespace osprin::gui;
using namespace osprin::gui::dtest;

namespace {

void writeText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

QStringList appNames(const std::vector<DesktopApp>& apps) {
  QStringList out;
  for (const auto& a : apps) out << a.name;
  return out;
}

// Private XDG folders and a private temporary folder for each test.
class Desktop : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    root = osprin::test::makeTempDir("xdg");
    for (const char* v : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "TMPDIR"})
      saved[v] = qEnvironmentVariableIsSet(v) ? std::optional<QByteArray>(qgetenv(v)) : std::nullopt;
    // The MIME database stays the system's (it is found through the same folders).
    fs::create_directories(root + "/local");
    for (const QString& d : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, "mime",
                                                      QStandardPaths::LocateDirectory)) {
      fs::create_directory_symlink(d.toStdString(), root + "/local/mime");
      break;
    }
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(root + "/home"));
    qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(root + "/sys:" + root + "/local"));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(root + "/config"));
    qputenv("XDG_CONFIG_DIRS", QByteArray::fromStdString(root + "/etc"));
    tmp = root + "/tmp";
    fs::create_directories(tmp);
    qputenv("TMPDIR", QByteArray::fromStdString(tmp));
  }
  void TearDown() override {
    for (const auto& [k, v] : saved) {
      if (v) qputenv(k.c_str(), *v);
      else qunsetenv(k.c_str());
    }
    DialogTest::TearDown();
  }
  void app(const std::string& dataDir, const std::string& rel, const std::string& body) {
    writeText(root + "/" + dataDir + "/applications/" + rel, "[Desktop Entry]\n" + body);
  }
  void standardApps() {
    app("home", "editor.desktop", "Type=Application\nName=Editor\nExec=editor --new %F\nMimeType=text/plain;\n");
    app("sys", "editor.desktop", "Type=Application\nName=System Editor\nExec=sysedit %f\nMimeType=text/plain;\n");
    app("sys", "viewer.desktop",
        "Type=Application\nName=Viewer\nIcon=viewer\nExec=\"/opt/my viewer/bin/view\" %u\n"
        "MimeType=text/plain;image/jpeg;\n");
    app("sys", "hidden.desktop", "Type=Application\nName=Hidden\nHidden=true\nExec=h %f\nMimeType=text/plain;\n");
    app("sys", "kde/kwrite.desktop",
        "Type=Application\nName=KWrite\nNoDisplay=true\nExec=kwrite %U\nMimeType=text/plain;\n");
    app("sys", "link.desktop", "Type=Link\nName=Link\nURL=http://example.org\nMimeType=text/plain;\n");
    app("sys", "tryexec.desktop",
        "Type=Application\nName=Missing\nTryExec=/nonexistent/osprin/prog\nExec=prog %f\nMimeType=text/plain;\n");
    app("local", "img.desktop", "Type=Application\nName=Images\nExec=img\nMimeType=image/png;\n");
    writeText(root + "/sys/applications/broken.desktop", "not a desktop file\n");
  }

  std::string root, tmp;
  std::map<std::string, std::optional<QByteArray>> saved;
};

}  // namespace

TEST_F(Desktop, ApplicationsForATypeAndItsAncestors) {
  standardApps();
  const auto text = applicationsForMime("text/plain");
  // The home folder's editor hides the system one of the same ID; hidden
  // entries, links and programs that are not installed are left out; an
  // entry below a sub-folder gets its ID with '-'.
  EXPECT_EQ(appNames(text), QStringList({"Editor", "KWrite", "Viewer"}));
  for (const auto& a : text) {
    if (a.name == "KWrite") {
      EXPECT_EQ(a.id, "kde-kwrite.desktop");
    }
    if (a.name == "Editor") {
      EXPECT_EQ(a.file.toStdString(), root + "/home/applications/editor.desktop");
    }
  }
  // C source is plain text too.
  EXPECT_EQ(appNames(applicationsForMime("text/x-csrc")), appNames(text));
  EXPECT_EQ(appNames(applicationsForMime("image/jpeg")), QStringList({"Viewer"}));
  EXPECT_EQ(appNames(applicationsForFile(QString::fromStdString(root + "/x/NOTES.TXT"))), appNames(text));
  EXPECT_TRUE(applicationsForMime("application/x-osprin-nothing").empty());
}

TEST_F(Desktop, AssociationsAndDefaults) {
  standardApps();
  EXPECT_TRUE(hasAssociatedApplication(QString::fromStdString(tmp + "/a.txt")));
  EXPECT_TRUE(hasAssociatedApplication(QString::fromStdString(tmp + "/b.png")));
  EXPECT_FALSE(hasAssociatedApplication(QString::fromStdString(tmp + "/c.osprin-unknown-type")));
  if (!QStandardPaths::findExecutable("xdg-mime").isEmpty()) GTEST_SKIP() << "xdg-mime answers for the defaults";
  EXPECT_EQ(defaultApplicationFor("image/png"), "");
  // The first installed entry of the user's list wins.
  writeText(root + "/config/mimeapps.list",
            "[Added Associations]\nimage/png=viewer.desktop;\n"
            "[Default Applications]\nimage/png=missing.desktop;img.desktop;\ntext/plain=viewer.desktop\n");
  EXPECT_EQ(defaultApplicationFor("image/png"), "img.desktop");
  EXPECT_EQ(defaultApplicationFor("text/plain"), "viewer.desktop");
  // A default of the system's lists counts as well.
  writeText(root + "/sys/applications/defaults.list", "[Default Applications]\napplication/pdf=viewer.desktop\n");
  EXPECT_EQ(defaultApplicationFor("application/pdf"), "viewer.desktop");
  EXPECT_TRUE(hasAssociatedApplication(QString::fromStdString(tmp + "/d.pdf")));
}

TEST(DesktopExec, FieldCodesAndQuoting) {
  DesktopApp a;
  a.name = "My App";
  a.icon = "myicon";
  a.file = "/usr/share/applications/my.desktop";
  const QString f = "/tmp/dir with blanks/A FILE.TXT";

  a.exec = "editor --new %F";
  EXPECT_EQ(expandExec(a, f), QStringList({"editor", "--new", f}));
  a.exec = "\"/opt/my viewer/bin/view\" %u";
  EXPECT_EQ(expandExec(a, f), QStringList({"/opt/my viewer/bin/view", f}));
  a.exec = "app --name=%c %i --file=%f %k 100%% %d %D %n %N %v %m";
  EXPECT_EQ(expandExec(a, f), QStringList({"app", "--name=My App", "--icon", "myicon", "--file=" + f,
                                           "/usr/share/applications/my.desktop", "100%"}));
  // Without a file code the file is appended.
  a.exec = "prog -x";
  EXPECT_EQ(expandExec(a, f), QStringList({"prog", "-x", f}));
  // Escapes inside quotes.
  a.exec = R"(sh -c "echo \"\$1\" > out" sh %f)";
  EXPECT_EQ(expandExec(a, f), QStringList({"sh", "-c", "echo \"$1\" > out", "sh", f}));
  // No icon: %i is dropped.
  a.icon.clear();
  a.exec = "x %i %f";
  EXPECT_EQ(expandExec(a, f), QStringList({"x", f}));

  EXPECT_EQ(typedCommand("cp %f /out/dir", f), QStringList({"cp", f, "/out/dir"}));
  EXPECT_EQ(typedCommand("less", f), QStringList({"less", f}));
  EXPECT_EQ(typedCommand("\"/opt/a b/prog\" -v", f), QStringList({"/opt/a b/prog", "-v", f}));
  EXPECT_EQ(typedCommand("   ", f), QStringList());
}

TEST_F(Desktop, TheChooser) {
  standardApps();
  const QString file = QString::fromStdString(tmp + "/README.TXT");
  {
    OpenWithDialog d(nullptr, file, applicationsForFile(file));
    EXPECT_EQ(d.windowTitle(), "Open With");
    ASSERT_EQ(d.appList->count(), 3);
    EXPECT_EQ(d.appList->item(0)->text(), "Editor");
    EXPECT_EQ(d.appList->currentRow(), 0);
    EXPECT_TRUE(d.okButton->isEnabled());
    EXPECT_EQ(d.commandLine(), QStringList({"editor", "--new", file}));
    d.appList->setCurrentRow(2);
    EXPECT_EQ(d.commandLine(), QStringList({"/opt/my viewer/bin/view", file}));
    // A typed command takes the place of the list's choice.
    QTest::keyClicks(d.commandEdit, "mycat -n");
    EXPECT_EQ(d.appList->currentRow(), -1);
    EXPECT_EQ(d.commandLine(), QStringList({"mycat", "-n", file}));
  }
  {
    // Nothing registered: only a typed command can be run.
    OpenWithDialog d(nullptr, file, {});
    EXPECT_EQ(d.appList->count(), 0);
    EXPECT_FALSE(d.okButton->isEnabled());
    d.accept();
    EXPECT_EQ(d.result(), QDialog::Rejected);  // accept refused: nothing to run
    QTest::keyClicks(d.commandEdit, "x");
    EXPECT_TRUE(d.okButton->isEnabled());
  }
}

TEST_F(Desktop, OpenWithRunsTheTypedCommandOnTheTemporaryCopy) {
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  const ListRow* readme = findRow(rows, "readme.txt");
  ASSERT_NE(readme, nullptr);
  const std::string out = root + "/out.txt";
  QString shownFile;
  onModal<OpenWithDialog>([&](OpenWithDialog* d) {
    shownFile = d->findChild<QLabel*>("fileName")->text();
    d->commandEdit->setText(QString::fromStdString("cp %f " + out));
    QTest::mouseClick(d->okButton, Qt::LeftButton);
  });
  openFileRow(nullptr, *s, *readme, true);
  EXPECT_EQ(shownFile.toLower(), "readme.txt");
  const std::string copy = tmp + "/" + readme->name;
  ASSERT_TRUE(fs::exists(copy));
  std::string want;
  for (const auto& e : osprin::test::readManifestEntries("sample", "p1"))
    if (e.path == "/readme.txt") want = e.sha256;
  EXPECT_EQ(osprin::test::sha256File(copy), want);
  ASSERT_TRUE(waitFor([&] { return fs::exists(out) && fs::file_size(out) == readme->size; }));
  EXPECT_EQ(osprin::test::sha256File(out), want);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Desktop, OpenWithoutAnAssociatedProgramShowsTheChooser) {
  // No desktop files at all: nothing is associated with a text file.
  auto s = sampleSession(0);
  const auto rows = s->listFolder(s->rootIdentity());
  const ListRow* readme = findRow(rows, "readme.txt");
  ASSERT_NE(readme, nullptr);
  // An earlier temporary copy is replaced.
  const std::string copy = tmp + "/" + readme->name;
  writeText(copy, "an older copy that is much longer than the file");
  int choosers = 0;
  onModal<OpenWithDialog>([&](OpenWithDialog* d) {
    ++choosers;
    d->reject();
  });
  openFileRow(nullptr, *s, *readme, false);
  EXPECT_EQ(choosers, 1);
  EXPECT_EQ(fs::file_size(copy), readme->size);
}

TEST_F(Desktop, NothingIsOpenedWithoutAFile) {
  ModalGuard guard;
  {
    // An NTFS file of 0 bytes is not written and nothing is opened.
    auto s = sampleSession(1);
    const auto rows = s->listFolder(s->rootIdentity());
    const ListRow* readme = findRow(rows, "readme.txt");
    ASSERT_NE(readme, nullptr);
    ListRow empty = *readme;
    empty.size = 0;
    openFileRow(nullptr, *s, empty, false);
    openFileRow(nullptr, *s, empty, true);
    EXPECT_TRUE(fs::is_empty(tmp));
    // A folder row is the window's business.
    openFileRow(nullptr, *s, *findRow(rows, "Documents"), true);
    EXPECT_TRUE(fs::is_empty(tmp));
  }
  {
    // A copy that cannot be created: the question, then nothing else.
    auto s = sampleSession(0);
    const auto rows = s->listFolder(s->rootIdentity());
    const ListRow* readme = findRow(rows, "readme.txt");
    ASSERT_NE(readme, nullptr);
    const std::string blocker = tmp + "/" + readme->name;
    fs::create_directory(blocker);
    for (auto reply : {QMessageBox::Yes, QMessageBox::No}) {
      boxes.clear();
      answer = [reply](BoxKind, const QString&) { return int(reply); };
      openFileRow(nullptr, *s, *readme, true);
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].kind, BoxKind::ErrorQuestion);
      EXPECT_TRUE(boxes[0].text.startsWith(QString::fromStdString("Error creating file : " + blocker + " (")));
      EXPECT_TRUE(boxes[0].text.endsWith(").  Continue Recovery ? "));
      EXPECT_TRUE(fs::is_directory(blocker));
    }
  }
  EXPECT_TRUE(guard.seen.empty());  // no chooser came up
}
