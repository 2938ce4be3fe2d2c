#include "host/json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "host/text/text.h"

namespace ormid {
namespace {

using namespace std::string_literals;

std::string show(std::u16string_view text) { return wideToUtf8(text); }

std::u16string repeat(std::u16string_view unit, int count) {
  std::u16string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out;
}

// Each accepted text is checked through its compact form, which shows kind,
// value and member order at once.
TEST(JsonParse, AcceptsTheGrammarAndItsLeniencies) {
  const std::vector<std::pair<std::u16string, std::u16string>> accepted = {
      {u"  {}  ", u"{}"},
      {u"\"top\"", u"\"top\""},
      {u"[TRUE,False,NULL]", u"[true,false,null]"},
      {u"{}\0 x"s, u"{}"},  // the text ends at its first NUL
      {u"{\"a\":1,\"a\":\"x\"}", u"{\"a\":\"x\"}"},
      {u"{ \"b\" : [ true , null ] , \"a\" : \"x/y\" }", u"{\"a\":\"x\\/y\",\"b\":[true,null]}"},
      {u"[ ]", u"[]"},
      {u"\"a\tb\"", u"\"a\\tb\""},
      {u"\"0123456789\tabcdefghijklmnop\t\"", u"\"0123456789\\tabcdefghijklmnop\\t\""},
      {u"\"\\u00e9\\u00E9\u00e9\"", u"\"\u00e9\u00e9\u00e9\""},
      {u"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", u"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""},
      {u"\"\\u0000\"", u"\"\\u0000\""},
      {u"\"\\ud83d\\ude00\"", u"\"\U0001F600\""},
      {u"\"\\ud800x\"", u"\"\xD800x\""},
      {u"[1E+2,-0,0.5,1.5e-3,25e-1]", u"[100,-0,0.5,0.0015,2.5]"},
      {u"[1e400,-1e400,1e-400]", u"[null,null,0]"},
      {u"[1e999999999999,1e-999999999999,0e999999999999]", u"[null,0,0]"},
      {u"1e" + repeat(u"9", 100000), u"null"},
      {u"123456789012345678", u"1.23456789012346e+17"},
  };
  // The UTF-8 parse accepts the same and gives the same value: fuzz_json
  // compares the two on every input.
  for (const auto& [text, compact] : accepted) {
    const auto value = parseJson(text);
    ASSERT_NE(value, nullptr) << show(text);
    EXPECT_EQ(show(stringify(*value)), show(compact)) << show(text);
  }
  const std::vector<std::u16string> rejected = {
      // documents and literals
      u"", u" \t\r\n", u"tru", u"nul", u"truex", u"[truex]", u"{} x", u"[1\0]"s,
      // objects and arrays
      u"{a:1}", u"{\"a\" 1}", u"{\"a\":}", u"{\"a\":1,}", u"{,}", u"{\"a\":1", u"{\"a\":1 \"b\":2}", u"[1,]",
      u"[,]", u"[,1]", u"[1 2]", u"[1",
      // strings
      u"\"a\nb\"", u"\"0123456789abcdefghij\n\"", u"\"a\u0001b\"", u"\"\\x\"", u"\"\\u12\"", u"\"\\u12G4\"",
      u"\"abc", u"\"abc\\", u"\"abcdefghij",
      // numbers
      u"01", u"-01", u"-", u"-x", u"1.", u"1.e3", u"1e", u"1e+", u".5", u"+1"};
  for (const auto& text : rejected) EXPECT_EQ(parseJson(text), nullptr) << show(text);
  // Ill-formed UTF-8 the fuzz target does not compare: a truncated sequence in a string.
  EXPECT_EQ(parseJson("\"a\xE2\x82\""), nullptr);
  EXPECT_EQ(parseJson(u"0.1")->asNumber(), 0.1);
  EXPECT_TRUE(std::isinf(parseJson(u"1e400")->asNumber()));
  EXPECT_EQ(parseJson(u"\"a\\u0000b\"")->asString(), u"a\0b"s);
}

// Only the named member of the top-level object, and only when its string is
// ASCII, is held narrow. That the narrow parse, taken or copied, gives the
// same value as the UTF-16 one: fuzz_json, on every input.
TEST(JsonParse, HoldsTheNamedTopLevelAsciiStringNarrow) {
  const std::vector<std::tuple<std::string, bool, std::string>> cases = {
      {R"({"c":"ab\/c\u0041","d":{"c":"x"}})", true, "ab/cA"},
      {R"({"c":"","c":"x"})", true, "x"},
      {R"({"c":"\u00e9"})", false, ""},
      {"{\"c\":\"\xC3\xA9\"}", false, ""},
      {R"({"c":1})", false, ""},
      {R"(["c","x"])", false, ""},
  };
  for (const auto& [text, narrow, ascii] : cases) {
    std::string taken = text;
    const auto value = parseJsonTaking(taken, u"c");
    ASSERT_NE(value, nullptr) << text;
    const auto* c = value->isObject() ? value->asObject().at(u"c").get() : value->asArray()[0].get();
    EXPECT_EQ(c->isNarrow(), narrow) << text;
    EXPECT_EQ(c->asNarrow(), ascii) << text;
  }
}

TEST(JsonParse, LeavesTheStringAtAPathAsItStands) {
  static constexpr std::u16string_view kPath[] = {u"s", u"p"};
  // Runs of backslashes and what they escape, at every place around the
  // sixty-four-byte chunks the text is looked at in, and things that stop
  // the quick look: each must parse as it does when unescaped (or fail as it
  // does), and leave its text exactly.
  const std::vector<std::string> escapes = {
      "\\\\",           "\\\\\\/", "\\\"",     "\\\\\\\"", "\\\\\"", "\\u00e9",
      "\\ud83d\\ude00", "\\x",     "\xC3\xA9", "\xC3",     "\t",     "\x01"};
  for (const std::string& escape : escapes) {
    for (std::size_t before = 0; before < 140; ++before) {
      const std::string body = std::string(before, 'a') + escape + std::string(70, 'b');
      const std::string text = R"({"p":"x","s":{"q":1,"p":")" + body + R"("}})";
      const auto reference = parseJson(text);
      std::string_view left;
      const auto value = parseJsonLeaving(text, kPath, left);
      ASSERT_EQ(!value, !reference) << text;
      if (!value) continue;
      EXPECT_EQ(left, body) << text;
      EXPECT_EQ(show(value->asObject().at(u"s")->asObject().at(u"p")->asString()), "");
      EXPECT_EQ(show(value->asObject().at(u"p")->asString()), "x");  // not on the path
    }
  }
  std::string_view left = "stale";
  ASSERT_NE(parseJsonLeaving(R"({"s":{"p":"a"},"s":{"p":1}})", kPath, left), nullptr);
  EXPECT_EQ(left, "");  // the repeated member holds no string
}

TEST(JsonParse, LimitsNesting) {
  for (const auto& [open, close] : {std::pair{u"[", u"]"}, std::pair{u"{\"k\":[", u"]}"}}) {
    const int pairs = open[0] == u'[' ? 1 : 2;  // containers per repetition
    const int deepest = kMaxJsonDepth / pairs;
    EXPECT_NE(parseJson(repeat(open, deepest) + repeat(close, deepest)), nullptr);
    const std::u16string tooDeep = repeat(open, deepest) + u"[]" + repeat(close, deepest);
    EXPECT_EQ(parseJson(tooDeep), nullptr);
  }
  EXPECT_EQ(parseJson(repeat(u"[", 100000)), nullptr);
  EXPECT_EQ(parseJson(repeat(u"[", 100000) + repeat(u"]", 100000)), nullptr);
  EXPECT_EQ(parseJson(repeat(u"{\"a\":", 100000)), nullptr);
}

TEST(JsonStringify, OrdersMembersByCodeUnit) {
  JsonObject members;
  for (const char16_t* key : {u"results", u"b", u"\uFFFF", u"a", u"result", u"\U0001F600", u"Z", u""}) {
    members.emplace(key, std::make_unique<JsonValue>());
  }
  EXPECT_EQ(show(stringify(JsonValue(std::move(members)))),
            show(u"{\"\":null,\"Z\":null,\"a\":null,\"b\":null,\"result\":null,\"results\":null,"
                 u"\"\U0001F600\":null,\"\uFFFF\":null}"));
}

TEST(JsonStringify, WritesNumbersWithFifteenDigits) {
  // 100, 0.5, -0 and the infinities: the grammar table writes them.
  const std::vector<std::pair<double, std::u16string>> cases = {
      {1.0 / 3, u"0.333333333333333"},
      {1e15, u"1e+15"},
      {0.0001, u"0.0001"},
      {0.00001, u"1e-05"},
      {123456789012345, u"123456789012345"},
      {-2.5e-300, u"-2.5e-300"},
      {std::numeric_limits<double>::quiet_NaN(), u"null"}};
  for (const auto& [number, text] : cases)
    EXPECT_EQ(show(stringify(JsonValue(number))), show(text)) << number;
}

// Control characters must come out as escapes; everything else outside the
// short escapes is written as it is. That they parse back: fuzz_json.
TEST(JsonStringify, EscapesEveryControlCharacter) {
  std::u16string all;
  for (char16_t c = 0; c < 0x80; ++c) all.push_back(c);
  all += u"\u00e9\U0001F600";
  const std::u16string text = stringify(JsonValue(all));
  for (const char16_t* part : {u"\\u0000\\u0001", u"\\u001e\\u001f !\\\"", u"\\b\\t\\n\\u000b\\f\\r",
                               u".\\/0", u"[\\\\]", u"~\u007F\u00e9\U0001F600\""}) {
    EXPECT_NE(text.find(part), std::u16string::npos) << show(part);
  }
}

}  // namespace
}  // namespace ormid
