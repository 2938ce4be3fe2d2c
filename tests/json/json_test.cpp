#include "host/json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/text/text.h"

namespace ormid {
namespace {

std::string show(std::u16string_view text) { return wideToUtf8(text); }

std::u16string repeat(std::u16string_view unit, int count) {
  std::u16string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out;
}

struct ParseCase {
  std::u16string text;
  const char16_t* compact;  // stringify of the result; nullptr when parsing fails
};

// Each accepted text is checked through its compact form, which shows kind,
// value and member order at once.
TEST(JsonParse, AcceptsTheGrammarAndItsLeniencies) {
  const std::vector<ParseCase> cases = {
      // documents and literals
      {u"", nullptr},
      {u" \t\r\n", nullptr},
      {u"  {}  ", u"{}"},
      {u"\"top\"", u"\"top\""},
      {u"7", u"7"},
      {u"TRUE", u"true"},
      {u"False", u"false"},
      {u"NULL", u"null"},
      {u"tru", nullptr},
      {u"nul", nullptr},
      {u"truex", nullptr},
      {u"[truex]", nullptr},
      {u"{} x", nullptr},
      {std::u16string(u"{}\0 x", 5), u"{}"},
      {std::u16string(u"[1\0]", 4), nullptr},
      // objects
      {u"{\"a\":1,\"a\":\"x\"}", u"{\"a\":\"x\"}"},
      {u"{ \"b\" : [ true , null ] , \"a\" : \"x/y\" }", u"{\"a\":\"x\\/y\",\"b\":[true,null]}"},
      {u"{a:1}", nullptr},
      {u"{\"a\" 1}", nullptr},
      {u"{\"a\":}", nullptr},
      {u"{\"a\":1,}", nullptr},
      {u"{,}", nullptr},
      {u"{\"a\":1", nullptr},
      {u"{\"a\":1 \"b\":2}", nullptr},
      // arrays
      {u"[]", u"[]"},
      {u"[ ]", u"[]"},
      {u"[1, 2]", u"[1,2]"},
      {u"[1,]", nullptr},
      {u"[,]", nullptr},
      {u"[,1]", nullptr},
      {u"[1 2]", nullptr},
      {u"[1", nullptr},
      // strings
      {u"\"a\tb\"", u"\"a\\tb\""},
      {u"\"0123456789\tabcdefghijklmnop\t\"", u"\"0123456789\\tabcdefghijklmnop\\t\""},
      {u"\"a\nb\"", nullptr},
      {u"\"0123456789abcdefghij\n\"", nullptr},
      {u"\"a\u0001b\"", nullptr},
      {u"\"\\x\"", nullptr},
      {u"\"\\u00e9\\u00E9\u00e9\"", u"\"\u00e9\u00e9\u00e9\""},
      {u"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", u"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""},
      {u"\"\\u0000\"", u"\"\\u0000\""},
      {u"\"\\ud83d\\ude00\"", u"\"\U0001F600\""},
      {u"\"\\ud800x\"", u"\"\xD800x\""},
      {u"\"\\u12\"", nullptr},
      {u"\"\\u12G4\"", nullptr},
      {u"\"abc", nullptr},
      {u"\"abc\\", nullptr},
      {u"\"abcdefghij", nullptr},
      // numbers
      {u"01", nullptr},
      {u"0123", nullptr},
      {u"-01", nullptr},
      {u"-", nullptr},
      {u"-x", nullptr},
      {u"1.", nullptr},
      {u"1.e3", nullptr},
      {u"1e", nullptr},
      {u"1e+", nullptr},
      {u".5", nullptr},
      {u"+1", nullptr},
      {u"1E+2", u"100"},
      {u"-0", u"-0"},
      {u"0.5", u"0.5"},
      {u"1.5e-3", u"0.0015"},
      {u"25e-1", u"2.5"},
      {u"1e400", u"null"},
      {u"-1e400", u"null"},
      {u"1e-400", u"0"},
      {u"1e999999999999", u"null"},
      {u"1e-999999999999", u"0"},
      {u"0e999999999999", u"0"},
      {u"1e" + repeat(u"9", 100000), u"null"},
      {u"123456789012345678", u"1.23456789012346e+17"},
  };
  for (const auto& c : cases) {
    const auto value = parseJson(c.text);
    if (!c.compact) {
      EXPECT_EQ(value, nullptr) << show(c.text);
    } else if (!value) {
      ADD_FAILURE() << "rejected: " << show(c.text);
    } else {
      EXPECT_EQ(show(stringify(*value)), show(c.compact)) << show(c.text);
    }
  }
}

TEST(JsonParse, ComputesNumbersAndKinds) {
  EXPECT_EQ(parseJson(u"1E+2")->asNumber(), 100.0);
  EXPECT_TRUE(std::signbit(parseJson(u"-0")->asNumber()));
  EXPECT_TRUE(std::isinf(parseJson(u"1e400")->asNumber()));
  EXPECT_EQ(parseJson(u"0.1")->asNumber(), 0.1);
  EXPECT_TRUE(parseJson(u"\"x\"")->isString());
  EXPECT_TRUE(parseJson(u"true")->asBool());
  EXPECT_TRUE(parseJson(u"null")->isNull());
  EXPECT_EQ(parseJson(u"[1,[2]]")->asArray().size(), 2u);
  const auto nul = parseJson(u"\"a\\u0000b\"");
  EXPECT_EQ(nul->asString(), std::u16string(u"a\0b", 3));
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
  const std::vector<std::pair<double, const char16_t*>> cases = {
      {100, u"100"},
      {0.5, u"0.5"},
      {-0.0, u"-0"},
      {1.0 / 3, u"0.333333333333333"},
      {123456789012345, u"123456789012345"},
      {1e15, u"1e+15"},
      {0.0001, u"0.0001"},
      {0.00001, u"1e-05"},
      {-2.5e-300, u"-2.5e-300"},
      {std::numeric_limits<double>::quiet_NaN(), u"null"},
      {std::numeric_limits<double>::infinity(), u"null"},
      {-std::numeric_limits<double>::infinity(), u"null"},
  };
  for (const auto& [number, text] : cases)
    EXPECT_EQ(show(stringify(JsonValue(number))), show(text)) << number;
}

// Control characters must come out as escapes that parse back to the same
// string; everything else outside the short escapes is written as it is.
TEST(JsonStringify, EscapesEveryControlCharacter) {
  std::u16string all;
  for (char16_t c = 0; c < 0x80; ++c) all.push_back(c);
  all += u"\u00e9\U0001F600";
  const std::u16string text = stringify(JsonValue(all));
  EXPECT_NE(text.find(u"\\u0000\\u0001"), std::u16string::npos);
  EXPECT_NE(text.find(u"\\u001e\\u001f !\\\""), std::u16string::npos);
  EXPECT_NE(text.find(u"\\b\\t\\n\\u000b\\f\\r"), std::u16string::npos);
  EXPECT_NE(text.find(u".\\/0"), std::u16string::npos);
  EXPECT_NE(text.find(u"[\\\\]"), std::u16string::npos);
  EXPECT_NE(text.find(u"~\u007F\u00e9\U0001F600\""), std::u16string::npos);
  const auto back = parseJson(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->asString(), all);
}

TEST(JsonStringify, Utf8FormEqualsConvertedWideForm) {
  const std::u16string high(1, 0xD83D), low(1, 0xDE00);
  std::vector<std::u16string> strings = {
      u"",
      u"plain",
      high,
      low,
      low + high,
      high + u"\"",
      u"abc" + high + low + u"def",
      u"x" + high + high + low,
      u"/\\\"\b\f\n\r\t\u0001\u001f\u007f\u0080\u07ff\u0800\uffff",
      std::u16string(u"a\0b", 3),
      repeat(u"QUJD/+", 1001) + high,
  };
  JsonArray elements;
  for (const auto& s : strings) {
    EXPECT_EQ(stringifyUtf8(JsonValue(s)), wideToUtf8(stringify(JsonValue(s)))) << show(s);
    elements.push_back(std::make_unique<JsonValue>(s));
  }
  elements.push_back(std::make_unique<JsonValue>(-0.0));
  elements.push_back(std::make_unique<JsonValue>(false));
  JsonObject members;
  members.emplace(u"list", std::make_unique<JsonValue>(std::move(elements)));
  members.emplace(u"k" + high, std::make_unique<JsonValue>(std::numeric_limits<double>::infinity()));
  members.emplace(u"\u00e9", nullptr);
  const JsonValue tree(std::move(members));
  EXPECT_EQ(stringifyUtf8(tree), wideToUtf8(stringify(tree)));
}

}  // namespace
}  // namespace ormid
