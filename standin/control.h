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
  enum class Kind { save, close, edit, quit, activate, deactivate };
  Kind kind;
  std::u16string fullName;  // save, close, edit
  std::string content;      // edit
};

// "save <full name>", "close <full name>", "edit <full name> <base64>",
// "quit", "activate", "deactivate". A full name may hold spaces; the base64
// text is the last space-separated word. Sets `problem` when the line is none of these.
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
