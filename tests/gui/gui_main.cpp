// The desktop tests run in one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <cstdlib>

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  // Settings the window remembers go to a test folder, emptied at the start.
  QStandardPaths::setTestModeEnabled(true);
  QApplication::setOrganizationName("osprin-tests");
  QApplication::setApplicationName("osprin-gui-tests");
  QSettings().clear();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
