// "&Save Recovery Snapshot..." and "&Load Recovery Snapshot...".
#include <QFileDialog>
#include <QFileInfo>

#include "app/dialogs.h"
#include "app/texts.h"
#include "widgets/message_box.h"

namespace osprin::gui {

void saveSnapshotCommand(QWidget* parent, Session& s) {
  QFileDialog dlg(parent);
  dlg.setObjectName("saveSnapshotDialog");
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setNameFilter(qs(texts::kSnapshotFilter));
  dlg.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
  const QString chosen = dlg.selectedFiles().constLast();
  if (chosen.isEmpty()) return;

  // The name is written upper-cased with ".ZQRT": when that is another
  // existing file than the one the dialog asked about, ask here.
  const QString target = qs(snapshotFileName(us(chosen)));
  if (target != chosen && QFileInfo::exists(target) &&
      !yesNoBox(parent, target + qs(texts::kReplaceExistingFile)))
    return;

  std::string error;
  if (!s.saveSnapshot(us(chosen), error))
    okBox(parent, MsgKind::Error, error.empty() ? qs(texts::kUnableToOpen) : qs(error));
}

bool loadSnapshotCommand(QWidget* parent, Session& s) {
  QFileDialog dlg(parent);
  dlg.setObjectName("loadSnapshotDialog");
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFiles);
  dlg.setNameFilter(qs(texts::kSnapshotFilter));
  dlg.setOption(QFileDialog::ReadOnly, false);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
  // With several files selected the last one is taken.
  const QString chosen = dlg.selectedFiles().constLast();
  if (chosen.isEmpty()) return false;

  std::string error;
  LoadedSnapshot loaded;
  if (s.readSnapshot(us(chosen), loaded, error) != SnapshotLoadStatus::Ok) {
    okBox(parent, MsgKind::Error, error.empty() ? qs(texts::kUnableToOpen) : qs(error));
    return false;
  }
  const std::string otherDisk = s.otherDiskWarning(loaded);
  if (!otherDisk.empty() && !yesNoBox(parent, qs(otherDisk) + qs(texts::kUseSnapshotAnyway))) return false;
  s.useSnapshot(std::move(loaded));
  return true;
}

}  // namespace osprin::gui
