// The word processor's application events interface and its event numbers,
// shared by the host's listener and the automation servers that raise them.
#pragma once

#include "ormid/com_api.h"

namespace ormid {

inline constexpr IID IID_WordApplicationEvents = {0x000209FE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

enum WordEvent : DISPID {
  wordQuitEvent = 2,
  wordDocumentChangeEvent = 3,
  wordDocumentOpenEvent = 4,
  wordDocumentBeforeCloseEvent = 6,
  wordDocumentBeforeSaveEvent = 8,
  wordNewDocumentEvent = 9,
  wordWindowActivateEvent = 10,
  wordWindowDeactivateEvent = 11,
};

}  // namespace ormid
