#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ormid/com_ptr.h"
#include "ormid/com_registry.h"

namespace {

using ormid::com::ComPtr;

constexpr HRESULT kRefused = static_cast<HRESULT>(0x80070005);
constexpr CLSID kThing = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string binaryDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string result(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  return result.substr(0, result.rfind('/') + 1);
}

class Registry : public testing::Test {
 protected:
  void TearDown() override {
    ormid::com::resetRegistry();
    unsetenv("ORMID_EDITOR");
  }
};

TEST_F(Registry, RegisteredFactoryServesItsClass) {
  int calls = 0;
  ormid::com::registerClass(u"Test.Thing", kThing, [&](REFIID iid, void** object) {
    ++calls;
    EXPECT_EQ(iid, IID_IDispatch);
    *object = nullptr;
    return S_FALSE;  // a result of the factory's own, to see that it is handed back
  });
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"test.THING", &clsid), S_OK);  // ProgIDs ignore ASCII case
  EXPECT_EQ(clsid, kThing);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kThing, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, &object), S_FALSE);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(CoCreateInstance(kThing, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, nullptr), E_POINTER);

  ormid::com::unregisterClass(u"Test.Thing");
  EXPECT_EQ(CLSIDFromProgID(u"Test.Thing", &clsid), CO_E_CLASSSTRING);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kThing, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(calls, 1);
}

TEST_F(Registry, NoWordProcessorWhenNoneIsChosenOrInstalled) {
  for (const char* editor : {"none", "libreoffice", "something-else"}) {
    if (std::string(editor) == "libreoffice" &&
        access((binaryDirectory() + "libormid_uno.so").c_str(), F_OK) == 0) {
      continue;  // that server is built here; whether its program is installed is its own business
    }
    setenv("ORMID_EDITOR", editor, 1);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), CO_E_CLASSSTRING) << editor;
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(ormid::com::CLSID_WordApplication, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               &object),
              REGDB_E_CLASSNOTREG)
        << editor;
  }
}

TEST_F(Registry, StandinModuleServesWordApplication) {
  if (access((binaryDirectory() + "libormid_standin.so").c_str(), F_OK) != 0) {
    GTEST_SKIP() << "the stand-in module is not built";
  }
  setenv("ORMID_EDITOR", "standin", 1);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), S_OK);
  EXPECT_EQ(clsid, ormid::com::CLSID_WordApplication);
  ComPtr<IDispatch> application;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, application.putVoid()),
            S_OK);
  ASSERT_TRUE(application);
  OLECHAR name[] = u"Visible";
  LPOLESTR names[] = {name};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(application->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);

  // A registration of the program's own replaces the module, and withdrawing it hides the class.
  ormid::com::registerClass(u"Word.Application", clsid, [](REFIID, void**) { return kRefused; });
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, &object), kRefused);
  ormid::com::unregisterClass(u"Word.Application");
  EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), CO_E_CLASSSTRING);
  ormid::com::resetRegistry();
  EXPECT_EQ(CLSIDFromProgID(u"Word.Application", &clsid), S_OK);
}

}  // namespace
