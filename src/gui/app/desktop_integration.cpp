#include "app/desktop_integration.h"

#include <QDesktopServices>
#include <QProcess>

#include "app/dialogs.h"

namespace osprin::gui {

DesktopIntegration DesktopIntegration::system() {
  DesktopIntegration d;
  d.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  d.startProgram = [](const QString& program, const QStringList& args) {
    return QProcess::startDetached(program, args);
  };
  d.openFile = [](QWidget* parent, Session& s, const ListRow& row, bool openWith) {
    openFileRow(parent, s, row, openWith);
  };
  return d;
}

DesktopIntegration DesktopIntegration::withDefaults() const {
  DesktopIntegration d = system();
  if (openUrl) d.openUrl = openUrl;
  if (startProgram) d.startProgram = startProgram;
  if (openFile) d.openFile = openFile;
  return d;
}

}  // namespace osprin::gui
