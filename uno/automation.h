// The word processor's object model (application, documents collection,
// document, application events) over a private office, as late-bound
// automation objects for the host.
#pragma once

#include "ormid/com_api.h"
#include "ormid/com_registry.h"
#include "ormid/word_events.h"

namespace ormid::uno {

// Word's application events interface: the connection point the host finds.
inline constexpr IID IID_ApplicationEvents = IID_WordApplicationEvents;

// Starts an office and returns its application object (interface `iid`,
// one reference). Every call into the objects, and every event they raise,
// happens on the thread that calls them: the host's main thread.
HRESULT createApplication(const OrmidModuleHost* host, REFIID iid, void** object) noexcept;

}  // namespace ormid::uno
