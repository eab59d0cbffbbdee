#include "widgets/message_box.h"

#include <QMessageBox>

#include "app/texts.h"

namespace osprin::gui {

namespace {
MessageBoxHook& hook() {
  static MessageBoxHook h;
  return h;
}
}  // namespace

void setMessageBoxHook(MessageBoxHook h) { hook() = std::move(h); }

void okBox(QWidget* parent, MsgKind kind, const QString& text) {
  if (hook()) {
    hook()(kind == MsgKind::Error ? BoxKind::Error : BoxKind::Info, text);
    return;
  }
  QMessageBox box(kind == MsgKind::Error ? QMessageBox::Critical : QMessageBox::Information, qs(texts::kCaption), text,
                  QMessageBox::Ok, parent);
  box.setObjectName("okBox");
  box.exec();
}

bool yesNoBox(QWidget* parent, const QString& text, bool errorIcon) {
  if (hook()) return hook()(errorIcon ? BoxKind::ErrorQuestion : BoxKind::Question, text) == QMessageBox::Yes;
  QMessageBox box(errorIcon ? QMessageBox::Critical : QMessageBox::Question, qs(texts::kCaption), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName("yesNoBox");
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace osprin::gui
