// JSON over UTF-16 or UTF-8 text. Requests carry a whole document as one
// base64 string member, and answers carry one back, so the string paths
// (scanning a string body, escaping a string) move runs of ordinary code units
// in bulk and test a block of them at a time.
#include "host/json/json.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/text/text.h"

namespace ormid {

// ---------------------------------------------------------------------------
// JsonValue

JsonValue::JsonValue() = default;
JsonValue::JsonValue(const char16_t* text) : value_(std::u16string(text ? text : u"")) {}
JsonValue::JsonValue(std::u16string text) : value_(std::move(text)) {}
JsonValue::JsonValue(std::string ascii) : value_(std::move(ascii)) {}
JsonValue::JsonValue(bool value) : value_(value) {}
JsonValue::JsonValue(double value) : value_(value) {}
JsonValue::JsonValue(JsonArray elements) : value_(std::move(elements)) {}
JsonValue::JsonValue(JsonObject members) : value_(std::move(members)) {}

// The alternatives of value_ are declared in the order of JsonType, then the
// narrow string.
JsonType JsonValue::type() const {
  return isNarrow() ? JsonType::String : static_cast<JsonType>(value_.index());
}

bool JsonValue::isNarrow() const { return std::holds_alternative<std::string>(value_); }

std::string_view JsonValue::asNarrow() const {
  const auto* s = std::get_if<std::string>(&value_);
  return s ? std::string_view(*s) : std::string_view();
}

std::string JsonValue::takeNarrow() {
  auto* s = std::get_if<std::string>(&value_);
  return s ? std::move(*s) : std::string();
}

// A caller that reads the wrong kind gets an empty value instead of an
// exception or undefined behaviour.
const std::u16string& JsonValue::asString() const {
  static const std::u16string empty;
  const auto* s = std::get_if<std::u16string>(&value_);
  return s ? *s : empty;
}

bool JsonValue::asBool() const {
  const auto* b = std::get_if<bool>(&value_);
  return b && *b;
}

double JsonValue::asNumber() const {
  const auto* d = std::get_if<double>(&value_);
  return d ? *d : 0.0;
}

const JsonArray& JsonValue::asArray() const {
  static const JsonArray empty;
  const auto* a = std::get_if<JsonArray>(&value_);
  return a ? *a : empty;
}

const JsonObject& JsonValue::asObject() const {
  static const JsonObject empty;
  const auto* o = std::get_if<JsonObject>(&value_);
  return o ? *o : empty;
}

// Asked for a mutable object, a value of another kind becomes an empty object.
JsonObject& JsonValue::asObject() {
  if (!std::holds_alternative<JsonObject>(value_)) value_ = JsonObject{};
  return std::get<JsonObject>(value_);
}

namespace {

// ---------------------------------------------------------------------------
// Blocks tested at once: each test tells whether a block is entirely made of
// units that are copied as they are, so that long runs of such units (base64
// content) move in bulk. UTF-16 text goes eight units a block, UTF-8 sixteen
// bytes (a block of ASCII only: other bytes take the unit-by-unit path).

bool isStringBodyUnit(unsigned c) { return c != '"' && c != '\\' && (c >= 0x20 || c == '\t'); }
bool needsEscape(char16_t c) { return c < 0x20 || c == u'"' || c == u'\\' || c == u'/'; }

#if defined(__SSE2__)
__m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
__m128i lanesEqual(__m128i v, char16_t c) {
  return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(c)));
}
// All-ones lanes where the unit is at least U+0020 (saturating 0x20 - unit is zero).
__m128i lanesNotControl(__m128i v) {
  return _mm_cmpeq_epi16(_mm_subs_epu16(_mm_set1_epi16(0x20), v), _mm_setzero_si128());
}
__m128i lanesAscii(__m128i v) {
  return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))), _mm_setzero_si128());
}
bool allLanes(__m128i mask) { return _mm_movemask_epi8(mask) == 0xFFFF; }

