#include "host/channel/channel.h"

#include <mutex>
#include <new>
#include <vector>

#include "host/channel/handoff.h"
#include "host/channel/log.h"
#include "host/protocol/processing.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {
constexpr const char* kLoop = "ormid::DocEditorStdinStdout::loopClientStdinStdout";

void discard(const ReadBytes& read, std::uint32_t length) {
  std::vector<char> chunk(1 << 16);
  std::size_t left = length;
  while (left > 0) {
    const std::size_t n = read(chunk.data(), std::min(left, chunk.size()));
    if (n == 0) break;  // end of input: the next length read ends the loop
    left -= n;
  }
}
}  // namespace

Frame readFrame(const ReadBytes& read) {
  Frame frame;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = 0;
    read(&byte, 1);
    frame.length |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  if (frame.length == 0) return frame;
  if (frame.length > kMaxFrameBody) {
    frame.dropped = true;
  } else {
    try {
      frame.body.assign(frame.length, '\0');
    } catch (const std::bad_alloc&) {
      frame.dropped = true;
    }
  }
  if (frame.dropped) {
    discard(read, frame.length);
    return frame;
  }
  std::size_t got = 0;
  while (got < frame.length) {
    const std::size_t n = read(frame.body.data() + got, frame.length - got);
    if (n == 0) break;  // the rest stays 0
    got += n;
  }
  return frame;
}

void writeFrame(const WriteBytes& write, const std::string& text) {
  const auto n = static_cast<std::uint32_t>(text.size());
  if (n == 0) return;
  const unsigned char header[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                   static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  write(header, sizeof header);
  write(text.data(), n);
}

namespace {
WriteBytes& messageOutput() {
  static auto* output = new WriteBytes(platform::writeMessageOutput);
  return *output;
}
}  // namespace

void setMessageOutput(WriteBytes output) { messageOutput() = std::move(output); }

void writeMessage(const std::string& text) {
  ORMID_LOG(debug, "ormid::writeMessage")
      << "Write message size: " << static_cast<std::uint32_t>(text.size());
  writeFrame(messageOutput(), text);
}

int DocEditorStdinStdout::loopClientStdinStdout() {
  DocEditorJsonProcessing processing(handOff);
  const ReadBytes read = platform::readStdin;
  for (;;) {
    Frame frame = readFrame(read);
    ORMID_LOG(debug, kLoop) << "Read message size: " << frame.length;
    if (frame.length == 0) return 0;

    // A body that cannot be held or is not well-formed UTF-8 is answered like
    // any text that does not parse.
    std::u16string message;
    if (frame.dropped) {
      ORMID_LOG(error, kLoop) << "Message too large, dropped: " << frame.length;
    } else if (!utf8ToWide(frame.body, message)) {
      ORMID_LOG(error, kLoop) << "Message is not valid UTF-8";
      message.clear();
    } else {
      log::write(Severity::verbose, kLoop, __LINE__, "Read message: ", frame.body);
    }
    std::string().swap(frame.body);

    std::string answer;
    processing.processingMessage(message, frame.length, answer);
    message = std::u16string();

    std::lock_guard lock(processLock());
    log::write(Severity::verbose, kLoop, __LINE__, "Send message: ", answer);
    writeMessage(answer);
  }
}

}  // namespace ormid
