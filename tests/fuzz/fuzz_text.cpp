// UTF-8 <-> UTF-16 conversions over arbitrary bytes, read both as UTF-8 and
// as UTF-16 code units, against a reference validator.
#include <cstdint>
#include <cstring>

#include "host/text/text.h"
#include "tests/fuzz/oracles.h"

namespace {

// What UTF-16 text means as Unicode: a surrogate outside a high-low pair becomes U+FFFD.
std::u16string withLoneSurrogatesReplaced(std::u16string units) {
  const auto high = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };
  const auto low = [](char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (high(units[i]) && i + 1 < units.size() && low(units[i + 1]))
      ++i;
    else if (high(units[i]) || low(units[i]))
      units[i] = 0xFFFD;
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ormid;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The bytes as UTF-8: decoded exactly when well-formed, and then losslessly;
  // the replacing decoder gives UTF-16 without lone surrogates.
  const bool wellFormed = fuzz::isWellFormedUtf8(bytes);
  std::u16string wide;
  FUZZ_CHECK(utf8ToWide(bytes, wide) == wellFormed);
  const std::u16string replaced = utf8ToWideReplacing(bytes);
  if (wellFormed) FUZZ_CHECK(wideToUtf8(wide) == bytes && replaced == wide);
  const std::string reencoded = wideToUtf8(replaced);
  std::u16string back;
  FUZZ_CHECK(fuzz::isWellFormedUtf8(reencoded) && utf8ToWide(reencoded, back) && back == replaced);

  // The bytes as UTF-16 code units: well-formed UTF-8 that decodes to them,
  // lone surrogates replaced; every encoder writes the same bytes.
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  const std::string utf8 = wideToUtf8(units);
  FUZZ_CHECK(fuzz::isWellFormedUtf8(utf8) && utf8ToWide(utf8, back) &&
             back == withLoneSurrogatesReplaced(units));

  const std::string_view prefix = bytes.substr(0, size % 7);
  std::string appended(prefix);
  appendUtf8(appended, units);
  FUZZ_CHECK(appended.size() == prefix.size() + utf8.size() && appended.starts_with(prefix) &&
             appended.ends_with(utf8));

  std::string stepwise(4 * units.size(), '\0');
  char* w = stepwise.data();
  for (const char16_t* p = units.data(); p != units.data() + units.size();)
    w = encodeUtf8Unit(w, p, units.data() + units.size());
  stepwise.resize(static_cast<std::size_t>(w - stepwise.data()));
  FUZZ_CHECK(stepwise == utf8);
  return 0;
}