// No quotation mark, backslash or control (a tab counts as one here).
bool plainStringBlock(const char16_t* p) {
  const __m128i v = load16(p);
  return allLanes(
      _mm_andnot_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesNotControl(v)));
}
// The same for sixteen bytes, which must also be ASCII (a signed byte below
// 0x20 is a control or a byte of a multi-byte sequence).
bool plainStringBlock(const unsigned char* p) {
  const __m128i v = load16(p);
  const __m128i stop = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  return _mm_movemask_epi8(stop) == 0;
}
// Sixty-four bytes of a string's text as masks, bit i for byte i. Which
// bytes are escaped follows from where each run of backslashes starts: a run
// escapes every second byte from its second, and the byte after it when its
// length is odd. Done with one subtraction for all runs at once: subtracting
// the run's bits from the bits after it carries through the run and leaves
// a mark where an odd-length run ends, once the odd positions are set aside.
struct StringChunk {
  explicit StringChunk(const unsigned char* p) {
    for (int k = 0; k < 4; ++k) {
      const __m128i v = load16(p + 16 * k);
      const auto bits = [k](__m128i lanes) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(lanes))) << (16 * k);
      };
      const auto is = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
      backslash |= bits(is('\\'));
      quote |= bits(is('"'));
      // Controls but tab, and bytes beyond ASCII (negative as signed).
      unusual |= bits(_mm_andnot_si128(is('\t'), _mm_cmplt_epi8(v, _mm_set1_epi8(0x20))));
      simpleEscape |=
          bits(_mm_or_si128(_mm_or_si128(_mm_or_si128(is('"'), is('\\')), _mm_or_si128(is('/'), is('b'))),
                            _mm_or_si128(_mm_or_si128(is('f'), is('n')), _mm_or_si128(is('r'), is('t')))));
    }
  }
  // The escaped bytes. `carry`: in, whether the first byte is escaped by the
  // chunk before; out, whether the next chunk's first byte is.
  std::uint64_t escaped(std::uint64_t& carry) const {
    constexpr std::uint64_t kOdd = 0xAAAAAAAAAAAAAAAAu;
    const std::uint64_t escaping = backslash & ~carry;  // an escaped backslash escapes nothing
    const std::uint64_t codes = (((escaping << 1) | kOdd) - escaping) ^ kOdd;
    const std::uint64_t result = codes ^ (backslash | carry);
    carry = (codes & backslash) >> 63;
    return result;
  }

  std::uint64_t backslash = 0, quote = 0;
  std::uint64_t unusual = 0;       // to be looked at one by one
  std::uint64_t simpleEscape = 0;  // may follow a backslash: an escape of one letter
};
// Nothing that is written as an escape.
bool plainEscapeBlock(const char16_t* p) {
  const __m128i v = load16(p);
  const __m128i escaped =
      _mm_or_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesEqual(v, u'/'));
  return allLanes(_mm_andnot_si128(escaped, lanesNotControl(v)));
}
// Nothing written as an escape and nothing outside ASCII.
bool plainAsciiEscapeBlock(const char16_t* p) {
  const __m128i v = load16(p);
  const __m128i escaped =
      _mm_or_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesEqual(v, u'/'));
  return allLanes(_mm_andnot_si128(escaped, _mm_and_si128(lanesNotControl(v), lanesAscii(v))));
}
// Eight ASCII units to eight bytes.
void narrowBlock(const char16_t* p, char* out) {
  const __m128i v = load16(p);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
}
#else
bool plainStringBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < 8; ++i) plain &= p[i] >= 0x20 && p[i] != u'"' && p[i] != u'\\';
  return plain;
}
bool plainStringBlock(const unsigned char* p) {
  bool plain = true;
  for (int i = 0; i < 16; ++i) plain &= p[i] >= 0x20 && p[i] < 0x80 && p[i] != '"' && p[i] != '\\';
  return plain;
}
bool plainEscapeBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < 8; ++i) plain &= !needsEscape(p[i]);
  return plain;
}
bool plainAsciiEscapeBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < 8; ++i) plain &= p[i] < 0x80 && !needsEscape(p[i]);
  return plain;
}
void narrowBlock(const char16_t* p, char* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(p[i]);
}
#endif

template <typename Unit>
constexpr std::ptrdiff_t kBlock = 16 / sizeof(Unit);

bool isDigit(unsigned c) { return c >= '0' && c <= '9'; }

