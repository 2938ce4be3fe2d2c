#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "uno/dispatch_support.h"
#include "uno/office_process.h"
#include "uno/office_text.h"

namespace ormid::uno {
namespace {

TEST(OfficeText, ValidUtf16ReplacesOnlyUnpairedSurrogates) {
  const struct {
    std::u16string in;
    std::u16string out;
  } cases[] = {
      {u"plain", u"plain"},
      {u"a\U0001F600b", u"a\U0001F600b"},
      {std::u16string(u"a") + char16_t(0xD800), u"a\uFFFD"},
      {std::u16string(1, char16_t(0xDC00)) + u"z", u"\uFFFDz"},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, u"\uFFFD\uFFFD"},
      {std::u16string{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)}, u"\uFFFD\U00010000"},
  };
  for (const auto& c : cases) EXPECT_EQ(validUtf16(c.in), c.out);
}

TEST(OfficeText, FileUrlsRoundTrip) {
  const struct {
    std::u16string path;
    std::u16string url;
  } cases[] = {
      {u"/tmp/a b.docx", u"file:///tmp/a%20b.docx"},
      {u"/tmp/Größe.docx", u"file:///tmp/Gr%C3%B6%C3%9Fe.docx"},
      {u"/tmp/x#1%?.doc", u"file:///tmp/x%231%25%3F.doc"},
      {u"/tmp/\U0001F600/y", u"file:///tmp/%F0%9F%98%80/y"},
      {u"/a/b;c=d,e", u"file:///a/b%3Bc=d,e"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fileUrlFromPath(c.path), c.url);
    EXPECT_EQ(pathFromFileUrl(c.url), c.path);
  }
  EXPECT_EQ(fileUrlFromPath(u"relative/x.docx"), u"");
  EXPECT_EQ(pathFromFileUrl(u"FILE://localhost/tmp/%c3%b6"), u"/tmp/ö");
  EXPECT_EQ(pathFromFileUrl(u"file:///tmp/%FF"), u"/tmp/\uFFFD");
  EXPECT_FALSE(pathFromFileUrl(u"private:factory/swriter"));
  EXPECT_FALSE(pathFromFileUrl(u"file://server/share/x"));
  EXPECT_FALSE(pathFromFileUrl(u"file:///tmp/x?query"));
}

TEST(OfficeText, AbsolutePathJoinsTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  EXPECT_EQ(absolutePath(u"/x/y"), u"/x/y");
  const std::string joined = std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "d.docx";
  EXPECT_EQ(absolutePath(u"d.docx"), std::u16string(joined.begin(), joined.end()));
}

