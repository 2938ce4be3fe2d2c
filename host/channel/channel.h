// The framed channel to the browser: each message is a 4-byte little-endian
// length followed by that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ormid {

// Bodies larger than this are not held in memory: they are read and dropped.
inline constexpr std::uint32_t kMaxFrameBody = 1u << 30;

using ReadBytes = std::function<std::size_t(void* data, std::size_t size)>;
using WriteBytes = std::function<bool(const void* data, std::size_t size)>;

struct Frame {
  std::uint32_t length = 0;  // as announced; 0 also at the end of input
  std::string body;          // `length` bytes; bytes that never arrived are 0
  bool dropped = false;      // too large to hold: read and discarded
};

// Reads one frame. A length byte that cannot be read counts as 0, so the end of
// input gives length 0.
Frame readFrame(const ReadBytes& read);

// Writes one frame; an empty text writes nothing.
void writeFrame(const WriteBytes& write, const std::string& text);

// Writes one frame to the browser. The caller holds processLock, which keeps
// the frames of answers and events from interleaving.
void writeMessage(const std::string& text);

// Where writeMessage sends its bytes (the saved standard output by default);
// lets tests see the frames.
void setMessageOutput(WriteBytes output);

class DocEditorStdinStdout {
 public:
  // Reads and answers requests until the input ends (or a frame of length 0);
  // returns 0.
  static int loopClientStdinStdout();
};

}  // namespace ormid