int hexValue(unsigned c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// A run of a string's body appended to the parsed text: UTF-16 as it is,
// UTF-8 decoded (false when it is not well-formed), or ASCII kept narrow.
bool appendRun(std::u16string& out, const char16_t* begin, const char16_t* end) {
  out.append(begin, end);
  return true;
}
bool appendRun(std::u16string& out, const unsigned char* begin, const unsigned char* end) {
  return appendWide(out, {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)});
}
// What follows a backslash in a string: one letter, or 'u' and four hex
// digits; the code unit it stands for and how many units it takes.
template <typename Unit>
bool escapeUnit(const Unit* p, const Unit* end, unsigned& unit, std::size_t& length) {
  if (p == end) return false;
  length = 1;
  switch (const unsigned e = *p) {
    case '"':
    case '\\':
    case '/':
      unit = e;
      return true;
    case 'b':
      unit = '\b';
      return true;
    case 'f':
      unit = '\f';
      return true;
    case 'n':
      unit = '\n';
      return true;
    case 'r':
      unit = '\r';
      return true;
    case 't':
      unit = '\t';
      return true;
    case 'u':
      if (end - p < 5) return false;
      unit = 0;
      for (int i = 1; i <= 4; ++i) {
        const int digit = hexValue(p[i]);
        if (digit < 0) return false;
        unit = unit * 16 + static_cast<unsigned>(digit);
      }
      length = 5;
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Parser over UTF-16 units or UTF-8 bytes. The text ends at its end or at its
// first NUL unit, whichever comes first; `more()` is the one place that knows
// this. Nesting is limited to kMaxJsonDepth containers so that hostile input
// cannot exhaust the stack. Outside strings only ASCII is accepted, so the two
// forms of a text parse alike.

template <typename Unit>
class Parser {
 public:
  // `narrowMember` of the top-level object, with `writable` (the text
  // itself): its string is not copied but unescaped where it stands; its
  // place in the text is noted (taken()) and its value left empty.
  // `left` (given): the string at `leftPath` is only checked; its text is
  // given there and its value left empty.
  Parser(const Unit* text, std::size_t size, std::u16string_view narrowMember, Unit* writable = nullptr,
         std::span<const std::u16string_view> leftPath = {}, std::string_view* left = nullptr)
      : begin_(text),
        p_(text),
        end_(text + size),
        narrowMember_(narrowMember),
        writable_(writable),
        leftPath_(leftPath),
        left_(left) {}

  struct Taken {
    JsonValue* value = nullptr;  // in the parsed tree; null when nothing was taken
    std::size_t offset = 0;
    std::size_t size = 0;
  };
  const Taken& taken() const { return taken_; }

  std::unique_ptr<JsonValue> parseDocument() {
    if (!skipWhitespace()) return nullptr;
    auto value = parseValue(0);
    if (!value || skipWhitespace()) return nullptr;
    return value;
  }

 private:
  bool more() const { return p_ != end_ && *p_ != 0; }

  // Moves over whitespace; true when a code unit of the text remains.
  bool skipWhitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
    return more();
  }

  // The next code units spell `word` (lower case) regardless of ASCII case.
  bool lookingAt(std::string_view word) const {
    if (static_cast<std::size_t>(end_ - p_) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      unsigned c = p_[i];
      if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
      if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
  }

  std::unique_ptr<JsonValue> parseValue(int depth) {
    const unsigned c = *p_;
    if (c == '"') {
      ++p_;
      std::u16string text;
      if (!extractString(text)) return nullptr;
      return std::make_unique<JsonValue>(std::move(text));
    }
    if (lookingAt("true")) {
      p_ += 4;
      return std::make_unique<JsonValue>(true);
    }
    if (lookingAt("false")) {
      p_ += 5;
      return std::make_unique<JsonValue>(false);
    }
    if (lookingAt("null")) {
      p_ += 4;
      return std::make_unique<JsonValue>();
    }
    if (c == '-' || isDigit(c)) return parseNumber();
    if (c == '{') return depth < kMaxJsonDepth ? parseObject(depth + 1) : nullptr;
    if (c == '[') return depth < kMaxJsonDepth ? parseArray(depth + 1) : nullptr;
    return nullptr;
  }

  // Cursor just past the opening quotation mark; on success just past the
  // closing one. Escapes give one code unit each, so a lone surrogate escape
  // passes through and \u0000 gives a NUL unit.
  template <typename Out>
  bool extractString(Out& out) {
    for (;;) {
      const Unit* run = p_;
      for (;;) {
        while (end_ - p_ >= kBlock<Unit> && plainStringBlock(p_)) p_ += kBlock<Unit>;
        // The block holds a unit to look at, unless it was only a tab or
        // (UTF-8) bytes of multi-byte sequences.
        const Unit* const stop = end_ - p_ >= kBlock<Unit> ? p_ + kBlock<Unit> : end_;
        while (p_ != stop && isStringBodyUnit(*p_)) ++p_;
        if (p_ != stop || p_ == end_) break;
      }
      if (!appendRun(out, run, p_)) return false;
      if (p_ == end_) return false;
      const unsigned c = *p_++;
      if (c == '"') return true;
      if (c != '\\') return false;  // a raw control character, or the NUL ending the text
      unsigned unit;
      if (!escaped(unit)) return false;
      out.push_back(static_cast<typename Out::value_type>(unit));
    }
  }

  // Cursor just past the opening quotation mark: the string's text unescaped
  // to `w` on while it is ASCII, sixteen bytes at a time until a quotation
  // mark, a backslash or a byte that is not plain ASCII. `done`: the string
  // ended (the cursor is past it, `w` at the end of its text); `notAscii`:
  // the cursor is on what cannot be written narrow (a byte beyond ASCII, a
  // control character, an escape of one, the end of the text), and the rest
  // is parsed as any string; `failed`: an escape is not one. `w` is in the
  // text itself, behind the cursor, and nothing not yet read is written over.
  enum class Ascii { done, notAscii, failed };
  Ascii extractAscii(char*& w) {
    for (;;) {
#if defined(__SSE2__)
      while (end_ - p_ >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
        // Controls and bytes beyond ASCII (negative as signed) but tabs stop.
        const __m128i unusual =
            _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
        const auto stops = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(unusual, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))))));
        const std::size_t n = stops == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(stops));
        if (w + 16 <= reinterpret_cast<const char*>(p_)) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
        } else if (w != reinterpret_cast<const char*>(p_)) {
          std::memmove(w, p_, n);
        }
        w += n;
        p_ += n;
        if (stops != 0) break;
      }
