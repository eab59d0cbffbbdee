#include "app/wizard_driver.h"

#include <QRadioButton>
#include <QTreeWidget>

#include "app/main_window.h"

namespace osprin::gui {

namespace {
QTreeWidgetItem* child(QTreeWidget* t, int i) {
  QTreeWidgetItem* root = t->topLevelItem(0);
  if (!root || i < 0 || i >= root->childCount()) return nullptr;
  return root->child(i);
}
}  // namespace

bool driveToStep(MainWindow& w, int step, QString& error) {
  QTreeWidgetItem* drive = child(w.driveTree(), w.driveTree()->topLevelItem(0)->childCount() - 1);
  if (!drive) {
    error = "no drive is listed";
    return false;
  }
  if (step == 2) w.findChild<QRadioButton*>("advanceRadio")->setChecked(true);
  w.chooseTreeItem(drive);
  if (step == 0) return true;
  w.next();
  w.waitForJob();
  if (w.step() != 1) {
    error = "the partition step was not reached";
    return false;
  }
  const int partitions = w.partitionTree()->topLevelItem(0)->childCount();
  if (step == 2) {
    if (QTreeWidgetItem* p = child(w.partitionTree(), partitions > 1 ? 1 : 0)) w.chooseTreeItem(p);
    w.next();
    w.waitForJob();
    if (w.step() != 2) {
      error = "the found file system step was not reached";
      return false;
    }
    if (QTreeWidgetItem* f = child(w.foundTree(), 0)) w.chooseTreeItem(f);
    return true;
  }
  QTreeWidgetItem* first = child(w.partitionTree(), 0);
  if (!first) {
    error = "the drive has no partition";
    return false;
  }
  w.chooseTreeItem(first);
  if (step == 1) return true;
  w.next();
  w.waitForJob();
  if (w.step() != 3) {
    error = "the browse step was not reached";
    return false;
  }
  return true;
}

}  // namespace osprin::gui
