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
      platform::reserveLarge(body, have + chunk, have + chunk);
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

namespace {
void putLength(unsigned char* header, std::size_t size) {
  const auto n = static_cast<std::uint32_t>(size);
  for (std::size_t i = 0; i < kFrameHeader; ++i) header[i] = static_cast<unsigned char>(n >> (8 * i));
}

bool written(WriteResult result) REQUIRES(core().lock) {
  switch (result) {
    case WriteResult::ok:
      return true;
    case WriteResult::tooLarge:
      ORMID_LOG(error, "ormid::writeMessage") << "Message too large to send...";
      return true;
    case WriteResult::failed:
      break;
  }
  ORMID_LOG(error, "ormid::writeMessage") << "Error write message...";
  core().outputBroken = true;
  return false;
}
}  // namespace

WriteResult writeFrame(const WriteBytes& write, std::string_view text) {
  if (text.empty()) return WriteResult::ok;
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return WriteResult::tooLarge;
  if (!write) return WriteResult::failed;
  unsigned char header[kFrameHeader];
  putLength(header, text.size());
  if (!write(header, sizeof header) || !write(text.data(), text.size())) return WriteResult::failed;
  return WriteResult::ok;
}

WriteResult writeFramed(const WriteBytes& write, std::string& framed) {
  const std::size_t size = framed.size() - kFrameHeader;
  if (size == 0) return WriteResult::ok;
  if (size > std::numeric_limits<std::uint32_t>::max()) return WriteResult::tooLarge;
  if (!write) return WriteResult::failed;
  putLength(reinterpret_cast<unsigned char*>(framed.data()), size);
  return write(framed.data(), framed.size()) ? WriteResult::ok : WriteResult::failed;
}

bool writeMessage(std::string_view text) {
  HostCore& c = core();
  c.lock.assertHeld();
  ORMID_LOG(debug, "ormid::writeMessage")
      << "Write message size: " << static_cast<unsigned long long>(text.size());
  if (c.outputBroken) return false;
  return written(writeFrame(c.messageOutput, text));
}

bool writeFramedMessage(std::string& framed) {
  HostCore& c = core();
  c.lock.assertHeld();
  ORMID_LOG(debug, "ormid::writeMessage")
      << "Write message size: " << static_cast<unsigned long long>(framed.size() - kFrameHeader);
  if (c.outputBroken) return false;
  return written(writeFramed(c.messageOutput, framed));
}

std::string_view DocEditorStdinStdout::answerFrame(DocEditorJsonProcessing& processing, Frame& frame,
                                                   std::string& storage) noexcept {
  try {
    storage.assign(kFrameHeader, '\0');
  } catch (...) {
    std::string().swap(frame.body);
    return kNoMemoryAnswer;
  }
  // A body that cannot be held or is not well-formed UTF-8 is answered like
  // any text that does not parse.
  if (frame.dropped) {
    ORMID_LOG(error, kLoop) << "Message too large, dropped: " << frame.length;
  } else if (!isWellFormedUtf8(frame.body)) {
    ORMID_LOG(error, kLoop) << "Message is not valid UTF-8";
    frame.body.clear();
  } else {
    log::write(Severity::verbose, kLoop, __LINE__, "Read message: ", frame.body);
  }
  processing.processingMessage(std::move(frame.body), frame.length, storage);
  std::string().swap(frame.body);
  if (storage.size() == kFrameHeader) return kNoMemoryAnswer;
  return std::string_view(storage).substr(kFrameHeader);
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
    const bool framed = answer.data() == storage.data() + kFrameHeader;
    const bool sent = framed ? writeFramedMessage(storage) : writeMessage(answer);
    // The records of a request reach the file once it is answered (one write
    // for all of them), so that the log is current whenever the host waits.
    log::flush();
    if (!sent) return 0;  // nobody reads what would follow a failed write
  }
}

int DocEditorStdinStdout::loopClientStdinStdout() {
  DocEditorJsonProcessing processing(handOff);
  return serve(platform::readStdin, processing);
}

}  // namespace ormid