#endif
      if (p_ == end_) return Ascii::notAscii;
      const unsigned c = *p_;
      if (c == '"') {
        ++p_;
        return Ascii::done;
      }
      if (c != '\\') {
        if (c >= 0x80 || !isStringBodyUnit(c)) return Ascii::notAscii;
        *w++ = static_cast<char>(c);
        ++p_;
        continue;
      }
      const Unit* const escape = p_++;
      unsigned unit;
      if (!escaped(unit)) return Ascii::failed;
      if (unit >= 0x80) {
        p_ = escape;  // written wide
        return Ascii::notAscii;
      }
      *w++ = static_cast<char>(unit);
    }
  }

  // Cursor just past the opening quotation mark of a UTF-8 string: moves
  // past the closing one, checking the text as extractString does without
  // keeping it. Sixty-four bytes are looked at together (see StringChunk): a
  // chunk of plain text and escapes of one letter is passed over without a
  // branch for each escape; one holding anything else is gone through a unit
  // at a time.
  bool skipString() {
    const Unit* p = p_;
    for (;;) {
#if defined(__SSE2__)
      std::uint64_t escapedFirst = 0;  // the chunk's first byte is escaped by the one before
      while (end_ - p >= 64) {
        const StringChunk chunk(p);
        std::uint64_t carry = escapedFirst;
        const std::uint64_t escaped = chunk.escaped(carry);
        const std::uint64_t closing = chunk.quote & ~escaped;
        const std::uint64_t before = (closing & (0 - closing)) - 1;  // all bits when there is none
        if (((chunk.unusual | (escaped & ~chunk.simpleEscape)) & before) != 0) break;
        if (closing != 0) {
          p_ = p + std::countr_zero(closing) + 1;
          return true;
        }
        escapedFirst = carry;
        p += 64;
      }
      if (escapedFirst != 0) --p;  // back to the backslash
#endif
      // Up to the end of a chunk, or of the text.
      const Unit* const until = end_ - p >= 64 ? p + 64 : end_;
      while (p < until) {
        const unsigned c = *p;
        if (c == '"') {
          p_ = p + 1;
          return true;
        }
        if (c == '\\') {
          p_ = p + 1;
          unsigned unit;
          if (!escaped(unit)) return false;
          p = p_;
        } else if (c < 0x80) {
          if (!isStringBodyUnit(c)) return false;  // a raw control character, or the NUL ending the text
          ++p;
        } else {
          // Bytes beyond ASCII up to the next ASCII one: whole sequences, as
          // no sequence goes on past an ASCII byte.
          const Unit* const run = p;
          while (p != end_ && *p >= 0x80) ++p;
          if (!isWellFormedUtf8({reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run)}))
            return false;
        }
      }
      if (p == end_) return false;
    }
  }

  // Cursor just past a backslash: the code unit its escape stands for.
  bool escaped(unsigned& unit) {
    std::size_t length = 0;
    if (!escapeUnit(p_, end_, unit, length)) return false;
    p_ += length;
    return true;
  }

  // Digits are accumulated in double arithmetic one by one, the fraction with
  // a weight that shrinks by a tenth per digit, and the exponent applied one
  // factor of ten at a time; that loop stops once the value is infinite or
  // zero, since no further factor can change it, so huge exponents end at once.
  std::unique_ptr<JsonValue> parseNumber() {
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (!more() || !isDigit(*p_)) return nullptr;
    double value = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (more() && isDigit(*p_)) value = value * 10 + (*p_++ - '0');
    }
    if (more() && *p_ == '.') {
      ++p_;
      if (!more() || !isDigit(*p_)) return nullptr;
      double sum = 0;
      double weight = 0.1;
      while (more() && isDigit(*p_)) {
        sum += (*p_++ - '0') * weight;
        weight *= 0.1;
      }
      value += sum;
    }
    if (more() && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      bool negativeExponent = false;
      if (more() && (*p_ == '+' || *p_ == '-')) negativeExponent = *p_++ == '-';
      if (!more() || !isDigit(*p_)) return nullptr;
      double exponent = 0;
      while (more() && isDigit(*p_)) exponent = exponent * 10 + (*p_++ - '0');
      for (double i = 0; i < exponent && value != 0 && !std::isinf(value); ++i) {
        value = negativeExponent ? value / 10 : value * 10;
      }
    }
    if (negative) value *= -1;
    return std::make_unique<JsonValue>(value);
  }

  // Cursor on '['.
  std::unique_ptr<JsonValue> parseArray(int depth) {
    ++p_;
    JsonArray elements;
    for (;;) {
      if (!skipWhitespace()) return nullptr;
      if (elements.empty() && *p_ == ']') break;
      auto element = parseValue(depth);
      if (!element) return nullptr;
      elements.push_back(std::move(element));
      if (!skipWhitespace()) return nullptr;
      if (*p_ == ']') break;
      if (*p_ != ',') return nullptr;
      ++p_;
    }
    ++p_;
    return std::make_unique<JsonValue>(std::move(elements));
  }

  // Cursor on '{'. A repeated member name replaces the earlier value.
  std::unique_ptr<JsonValue> parseObject(int depth) {
    ++p_;
    JsonObject members;
    for (;;) {
      if (!skipWhitespace()) return nullptr;
      if (members.empty() && *p_ == '}') break;
      if (*p_ != '"') return nullptr;
      ++p_;
      std::u16string name;
      if (!extractString(name)) return nullptr;
      if (!skipWhitespace() || *p_ != ':') return nullptr;
      ++p_;
      if (!skipWhitespace()) return nullptr;
      std::unique_ptr<JsonValue> value;
      const bool named = depth == 1 && writable_ && !narrowMember_.empty() && name == narrowMember_;
      // Whether the member is on the path to the string left as it stands
      // (the objects around it all are).
      const auto level = static_cast<std::size_t>(depth);
      const bool onPath = onPath_ + 1 == level && level <= leftPath_.size() && name == leftPath_[level - 1];
      if (onPath) *left_ = {};  // a repeated member replaces what was left before
      Taken taken;
      if constexpr (std::is_same_v<Unit, unsigned char>) {
        // The string left as it stands: only checked, and its text noted.
        // The named member: an ASCII string is held narrow (a document's
        // base64 is not widened), not copied but only noted, and unescaped
        // where it stands when it holds escapes.
        if (onPath && level == leftPath_.size() && *p_ == '"') {
          const Unit* const start = ++p_;
          if (!skipString()) return nullptr;
          *left_ = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - 1 - start)};
          value = std::make_unique<JsonValue>(std::string());
        } else if (named && *p_ == '"') {
          ++p_;
          const auto offset = static_cast<std::size_t>(p_ - begin_);
          char* const start = reinterpret_cast<char*>(writable_ + offset);
          char* w = start;
          const Ascii ascii = extractAscii(w);
          if (ascii == Ascii::failed) return nullptr;
          if (ascii == Ascii::notAscii) {
            // The ASCII text so far, then the rest as any string.
            std::u16string wide(start, w);
            if (!extractString(wide)) return nullptr;
            value = std::make_unique<JsonValue>(std::move(wide));
          } else {
            value = std::make_unique<JsonValue>(std::string());
            taken = {value.get(), offset, static_cast<std::size_t>(w - start)};
          }
        }
      }
      if (!value) {
        onPath_ += onPath;
        value = parseValue(depth);
        onPath_ -= onPath;
      }
      if (!value) return nullptr;
      members.insert_or_assign(std::move(name), std::move(value));
      if (named) taken_ = taken;  // the last of repeated members wins
      if (!skipWhitespace()) return nullptr;
      if (*p_ == '}') break;
      if (*p_ != ',') return nullptr;
      ++p_;
    }
    ++p_;
    return std::make_unique<JsonValue>(std::move(members));
  }

  const Unit* const begin_;
  const Unit* p_;
  const Unit* const end_;
  const std::u16string_view narrowMember_;
  Unit* const writable_;
  const std::span<const std::u16string_view> leftPath_;
  std::string_view* const left_;
  std::size_t onPath_ = 0;  // how many objects around the cursor are on the left path
  Taken taken_;
};

