#include "host/base64/base64.h"

#include <gtest/gtest.h>

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
                       {"foobar", "Zm9vYmFy"},
                       {std::string("\0\0\0", 3), "AAAA"},
                       {"\xFB\xFF\xBF", "+/+/"}};
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(encode(bytes), text);
    EXPECT_EQ(decode(text), bytes);
  }
}

}  // namespace
}  // namespace ormid
