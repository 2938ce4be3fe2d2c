// The frame reader over arbitrary bytes, handed over in pieces of arbitrary
// size: it always ends, never reads past the input, and never holds much more
// than what arrived, whatever length a frame announces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host/channel/channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets how many bytes each read hands over at most.
  const std::size_t piece = 1 + data[0] % 7;
  std::size_t position = 1;
  const ormid::ReadBytes read = [&](void* out, std::size_t wanted) {
    const std::size_t n = std::min({wanted, piece, size - position});
    std::memcpy(out, data + position, n);
    position += n;
    return n;
  };
  for (;;) {
    const std::size_t before = position;
    const ormid::Frame frame = ormid::readFrame(read);
    if (position > size) std::abort();
    if (frame.length == 0) break;
    const std::size_t arrived = position - before;
    if (frame.body.size() > frame.length || frame.body.size() > arrived) std::abort();
    if (frame.dropped != (frame.length > ormid::kMaxFrameBody)) std::abort();
    if (frame.body.capacity() > 4 * frame.body.size() + (std::size_t{1} << 20)) std::abort();
  }
  return 0;
}
