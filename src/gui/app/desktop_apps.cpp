#include "app/desktop_apps.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTextStream>
#include <algorithm>

namespace osprin::gui {

namespace {

QStringList envDirs(const char* name, const QStringList& fallback) {
  const QString v = qEnvironmentVariable(name);
  QStringList out;
  for (const QString& d : v.split(':', Qt::SkipEmptyParts))
    if (QDir::isAbsolutePath(d)) out << QDir::cleanPath(d);
  return out.isEmpty() ? fallback : out;
}

QString envDir(const char* name, const QString& fallback) {
  const QString v = qEnvironmentVariable(name);
  return QDir::isAbsolutePath(v) ? QDir::cleanPath(v) : fallback;
}

// Values of the desktop entry format: \s \n \t \r \\ escapes.
QString unescapeValue(const QString& v) {
  QString out;
  for (qsizetype i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      const QChar c = v[++i];
      if (c == 's') out += ' ';
      else if (c == 'n') out += '\n';
      else if (c == 't') out += '\t';
      else if (c == 'r') out += '\r';
      else if (c == '\\') out += '\\';
      else out += '\\', out += c;
    } else {
      out += v[i];
    }
  }
  return out;
}

// The [Desktop Entry] keys of a file (unlocalised keys only).
QHash<QString, QString> readEntryGroup(const QString& path, const QString& group) {
  QHash<QString, QString> keys;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return keys;
  if (f.size() > 1024 * 1024) return keys;  // no desktop file is that large
  QTextStream in(&f);
  bool inGroup = false;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    if (line.startsWith('[')) {
      inGroup = line == "[" + group + "]";
      continue;
    }
    if (!inGroup) continue;
    const qsizetype eq = line.indexOf('=');
    if (eq <= 0) continue;
    const QString key = line.left(eq).trimmed();
    if (!keys.contains(key)) keys.insert(key, line.mid(eq + 1).trimmed());
  }
  return keys;
}

bool isTrue(const QString& v) { return v == "true" || v == "1"; }

// The types a MIME type stands for: itself and its ancestors.
QStringList typeAndAncestors(const QString& mime) {
  QMimeDatabase db;
  const QMimeType t = db.mimeTypeForName(mime);
  QStringList out{mime};
  if (t.isValid()) {
    if (t.name() != mime) out << t.name();  // an alias
    out << t.allAncestors();
  }
  out.removeDuplicates();
  return out;
}

QString mimeOfFile(const QString& file) { return QMimeDatabase().mimeTypeForFile(file).name(); }

const DesktopApp* findApp(const std::vector<DesktopApp>& apps, const QString& id) {
  for (const auto& a : apps)
    if (a.id == id) return &a;
  return nullptr;
}

// Splits a command line. Double quotes group, a backslash escapes the next
// character inside them (the desktop entry rule) and outside them (the shell's).
QStringList splitArgs(const QString& s) {
  QStringList out;
  QString cur;
  bool quoted = false, have = false;
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s[i];
    if (quoted) {
      if (c == '\\' && i + 1 < s.size()) cur += s[++i];
      else if (c == '"') quoted = false;
      else cur += c;
    } else if (c == '"') {
      quoted = true;
      have = true;
    } else if (c == '\\' && i + 1 < s.size()) {
      cur += s[++i];
      have = true;
    } else if (c.isSpace()) {
      if (have || !cur.isEmpty()) out << cur;
      cur.clear();
      have = false;
    } else {
      cur += c;
    }
  }
  if (have || !cur.isEmpty()) out << cur;
  return out;
}

// Expands the field codes of the arguments; appends the file when no code names it.
QStringList expandCodes(const QStringList& args, const QString& file, const DesktopApp* app) {
  QStringList out;
  bool fileUsed = false;
  for (const QString& a : args) {
    if (a == "%f" || a == "%F" || a == "%u" || a == "%U") {
      out << file;
      fileUsed = true;
      continue;
    }
    if (a == "%i") {
      if (app && !app->icon.isEmpty()) out << "--icon" << app->icon;
      continue;
    }
    if (a.size() == 2 && a[0] == '%' && QString("dDnNvm").contains(a[1])) continue;  // deprecated codes
    QString r;
    for (qsizetype i = 0; i < a.size(); ++i) {
      if (a[i] != '%' || i + 1 >= a.size()) {
        r += a[i];
        continue;
      }
      switch (a[++i].unicode()) {
        case 'f':
        case 'F':
        case 'u':
        case 'U':
          r += file;
          fileUsed = true;
          break;
        case 'c':
          r += app ? app->name : QString();
          break;
        case 'k':
          r += app ? app->file : QString();
          break;
        case 'i':
          r += app ? app->icon : QString();
          break;
        case '%':
          r += '%';
          break;
        default:  // %d %D %n %N %v %m and unknown codes are dropped
          break;
      }
    }
    out << r;
  }
  if (!fileUsed) out << file;
  return out;
}

}  // namespace

QStringList xdgDataDirs() {
  QStringList out{envDir("XDG_DATA_HOME", QDir::homePath() + "/.local/share")};
  out << envDirs("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"});
  out.removeDuplicates();
  return out;
}

QStringList xdgConfigDirs() {
  QStringList out{envDir("XDG_CONFIG_HOME", QDir::homePath() + "/.config")};
  out << envDirs("XDG_CONFIG_DIRS", {"/etc/xdg"});
  out.removeDuplicates();
  return out;
}

