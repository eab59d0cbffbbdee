// "&Recover Selected..." and "Recover &All...": the destination chooser and
// the "Saving the data please wait" dialog around the copy on a worker thread.
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "recovery/destination.h"
#include "widgets/message_box.h"

namespace osprin::gui {

SavingDialog::SavingDialog(QWidget* parent, RecoveryFlags& flags) : QDialog(parent), flags_(flags) {
  setObjectName("savingDialog");
  setWindowTitle(qs(texts::kSavingTitle));
  setModal(true);
  // No close box: the dialog ends with the copy.
  setWindowFlags((windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint) & ~Qt::WindowCloseButtonHint &
                 ~Qt::WindowContextHelpButtonHint);

  auto* grid = new QGridLayout;
  auto addRow = [&](int r, const char* label, const char* name) {
    auto* l = new QLabel(QString::fromLatin1(label), this);
    auto* v = new QLabel(this);
    v->setObjectName(QString::fromLatin1(name));
    v->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->setMinimumWidth(360);
    v->setTextFormat(Qt::PlainText);
    grid->addWidget(l, r, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(v, r, 1);
    return v;
  };
  pathValue = addRow(0, "Path", "pathValue");
  pathValue->setWordWrap(true);
  nameValue = addRow(1, "File Name", "nameValue");
  nameValue->setWordWrap(true);
  totalValue = addRow(2, "Total Files", "totalValue");
  totalValue->setText("0");
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(16);

  bar = new QProgressBar(this);
  bar->setObjectName("progress");
  bar->setRange(0, 100);
  bar->setValue(0);

  stopButton = new QPushButton("&Stop Saving", this);
  stopButton->setObjectName("stopButton");
  stopButton->setDefault(true);
  stopButton->setAutoDefault(true);
  skipButton = new QPushButton("S&kip File", this);
  skipButton->setObjectName("skipButton");
  skipButton->setAutoDefault(false);
  connect(stopButton, &QPushButton::clicked, this, [this] { flags_.saveStopRequested.store(1); });
  connect(skipButton, &QPushButton::clicked, this, [this] { flags_.skipFileRequested.store(1); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(stopButton);
  buttons->addWidget(skipButton);

  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addWidget(bar);
  top->addLayout(buttons);
  stopButton->setFocus();
}

void SavingDialog::follow(QtObserver& obs) {
  connect(&obs, &QtObserver::textChanged, this, [this](const QString& label, const QString& value) {
    if (label == "Path") pathValue->setText(value);
    else if (label == "File Name") nameValue->setText(value);
  });
  connect(&obs, &QtObserver::counterChanged, this, [this](const QString& label, quint64 value) {
    if (label == "Total Files") totalValue->setText(QString::number(value));
  });
  connect(&obs, &QtObserver::progressChanged, this, [this](int p) { bar->setValue(std::clamp(p, 0, 100)); });
}

void SavingDialog::finish() {
  finished_ = true;
  if (isVisible()) accept();
}

// Escape (and anything else that would cancel) does nothing while the copy runs.
void SavingDialog::reject() {
  if (finished_) QDialog::reject();
}

void SavingDialog::closeEvent(QCloseEvent* e) {
  if (finished_) QDialog::closeEvent(e);
  else e->ignore();
}

namespace {

QString chooseDestination(QWidget* parent) {
  return QFileDialog::getExistingDirectory(parent, qs(texts::kChooseDestination), QString(),
                                           QFileDialog::ShowDirsOnly);
}

}  // namespace

bool recoverRows(QWidget* parent, Session& s, const std::vector<ListRow>& rows, const QString& destination) {
  const std::string source = s.drive() ? s.drive()->path : std::string();
  QString dest = destination;
  for (;;) {
    if (dest.isEmpty()) {
      dest = chooseDestination(parent);
      if (dest.isEmpty()) return false;
    }
    const DestinationCheck check = checkDestination(us(dest), source);
    if (!check.onSource) break;
    if (yesNoBox(parent, qs(check.reason) + qs(texts::kDestinationOnSourceQuestion), true)) break;
    if (!destination.isEmpty()) return false;  // no chooser to go back to
    dest.clear();
  }

  RecoveryFlags flags;
  SavingDialog dlg(parent, flags);
  QtObserver obs(&dlg);
  obs.setAskWithErrorIcon(true);
  dlg.follow(obs);
  const std::string target = us(dest);
  JobRunner runner;  // declared last: its destructor waits for the worker
  runner.start([&s, &rows, &target, &flags, &obs] { s.recoverRows(rows, target, flags, obs); },
               [&dlg] { dlg.finish(); });
  if (!dlg.finished()) dlg.exec();
  runner.wait();
  return true;
}

}  // namespace osprin::gui