TEST(OfficeText, FiltersFollowTheExtension) {
  const struct {
    std::u16string path;
    std::u16string filter;
    bool plainText;
  } cases[] = {
      {u"/w/a.docx", u"MS Word 2007 XML", false},
      {u"/w/A.DOCX", u"MS Word 2007 XML", false},
      {u"/w/a.doc", u"MS Word 97", false},
      {u"/w/a.odt", u"writer8", false},
      {u"/w/a.rtf", u"Rich Text Format", false},
      {u"/w/a.txt", u"Text", true},
      {u"/w/a.TXT", u"Text", true},
      {u"/w/a.csv", u"MS Word 2007 XML", true},
      {u"/w/a.xyz", u"MS Word 2007 XML", false},
      {u"/w/noext", u"MS Word 2007 XML", false},
      {u"/w.odt/b", u"MS Word 2007 XML", false},
      {u"/w/.docx", u"MS Word 2007 XML", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(storeFilterFor(c.path), c.filter) << std::string(c.path.begin(), c.path.end());
    EXPECT_EQ(namesPlainText(c.path), c.plainText) << std::string(c.path.begin(), c.path.end());
  }
  for (std::u16string_view filter : {u"Text", u"Text (encoded)", u"Text (StarWriter/Web)"}) {
    EXPECT_TRUE(isPlainTextFilter(filter));
  }
  for (std::u16string_view filter : {u"MS Word 2007 XML", u"writer8", u"Rich Text Format", u"TextFoo", u""}) {
    EXPECT_FALSE(isPlainTextFilter(filter));
  }
}

constexpr Member kMembers[] = {
    {u"Count", 1, MemberKind::readOnly},
    {u"Visible", 2, MemberKind::readWrite},
    {u"Close", 3, MemberKind::method, 0, 3},
};

TEST(DispatchSupport, NamesCompareWithoutCase) {
  const struct {
    std::u16string name;
    HRESULT hr;
    DISPID id;
  } cases[] = {
      {u"Count", S_OK, 1},
      {u"vISIBLE", S_OK, 2},
      {u"close", S_OK, 3},
      {u"Clos", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
      {u"Closed", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
  };
  for (const auto& c : cases) {
    std::u16string name = c.name;
    LPOLESTR names[] = {name.data()};
    DISPID id = 99;
    EXPECT_EQ(lookUpNames(kMembers, IID_NULL, names, 1, &id), c.hr);
    EXPECT_EQ(id, c.id);
  }
  std::u16string name = u"Count";
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  EXPECT_EQ(lookUpNames(kMembers, IID_IDispatch, names, 1, &id), kUnknownInterface);
}

TEST(DispatchSupport, CallsAreCheckedAgainstTheMember) {
  VARIANT args[4];
  for (auto& a : args) {
    VariantInit(&a);
    a.vt = VT_I4;
  }
  DISPID put = DISPID_PROPERTYPUT;
  const struct {
    DISPID member;
    WORD flags;
    UINT count;
    bool named;
    HRESULT hr;
    bool isPut;
  } cases[] = {
      {1, DISPATCH_PROPERTYGET, 0, false, S_OK, false},
      {1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, false, S_OK, false},
      {1, DISPATCH_PROPERTYGET, 1, false, DISP_E_BADPARAMCOUNT, false},
      {1, DISPATCH_PROPERTYPUT, 1, true, DISP_E_MEMBERNOTFOUND, false},
      {2, DISPATCH_PROPERTYPUT, 1, true, S_OK, true},
      {2, DISPATCH_PROPERTYPUT, 1, false, kParamNotFound, false},
      {3, DISPATCH_METHOD, 3, false, S_OK, false},
      {3, DISPATCH_METHOD, 4, false, DISP_E_BADPARAMCOUNT, false},
      {3, DISPATCH_PROPERTYGET, 0, false, DISP_E_MEMBERNOTFOUND, false},
  };
  for (const auto& c : cases) {
    DISPPARAMS params{args, c.named ? &put : nullptr, c.count, c.named ? 1u : 0u};
    bool isPut = false;
    EXPECT_EQ(Call(c.flags, &params, nullptr).check(*findMember(kMembers, c.member), isPut), c.hr)
        << "member " << c.member << " flags " << c.flags << " count " << c.count;
    EXPECT_EQ(isPut, c.isPut);
  }
}

TEST(DispatchSupport, ArgumentsAreReadInCallOrder) {
  // As a caller passes (a, b, c): reversed in rgvarg.
  VARIANT rgvarg[3];
  for (auto& a : rgvarg) VariantInit(&a);
  LONG byRef = 7;
  rgvarg[2].vt = VT_I2;
  rgvarg[2].iVal = -1;
  rgvarg[1].vt = VT_I4 | VT_BYREF;
  rgvarg[1].byref = &byRef;
  rgvarg[0].vt = VT_ERROR;
  rgvarg[0].scode = kParamNotFound;
  DISPPARAMS params{rgvarg, nullptr, 3, 0};
  const Call call(DISPATCH_METHOD, &params, nullptr);
  LONG value = 0;
  ASSERT_EQ(readInteger(call.arg(0), value), S_OK);
  EXPECT_EQ(value, -1);
  ASSERT_EQ(readInteger(call.arg(1), value), S_OK);
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(call.has(1));
  EXPECT_FALSE(call.has(2));
  EXPECT_FALSE(call.has(3));
  std::u16string text;
  EXPECT_EQ(readText(call.arg(0), text), DISP_E_TYPEMISMATCH);
}

TEST(OfficeProcessSetup, ProfilesLiveInAPrivateTemporaryDirectory) {
  const char* saved = std::getenv("TMPDIR");
  const std::string keep = saved ? saved : "";
  std::string error;
  setenv("TMPDIR", "/some/where/", 1);
  EXPECT_EQ(scratchDirectory(error), "/some/where");
  unsetenv("TMPDIR");
  const std::string fallback = scratchDirectory(error);
  EXPECT_EQ(fallback, "/tmp/ormid-" + std::to_string(getuid())) << error;
  struct stat info {};
  ASSERT_EQ(stat(fallback.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  if (saved) setenv("TMPDIR", keep.c_str(), 1);
  EXPECT_FALSE(officeInstalled("/nonexistent"));
}

}  // namespace
}  // namespace ormid::uno
