// Base64 of whole document files. Both directions size their output once and
// work through lookup tables: the encoder turns each 12 bits into two
// characters with one lookup, the decoder maps each character of a group to
// its bits within the group's bytes (or to "not in the alphabet") with one
// lookup.
#include "host/base64/base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "ormid/platform/platform.h"

namespace ormid {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two alphabet characters for every 12-bit value.
constexpr std::array<char, 2 * 4096> kPairs = [] {
  std::array<char, 2 * 4096> table{};
  for (int i = 0; i < 4096; ++i) {
    table[2 * i] = kAlphabet[i >> 6];
    table[2 * i + 1] = kAlphabet[i & 63];
  }
  return table;
}();

constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kNotInAlphabet;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}();

// For each of a group's four positions, a character's value placed where its
// bits go in the group's three bytes, as a little-endian word: the first byte
// is the value of the first character and the top two bits of the second, and
// so on. A character outside the alphabet sets a bit of the unused fourth byte.
constexpr std::uint32_t kNotInAlphabetBit = 1u << 24;
constexpr std::array<std::array<std::uint32_t, 256>, 4> kWords = [] {
  static_assert(std::endian::native == std::endian::little, "the group is stored as a little-endian word");
  std::array<std::array<std::uint32_t, 256>, 4> words{};
  for (int c = 0; c < 256; ++c) {
    const std::uint32_t v = kValues[c];
    const bool outside = v == kNotInAlphabet;
    words[0][c] = outside ? kNotInAlphabetBit : v << 2;
    words[1][c] = outside ? kNotInAlphabetBit : (v >> 4) | (v & 15) << 12;
    words[2][c] = outside ? kNotInAlphabetBit : (v >> 2) << 8 | (v & 3) << 22;
    words[3][c] = outside ? kNotInAlphabetBit : v << 16;
  }
  return words;
}();

#if defined(__GNUC__) && defined(__x86_64__)
#define ORMID_BASE64_SSSE3 1
// Sixteen characters at a time where the processor has byte shuffles: each
// character's high and low halves index two small tables whose entries share
// a bit only for characters outside the alphabet; a third table gives what
// to add to a character of each range for its value; multiply-adds put four
// values together as three bytes, and a shuffle packs the bytes of four
// groups into twelve. Stops before a block holding a character outside the
// alphabet (or '='); `w` must have four bytes of room beyond what is decoded.
__attribute__((target("ssse3"))) void decodeBlocks(const unsigned char*& from, const unsigned char* end,
                                                   unsigned char*& to) {
  // Held here, not behind the references, where the stores could reach them.
  const unsigned char* p = from;
  unsigned char* w = to;
  const __m128i lowTable = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                         0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i highTable = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i shifts = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i slash = _mm_set1_epi8(0x2F);
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  // Twenty characters: the last store's four extra bytes fall within the
  // room of the group that follows.
  while (end - p >= 20) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(v, 4), slash);
    const __m128i low = _mm_and_si128(v, slash);
    const __m128i outside = _mm_and_si128(_mm_shuffle_epi8(lowTable, low), _mm_shuffle_epi8(highTable, high));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(outside, _mm_setzero_si128())) != 0xFFFF) break;
    const __m128i values =
        _mm_add_epi8(v, _mm_shuffle_epi8(shifts, _mm_add_epi8(_mm_cmpeq_epi8(v, slash), high)));
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm_shuffle_epi8(groups, pack));
    p += 16;
    w += 12;
  }
  from = p;
  to = w;
}

#endif

}  // namespace

std::string base64Encode(const unsigned char* data, std::size_t size) {
  std::string out;
  base64Append(out, data, size);
  return out;
}

char* base64EncodeGroups(const unsigned char* data, std::size_t groups, char* out) {
  // Two groups (six bytes, eight characters) at a time, written at once.
  for (; groups >= 2; groups -= 2, data += 6, out += 8) {
    std::uint64_t bytes = 0;
    for (int i = 0; i < 6; ++i) bytes = (bytes << 8) | data[i];
    char eight[8];
    std::memcpy(eight, &kPairs[2 * ((bytes >> 36) & 0xFFF)], 2);
    std::memcpy(eight + 2, &kPairs[2 * ((bytes >> 24) & 0xFFF)], 2);
    std::memcpy(eight + 4, &kPairs[2 * ((bytes >> 12) & 0xFFF)], 2);
    std::memcpy(eight + 6, &kPairs[2 * (bytes & 0xFFF)], 2);
    std::memcpy(out, eight, 8);
  }
  for (; groups > 0; --groups, data += 3, out += 4) {
    const std::uint32_t group = (std::uint32_t{data[0]} << 16) | (std::uint32_t{data[1]} << 8) | data[2];
    std::memcpy(out, &kPairs[2 * (group >> 12)], 2);
    std::memcpy(out + 2, &kPairs[2 * (group & 0xFFF)], 2);
  }
  return out;
}

