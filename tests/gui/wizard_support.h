#pragma once
// A wizard window on the sample disk (and only on it: the machine's disks are
// left out), with every message box answered by the test and recorded.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/file_list_model.h"
#include "app/info_panel.h"
#include "app/main_window.h"
#include "app/texts.h"
#include "support/fixtures.h"
#include "widgets/message_box.h"

namespace osprin::gui::test {

struct Box {
  BoxKind kind;
  QString text;
};

inline QString q(std::string_view s) { return qs(s); }

// The quick-help text as the window shows it.
inline QString helpShown(std::string_view text) {
  QString t = qs(text);
  t.replace("\r\n", "\n");
  return t;
}

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override { open({QString::fromStdString(osprin::test::fixtureImage("sample"))}); }

  void open(const QStringList& images) {
    w.reset();
    boxes.clear();
    setMessageBoxHook([this](BoxKind k, const QString& t) {
      boxes.push_back({k, t});
      if (answer) return answer(k, t);
      return k == BoxKind::Info || k == BoxKind::Error ? int(QMessageBox::Ok) : int(QMessageBox::No);
    });
    DesktopIntegration desktop;
    desktop.openUrl = [this](const QUrl& u) {
      urls.push_back(u);
      return urlOpens;
    };
    desktop.openFile = [this](QWidget*, Session&, const ListRow& row, bool openWith) {
      opened.push_back({row.name, openWith});
    };
    desktop.startProgram = [this](const QString& program, const QStringList& args) {
      return starter ? starter(program, args) : false;
    };
    w = std::make_unique<MainWindow>(images, nullptr, "/nonexistent/osprin-test-sys", desktop);
    w->show();
    QApplication::processEvents();
  }

  void TearDown() override {
    w.reset();
    setMessageBoxHook({});
  }

  // ---- finding things ----------------------------------------------------------
  template <class T>
  T* find(const char* name) const {
    T* o = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(o, nullptr) << "no " << name;
    return o;
  }
  QPushButton* button(const char* name) const { return find<QPushButton>(name); }
  QAction* action(const char* name) const { return find<QAction>(name); }
  // Shown and usable.
  bool shown(const char* name) const {
    QWidget* x = find<QWidget>(name);
    return x && x->isVisible() && x->isEnabled();
  }
  QStringList childLabels(QTreeWidget* t) const {
    QStringList out;
    QTreeWidgetItem* root = t->topLevelItem(0);
    for (int i = 0; root && i < root->childCount(); ++i) out << root->child(i)->text(0);
    return out;
  }
  QTreeWidgetItem* child(QTreeWidget* t, int i) const {
    QTreeWidgetItem* root = t->topLevelItem(0);
    return root && i < root->childCount() ? root->child(i) : nullptr;
  }
  QStringList boxTexts() const {
    QStringList out;
    for (const Box& b : boxes) out << b.text;
    return out;
  }
  bool sawBox(std::string_view text, BoxKind kind) const {
    for (const Box& b : boxes)
      if (b.text == qs(text) && b.kind == kind) return true;
    return false;
  }
  // The rows of the list: name -> type text.
  std::map<QString, QString> listTypes() const {
    std::map<QString, QString> out;
    FileListModel* m = w->listModel();
    for (int i = 0; i < m->count(); ++i) out[QString::fromStdString(m->row(i).name).toLower()] = m->typeText(i);
    return out;
  }
  int rowOf(const QString& name) const {
    FileListModel* m = w->listModel();
    for (int i = 0; i < m->count(); ++i)
      if (QString::fromStdString(m->row(i).name).compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
  }
  void selectRow(int r) {
    QTableView* v = find<QTableView>("fileList");
    v->selectionModel()->setCurrentIndex(w->listModel()->index(r, 0),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }

  // ---- moving through the wizard -------------------------------------------------
  void clickItem(QTreeWidget* t, QTreeWidgetItem* it) {
    ASSERT_NE(it, nullptr);
    t->scrollToItem(it);
    QRect r = t->visualItemRect(it);
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, r.center());
  }
  // A double click as a user makes it (press and release, then the second click).
  void doubleClick(QAbstractItemView* v, const QModelIndex& idx) {
    v->scrollTo(idx);
    QPoint p = v->visualRect(idx).center();
    QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, p);
    QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, p);
  }
  void chooseDrive(int k = 0) { clickItem(w->driveTree(), child(w->driveTree(), k)); }
  void toPartitionStep(bool advanced = false) {
    if (advanced) find<QRadioButton>("advanceRadio")->setChecked(true);
    chooseDrive();
    ASSERT_TRUE(shown("nextButton"));
    w->next();
    w->waitForJob();
    ASSERT_EQ(w->step(), 1);
  }
  // Standard scan of partition `index` (0-based) to the browse step.
  void toBrowseStep(int index) {
    toPartitionStep();
    w->chooseTreeItem(child(w->partitionTree(), index));
    ASSERT_TRUE(shown("nextButton"));
    w->next();
    w->waitForJob();
    ASSERT_EQ(w->step(), 3);
  }
  // Runs `act` on the next modal window that opens (a dialog the command
  // under test runs with exec()).
  void onNextModal(std::function<void(QWidget*)> act) {
    auto* t = new QTimer(w.get());
    t->setInterval(5);
    QObject::connect(t, &QTimer::timeout, t, [t, act] {
      if (QWidget* m = QApplication::activeModalWidget()) {
        t->stop();
        t->deleteLater();
        act(m);
      }
    });
    t->start();
  }
  // The same for the next popup menu.
  void onNextPopup(std::function<void(QWidget*)> act) {
    auto* t = new QTimer(w.get());
    t->setInterval(5);
    QObject::connect(t, &QTimer::timeout, t, [t, act] {
      if (QWidget* m = QApplication::activePopupWidget()) {
        t->stop();
        t->deleteLater();
        act(m);
      }
    });
    t->start();
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      QApplication::processEvents();
      QThread::msleep(10);
    }
  }

  // The enabled state of the commands the wizard switches.
  std::map<std::string, bool> menuState() const {
    std::map<std::string, bool> m;
    for (const char* n : {"actRecoverSelected", "actRecoverAll", "actSaveSnapshot", "actLoadSnapshot", "actIcons",
                          "actList", "actDetails", "actFindFiles", "actFileFilters", "actSettings", "actDriveInfo"})
      m[n] = action(n)->isEnabled();
    return m;
  }
  static std::map<std::string, bool> expectedState(const std::string& state, bool settings) {
    const bool browse = state == "browse";
    return {{"actRecoverSelected", browse}, {"actRecoverAll", browse},   {"actSaveSnapshot", browse},
            {"actLoadSnapshot", state == "selection"}, {"actIcons", browse}, {"actList", browse},
            {"actDetails", browse},  {"actFindFiles", browse},    {"actFileFilters", browse},
            {"actSettings", settings}, {"actDriveInfo", browse}};
  }

  std::unique_ptr<MainWindow> w;
  std::vector<Box> boxes;
  std::function<int(BoxKind, const QString&)> answer;
  std::vector<QUrl> urls;
  bool urlOpens = true;  // whether the desktop takes the addresses it is given
  std::function<bool(const QString&, const QStringList&)> starter;
  std::vector<std::pair<std::string, bool>> opened;
};

}  // namespace osprin::gui::test
