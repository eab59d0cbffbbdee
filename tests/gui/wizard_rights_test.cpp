// A normal user and a disk the user may not read: the disk is listed, and
// Next says what to do instead of showing nothing. Run as root, the test
// runs itself again as "nobody".
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>

#include "app/main_window.h"
#include "app/wizard_controller.h"
#include "widgets/message_box.h"

namespace osprin::gui::test {
namespace {

bool writeText(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

TEST(NormalUser, AnUnreadableDiskIsListedAndNextSaysWhatToDo) {
  if (::access("/dev/loop0", F_OK) != 0) GTEST_SKIP() << "no /dev/loop0 to stand for a disk";
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is missing";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string cmd = "cd /tmp && setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp " + self +
                            " -platform offscreen --gtest_filter=NormalUser.* --gtest_brief=1 >/tmp/osprin-nobody.log 2>&1";
    const int rc = std::system(cmd.c_str());
    QFile log("/tmp/osprin-nobody.log");
    log.open(QIODevice::ReadOnly);
    EXPECT_EQ(rc, 0) << log.readAll().toStdString();
    return;
  }
  // As a normal user: /sys/block says there is a loop device with a backing
  // file; /dev/loop0 may be opened by root only.
  ASSERT_NE(::access("/dev/loop0", R_OK), 0) << "this user can read /dev/loop0";
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  ASSERT_TRUE(writeText(tmp.filePath("sys/loop0/size"), "2048\n"));
  ASSERT_TRUE(writeText(tmp.filePath("sys/loop0/loop/backing_file"), "/srv/disk.img\n"));

  QStringList boxes;
  setMessageBoxHook([&](BoxKind, const QString& t) {
    boxes << t;
    return int(QMessageBox::Ok);
  });
  DesktopIntegration desktop;
  QStringList asked;
  desktop.openDevice = [&](const QString& device, QString& error, bool& missing) {
    asked << device;
    error = "no system bus";
    missing = true;
    return -1;
  };
  {
    MainWindow w({}, nullptr, tmp.filePath("sys"), desktop);
    w.show();
    QTreeWidgetItem* root = w.driveTree()->topLevelItem(0);
    ASSERT_EQ(root->childCount(), 1);  // listed though it cannot be opened
    EXPECT_TRUE(root->child(0)->text(0).startsWith("Storage Device0 \u2014 ")) << root->child(0)->text(0).toStdString();
    EXPECT_TRUE(root->child(0)->text(0).endsWith("(1.0 MB)"));
    w.chooseTreeItem(root->child(0));
    w.next();
    EXPECT_EQ(w.step(), 0);
    EXPECT_EQ(asked, QStringList{"/dev/loop0"});
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("/dev/loop0"));
    EXPECT_TRUE(boxes[0].contains("udisks2"));
    EXPECT_TRUE(boxes[0].contains("Open Disk Image...")) << boxes[0].toStdString();
    EXPECT_TRUE(w.findChild<QWidget*>("nextButton")->isEnabled());  // another try, or another disk
    setMessageBoxHook([](BoxKind, const QString&) { return int(QMessageBox::Yes); });
  }
  setMessageBoxHook({});
}

}  // namespace
}  // namespace osprin::gui::test
