// UTF-8 <-> UTF-16 conversions. Whole documents (tens of MiB, mostly ASCII
// base64) pass through here, so both directions size the output once and copy
// ASCII a block at a time.
//
// The decoder accepts exactly the well-formed UTF-8 of the Unicode standard,
// the same set utfcpp's checked conversion accepts: no overlong forms, no
// encoded surrogates, nothing above U+10FFFF, no truncated sequence.
#include "host/text/text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ormid {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Copies a block of ASCII as it is and gives true, or gives false without
// writing when the block holds anything else.
#if defined(__SSE2__)
constexpr std::ptrdiff_t kByteBlock = 16;
constexpr std::ptrdiff_t kUnitBlock = 8;

bool widenAsciiBlock(const unsigned char* p, char16_t* out) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if (_mm_movemask_epi8(v) != 0) return false;
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
  return true;
}

bool narrowAsciiBlock(const char16_t* p, char* out) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
  return true;
}
#else
constexpr std::ptrdiff_t kByteBlock = 8;
constexpr std::ptrdiff_t kUnitBlock = 4;

bool widenAsciiBlock(const unsigned char* p, char16_t* out) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if (v & 0x8080808080808080ull) return false;
  for (int i = 0; i < kByteBlock; ++i) out[i] = p[i];
  return true;
}

bool narrowAsciiBlock(const char16_t* p, char* out) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if (v & 0xFF80FF80FF80FF80ull) return false;
  for (int i = 0; i < kUnitBlock; ++i) out[i] = static_cast<char>(p[i]);
  return true;
}
#endif

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// One multi-byte sequence starting at p (p < end, *p >= 0x80). Gives the number
// of bytes it takes and the code point, or, for an ill-formed sequence, the
// length of its longest well-formed prefix (at least 1) and kInvalid. Stopping
// at that prefix makes a replacing decoder emit one U+FFFD per maximal subpart.
constexpr std::uint32_t kInvalid = 0xFFFFFFFF;

std::size_t decodeSequence(const unsigned char* p, const unsigned char* end, std::uint32_t& cp) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // U+D800..U+DFFF
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    cp = kInvalid;
    return 1;
  }
  const std::size_t available = static_cast<std::size_t>(end - p);
  if (available < 2 || p[1] < low || p[1] > high) {
    cp = kInvalid;
    return 1;
  }
  cp = (cp << 6) | (p[1] & 0x3F);
  for (std::size_t i = 2; i < length; ++i) {
    if (i >= available || !isContinuation(p[i])) {
      cp = kInvalid;
      return i;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  return length;
}

char16_t* putCodePoint(char16_t* out, std::uint32_t cp) {
  if (cp < 0x10000) {
    *out++ = static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
    *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
  return out;
}

// Decodes after what `out` holds; ill-formed input either stops the decoding
// (strict) or becomes U+FFFD. UTF-16 never needs more code units than UTF-8
// has bytes.
template <bool kReplace>
bool decodeUtf8(std::string_view text, std::u16string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  char16_t* const begin = out.data();
  char16_t* w = begin + start;
  while (p != end) {
    while (end - p >= kByteBlock && widenAsciiBlock(p, w)) {
      p += kByteBlock;
      w += kByteBlock;
    }
    if (p == end) break;
    if (*p < 0x80) {
      *w++ = *p++;
      continue;
    }
    std::uint32_t cp;
    p += decodeSequence(p, end, cp);
    if (cp == kInvalid) {
      if constexpr (!kReplace) return false;
      *w++ = kReplacement;
    } else {
      w = putCodePoint(w, cp);
    }
  }
  out.resize(static_cast<std::size_t>(w - begin));
  return true;
}

// Upper bound of the UTF-8 size of UTF-16 text: a surrogate counts 3, so a
// pair is over-estimated by 2 and a lone one (written as U+FFFD) is exact.
std::size_t utf8Bound(std::u16string_view text) {
  std::size_t size = 0;
  for (char16_t c : text) size += 1 + (c >= 0x80) + (c >= 0x800);
  return size;
}

}  // namespace

char* encodeUtf8Unit(char* w, const char16_t*& p, const char16_t* end) {
  const char16_t c = *p++;
  if (c < 0x80) {
    *w++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *w++ = static_cast<char>(0xC0 | (c >> 6));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    std::uint32_t cp = kReplacement;
    if (c <= 0xDBFF && p != end && *p >= 0xDC00 && *p <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10) + (*p++ - 0xDC00);
    }
    if (cp == kReplacement) {
      *w++ = static_cast<char>(0xEF);
      *w++ = static_cast<char>(0xBF);
      *w++ = static_cast<char>(0xBD);
    } else {
      *w++ = static_cast<char>(0xF0 | (cp >> 18));
      *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  } else {
    *w++ = static_cast<char>(0xE0 | (c >> 12));
    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return w;
}

bool utf8ToWide(std::string_view text, std::u16string& out) {
  out.clear();
  return decodeUtf8<false>(text, out);
}

bool appendWide(std::u16string& out, std::string_view text) { return decodeUtf8<false>(text, out); }

bool isWellFormedUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    while (end - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, sizeof v);
      if (v & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::uint32_t cp;
    p += decodeSequence(p, end, cp);
    if (cp == kInvalid) return false;
  }
  return true;
}

std::u16string utf8ToWideReplacing(std::string_view text) {
  std::u16string out;
  decodeUtf8<true>(text, out);
  return out;
}

void appendUtf8(std::string& out, std::u16string_view text) {
  const std::size_t start = out.size();
  out.resize(start + utf8Bound(text));
  char* const begin = out.data();
  char* w = begin + start;
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p != end) {
    while (end - p >= kUnitBlock && narrowAsciiBlock(p, w)) {
      p += kUnitBlock;
      w += kUnitBlock;
    }
    if (p == end) break;
    w = encodeUtf8Unit(w, p, end);
  }
  out.resize(static_cast<std::size_t>(w - begin));
}

std::string wideToUtf8(std::u16string_view text) {
  std::string out;
  appendUtf8(out, text);
  return out;
}

std::u16string asciiToWide(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

}  // namespace ormid