bool readDesktopFile(const QString& path, const QString& id, DesktopApp& out) {
  const auto keys = readEntryGroup(path, "Desktop Entry");
  if (keys.isEmpty()) return false;
  if (keys.value("Type") != "Application") return false;
  if (isTrue(keys.value("Hidden"))) return false;
  const QString exec = unescapeValue(keys.value("Exec"));
  if (exec.trimmed().isEmpty()) return false;
  const QString tryExec = unescapeValue(keys.value("TryExec"));
  if (!tryExec.isEmpty()) {
    const bool ok = QDir::isAbsolutePath(tryExec) ? QFileInfo(tryExec).isExecutable()
                                                  : !QStandardPaths::findExecutable(tryExec).isEmpty();
    if (!ok) return false;
  }
  out = DesktopApp{};
  out.id = id;
  out.file = path;
  out.exec = exec;
  out.name = unescapeValue(keys.value("Name"));
  if (out.name.isEmpty()) out.name = QFileInfo(path).completeBaseName();
  out.icon = unescapeValue(keys.value("Icon"));
  out.terminal = isTrue(keys.value("Terminal"));
  for (const QString& m : keys.value("MimeType").split(';', Qt::SkipEmptyParts)) out.mimeTypes << m.trimmed();
  return true;
}

std::vector<DesktopApp> installedApplications() {
  std::vector<DesktopApp> apps;
  QSet<QString> seen;
  for (const QString& dataDir : xdgDataDirs()) {
    const QString base = dataDir + "/applications";
    if (!QFileInfo(base).isDir()) continue;
    QDirIterator it(base, {"*.desktop"}, QDir::Files | QDir::Readable, QDirIterator::Subdirectories);
    QStringList files;
    while (it.hasNext()) files << it.next();
    files.sort();
    for (const QString& f : files) {
      QString id = QDir(base).relativeFilePath(f);
      id.replace('/', '-');
      if (seen.contains(id)) continue;
      seen.insert(id);  // a hidden entry still hides the same ID further down
      DesktopApp a;
      if (readDesktopFile(f, id, a)) apps.push_back(std::move(a));
    }
  }
  return apps;
}

std::vector<DesktopApp> applicationsForMime(const QString& mime) {
  const QStringList types = typeAndAncestors(mime);
  std::vector<DesktopApp> out;
  for (auto& a : installedApplications()) {
    const bool handles = std::any_of(a.mimeTypes.begin(), a.mimeTypes.end(),
                                     [&](const QString& m) { return types.contains(m); });
    if (handles) out.push_back(std::move(a));
  }
  std::stable_sort(out.begin(), out.end(), [](const DesktopApp& x, const DesktopApp& y) {
    return QString::localeAwareCompare(x.name, y.name) < 0;
  });
  return out;
}

std::vector<DesktopApp> applicationsForFile(const QString& file) { return applicationsForMime(mimeOfFile(file)); }

namespace {
// The IDs named as defaults for a type, in order of preference.
QStringList defaultCandidates(const QString& mime) {
  QStringList ids;
  const QString xdgMime = QStandardPaths::findExecutable("xdg-mime");
  if (!xdgMime.isEmpty()) {
    QProcess p;
    p.start(xdgMime, {"query", "default", mime});
    if (p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0) {
      const QString id = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
      if (!id.isEmpty()) ids << id;
    }
  }
  QStringList lists;
  for (const QString& d : xdgConfigDirs()) lists << d + "/mimeapps.list";
  for (const QString& d : xdgDataDirs()) lists << d + "/applications/mimeapps.list" << d + "/applications/defaults.list";
  for (const QString& l : lists)
    for (const QString& id : readEntryGroup(l, "Default Applications").value(mime).split(';', Qt::SkipEmptyParts))
      if (!id.trimmed().isEmpty()) ids << id.trimmed();
  ids.removeDuplicates();
  return ids;
}
}  // namespace

namespace {
QString installedDefault(const std::vector<DesktopApp>& apps, const QString& mime) {
  for (const QString& id : defaultCandidates(mime))
    if (findApp(apps, id)) return id;
  return {};
}
}  // namespace

QString defaultApplicationFor(const QString& mime) { return installedDefault(installedApplications(), mime); }

bool hasAssociatedApplication(const QString& file) {
  const auto apps = installedApplications();
  const QStringList types = typeAndAncestors(mimeOfFile(file));
  for (const QString& t : types)
    if (!installedDefault(apps, t).isEmpty()) return true;
  return std::any_of(apps.begin(), apps.end(), [&](const DesktopApp& a) {
    return std::any_of(a.mimeTypes.begin(), a.mimeTypes.end(), [&](const QString& m) { return types.contains(m); });
  });
}

QStringList expandExec(const DesktopApp& app, const QString& file) {
  return expandCodes(splitArgs(app.exec), file, &app);
}

QStringList typedCommand(const QString& command, const QString& file) {
  const QStringList args = splitArgs(command);
  if (args.isEmpty()) return {};
  return expandCodes(args, file, nullptr);
}

QStringList applicationCommand(const DesktopApp& app, const QString& file) {
  QStringList cmd = expandExec(app, file);
  if (app.terminal) {
    const QString term = QStandardPaths::findExecutable("x-terminal-emulator");
    if (!term.isEmpty()) cmd = QStringList{term, "-e"} + cmd;
  }
  return cmd;
}

bool launchDetached(const QStringList& commandLine, QString* error) {
  if (commandLine.isEmpty() || commandLine.first().isEmpty()) {
    if (error) *error = "no command";
    return false;
  }
  QProcess p;
  p.setProgram(commandLine.first());
  p.setArguments(commandLine.mid(1));
  p.setStandardInputFile(QProcess::nullDevice());
  qint64 pid = 0;
  if (!p.startDetached(&pid)) {
    if (error) *error = p.errorString();
    return false;
  }
  return true;
}

}  // namespace osprin::gui
