// JSON over UTF-16 text. Requests carry a whole document as one base64 string
// member, and answers carry one back, so the string paths (scanning a string
// body, escaping a string) move runs of ordinary code units in bulk and test
// four units at a time.
#include "host/json/json.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

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
JsonValue::JsonValue(bool value) : value_(value) {}
JsonValue::JsonValue(double value) : value_(value) {}
JsonValue::JsonValue(JsonArray elements) : value_(std::move(elements)) {}
JsonValue::JsonValue(JsonObject members) : value_(std::move(members)) {}

// The alternatives of value_ are declared in the order of JsonType.
JsonType JsonValue::type() const { return static_cast<JsonType>(value_.index()); }

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
// Blocks of eight UTF-16 code units tested at once: each test tells whether a
// block is entirely made of units that are copied as they are, so that long
// runs of such units (base64 content) move in bulk.

constexpr std::ptrdiff_t kBlock = 8;

bool isStringBodyUnit(char16_t c) { return c != u'"' && c != u'\\' && (c >= 0x20 || c == u'\t'); }
bool needsEscape(char16_t c) { return c < 0x20 || c == u'"' || c == u'\\' || c == u'/'; }

#if defined(__SSE2__)
__m128i load8(const char16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
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
  const __m128i v = load8(p);
  return allLanes(
      _mm_andnot_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesNotControl(v)));
}
// Nothing that is written as an escape.
bool plainEscapeBlock(const char16_t* p) {
  const __m128i v = load8(p);
  const __m128i escaped =
      _mm_or_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesEqual(v, u'/'));
  return allLanes(_mm_andnot_si128(escaped, lanesNotControl(v)));
}
// Nothing written as an escape and nothing outside ASCII.
bool plainAsciiEscapeBlock(const char16_t* p) {
  const __m128i v = load8(p);
  const __m128i escaped =
      _mm_or_si128(_mm_or_si128(lanesEqual(v, u'"'), lanesEqual(v, u'\\')), lanesEqual(v, u'/'));
  return allLanes(_mm_andnot_si128(escaped, _mm_and_si128(lanesNotControl(v), lanesAscii(v))));
}
// Eight ASCII units to eight bytes.
void narrowBlock(const char16_t* p, char* out) {
  const __m128i v = load8(p);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
}
#else
bool plainStringBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < kBlock; ++i) plain &= p[i] >= 0x20 && p[i] != u'"' && p[i] != u'\\';
  return plain;
}
bool plainEscapeBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < kBlock; ++i) plain &= !needsEscape(p[i]);
  return plain;
}
bool plainAsciiEscapeBlock(const char16_t* p) {
  bool plain = true;
  for (int i = 0; i < kBlock; ++i) plain &= p[i] < 0x80 && !needsEscape(p[i]);
  return plain;
}
void narrowBlock(const char16_t* p, char* out) {
  for (int i = 0; i < kBlock; ++i) out[i] = static_cast<char>(p[i]);
}
#endif

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// ---------------------------------------------------------------------------
// Parser. The text ends at its end or at its first NUL code unit, whichever
// comes first; `more()` is the one place that knows this. Nesting is limited to
// kMaxJsonDepth containers so that hostile input cannot exhaust the stack.

class Parser {
 public:
  explicit Parser(std::u16string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

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
    while (p_ != end_ && (*p_ == u' ' || *p_ == u'\t' || *p_ == u'\r' || *p_ == u'\n')) ++p_;
    return more();
  }

