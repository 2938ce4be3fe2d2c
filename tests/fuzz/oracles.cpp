#include "tests/fuzz/oracles.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ormid::fuzz {

// Decodes each sequence by its lead byte's bit pattern, then rejects the code
// points the standard excludes.
bool isWellFormedUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t cp;
    std::uint32_t smallest;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = cp << 6 | (next & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

namespace {

class StrictJson {
 public:
  explicit StrictJson(std::string_view text) : text_(text) {}

  bool document() {
    whitespace();
    if (!value()) return false;
    whitespace();
    return at_ == text_.size();
  }

 private:
  bool eat(char c) {
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ != start;
  }
  void whitespace() {
    while (eat(' ') || eat('\t') || eat('\n') || eat('\r')) {
    }
  }
  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool value() {
    if (at_ == text_.size()) return false;
    switch (text_[at_]) {
      case '"':
        return string();
      case '[':
        ++at_;
        return elements(']', [this] { return value(); });
      case '{':
        ++at_;
        return elements('}', [this] { return member(); });
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool number() {
    eat('-');
    if (!eat('0')) {
      if (at_ == text_.size() || text_[at_] < '1' || text_[at_] > '9') return false;
      digits();
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  // Bytes above 0x7F are part of characters whose UTF-8 was checked as a whole.
  bool string() {
    if (!eat('"')) return false;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_ == text_.size()) return false;
      const char escape = text_[at_++];
      if (escape == 'u') {
        for (int k = 0; k < 4; ++k, ++at_) {
          const char h = at_ < text_.size() ? text_[at_] : 'x';
          if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'))) return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  // After the opening bracket or brace: elements separated by commas up to `close`.
  template <typename Element>
  bool elements(char close, Element element) {
    whitespace();
    if (eat(close)) return true;
    do {
      whitespace();
      if (!element()) return false;
      whitespace();
    } while (eat(','));
    return eat(close);
  }

  bool member() {
    if (!string()) return false;
    whitespace();
    if (!eat(':')) return false;
    whitespace();
    return value();
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool isStrictJson(std::string_view text) { return isWellFormedUtf8(text) && StrictJson(text).document(); }

void fail(const char* check, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
  std::abort();
}

}  // namespace ormid::fuzz
