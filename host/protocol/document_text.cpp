#include "host/protocol/document_text.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/base64/base64.h"

namespace ormid {
namespace {

// Copies `n` base64 characters to `out`, each '/' escaped once (\/) or
// twice (\\\/); the end of what was written. One character in 64 is a
// '/', so sixteen are looked at together and most go as they are.
char* expandSlashes(const char* in, std::size_t n, bool again, char* out) {
  const char* const end = in + n;
  const auto one = [&](char c) {
    if (c == '/') {
      if (again) {
        std::memcpy(out, "\\\\\\/", 4);
        out += 4;
      } else {
        std::memcpy(out, "\\/", 2);
        out += 2;
      }
    } else {
      *out++ = c;
    }
  };
#if defined(__SSE2__)
  // Sixteen characters are stored as they are; when one of them is a '/',
  // the output goes on from just before it, with its escape.
  const __m128i slash = _mm_set1_epi8('/');
  while (end - in >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, slash)));
    if (mask == 0) {
      in += 16;
      out += 16;
      continue;
    }
    const int before = std::countr_zero(mask);
    in += before;
    out += before;
    one(*in++);
  }
#endif
  while (in != end) one(*in++);
  return out;
}

// The base64 character at `index` (padding included).
char characterAt(std::string_view document, std::size_t index) {
  std::string four;
  const std::size_t at = index / 4 * 3;
  base64Append(four, reinterpret_cast<const unsigned char*>(document.data()) + at,
               std::min<std::size_t>(3, document.size() - at));
  return four[index % 4];
}

}  // namespace

std::size_t documentTextLeftAtLeast(std::string_view document, DocumentTextPosition at) {
  return base64Size(document.size()) - at.character;
}

std::size_t documentTextLeft(std::string_view document, DocumentTextPosition at) {
  std::string scratch;
  std::size_t left = 0;
  for (;;) {
    scratch.clear();
    const std::size_t n =
        appendDocumentText(document, at, std::size_t{1} << 20, false, std::string::npos, scratch);
    if (n == 0) return left;
    left += n;
  }
}

std::size_t appendDocumentText(std::string_view document, DocumentTextPosition& at, std::size_t count,
                               bool again, std::size_t room, std::string& out) {
  const std::size_t characters = base64Size(document.size());
  std::size_t taken = 0, written = 0;
  // One byte of the text, unless it is not there or does not fit.
  const auto step = [&] {
    if (at.character >= characters || taken >= count) return false;
    const char c = characterAt(document, at.character);
    const bool slash = c == '/';
    const char byte = slash && !at.slashBegun ? '\\' : c;
    const std::size_t size = again && (byte == '\\' || byte == '/') ? 2 : 1;
    if (room - written < size) return false;
    if (size == 2) out += '\\';
    out += byte;
    written += size;
    ++taken;
    at.slashBegun = slash && !at.slashBegun;
    if (!at.slashBegun) ++at.character;
    return true;
  };
  while (at.character % 4 != 0 || at.slashBegun) {
    if (!step()) return taken;
  }
  // Whole groups a piece at a time, each piece as long as it can be when
  // every character is a '/' (two bytes of the text, four once escaped again).
  const auto* data = reinterpret_cast<const unsigned char*>(document.data());
  const std::size_t wholeGroups = document.size() / 3;
  constexpr std::size_t kPieceCharacters = 2048;
  char piece[kPieceCharacters];
  char expanded[4 * kPieceCharacters + 16];  // and room for a last whole store
  while (at.character / 4 < wholeGroups) {
    const std::size_t groups = std::min({kPieceCharacters / 4, wholeGroups - at.character / 4,
                                         (count - taken) / 8, (room - written) / (again ? 16 : 8)});
    if (groups == 0) break;
    const std::size_t n = groups * 4;
    base64EncodeGroups(data + at.character / 4 * 3, groups, piece);
    const char* end = expandSlashes(piece, n, again, expanded);
    const auto size = static_cast<std::size_t>(end - expanded);
    out.append(expanded, size);
    const std::size_t slashes = (size - n) / (again ? 3 : 1);
    taken += n + slashes;
    written += size;
    at.character += n;
  }
  while (step()) {
  }
  return taken;
}

}  // namespace ormid
