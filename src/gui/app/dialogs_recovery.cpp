// "&Recover Selected..." and "Recover &All...": the destination chooser and
// the "Saving the data please wait" dialog around the copy on a worker thread.
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QListWidget>
#include <QUrl>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/list_order.h"
#include "app/progress_texts.h"
#include "app/qt_observer.h"
#include "app/texts.h"
#include "recovery/destination.h"
#include "recovery/report.h"
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
  auto addRow = [&](int r, const QString& label, const char* name) {
    auto* l = new QLabel(label, this);
    auto* v = new QLabel(this);
    v->setObjectName(QString::fromLatin1(name));
    v->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->setMinimumWidth(360);
    v->setTextFormat(Qt::PlainText);
    grid->addWidget(l, r, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(v, r, 1);
    return v;
  };
  pathValue = addRow(0, guiText(TextField::SaveFolder), "pathValue");
  pathValue->setWordWrap(true);
  nameValue = addRow(1, guiText(TextField::SaveFileName), "nameValue");
  nameValue->setWordWrap(true);
  totalValue = addRow(2, guiText(Counter::FilesSaved), "totalValue");
  totalValue->setText("0");
  overallValue = addRow(3, QStringLiteral("Overall"), "overallValue");
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
  connect(&obs, &QtObserver::textChanged, this, [this](TextField which, const QString& value) {
    if (which == TextField::SaveFolder) pathValue->setText(value);
    else if (which == TextField::SaveFileName) nameValue->setText(value);
  });
  connect(&obs, &QtObserver::counterChanged, this, [this](Counter which, quint64 value) {
    if (which != Counter::FilesSaved) return;
    totalValue->setText(QString::number(value));
    showOverall(value);
  });
  connect(&obs, &QtObserver::progressChanged, this, [this](int p) { bar->setValue(std::clamp(p, 0, 100)); });
}

void SavingDialog::setPlanned(std::uint64_t files, std::uint64_t bytes) {
  plannedFiles_ = files;
  plannedBytes_ = bytes;
  clock_.start();
  showOverall(0);
}

