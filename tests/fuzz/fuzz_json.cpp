// The JSON parser over arbitrary text, read both as UTF-8 and as UTF-16 code
// units. Whatever parses must be written as strict JSON, the same by both
// writers, and read back as the same value. The bytes themselves also go to
// the UTF-8 parser (and with a top-level member held narrow), which must accept
// exactly what the UTF-16 parser accepts of well-formed UTF-8, and give the
// same value; so must it when a part's string is left as it stands.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "host/json/json.h"
#include "host/text/text.h"
#include "tests/fuzz/oracles.h"

namespace ormid {
namespace {

// Infinities have no JSON form and are written as null.
JsonType writtenType(const JsonValue& v) {
  return v.isNumber() && std::isinf(v.asNumber()) ? JsonType::Null : v.type();
}

// Numbers are written with 15 significant digits and read back by summing
// digits in double arithmetic, so they come back within a few units of the
// 14th digit (and, below the normal range, of the smallest subnormal).
bool closeNumbers(double a, double b) {
  return std::fabs(a - b) <= 1e-12 * std::fmax(std::fabs(a), std::fabs(b)) + 1e-320;
}

bool same(const JsonValue& a, const JsonValue& b) {
  if (writtenType(a) != writtenType(b)) return false;
  switch (writtenType(a)) {
    case JsonType::Null:
      return true;
    case JsonType::Bool:
      return a.asBool() == b.asBool();
    case JsonType::Number:
      return closeNumbers(a.asNumber(), b.asNumber());
    case JsonType::String:
      return a.asString() == b.asString();
    case JsonType::Array: {
      const JsonArray &x = a.asArray(), &y = b.asArray();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!same(*x[i], *y[i])) return false;
      return true;
    }
    case JsonType::Object: {
      const JsonObject &x = a.asObject(), &y = b.asObject();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
        if (i->first != j->first || !same(*i->second, *j->second)) return false;
      return true;
    }
  }
  return false;
}

const JsonValue* memberOf(const JsonValue* object, const char16_t* name) {
  if (!object || !object->isObject()) return nullptr;
  const auto found = object->asObject().find(name);
  return found == object->asObject().end() ? nullptr : found->second.get();
}

void check(std::u16string_view text) {
  const auto value = parseJson(text);
  if (!value) return;
  const std::u16string wide = stringify(*value);
  const std::string utf8 = stringifyUtf8(*value);
  FUZZ_CHECK(utf8 == wideToUtf8(wide));
  FUZZ_CHECK(fuzz::isStrictJson(utf8));
  const auto again = parseJson(wide);
  FUZZ_CHECK(again && same(*value, *again));
}

// The requests' parse: bytes as they come from the channel.
void checkUtf8(std::string_view bytes) {
  const auto value = parseJson(bytes);
  std::u16string wide;
  if (!utf8ToWide(bytes, wide)) return;  // the channel refuses such a body first
  const auto reference = parseJson(wide);
  FUZZ_CHECK(!value == !reference);
  if (value) FUZZ_CHECK(stringifyUtf8(*value) == stringifyUtf8(*reference));
  std::string taken(bytes);
  const auto takenValue = parseJsonTaking(taken, u"contentFile");
  FUZZ_CHECK(!takenValue == !reference);
  if (takenValue) FUZZ_CHECK(stringifyUtf8(*takenValue) == stringifyUtf8(*reference));

  // A part left as it stands: the same tree once its string is put back, and
  // its text, read as a string, is that string.
  static constexpr std::u16string_view kPath[] = {u"split", u"part"};
  std::string_view left;
  const auto leaving = parseJsonLeaving(bytes, kPath, left);
  FUZZ_CHECK(!leaving == !reference);
  if (!leaving) return;
  const JsonValue* part = memberOf(memberOf(reference.get(), u"split"), u"part");
  if (part && part->isString()) {
    const auto read = parseJson("\"" + std::string(left) + "\"");
    FUZZ_CHECK(read && read->isString() && read->asString() == part->asString());
    leaving->asObject()[u"split"]->asObject()[u"part"] = std::make_unique<JsonValue>(part->asString());
  } else {
    FUZZ_CHECK(left.empty());
  }
  FUZZ_CHECK(stringifyUtf8(*leaving) == stringifyUtf8(*reference));
}

}  // namespace
}  // namespace ormid

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ormid::checkUtf8({reinterpret_cast<const char*>(data), size});
  ormid::check(ormid::utf8ToWideReplacing({reinterpret_cast<const char*>(data), size}));
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  ormid::check(units);
  return 0;
}
