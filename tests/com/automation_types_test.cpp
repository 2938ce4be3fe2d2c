#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "ormid/com_ptr.h"

namespace {

using ormid::com::Bstr;
using ormid::com::Variant;

std::uint32_t prefixOf(BSTR text) {
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, sizeof bytes);
  return bytes;
}

TEST(Bstr, KeepsEmbeddedNulsAndSurrogatesWithALengthPrefix) {
  const std::u16string text = u"a\0b\U0001F600";  // 5 code units with the surrogate pair
  const std::u16string withNul(text.data(), 5);
  Bstr b(withNul);
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 5u);
  EXPECT_EQ(prefixOf(b.get()), 10u);
  EXPECT_EQ(b.get()[5], 0);
  EXPECT_EQ(b.str(), withNul);
  // Without a length the text ends at the first NUL.
  Bstr cut = Bstr::attach(SysAllocString(withNul.c_str()));
  EXPECT_EQ(SysStringLen(cut.get()), 1u);
}

TEST(Bstr, NullAndUninitialisedCases) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  Bstr blank = Bstr::attach(SysAllocStringLen(nullptr, 3));
  EXPECT_EQ(blank.str(), std::u16string(3, u'\0'));
  EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFFFu), nullptr);  // too long for the prefix
}

// Counts references, to see what VariantCopy and VariantClear do with objects.
struct Counted : IUnknown {
  ULONG count = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
};

TEST(Variant, CopyIsDeepAndClearReleases) {
  Variant text = Variant::string(u"abc");
  Variant copy;
  ASSERT_EQ(VariantCopy(copy.put(), text.get()), S_OK);
  EXPECT_NE(copy.get()->bstrVal, text.get()->bstrVal);
  EXPECT_EQ(SysStringLen(copy.get()->bstrVal), 3u);

  Counted object;
  {
    Variant holder;
    holder.get()->vt = VT_UNKNOWN;
    holder.get()->punkVal = &object;  // adopts the object's first reference
    Variant second;
    ASSERT_EQ(VariantCopy(second.put(), holder.get()), S_OK);
    EXPECT_EQ(object.count, 2u);
  }
  EXPECT_EQ(object.count, 0u);
}

struct ChangeCase {
  const char* name;
  VARTYPE type;
  std::uint64_t bits;  // the value union's bytes; a VT_BSTR source holds `expected`, or null for bits 1
  bool converts;
  std::u16string expected;
};

void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.name; }

class ChangeToText : public testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeToText, ConvertsOrRefusesAndKeepsTheDestination) {
  const ChangeCase& c = GetParam();
  Variant source;
  source.get()->vt = c.type;
  std::memcpy(&source.get()->lVal, &c.bits, sizeof c.bits);
  if (c.type == VT_BSTR) {
    source.get()->bstrVal =
        c.bits == 0 ? SysAllocStringLen(c.expected.data(), static_cast<UINT>(c.expected.size())) : nullptr;
  }
  Variant destination = Variant::string(u"keep");
  const HRESULT hr = VariantChangeType(destination.get(), source.get(), 0, VT_BSTR);
  const auto text = [](const Variant& v) {
    return std::u16string(v.get()->bstrVal, SysStringLen(v.get()->bstrVal));
  };
  if (!c.converts) {
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(text(destination), u"keep");
    source.get()->vt = VT_EMPTY;  // the sources here own nothing
    return;
  }
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(destination.type(), VT_BSTR);
  EXPECT_EQ(text(destination), c.expected);
  // In place: the source is its own destination.
  ASSERT_EQ(VariantChangeType(source.get(), source.get(), 0, VT_BSTR), S_OK);
  ASSERT_EQ(source.type(), VT_BSTR);
  EXPECT_EQ(text(source), c.expected);
}

VARIANT_BOOL gFlag = VARIANT_TRUE;
Counted gObject;

const ChangeCase kChanges[] = {
    {"Bstr", VT_BSTR, 0, true, std::u16string(u"x\0y", 3)},
    {"NullBstr", VT_BSTR, 1, true, u""},
    {"Empty", VT_EMPTY, 0, true, u""},
    {"I2", VT_I2, 0x8000, true, u"-32768"},
    {"I4", VT_I4, 0x80000000, true, u"-2147483648"},
    {"Int", VT_INT, 42, true, u"42"},
    {"I1", VT_I1, 0xFB, true, u"-5"},
    {"UI1", VT_UI1, 0xFF, true, u"255"},
    {"UI2", VT_UI2, 0xFFFF, true, u"65535"},
    {"UI4", VT_UI4, 0xFFFFFFFF, true, u"4294967295"},
    {"True", VT_BOOL, 0xFFFF, true, u"True"},
    {"False", VT_BOOL, 0, true, u"False"},
    {"Null", VT_NULL, 0, false, u""},
    {"Error", VT_ERROR, 0x80004005, false, u""},
    {"Unknown", VT_UNKNOWN, reinterpret_cast<std::uintptr_t>(&gObject), false, u""},
    {"BoolByRef", VT_BOOL | VT_BYREF, reinterpret_cast<std::uintptr_t>(&gFlag), false, u""},
};
INSTANTIATE_TEST_SUITE_P(Table, ChangeToText, testing::ValuesIn(kChanges),
                         [](const testing::TestParamInfo<ChangeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
