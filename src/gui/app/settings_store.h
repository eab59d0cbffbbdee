#pragma once
// What the desktop program remembers between runs (QSettings, in the
// user's configuration folder): the recovery settings and the window's
// layout. Tests run with QStandardPaths' test mode, away from the user's.
#include <QByteArray>

#include "recovery/settings.h"

namespace osprin::gui {

void loadRecoverySettings(RecoverySettings& s);
void saveRecoverySettings(const RecoverySettings& s);

struct WindowLayout {
  QByteArray geometry;
  QByteArray panes;     // the tree/list splitter
  QByteArray sections;  // the list/information/quick-help splitter
  QByteArray preview;   // the list/preview splitter
  int viewMode = 2;     // 0 icons, 1 list, 2 details
  bool infoPanel = true;
  bool quickHelp = true;
  bool previewShown = true;
  int sortColumn = -1;
  bool sortDescending = false;
};
WindowLayout loadWindowLayout();
void saveWindowLayout(const WindowLayout& l);

}  // namespace osprin::gui
