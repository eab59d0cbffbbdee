// "&Open" and "Open &With...": a temporary copy handed to a program.
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/dialog_classes.h"
#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

OpenWithDialog::OpenWithDialog(QWidget* parent, const QString& file, std::vector<DesktopApp> apps)
    : QDialog(parent), file_(file), apps_(std::move(apps)) {
  setObjectName("openWithDialog");
  setWindowTitle(qs(texts::kOpenWithTitle));
  setModal(true);

  auto* top = new QVBoxLayout(this);
  auto* prompt = new QLabel(qs(texts::kOpenWithPrompt), this);
  top->addWidget(prompt);
  auto* name = new QLabel(QFileInfo(file).fileName(), this);
  name->setObjectName("fileName");
  name->setTextFormat(Qt::PlainText);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  top->addWidget(name);

  appList = new QListWidget(this);
  appList->setObjectName("appList");
  appList->setIconSize(QSize(16, 16));
  for (const auto& a : apps_) {
    // Icon= is a theme name, or a file of its own.
    const QIcon icon = QDir::isAbsolutePath(a.icon) ? QIcon(a.icon)
                                                    : QIcon::fromTheme(a.icon, QIcon::fromTheme("application-x-executable"));
    auto* item = new QListWidgetItem(icon, a.name, appList);
    item->setToolTip(a.exec);
  }
  appList->setMinimumSize(340, 200);
  top->addWidget(appList);

  auto* cmdLabel = new QLabel(qs(texts::kOpenWithCommand), this);
  commandEdit = new QLineEdit(this);
  commandEdit->setObjectName("commandEdit");
  commandEdit->setPlaceholderText("program %f");
  cmdLabel->setBuddy(commandEdit);
  top->addWidget(cmdLabel);
  top->addWidget(commandEdit);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  okButton = buttons->button(QDialogButtonBox::Ok);
  okButton->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &OpenWithDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OpenWithDialog::reject);
  top->addWidget(buttons);

  // A typed command replaces the choice in the list, and the other way round.
  auto update = [this] {
    okButton->setEnabled(!commandEdit->text().trimmed().isEmpty() || appList->currentRow() >= 0);
  };
  connect(commandEdit, &QLineEdit::textChanged, this, [this, update] {
    if (!commandEdit->text().trimmed().isEmpty()) appList->setCurrentRow(-1);
    update();
  });
  connect(appList, &QListWidget::currentRowChanged, this, [this, update](int row) {
    if (row >= 0) commandEdit->clear();
    update();
  });
  connect(appList, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
  if (!apps_.empty()) appList->setCurrentRow(0);
  else commandEdit->setFocus();
  update();
}

QStringList OpenWithDialog::commandLine() const {
  const QString typed = commandEdit->text().trimmed();
  if (!typed.isEmpty()) return typedCommand(typed, file_);
  const int row = appList->currentRow();
  if (row >= 0 && static_cast<std::size_t>(row) < apps_.size())
    return applicationCommand(apps_[static_cast<std::size_t>(row)], file_);
  return {};
}

void OpenWithDialog::accept() {
  if (commandLine().isEmpty()) return;
  QDialog::accept();
}

namespace {

void openWithChooser(QWidget* parent, const QString& path) {
  OpenWithDialog dlg(parent, path, applicationsForFile(path));
  if (dlg.exec() != QDialog::Accepted) return;
  const QStringList cmd = dlg.commandLine();
  QString error;
  if (!launchDetached(cmd, &error)) okBox(parent, MsgKind::Error, qs(texts::kUnableToStart) + cmd.join(' ') + "\n" + error);
}

void openWithAssociated(QWidget* parent, const QString& path) {
  // Without a program for the type (or when the desktop cannot start it),
  // the chooser is shown as for "Open With...".
  if (!hasAssociatedApplication(path) || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
    openWithChooser(parent, path);
}

}  // namespace

void openFileRow(QWidget* parent, Session& s, const ListRow& row, bool openWith) {
  if (row.folder) return;  // folders are shown by the window itself
  RecoveryFlags flags;
  QtObserver obs(parent);  // this thread: the "Error creating file" question is asked at once
  obs.setAskWithErrorIcon(true);
  const std::string folder = us(QDir::tempPath());
  const CopyResult r = s.openRow(row, folder, flags, obs);
  // Only a file that was written is opened: not an NTFS file of 0 bytes, nor
  // a record without data, nor a file that could not be created.
  if (r.status != CopyStatus::Written || r.path.empty()) return;
  const QString path = qs(r.path);
  if (openWith) openWithChooser(parent, path);
  else openWithAssociated(parent, path);
}

}  // namespace osprin::gui
