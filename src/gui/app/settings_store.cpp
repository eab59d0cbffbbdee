#include "app/settings_store.h"

#include <QSettings>
#include <algorithm>

namespace osprin::gui {

void loadRecoverySettings(RecoverySettings& s) {
  QSettings q;
  q.beginGroup("recovery");
  // Setters refuse values out of range: a damaged file keeps the defaults.
  s.setSectorsPerRead(q.value("sectorsPerRead", s.sectorsPerRead).toUInt());
  s.setBadSectorRetries(q.value("badSectorRetries", s.badSectorRetries).toUInt());
  s.setDuplicatePolicy(q.value("duplicates", static_cast<uint>(s.duplicatePolicy)).toUInt());
  s.setDeletedPolicy(q.value("deleted", static_cast<uint>(s.deletedPolicy)).toUInt());
  s.includeSystemFiles = q.value("systemFiles", s.includeSystemFiles).toBool();
  s.onlyIntact = q.value("onlyIntact", s.onlyIntact).toBool();
  q.endGroup();
}

void saveRecoverySettings(const RecoverySettings& s) {
  QSettings q;
  q.beginGroup("recovery");
  q.setValue("sectorsPerRead", s.sectorsPerRead);
  q.setValue("badSectorRetries", s.badSectorRetries);
  q.setValue("duplicates", static_cast<uint>(s.duplicatePolicy));
  q.setValue("deleted", static_cast<uint>(s.deletedPolicy));
  q.setValue("systemFiles", s.includeSystemFiles);
  q.setValue("onlyIntact", s.onlyIntact);
  q.endGroup();
}

WindowLayout loadWindowLayout() {
  QSettings q;
  q.beginGroup("window");
  WindowLayout l;
  l.geometry = q.value("geometry").toByteArray();
  l.panes = q.value("panes").toByteArray();
  l.sections = q.value("sections").toByteArray();
  l.preview = q.value("preview").toByteArray();
  l.viewMode = std::clamp(q.value("viewMode", 2).toInt(), 0, 2);
  l.infoPanel = q.value("infoPanel", true).toBool();
  l.quickHelp = q.value("quickHelp", true).toBool();
  l.previewShown = q.value("previewShown", true).toBool();
  l.sortColumn = q.value("sortColumn", -1).toInt();
  l.sortDescending = q.value("sortDescending", false).toBool();
  q.endGroup();
  return l;
}

void saveWindowLayout(const WindowLayout& l) {
  QSettings q;
  q.beginGroup("window");
  q.setValue("geometry", l.geometry);
  q.setValue("panes", l.panes);
  q.setValue("sections", l.sections);
  q.setValue("preview", l.preview);
  q.setValue("viewMode", l.viewMode);
  q.setValue("infoPanel", l.infoPanel);
  q.setValue("quickHelp", l.quickHelp);
  q.setValue("previewShown", l.previewShown);
  q.setValue("sortColumn", l.sortColumn);
  q.setValue("sortDescending", l.sortDescending);
  q.endGroup();
}

}  // namespace osprin::gui
