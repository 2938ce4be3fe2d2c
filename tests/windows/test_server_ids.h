// Identifiers shared by the test server, its clients and the prefix set-up.
#pragma once

#include "ormid/com_api.h"
#include "standin/local_server_win32.h"

namespace ormid::test {

// The class the prefix set-up registers under "Word.Application" unless told
// otherwise (scripts/wine/setup-prefix.sh).
inline constexpr CLSID kTestServerClsid = ormid::standin::kServerClsid;

// The application events dispinterface.
inline constexpr IID kApplicationEvents = {0x000209FE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace ormid::test
