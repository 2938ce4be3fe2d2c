// Frames on the channel, and the reader loop answering frames whose handling
// runs out of memory. Allocations can be made to fail here: this program
// replaces the global operator new.
#include "host/channel/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "host/core/core.h"
#include "host/text/text.h"

namespace {
// Allocations larger than this fail, as under a memory cap.
std::atomic<std::size_t> allocationLimit{std::numeric_limits<std::size_t>::max()};
}  // namespace

void* operator new(std::size_t size) {
  if (size > allocationLimit.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacement new allocates with malloc, so free is its match.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace ormid {
namespace {

std::string frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)} +
         body;
}

// Reads `input` from `position` on, as the standard input would hand it over.
ReadBytes readFrom(const std::string& input, std::size_t& position) {
  return [&input, &position](void* out, std::size_t size) {
    const std::size_t n = std::min(size, input.size() - position);
    std::memcpy(out, input.data() + position, n);
    position += n;
    return n;
  };
}

// Runs the reader loop over `input`; the bodies of the frames it writes.
std::vector<std::string> serveAll(const std::string& input, DocEditorJsonProcessing& processing) {
  std::string output;
  {
    ScopedLock lock(core().lock);
    core().messageOutput = [&output](const void* data, std::size_t size) {
      output.append(static_cast<const char*>(data), size);
      return true;
    };
  }
  std::size_t position = 0;
  DocEditorStdinStdout::serve(readFrom(input, position), processing);
  std::vector<std::string> bodies;
  for (std::size_t at = 0; at + 4 <= output.size();) {
    const auto* h = reinterpret_cast<const unsigned char*>(output.data() + at);
    const std::size_t n = h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::size_t>(h[3]) << 24;
    bodies.push_back(output.substr(at + 4, n));
    at += 4 + n;
  }
  return bodies;
}

TEST(ReaderLoop, AFrameThatRunsOutOfMemoryIsAnsweredAndTheStreamStaysInStep) {
  // 12 MB of content with a character outside ASCII: held as bytes, but not
  // widened to 24 MB of UTF-16 (ASCII content would stay narrow).
  const std::string big = R"({"messageId":"1","contentId":"c","command":"openDocument","nameFile":"a",)"
                          R"("contentFile":")" +
                          std::string(12'000'000, 'A') + "\xC3\xA9\"}";
  const std::string next = R"({"messageId":"2","contentId":"c","command":"y"})";
  bool handedOff = false;
  DocEditorJsonProcessing processing([&](CommandMessage, CommandInputs, CommandOutputs& outputs) {
    handedOff = true;
    outputs.result = u"success";
  });
  // And a body that cannot even be held: it is read away.
  const std::string input = frame(big) + frame(std::string(30'000'000, ' ')) + frame(next);
  allocationLimit = 20'000'000;
  const std::vector<std::string> answers = serveAll(input, processing);
  allocationLimit = std::numeric_limits<std::size_t>::max();
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0], kUnreadableAnswer);
  EXPECT_EQ(answers[1], kUnreadableAnswer);
  EXPECT_EQ(answers[2], R"({"command":"y","contentId":"c","messageId":"2","status":)"
                        R"({"description":"Unknow request command y","result":"error"}})");
  EXPECT_FALSE(handedOff);
}

TEST(ReaderLoop, ABrokenOutputEndsTheLoop) {
  const std::string request = frame(R"({"messageId":"1","contentId":"c","command":"y"})");
  {
    ScopedLock lock(core().lock);
    core().messageOutput = [](const void*, std::size_t) { return false; };
    core().outputBroken = false;
  }
  DocEditorJsonProcessing processing([](CommandMessage, CommandInputs, CommandOutputs&) {});
  std::size_t position = 0;
  const std::string input = request + request + request;
  EXPECT_EQ(DocEditorStdinStdout::serve(readFrom(input, position), processing), 0);
  EXPECT_EQ(position, request.size()) << "nothing is read after the first answer failed";
  ScopedLock lock(core().lock);
  EXPECT_TRUE(core().outputBroken);
  core().outputBroken = false;
}

// ---- Frames ----

TEST(Frames, LengthsBodiesAndTheEndOfInput) {
  struct Case {
    std::string input;
    std::uint32_t length;
    std::string body;
    bool dropped;
  };
  const std::vector<Case> cases = {
      {std::string("\x05\x00\x00\x00hello", 9), 5, "hello", false},
      // Bodies cut short keep what came; the rest counts as zero bytes.
      {std::string("\x0A\x00\x00\x00{\"a\"", 8), 10, "{\"a\"", false},
      {std::string("\x03\x00", 2), 3, "", false},
      {std::string("\xFF\xFF\xFF\x3F", 4), 0x3FFFFFFF, "", false},
      {"", 0, "", false},
      {std::string("\x00\x00\x00\x00", 4), 0, "", false},
      {std::string("\x00\x00\x00\x80xyz", 7), 0x80000000u, "", true},
      {std::string("\x0D\x0A\x1A\x00", 4) + std::string(0x1A0A0D, 'x'), 0x1A0A0D, std::string(0x1A0A0D, 'x'),
       false},
  };
  for (const Case& c : cases) {
    std::size_t position = 0;
    const Frame frame = readFrame(readFrom(c.input, position));
    EXPECT_EQ(frame.length, c.length);
    EXPECT_EQ(frame.body, c.body);
    EXPECT_EQ(frame.dropped, c.dropped);
  }
}

TEST(Frames, ADroppedBodyIsReadAwaySoTheNextFrameIsInStep) {
  // 1.25 GiB announced and served as 'z', then a real frame.
  const std::uint64_t announced = 0x50000000;
  const std::string header("\x00\x00\x00\x50", 4), next("\x02\x00\x00\x00{}", 6);
  std::uint64_t position = 0;
  ReadBytes read = [&](void* out, std::size_t size) -> std::size_t {
    auto* bytes = static_cast<char*>(out);
    if (position < 4) {
      bytes[0] = header[position++];
      return 1;
    }
    if (position < 4 + announced) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size, 4 + announced - position));
      std::memset(bytes, 'z', n);
      position += n;
      return n;
    }
    const std::size_t offset = position - 4 - announced, n = std::min(size, next.size() - offset);
    std::memcpy(bytes, next.data() + offset, n);
    position += n;
    return n;
  };
  const Frame big = readFrame(read);
  EXPECT_TRUE(big.dropped);
  EXPECT_EQ(position, 4 + announced);
  const Frame small = readFrame(read);
  EXPECT_EQ(small.length, 2u);
  EXPECT_EQ(small.body, "{}");
}

}  // namespace
}  // namespace ormid
