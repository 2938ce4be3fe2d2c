#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

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

// Whether the office takes each filter for the format its name says: ormid_office_e2e_test.
TEST(OfficeText, FiltersFollowTheExtension) {
  const struct {
    std::u16string path;
    std::u16string filter;
    bool plainText;
  } cases[] = {
      {u"/w/A.DOCX", u"MS Word 2007 XML", false}, {u"/w/a.TXT", u"Text", true},
      {u"/w/a.csv", u"MS Word 2007 XML", true},   {u"/w/a.xyz", u"MS Word 2007 XML", false},
      {u"/w.odt/b", u"MS Word 2007 XML", false},  {u"/w/.docx", u"MS Word 2007 XML", false},
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