// ---------------------------------------------------------------------------
// Serializer. One tree walk writes either wide text or UTF-8 through a sink;
// both sinks produce the same characters.

// Numbers: NaN and infinities have no JSON form; others get %.15g, which
// to_chars gives without regard to the locale.
std::string_view formatNumber(double value, char (&buffer)[32]) {
  if (std::isnan(value) || std::isinf(value)) return "null";
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  return {buffer, static_cast<std::size_t>(result.ptr - buffer)};
}

// The escape of a code unit for which needsEscape holds; writes 2 or 6 chars.
std::size_t escape(char16_t c, char (&out)[6]) {
  static constexpr char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  switch (c) {
    case u'"':
    case u'\\':
    case u'/':
      out[1] = static_cast<char>(c);
      return 2;
    case u'\b':
      out[1] = 'b';
      return 2;
    case u'\f':
      out[1] = 'f';
      return 2;
    case u'\n':
      out[1] = 'n';
      return 2;
    case u'\r':
      out[1] = 'r';
      return 2;
    case u'\t':
      out[1] = 't';
      return 2;
    default:
      out[1] = 'u';
      out[2] = '0';
      out[3] = '0';
      out[4] = kHex[(c >> 4) & 0xF];
      out[5] = kHex[c & 0xF];
      return 6;
  }
}