  // The next code units spell `word` (lower case) regardless of ASCII case.
  bool lookingAt(std::string_view word) const {
    if (static_cast<std::size_t>(end_ - p_) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      char16_t c = p_[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
      if (c != static_cast<char16_t>(word[i])) return false;
    }
    return true;
  }

  std::unique_ptr<JsonValue> parseValue(int depth) {
    const char16_t c = *p_;
    if (c == u'"') {
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
    if (c == u'-' || isDigit(c)) return parseNumber();
    if (c == u'{') return depth < kMaxJsonDepth ? parseObject(depth + 1) : nullptr;
    if (c == u'[') return depth < kMaxJsonDepth ? parseArray(depth + 1) : nullptr;
    return nullptr;
  }

  // Cursor just past the opening quotation mark; on success just past the
  // closing one. Escapes give one code unit each, so a lone surrogate escape
  // passes through and \u0000 gives a NUL unit.
  bool extractString(std::u16string& out) {
    for (;;) {
      const char16_t* run = p_;
      for (;;) {
        while (end_ - p_ >= kBlock && plainStringBlock(p_)) p_ += kBlock;
        // The block holds a unit to look at, unless it was only a tab.
        const char16_t* const stop = end_ - p_ >= kBlock ? p_ + kBlock : end_;
        while (p_ != stop && isStringBodyUnit(*p_)) ++p_;
        if (p_ != stop || p_ == end_) break;
      }
      out.append(run, p_);
      if (p_ == end_) return false;
      const char16_t c = *p_++;
      if (c == u'"') return true;
      if (c != u'\\') return false;  // a raw control character, or the NUL ending the text
      if (!more()) return false;
      const char16_t e = *p_++;
      switch (e) {
        case u'"':
        case u'\\':
        case u'/':
          out.push_back(e);
          break;
        case u'b':
          out.push_back(u'\b');
          break;
        case u'f':
          out.push_back(u'\f');
          break;
        case u'n':
          out.push_back(u'\n');
          break;
        case u'r':
          out.push_back(u'\r');
          break;
        case u't':
          out.push_back(u'\t');
          break;
        case u'u': {
          unsigned unit = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = p_ != end_ ? hexValue(*p_) : -1;
            if (digit < 0) return false;
            unit = unit * 16 + static_cast<unsigned>(digit);
            ++p_;
          }
          out.push_back(static_cast<char16_t>(unit));
          break;
        }
        default:
          return false;
      }
    }
  }

  // Digits are accumulated in double arithmetic one by one, the fraction with
  // a weight that shrinks by a tenth per digit, and the exponent applied one
  // factor of ten at a time; that loop stops once the value is infinite or
  // zero, since no further factor can change it, so huge exponents end at once.
  std::unique_ptr<JsonValue> parseNumber() {
    const bool negative = *p_ == u'-';
    if (negative) ++p_;
    if (!more() || !isDigit(*p_)) return nullptr;
    double value = 0;
    if (*p_ == u'0') {
      ++p_;
    } else {
      while (more() && isDigit(*p_)) value = value * 10 + (*p_++ - u'0');
    }
    if (more() && *p_ == u'.') {
      ++p_;
      if (!more() || !isDigit(*p_)) return nullptr;
      double sum = 0;
      double weight = 0.1;
      while (more() && isDigit(*p_)) {
        sum += (*p_++ - u'0') * weight;
        weight *= 0.1;
      }
      value += sum;
    }
    if (more() && (*p_ == u'e' || *p_ == u'E')) {
      ++p_;
      bool negativeExponent = false;
      if (more() && (*p_ == u'+' || *p_ == u'-')) negativeExponent = *p_++ == u'-';
      if (!more() || !isDigit(*p_)) return nullptr;
      double exponent = 0;
      while (more() && isDigit(*p_)) exponent = exponent * 10 + (*p_++ - u'0');
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
      if (elements.empty() && *p_ == u']') break;
      auto element = parseValue(depth);
      if (!element) return nullptr;
      elements.push_back(std::move(element));
      if (!skipWhitespace()) return nullptr;
      if (*p_ == u']') break;
      if (*p_ != u',') return nullptr;
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
      if (members.empty() && *p_ == u'}') break;
      if (*p_ != u'"') return nullptr;
      ++p_;
      std::u16string name;
      if (!extractString(name)) return nullptr;
      if (!skipWhitespace() || *p_ != u':') return nullptr;
      ++p_;
      if (!skipWhitespace()) return nullptr;
      auto value = parseValue(depth);
      if (!value) return nullptr;
      members.insert_or_assign(std::move(name), std::move(value));
      if (!skipWhitespace()) return nullptr;
      if (*p_ == u'}') break;
      if (*p_ != u',') return nullptr;
      ++p_;
    }
    ++p_;
    return std::make_unique<JsonValue>(std::move(members));
  }

  const char16_t* p_;
  const char16_t* const end_;
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
      while (end - p >= kBlock && plainEscapeBlock(p)) p += kBlock;
      while (p != end && !needsEscape(*p)) ++p;
      out_.append(run, p);
      if (p == end) break;
      char buffer[6];
      ascii({buffer, escape(*p++, buffer)});
    }
    out_.push_back(u'"');
  }

  std::u16string take() { return std::move(out_); }

 private:
  std::u16string out_;
};

