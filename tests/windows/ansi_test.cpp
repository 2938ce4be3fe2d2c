// File names and directories travel as text in the system's ANSI code page.
// What the code page lacks becomes a look-alike where the system knows one
// ("best fit") and its replacement character '?' otherwise: fine for text that
// is only shown, but such a name no longer reaches the file it named, which is
// why names go through the exact conversion.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "host/text/text.h"

namespace ormid {
namespace {

class WindowsAnsi : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetACP() != 1252)
      GTEST_SKIP() << "the cases are those of code page 1252, this system's is " << GetACP();
  }
};

TEST_F(WindowsAnsi, CharactersTheCodePageLacksBecomeLookAlikesOrItsReplacementCharacter) {
  struct Case {
    std::u16string wide;
    std::string ansi;
    std::u16string back;  // fromAnsi of the result
  };
  const std::vector<Case> cases = {
      {u"\u4E2D\u6587.docx", "??.docx", u"??.docx"},
      {u"a\U0001D11Eb", "a??b", u"a??b"},  // each unit of the surrogate pair
      {std::u16string{u'a', 0xD800, u'b'}, "a?b", u"a?b"},
      {u"\u0141\u00F3d\u017A", "L\363dz", u"L\u00F3dz"},
      {u"\uFF0E\uFF0E\uFF3Csecret", "..\\secret", u"..\\secret"},
  };
  for (const Case& c : cases) {
    const std::string ansi = toAnsi(c.wide);
    EXPECT_EQ(ansi, c.ansi) << testing::PrintToString(c.ansi);
    EXPECT_EQ(fromAnsi(ansi), c.back) << testing::PrintToString(c.ansi);
  }
}

TEST_F(WindowsAnsi, TheExactConversionTakesOnlyWhatTheCodePageHolds) {
  const std::vector<std::pair<std::u16string, std::optional<std::string>>> cases = {
      {u"", ""},
      {u"Caf\u00E9 \u20AC.docx", "Caf\xE9 \x80.docx"},  // the code page's own bytes
      {u"\u0141\u00F3d\u017A.docx", std::nullopt},      // best fit: L\363dz.docx
      {u"\uFF0E\uFF0E\uFF3Csecret", std::nullopt},      // best fit: ..\secret
      {std::u16string{u'a', 0xD800, u'b'}, std::nullopt},
  };
  for (const auto& [wide, ansi] : cases) {
    std::string out = "stale";
    EXPECT_EQ(toAnsiExact(wide, out), ansi.has_value()) << testing::PrintToString(toAnsi(wide));
    EXPECT_EQ(out, ansi.value_or("")) << testing::PrintToString(toAnsi(wide));
  }
}

}  // namespace
}  // namespace ormid