// Bytes each byte of UTF-8 text takes once escaped; bytes of multi-byte
// sequences pass unchanged.
constexpr auto kEscapedLength = [] {
  std::array<unsigned char, 256> length{};
  for (int c = 0; c < 256; ++c) length[c] = 1;
  for (int c = 0; c < 0x20; ++c) length[c] = 6;
  for (const char c : {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t'})
    length[static_cast<unsigned char>(c)] = 2;
  return length;
}();

// Sixteen bytes of UTF-8 at once: a mask of those written as an escape, and
// how many bytes more than sixteen their escapes take. Base64 has one such
// byte ('/') in 64 on average, so most blocks are copied as they are.
#if defined(__SSE2__)
unsigned escapeMask(const char* p, unsigned& controls) {
  const __m128i v = load16(p);
  const __m128i control =
      _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xE0))), _mm_setzero_si128());
  const __m128i escaped = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('/')), control));
  controls = static_cast<unsigned>(_mm_movemask_epi8(control));
  return static_cast<unsigned>(_mm_movemask_epi8(escaped));
}
#else
unsigned escapeMask(const char* p, unsigned& controls) {
  unsigned mask = 0;
  controls = 0;
  for (int i = 0; i < 16; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    mask |= static_cast<unsigned>(kEscapedLength[c] != 1) << i;
    controls |= static_cast<unsigned>(c < 0x20) << i;
  }
  return mask;
}
#endif

// Set bits of a byte (a table: without a population-count instruction in the
// target's baseline, std::popcount is a library call).
constexpr auto kBits = [] {
  std::array<unsigned char, 256> bits{};
  for (int i = 0; i < 256; ++i) bits[i] = static_cast<unsigned char>((i & 1) + (i >= 2 ? bits[i / 2] : 0));
  return bits;
}();

std::size_t blockExtra(const char* p) {
  unsigned controls;
  const unsigned mask = escapeMask(p, controls);
  if (mask == 0) return 0;
  // Every escape one byte more, a \u00XX escape (not one of \b \f \n \r \t) four more.
  std::size_t extra = kBits[mask & 0xFF] + kBits[mask >> 8];
  for (unsigned c = controls; c != 0; c &= c - 1) {
    extra += kEscapedLength[static_cast<unsigned char>(p[std::countr_zero(c)])] - 1 - 1;
  }
  return extra;
}

// Upper bound of the code units a quoted, escaped string takes (every control
// counted as a six-unit escape). Sizing the output once matters for strings
// of a hundred MiB, which would otherwise be copied as the output grows.
std::size_t escapedSizeBound(std::u16string_view s) {
  std::size_t bound = 2 + s.size();
  for (const char16_t c : s) bound += 5 * (c < 0x20) + (c == u'"') + (c == u'\\') + (c == u'/');
  return bound;
}

class WideSink {
 public:
  void ascii(std::string_view text) { out_.append(text.begin(), text.end()); }

  void string(std::u16string_view s) {
    out_.reserve(out_.size() + escapedSizeBound(s));
    out_.push_back(u'"');
    const char16_t* p = s.data();
    const char16_t* const end = p + s.size();
    while (p != end) {
      const char16_t* run = p;
      while (end - p >= 8 && plainEscapeBlock(p)) p += 8;
      while (p != end && !needsEscape(*p)) ++p;
      out_.append(run, p);
      if (p == end) break;
      char buffer[6];
      ascii({buffer, escape(*p++, buffer)});
    }
    out_.push_back(u'"');
  }