class Utf8Sink {
 public:
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
      while (end - p >= kBlock && plainAsciiEscapeBlock(p)) {
        narrowBlock(p, w);
        p += kBlock;
        w += kBlock;
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

  // UTF-8 text as a quoted string: escaped bytes are rare (base64 has only
  // '/'), so runs between them are copied whole into an output sized once.
  void utf8String(std::string_view s) {
    const std::size_t start = out_.size();
    out_.resize(start + 2 + escapedUtf8Size(s));
    char* w = out_.data() + start;
    *w++ = '"';
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end) {
      const char* run = p;
      while (p != end && kEscapedLength[static_cast<unsigned char>(*p)] == 1) ++p;
      std::memcpy(w, run, static_cast<std::size_t>(p - run));
      w += p - run;
      if (p == end) break;
      char buffer[6];
      const std::size_t n = escape(static_cast<unsigned char>(*p++), buffer);
      std::memcpy(w, buffer, n);
      w += n;
    }
    *w = '"';
  }

  void reserve(std::size_t size) { out_.reserve(size); }
  std::size_t size() const { return out_.size(); }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
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
      sink.string(value->asString());
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

std::unique_ptr<JsonValue> parseJson(std::u16string_view text) { return Parser(text).parseDocument(); }

std::u16string stringify(const JsonValue& value) {
  WideSink sink;
  write(sink, &value);
  return sink.take();
}

std::string stringifyUtf8(const JsonValue& value) {
  Utf8Sink sink;
  write(sink, &value);
  return sink.take();
}

std::size_t escapedUtf8Size(std::string_view text) {
  std::size_t size = 0;
  for (const char c : text) size += kEscapedLength[static_cast<unsigned char>(c)];
  return size;
}

std::size_t escapedUtf8Fit(std::string_view text, std::size_t room) {
  std::size_t used = 0;
  std::size_t n = 0;
  for (; n < text.size(); ++n) {
    used += kEscapedLength[static_cast<unsigned char>(text[n])];
    if (used > room) break;
  }
  return n;
}

std::string stringifyUtf8(const JsonValue& object, const RawMember& extra) {
  // The members after the extra one are written first, so that the output
  // (which may hold a whole document) is sized once and never moved.
  Utf8Sink head;
  Utf8Sink tail;
  head.ascii("{");
  for (const auto& [name, member] : object.asObject()) {
    if (name == extra.key) continue;
    Utf8Sink& sink = name < extra.key ? head : tail;
    if (&sink == &tail || head.size() > 1) sink.ascii(",");
    sink.string(name);
    sink.ascii(":");
    write(sink, member.get());
  }
  tail.ascii("}");

  Utf8Sink out;
  out.reserve(head.size() + 1 + 2 * extra.key.size() + 8 + extra.open.size() + escapedUtf8Size(extra.text) +
              extra.close.size() + tail.size());
  out.ascii(head.take());
  if (out.size() > 1) out.ascii(",");
  out.string(extra.key);
  out.ascii(":");
  out.ascii(extra.open);
  out.utf8String(extra.text);
  out.ascii(extra.close);
  out.ascii(tail.take());
  return out.take();
}

}  // namespace ormid
