// Placeholders until the dialogs are written; each moves to its own file.
#include "app/dialogs.h"

namespace osprin::gui {
void showRecoverySettings(QWidget*, Session&) {}
bool recoverRows(QWidget*, Session&, const std::vector<ListRow>&, const QString&) { return false; }
void openFileRow(QWidget*, Session&, const ListRow&, bool) {}
void saveSnapshotCommand(QWidget*, Session&) {}
bool loadSnapshotCommand(QWidget*, Session&) { return false; }
void showFileFilters(QWidget*, Session&) {}
void showFindFiles(QWidget*, Session&) {}
void showDriveInformation(QWidget*, Session&) {}
void showProperties(QWidget*, Session&, const ListRow&) {}
}  // namespace osprin::gui
