// The desktop tests run in one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <cstdlib>

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  // Settings the window remembers go to a test folder, in a file of this
  // process's own (ctest runs several test processes at once, which would
  // otherwise change each other's settings), emptied at the start and
  // removed at the end.
  QStandardPaths::setTestModeEnabled(true);
  QApplication::setOrganizationName("osprin-tests");
  QApplication::setApplicationName(QString("osprin-gui-tests-%1").arg(QApplication::applicationPid()));
  QSettings().clear();
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  QFile::remove(QSettings().fileName());
  return status;
}
