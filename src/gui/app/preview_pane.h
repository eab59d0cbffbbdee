#pragma once
// The preview beside the file list: the selected file as recovery would
// write it (Session::previewRow, read on a worker thread). Images are drawn
// with Qt's image readers, text is shown as text (its encoding guessed, the
// first 64 KiB), anything else as a hex dump of its first 4 KiB. A newer
// selection cancels the preview still being read; only the newest is shown.
#include <QByteArray>
#include <QImage>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "app/session.h"

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace osprin::gui {

// What the bytes are shown as.
enum class PreviewKind { None, Image, Text, Hex, Message };

// Text from the first bytes of a file: valid UTF-8 as UTF-8 (a sequence cut
// at the end is left out), UTF-16 with its byte order mark, otherwise
// Latin-1. nullopt when the bytes do not look like text (NUL bytes or many
// control characters).
std::optional<QString> previewText(const QByteArray& bytes);
// "00000000  48 65 6c 6c 6f 0a ...  |Hello.|", 16 bytes a line.
QString hexDump(const QByteArray& bytes);
// Whether a file name is one Qt's image readers take (by its extension).
bool isImageName(const QString& name);

class PreviewPane : public QWidget {
  Q_OBJECT
 public:
  static constexpr std::size_t kTextBytes = 64 * 1024;
  static constexpr std::size_t kHexBytes = 4 * 1024;
  static constexpr std::size_t kImageBytes = 32 * 1024 * 1024;

  explicit PreviewPane(QWidget* parent = nullptr);
  ~PreviewPane() override;

  // Shows the preview of a file row of s; a folder or no row clears it.
  void showRow(Session& s, const ListRow& row);
  void clear();
  // Cancels the preview being read and waits for its worker (before the
  // session's tree changes).
  void stop();
  bool reading() const { return worker_.joinable(); }

  PreviewKind kind() const { return kind_; }
  // The text shown (text, hex dump or message), and the image drawn.
  QString shownText() const;
  const QImage& image() const { return image_; }
  // Shows bytes read for a row (what the worker's result goes through).
  void display(const ListRow& row, const Session::Preview& p);
  // The name of the row shown (or being read).
  const QString& name() const { return name_; }

 signals:
  // A preview was shown (after its bytes were read).
  void shown();

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  struct Request {
    Session* session = nullptr;
    ListRow row;
    std::uint64_t generation = 0;
  };
  void launch(Request r);
  void finished(std::uint64_t generation, Session::Preview p);
  void showMessage(const QString& text);
  void drawImage();

  QStackedWidget* stack_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* imageLabel_ = nullptr;
  QPlainTextEdit* textView_ = nullptr;
  QLabel* message_ = nullptr;
  PreviewKind kind_ = PreviewKind::None;
  QImage image_;
  QString name_;

  std::thread worker_;
  std::shared_ptr<std::atomic<int>> cancel_;
  std::optional<Request> pending_;
  ListRow readingRow_;  // the row the worker reads
  QString key_;         // the row asked for last
  Session* session_ = nullptr;
  std::uint64_t generation_ = 0;
};

}  // namespace osprin::gui