void base64Append(std::string& out, const unsigned char* data, std::size_t size) {
  // Groups are encoded into a small buffer and appended from there, so that
  // the output is never zero-filled before being written.
  char buffer[4096];
  out.reserve(out.size() + base64Size(size));
  std::size_t i = 0;
  while (i + 3 <= size) {
    const std::size_t groups = std::min((size - i) / 3, sizeof buffer / 4);
    out.append(buffer, base64EncodeGroups(data + i, groups, buffer));
    i += groups * 3;
  }
  const std::size_t left = size - i;
  if (left > 0) {
    const std::uint32_t group =
        (std::uint32_t{data[i]} << 16) | (left == 2 ? std::uint32_t{data[i + 1]} << 8 : 0);
    const char tail[4] = {kAlphabet[group >> 18], kAlphabet[(group >> 12) & 63],
                          left == 2 ? kAlphabet[(group >> 6) & 63] : '=', '='};
    out.append(tail, 4);
  }
}

std::vector<unsigned char> base64Decode(std::string_view text) {
  std::vector<unsigned char> out;
  base64Decode(text, out);
  return out;
}

void base64Decode(std::string_view text, std::vector<unsigned char>& out) {
  out.resize(base64DecodeRoom(text.size()));
  out.resize(static_cast<std::size_t>(base64DecodeTo(text, out.data()) - out.data()));
}

unsigned char* base64DecodeTo(std::string_view text, unsigned char* w) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
#if defined(ORMID_BASE64_SSSE3)
  if (platform::hasByteShuffles()) decodeBlocks(p, end, w);
#endif
  // Whole groups of four, each made of four lookups and stored as a word of
  // which the first three bytes count (the fourth is overwritten next, and
  // the room covers it at the end), two groups at a time and then one; a
  // group holding '=' or a foreign character ends the fast loops and the
  // remainder is decoded one character at a time.
  while (end - p >= 8) {
    const std::uint32_t first = kWords[0][p[0]] | kWords[1][p[1]] | kWords[2][p[2]] | kWords[3][p[3]];
    const std::uint32_t second = kWords[0][p[4]] | kWords[1][p[5]] | kWords[2][p[6]] | kWords[3][p[7]];
    if ((first | second) & kNotInAlphabetBit) break;
    std::memcpy(w, &first, 4);
    std::memcpy(w + 3, &second, 4);
    w += 6;
    p += 8;
  }
  while (end - p >= 4) {
    const std::uint32_t word = kWords[0][p[0]] | kWords[1][p[1]] | kWords[2][p[2]] | kWords[3][p[3]];
    if (word & kNotInAlphabetBit) break;
    std::memcpy(w, &word, 4);
    w += 3;
    p += 4;
  }
  std::uint32_t values[4];
  int count = 0;
  for (; p != end && count < 4; ++p) {
    const std::uint8_t v = kValues[*p];
    if (v == kNotInAlphabet) break;
    values[count++] = v;
  }
  // Fewer than four characters are left here (the fast loop stopped inside
  // this group); two give one byte, three give two, one gives nothing, and the
  // low bits of the last character that do not make a whole byte are dropped.
  if (count >= 2) *w++ = static_cast<unsigned char>((values[0] << 2) | (values[1] >> 4));
  if (count >= 3) *w++ = static_cast<unsigned char>((values[1] << 4) | (values[2] >> 2));
  return w;
}

namespace {
template <typename Char>
std::size_t decodedSize(std::basic_string_view<Char> text) {
  const auto outside = std::find_if(text.begin(), text.end(), [](Char c) {
    return static_cast<std::uint32_t>(c) > 0xFF || kValues[static_cast<std::uint8_t>(c)] == kNotInAlphabet;
  });
  const auto characters = static_cast<std::size_t>(outside - text.begin());
  // A trailing group of two or three characters gives one or two bytes.
  return characters / 4 * 3 + (characters % 4 == 0 ? 0 : characters % 4 - 1);
}
}  // namespace

std::size_t base64DecodedSize(std::string_view text) { return decodedSize(text); }
std::size_t base64DecodedSize(std::u16string_view text) { return decodedSize(text); }

}  // namespace ormid
