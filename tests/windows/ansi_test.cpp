// File names and directories travel as text in the system's ANSI code page.
// What the code page lacks becomes a look-alike where the system knows one
// ("best fit") and its replacement character '?' otherwise: such a name no
// longer reaches the file it named, and a look-alike may be a separator or a
// dot, which is why names are checked after the conversion.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "host/text/text.h"

namespace ormid {
namespace {

TEST(WindowsAnsi, CharactersTheCodePageLacksBecomeLookAlikesOrItsReplacementCharacter) {
  if (GetACP() != 1252)
    GTEST_SKIP() << "the cases are those of code page 1252, this system's is " << GetACP();
  struct Case {
    std::u16string wide;
    std::string ansi;
    std::u16string back;  // fromAnsi of the result
  };
  const std::vector<Case> cases = {
      {u"r\u00E9sum\u00E9 \u20AC.docx", "r\xE9sum\xE9 \x80.docx", u"r\u00E9sum\u00E9 \u20AC.docx"},
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

}  // namespace
}  // namespace ormid
