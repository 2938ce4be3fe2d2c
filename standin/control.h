// User actions for the stand-in: text lines that a test writes to a control
// FIFO, read on a thread of their own and performed on the automation thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ormid::standin {

struct ControlAction {
  enum class Kind { save, saveAs, open, close, edit, quit, activate, deactivate, busy, crash };
  Kind kind;
  std::u16string fullName;     // save, saveas, open, close, edit
  std::u16string newFullName;  // saveas
  std::string content;         // edit
  int calls = 0;               // busy
};

// One action a line:
//   save <full name>              the user saves the document in place
//   saveas <full name> <new>      ... under a new full name, which it then has
//   open <full name>              the user opens a file
//   close <full name>             the user closes the document
//   edit <full name> <base64>     the user changes its content to these bytes
//   quit, activate, deactivate    the user quits, or switches to or from the window
//   busy <N>                      the next N automation calls are turned away
//   crash                         the server process dies
// A full name may hold spaces: the base64 text is the last space-separated
// word, and the new full name of saveas starts after the last space that is
// followed by the start of an absolute path ("/" on POSIX; a drive letter and
// ":\" or "\\" on Windows), so it must hold no such space itself. Sets
// `problem` when the line is none of these.
std::optional<ControlAction> parseControlLine(std::string_view line, std::string& problem);

// Standard alphabet with '=' padding; false on any other character or a bad length.
bool decodeBase64(std::string_view text, std::string& bytes);

// Hands every complete line of `pending` to `onLine`, without its "\n" or
// "\r\n", and keeps what follows the last newline.
void deliverLines(std::string& pending, const std::function<void(std::string line)>& onLine);

// Reads lines from a FIFO until destroyed; writers may come and go.
class ControlReader {
 public:
  using LineHandler = std::function<void(std::string line)>;
  virtual ~ControlReader() = default;  // stops reading and waits for the reading thread

  // Null, with `problem` set, when the FIFO cannot be opened. `onLine` runs on
  // the reading thread.
  static std::unique_ptr<ControlReader> start(const std::string& path, LineHandler onLine,
                                              std::string& problem);
};

}  // namespace ormid::standin
