#include "host/channel/channel.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "host/core/log.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {
constexpr const char* kLoop = "ormid::DocEditorStdinStdout::loopClientStdinStdout";

// The body grows by at most this much, or by what has already arrived,
// before the bytes to fill it are read.
constexpr std::size_t kReadChunk = std::size_t{64} << 10;

// Reads until `size` bytes have come or the input ends; how many came.
std::size_t readFully(const ReadBytes& read, void* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::size_t n = read(static_cast<char*>(data) + got, size - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

void discard(const ReadBytes& read, std::size_t left) {
  std::vector<char> chunk(1 << 16);
  while (left > 0) {
    const std::size_t n = read(chunk.data(), std::min(left, chunk.size()));
    if (n == 0) break;  // end of input: the next length read ends the loop
    left -= n;
  }
}
}  // namespace

Frame readFrame(const ReadBytes& read) {
  Frame frame;
  unsigned char header[4] = {};
  readFully(read, header, sizeof header);
  for (int i = 0; i < 4; ++i) frame.length |= static_cast<std::uint32_t>(header[i]) << (8 * i);
  if (frame.length == 0) return frame;
  if (frame.length > kMaxFrameBody) {
    frame.dropped = true;
    discard(read, frame.length);
    return frame;
  }
  std::string& body = frame.body;
  try {
    while (body.size() < frame.length) {
      const std::size_t have = body.size();
      const std::size_t chunk = std::min<std::size_t>(frame.length - have, std::max(have, kReadChunk));
      body.resize(have + chunk);
      const std::size_t n = readFully(read, body.data() + have, chunk);
      body.resize(have + n);
      if (n < chunk) break;  // the input ended
    }
  } catch (const std::bad_alloc&) {
    const std::size_t have = body.size();
    std::string().swap(body);
    frame.dropped = true;
    discard(read, frame.length - have);
  }
  return frame;
}

WriteResult writeFrame(const WriteBytes& write, std::string_view text) {
  if (text.empty()) return WriteResult::ok;
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return WriteResult::tooLarge;
  if (!write) return WriteResult::failed;
  const auto n = static_cast<std::uint32_t>(text.size());
  const unsigned char header[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                   static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  if (!write(header, sizeof header) || !write(text.data(), text.size())) return WriteResult::failed;
  return WriteResult::ok;
}

bool writeMessage(std::string_view text) {
  HostCore& c = core();
  c.lock.assertHeld();
  ORMID_LOG(debug, "ormid::writeMessage")
      << "Write message size: " << static_cast<unsigned long long>(text.size());
  if (c.outputBroken) return false;
  switch (writeFrame(c.messageOutput, text)) {
    case WriteResult::ok:
      return true;
    case WriteResult::tooLarge:
      ORMID_LOG(error, "ormid::writeMessage") << "Message too large to send...";
      return true;
    case WriteResult::failed:
      break;
  }
  ORMID_LOG(error, "ormid::writeMessage") << "Error write message...";
  c.outputBroken = true;
  return false;
}

std::string_view DocEditorStdinStdout::answerFrame(DocEditorJsonProcessing& processing, Frame& frame,
                                                   std::string& storage) noexcept {
  storage.clear();
  try {
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
    processing.processingMessage(message, frame.length, storage);
  } catch (...) {
    // The text could not even be decoded: memory ran out.
    ORMID_LOG(error, kLoop) << "JSON failed to parse";
    return kUnreadableAnswer;
  }
  return storage.empty() ? kNoMemoryAnswer : std::string_view(storage);
}

int DocEditorStdinStdout::serve(const ReadBytes& read, DocEditorJsonProcessing& processing) {
  std::string storage;
  for (;;) {
    Frame frame = readFrame(read);
    ORMID_LOG(debug, kLoop) << "Read message size: " << frame.length;
    if (frame.length == 0) return 0;
    const std::string_view answer = answerFrame(processing, frame, storage);
    ScopedLock lock(core().lock);
    log::write(Severity::verbose, kLoop, __LINE__, "Send message: ", answer);
    if (!writeMessage(answer)) return 0;  // nobody reads what would follow
  }
}

int DocEditorStdinStdout::loopClientStdinStdout() {
  DocEditorJsonProcessing processing(handOff);
  return serve(platform::readStdin, processing);
}

}  // namespace ormid
