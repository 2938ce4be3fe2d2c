// Base64 over arbitrary input, taken both as bytes to encode and as text to
// decode.
#include <algorithm>
#include <cstdint>

#include "host/base64/base64.h"
#include "tests/fuzz/oracles.h"

namespace {

bool inAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ormid;

  // The bytes encoded: alphabet characters padded with '=' to whole groups.
  const std::string encoded = base64Encode(data, size);
  const std::size_t unpadded = std::min(encoded.find('='), encoded.size());
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4 && encoded.size() - unpadded == (3 - size % 3) % 3);
  FUZZ_CHECK(std::all_of(encoded.begin(), encoded.begin() + unpadded, inAlphabet));
  FUZZ_CHECK(encoded.find_first_not_of('=', unpadded) == std::string::npos);

  // The encoding and its prefixes decode to as many leading bytes as their
  // characters before any '=' carry in whole: the last group's every cut, and one more.
  std::vector<std::size_t> cuts{size > 0 ? data[0] * encoded.size() / 255 : 0};
  for (std::size_t drop = 0; drop <= std::min<std::size_t>(5, encoded.size()); ++drop)
    cuts.push_back(encoded.size() - drop);
  for (const std::size_t cut : cuts) {
    const auto decoded = base64Decode(std::string_view(encoded).substr(0, cut));
    FUZZ_CHECK(decoded.size() == std::min(cut, unpadded) * 3 / 4);
    FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), data));
  }

  // The bytes as text: decoding stops at the first character outside the
  // alphabet and keeps what its whole groups say.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t valid =
      static_cast<std::size_t>(std::find_if_not(text.begin(), text.end(), inAlphabet) - text.begin());
  const auto decoded = base64Decode(text);
  FUZZ_CHECK(decoded.size() == valid * 3 / 4);
  FUZZ_CHECK(base64DecodedSize(text) == decoded.size());
  const std::size_t whole = valid / 4 * 4;
  FUZZ_CHECK(base64Encode(decoded.data(), decoded.size()).compare(0, whole, text.substr(0, whole)) == 0);
  return 0;
}
