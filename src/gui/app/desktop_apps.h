#pragma once
// The desktop's applications for a file type, as the freedesktop.org
// conventions describe them: .desktop files under the XDG data folders and
// the default choices of mimeapps.list (or `xdg-mime query default`).
// "&Open" and "Open &With..." use them to hand a temporary copy to a program.
#include <QString>
#include <QStringList>
#include <vector>

namespace osprin::gui {

struct DesktopApp {
  QString id;    // desktop file ID: the path below applications/ with '/' as '-'
  QString name;  // Name=
  QString exec;  // Exec=
  QString icon;  // Icon=
  QString file;  // path of the .desktop file
  bool terminal = false;
  QStringList mimeTypes;  // MimeType=
};

// $XDG_DATA_HOME (or ~/.local/share), then $XDG_DATA_DIRS (or
// /usr/local/share:/usr/share): the folders whose applications/ are searched,
// the first one winning for the same desktop file ID.
QStringList xdgDataDirs();
// $XDG_CONFIG_HOME (or ~/.config), then $XDG_CONFIG_DIRS (or /etc/xdg).
QStringList xdgConfigDirs();

// Parses a .desktop file. False when it is not an application that can be
// started (no [Desktop Entry], Type other than Application, Hidden=true, no
// Exec=, or a TryExec= program that is not installed).
bool readDesktopFile(const QString& path, const QString& id, DesktopApp& out);

// Every installed application, first of each ID.
std::vector<DesktopApp> installedApplications();
// The applications whose MimeType= lists the type or one of its ancestors
// (text/x-csrc is also text/plain), sorted by name.
std::vector<DesktopApp> applicationsForMime(const QString& mime);
// The applications for a file, by the MIME type of its name and content.
std::vector<DesktopApp> applicationsForFile(const QString& file);

// The ID of the default application for a MIME type: the first installed one
// that `xdg-mime query default` (when that program is installed) or the
// [Default Applications] of the mimeapps.list and defaults.list files name.
// "" when there is none.
QString defaultApplicationFor(const QString& mime);
// Whether some program opens the file: a default application for its type
// (or an ancestor type) that is installed, or any registered one.
bool hasAssociatedApplication(const QString& file);

// Splits an Exec= value into arguments (quoting as the desktop entry format
// defines it) and expands the field codes for one file: %f %F %u %U become
// the file, %i the icon option, %c the name, %k the desktop file, %% a
// percent sign; the deprecated codes are dropped. When the value has no file
// code the file is appended.
QStringList expandExec(const DesktopApp& app, const QString& file);
// A command typed by the user: split like a shell command line, with %f (and
// the other file codes) replaced by the file, or the file appended.
QStringList typedCommand(const QString& command, const QString& file);
// The command line of an application for a file, in a terminal emulator when
// the application asks for one and one is installed.
QStringList applicationCommand(const DesktopApp& app, const QString& file);

// Starts a command line detached from this program. False with the reason
// when it could not be started.
bool launchDetached(const QStringList& commandLine, QString* error = nullptr);

}  // namespace osprin::gui