void SavingDialog::showOverall(std::uint64_t done) {
  if (plannedFiles_ == 0) return;
  QString t = QString("%1 of %2 files (%3 in all)").arg(done).arg(plannedFiles_).arg(humanSize(plannedBytes_));
  // Time left by the files done so far, once there is something to go by.
  if (done > 0 && done < plannedFiles_ && clock_.isValid() && clock_.elapsed() > 2000) {
    const double perFile = static_cast<double>(clock_.elapsed()) / static_cast<double>(done);
    const auto left = static_cast<qint64>(perFile * static_cast<double>(plannedFiles_ - done) / 1000.0);
    t += left >= 120 ? QString(", about %1 min left").arg(left / 60) : QString(", about %1 s left").arg(left);
  }
  overallValue->setText(t);
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

QString reportFileName(const QString& typed, const QString& destination) {
  QString folder = destination;
  while (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
  QString name = typed.trimmed();
  if (name.isEmpty()) return folder + "-report.json";
  if (QFileInfo(name).isRelative()) name = QFileInfo(folder).absoluteDir().filePath(name);
  if (!reportFormatKnown(us(name))) name += ".json";
  return name;
}

namespace {

struct DestinationChoice {
  QString folder;
  QString report;  // empty: no report
};

// "Please select the path to recover the data", with the "Save report"
// choice below the folders.
bool chooseDestination(QWidget* parent, DestinationChoice& out) {
  QFileDialog dlg(parent, qs(texts::kChooseDestination));
  dlg.setObjectName("destinationDialog");
  dlg.setFileMode(QFileDialog::Directory);
  dlg.setOption(QFileDialog::ShowDirsOnly);
  dlg.setOption(QFileDialog::DontUseNativeDialog);  // the report's row lives in its layout
  auto* row = new QWidget(&dlg);
  auto* h = new QHBoxLayout(row);
  h->setContentsMargins(0, 0, 0, 0);
  auto* check = new QCheckBox("Save &report", row);
  check->setObjectName("reportCheck");
  check->setToolTip("Writes what was copied, from where, with the SHA-256 and MD5 of each file (.json, .csv or DFXML .xml)");
  auto* edit = new QLineEdit(row);
  edit->setObjectName("reportEdit");
  edit->setPlaceholderText("beside the folder: FOLDER-report.json");
  auto* browse = new QPushButton("Bro&wse...", row);
  browse->setObjectName("reportBrowse");
  edit->setEnabled(false);
  browse->setEnabled(false);
  QObject::connect(check, &QCheckBox::toggled, edit, &QWidget::setEnabled);
  QObject::connect(check, &QCheckBox::toggled, browse, &QWidget::setEnabled);
  QObject::connect(browse, &QPushButton::clicked, &dlg, [&dlg, edit] {
    const QString start = edit->text().isEmpty() ? dlg.directory().absolutePath() + "/recovery-report.json" : edit->text();
    const QString f = QFileDialog::getSaveFileName(&dlg, "Save report", start,
                                                   "JSON (*.json);;CSV (*.csv);;DFXML (*.xml)", nullptr,
                                                   QFileDialog::DontUseNativeDialog);
    if (!f.isEmpty()) edit->setText(f);
  });
  h->addWidget(check);
  h->addWidget(edit, 1);
  h->addWidget(browse);
  if (auto* grid = qobject_cast<QGridLayout*>(dlg.layout()))
    grid->addWidget(row, grid->rowCount(), 0, 1, grid->columnCount());
  else if (dlg.layout())
    dlg.layout()->addWidget(row);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
  out.folder = dlg.selectedFiles().constFirst();
  out.report = check->isChecked() ? reportFileName(edit->text(), out.folder) : QString();
  return !out.folder.isEmpty();
}

// The folder a file is in ("." for a bare name).
std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

RecoverySummaryDialog::RecoverySummaryDialog(QWidget* parent, const RecoveryResult& r, const QString& folder,
                                             std::function<bool(const QUrl&)> openUrl, const QString& report)
    : QDialog(parent) {
  setObjectName("recoverySummary");
  setWindowTitle("Recovery finished");
  auto* top = new QVBoxLayout(this);
  QString head = r.stopped ? QString("Recovery stopped. %1 file(s) were written to:") : QString("%1 file(s) were written to:");
  headline = new QLabel(head.arg(r.filesSaved), this);
  headline->setObjectName("summaryHeadline");
  top->addWidget(headline);
  auto* row = new QHBoxLayout;
  folderValue = new QLabel(folder, this);
  folderValue->setObjectName("summaryFolder");
  folderValue->setTextInteractionFlags(Qt::TextSelectableByMouse);
  openFolderButton = new QPushButton("&Open Folder", this);
  openFolderButton->setObjectName("openFolderButton");
  connect(openFolderButton, &QPushButton::clicked, this, [this, folder, openUrl] {
    if (!openUrl || !openUrl(QUrl::fromLocalFile(folder)))
      okBox(this, MsgKind::Info, "No file manager could be started. The files are in " + folder);
  });
  row->addWidget(folderValue, 1);
  row->addWidget(openFolderButton);
  top->addLayout(row);
  if (!report.isEmpty()) {
    reportValue = new QLabel("Report: " + report, this);
    reportValue->setObjectName("summaryReport");
    reportValue->setTextInteractionFlags(Qt::TextSelectableByMouse);
    top->addWidget(reportValue);
  }
  problems = new QListWidget(this);
  problems->setObjectName("summaryProblems");
  for (const std::string& e : r.errors) problems->addItem(qs(e));
  for (const std::string& p : r.incomplete) problems->addItem("Incomplete: " + qs(p));
  auto* problemsTitle = new QLabel(problems->count() == 0 ? QString("Every file was written whole.")
                                                          : QString("%1 problem(s):").arg(problems->count()),
                                   this);
  problemsTitle->setObjectName("summaryProblemsTitle");
  top->addWidget(problemsTitle);
  top->addWidget(problems, 1);
  problems->setVisible(problems->count() > 0);
  auto* close = new QPushButton("Close", this);
  close->setObjectName("closeButton");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(close);
  top->addLayout(bottom);
  setMinimumWidth(560);
  problems->setMinimumHeight(problems->count() > 0 ? 160 : 0);
  resize(640, problems->count() > 0 ? 360 : 160);
}

bool recoverRows(QWidget* parent, Session& s, const std::vector<ListRow>& rows, const QString& destination,
                 std::function<bool(const QUrl&)> openUrl, const QString& report) {
  const std::string source = s.drive() ? s.drive()->path : std::string();
  QString dest = destination;
  QString reportPath = destination.isEmpty() || report.isEmpty() ? QString() : reportFileName(report, destination);
  for (;;) {
    if (dest.isEmpty()) {
      DestinationChoice choice;
      if (!chooseDestination(parent, choice)) return false;
      dest = choice.folder;
      reportPath = choice.report;
    }
    // The report is a file written like the recovered ones: not on the disk
    // being recovered either.
    DestinationCheck check = checkDestination(us(dest), source);
    if (!check.onSource && !reportPath.isEmpty()) check = checkDestination(folderOf(us(reportPath)), source);
    if (!check.onSource) break;
    if (yesNoBox(parent, qs(check.reason) + qs(texts::kDestinationOnSourceQuestion), true)) break;
    if (!destination.isEmpty()) return false;  // no chooser to go back to
    dest.clear();
  }

  // What the run is to copy, for its overall progress.
  std::uint64_t files = 0, bytes = 0;
  for (const ListRow& r : rows) {
    if (!r.folder) {
      ++files;
      bytes += r.size;
    } else {
      const FolderStats st = folderStats(s, static_cast<std::uint32_t>(r.id));
      files += st.files;
      bytes += st.bytes;
    }
  }

  RecoveryFlags flags;
  SavingDialog dlg(parent, flags);
  QtObserver obs(&dlg);
  obs.setAskWithErrorIcon(true);
  dlg.follow(obs);
  dlg.setPlanned(files, bytes);
  const std::string target = us(dest);
  RecoveryResult result;
  // The same report as `osprin recover --report` writes.
  std::unique_ptr<RecoveryReport> rep;
  if (!reportPath.isEmpty()) {
    rep = s.makeReport();
    rep->info.commandLine = "osprin-gui";
  }
  RecoveryReport* repPtr = rep.get();
  JobRunner runner;  // declared last: its destructor waits for the worker
  runner.start([&s, &rows, &target, &flags, &obs, &result, repPtr] {
                 result = s.recoverRows(rows, target, flags, obs, repPtr);
               },
               [&dlg] { dlg.finish(); });
  if (!dlg.finished()) dlg.exec();
  runner.wait();
  QString reportWritten;
  if (rep) {
    std::string error;
    if (rep->write(us(reportPath), error))
      reportWritten = reportPath;
    else
      okBox(parent, MsgKind::Error, "The report was not saved: " + qs(error));
  }
  // The summary stays open beside the window (not modal) until closed.
  if (parent) {
    auto* summary = new RecoverySummaryDialog(parent, result, dest, std::move(openUrl), reportWritten);
    summary->setAttribute(Qt::WA_DeleteOnClose);
    summary->show();
  }
  return true;
}

}  // namespace osprin::gui
