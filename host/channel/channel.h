// The framed channel to the browser: each message is a 4-byte little-endian
// length followed by that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "host/core/core.h"
#include "host/protocol/processing.h"

namespace ormid {

// Bodies larger than this are not held in memory: they are read and dropped.
inline constexpr std::uint32_t kMaxFrameBody = 1u << 30;

using ReadBytes = std::function<std::size_t(void* data, std::size_t size)>;

struct Frame {
  std::uint32_t length = 0;  // as announced; 0 also at the end of input
  // The bytes that arrived. When the input ended first there are fewer than
  // `length`, the rest counting as zero bytes; a parse stops at the first
  // zero byte anyway, so the padding is never made.
  std::string body;
  bool dropped = false;  // too large to hold: read and discarded
};

// Reads one frame. A length byte that cannot be read counts as 0, so the end of
// input gives length 0. The body grows as its bytes arrive, so a length that
// promises more than comes costs no more memory than what came.
Frame readFrame(const ReadBytes& read);

// Room kept in front of an answer for its frame's length, so that the frame
// goes out in one write without being copied.
inline constexpr std::size_t kFrameHeader = 4;

enum class WriteResult { ok, tooLarge, failed };
// Writes one frame; an empty text writes nothing. A text whose length does not
// fit the 4-byte header is not written.
WriteResult writeFrame(const WriteBytes& write, std::string_view text);
// The same for the text of `framed` after kFrameHeader bytes of room, which
// get the length: one write.
WriteResult writeFramed(const WriteBytes& write, std::string& framed);

// Writes one frame to the browser through the core's message output. False
// once the output is broken (the write failed); nothing more is written then.
bool writeMessage(std::string_view text) REQUIRES(core().lock);
bool writeFramedMessage(std::string& framed) REQUIRES(core().lock);

class DocEditorStdinStdout {
 public:
  // Reads and answers requests on the standard streams until the input ends
  // (or a frame of length 0) or the output breaks; returns 0.
  static int loopClientStdinStdout();
  // The same loop over any input.
  static int serve(const ReadBytes& read, DocEditorJsonProcessing& processing);
  // The answer to one frame, never longer than kMaxAnswerBytes. Never throws:
  // when memory runs out the answer is a fixed text. `storage` holds the
  // answer after kFrameHeader bytes of room unless it is such a text. The
  // frame's body is handed on (and released) on the way.
  static std::string_view answerFrame(DocEditorJsonProcessing& processing, Frame& frame,
                                      std::string& storage) noexcept;
};

}  // namespace ormid
