#include "app/help_tips.h"

#include <QRegularExpression>

#include "widgets/message_box.h"

namespace osprin::gui {

QString richTipToQt(std::string_view markup) {
  QString t = qs(markup);
  t.replace("\r\n", " ");
  t.replace('\t', "&nbsp;&nbsp;");
  // The animated picture and the cell that held it.
  t.remove(QRegularExpression("<ilst[^>]*>", QRegularExpression::CaseInsensitiveOption));
  t.remove(QRegularExpression("<td>\\s*</td>", QRegularExpression::CaseInsensitiveOption));
  // A heading opened and at once followed by another.
  t.remove(QRegularExpression("<h3>\\s*(?=<h3>)", QRegularExpression::CaseInsensitiveOption));
  t.replace(QRegularExpression("<t>", QRegularExpression::CaseInsensitiveOption), "&nbsp;&nbsp;&nbsp;&nbsp;");
  t.replace(QRegularExpression("<hr\\s+color=(\\w+)\\s*>", QRegularExpression::CaseInsensitiveOption),
            "<hr style=\"color:\\1; background-color:\\1\">");
  t.replace(QRegularExpression("<font\\s+color=(\\w+)\\s+size=(\\w+)\\s*>", QRegularExpression::CaseInsensitiveOption),
            "<span style=\"color:\\1; font-size:\\2\">");
  t.replace(QRegularExpression("</font>", QRegularExpression::CaseInsensitiveOption), "</span>");
  // Headings in the kit's green.
  t.replace(QRegularExpression("<h3>", QRegularExpression::CaseInsensitiveOption),
            "<h3 style=\"color:#1b6e1b; margin:2px 0\">");
  return "<qt>" + t + "</qt>";
}

}  // namespace osprin::gui
