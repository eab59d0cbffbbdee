#pragma once
// What the window asks of the desktop: opening a web page or a file in its
// application, starting a program, opening a file row of the list. The
// window is given one of these when it is made; tests give their own.
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

#include "tree/file_list.h"

class QWidget;

namespace osprin {
class Session;
}

namespace osprin::gui {

struct DesktopIntegration {
  // Hands a web address or a local file to the desktop; false when nothing
  // could take it (no browser, no file manager).
  std::function<bool(const QUrl&)> openUrl;
  // Starts a program without waiting for it; false when it could not start.
  std::function<bool(const QString& program, const QStringList& args)> startProgram;
  // Opens a disk device read-only for a user who may not open it: through
  // udisks2 (Block.OpenDevice, mode "r"), which asks polkit for the
  // administrator's consent. A read-only descriptor, or -1 with `error` set;
  // `serviceMissing` says the service is not there at all.
  std::function<int(const QString& device, QString& error, bool& serviceMissing)> openDevice;
  // "Open" / "Open With..." of a list row.
  std::function<void(QWidget* parent, Session& s, const ListRow& row, bool openWith)> openFile;

  // The desktop of the running session: QDesktopServices, QProcess and
  // openFileRow. Members left empty in a given integration fall back to these.
  static DesktopIntegration system();
  DesktopIntegration withDefaults() const;
};

}  // namespace osprin::gui
