#pragma once
// How the file list shows and orders its values: sizes in B/KB/MB/GB with
// the exact byte count beside, names in natural order (folder_3 before
// folder_10), the list's date texts by the time they name.
#include <QString>
#include <cstdint>

namespace osprin::gui {

// "900 bytes", "1.5 KB", "12.3 MB", "1.8 GB", "2.0 TB" (units of 1024).
QString humanSize(std::uint64_t bytes);
// "1,234,567 bytes".
QString exactBytes(std::uint64_t bytes);
// humanSize with the exact count after it: "1.2 MB (1,234,567 bytes)";
// just "900 bytes" below 1 KB.
QString sizeWithBytes(std::uint64_t bytes);

// Negative, zero or positive as a comes before, with or after b: letters
// without regard to case, runs of digits by their value.
int naturalCompare(const QString& a, const QString& b);

// A number that orders the list's date texts ("01-01-2009 ", "5-3-2004
// 7:8:9": day, month, year, then hours, minutes, seconds) by time; 0 for a
// text that holds no date.
std::uint64_t dateKey(const QString& text);

}  // namespace osprin::gui
