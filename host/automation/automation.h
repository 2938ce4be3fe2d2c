// Calling members of automation objects by name.
#pragma once

#include <initializer_list>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"

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

}  // namespace ormid
