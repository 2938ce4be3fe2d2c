// Calling members of automation objects by name, and the one connection to
// the word processor that the host holds.
#pragma once

#include <initializer_list>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"
#include "ormid/word_events.h"

namespace ormid {

enum class CallKind : WORD {
  method = DISPATCH_METHOD,
  get = DISPATCH_PROPERTYGET,
  put = DISPATCH_PROPERTYPUT,
};

// Looks `name` up with GetIDsOfNames and invokes it. `arguments` are given in
// call order (they reach the object reversed, as automation expects); a put
// takes exactly one. `result`, when given, receives the value. Returns the
// HRESULT of the last call made; the name look-up failing means Invoke is
// never called.
HRESULT AutomationCall(IDispatch* target, CallKind kind, const char* name,
                       std::initializer_list<const VARIANT*> arguments = {}, VARIANT* result = nullptr);

// The connection to the word processor. Touched only on the main thread, under
// processLock. The word processor counts as running exactly when
// wordApplication is set.
struct WordConnection {
  com::ComPtr<IDispatch> wordApplication;
  com::ComPtr<IConnectionPoint> connectionPoint;
  com::ComPtr<IDispatch> eventListener;
  DWORD adviseCookie = 0;
};
WordConnection& wordConnection();

// Unadvises the listener and drops every pointer held on the word processor,
// without asking it to quit.
void clearWordResource();

// Lets go of the connection at exit, without unadvising (the process ends).
void releaseWordConnection();

}  // namespace ormid
