// Build step: turns the manual's Markdown into the HTML page that Help >
// Contents opens.   osprin-mkmanual IN.md OUT.html VERSION
#include <QFile>
#include <QGuiApplication>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: osprin-mkmanual IN.md OUT.html VERSION\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "osprin-mkmanual: cannot read %s\n", argv[1]);
    return 1;
  }
  QString md = QString::fromUtf8(in.readAll());
  md.replace("@VERSION@", QString::fromLocal8Bit(argv[3]));
  QTextDocument doc;
  doc.setMarkdown(md);
  doc.setMetaInformation(QTextDocument::DocumentTitle, "Osprin manual");
  QFile out(QString::fromLocal8Bit(argv[2]));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(doc.toHtml().toUtf8()) < 0) {
    std::fprintf(stderr, "osprin-mkmanual: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
