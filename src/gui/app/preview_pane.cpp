#include "app/preview_pane.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QVBoxLayout>
#include <algorithm>

#include "app/list_order.h"
#include "widgets/message_box.h"

namespace osprin::gui {

namespace {

// The length of bytes without a UTF-8 sequence cut short at its end.
qsizetype withoutCutSequence(const QByteArray& b) {
  const qsizetype n = b.size();
  for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(b[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const int need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? n - back : n;
  }
  return n;
}

bool looksLikeText(const QString& s) {
  qsizetype control = 0;
  for (QChar c : s) {
    const char16_t u = c.unicode();
    if (u == 0) return false;
    if (u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f') ++control;
  }
  return control * 100 <= s.size();  // at most 1% control characters
}

}  // namespace

std::optional<QString> previewText(const QByteArray& bytes) {
  if (bytes.isEmpty()) return QString();
  // UTF-16 with its byte order mark.
  if (bytes.size() >= 2) {
    const auto b0 = static_cast<unsigned char>(bytes[0]), b1 = static_cast<unsigned char>(bytes[1]);
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
      QStringDecoder d(b0 == 0xFF ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
      QString s = d(bytes.mid(2, (bytes.size() - 2) & ~qsizetype{1}));
      if (looksLikeText(s)) return s;
      return std::nullopt;
    }
  }
  if (bytes.contains('\0')) return std::nullopt;
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString s = utf8(bytes.left(withoutCutSequence(bytes)));
  if (utf8.hasError()) {
    QStringDecoder latin1(QStringDecoder::Latin1);
    s = latin1(bytes);
  }
  if (s.startsWith(QChar(0xFEFF))) s.remove(0, 1);
  if (!looksLikeText(s)) return std::nullopt;
  return s;
}

QString hexDump(const QByteArray& bytes) {
  QString out;
  for (qsizetype off = 0; off < bytes.size(); off += 16) {
    QString hex, text;
    for (qsizetype i = 0; i < 16; ++i) {
      if (off + i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[off + i]);
        hex += QString::asprintf("%02x ", c);
        text += c >= 0x20 && c < 0x7F ? QChar(char16_t(c)) : QChar(u'.');
      } else {
        hex += "   ";
      }
      if (i == 7) hex += ' ';
    }
    out += QString::asprintf("%08llx  ", static_cast<unsigned long long>(off)) + hex + " |" + text + "|\n";
  }
  return out;
}

bool isImageName(const QString& name) {
  const qsizetype dot = name.lastIndexOf('.');
  if (dot < 0) return false;
  const QByteArray ext = name.mid(dot + 1).toLower().toLatin1();
  static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  return formats.contains(ext) || ext == "jpeg" || ext == "jpg";
}

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName("previewPane");
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(4, 0, 0, 0);
  title_ = new QLabel(this);
  title_->setObjectName("previewTitle");
  title_->setTextFormat(Qt::PlainText);
  title_->setWordWrap(true);
  v->addWidget(title_);
  stack_ = new QStackedWidget(this);
  imageLabel_ = new QLabel(stack_);
  imageLabel_->setObjectName("previewImage");
  imageLabel_->setAlignment(Qt::AlignCenter);
  imageLabel_->setMinimumSize(40, 40);
  textView_ = new QPlainTextEdit(stack_);
  textView_->setObjectName("previewText");
  textView_->setReadOnly(true);
  textView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  message_ = new QLabel(stack_);
  message_->setObjectName("previewMessage");
  message_->setAlignment(Qt::AlignCenter);
  message_->setWordWrap(true);
  message_->setTextFormat(Qt::PlainText);
  stack_->addWidget(message_);
  stack_->addWidget(imageLabel_);
  stack_->addWidget(textView_);
  v->addWidget(stack_, 1);
  setMinimumWidth(120);
  clear();
}

PreviewPane::~PreviewPane() { stop(); }

void PreviewPane::stop() {
  ++generation_;  // whatever arrives from the worker now is stale
  pending_.reset();
  if (cancel_) cancel_->store(1);
  if (worker_.joinable()) worker_.join();
}

void PreviewPane::clear() {
  stop();
  key_.clear();
  session_ = nullptr;
  name_.clear();
  title_->clear();
  image_ = QImage();
  kind_ = PreviewKind::None;
  message_->setText("Select a file to see it as it would be recovered.");
  stack_->setCurrentWidget(message_);
}

void PreviewPane::showRow(Session& s, const ListRow& row) {
  if (row.folder) {
    clear();
    return;
  }
  // The same row again (selection and current row both tell): nothing new.
  const QString key = QString::number(row.id) + '/' + qs(row.name) + (row.deleted ? "/d" : "");
  if (key == key_ && session_ == &s && kind_ != PreviewKind::None) return;
  key_ = key;
  session_ = &s;
  name_ = qs(row.name);
  title_->setText(name_ + " — " + humanSize(row.size) + (row.deleted ? " (deleted)" : ""));
  Request r{&s, row, ++generation_};
  if (worker_.joinable()) {
    // One worker at a time: the older preview is cancelled, this one waits.
    if (cancel_) cancel_->store(1);
    pending_ = std::move(r);
    return;
  }
  launch(std::move(r));
}

void PreviewPane::launch(Request r) {
  if (kind_ != PreviewKind::Image || image_.isNull()) showMessage("Reading...");
  cancel_ = std::make_shared<std::atomic<int>>(0);
  const std::size_t limit = isImageName(qs(r.row.name)) ? kImageBytes : kTextBytes;
  worker_ = std::thread([this, r, limit, cancel = cancel_] {
    Session::Preview p;
    try {
      p = r.session->previewRow(r.row, limit, *cancel);
    } catch (const std::exception& e) {
      p = Session::Preview{};
      p.error = e.what();
    }
    QMetaObject::invokeMethod(
        this, [this, gen = r.generation, p = std::move(p)]() mutable { finished(gen, std::move(p)); },
        Qt::QueuedConnection);
  });
  readingRow_ = std::move(r.row);
}

void PreviewPane::finished(std::uint64_t generation, Session::Preview p) {
  if (worker_.joinable()) worker_.join();
  if (pending_) {
    Request next = std::move(*pending_);
    pending_.reset();
    launch(std::move(next));
    return;
  }
  if (generation != generation_) return;  // stopped or replaced meanwhile
  display(readingRow_, p);
  emit shown();
}

void PreviewPane::display(const ListRow& row, const Session::Preview& p) {
  image_ = QImage();
  if (!p.ok) {
    showMessage("No preview: " + qs(p.error));
    return;
  }
  if (p.size == 0 || p.bytes.empty()) {
    showMessage("The file is empty.");
    return;
  }
  const QByteArray bytes(reinterpret_cast<const char*>(p.bytes.data()), static_cast<qsizetype>(p.bytes.size()));
  // Images: by their content, whatever their name.
  {
    QBuffer buf;
    buf.setData(bytes);
    buf.open(QIODevice::ReadOnly);
    QImageReader reader(&buf);
    reader.setAutoTransform(true);
    if (reader.canRead()) {
      QImage img = reader.read();
      if (!img.isNull()) {
        image_ = std::move(img);
        kind_ = PreviewKind::Image;
        stack_->setCurrentWidget(imageLabel_);
        drawImage();
        return;
      }
    }
  }
  const QByteArray head = bytes.left(static_cast<qsizetype>(kTextBytes));
  if (std::optional<QString> text = previewText(head)) {
    kind_ = PreviewKind::Text;
    textView_->setFont(font());
    textView_->setPlainText(*text);
    stack_->setCurrentWidget(textView_);
    return;
  }
  kind_ = PreviewKind::Hex;
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  textView_->setFont(mono);
  textView_->setPlainText(hexDump(bytes.left(static_cast<qsizetype>(kHexBytes))));
  stack_->setCurrentWidget(textView_);
  (void)row;
}

void PreviewPane::showMessage(const QString& text) {
  kind_ = PreviewKind::Message;
  message_->setText(text);
  stack_->setCurrentWidget(message_);
}

void PreviewPane::drawImage() {
  if (image_.isNull()) return;
  const QSize room = imageLabel_->size().boundedTo(image_.size());
  imageLabel_->setPixmap(QPixmap::fromImage(image_.scaled(room.isEmpty() ? image_.size() : room, Qt::KeepAspectRatio,
                                                          Qt::SmoothTransformation)));
}

void PreviewPane::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (kind_ == PreviewKind::Image) drawImage();
}

QString PreviewPane::shownText() const {
  switch (kind_) {
    case PreviewKind::Text:
    case PreviewKind::Hex:
      return textView_->toPlainText();
    case PreviewKind::Message:
    case PreviewKind::None:
      return message_->text();
    case PreviewKind::Image:
      break;
  }
  return {};
}

}  // namespace osprin::gui
