#pragma once
// The program's two message boxes, both captioned "Vantrel Osprin FAT and
// NTFS": an OK box with an information or error icon, and a Yes/No box with
// the question icon (an error icon where the question reports an error).
#include <QString>
#include <QWidget>
#include <functional>

#include "common/observer.h"

namespace osprin::gui {

void okBox(QWidget* parent, MsgKind kind, const QString& text);
bool yesNoBox(QWidget* parent, const QString& text, bool errorIcon = false);

// Which box is asked for.
enum class BoxKind { Info, Error, Question, ErrorQuestion };
// While set, the boxes are not shown: the hook gets the kind and the text and
// returns the button pressed (QMessageBox::Ok, Yes or No). Tests answer boxes
// this way; an empty function shows them again.
using MessageBoxHook = std::function<int(BoxKind kind, const QString& text)>;
void setMessageBoxHook(MessageBoxHook hook);

// Texts of the core are UTF-8.
inline QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
inline std::string us(const QString& s) { return s.toUtf8().toStdString(); }

}  // namespace osprin::gui
