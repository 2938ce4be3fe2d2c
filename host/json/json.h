// JSON document model over wide (UTF-16) text: a tree of JsonValue nodes, a
// parser with the protocol's leniencies (literals matched without regard to
// ASCII case, raw tab inside strings, last duplicate member wins) and a compact
// serializer (members in key order, solidus escaped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ormid {

enum class JsonType : std::int32_t { Null = 0, String = 1, Bool = 2, Number = 3, Array = 4, Object = 5 };

class JsonValue;
using JsonArray = std::vector<std::unique_ptr<JsonValue>>;
// Keys ordered by UTF-16 code units as unsigned numbers, a prefix first.
using JsonObject = std::map<std::u16string, std::unique_ptr<JsonValue>>;

class JsonValue {
 public:
  JsonValue();                               // Null
  explicit JsonValue(const char16_t* text);  // up to the terminating NUL
  explicit JsonValue(std::u16string text);   // whole string, NUL code units included
  // A string of ASCII text held narrow: its text is asNarrow(), not asString().
  explicit JsonValue(std::string ascii);
  explicit JsonValue(bool value);
  explicit JsonValue(double value);
  explicit JsonValue(JsonArray elements);  // adopts the elements
  explicit JsonValue(JsonObject members);  // adopts the members

  JsonType type() const;
  bool isNull() const { return type() == JsonType::Null; }
  bool isString() const { return type() == JsonType::String; }
  bool isBool() const { return type() == JsonType::Bool; }
  bool isNumber() const { return type() == JsonType::Number; }
  bool isArray() const { return type() == JsonType::Array; }
  bool isObject() const { return type() == JsonType::Object; }

  // A string held narrow (see parseJsonTaking): asString() is empty, asNarrow()
  // gives its ASCII text and takeNarrow() moves it out.
  bool isNarrow() const;
  std::string_view asNarrow() const;
  std::string takeNarrow();

  // Accessors; the caller tests the kind first.
  const std::u16string& asString() const;
  bool asBool() const;
  double asNumber() const;
  const JsonArray& asArray() const;
  const JsonObject& asObject() const;
  JsonObject& asObject();

 private:
  std::variant<std::monostate, std::u16string, bool, double, JsonArray, JsonObject, std::string> value_;
};

// Deepest nesting of arrays and objects that parses; deeper text fails.
inline constexpr int kMaxJsonDepth = 512;

// Parses text up to its first NUL code unit. Null when the text is not accepted.
std::unique_ptr<JsonValue> parseJson(std::u16string_view text);
// The same for UTF-8 text (ill-formed UTF-8 in a string is not accepted),
// without widening it first.
std::unique_ptr<JsonValue> parseJson(std::string_view text);
// The same, and the string of the top-level object's member `narrowMember`
// is held narrow when all its characters are ASCII, and not copied: it is
// unescaped where it stands and `text` itself becomes its value (and is left
// empty; when the text does not parse, its content is unspecified). A
// request or an answer carrying a document is then held once.
std::unique_ptr<JsonValue> parseJsonTaking(std::string& text, std::u16string_view narrowMember);

// The same, but the string at `leftPath` (member names from the top-level
// object down) is checked and not unescaped: its value is an empty string,
// and `left` is its text as it stands between its quotation marks (a view
// into `text`; empty when there is none), for a caller that undoes the escapes
// as it goes.
std::unique_ptr<JsonValue> parseJsonLeaving(std::string_view text,
                                            std::span<const std::u16string_view> leftPath,
                                            std::string_view& left);

// The code unit a string's escape stands for, given what follows its
// backslash (one letter, or 'u' and four hex digits; `escape` may run on),
// and how many bytes of `escape` it takes. False when it is no escape.
bool jsonEscape(std::string_view escape, unsigned& unit, std::size_t& length);

// Compact text of the tree.
std::u16string stringify(const JsonValue& value);
// The same text as wideToUtf8(stringify(value)), written directly as UTF-8.
std::string stringifyUtf8(const JsonValue& value);
// The same, appended to `out` (whose capacity is reused).
void stringifyUtf8(const JsonValue& value, std::string& out);

// A member added to an object while it is written, whose value is raw JSON
// text `open`, then `text` (UTF-8) as a quoted, escaped string, then raw JSON
// text `close`. It lets a document's content, or a piece of an answer, go into
// an answer without being widened to UTF-16 or copied into a tree first.
struct RawMember {
  std::u16string_view key;
  std::string_view open;
  std::string_view text;
  std::string_view close;
};
// stringifyUtf8 of `object` (an Object) with `extra` among its members in key
// order; `extra` replaces a member of the same key.
std::string stringifyUtf8(const JsonValue& object, const RawMember& extra);
// The same, appended to `out` (whose capacity is reused).
void stringifyUtf8(const JsonValue& object, const RawMember& extra, std::string& out);
// The text of `object` around a member `key` whose value is written by the
// caller: `before` gets the text up to and including `"key":`, `after` the
// rest (the next member's comma or the closing brace). Both are appended to.
void stringifyAround(const JsonValue& object, std::u16string_view key, std::string& before,
                     std::string& after);
// Appends UTF-8 `text` escaped as the inside of a JSON string (`out` grows as
// needed; reserve escapedUtf8Size(text) more for one allocation).
void appendEscapedUtf8(std::string& out, std::string_view text);
// The same for the longest prefix of `text` whose escaped form takes at most
// `room` bytes (escapedUtf8Fit); its length.
std::size_t appendEscapedUtf8(std::string& out, std::string_view text, std::size_t room);

// Bytes that UTF-8 `text` takes once escaped as a JSON string, without quotes.
std::size_t escapedUtf8Size(std::string_view text);
// The longest prefix of `text` whose escaped form takes at most `room` bytes.
std::size_t escapedUtf8Fit(std::string_view text, std::size_t room);

}  // namespace ormid
