#include "host/word/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace ormid {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string encode(std::string_view bytes) {
  return base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string decode(std::string_view text) {
  const auto bytes = base64Decode(text);
  return {bytes.begin(), bytes.end()};
}

TEST(Base64, EncodesWithPadding) {
  const Pairs cases = {{"", ""},
                       {"a", "YQ=="},
                       {"ab", "YWI="},
                       {"abcd", "YWJjZA=="},
                       {"foobar", "Zm9vYmFy"},
                       {std::string("\0\0\0", 3), "AAAA"},
                       {"\xFB\xFF\xBF", "+/+/"},
                       {"\xFF\xFF", "//8="}};
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(encode(bytes), text);
    EXPECT_EQ(decode(text), bytes);
  }
}

// Decoding stops at the first '=' or character outside the alphabet and keeps
// what it has; a partial group of two or three characters still gives bytes,
// and leftover bits that make no whole byte are dropped.
TEST(Base64, DecodesUpToTheFirstForeignCharacter) {
  const Pairs cases = {{"YWI", "ab"},           {"YQ", "a"},
                       {"YR==", "a"},           {"Y", ""},
                       {"YWJjZ", "abc"},        {"YQ==YWJj", "a"},
                       {"YWJjYW=j", "abca"},    {" YWJj", ""},
                       {"=YWJj", ""},           {"YW\nJj", "a"},
                       {"YWJj\r\nYWJj", "abc"}, {"-_-_", ""},
                       {"YWJ\x80", "ab"},       {std::string("YW\0j", 4), "a"}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(decode(text), bytes) << testing::PrintToString(text);
}

TEST(Base64, RoundTripsEveryByteAndLength) {
  std::mt19937 random(11);
  std::string bytes;
  for (int length = 0; length < 300; ++length) {
    const std::string text = encode(bytes);
    ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
    ASSERT_EQ(decode(text), bytes);
    bytes.push_back(static_cast<char>(length < 256 ? length : random()));
  }
}

}  // namespace
}  // namespace ormid
