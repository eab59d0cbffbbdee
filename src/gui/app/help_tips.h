#pragma once
// The rich tooltips of the two small help buttons of the wizard, written in
// the markup of the program's widget kit, and their conversion to Qt's rich
// text.
#include <QString>
#include <string_view>

namespace osprin::gui {

// Beside the scan type.
inline constexpr std::string_view kScanTypeTip =
    "<table>\r\n<tr><td><ilst idres=159 cx=32 cy=32 mask width=200% height=200% speed=1></td><td><h3>\r\n<h3>SCAN "
    "TYPE</h3><br><hr color=green><br><h3>Standard Scan</h3>\t<font color=black size=10pt >This is fast mode for "
    "recovering data.<br><t><t><t></font><font color=black size=10pt > select this for cases like:- File "
    "deletion,<br><t><t><t>Partition deletion, Bad Sectors etc.</font><br><h3>Advence Mode</h3>\t<font color=black "
    "size=10pt >This is deep and more efficient method  <br><t><t><t>for recovering data , select this for  "
    "<br><t><t><t>cases like drive format , OS Reload  <br><t><t><t>or where Standard Scan fails to recover the "
    "data.<br></td></tr></table>";

// Beside the range fields.
inline constexpr std::string_view kScanControlTip =
    "<table>\r\n<tr><td><ilst idres=159 cx=32 cy=32 mask width=200% height=200% speed=1></td><td><h3>\r\n<h3>Scan "
    "Control</h3><br><hr color=green><br><font color=black size=10pt >Here select the file system to recover and "
    "<br></font><font color=black size=10pt > the range of the disk area to scan.</td></tr></table>";

// Turns the widget kit's markup into Qt rich text: the animated image list
// is dropped, <t> becomes an indent, font sizes and colours become styles,
// line breaks and tabs of the source become spaces.
QString richTipToQt(std::string_view markup);

}  // namespace osprin::gui
