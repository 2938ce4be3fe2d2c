// Identifiers shared by the test server, its clients and the prefix set-up.
#pragma once

#include "ormid/com_api.h"

namespace ormid::test {

// The class the prefix set-up registers under "Word.Application" unless told
// otherwise (scripts/wine/setup-prefix.sh).
inline constexpr CLSID kTestServerClsid = {
    0x6F1D2A47, 0x3C5B, 0x4E8A, {0x9D, 0x21, 0x7A, 0x0B, 0x4C, 0x3E, 0x5F, 0x61}};

// The application events dispinterface.
inline constexpr IID kApplicationEvents = {0x000209FE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace ormid::test
