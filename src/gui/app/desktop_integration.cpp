#include "app/desktop_integration.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QVariantMap>
#include <fcntl.h>
#include <unistd.h>

#include "app/dialogs.h"

namespace osprin::gui {

namespace {

int openThroughUdisks(const QString& device, QString& error, bool& serviceMissing) {
  serviceMissing = false;
  QDBusConnection bus = QDBusConnection::systemBus();
  const QString service = "org.freedesktop.UDisks2";
  if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value()) {
    serviceMissing = true;
    error = "the desktop's disk service (udisks2) is not running";
    return -1;
  }
  // /dev/sdb is /org/freedesktop/UDisks2/block_devices/sdb.
  const QString object = "/org/freedesktop/UDisks2/block_devices/" + QFileInfo(device).canonicalFilePath().section('/', -1);
  QDBusInterface block(service, object, "org.freedesktop.UDisks2.Block", bus);
  if (!block.isValid()) {
    error = "udisks2 does not know " + device;
    return -1;
  }
  block.setTimeout(5 * 60 * 1000);  // the user answers polkit's password dialog meanwhile
  QVariantMap options;
  options.insert("auth.no_user_interaction", false);
  QDBusReply<QDBusUnixFileDescriptor> reply = block.call("OpenDevice", QString("r"), options);
  if (!reply.isValid()) {
    error = reply.error().message();
    return -1;
  }
  // The reply's descriptor closes with it: keep a duplicate.
  const int fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) error = "udisks2 gave no usable descriptor";
  return fd;
}

}  // namespace

DesktopIntegration DesktopIntegration::system() {
  DesktopIntegration d;
  d.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  d.startProgram = [](const QString& program, const QStringList& args) {
    return QProcess::startDetached(program, args);
  };
  d.openDevice = openThroughUdisks;
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
  if (openDevice) d.openDevice = openDevice;
  return d;
}

}  // namespace osprin::gui