  void utf8String(std::string_view s) { string(asciiToWide(s)); }

  std::u16string take() { return std::move(out_); }

 private:
  std::u16string out_;
};

// Appends to a string it is given, whose capacity is reused from answer to
// answer.
class Utf8Sink {
 public:
  explicit Utf8Sink(std::string& out) : out_(out) {}

  void ascii(std::string_view text) { out_.append(text); }

  // Sizes the output once per string (an upper bound: a surrogate counted as
  // three bytes), then writes through a pointer; lone surrogates become U+FFFD
  // as in wideToUtf8.
  void string(std::u16string_view s) {
    std::size_t bound = escapedSizeBound(s);
    for (const char16_t c : s) bound += (c >= 0x80) + (c >= 0x800);
    const std::size_t start = out_.size();
    out_.resize(start + bound);
    char* w = out_.data() + start;
    *w++ = '"';
    const char16_t* p = s.data();
    const char16_t* const end = p + s.size();
    while (p != end) {
      while (end - p >= 8 && plainAsciiEscapeBlock(p)) {
        narrowBlock(p, w);
        p += 8;
        w += 8;
      }
      if (p == end) break;
      const char16_t c = *p;
      if (c >= 0x80) {
        w = encodeUtf8Unit(w, p, end);
      } else if (needsEscape(c)) {
        char buffer[6];
        const std::size_t n = escape(c, buffer);
        std::memcpy(w, buffer, n);
        w += n;
        ++p;
      } else {
        *w++ = static_cast<char>(c);
        ++p;
      }
    }
    *w++ = '"';
    out_.resize(static_cast<std::size_t>(w - out_.data()));
  }

  void utf8String(std::string_view s) {
    out_.push_back('"');
    appendEscapedUtf8(out_, s);
    out_.push_back('"');
  }

 private:
  std::string& out_;
};

template <typename Sink>
void write(Sink& sink, const JsonValue* value) {
  if (!value) {
    sink.ascii("null");
    return;
  }
  switch (value->type()) {
    case JsonType::Null:
      sink.ascii("null");
      break;
    case JsonType::Bool:
      sink.ascii(value->asBool() ? "true" : "false");
      break;
    case JsonType::Number: {
      char buffer[32];
      sink.ascii(formatNumber(value->asNumber(), buffer));
      break;
    }
    case JsonType::String:
      if (value->isNarrow()) {
        sink.utf8String(value->asNarrow());
      } else {
        sink.string(value->asString());
      }
      break;
    case JsonType::Array: {
      sink.ascii("[");
      bool first = true;
      for (const auto& element : value->asArray()) {
        if (!first) sink.ascii(",");
        first = false;
        write(sink, element.get());
      }
      sink.ascii("]");
      break;
    }
    case JsonType::Object: {
      sink.ascii("{");
      bool first = true;
      for (const auto& [name, member] : value->asObject()) {
        if (!first) sink.ascii(",");
        first = false;
        sink.string(name);
        sink.ascii(":");
        write(sink, member.get());
      }
      sink.ascii("}");
      break;
    }
  }
}

}  // namespace

bool jsonEscape(std::string_view escape, unsigned& unit, std::size_t& length) {
  const auto* p = reinterpret_cast<const unsigned char*>(escape.data());
  return escapeUnit(p, p + escape.size(), unit, length);
}

std::unique_ptr<JsonValue> parseJson(std::u16string_view text) {
  return Parser<char16_t>(text.data(), text.size(), {}).parseDocument();
}

std::unique_ptr<JsonValue> parseJson(std::string_view text) {
  return Parser<unsigned char>(reinterpret_cast<const unsigned char*>(text.data()), text.size(), {})
      .parseDocument();
}

std::unique_ptr<JsonValue> parseJsonLeaving(std::string_view text,
                                            std::span<const std::u16string_view> leftPath,
                                            std::string_view& left) {
  left = {};
  return Parser<unsigned char>(reinterpret_cast<const unsigned char*>(text.data()), text.size(), {}, nullptr,
                               leftPath, &left)
      .parseDocument();
}

