#pragma once
// How long work reports to whoever runs it (the desktop window, the command
// line, a test). Every method has a do-nothing default, so a caller overrides
// only what it shows. Observers are called often: a screen throttles by time.
#include <cstdint>
#include <string_view>

namespace osprin {

// Warning: the work goes on, but what it shows may be incomplete (a volume
// that claims more sectors than its disk has).
enum class MsgKind { Info = 1, Error = 2, Warning = 3 };

class Observer {
 public:
  virtual ~Observer() = default;

  // Percentage of the current operation, already capped at 99 while it runs.
  virtual void progress(int /*percent*/) {}
  // Shows or hides the progress bar.
  virtual void progressVisible(bool /*visible*/) {}
  // A numeric value of the information panel, by its label: "Folder(s) Found",
  // "File(s) Found", "Current Sector", "Boot Sector(s) Found", ...
  virtual void counter(std::string_view /*label*/, std::uint64_t /*value*/) {}
  // A text value of the information panel, by its label ("Last File/Folder").
  virtual void text(std::string_view /*label*/, std::string_view /*value*/) {}
  // The status line under the progress bar ("" clears it).
  virtual void status(std::string_view /*text*/) {}
  // The Stop button's visibility while a worker runs.
  virtual void stopVisible(bool /*visible*/) {}
  // An OK box with an information or error icon.
  virtual void message(MsgKind /*kind*/, std::string_view /*text*/) {}
  // A Yes/No question; returns true for Yes. The worker waits for the answer.
  virtual bool ask(std::string_view /*text*/) { return false; }
  // Something that could not be read and is therefore missing from what the
  // work shows: an unreadable folder, file record or boot sector ("the folder
  // /DOCS (cluster 812) could not be read; it is listed empty").
  virtual void warning(std::string_view /*text*/) {}
};

// An observer that shows nothing and answers No.
inline Observer& nullObserver() {
  static Observer o;
  return o;
}

}  // namespace osprin
