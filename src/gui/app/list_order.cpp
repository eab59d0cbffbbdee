#include "app/list_order.h"

#include <QLocale>
#include <vector>

namespace osprin::gui {

QString humanSize(std::uint64_t bytes) {
  if (bytes < 1024) return QString::number(bytes) + (bytes == 1 ? " byte" : " bytes");
  static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double v = static_cast<double>(bytes) / 1024.0;
  int u = 0;
  while (v >= 1024.0 && u < 5) {
    v /= 1024.0;
    ++u;
  }
  return QString::number(v, 'f', v < 10.0 ? 1 : 0) + ' ' + QString::fromLatin1(units[u]);
}

QString exactBytes(std::uint64_t bytes) {
  QString digits = QString::number(bytes);
  QString out;
  for (qsizetype i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + (bytes == 1 ? " byte" : " bytes");
}

QString sizeWithBytes(std::uint64_t bytes) {
  if (bytes < 1024) return humanSize(bytes);
  return humanSize(bytes) + " (" + exactBytes(bytes) + ")";
}

int naturalCompare(const QString& a, const QString& b) {
  qsizetype i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const QChar ca = a[i], cb = b[j];
    if (ca.isDigit() && cb.isDigit()) {
      // Compare the runs of digits by value: skip leading zeros, then the
      // longer run is the larger number, then digit by digit.
      qsizetype ei = i, ej = j;
      while (ei < a.size() && a[ei].isDigit()) ++ei;
      while (ej < b.size() && b[ej].isDigit()) ++ej;
      qsizetype si = i, sj = j;
      while (si < ei - 1 && a[si] == '0') ++si;
      while (sj < ej - 1 && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      for (qsizetype k = 0; k < ei - si; ++k)
        if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    const QChar la = ca.toCaseFolded(), lb = cb.toCaseFolded();
    if (la != lb) return la < lb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return QString::compare(a, b, Qt::CaseSensitive) < 0 ? -1 : (a == b ? 0 : 1);
}

std::uint64_t dateKey(const QString& text) {
  std::vector<std::uint64_t> n;
  std::uint64_t cur = 0;
  bool in = false;
  for (QChar c : text) {
    if (c.isDigit()) {
      if (cur < 100000) cur = cur * 10 + static_cast<std::uint64_t>(c.digitValue());
      in = true;
    } else if (in) {
      n.push_back(cur);
      cur = 0;
      in = false;
    }
  }
  if (in) n.push_back(cur);
  if (n.size() < 3) return 0;
  std::uint64_t key = ((n[2] * 100 + n[1]) * 100 + n[0]) * 1000000;
  if (n.size() >= 6) key += (n[3] * 100 + n[4]) * 100 + n[5];
  return key;
}

}  // namespace osprin::gui
