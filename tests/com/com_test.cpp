#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ormid/com_ptr.h"
#include "ormid/com_registry.h"

namespace {

using ormid::com::Bstr;
using ormid::com::bstrText;
using ormid::com::Variant;

TEST(Bstr, KeepsEmbeddedNulsAndSurrogatesWithALengthPrefix) {
  const std::u16string text(u"a\0b\U0001F600", 5);
  Bstr b(text);
  ASSERT_TRUE(b);
  std::uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(b.get()) - 4, sizeof prefix);
  EXPECT_EQ(prefix, 10u);  // bytes, not code units
  EXPECT_EQ(SysStringLen(b.get()), 5u);
  EXPECT_EQ(b.get()[5], 0);
  EXPECT_EQ(b.str(), text);
  // Without a length the text ends at the first NUL; without text it is NULs.
  EXPECT_EQ(Bstr::attach(SysAllocString(text.c_str())).str(), u"a");
  EXPECT_EQ(Bstr::attach(SysAllocStringLen(nullptr, 3)).str(), std::u16string(3, u'\0'));
  EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFFFu), nullptr);  // too long for the prefix
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
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
  EXPECT_EQ(bstrText(copy.get()->bstrVal), u"abc");
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

TEST(Variant, ChangeTypeToTextConvertsOrRefusesAndKeepsTheDestination) {
  VARIANT_BOOL flag = VARIANT_TRUE;
  Counted object;
  const struct {
    VARTYPE type;
    std::uint64_t bits;  // the value union's bytes; a VT_BSTR source holds `expected`, or null for bits 1
    bool converts;
    std::u16string expected;
  } cases[] = {{VT_BSTR, 0, true, std::u16string(u"x\0y", 3)},
               {VT_BSTR, 1, true, u""},
               {VT_EMPTY, 0, true, u""},
               {VT_BOOL, 0xFFFF, true, u"True"},
               {VT_BOOL, 0, true, u"False"},
               {VT_NULL, 0, false, u""},
               {VT_ERROR, 0x80004005, false, u""},
               {VT_UNKNOWN, reinterpret_cast<std::uintptr_t>(&object), false, u""},
               {VT_BOOL | VT_BYREF, reinterpret_cast<std::uintptr_t>(&flag), false, u""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", bits " << c.bits);
    Variant source;
    source.get()->vt = c.type;
    std::memcpy(&source.get()->lVal, &c.bits, sizeof c.bits);
    if (c.type == VT_BSTR) {
      source.get()->bstrVal =
          c.bits == 0 ? SysAllocStringLen(c.expected.data(), static_cast<UINT>(c.expected.size())) : nullptr;
    }
    Variant destination = Variant::string(u"keep");
    const HRESULT hr = VariantChangeType(destination.get(), source.get(), 0, VT_BSTR);
    if (!c.converts) {
      EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
      EXPECT_EQ(bstrText(destination.get()->bstrVal), u"keep");
      source.get()->vt = VT_EMPTY;  // the sources here own nothing
      continue;
    }
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(destination.type(), VT_BSTR);
    EXPECT_EQ(bstrText(destination.get()->bstrVal), c.expected);
    // In place: the source is its own destination.
    ASSERT_EQ(VariantChangeType(source.get(), source.get(), 0, VT_BSTR), S_OK);
    ASSERT_EQ(source.type(), VT_BSTR);
    EXPECT_EQ(bstrText(source.get()->bstrVal), c.expected);
  }
}

constexpr HRESULT kRefused = static_cast<HRESULT>(0x80070005);

bool besideTheTests(const std::string& file) {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  const std::string self(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  return access((self.substr(0, self.rfind('/') + 1) + file).c_str(), F_OK) == 0;
}

// The word processor comes from the module ORMID_EDITOR names, unless the
// program registers a class of its own.
TEST(Registry, ServesTheChosenWordProcessorOrTheProgramsOwnClass) {
  const CLSID& word = ormid::com::CLSID_WordApplication;
  const auto create = [&](void** object) {
    return CoCreateInstance(word, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, object);
  };
  CLSID clsid{};
  void* object = nullptr;
  for (const char* editor : {"none", "libreoffice", "something-else"}) {
    // A server built here may have its program installed or not: that is its own business.
    if (std::string(editor) == "libreoffice" && besideTheTests("libormid_uno.so")) continue;
    setenv("ORMID_EDITOR", editor, 1);
    EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), CO_E_CLASSSTRING) << editor;
    EXPECT_EQ(create(&object), REGDB_E_CLASSNOTREG) << editor;
  }
  setenv("ORMID_EDITOR", "standin", 1);
  ASSERT_EQ(CLSIDFromProgID(u"word.APPLICATION", &clsid), S_OK);  // ProgIDs ignore ASCII case
  EXPECT_EQ(clsid, word);
  ormid::com::ComPtr<IDispatch> application;
  ASSERT_EQ(create(application.putVoid()), S_OK);
  EXPECT_TRUE(application);

  int calls = 0;
  ormid::com::registerClass(u"Word.Application", word, [&](REFIID iid, void** out) {
    ++calls;
    EXPECT_EQ(iid, IID_IDispatch);
    *out = nullptr;
    return kRefused;  // a result of the factory's own, to see that it is handed back
  });
  EXPECT_EQ(create(&object), kRefused);
  EXPECT_EQ(create(nullptr), E_POINTER);
  // Withdrawing the program's class hides the module's too, until the registry is reset.
  ormid::com::unregisterClass(u"WORD.Application");
  EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), CO_E_CLASSSTRING);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(create(&object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(calls, 1);
  ormid::com::resetRegistry();
  EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), S_OK);
  unsetenv("ORMID_EDITOR");
}

}  // namespace
