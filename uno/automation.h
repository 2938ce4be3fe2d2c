// The word processor's object model (application, documents collection,
// document, application events) over a private office, as late-bound
// automation objects for the host.
#pragma once

#include "ormid/com_api.h"
#include "ormid/com_registry.h"
#include "ormid/word_events.h"
#include "uno/office_session.h"

namespace ormid::uno {

// Word's application events interface: the connection point the host finds.
inline constexpr IID IID_ApplicationEvents = IID_WordApplicationEvents;

// Starts an office (or, with a display, attaches to the user's running one)
// and returns its application object (interface `iid`, one reference). With
// attachOnly nothing is started: MK_E_UNAVAILABLE when no office of the user
// runs. Every call into the objects, and every event they raise, happens on
// the thread that calls them: the host's main thread.
HRESULT createApplication(const OrmidModuleHost* host, REFIID iid, void** object,
                          Start start = Start::startIfNeeded) noexcept;

}  // namespace ormid::uno