std::unique_ptr<JsonValue> parseJsonTaking(std::string& text, std::u16string_view narrowMember) {
  auto* const units = reinterpret_cast<unsigned char*>(text.data());
  Parser<unsigned char> parser(units, text.size(), narrowMember, units);
  auto value = parser.parseDocument();
  const auto& taken = parser.taken();
  if (value && taken.value) {
    // The text becomes the member's value: moved to the front of its own
    // buffer instead of copied into a new one.
    std::memmove(text.data(), text.data() + taken.offset, taken.size);
    text.resize(taken.size);
    *taken.value = JsonValue(std::move(text));
    text.clear();
  }
  return value;
}

std::u16string stringify(const JsonValue& value) {
  WideSink sink;
  write(sink, &value);
  return sink.take();
}

std::string stringifyUtf8(const JsonValue& value) {
  std::string out;
  Utf8Sink sink(out);
  write(sink, &value);
  return out;
}

void stringifyUtf8(const JsonValue& value, std::string& out) {
  Utf8Sink sink(out);
  write(sink, &value);
}

std::size_t escapedUtf8Size(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::size_t size = text.size();
  for (; end - p >= 16; p += 16) size += blockExtra(p);
  for (; p != end; ++p) size += kEscapedLength[static_cast<unsigned char>(*p)] - 1u;
  return size;
}

std::size_t escapedUtf8Fit(std::string_view text, std::size_t room) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  std::size_t used = 0;
  for (; end - p >= 16; p += 16) {
    const std::size_t block = 16 + blockExtra(p);
    if (used + block > room) break;
    used += block;
  }
  for (; p != end; ++p) {
    used += kEscapedLength[static_cast<unsigned char>(*p)];
    if (used > room) break;
  }
  return static_cast<std::size_t>(p - begin);
}

std::size_t appendEscapedUtf8(std::string& out, std::string_view text, std::size_t room) {
  // Runs between the bytes that need escaping are copied whole; the output
  // grows within the capacity the caller reserved (or reuses), never
  // zero-filled first.
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  const char* run = p;
  std::size_t used = 0;  // escaped bytes of [begin, run)
  char buffer[6];
  const auto escapeAt = [&](const char* at) {
    const std::size_t n = escape(static_cast<unsigned char>(*at), buffer);
    if (used + static_cast<std::size_t>(at - run) + n > room) return false;
    out.append(run, at);
    out.append(buffer, n);
    used += static_cast<std::size_t>(at - run) + n;
    run = at + 1;
    return true;
  };
  while (end - p >= 16 && used + static_cast<std::size_t>(p - run) + 16 * 6 <= room) {
    unsigned controls;
    unsigned mask = escapeMask(p, controls);
    for (; mask != 0; mask &= mask - 1) escapeAt(p + std::countr_zero(mask));
    p += 16;
  }
  // The rest byte by byte, up to where the room ends.
  for (; p != end; ++p) {
    if (kEscapedLength[static_cast<unsigned char>(*p)] == 1) {
      if (used + static_cast<std::size_t>(p + 1 - run) > room) break;
      continue;
    }
    if (!escapeAt(p)) break;
  }
  out.append(run, p);
  return static_cast<std::size_t>(p - begin);
}

void appendEscapedUtf8(std::string& out, std::string_view text) {
  appendEscapedUtf8(out, text, static_cast<std::size_t>(-1) / 8);
}

void stringifyAround(const JsonValue& object, std::u16string_view key, std::string& before,
                     std::string& after) {
  Utf8Sink head(before);
  Utf8Sink tail(after);
  head.ascii("{");
  const std::size_t start = before.size();
  for (const auto& [name, member] : object.asObject()) {
    if (name == key) continue;
    const bool isHead = name < key;
    Utf8Sink& sink = isHead ? head : tail;
    if (!isHead || before.size() > start) sink.ascii(",");
    sink.string(name);
    sink.ascii(":");
    write(sink, member.get());
  }
  if (before.size() > start) head.ascii(",");
  head.string(key);
  head.ascii(":");
  tail.ascii("}");
}

void stringifyUtf8(const JsonValue& object, const RawMember& extra, std::string& out) {
  std::string after;
  stringifyAround(object, extra.key, out, after);
  // Sized for the common case (a few escapes) without a pass to count them:
  // the output grows if more are needed, and keeps its capacity when reused.
  out.reserve(out.size() + extra.open.size() + 2 + extra.text.size() + extra.text.size() / 8 + 64 +
              extra.close.size() + after.size());
  out.append(extra.open);
  out.push_back('"');
  appendEscapedUtf8(out, extra.text);
  out.push_back('"');
  out.append(extra.close);
  out.append(after);
}

std::string stringifyUtf8(const JsonValue& object, const RawMember& extra) {
  std::string out;
  stringifyUtf8(object, extra, out);
  return out;
}

}  // namespace ormid
